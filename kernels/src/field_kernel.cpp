// Optimised coupled field relaxation. It stores the same bits and reports the
// same figures as relax_fields_reference: every free cell goes through the
// same IEEE operations in the same order. The speed comes only from what can
// change without touching a rounding:
//   - face cells never change, so both generations hold them from the start
//     and a sweep visits only the interior;
//   - the cell-independent leading products (P_k*1e-26, P_k*c3*P_k*P_k and
//     P_k*5e-27) are formed once per run;
//   - interior rows are updated several cells at a time with explicit vectors
//     (AVX-512 or AVX2, chosen at run time; scalar elsewhere), in short
//     pieces of three passes each. The logarithm stays the platform's scalar
//     log, called cell by cell before the vector pass: no vector log returns
//     its bits. The energy terms are formed in the vector pass and added after
//     it one by one in flat order, because a sum split across lanes would
//     round differently;
//   - the flags are not read at all when no interior cell is fixed.
// max_delta is a maximum of magnitudes (never -0.0, never NaN: a NaN step is
// skipped by the strict test), so the order in which lanes meet is free.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "tavro/allocation.hpp"
#include "tavro/field_kernel.hpp"
#include "field_constants.hpp"
#include "grid_extents.hpp"

// GCC 12 (or clang) for the vector extensions used below.
#if defined(__x86_64__) && (defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12))
#define TAVRO_FIELD_X86_VECTORS 1
#else
#define TAVRO_FIELD_X86_VECTORS 0
#endif

// The widest sweep to consider. Test builds lower it so that the narrower
// sweeps are held against the reference on machines that would pick a wider one.
#ifndef TAVRO_FIELD_MAX_LANES
#define TAVRO_FIELD_MAX_LANES 8
#endif

#define TAVRO_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace tavro {
namespace {

using detail::kCubicCoupling;
using detail::kFlooredDenominator;
using detail::kTauFloor;

// Cells per row piece: the piece's logarithms and energy terms wait in stack
// buffers between passes. Pieces are kPieceCells long except the last of a
// row, which takes up to kMaxLanes more so that it is never shorter than a
// vector. Short pieces let one piece's serial energy additions overlap the
// next one's work; 32 measured best on 64^3 grids.
constexpr std::int64_t kPieceCells = 32;
constexpr std::int64_t kMaxLanes = 8;

// The leading products every free cell shares. Each is the leftmost factor
// of its chain, so forming it once leaves the order of operations intact.
struct Coefficients {
    double P_k;
    double linear;     // P_k * 1e-26
    double cubic;      // P_k * c3 * P_k * P_k
    double quadratic;  // P_k * 5e-27, of the energy
};

// One sweep: what it reads, where it writes, what it has summed so far.
struct Sweep {
    const double* psi;
    const double* tau;
    double* psi_next;
    double* tau_next;
    const double* phi;
    const double* bc;
    std::int64_t nx, ny, nz;
    Coefficients k;
    bool interior_fixed;  // some cell off the faces has the flag 1.0
    double max_delta;
    double energy;
};

// Vectors of kWidth doubles (GCC vector extensions) and their helpers;
// kWidth 1 is plain double, so one body of arithmetic serves every width.
// Spelled out per width: GCC ignores a vector_size that depends on a
// template parameter. Vectors go by reference: by value they would tie a
// helper to one instruction set's calling convention.
template <int kWidth>
struct Lanes;

template <>
struct Lanes<1> {
    typedef double F;
    static TAVRO_ALWAYS_INLINE void load(F& out, const double* p) { out = *p; }
    static TAVRO_ALWAYS_INLINE void store(double* p, const F& v) { *p = v; }
    static TAVRO_ALWAYS_INLINE void magnitude(F& out, const F& v) { out = std::fabs(v); }
    static TAVRO_ALWAYS_INLINE double lane(const F& v, int) { return v; }
};

#if TAVRO_FIELD_X86_VECTORS
#define TAVRO_DEFINE_LANES(kWidth)                                                     \
    template <>                                                                        \
    struct Lanes<kWidth> {                                                             \
        typedef double F __attribute__((vector_size(8 * kWidth)));                     \
        typedef std::int64_t I __attribute__((vector_size(8 * kWidth)));               \
        /* Arrays are only element-aligned: memcpy gives unaligned accesses. */        \
        static TAVRO_ALWAYS_INLINE void load(F& out, const double* p) {                \
            __builtin_memcpy(&out, p, sizeof out);                                     \
        }                                                                              \
        static TAVRO_ALWAYS_INLINE void store(double* p, const F& v) {                 \
            __builtin_memcpy(p, &v, sizeof v);                                         \
        }                                                                              \
        static TAVRO_ALWAYS_INLINE void magnitude(F& out, const F& v) {                \
            out = reinterpret_cast<F>(reinterpret_cast<I>(v) & ~(I{} + INT64_MIN));    \
        }                                                                              \
        static TAVRO_ALWAYS_INLINE double lane(const F& v, int i) { return v[i]; }     \
    };
TAVRO_DEFINE_LANES(4)
TAVRO_DEFINE_LANES(8)
#undef TAVRO_DEFINE_LANES
#endif

// The six neighbours of the cells at `at`, added in the order +1, -1, +s2,
// -s2, +s1, -s1.
template <int kWidth>
TAVRO_ALWAYS_INLINE void neighbour_sum(typename Lanes<kWidth>::F& sum, const double* at,
                                       std::int64_t s2, std::int64_t s1) {
    using L = Lanes<kWidth>;
    typename L::F n;
    L::load(sum, at + 1);
    L::load(n, at - 1);
    sum = sum + n;
    L::load(n, at + s2);
    sum = sum + n;
    L::load(n, at - s2);
    sum = sum + n;
    L::load(n, at + s1);
    sum = sum + n;
    L::load(n, at - s1);
    sum = sum + n;
}

// Updates the piece's cells [first, first + count) of one interior row,
// kWidth at a time; needs count >= kWidth. The last vector is shifted back
// to finish at the piece's end: the cells it shares with the one before are
// recomputed to the same bits, which changes neither a field nor a figure.
// `log_term` holds each cell's S; each cell's energy term goes to
// `energy_term` (0.0 for a fixed cell; see relax_row). Without kReadFlags
// every cell is free.
template <int kWidth, bool kReadFlags>
TAVRO_ALWAYS_INLINE void relax_piece(const Sweep& w, std::int64_t first, std::int64_t count,
                                     const double* log_term, double* energy_term,
                                     typename Lanes<kWidth>::F& lane_max) {
    using L = Lanes<kWidth>;
    using F = typename L::F;
    const std::int64_t s2 = w.nz, s1 = w.ny * w.nz;
    const Coefficients& k = w.k;
    for (std::int64_t at = 0;; at = at + kWidth < count - kWidth ? at + kWidth : count - kWidth) {
        const std::int64_t f = first + at;
        F Psi, T, Phi, S, psi_sum, tau_sum, flag{};
        L::load(Psi, w.psi + f);
        L::load(T, w.tau + f);
        L::load(Phi, w.phi + f);
        if (kReadFlags) L::load(flag, w.bc + f);
        L::load(S, log_term + at);

        neighbour_sum<kWidth>(psi_sum, w.psi + f, s2, s1);
        neighbour_sum<kWidth>(tau_sum, w.tau + f, s2, s1);
        const F L_psi = psi_sum - Psi * 6.0;
        const F L_tau = tau_sum - T * 6.0;

        const F floored = F{} + kFlooredDenominator;
        const F D = T > kTauFloor ? T + 1.0 : floored;
        const F Q = Phi * 1e-24 * Phi;

        const F u = Psi - 1.0;
        const F G_psi = k.linear * u - S * 7e-10 + T * 5e-124 * T + k.cubic * u * u * u - Q -
                        T * 10.0 * T - L_psi * 0.1;
        const F dPsi = G_psi * -0.05;
        const F Psi_n = Psi + dPsi;

        const F G_tau = T * 1e-123 * Psi * k.P_k + (Psi * -7e-10 * k.P_k) / D -
                        Psi * 20.0 * k.P_k * T - Q - L_tau * 0.01;
        const F dT = G_tau * -0.05;
        F T_n = T + dT;
        const F floor = F{} + kTauFloor;
        T_n = floor > T_n ? floor : T_n;

        const F u_n = Psi_n - 1.0;
        const F term = k.quadratic * u_n * u_n - Psi_n * 7e-10 * k.P_k * S +
                       T_n * 5e-124 * T_n * Psi_n * k.P_k;

        // A fixed cell keeps its values and adds nothing.
        const auto fixed = flag == 1.0;
        const F zero{};
        L::store(w.psi_next + f, fixed ? Psi : Psi_n);
        L::store(w.tau_next + f, fixed ? T : T_n);
        L::store(energy_term + at, fixed ? zero : term);
        F step_psi, step_tau;
        L::magnitude(step_psi, dPsi);
        L::magnitude(step_tau, dT);
        step_psi = fixed ? zero : step_psi;
        step_tau = fixed ? zero : step_tau;
        // Strict tests: a NaN step never wins.
        lane_max = step_psi > lane_max ? step_psi : lane_max;
        lane_max = step_tau > lane_max ? step_tau : lane_max;

        if (at + kWidth >= count) break;
    }
}

// Sweeps one interior row's cells [first, end) in pieces: the logarithms
// cell by cell, the update kWidth cells at a time, then the energy in flat
// order. A fixed cell's energy term is +0.0, and adding +0.0 changes no sum
// that is not -0.0; the energy never is, since it starts at +0.0 and a
// rounded sum is -0.0 only when both addends are.
template <int kWidth, bool kReadFlags>
TAVRO_ALWAYS_INLINE void relax_row(Sweep& w, std::int64_t first, std::int64_t end,
                                   typename Lanes<kWidth>::F& lane_max, double& scalar_max) {
    double log_term[kPieceCells + kMaxLanes];
    double energy_term[kPieceCells + kMaxLanes];
    while (first < end) {
        const std::int64_t left = end - first;
        const std::int64_t count = left > kPieceCells + kMaxLanes ? kPieceCells : left;
        for (std::int64_t c = 0; c < count; ++c) {
            const double T = w.tau[first + c];
            // libm's scalar log, called directly: its argument is never a
            // constant, so nothing can fold it, and the wrapper call is saved.
            log_term[c] = T > kTauFloor ? std::log(T + 1.0) : T;
        }
        if (count >= kWidth) {
            relax_piece<kWidth, kReadFlags>(w, first, count, log_term, energy_term, lane_max);
        } else {
            relax_piece<1, kReadFlags>(w, first, count, log_term, energy_term, scalar_max);
        }
        double energy = w.energy;
        for (std::int64_t c = 0; c < count; ++c) energy = energy_term[c] + energy;
        w.energy = energy;
        first += count;
    }
}

// Every cell off the faces; needs nx, ny, nz >= 3.
template <int kWidth>
TAVRO_ALWAYS_INLINE void relax_interior(Sweep& shared) {
    // A private copy: stores into the fields cannot alias it, so its members
    // stay in registers.
    Sweep w = shared;
    typename Lanes<kWidth>::F lane_max{};
    double scalar_max = 0.0;
    for (std::int64_t i0 = 1; i0 < w.nx - 1; ++i0) {
        for (std::int64_t i1 = 1; i1 < w.ny - 1; ++i1) {
            const std::int64_t first = (i0 * w.ny + i1) * w.nz + 1;
            const std::int64_t end = first + (w.nz - 2);
            if (w.interior_fixed) {
                relax_row<kWidth, true>(w, first, end, lane_max, scalar_max);
            } else {
                relax_row<kWidth, false>(w, first, end, lane_max, scalar_max);
            }
        }
    }
    double max_delta = scalar_max;
    for (int lane = 0; lane < kWidth; ++lane) {
        const double m = Lanes<kWidth>::lane(lane_max, lane);
        if (m > max_delta) max_delta = m;
    }
    shared.max_delta = max_delta;
    shared.energy = w.energy;
}

void relax_interior_scalar(Sweep& w) { relax_interior<1>(w); }

#if TAVRO_FIELD_X86_VECTORS
__attribute__((target("avx512f"))) void relax_interior_avx512(Sweep& w) { relax_interior<8>(w); }
__attribute__((target("avx2"))) void relax_interior_avx2(Sweep& w) { relax_interior<4>(w); }
#endif

using InteriorFn = void (*)(Sweep&);

InteriorFn best_interior_sweep() {
#if TAVRO_FIELD_X86_VECTORS
    __builtin_cpu_init();
    if (TAVRO_FIELD_MAX_LANES >= 8 && __builtin_cpu_supports("avx512f")) {
        return &relax_interior_avx512;
    }
    if (TAVRO_FIELD_MAX_LANES >= 4 && __builtin_cpu_supports("avx2")) return &relax_interior_avx2;
#endif
    return &relax_interior_scalar;
}

// Whether a cell off the faces is fixed by its flag. Faces are often all
// flagged; without an interior one the sweeps need not read the flags.
bool interior_fixed(const double* bc, std::int64_t nx, std::int64_t ny, std::int64_t nz) {
    for (std::int64_t i0 = 1; i0 < nx - 1; ++i0) {
        for (std::int64_t i1 = 1; i1 < ny - 1; ++i1) {
            const double* row = bc + (i0 * ny + i1) * nz;
            for (std::int64_t i2 = 1; i2 < nz - 1; ++i2) {
                if (row[i2] == 1.0) return true;
            }
        }
    }
    return false;
}

#undef TAVRO_ALWAYS_INLINE

}  // namespace

RunSummary relax_fields(FieldGrid& grid, std::int32_t iterations, double* history,
                        std::int32_t history_stride, double convergence_tol) noexcept {
    // What a run reports when it cannot hold its scratch buffers.
    const RunSummary not_started{0, -1, 0.0, 0.0};

    // A grid too large to count cannot be allocated: reported as a failed
    // scratch allocation.
    detail::GridExtents64 extents;
    if (!detail::grid_extents(grid, &extents)) return not_started;
    const std::int64_t nx = extents.nx, ny = extents.ny, nz = extents.nz, cells = extents.cells;
    const std::size_t count = static_cast<std::size_t>(cells);

    double* scratch[4];
    for (double*& buffer : scratch) {
        buffer = allocate_array<double>(count, AllocSite::field_scratch);
    }
    if (!scratch[0] || !scratch[1] || !scratch[2] || !scratch[3]) {
        for (double* buffer : scratch) release_bytes(buffer);
        return not_started;
    }
    double *psi_cur = scratch[0], *psi_next = scratch[1];
    double *tau_cur = scratch[2], *tau_next = scratch[3];

    // Both generations start with the entry fields, so the faces (which no
    // sweep changes) are in place whichever buffer ends up current.
    const double P_k = grid.P_k;
    for (std::size_t c = 0; c < count; ++c) psi_cur[c] = grid.psi[c] / P_k;
    if (count > 0) {
        std::memcpy(psi_next, psi_cur, count * sizeof(double));
        std::memcpy(tau_cur, grid.tau, count * sizeof(double));
        std::memcpy(tau_next, grid.tau, count * sizeof(double));
    }

    Sweep sweep{};
    sweep.phi = grid.phi;
    sweep.bc = grid.bc;
    sweep.nx = nx;
    sweep.ny = ny;
    sweep.nz = nz;
    sweep.k = {P_k, P_k * 1e-26, P_k * kCubicCoupling * P_k * P_k, P_k * 5e-27};
    sweep.interior_fixed = interior_fixed(grid.bc, nx, ny, nz);
    const bool has_interior = nx >= 3 && ny >= 3 && nz >= 3;
    const InteriorFn relax = best_interior_sweep();

    RunSummary summary{0, -1, 0.0, 0.0};
    // A stride below 1 cannot address a record, so such a history is not sampled.
    const bool sampling = history != nullptr && history_stride >= 1;
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
        if (sampling && step % history_stride == 0) {
            double* record = history + 3 * static_cast<std::size_t>(step / history_stride);
            record[0] = static_cast<double>(step);
            record[1] = sweep.max_delta;
            record[2] = sweep.energy / N;
        }
        if (convergence_tol > 0.0 && sweep.max_delta < convergence_tol) {
            summary.early_exit_step = step;
            summary.energy_final = sweep.energy / N;
            break;
        }
    }

    for (std::size_t c = 0; c < count; ++c) grid.psi[c] = P_k * psi_cur[c];
    if (count > 0) std::memcpy(grid.tau, tau_cur, count * sizeof(double));
    for (double* buffer : scratch) release_bytes(buffer);
    return summary;
}

}  // namespace tavro
