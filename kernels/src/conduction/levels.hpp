// The grids of the multigrid hierarchy. Level 0 is the model's own grid;
// each coarser level merges pairs of cells along x, y or both (never along
// z, so thin layers stay resolved and the z-line relaxation stays exact
// along the stiff direction).
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

// A native array of doubles; empty() until allocated.
class Array {
public:
    bool allocate(std::size_t count, AllocSite site) {
        data_.reset(allocate_array<double>(count, site));
        size_ = data_ ? count : 0;
        return data_ != nullptr;
    }
    double* get() const { return data_.get(); }
    double& operator[](std::size_t i) const { return data_[i]; }
    bool empty() const { return !data_; }
    std::size_t bytes() const { return size_ * sizeof(double); }

private:
    std::unique_ptr<double[], ReleaseBytes> data_;
    std::size_t size_ = 0;
};

struct Level {
    int nx = 0, ny = 0, nz = 0;
    std::size_t n = 0;
    std::vector<double> x_edges, y_edges;
    // Conductance (W/K) between a cell and its +x, +y, +z neighbour; zero
    // on the last plane along that axis and next to a cell without material.
    Array gx, gy, gz;
    Array gb;   // conductance to the ambients through the outer faces, W/K
    Array cap;  // heat capacity, J/K (allocated when a transient first needs it)
    Array diag;       // the sum of the couplings, gb, and shift * cap
    Array inv_pivot;  // 1 / pivot of each z-line's Thomas elimination
    Array x, b, r;    // coarse levels: correction, right side, residual
    // How the next coarser level merges this one's cells.
    bool merge_x = false, merge_y = false;

    std::size_t column(int i, int j) const {
        return (static_cast<std::size_t>(i) * static_cast<std::size_t>(ny) + static_cast<std::size_t>(j)) *
               static_cast<std::size_t>(nz);
    }
    std::size_t bytes() const;
};

// Lateral couplings of a coarse level are this times the sum of the fine
// faces they replace (1 would be the Galerkin product for piecewise-constant
// transfer, which is twice as stiff as the rediscretised operator).
inline constexpr double kCoarseLateralScale = 0.5;

class ThreadTeam;

// The next level's shape and merge flags; false when `fine` is one column.
bool plan_coarser(Level& fine, Level& coarse);
// Allocates a coarse level's arrays (cap when with_capacity).
bool allocate_level(Level& level, bool coarse, bool with_capacity);
// Coarse gx, gy, gz, gb (and cap when both have it) from the fine level.
void coarsen(const Level& fine, Level& coarse, ThreadTeam& team);
// diag = couplings + gb + shift * cap (cap ignored when shift is 0), and the
// z-lines' inverse pivots. Cells that couple to nothing get diag 1.
void refresh_diagonal(Level& level, double shift, ThreadTeam& team);

// out = A x; with partial_dot, also per-x-plane sums of x * (A x).
void apply_operator(const Level& level, const double* x, double* out, double* partial_dot, ThreadTeam& team);
// r = b - A x.
void residual(const Level& level, const double* x, const double* b, double* r, ThreadTeam& team);
// One z-line Gauss-Seidel sweep over the columns with (i + j) % 2 == colour.
void smooth(const Level& level, double* x, const double* b, int colour, ThreadTeam& team);
// x = M b for the V-cycle M starting at `first` (x and b on that level).
void v_cycle(std::vector<Level>& levels, std::size_t first, double* x, const double* b, double* scratch,
             ThreadTeam& team);

}  // namespace tavro::conduction
