// Optimised coupled field relaxation. It stores the same bits and reports the
// same figures as relax_fields_reference: every free cell goes through the
// same IEEE operations in the same order. The speed comes only from what can
// change without touching a rounding:
//   - face cells never change, so both generations hold them from the start
//     and a sweep visits only the interior;
//   - one generation of each field lives in the caller's own buffers, so a
//     run needs two scratch buffers, not four, and copies nothing back when
//     it ends there;
//   - the cell-independent leading products (P_k*1e-26, P_k*c3*P_k*P_k and
//     P_k*5e-27) are formed once per run;
//   - interior rows are updated several cells at a time with vectors of the
//     widest instruction set available (field_sweeps, field_dispatch);
//   - the flags are not read at all when no interior cell is fixed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/grid_extents.hpp"
#include "common/grid_faces.hpp"
#include "common/history.hpp"
#include "field/field_constants.hpp"
#include "field/field_dispatch.hpp"
#include "tavro/allocation.hpp"
#include "tavro/field_kernel.hpp"
#include "tavro/ieee_mode.hpp"

namespace tavro {
namespace {

// Whether a cell off the faces is fixed by its flag. Faces are often all
// flagged; without an interior one the sweeps need not read the flags.
bool interior_fixed(const double* bc, std::int64_t nx, std::int64_t ny, std::int64_t nz) {
    bool fixed = false;
    detail::for_each_interior_row(nx, ny, nz, [&](std::int64_t first, std::int64_t count) {
        for (std::int64_t c = first; c < first + count && !fixed; ++c) fixed = bc[c] == 1.0;
        return !fixed;
    });
    return fixed;
}

}  // namespace

RunSummary relax_fields(FieldGrid& grid, std::int32_t iterations, double* history,
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

    // One generation of psi' and of tau lives in the caller's buffers, the
    // other in scratch; the two change roles after every sweep.
    double* psi_scratch = allocate_array<double>(count, AllocSite::field_scratch);
    double* tau_scratch = allocate_array<double>(count, AllocSite::field_scratch);
    if (psi_scratch == nullptr || tau_scratch == nullptr) {
        release_bytes(psi_scratch);
        release_bytes(tau_scratch);
        return not_started;
    }
    double *psi_cur = grid.psi, *psi_next = psi_scratch;
    double *tau_cur = grid.tau, *tau_next = tau_scratch;

    const double P_k = grid.P_k;
    for (std::size_t c = 0; c < count; ++c) psi_cur[c] = psi_cur[c] / P_k;
    // The face cells, which no sweep changes, go into the other generation
    // now; every sweep writes all of the interior.
    if (iterations > 0) {
        detail::copy_faces(psi_cur, psi_next, nx, ny, nz);
        detail::copy_faces(tau_cur, tau_next, nx, ny, nz);
    }

    field::Sweep sweep{};
    sweep.phi = grid.phi;
    sweep.bc = grid.bc;
    sweep.nx = nx;
    sweep.ny = ny;
    sweep.nz = nz;
    sweep.k = {P_k, P_k * 1e-26, P_k * detail::kCubicCoupling * P_k * P_k, P_k * 5e-27};
    sweep.interior_fixed = grid.bc != nullptr && interior_fixed(grid.bc, nx, ny, nz);
    const bool has_interior = nx >= 3 && ny >= 3 && nz >= 3;
    const field::InteriorFn relax = field::interior_sweep_for(active_isa());

    RunSummary summary{0, -1, 0.0, 0.0};
    const HistoryWriter records(history, history_stride);
    const double N = static_cast<double>(cells);

    for (std::int32_t step = 0; step < iterations; ++step) {
        sweep.max_delta = 0.0;
        sweep.energy = 0.0;
        if (has_interior) {
            sweep.psi = psi_cur;
            sweep.tau = tau_cur;
            sweep.psi_next = psi_next;
            sweep.tau_next = tau_next;
            relax(sweep);
        }
        std::swap(psi_cur, psi_next);
        std::swap(tau_cur, tau_next);

        summary.iterations_completed = step + 1;
        summary.max_delta_final = sweep.max_delta;
        records.write(step, sweep.max_delta, sweep.energy / N);
        if (convergence_tol > 0.0 && sweep.max_delta < convergence_tol) {
            summary.early_exit_step = step;
            summary.energy_final = sweep.energy / N;
            break;
        }
    }

    // Back to the caller's units, in the caller's buffers.
    for (std::size_t c = 0; c < count; ++c) grid.psi[c] = P_k * psi_cur[c];
    if (tau_cur != grid.tau && count > 0) std::memcpy(grid.tau, tau_cur, count * sizeof(double));
    release_bytes(psi_scratch);
    release_bytes(tau_scratch);
    return summary;
}

}  // namespace tavro
