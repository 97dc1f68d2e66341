// The heat kernel's sweeps over one plane, written once for any lane width
// and compiled once per instruction set (the build defines TAVRO_SIMD_ISA;
// see simd/isa_region_begin.hpp). Each lane does exactly the operations the
// reference does for its cell, in the same order.
//
// Rows are swept kCount cells at a time, face cells included: a face lane
// computes a value like any other and then keeps its entry value, as a cell
// held by its code does. Rows shorter than a vector go one cell at a time.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "heat/heat_records.hpp"
#include "simd/isa_region_begin.hpp"

#if TAVRO_SIMD_ENABLED
namespace tavro::heat::TAVRO_SIMD_ISA {
namespace {

using Wide = simd::TAVRO_SIMD_ISA::Lanes;
using Narrow = simd::scalar::Lanes;

// Which lanes of a chunk hold the row's face cells.
enum Faces : int { kNoFace = 0, kFirstFace = 1, kLastFace = 2, kBothFaces = 3 };

// The run's constants, broadcast once per plane. `two` is read from the
// setup rather than written as 2.0 so that 2*T0 stays a multiplication: the
// compiler would turn a literal one into an addition, and the additions are
// what the sweep waits on. Both are exact and give the same bits.
template <class L>
struct LaneConsts {
    typename L::Vec two, dt, dxx, dyy, dzz, cx, cy, cz, dtq, density, k_one, cp_one;

    TAVRO_ALWAYS_INLINE explicit LaneConsts(const Setup& s)
        : two(L::splat(s.two)),
          dt(L::splat(s.dt)),
          dxx(L::splat(s.dxx)),
          dyy(L::splat(s.dyy)),
          dzz(L::splat(s.dzz)),
          cx(L::splat(s.cx)),
          cy(L::splat(s.cy)),
          cz(L::splat(s.cz)),
          dtq(L::splat(s.dtq)),
          density(L::splat(kTcadDensity)),
          k_one(L::splat(s.k_one)),
          cp_one(L::splat(s.cp_one)) {}
};

// A cell's k or cp: from its array, or the one value every cell has. The
// operands of the coefficient's division are the same values either way.
template <class L>
TAVRO_ALWAYS_INLINE typename L::Vec cell_value(const double* values, std::int64_t c,
                                               typename L::Vec one) {
    return values != nullptr ? L::load(values + c) : one;
}

template <class L>
struct LaneStats {
    typename L::Vec t_max, t_min, delta;
};

template <class L, int kFaces>
TAVRO_ALWAYS_INLINE typename L::Mask face_lanes() {
    if (kFaces == kBothFaces) return L::either(L::first_lane(), L::last_lane());
    return kFaces == kFirstFace ? L::first_lane() : L::last_lane();
}

// kCount cells of a row from cell c on.
template <class L, Coef M, bool kCodes, bool kSource, bool kStats, int kFaces>
TAVRO_ALWAYS_INLINE void chunk(const RowJob& r, std::int64_t c, const LaneConsts<L>& k,
                               LaneStats<L>& lanes) {
    using V = typename L::Vec;
    const V t0 = L::load(r.t + c);
    V v = t0;
    // A one-lane chunk on a face is all face: nothing to compute.
    if constexpr (L::kCount > 1 || kFaces == kNoFace) {
        V cx = k.cx, cy = k.cy, cz = k.cz;
        if constexpr (is_inline(M)) {
            const V a = (cell_value<L>(r.k, c, k.k_one) /
                         (cell_value<L>(r.cp, c, k.cp_one) * k.density)) *
                        k.dt;
            cx = a / k.dxx;
            cy = is_same(M) ? cx : a / k.dyy;
            cz = is_same(M) ? cx : a / k.dzz;
        } else if constexpr (is_cached(M)) {
            cx = L::load(r.cx + c);
            cy = is_same(M) ? cx : L::load(r.cy + c);
            cz = is_same(M) ? cx : L::load(r.cz + c);
        }
        V source = k.dtq;
        if constexpr (kSource) source = k.dt * L::load(r.q + c);
        const V two_t0 = k.two * t0;
        const V d2x = (L::load(r.xp + c) - two_t0) + L::load(r.xm + c);
        const V d2y = (L::load(r.yp + c) - two_t0) + L::load(r.ym + c);
        const V d2z = (L::load(r.t + c + 1) - two_t0) + L::load(r.t + c - 1);
        v = (((t0 + cx * d2x) + cy * d2y) + cz * d2z) + source;
        if constexpr (kCodes && kFaces != kNoFace) {
            v = L::select(L::either(face_lanes<L, kFaces>(), L::int32_in_range(r.bc + c, 1, 2)),
                          t0, v);
        } else if constexpr (kCodes) {
            v = L::select(L::int32_in_range(r.bc + c, 1, 2), t0, v);
        } else if constexpr (kFaces != kNoFace) {
            v = L::select(face_lanes<L, kFaces>(), t0, v);
        }
    }
    L::store(r.out + c, v);

    if constexpr (kStats) {
        lanes.t_max = L::keep_greater(lanes.t_max, v);
        lanes.t_min = L::keep_less(lanes.t_min, v);
        lanes.delta = L::keep_greater(lanes.delta, L::abs(v - t0));
    }
}

// All n >= kCount cells of a row. The last chunk is shifted back to finish
// at the row's end: the cells it shares with the previous chunk are
// recomputed to the same bits, which changes neither the field nor the
// statistics.
template <class L, Coef M, bool kCodes, bool kSource, bool kStats>
TAVRO_ALWAYS_INLINE void row(const RowJob& r, std::int64_t n, const LaneConsts<L>& k,
                             LaneStats<L>& lanes) {
    constexpr int kWidth = L::kCount;
    if (n == kWidth) {
        chunk<L, M, kCodes, kSource, kStats, kBothFaces>(r, 0, k, lanes);
        return;
    }
    chunk<L, M, kCodes, kSource, kStats, kFirstFace>(r, 0, k, lanes);
    for (std::int64_t c = kWidth; c + kWidth < n; c += kWidth) {
        chunk<L, M, kCodes, kSource, kStats, kNoFace>(r, c, k, lanes);
    }
    chunk<L, M, kCodes, kSource, kStats, kLastFace>(r, n - kWidth, k, lanes);
}

template <class L>
TAVRO_ALWAYS_INLINE LaneStats<L> stats_from(const double* t_max, const double* t_min,
                                             const double* delta) {
    return {L::load(t_max), L::load(t_min), L::load(delta)};
}

template <Coef M, bool kCodes, bool kSource, bool kStats>
void plane(const PlaneJob& job, const Setup& shared, Accum& accum) {
    // A private copy: stores into the field cannot alias it, so its members
    // stay in registers.
    const Setup s = shared;
    const LaneConsts<Wide> k(s);
    LaneStats<Wide> lanes = stats_from<Wide>(accum.t_max, accum.t_min, accum.delta);
    const LaneConsts<Narrow> narrow_k(s);
    LaneStats<Narrow> narrow = stats_from<Narrow>(&accum.scalar.t_max, &accum.scalar.t_min,
                                                  &accum.scalar.delta);
    for (std::int64_t j = job.j_lo; j < job.j_hi; ++j) {
        job.prefetch->issue(job.per_row);
        const RowJob r = row_of(job, s, j);
        if (s.nz < Wide::kCount) {
            row<Narrow, M, kCodes, kSource, kStats>(r, s.nz, narrow_k, narrow);
        } else {
            row<Wide, M, kCodes, kSource, kStats>(r, s.nz, k, lanes);
        }
    }
    Wide::store(accum.t_max, lanes.t_max);
    Wide::store(accum.t_min, lanes.t_min);
    Wide::store(accum.delta, lanes.delta);
    Narrow::store(&accum.scalar.t_max, narrow.t_max);
    Narrow::store(&accum.scalar.t_min, narrow.t_min);
    Narrow::store(&accum.scalar.delta, narrow.delta);
}

// Coefficients of n >= kCount interior cells, from k and cp at g on, into
// cx (and cy, cz unless the three divisors are equal).
template <class L, bool kSame>
TAVRO_ALWAYS_INLINE void coef_cells(const Setup& s, const LaneConsts<L>& k, std::int64_t g,
                                    std::int64_t n, double* cx, double* cy, double* cz) {
    using V = typename L::Vec;
    constexpr int kWidth = L::kCount;
    for (std::int64_t c = 0;; c = std::min<std::int64_t>(c + kWidth, n - kWidth)) {
        const V a = (cell_value<L>(s.k, g + c, k.k_one) /
                     (cell_value<L>(s.cp, g + c, k.cp_one) * k.density)) *
                    k.dt;
        L::store(cx + c, a / k.dxx);
        if (!kSame) {
            L::store(cy + c, a / k.dyy);
            L::store(cz + c, a / k.dzz);
        }
        if (c + kWidth >= n) break;
    }
}

template <bool kSame>
void coef_plane(const CoefJob& job, const Setup& shared) {
    const Setup s = shared;
    const LaneConsts<Wide> k(s);
    const LaneConsts<Narrow> narrow_k(s);
    const std::int64_t n = s.nz - 2;  // the interior cells of a row
    for (std::int64_t j = job.j_lo; j < job.j_hi; ++j) {
        const std::int64_t g = job.offset + j * s.nz + 1;
        double* cx = job.cx.row(j, s.nz) + 1;
        double* cy = job.cy.row(j, s.nz) + 1;
        double* cz = job.cz.row(j, s.nz) + 1;
        if (n < Wide::kCount) {
            coef_cells<Narrow, kSame>(s, narrow_k, g, n, cx, cy, cz);
        } else {
            coef_cells<Wide, kSame>(s, k, g, n, cx, cy, cz);
        }
    }
}

// Entry [mode][codes][source][stats] of the table for flags 0..7.
template <Coef M, int kFlags>
void put_plane(SweepTable& table) {
    constexpr bool kCodes = (kFlags & 4) != 0, kSource = (kFlags & 2) != 0,
                   kStats = (kFlags & 1) != 0;
    table.plane[static_cast<int>(M)][kCodes][kSource][kStats] = &plane<M, kCodes, kSource, kStats>;
}

template <Coef M, int... kFlags>
void put_mode(SweepTable& table, std::integer_sequence<int, kFlags...>) {
    (put_plane<M, kFlags>(table), ...);
}

SweepTable make_table() {
    SweepTable table{};
    const auto flags = std::make_integer_sequence<int, 8>{};
    put_mode<Coef::uniform>(table, flags);
    put_mode<Coef::inline_same>(table, flags);
    put_mode<Coef::inline_distinct>(table, flags);
    put_mode<Coef::cached_same>(table, flags);
    put_mode<Coef::cached_distinct>(table, flags);
    table.coef[0] = &coef_plane<false>;
    table.coef[1] = &coef_plane<true>;
    return table;
}

}  // namespace
}  // namespace tavro::heat::TAVRO_SIMD_ISA
#endif  // TAVRO_SIMD_ENABLED

#include "simd/isa_region_end.hpp"

#if TAVRO_SIMD_ENABLED
namespace tavro::heat::TAVRO_SIMD_ISA {

// Called only once the CPU is known to run this set: filling the table may
// already use its instructions.
const SweepTable& sweep_table() {
    static const SweepTable table = make_table();
    return table;
}

}  // namespace tavro::heat::TAVRO_SIMD_ISA
#endif
