// Cell-by-cell transcription of the heat-diffusion sweep. It favours being
// obviously right over being fast: every cell repeats the face test and the
// coefficient arithmetic in exactly the written order. The optimised
// tcad_kernel is held against it bit for bit.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tavro/allocation.hpp"
#include "tavro/heat_kernel.hpp"
#include "tavro/ieee_mode.hpp"
#include "common/grid_extents.hpp"

namespace tavro {

TcadSummary tcad_kernel_reference(TcadGrid& grid, std::int32_t iterations, double* history,
                                  std::int32_t history_stride,
                                  double convergence_tol) noexcept {
    const IeeeModeScope ieee;
    TcadSummary summary;

    // A grid too large to count cannot be allocated: reported as a failed
    // scratch allocation.
    detail::GridExtents64 extents;
    if (!detail::grid_extents(grid, &extents)) return summary;
    const std::int64_t nx = extents.nx, ny = extents.ny, nz = extents.nz, cells = extents.cells;

    double* next = allocate_array<double>(static_cast<std::size_t>(cells), AllocSite::scratch);
    if (next == nullptr) return summary;

    double* T = grid.T;
    if (cells > 0) std::memcpy(next, T, static_cast<std::size_t>(cells) * sizeof(double));

    const bool early_exit = convergence_tol > 0.0;
    // A stride below 1 cannot address a slot, so such a history is not sampled.
    const bool sampling = history != nullptr && history_stride >= 1;

    for (std::int32_t s = 0; s < iterations; ++s) {
        double t_max = kTcadMaxStart;
        double t_min = kTcadMinStart;
        double delta = 0.0;

        // With no cells there is nothing to visit, however many rows.
        for (std::int64_t i = 0; i < (cells > 0 ? nx : 0); ++i) {
            for (std::int64_t j = 0; j < ny; ++j) {
                for (std::int64_t k = 0; k < nz; ++k) {
                    const std::int64_t c = (i * ny + j) * nz + k;
                    const bool on_face = i == 0 || i == nx - 1 || j == 0 || j == ny - 1 ||
                                         k == 0 || k == nz - 1;
                    const std::int32_t code = grid.bc != nullptr ? grid.bc[c] : 0;
                    const bool held = code == 1 || code == 2 || on_face;

                    double v;
                    if (held) {
                        v = T[c];
                    } else {
                        const double T0 = T[c];
                        const double conductivity = grid.k != nullptr ? grid.k[c] : grid.k_uniform;
                        const double capacity = grid.cp != nullptr ? grid.cp[c] : grid.cp_uniform;
                        const double source = grid.Q != nullptr ? grid.Q[c] : 0.0;
                        const double a = (conductivity / (capacity * kTcadDensity)) * grid.dt;
                        const double cx = a / (grid.dx * grid.dx);
                        const double cy = a / (grid.dy * grid.dy);
                        const double cz = a / (grid.dz * grid.dz);
                        const double d2x = (T[c + ny * nz] - 2.0 * T0) + T[c - ny * nz];
                        const double d2y = (T[c + nz] - 2.0 * T0) + T[c - nz];
                        const double d2z = (T[c + 1] - 2.0 * T0) + T[c - 1];
                        v = (((T0 + cx * d2x) + cy * d2y) + cz * d2z) + grid.dt * source;
                    }
                    next[c] = v;

                    // Comparisons with NaN are false, so NaN leaves the statistics alone.
                    if (v > t_max) t_max = v;
                    if (v < t_min) t_min = v;
                    const double d = std::fabs(v - T[c]);
                    if (d > delta) delta = d;
                }
            }
        }

        summary.max_delta = delta;
        if (sampling && s % history_stride == 0) {
            double* slot = history + 3 * static_cast<std::size_t>(s / history_stride);
            slot[0] = static_cast<double>(s);
            slot[1] = t_max;
            slot[2] = t_min;
        }
        if (cells > 0) std::memcpy(T, next, static_cast<std::size_t>(cells) * sizeof(double));
        summary.iterations_completed = s + 1;
        if (early_exit && delta < convergence_tol) {
            summary.early_exit_step = s;
            break;
        }
    }

    release_bytes(next);
    return summary;
}

}  // namespace tavro
