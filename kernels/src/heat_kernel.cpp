// Optimised heat-diffusion sweep. It stores the same bits and reports the
// same statistics as tcad_kernel_reference: every updated cell goes through
// the same IEEE operations in the same order. The speed comes only from what
// can change without touching a rounding:
//   - held outer faces never change, so both buffers keep them and a step
//     ping-pongs the buffers instead of copying; their extremes are taken
//     once per run;
//   - interior rows are swept several cells at a time with explicit vectors
//     (AVX-512 or AVX2, chosen at run time; scalar elsewhere);
//   - whatever carries the same bits in every updated cell is formed once:
//     the coefficients when conductivity and heat capacity are uniform, one
//     division for all three when dx*dx, dy*dy and dz*dz are equal, dt*Q
//     when the source is uniform; the codes are not read at all when no
//     interior cell is held by one;
//   - several steps are swept together (temporal blocking): a wavefront
//     walks the x-planes, step L+1 trailing step L by one plane, with the
//     planes of the steps in between held in small rings of three planes.
//     Each plane then comes from memory once per block instead of once per
//     step, and per-cell coefficients are formed once per block in a ring
//     of coefficient planes. Every step keeps its own statistics. Planes
//     too wide for the working memory are walked in bands of rows.
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
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "tavro/allocation.hpp"
#include "tavro/heat_kernel.hpp"
#include "grid_extents.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TAVRO_HEAT_X86_VECTORS 1
#else
#define TAVRO_HEAT_X86_VECTORS 0
#endif

#if TAVRO_HEAT_X86_VECTORS
#include <immintrin.h>
#endif

// The widest sweep to consider. Test builds lower it so that the narrower
// sweeps are held against the reference on machines that would pick a wider one.
#ifndef TAVRO_HEAT_MAX_LANES
#define TAVRO_HEAT_MAX_LANES 8
#endif

namespace tavro {
namespace {

// Steps swept together at most, and the working memory of a block's rings
// and coefficient planes at most. Planes too large for that are swept in
// bands of rows, each at least kMinBandPerStep rows per step of the block.
constexpr int kMaxDepth = 8;
constexpr std::size_t kWorkingBytes = std::size_t{4} << 20;
constexpr std::int64_t kMinBandPerStep = 4;

struct StepStats {
    double t_max = kTcadMaxStart;
    double t_min = kTcadMinStart;
    double delta = 0.0;
};

// Sequential rules: a NaN compares false and changes nothing.
inline void take_extremes(StepStats& stats, double v) {
    if (v > stats.t_max) stats.t_max = v;
    if (v < stats.t_min) stats.t_min = v;
}
inline void take_change(StepStats& stats, double d) {
    if (d > stats.delta) stats.delta = d;
}

inline bool is_held_code(std::int32_t code) { return code == 1 || code == 2; }

// Where a cell's three coefficients come from.
enum class Coef {
    uniform,          // the same in every updated cell: formed once per run
    inline_same,      // formed per cell; dx*dx, dy*dy, dz*dz equal: one division
    inline_distinct,  // formed per cell with three divisions
    cached_same,      // read from the block's coefficient planes (one plane)
    cached_distinct,  // read from the block's coefficient planes (three planes)
};
constexpr bool is_inline(Coef m) { return m == Coef::inline_same || m == Coef::inline_distinct; }
constexpr bool is_cached(Coef m) { return m == Coef::cached_same || m == Coef::cached_distinct; }
constexpr bool is_same(Coef m) { return m == Coef::inline_same || m == Coef::cached_same; }

// What stays fixed for a run.
struct Setup {
    std::int64_t nx, ny, nz, plane;  // plane = ny*nz
    double two;            // 2.0, the factor of T0 in the second differences
    double dt;
    double dxx, dyy, dzz;  // dx*dx etc., the divisors of the coefficients
    double cx, cy, cz;     // every cell's coefficients (Coef::uniform)
    double dtq;            // every cell's dt*Q when the source is uniform
    const double* k;
    const double* cp;
    const double* Q;
    const std::int32_t* bc;
};

// Rows of a plane from row `first` on: row j starts at rows + (j - first)*nz.
// Whole planes of the grid's buffers start at row 0; a ring slot holds the
// rows of one band.
template <class T>
struct Rows {
    T* rows;
    std::int64_t first;

    T* row(std::int64_t j, std::int64_t nz) const { return rows + (j - first) * nz; }
};

// Cache lines to fetch ahead of need: the rows of the input plane that the
// next wave of a block reads from memory for the first time. The sweeps of
// a wave issue a few a row, so that the fetches overlap the arithmetic
// instead of stalling it.
struct Prefetch {
    const char* base = nullptr;
    std::int64_t next = 0;  // byte offsets from base
    std::int64_t end = 0;

    std::int64_t lines() const { return (end - next + 63) / 64; }
    void issue(std::int64_t n) {
        for (; n > 0 && next < end; --n, next += 64) __builtin_prefetch(base + next);
    }
};

// Rows [j_lo, j_hi) of x-plane i of one step: where they read, where they write.
struct PlaneJob {
    Rows<const double> below;  // plane i-1 of the step's input field
    Rows<const double> here;   // plane i
    Rows<const double> above;  // plane i+1
    const double* face_lo;     // rows j = 0 and ny-1 of plane i, which no step
    const double* face_hi;     // changes (ring slots do not carry them)
    Rows<double> out;          // plane i of the step's output field
    Rows<const double> cx;     // plane i's coefficients (cached modes only)
    Rows<const double> cy;
    Rows<const double> cz;
    std::int64_t offset;  // i*plane, where plane i starts in the grid's arrays
    std::int64_t j_lo, j_hi;
    Prefetch* prefetch;   // the wave's fetches ahead, `per_row` of them a row
    std::int64_t per_row;
};

// The coefficients of rows [j_lo, j_hi) of plane i, interior cells only.
struct CoefJob {
    Rows<double> cx, cy, cz;
    std::int64_t offset;
    std::int64_t j_lo, j_hi;
};

// One row j of a PlaneJob, all nz cells of it.
struct RowJob {
    const double* t;
    const double* xm;
    const double* xp;
    const double* ym;
    const double* yp;
    double* out;
    const double* k;
    const double* cp;
    const double* q;
    const std::int32_t* bc;
    const double* cx;
    const double* cy;
    const double* cz;
};

inline RowJob row_of(const PlaneJob& job, const Setup& s, std::int64_t j) {
    const std::int64_t g = job.offset + j * s.nz;
    RowJob r;
    r.t = job.here.row(j, s.nz);
    r.xm = job.below.row(j, s.nz);
    r.xp = job.above.row(j, s.nz);
    r.ym = j == 1 ? job.face_lo : r.t - s.nz;
    r.yp = j == s.ny - 2 ? job.face_hi : r.t + s.nz;
    r.out = job.out.row(j, s.nz);
    r.k = s.k + g;
    r.cp = s.cp + g;
    r.q = s.Q + g;
    r.bc = s.bc + g;
    r.cx = job.cx.rows != nullptr ? job.cx.row(j, s.nz) : nullptr;
    r.cy = job.cy.rows != nullptr ? job.cy.row(j, s.nz) : nullptr;
    r.cz = job.cz.rows != nullptr ? job.cz.row(j, s.nz) : nullptr;
    return r;
}

// Statistics of one step as the sweeps leave them: one scalar set and one
// per vector lane, folded with the faces' extremes afterwards.
constexpr int kLaneSlots = 8;
struct Accum {
    StepStats scalar;
    double t_max[kLaneSlots], t_min[kLaneSlots], delta[kLaneSlots];

    void reset() {
        scalar = StepStats{};
        for (int lane = 0; lane < kLaneSlots; ++lane) {
            t_max[lane] = kTcadMaxStart;
            t_min[lane] = kTcadMinStart;
            delta[lane] = 0.0;
        }
    }
};

// Each maximum competes only for the maximum: a lane (or the scalar set)
// that saw no value still holds the minimum's starting bound in its t_min.
StepStats fold(const StepStats& faces, const Accum& a) {
    StepStats stats = faces;
    if (a.scalar.t_max > stats.t_max) stats.t_max = a.scalar.t_max;
    if (a.scalar.t_min < stats.t_min) stats.t_min = a.scalar.t_min;
    take_change(stats, a.scalar.delta);
    for (int lane = 0; lane < kLaneSlots; ++lane) {
        if (a.t_max[lane] > stats.t_max) stats.t_max = a.t_max[lane];
        if (a.t_min[lane] < stats.t_min) stats.t_min = a.t_min[lane];
        take_change(stats, a.delta[lane]);
    }
    return stats;
}

// A sweep over one plane's interior rows, and the former of its
// coefficient planes.
using PlaneFn = void (*)(const PlaneJob&, const Setup&, Accum&);
using CoefFn = void (*)(const CoefJob&, const Setup&);

// ---------------------------------------------------------------------------
// Scalar sweeps.

// All nz cells of one row, one at a time: the two face cells are copied, the
// others updated unless their code holds them.
template <Coef M, bool kCodes, bool kSource, bool kStats>
inline void row_scalar(const RowJob& r, const Setup& s, StepStats& stats) {
    const std::int64_t n = s.nz;
    r.out[0] = r.t[0];
    r.out[n - 1] = r.t[n - 1];
    for (std::int64_t c = 1; c < n - 1; ++c) {
        const double t0 = r.t[c];
        double v = t0;
        if (!kCodes || !is_held_code(r.bc[c])) {
            double cx = s.cx, cy = s.cy, cz = s.cz;
            if (is_inline(M)) {
                const double a = (r.k[c] / (r.cp[c] * kTcadDensity)) * s.dt;
                cx = a / s.dxx;
                cy = is_same(M) ? cx : a / s.dyy;
                cz = is_same(M) ? cx : a / s.dzz;
            } else if (is_cached(M)) {
                cx = r.cx[c];
                cy = is_same(M) ? cx : r.cy[c];
                cz = is_same(M) ? cx : r.cz[c];
            }
            const double d2x = (r.xp[c] - 2.0 * t0) + r.xm[c];
            const double d2y = (r.yp[c] - 2.0 * t0) + r.ym[c];
            const double d2z = (r.t[c + 1] - 2.0 * t0) + r.t[c - 1];
            const double source = kSource ? s.dt * r.q[c] : s.dtq;
            v = (((t0 + cx * d2x) + cy * d2y) + cz * d2z) + source;
        }
        r.out[c] = v;
        if (kStats) {
            take_extremes(stats, v);
            take_change(stats, std::fabs(v - t0));
        }
    }
}

template <Coef M, bool kCodes, bool kSource, bool kStats>
void plane_scalar(const PlaneJob& job, const Setup& s, Accum& accum) {
    for (std::int64_t j = job.j_lo; j < job.j_hi; ++j) {
        job.prefetch->issue(job.per_row);
        row_scalar<M, kCodes, kSource, kStats>(row_of(job, s, j), s, accum.scalar);
    }
}

// Coefficients of n cells, from k and cp at g on, into cx, cy, cz: one
// plane when the three divisors are equal, three otherwise.
template <bool kSame>
inline void coef_cells_scalar(const Setup& s, std::int64_t g, std::int64_t n, double* cx,
                              double* cy, double* cz) {
    for (std::int64_t c = 0; c < n; ++c) {
        const double a = (s.k[g + c] / (s.cp[g + c] * kTcadDensity)) * s.dt;
        cx[c] = a / s.dxx;
        if (!kSame) {
            cy[c] = a / s.dyy;
            cz[c] = a / s.dzz;
        }
    }
}

template <bool kSame>
void coef_plane_scalar(const CoefJob& job, const Setup& s) {
    for (std::int64_t j = job.j_lo; j < job.j_hi; ++j) {
        coef_cells_scalar<kSame>(s, job.offset + j * s.nz + 1, s.nz - 2, job.cx.row(j, s.nz) + 1,
                                 job.cy.row(j, s.nz) + 1, job.cz.row(j, s.nz) + 1);
    }
}

#if TAVRO_HEAT_X86_VECTORS
namespace avx512 {
#define TAVRO_HEAT_LANES 8
#define TAVRO_HEAT_TARGET __attribute__((target("avx512f")))
#include "heat_kernel_lanes.inc"
#undef TAVRO_HEAT_TARGET
#undef TAVRO_HEAT_LANES
}  // namespace avx512

namespace avx2 {
#define TAVRO_HEAT_LANES 4
#define TAVRO_HEAT_TARGET __attribute__((target("avx2")))
#include "heat_kernel_lanes.inc"
#undef TAVRO_HEAT_TARGET
#undef TAVRO_HEAT_LANES
}  // namespace avx2
#endif  // TAVRO_HEAT_X86_VECTORS

// ---------------------------------------------------------------------------
// Choosing the sweeps.

enum class Isa { scalar, avx2, avx512 };

template <Isa kIsa, Coef M, bool kCodes, bool kSource, bool kStats>
struct PlaneEntry {
    static constexpr PlaneFn run = &plane_scalar<M, kCodes, kSource, kStats>;
};
template <Isa kIsa, bool kSame>
struct CoefEntry {
    static constexpr CoefFn run = &coef_plane_scalar<kSame>;
};

#if TAVRO_HEAT_X86_VECTORS
template <Coef M, bool kCodes, bool kSource, bool kStats>
struct PlaneEntry<Isa::avx512, M, kCodes, kSource, kStats> {
    static constexpr PlaneFn run = &avx512::plane<M, kCodes, kSource, kStats>;
};
template <Coef M, bool kCodes, bool kSource, bool kStats>
struct PlaneEntry<Isa::avx2, M, kCodes, kSource, kStats> {
    static constexpr PlaneFn run = &avx2::plane<M, kCodes, kSource, kStats>;
};
template <bool kSame>
struct CoefEntry<Isa::avx512, kSame> {
    static constexpr CoefFn run = &avx512::coef_plane<kSame>;
};
template <bool kSame>
struct CoefEntry<Isa::avx2, kSame> {
    static constexpr CoefFn run = &avx2::coef_plane<kSame>;
};
#endif

Isa best_isa() {
#if TAVRO_HEAT_X86_VECTORS
    __builtin_cpu_init();
    if (TAVRO_HEAT_MAX_LANES >= 8 && __builtin_cpu_supports("avx512f")) return Isa::avx512;
    if (TAVRO_HEAT_MAX_LANES >= 4 && __builtin_cpu_supports("avx2")) return Isa::avx2;
#endif
    return Isa::scalar;
}

template <Isa kIsa, Coef M, bool kCodes, bool kSource>
PlaneFn plane_fn(bool stats) {
    return stats ? PlaneEntry<kIsa, M, kCodes, kSource, true>::run
                 : PlaneEntry<kIsa, M, kCodes, kSource, false>::run;
}
template <Isa kIsa, Coef M>
PlaneFn plane_fn(bool codes, bool source, bool stats) {
    if (codes) {
        return source ? plane_fn<kIsa, M, true, true>(stats)
                      : plane_fn<kIsa, M, true, false>(stats);
    }
    return source ? plane_fn<kIsa, M, false, true>(stats)
                  : plane_fn<kIsa, M, false, false>(stats);
}
template <Isa kIsa>
PlaneFn plane_fn(Coef m, bool codes, bool source, bool stats) {
    switch (m) {
        case Coef::uniform: return plane_fn<kIsa, Coef::uniform>(codes, source, stats);
        case Coef::inline_same: return plane_fn<kIsa, Coef::inline_same>(codes, source, stats);
        case Coef::inline_distinct:
            return plane_fn<kIsa, Coef::inline_distinct>(codes, source, stats);
        case Coef::cached_same: return plane_fn<kIsa, Coef::cached_same>(codes, source, stats);
        default: return plane_fn<kIsa, Coef::cached_distinct>(codes, source, stats);
    }
}
PlaneFn plane_fn(Isa isa, Coef m, bool codes, bool source, bool stats) {
#if TAVRO_HEAT_X86_VECTORS
    if (isa == Isa::avx512) return plane_fn<Isa::avx512>(m, codes, source, stats);
    if (isa == Isa::avx2) return plane_fn<Isa::avx2>(m, codes, source, stats);
#endif
    (void)isa;
    return plane_fn<Isa::scalar>(m, codes, source, stats);
}

template <Isa kIsa>
CoefFn coef_fn(bool same) {
    return same ? CoefEntry<kIsa, true>::run : CoefEntry<kIsa, false>::run;
}
CoefFn coef_fn(Isa isa, bool same) {
#if TAVRO_HEAT_X86_VECTORS
    if (isa == Isa::avx512) return coef_fn<Isa::avx512>(same);
    if (isa == Isa::avx2) return coef_fn<Isa::avx2>(same);
#endif
    (void)isa;
    return coef_fn<Isa::scalar>(same);
}

// ---------------------------------------------------------------------------
// Temporal blocking.

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
//
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
        auto coefs = [&](std::int64_t i) {
            return p.coefs + (i % depth) * p.coef_planes * p.slot;
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
                double* slot = coefs(w);
                CoefJob job;
                job.cx = {slot, first};
                job.cy = {p.coef_planes == 3 ? slot + p.slot : slot, first};
                job.cz = {p.coef_planes == 3 ? slot + 2 * p.slot : slot, first};
                job.offset = w * s.plane;
                job.j_lo = j_lo(1);
                job.j_hi = j_hi(1);
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
                    const double* slot = coefs(i);
                    job.cx = {slot, first};
                    job.cy = {p.coef_planes == 3 ? slot + p.slot : slot, first};
                    job.cz = {p.coef_planes == 3 ? slot + 2 * p.slot : slot, first};
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

// ---------------------------------------------------------------------------
// Run analysis.

// Extremes of the outer-face cells, which no step changes, and the first of
// them in flat order that is a zero; copies them into `copy` on the way. A
// held cell's change is 0 (NaN for an infinity), so it never raises delta.
struct Faces {
    StepStats stats;
    std::int64_t first_zero = -1;
    double zero = 0.0;
};

Faces face_extremes(const double* T, double* copy, std::int64_t nx, std::int64_t ny,
                    std::int64_t nz) {
    Faces faces;
    auto take = [&](std::int64_t c) {
        copy[c] = T[c];
        take_extremes(faces.stats, T[c]);
        if (faces.first_zero < 0 && T[c] == 0.0) {
            faces.first_zero = c;
            faces.zero = T[c];
        }
    };
    for (std::int64_t i = 0; i < nx; ++i) {
        for (std::int64_t j = 0; j < ny; ++j) {
            const std::int64_t row = (i * ny + j) * nz;
            if (i == 0 || i == nx - 1 || j == 0 || j == ny - 1) {
                for (std::int64_t k = 0; k < nz; ++k) take(row + k);
            } else if (nz > 0) {
                take(row);
                take(row + nz - 1);
            }
        }
    }
    return faces;
}

// When an extreme is a zero, the sequential scan keeps the first zero it
// meets (a later zero of the other sign compares equal, not greater), so its
// sign is that of the first zero in flat order.
double first_zero_in_scan_order(const double* field, std::int64_t cells) {
    for (std::int64_t c = 0; c < cells; ++c) {
        if (field[c] == 0.0) return field[c];
    }
    return 0.0;
}

bool same_bits(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// What the updated cells (off the faces, not held by their code) have in
// common. Bits rather than ==, because 0.0 and -0.0 divide into infinities
// of opposite sign.
struct Uniformity {
    bool codes_hold = false;  // some cell off the faces is held by its code
    bool material = true;     // k and cp carry the same bits in every updated cell
    bool source = true;       // so does Q
    std::int64_t first = -1;  // an updated cell whose values the others match
};

// Whether the n values at p carry the bits of `ref`, skipping the cells
// their code holds when kSkipHeld. Branch-free, so that it vectorises.
template <bool kSkipHeld>
bool same_bits_in(const double* p, const std::int32_t* codes, std::int64_t n, std::uint64_t ref) {
    std::uint64_t diff = 0;
    for (std::int64_t c = 0; c < n; ++c) {
        std::uint64_t bits;
        std::memcpy(&bits, p + c, sizeof bits);
        const std::uint64_t counts =
            kSkipHeld && static_cast<std::uint32_t>(codes[c]) - 1u < 2u ? 0 : ~std::uint64_t{0};
        diff |= (bits ^ ref) & counts;
    }
    return diff == 0;
}

std::uint64_t bits_of(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

Uniformity uniformity(const TcadGrid& g, std::int64_t nx, std::int64_t ny, std::int64_t nz) {
    Uniformity u;
    const std::int64_t n = nz - 2;  // interior cells of a row, from its cell 1 on
    for (std::int64_t i = 1; i < nx - 1 && !u.codes_hold; ++i) {
        for (std::int64_t j = 1; j < ny - 1; ++j) {
            const std::int32_t* codes = g.bc + (i * ny + j) * nz + 1;
            std::uint32_t held = 0;
            for (std::int64_t c = 0; c < n; ++c) {
                held |= static_cast<std::uint32_t>(codes[c]) - 1u < 2u ? 1u : 0u;
            }
            if (held != 0) {
                u.codes_hold = true;
                break;
            }
        }
    }
    for (std::int64_t i = 1; i < nx - 1 && u.first < 0; ++i) {
        for (std::int64_t j = 1; j < ny - 1 && u.first < 0; ++j) {
            const std::int64_t row = (i * ny + j) * nz + 1;
            for (std::int64_t c = row; c < row + n; ++c) {
                if (!is_held_code(g.bc[c])) {
                    u.first = c;
                    break;
                }
            }
        }
    }
    if (u.first < 0) {  // every interior cell is held: nothing is updated
        u.first = (ny + 1) * nz + 1;
        return u;
    }
    const std::uint64_t k = bits_of(g.k[u.first]), cp = bits_of(g.cp[u.first]),
                        q = bits_of(g.Q[u.first]);
    auto same = [&](const double* a, std::int64_t row, std::uint64_t ref) {
        return u.codes_hold ? same_bits_in<true>(a + row, g.bc + row, n, ref)
                            : same_bits_in<false>(a + row, g.bc + row, n, ref);
    };
    for (std::int64_t i = 1; i < nx - 1 && (u.material || u.source); ++i) {
        for (std::int64_t j = 1; j < ny - 1 && (u.material || u.source); ++j) {
            const std::int64_t row = (i * ny + j) * nz + 1;
            u.material = u.material && same(g.k, row, k) && same(g.cp, row, cp);
            u.source = u.source && same(g.Q, row, q);
        }
    }
    return u;
}

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

TcadSummary tcad_kernel(TcadGrid& grid, std::int32_t iterations, double* history,
                        std::int32_t history_stride, double convergence_tol) noexcept {
    TcadSummary summary;

    // A grid too large to count cannot be allocated: reported as a failed
    // scratch allocation.
    detail::GridExtents64 extents;
    if (!detail::grid_extents(grid, &extents)) return summary;
    const std::int64_t nx = extents.nx, ny = extents.ny, nz = extents.nz, cells = extents.cells;

    double* scratch = allocate_array<double>(static_cast<std::size_t>(cells), AllocSite::scratch);
    if (scratch == nullptr) return summary;
    // The face cells go into the scratch field now; every step writes all
    // of the interior before anything reads it.
    const Faces faces = face_extremes(grid.T, scratch, nx, ny, nz);

    const bool early_exit = convergence_tol > 0.0;
    // A stride below 1 cannot address a slot, so such a history is not sampled.
    const bool sampling = history != nullptr && history_stride >= 1;
    const bool has_interior = nx >= 3 && ny >= 3 && nz >= 3;
    // The first zero in flat order is a face cell's when no interior cell
    // comes before it; then a zero extreme needs no look at the field.
    const std::int64_t first_interior = has_interior ? (ny + 1) * nz + 1 : cells;
    const bool face_zero_first = faces.first_zero >= 0 && faces.first_zero < first_interior;

    Pipeline pipe{};
    double* working = nullptr;
    int depth_max = 1;
    if (has_interior) {
        Setup& s = pipe.s;
        s.nx = nx;
        s.ny = ny;
        s.nz = nz;
        s.plane = ny * nz;
        s.two = 2.0;
        s.dt = grid.dt;
        s.dxx = grid.dx * grid.dx;
        s.dyy = grid.dy * grid.dy;
        s.dzz = grid.dz * grid.dz;
        s.k = grid.k;
        s.cp = grid.cp;
        s.Q = grid.Q;
        s.bc = grid.bc;
        const Uniformity u = uniformity(grid, nx, ny, nz);
        if (u.material) {
            const double a = (grid.k[u.first] / (grid.cp[u.first] * kTcadDensity)) * grid.dt;
            s.cx = a / s.dxx;
            s.cy = a / s.dyy;
            s.cz = a / s.dzz;
        }
        if (u.source) s.dtq = grid.dt * grid.Q[u.first];
        const bool same_spacing = same_bits(s.dxx, s.dyy) && same_bits(s.dxx, s.dzz);
        // Per-cell coefficients are formed once per block, into planes of
        // the working memory.
        const int coef_planes = u.material ? 0 : same_spacing ? 1 : 3;

        // Blocks as deep as possible with bands as tall as the working
        // memory allows, but not so narrow that the margins cost more than
        // a quarter of the work; a lone step needs no working memory.
        depth_max = static_cast<int>(
            std::min<std::int64_t>(kMaxDepth, std::max<std::int32_t>(iterations, 1)));
        pipe.band = ny - 2;
        for (; depth_max > 1; --depth_max) {
            const std::int64_t slots = working_doubles(1, depth_max, coef_planes);
            const std::int64_t rows =
                (static_cast<std::int64_t>(kWorkingBytes / sizeof(double)) / slots - 8) / nz;
            pipe.band = std::min(ny - 2, rows - 2 * depth_max);
            if (pipe.band >= std::min(ny - 2, kMinBandPerStep * depth_max)) break;
        }
        if (depth_max > 1) {
            pipe.slot = slot_doubles(pipe.band, depth_max, ny, nz);
            const std::size_t n =
                static_cast<std::size_t>(working_doubles(pipe.slot, depth_max, coef_planes)) + 8;
            working = allocate_array<double>(n, AllocSite::scratch);
            if (working != nullptr) {
                // Reads of face positions and of rows a slot never receives
                // land in lanes whose result is discarded; zeroing keeps them
                // defined.
                std::memset(working, 0, n * sizeof(double));
            } else {
                depth_max = 1;
            }
        }
        Coef mode = u.material ? Coef::uniform
                               : same_spacing ? Coef::inline_same : Coef::inline_distinct;
        if (depth_max > 1) {
            double* base = working;
            while (reinterpret_cast<std::uintptr_t>(base) % 64 != 0) ++base;
            pipe.rings = base;
            pipe.coefs = base + 3 * static_cast<std::int64_t>(depth_max - 1) * pipe.slot;
            if (!u.material) {
                mode = same_spacing ? Coef::cached_same : Coef::cached_distinct;
                pipe.coef_planes = coef_planes;
            }
        } else {
            pipe.band = ny - 2;
        }
        const Isa isa = best_isa();
        pipe.plane[0] = plane_fn(isa, mode, u.codes_hold, !u.source, false);
        pipe.plane[1] = plane_fn(isa, mode, u.codes_hold, !u.source, true);
        pipe.coef = is_cached(mode) ? coef_fn(isa, same_spacing) : nullptr;
    }

    // Both buffers hold the faces, which never change: a step writes only
    // the interior of `next`, and the two buffers swap roles after each
    // block. An even number of blocks ends the run in the caller's buffer.
    double* cur = grid.T;
    double* next = scratch;
    bool blocking = true;
    std::int64_t blocks_left = iterations > 0 ? (iterations + depth_max - 1) / depth_max : 0;
    if (blocks_left % 2 != 0 && blocks_left < iterations) ++blocks_left;
    auto sampled = [&](std::int32_t step) { return sampling && step % history_stride == 0; };
    Accum acc[kMaxDepth];
    for (std::int32_t s0 = 0; s0 < iterations;) {
        // The steps left, shared out evenly over the blocks left.
        const std::int64_t left = iterations - s0, blocks = std::max<std::int64_t>(blocks_left, 1);
        const int depth = blocking ? static_cast<int>(std::min<std::int64_t>(
                                         depth_max, (left + blocks - 1) / blocks))
                                   : 1;
        bool stats[kMaxDepth];
        for (int level = 0; level < depth; ++level) {
            const std::int32_t step = s0 + level;
            stats[level] = sampled(step) || early_exit || step == iterations - 1;
        }
        if (has_interior) {
            run_block(pipe, cur, next, depth, stats, acc);
        } else {
            for (int level = 0; level < depth; ++level) acc[level].reset();
        }

        StepStats step_stats[kMaxDepth];
        bool redo = false;
        for (int level = 0; level < depth; ++level) {
            StepStats& st = step_stats[level];
            st = fold(faces.stats, acc[level]);
            if (!sampled(s0 + level) || (st.t_max != 0.0 && st.t_min != 0.0)) continue;
            double zero;
            if (face_zero_first) {
                zero = faces.zero;
            } else if (level == depth - 1) {
                zero = first_zero_in_scan_order(next, cells);
            } else {
                redo = true;  // that step's field was never stored whole
                break;
            }
            if (st.t_max == 0.0) st.t_max = zero;
            if (st.t_min == 0.0) st.t_min = zero;
        }
        if (redo) {  // `cur` is untouched: run the same steps one at a time
            blocking = false;
            continue;
        }

        for (int level = 0; level < depth; ++level) {
            const std::int32_t step = s0 + level;
            const StepStats& st = step_stats[level];
            summary.max_delta = st.delta;
            if (sampled(step)) {
                double* slot = history + 3 * static_cast<std::size_t>(step / history_stride);
                slot[0] = static_cast<double>(step);
                slot[1] = st.t_max;
                slot[2] = st.t_min;
            }
            summary.iterations_completed = step + 1;
            if (early_exit && st.delta < convergence_tol) {
                summary.early_exit_step = step;
                if (level == depth - 1) {
                    std::swap(cur, next);
                } else {
                    // Converged inside the block: recompute up to that step.
                    const bool no_stats[1] = {false};
                    for (int r = 0; r <= level; ++r) {
                        run_block(pipe, cur, next, 1, no_stats, acc);
                        std::swap(cur, next);
                    }
                }
                break;
            }
        }
        if (summary.early_exit_step >= 0) break;
        std::swap(cur, next);
        s0 += depth;
        --blocks_left;
    }

    if (cur != grid.T && cells > 0) {
        std::memcpy(grid.T, cur, static_cast<std::size_t>(cells) * sizeof(double));
    }
    release_bytes(working);
    release_bytes(scratch);
    return summary;
}

}  // namespace tavro
