// Test-side owner of the buffers behind a TcadGrid, with the solver's
// defaults (silicon k and cp, millimetre cells, microsecond steps).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "kernel_paths.hpp"
#include "tavro/heat_kernel.hpp"

namespace tavro::testing {

using KernelFn = TcadSummary (*)(TcadGrid&, std::int32_t, double*, std::int32_t, double);

using NamedKernel = KernelPath<KernelFn>;

inline std::vector<NamedKernel> heat_kernel_paths() {
    return kernel_paths<KernelFn>(&tcad_kernel, &tcad_kernel_reference);
}

struct OwnedGrid {
    std::int32_t nx, ny, nz;
    std::vector<double> T, k, cp, Q;
    std::vector<std::int32_t> bc;
    double dx = 0.001, dy = 0.001, dz = 0.001, dt = 1e-6;
    // Inputs handed to the kernel as one value (their arrays must then hold
    // that value in every cell: k[0], cp[0], 0.0 and 0).
    bool k_as_value = false, cp_as_value = false, Q_as_value = false, bc_as_value = false;

    // Negative extents hold no cells, as in the kernel.
    OwnedGrid(std::int32_t nx_, std::int32_t ny_, std::int32_t nz_, double T_fill = 300.0)
        : nx(nx_), ny(ny_), nz(nz_) {
        const std::size_t cells = extent(nx) * extent(ny) * extent(nz);
        T.assign(cells, T_fill);
        k.assign(cells, 148.0);
        cp.assign(cells, 710.0);
        Q.assign(cells, 0.0);
        bc.assign(cells, 0);
    }

    std::size_t cells() const { return T.size(); }
    std::size_t at(int i, int j, int k_) const {
        return (static_cast<std::size_t>(i) * extent(ny) + static_cast<std::size_t>(j)) *
                   extent(nz) +
               static_cast<std::size_t>(k_);
    }
    bool on_face(int i, int j, int k_) const {
        return i == 0 || j == 0 || k_ == 0 || i == nx - 1 || j == ny - 1 || k_ == nz - 1;
    }

    TcadGrid view() {
        TcadGrid g;
        g.T = T.data();
        g.k = k_as_value ? nullptr : k.data();
        g.cp = cp_as_value ? nullptr : cp.data();
        g.Q = Q_as_value ? nullptr : Q.data();
        g.bc = bc_as_value ? nullptr : bc.data();
        g.k_uniform = k_as_value && !k.empty() ? k[0] : 0.0;
        g.cp_uniform = cp_as_value && !cp.empty() ? cp[0] : 0.0;
        g.nx = nx;
        g.ny = ny;
        g.nz = nz;
        g.dx = dx;
        g.dy = dy;
        g.dz = dz;
        g.dt = dt;
        return g;
    }

    static std::size_t extent(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }
};

}  // namespace tavro::testing
