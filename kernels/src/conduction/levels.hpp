// The grids of the multigrid hierarchy. Level 0 is the model's own grid;
// each coarser level merges pairs of cells along x, y or both (never along
// z, so thin layers stay resolved and the z-line relaxation stays exact
// along the stiff direction).
//
// The hierarchy only preconditions conjugate gradients, so it is held in
// single precision: half the memory traffic of the sweeps, which are bound
// by it. The model's own operator stays in double (ModelOperator).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tavro/allocation.hpp"

namespace tavro::conduction {

struct ReleaseBytes {
    void operator()(void* p) const noexcept { release_bytes(p); }
};

// A native array; empty() until allocated. Its contents start undefined.
template <class T>
class Array {
public:
    bool allocate(std::size_t count, AllocSite site) {
        data_.reset(allocate_array<T>(count, site));
        size_ = data_ ? count : 0;
        return data_ != nullptr;
    }
    T* get() const { return data_.get(); }
    T& operator[](std::size_t i) const { return data_[i]; }
    bool empty() const { return !data_; }
    std::size_t bytes() const { return size_ * sizeof(T); }

private:
    std::unique_ptr<T[], ReleaseBytes> data_;
    std::size_t size_ = 0;
};

// The model's conductance matrix, in double: what conjugate gradients solves.
struct ModelOperator {
    // Conductance (W/K) between a cell and its +x, +y, +z neighbour; zero
    // on the last plane along that axis and next to a cell without material.
    Array<double> gx, gy, gz;
    // The diagonal is not stored: it is the sum of the couplings, the outer
    // faces' conductances (Engine::Impl::face_g) and shift * cap.
    Array<double> cap;  // heat capacity, J/K (allocated when a transient first needs it)
    std::size_t bytes() const { return gx.bytes() + gy.bytes() + gz.bytes() + cap.bytes(); }
};

struct Level {
    int nx = 0, ny = 0, nz = 0;
    std::size_t n = 0;
    std::vector<double> x_edges, y_edges;
    // Couplings as in ModelOperator (on level 0, its values rounded).
    Array<float> gx, gy, gz;
    Array<float> inv_pivot;  // 1 / pivot of each z-line's Thomas elimination
    // Coarse levels only: conductance to the ambients, heat capacity (when
    // a transient needs it), the diagonal, and the correction, right side
    // and first correction (while the second is made) of a visit.
    Array<float> gb, cap, diag, x, b, first;
    // How the next coarser level merges this one's cells: coarse row I
    // along x holds fine rows [first_x[I], first_x[I + 1]), fine row i lies
    // in coarse row parent_x[i]; the same along y.
    std::vector<int> first_x, first_y, parent_x, parent_y;
    // Per coarse row I: the factor of the summed couplings across the face
    // between coarse rows I and I + 1 (see coarsen_couplings).
    std::vector<double> scale_x, scale_y;

    std::size_t column(int i, int j) const {
        return (static_cast<std::size_t>(i) * static_cast<std::size_t>(ny) + static_cast<std::size_t>(j)) *
               static_cast<std::size_t>(nz);
    }
    std::size_t plane() const { return static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz); }
    std::size_t bytes() const;
};

class ThreadTeam;

// The next level's shape and merge flags; false when `fine` is one column.
bool plan_coarser(Level& fine, Level& coarse);
// Allocates a level's arrays (coarse ones with gb, x, b; cap when with_capacity).
bool allocate_level(Level& level, bool coarse, bool with_capacity);
// Coarse gx, gy, gz from the fine level's.
void coarsen_couplings(const Level& fine, Level& coarse, ThreadTeam& team);
// Coarse per-cell sums (gb, cap) of a fine per-cell quantity.
void coarsen_sums(const Level& fine, const float* fine_values, float* coarse_values, ThreadTeam& team);
void coarsen_sums(const Level& fine, const double* fine_values, float* coarse_values, ThreadTeam& team);
// A coarse level's inverse pivots from its couplings, gb and shift * cap
// (cap ignored when shift is 0). Cells that couple to nothing get pivot 1.
void refresh_pivots(Level& level, double shift, ThreadTeam& team);

// z = M r for the V-cycle M over all levels. r is scaled by `scale` (a
// power of two, so exactly) on its way in and z is left scaled; rz gets per
// x plane sums of r * z / scale.
void v_cycle(std::vector<Level>& levels, const double* r, double scale, float* z, double* rz, ThreadTeam& team);

}  // namespace tavro::conduction
