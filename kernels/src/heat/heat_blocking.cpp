#include "heat/heat_blocking.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "heat/heat_analysis.hpp"
#include "heat/heat_dispatch.hpp"
#include "tavro/allocation.hpp"

namespace tavro::heat {
namespace {

// The working memory of a block's rings and coefficient planes at most.
// Planes too large for that are swept in bands of rows, each at least
// kMinBandPerStep rows per step of the block.
constexpr std::size_t kWorkingBytes = std::size_t{4} << 20;
constexpr std::int64_t kMinBandPerStep = 4;

// Doubles of working memory for blocks of `depth` steps.
std::int64_t working_doubles(std::int64_t slot, int depth, int coef_planes) {
    return slot * (3 * static_cast<std::int64_t>(depth - 1) + coef_planes * depth);
}

// Doubles per slot for bands of `band` rows: the band, the margins the
// steps before the last form beside it, and one spare row on either side,
// rounded up to whole cache lines.
std::int64_t slot_doubles(std::int64_t band, int depth, std::int64_t ny, std::int64_t nz) {
    return (std::min(ny, band + 2 * static_cast<std::int64_t>(depth)) * nz + 7) / 8 * 8;
}

}  // namespace

// The planes are walked once per band of rows. Wave w forms step 1's plane
// w, step 2's plane w-1, and so on: every plane a step reads was formed by
// the step before in this wave or an earlier one, and a ring slot is
// overwritten only after its last reader. Within a band the steps narrow
// towards its output rows, each step forming one row less on either side
// than the step before; rows formed in the margins are formed again, to the
// same bits, by the neighbouring band.
void run_block(const Pipeline& p, const double* src, double* dst, int depth, const bool* stats,
               Accum* acc) {
    const Setup& s = p.s;
    const std::int64_t last = s.nx - 2;  // the last interior plane
    for (int level = 0; level < depth; ++level) acc[level].reset();

    for (std::int64_t b0 = 1; b0 < s.ny - 1; b0 += p.band) {
        const std::int64_t b1 = std::min(b0 + p.band, s.ny - 1);
        const std::int64_t first = std::max<std::int64_t>(0, b0 - depth);  // a slot's first row
        auto j_lo = [&](int level) { return std::max<std::int64_t>(1, b0 - (depth - level)); };
        auto j_hi = [&](int level) { return std::min(s.ny - 1, b1 + (depth - level)); };
        // Plane i of the field after `level` steps of the block, level < depth.
        auto ring = [&](int level, std::int64_t i) {
            return p.rings + (static_cast<std::int64_t>(level - 1) * 3 + i % 3) * p.slot;
        };
        auto field = [&](int level, std::int64_t i) -> Rows<const double> {
            if (level == 0 || i == 0 || i == s.nx - 1) return {src + i * s.plane, 0};
            return {ring(level, i), first};
        };
        auto coef_rows = [&](std::int64_t i, int which) -> Rows<double> {
            double* slot = p.coefs + (i % depth) * p.coef_planes * p.slot;
            return {p.coef_planes == 3 ? slot + which * p.slot : slot, first};
        };

        for (std::int64_t w = 1; w <= last + depth - 1; ++w) {
            // The next wave reads input plane w+2 for the first time; the
            // other arrays stream well enough without help.
            Prefetch prefetch;
            if (w + 2 <= s.nx - 1) {
                prefetch.base = reinterpret_cast<const char*>(src + (w + 2) * s.plane +
                                                              (j_lo(1) - 1) * s.nz);
                prefetch.end = (j_hi(1) - j_lo(1) + 2) * s.nz *
                               static_cast<std::int64_t>(sizeof(double));
            }
            std::int64_t wave_rows = 0;
            for (int level = 1; level <= depth; ++level) {
                const std::int64_t i = w - level + 1;
                if (i >= 1 && i <= last) wave_rows += j_hi(level) - j_lo(level);
            }
            const std::int64_t per_row =
                wave_rows > 0 ? (prefetch.lines() + wave_rows - 1) / wave_rows : 0;

            if (p.coef != nullptr && w <= last) {
                const CoefJob job{coef_rows(w, 0), coef_rows(w, 1), coef_rows(w, 2),
                                  w * s.plane,     j_lo(1),         j_hi(1)};
                p.coef(job, s);
            }
            for (int level = 1; level <= depth; ++level) {
                const std::int64_t i = w - level + 1;
                if (i < 1) break;
                if (i > last) continue;
                PlaneJob job;
                job.below = field(level - 1, i - 1);
                job.here = field(level - 1, i);
                job.above = field(level - 1, i + 1);
                job.face_lo = src + i * s.plane;
                job.face_hi = job.face_lo + (s.ny - 1) * s.nz;
                job.out = level == depth ? Rows<double>{dst + i * s.plane, 0}
                                         : Rows<double>{ring(level, i), first};
                job.cx = job.cy = job.cz = {nullptr, 0};
                if (p.coef != nullptr) {
                    const Rows<double> cx = coef_rows(i, 0), cy = coef_rows(i, 1),
                                       cz = coef_rows(i, 2);
                    job.cx = {cx.rows, first};
                    job.cy = {cy.rows, first};
                    job.cz = {cz.rows, first};
                }
                job.offset = i * s.plane;
                job.j_lo = j_lo(level);
                job.j_hi = j_hi(level);
                job.prefetch = &prefetch;
                job.per_row = per_row;
                p.plane[stats[level - 1] ? 1 : 0](job, s, acc[level - 1]);
            }
        }
    }
}

BlockPlan::BlockPlan(const TcadGrid& grid, const detail::GridExtents64& e,
                     std::int32_t iterations, Isa isa) noexcept {
    has_interior_ = e.nx >= 3 && e.ny >= 3 && e.nz >= 3;
    if (has_interior_) {
        ready_ = false;
        Setup& s = pipe_.s;
        s.nx = e.nx;
        s.ny = e.ny;
        s.nz = e.nz;
        s.plane = e.ny * e.nz;
        s.two = 2.0;
        s.dt = grid.dt;
        s.dxx = grid.dx * grid.dx;
        s.dyy = grid.dy * grid.dy;
        s.dzz = grid.dz * grid.dz;
        s.k = grid.k;
        s.cp = grid.cp;
        s.k_one = grid.k_uniform;
        s.cp_one = grid.cp_uniform;
        s.Q = grid.Q;
        s.bc = grid.bc;
        const Uniformity u = uniformity(grid, e.nx, e.ny, e.nz);
        const double k = grid.k != nullptr ? grid.k[u.first] : grid.k_uniform;
        const double cp = grid.cp != nullptr ? grid.cp[u.first] : grid.cp_uniform;
        if (u.material) {
            const double a = (k / (cp * kTcadDensity)) * grid.dt;
            s.cx = a / s.dxx;
            s.cy = a / s.dyy;
            s.cz = a / s.dzz;
        }
        if (u.source) s.dtq = grid.dt * (grid.Q != nullptr ? grid.Q[u.first] : 0.0);
        const bool same_spacing = same_bits(s.dxx, s.dyy) && same_bits(s.dxx, s.dzz);
        plan_depth(iterations, u.material, same_spacing);

        Coef mode = u.material ? Coef::uniform
                               : same_spacing ? Coef::inline_same : Coef::inline_distinct;
        // With working memory, per-cell coefficients are formed once per
        // block into its coefficient planes.
        if (depth_max_ > 1 && !u.material) {
            mode = same_spacing ? Coef::cached_same : Coef::cached_distinct;
        }
        const SweepTable& sweeps = sweeps_for(isa);
        pipe_.plane[0] = plane_sweep(sweeps, mode, u.codes_hold, !u.source, false);
        pipe_.plane[1] = plane_sweep(sweeps, mode, u.codes_hold, !u.source, true);
        pipe_.coef = is_cached(mode) ? sweeps.coef[same_spacing ? 1 : 0] : nullptr;
        ready_ = true;
    }
    blocks_left_ = iterations > 0 ? (iterations + depth_max_ - 1) / depth_max_ : 0;
    if (blocks_left_ % 2 != 0 && blocks_left_ < iterations) ++blocks_left_;
}

// Blocks as deep as possible with bands as tall as the working memory
// allows, but not so narrow that the margins cost more than a quarter of
// the work; a lone step needs no working memory.
void BlockPlan::plan_depth(std::int32_t iterations, bool uniform_material, bool same_spacing) {
    const Setup& s = pipe_.s;
    const int coef_planes = uniform_material ? 0 : same_spacing ? 1 : 3;
    depth_max_ = static_cast<int>(
        std::min<std::int64_t>(kMaxDepth, std::max<std::int32_t>(iterations, 1)));
    pipe_.band = s.ny - 2;
    for (; depth_max_ > 1; --depth_max_) {
        const std::int64_t slots = working_doubles(1, depth_max_, coef_planes);
        const std::int64_t rows =
            (static_cast<std::int64_t>(kWorkingBytes / sizeof(double)) / slots - 8) / s.nz;
        pipe_.band = std::min(s.ny - 2, rows - 2 * depth_max_);
        if (pipe_.band >= std::min(s.ny - 2, kMinBandPerStep * depth_max_)) break;
    }
    if (depth_max_ > 1) {
        pipe_.slot = slot_doubles(pipe_.band, depth_max_, s.ny, s.nz);
        const std::size_t n =
            static_cast<std::size_t>(working_doubles(pipe_.slot, depth_max_, coef_planes)) + 8;
        working_ = allocate_array<double>(n, AllocSite::scratch);
        if (working_ != nullptr) {
            // Reads of face positions and of rows a slot never receives land
            // in lanes whose result is discarded; zeroing keeps them defined.
            std::memset(working_, 0, n * sizeof(double));
            double* base = working_;
            while (reinterpret_cast<std::uintptr_t>(base) % 64 != 0) ++base;
            pipe_.rings = base;
            pipe_.coefs = base + 3 * static_cast<std::int64_t>(depth_max_ - 1) * pipe_.slot;
            pipe_.coef_planes = coef_planes;
            return;
        }
        depth_max_ = 1;
    }
    pipe_.band = s.ny - 2;
}

BlockPlan::~BlockPlan() {
    release_bytes(working_);
}

int BlockPlan::next_depth(std::int32_t s0, std::int32_t iterations) const {
    if (!blocking_) return 1;
    const std::int64_t left = iterations - s0, blocks = std::max<std::int64_t>(blocks_left_, 1);
    return static_cast<int>(std::min<std::int64_t>(depth_max_, (left + blocks - 1) / blocks));
}

}  // namespace tavro::heat
