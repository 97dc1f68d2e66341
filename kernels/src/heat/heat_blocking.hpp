// Temporal blocking: several steps swept together. A wavefront walks the
// x-planes, step L+1 trailing step L by one plane, with the planes of the
// steps in between held in small rings of three planes. Each plane then
// comes from memory once per block instead of once per step, and per-cell
// coefficients are formed once per block in a ring of coefficient planes.
// Every step keeps its own statistics. Planes too wide for the working
// memory are walked in bands of rows.
#pragma once

#include <cstdint>

#include "common/grid_extents.hpp"
#include "heat/heat_records.hpp"
#include "tavro/simd_isa.hpp"

namespace tavro::heat {

// Steps swept together at most.
inline constexpr int kMaxDepth = 8;

// The sweeps of one run and the working memory of its blocks.
struct Pipeline {
    Setup s;
    PlaneFn plane[2];    // without and with statistics
    CoefFn coef;         // forms the coefficient planes (cached modes), else null
    int coef_planes;     // 1 or 3 per slot, 0 without coefficient planes
    std::int64_t band;   // rows of the output formed per pass over the planes
    std::int64_t slot;   // doubles per slot: the rows of one band and its
                         // margins, rounded up to whole cache lines
    double* rings;       // 3 slots for every step inside a block but its last
    double* coefs;       // coef_planes slots for every step of a block
};

// Runs `depth` steps: reads the field `src`, writes the field after the last
// step into `dst` (both hold the faces already) and leaves `src` as it was.
// Step L of the block (0-based) keeps its statistics in acc[L], taken only
// where stats[L] is set.
void run_block(const Pipeline& p, const double* src, double* dst, int depth, const bool* stats,
               Accum* acc);

// How a run's steps are grouped into blocks, and the sweeps and working
// memory that serve them. A grid without interior cells has no sweeps.
class BlockPlan {
public:
    // Picks the sweeps of `isa` for what the grid's interior has in common
    // and the deepest blocks the working memory allows; without working
    // memory every block is one step.
    BlockPlan(const TcadGrid& grid, const detail::GridExtents64& extents,
              std::int32_t iterations, Isa isa) noexcept;
    ~BlockPlan();
    BlockPlan(const BlockPlan&) = delete;
    BlockPlan& operator=(const BlockPlan&) = delete;

    // False when the plan could not get the memory it needs: then no step
    // may run.
    bool ready() const { return ready_; }
    bool has_interior() const { return has_interior_; }
    const Pipeline& pipeline() const { return pipe_; }

    // Steps in the next block, from step s0 of a run of `iterations`. The
    // steps left are shared out evenly over the blocks left, whose number
    // is kept even where that costs nothing, so that a run ends in the
    // caller's buffer.
    int next_depth(std::int32_t s0, std::int32_t iterations) const;
    void block_done() { --blocks_left_; }
    // From now on one step a block.
    void stop_blocking() { blocking_ = false; }

private:
    void plan_depth(std::int32_t iterations, bool uniform_material, bool same_spacing);

    Pipeline pipe_{};
    double* working_ = nullptr;
    bool ready_ = true;
    bool has_interior_ = false;
    bool blocking_ = true;
    int depth_max_ = 1;
    std::int64_t blocks_left_ = 0;
};

}  // namespace tavro::heat
