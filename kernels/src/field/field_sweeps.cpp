// The field kernel's interior sweep, written once for any lane width and
// compiled once per instruction set (the build defines TAVRO_SIMD_ISA; see
// simd/isa_region_begin.hpp). Each lane does exactly the operations the
// reference does for its cell, in the same order.
//
// Rows go in short pieces of three passes each: the logarithms, the update,
// and the energy. The logarithm carries exactly the platform's log bits:
// on the sets that have the vector log (AVX2, AVX-512, where the platform's
// log has a documented error bound) the logarithms of a tile of about a
// thousand cells are taken together first; elsewhere the scalar log is
// called cell by cell. The energy terms are formed in the vector pass and
// added after it one by one in flat order, because a sum split across lanes
// would round differently.
// max_delta is a maximum of magnitudes (never -0.0, never NaN: a NaN step is
// skipped by the strict test), so the order in which lanes meet is free.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "field/field_constants.hpp"
#include "field/field_records.hpp"
#include "vector_log/lane_orders.hpp"
#include "vector_log/log_table.hpp"
#include "vector_log/vector_log.hpp"
#include "vector_log/vector_log_gate.hpp"
#include "simd/isa_region_begin.hpp"

// Where this set has the vector log, the logarithms of a whole tile of
// cells are taken together before the update (see relax_tile).
#if TAVRO_SIMD_ENABLED && TAVRO_SIMD_ID >= 2 && TAVRO_VECTOR_LOG
#include "vector_log/log_lanes.hpp"
#define TAVRO_FIELD_VECTOR_LOG 1
#else
#define TAVRO_FIELD_VECTOR_LOG 0
#endif

#if TAVRO_SIMD_ENABLED
namespace tavro::field::TAVRO_SIMD_ISA {
namespace {

using detail::kCubicCoupling;
using detail::kFlooredDenominator;
using detail::kTauFloor;
using Wide = simd::TAVRO_SIMD_ISA::Lanes;
using Narrow = simd::scalar::Lanes;

// Cells per row piece: the piece's logarithms and energy terms wait in stack
// buffers between passes. Pieces are kPieceCells long except the last of a
// row, which takes up to kMaxLanes more so that it is never shorter than a
// vector. Short pieces let one piece's serial energy additions overlap the
// next one's work; 32 measured best on 64^3 grids.
constexpr std::int64_t kPieceCells = 32;
constexpr std::int64_t kMaxLanes = 8;

// The six neighbours of the cells at `at`, added in the order +1, -1, +s2,
// -s2, +s1, -s1.
template <class L>
TAVRO_ALWAYS_INLINE typename L::Vec neighbour_sum(const double* at, std::int64_t s2,
                                                  std::int64_t s1) {
    typename L::Vec sum = L::load(at + 1) + L::load(at - 1);
    sum = sum + L::load(at + s2);
    sum = sum + L::load(at - s2);
    sum = sum + L::load(at + s1);
    return sum + L::load(at - s1);
}

// Updates the piece's cells [first, first + count) of one interior row,
// kCount at a time; needs count >= kCount. The last vector is shifted back
// to finish at the piece's end: the cells it shares with the one before are
// recomputed to the same bits, which changes neither a field nor a figure.
// `log_term` holds each cell's S; each cell's energy term goes to
// `energy_term` (0.0 for a fixed cell; see relax_row). Without kReadFlags
// every cell is free; without kPhiCells phi is 0.0 everywhere. With
// kRawLogs `log_term` holds log(T + 1) where T is above the floor and
// anything elsewhere, and S is picked here.
template <class L, bool kReadFlags, bool kPhiCells, bool kRawLogs>
TAVRO_ALWAYS_INLINE void relax_piece(const Sweep& w, std::int64_t first, std::int64_t count,
                                     const double* log_term, double* energy_term,
                                     typename L::Vec& lane_max) {
    using V = typename L::Vec;
    constexpr int kWidth = L::kCount;
    const std::int64_t s2 = w.nz, s1 = w.ny * w.nz;
    const Coefficients& k = w.k;
    const V tau_floor = L::splat(kTauFloor), floored = L::splat(kFlooredDenominator),
            one = L::splat(1.0), zero = L::splat(0.0);
    for (std::int64_t at = 0;; at = at + kWidth < count - kWidth ? at + kWidth : count - kWidth) {
        const std::int64_t f = first + at;
        const V Psi = L::load(w.psi + f);
        const V T = L::load(w.tau + f);
        const typename L::Mask above = L::greater(T, tau_floor);
        V S = L::load(log_term + at);
        if constexpr (kRawLogs) S = L::select(above, S, T);

        const V L_psi = neighbour_sum<L>(w.psi + f, s2, s1) - Psi * 6.0;
        const V L_tau = neighbour_sum<L>(w.tau + f, s2, s1) - T * 6.0;

        const V D = L::select(above, T + 1.0, floored);
        V Q = L::splat(0.0 * 1e-24 * 0.0);
        if constexpr (kPhiCells) {
            const V Phi = L::load(w.phi + f);
            Q = Phi * 1e-24 * Phi;
        }

        const V u = Psi - 1.0;
        const V G_psi = k.linear * u - S * 7e-10 + T * 5e-124 * T + k.cubic * u * u * u - Q -
                        T * 10.0 * T - L_psi * 0.1;
        const V dPsi = G_psi * -0.05;
        const V Psi_n = Psi + dPsi;

        const V G_tau = T * 1e-123 * Psi * k.P_k + (Psi * -7e-10 * k.P_k) / D -
                        Psi * 20.0 * k.P_k * T - Q - L_tau * 0.01;
        const V dT = G_tau * -0.05;
        V T_n = T + dT;
        T_n = L::select(L::greater(tau_floor, T_n), tau_floor, T_n);

        const V u_n = Psi_n - 1.0;
        const V term = k.quadratic * u_n * u_n - Psi_n * 7e-10 * k.P_k * S +
                       T_n * 5e-124 * T_n * Psi_n * k.P_k;

        V step_psi = L::abs(dPsi), step_tau = L::abs(dT);
        if constexpr (kReadFlags) {
            // A fixed cell keeps its values and adds nothing.
            const typename L::Mask fixed = L::equal(L::load(w.bc + f), one);
            L::store(w.psi_next + f, L::select(fixed, Psi, Psi_n));
            L::store(w.tau_next + f, L::select(fixed, T, T_n));
            L::store(energy_term + at, L::select(fixed, zero, term));
            step_psi = L::select(fixed, zero, step_psi);
            step_tau = L::select(fixed, zero, step_tau);
        } else {
            L::store(w.psi_next + f, Psi_n);
            L::store(w.tau_next + f, T_n);
            L::store(energy_term + at, term);
        }
        // Strict tests: a NaN step never wins.
        lane_max = L::keep_greater(lane_max, step_psi);
        lane_max = L::keep_greater(lane_max, step_tau);

        if (at + kWidth >= count) break;
    }
}

// The update and the energy of cells [first, first + count) of one row,
// their S (or, with kRawLogs, their logs) in log_term. A fixed cell's energy
// term is +0.0, and adding +0.0 changes no sum that is not -0.0; the energy
// never is, since it starts at +0.0 and a rounded sum is -0.0 only when both
// addends are.
template <bool kReadFlags, bool kPhiCells, bool kRawLogs>
TAVRO_ALWAYS_INLINE void update_piece(Sweep& w, std::int64_t first, std::int64_t count,
                                      const double* log_term, Wide::Vec& lane_max,
                                      Narrow::Vec& narrow_max) {
    double energy_term[kPieceCells + kMaxLanes];
    if (count >= Wide::kCount) {
        relax_piece<Wide, kReadFlags, kPhiCells, kRawLogs>(w, first, count, log_term, energy_term,
                                                           lane_max);
    } else {
        relax_piece<Narrow, kReadFlags, kPhiCells, kRawLogs>(w, first, count, log_term,
                                                             energy_term, narrow_max);
    }
    double energy = w.energy;
    for (std::int64_t c = 0; c < count; ++c) energy = energy_term[c] + energy;
    w.energy = energy;
}

// Cells per piece from `left` cells: kPieceCells, or all of them when the
// rest would be shorter than a vector.
TAVRO_ALWAYS_INLINE std::int64_t piece_length(std::int64_t left) {
    return left > kPieceCells + kMaxLanes ? kPieceCells : left;
}

// Sweeps one interior row's cells [first, end) in pieces, the logarithms
// taken cell by cell with the scalar log.
template <bool kReadFlags, bool kPhiCells>
TAVRO_ALWAYS_INLINE void relax_row(Sweep& w, std::int64_t first, std::int64_t end,
                                   Wide::Vec& lane_max, Narrow::Vec& narrow_max) {
    double log_term[kPieceCells + kMaxLanes];
    while (first < end) {
        const std::int64_t count = piece_length(end - first);
        for (std::int64_t c = 0; c < count; ++c) {
            const double T = w.tau[first + c];
            // libm's scalar log, called directly: its argument is never a
            // constant, so nothing can fold it, and the wrapper call is saved.
            log_term[c] = T > kTauFloor ? std::log(T + 1.0) : T;
        }
        update_piece<kReadFlags, kPhiCells, false>(w, first, count, log_term, lane_max,
                                                   narrow_max);
        first += count;
    }
}

#if TAVRO_FIELD_VECTOR_LOG
// Consecutive runs of interior cells in flat order, whole rows where they
// fit, whose logarithms are taken together.
struct Tile {
    static constexpr int kMaxRuns = 128;
    std::int64_t first[kMaxRuns];
    std::int64_t count[kMaxRuns];
    int runs = 0;
    std::int64_t cells = 0;

    bool has_room(std::int64_t more) const {
        return runs < kMaxRuns && cells + more <= static_cast<std::int64_t>(kLogTileCells);
    }
    void add(std::int64_t run_first, std::int64_t run_count) {
        first[runs] = run_first;
        count[runs] = run_count;
        ++runs;
        cells += run_count;
    }
};

// The log arguments of n cells' tau: T + 1 where T is above the floor, and
// 2.0 (whose log the vector path settles at once) where no log is needed.
// Returns whether any cell needs one.
template <class L>
TAVRO_ALWAYS_INLINE bool log_arguments(const double* tau, std::int64_t n, double* x) {
    const typename L::Vec tau_floor = L::splat(kTauFloor), two = L::splat(2.0);
    typename L::Mask needed = L::no_lane();
    for (std::int64_t at = 0;; at = at + L::kCount < n - L::kCount ? at + L::kCount
                                                                   : n - L::kCount) {
        const typename L::Vec T = L::load(tau + at);
        const typename L::Mask above = L::greater(T, tau_floor);
        L::store(x + at, L::select(above, T + 1.0, two));
        needed = L::either(needed, above);
        if (at + L::kCount >= n) break;
    }
    return L::any(needed);
}

// The tile's logarithms in one call of the vector log, then its pieces.
template <bool kReadFlags, bool kPhiCells>
TAVRO_ALWAYS_INLINE void relax_tile(Sweep& w, Tile& tile, Wide::Vec& lane_max,
                                    Narrow::Vec& narrow_max) {
    alignas(64) double logs[kLogTileCells + kMaxLanes];
    std::int64_t at = 0;
    bool needed = false;
    for (int r = 0; r < tile.runs; ++r) {
        if (tile.count[r] >= Wide::kCount) {
            needed |= log_arguments<Wide>(w.tau + tile.first[r], tile.count[r], logs + at);
        } else {
            needed |= log_arguments<Narrow>(w.tau + tile.first[r], tile.count[r], logs + at);
        }
        at += tile.count[r];
    }
    // A tile at the floor needs no logarithm at all.
    if (needed) {
        vector_log::TAVRO_SIMD_ISA::log_tile(logs, logs, static_cast<std::size_t>(tile.cells));
    }
    at = 0;
    for (int r = 0; r < tile.runs; ++r) {
        for (std::int64_t done = 0; done < tile.count[r];) {
            const std::int64_t count = piece_length(tile.count[r] - done);
            update_piece<kReadFlags, kPhiCells, true>(w, tile.first[r] + done, count,
                                                      logs + at + done, lane_max, narrow_max);
            done += count;
        }
        at += tile.count[r];
    }
    tile.runs = 0;
    tile.cells = 0;
}
#endif

template <bool kReadFlags, bool kPhiCells>
void relax_interior(Sweep& shared) {
    // A private copy: stores into the fields cannot alias it, so its members
    // stay in registers.
    Sweep w = shared;
    Wide::Vec lane_max = Wide::splat(0.0);
    Narrow::Vec narrow_max = Narrow::splat(0.0);
#if TAVRO_FIELD_VECTOR_LOG
    Tile tile;
#endif
    for (std::int64_t i0 = 1; i0 < w.nx - 1; ++i0) {
        for (std::int64_t i1 = 1; i1 < w.ny - 1; ++i1) {
            std::int64_t first = (i0 * w.ny + i1) * w.nz + 1;
            const std::int64_t end = first + (w.nz - 2);
#if TAVRO_FIELD_VECTOR_LOG
            // Rows longer than a tile go in parts.
            while (first < end) {
                const std::int64_t count =
                    std::min<std::int64_t>(end - first, static_cast<std::int64_t>(kLogTileCells));
                if (!tile.has_room(count)) {
                    relax_tile<kReadFlags, kPhiCells>(w, tile, lane_max, narrow_max);
                }
                tile.add(first, count);
                first += count;
            }
#else
            relax_row<kReadFlags, kPhiCells>(w, first, end, lane_max, narrow_max);
#endif
        }
    }
#if TAVRO_FIELD_VECTOR_LOG
    if (tile.cells > 0) relax_tile<kReadFlags, kPhiCells>(w, tile, lane_max, narrow_max);
#endif
    double lanes[kMaxLanes];
    Wide::store(lanes, lane_max);
    double max_delta = narrow_max.v;
    for (int lane = 0; lane < Wide::kCount; ++lane) {
        if (lanes[lane] > max_delta) max_delta = lanes[lane];
    }
    shared.max_delta = max_delta;
    shared.energy = w.energy;
}

// Reads the flags only where some interior cell is fixed, phi only where
// there is one.
void relax_interior_any(Sweep& w) {
    if (w.phi != nullptr) {
        w.interior_fixed ? relax_interior<true, true>(w) : relax_interior<false, true>(w);
    } else {
        w.interior_fixed ? relax_interior<true, false>(w) : relax_interior<false, false>(w);
    }
}

}  // namespace
}  // namespace tavro::field::TAVRO_SIMD_ISA
#endif  // TAVRO_SIMD_ENABLED

#include "simd/isa_region_end.hpp"

#if TAVRO_SIMD_ENABLED
namespace tavro::field::TAVRO_SIMD_ISA {

InteriorFn interior_sweep() { return &relax_interior_any; }

}  // namespace tavro::field::TAVRO_SIMD_ISA
#endif
