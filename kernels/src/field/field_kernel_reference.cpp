// Cell-by-cell transcription of the coupled field relaxation. It favours
// being obviously right over being fast: every cell repeats the face and flag
// tests, and every product and sum is formed left to right in the order the
// update is written, constants spelled out where they are used. The
// optimised relax_fields is held against it bit for bit.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "tavro/allocation.hpp"
#include "tavro/field_kernel.hpp"
#include "tavro/ieee_mode.hpp"
#include "tavro/libm.hpp"
#include "field/field_constants.hpp"
#include "common/grid_extents.hpp"

namespace tavro {

RunSummary relax_fields_reference(FieldGrid& grid, std::int32_t iterations, double* history,
                                  std::int32_t history_stride, double convergence_tol) noexcept {
    const IeeeModeScope ieee;
    // What a run reports when it cannot hold its scratch buffers.
    const RunSummary not_started{0, -1, 0.0, 0.0};

    // A grid too large to count cannot be allocated: reported as a failed
    // scratch allocation.
    detail::GridExtents64 extents;
    if (!detail::grid_extents(grid, &extents)) return not_started;
    const std::int64_t nx = extents.nx, ny = extents.ny, nz = extents.nz, cells = extents.cells;
    const std::size_t count = static_cast<std::size_t>(cells);

    double* psi_cur = allocate_array<double>(count, AllocSite::field_scratch);
    double* psi_next = allocate_array<double>(count, AllocSite::field_scratch);
    double* tau_cur = allocate_array<double>(count, AllocSite::field_scratch);
    double* tau_next = allocate_array<double>(count, AllocSite::field_scratch);
    if (!psi_cur || !psi_next || !tau_cur || !tau_next) {
        release_bytes(psi_cur);
        release_bytes(psi_next);
        release_bytes(tau_cur);
        release_bytes(tau_next);
        return not_started;
    }

    const double P_k = grid.P_k;
    for (std::int64_t c = 0; c < cells; ++c) {
        psi_cur[c] = grid.psi[c] / P_k;
        tau_cur[c] = grid.tau[c];
    }

    RunSummary summary{0, -1, 0.0, 0.0};
    // A stride below 1 cannot address a record, so such a history is not sampled.
    const bool sampling = history != nullptr && history_stride >= 1;
    const std::int64_t s2 = nz, s1 = ny * nz;

    for (std::int32_t step = 0; step < iterations; ++step) {
        double max_delta = 0.0;
        double energy = 0.0;

        // With no cells there is nothing to visit, however many rows.
        for (std::int64_t i0 = 0; i0 < (cells > 0 ? nx : 0); ++i0) {
            for (std::int64_t i1 = 0; i1 < ny; ++i1) {
                for (std::int64_t i2 = 0; i2 < nz; ++i2) {
                    const std::int64_t f = (i0 * ny + i1) * nz + i2;
                    const bool on_face = i0 == 0 || i0 == nx - 1 || i1 == 0 || i1 == ny - 1 ||
                                         i2 == 0 || i2 == nz - 1;
                    const double flag = grid.bc != nullptr ? grid.bc[f] : 0.0;
                    if (flag == 1.0 || on_face) {
                        psi_next[f] = psi_cur[f];
                        tau_next[f] = tau_cur[f];
                        continue;
                    }

                    const double Psi = psi_cur[f];
                    const double T = tau_cur[f];
                    const double Phi = grid.phi != nullptr ? grid.phi[f] : 0.0;

                    const double psi_sum = psi_cur[f + 1] + psi_cur[f - 1] + psi_cur[f + s2] +
                                           psi_cur[f - s2] + psi_cur[f + s1] + psi_cur[f - s1];
                    const double tau_sum = tau_cur[f + 1] + tau_cur[f - 1] + tau_cur[f + s2] +
                                           tau_cur[f - s2] + tau_cur[f + s1] + tau_cur[f - s1];
                    const double L_psi = psi_sum - Psi * 6;
                    const double L_tau = tau_sum - T * 6;

                    double D, S;
                    if (T > 1e-9) {
                        D = T + 1.0;
                        S = libm_log(D);
                    } else {  // NaN lands here too
                        D = 1.000000001;
                        S = T;
                    }

                    const double Q = Phi * 1e-24 * Phi;

                    const double G_psi = P_k * 1e-26 * (Psi - 1) - S * 7e-10 + T * 5e-124 * T +
                                         P_k * 1.6666666666666665e-105 * P_k * P_k * (Psi - 1) *
                                             (Psi - 1) * (Psi - 1) -
                                         Q - T * 10 * T - L_psi * 0.1;
                    const double dPsi = G_psi * -0.05;
                    const double Psi_n = Psi + dPsi;

                    const double G_tau = T * 1e-123 * Psi * P_k + (Psi * -7e-10 * P_k) / D -
                                         Psi * 20 * P_k * T - Q - L_tau * 0.01;
                    const double dT = G_tau * -0.05;
                    double T_n = T + dT;
                    if (1e-9 > T_n) T_n = 1e-9;

                    psi_next[f] = Psi_n;
                    tau_next[f] = T_n;

                    // Strict comparisons: a NaN step never raises max_delta.
                    if (std::fabs(dPsi) > max_delta) max_delta = std::fabs(dPsi);
                    if (std::fabs(dT) > max_delta) max_delta = std::fabs(dT);

                    energy = (P_k * 5e-27 * (Psi_n - 1) * (Psi_n - 1) - Psi_n * 7e-10 * P_k * S +
                              T_n * 5e-124 * T_n * Psi_n * P_k) +
                             energy;
                }
            }
        }

        std::swap(psi_cur, psi_next);
        std::swap(tau_cur, tau_next);
        summary.iterations_completed = step + 1;
        summary.max_delta_final = max_delta;
        const double N = static_cast<double>(cells);
        if (sampling && step % history_stride == 0) {
            double* record = history + 3 * static_cast<std::size_t>(step / history_stride);
            record[0] = static_cast<double>(step);
            record[1] = max_delta;
            record[2] = energy / N;
        }
        if (convergence_tol > 0.0 && max_delta < convergence_tol) {
            summary.early_exit_step = step;
            summary.energy_final = energy / N;
            break;
        }
    }

    for (std::int64_t c = 0; c < cells; ++c) {
        grid.psi[c] = P_k * psi_cur[c];
        grid.tau[c] = tau_cur[c];
    }

    release_bytes(psi_cur);
    release_bytes(psi_next);
    release_bytes(tau_cur);
    release_bytes(tau_next);
    return summary;
}

}  // namespace tavro
