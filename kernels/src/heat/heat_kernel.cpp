// Optimised heat-diffusion run. It stores the same bits and reports the same
// statistics as tcad_kernel_reference: every updated cell goes through the
// same IEEE operations in the same order. The speed comes only from what can
// change without touching a rounding:
//   - held outer faces never change, so both buffers keep them and a step
//     ping-pongs the buffers instead of copying; their extremes are taken
//     once per run (heat_analysis);
//   - interior rows are swept several cells at a time with vectors of the
//     widest instruction set available (heat_sweeps, heat_dispatch);
//   - whatever carries the same bits in every updated cell is formed once:
//     the coefficients when conductivity and heat capacity are uniform, one
//     division for all three when dx*dx, dy*dy and dz*dz are equal, dt*Q
//     when the source is uniform; the codes are not read at all when no
//     interior cell is held by one;
//   - several steps are swept together (heat_blocking).
// Vectors change one thing: the order in which the extremes meet. That only
// matters for the sign of a zero extreme, which is settled after the sweep
// from the first zero in flat order.
//
// A block runs speculatively: it reads its input field and writes the field
// after its last step into the other buffer, so the input is still there
// afterwards. If the run converges on a step inside the block, that step is
// recomputed from the input one plain step at a time. If a sampled step
// inside the block has a zero extreme whose sign cannot be told without its
// field, the block is redone one plain step at a time and blocking stays off.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/grid_extents.hpp"
#include "common/history.hpp"
#include "heat/heat_analysis.hpp"
#include "heat/heat_blocking.hpp"
#include "tavro/allocation.hpp"
#include "tavro/heat_kernel.hpp"
#include "tavro/ieee_mode.hpp"

namespace tavro {
namespace {

using heat::Accum;
using heat::kMaxDepth;
using heat::StepStats;

// What the step loop is asked to do besides stepping.
struct StepControl {
    std::int32_t iterations;
    HistoryWriter history;
    bool early_exit;
    double tol;

    // Whether step `step` needs its statistics at all.
    bool needs_stats(std::int32_t step) const {
        return history.samples(step) || early_exit || step == iterations - 1;
    }
};

// Folds each step's lane statistics with the faces' and gives a zero extreme
// of a sampled step its scan-order sign. False when that sign needs a field
// the block never stored whole (a step before its last).
bool settle_block(const heat::Faces& faces, bool face_zero_first, const Accum* acc, int depth,
                  std::int32_t s0, const StepControl& control, const double* last_field,
                  std::int64_t cells, StepStats* out) {
    for (int level = 0; level < depth; ++level) {
        StepStats& st = out[level];
        st = heat::fold(faces.stats, acc[level]);
        if (!control.history.samples(s0 + level) || (st.t_max != 0.0 && st.t_min != 0.0)) {
            continue;
        }
        double zero;
        if (face_zero_first) {
            zero = faces.zero;
        } else if (level == depth - 1) {
            zero = heat::first_zero_in_scan_order(last_field, cells);
        } else {
            return false;
        }
        if (st.t_max == 0.0) st.t_max = zero;
        if (st.t_min == 0.0) st.t_min = zero;
    }
    return true;
}

// Reports the block's steps in order; the level of the step on which the
// run converged, or -1.
int record_block(const StepStats* stats, int depth, std::int32_t s0, const StepControl& control,
                 TcadSummary& summary) {
    for (int level = 0; level < depth; ++level) {
        const std::int32_t step = s0 + level;
        summary.max_delta = stats[level].delta;
        control.history.write(step, stats[level].t_max, stats[level].t_min);
        summary.iterations_completed = step + 1;
        if (control.early_exit && stats[level].delta < control.tol) {
            summary.early_exit_step = step;
            return level;
        }
    }
    return -1;
}

}  // namespace

TcadSummary tcad_kernel(TcadGrid& grid, std::int32_t iterations, double* history,
                        std::int32_t history_stride, double convergence_tol) noexcept {
    const IeeeModeScope ieee;
    TcadSummary summary;

    // A grid too large to count cannot be allocated: reported as a failed
    // scratch allocation.
    detail::GridExtents64 extents;
    if (!detail::grid_extents(grid, &extents)) return summary;
    const std::int64_t cells = extents.cells;
    double* scratch = allocate_array<double>(static_cast<std::size_t>(cells), AllocSite::scratch);
    if (scratch == nullptr || iterations <= 0) {
        release_bytes(scratch);
        return summary;
    }

    // The face cells go into the scratch field now; every step writes all of
    // the interior before anything reads it.
    const heat::Faces faces = heat::face_extremes(grid.T, scratch, extents.nx, extents.ny,
                                                  extents.nz);
    heat::BlockPlan plan(grid, extents, iterations, active_isa());
    if (!plan.ready()) {
        release_bytes(scratch);
        return summary;
    }
    // The first zero in flat order is a face cell's when no interior cell
    // comes before it; then a zero extreme needs no look at the field.
    const std::int64_t first_interior =
        plan.has_interior() ? (extents.ny + 1) * extents.nz + 1 : cells;
    const bool face_zero_first = faces.first_zero >= 0 && faces.first_zero < first_interior;
    const StepControl control{iterations, HistoryWriter(history, history_stride),
                              convergence_tol > 0.0, convergence_tol};

    // Both buffers hold the faces, which never change: a step writes only
    // the interior of `next`, and the two buffers swap roles after each block.
    double* cur = grid.T;
    double* next = scratch;
    Accum acc[kMaxDepth];
    for (std::int32_t s0 = 0; s0 < iterations;) {
        const int depth = plan.next_depth(s0, iterations);
        bool stats_wanted[kMaxDepth];
        for (int level = 0; level < depth; ++level) {
            stats_wanted[level] = control.needs_stats(s0 + level);
        }
        if (plan.has_interior()) {
            heat::run_block(plan.pipeline(), cur, next, depth, stats_wanted, acc);
        } else {
            for (int level = 0; level < depth; ++level) acc[level].reset();
        }

        StepStats stats[kMaxDepth];
        if (!settle_block(faces, face_zero_first, acc, depth, s0, control, next, cells, stats)) {
            plan.stop_blocking();  // `cur` is untouched: redo the steps one at a time
            continue;
        }
        const int converged = record_block(stats, depth, s0, control, summary);
        if (converged == depth - 1) {
            std::swap(cur, next);
        } else if (converged >= 0) {
            // Converged inside the block: recompute up to that step.
            const bool no_stats[1] = {false};
            for (int level = 0; level <= converged && plan.has_interior(); ++level) {
                heat::run_block(plan.pipeline(), cur, next, 1, no_stats, acc);
                std::swap(cur, next);
            }
        }
        if (converged >= 0) break;
        std::swap(cur, next);
        s0 += depth;
        plan.block_done();
    }

    if (cur != grid.T && cells > 0) {
        std::memcpy(grid.T, cur, static_cast<std::size_t>(cells) * sizeof(double));
    }
    release_bytes(scratch);
    return summary;
}

}  // namespace tavro
