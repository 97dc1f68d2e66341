// Optimised heat-diffusion sweep. It stores the same bits and reports the
// same statistics as tcad_kernel_reference: every updated cell goes through
// the same IEEE operations in the same order. The speed comes only from what
// can change without touching a rounding:
//   - held outer faces never change, so both buffers keep them and a step
//     ping-pongs the buffers instead of copying; their extremes are taken
//     once per run;
//   - interior rows are swept several cells at a time with explicit vectors
//     (AVX-512 or AVX2, chosen at run time; scalar elsewhere), and the codes
//     are not read at all when no interior cell is held by one;
//   - when conductivity and heat capacity carry the same bits in every cell
//     (the solver's scalar inputs), every cell's coefficients are the same
//     value, so they are formed once instead of with four divisions a cell.
// Vectors change one thing: the order in which the extremes meet. That only
// matters for the sign of a zero extreme, which is settled after the sweep.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "tavro/allocation.hpp"
#include "tavro/heat_kernel.hpp"
#include "heat_grid_extents.hpp"

// GCC 12 (or clang) for __builtin_shufflevector.
#if defined(__x86_64__) && (defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12))
#define TAVRO_HEAT_X86_VECTORS 1
#else
#define TAVRO_HEAT_X86_VECTORS 0
#endif

namespace tavro {
namespace {

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

// One sweep over the interior cells: what they read, where they write.
struct Sweep {
    const double* cur;
    double* next;
    const double* k;
    const double* cp;
    const double* Q;
    const std::int32_t* bc;
    std::int64_t nx, ny, nz;
    double dt;
    double dxx, dyy, dzz;  // dx*dx etc., the divisors of the coefficients
    bool uniform_material;
    double cx, cy, cz;  // every cell's coefficients when uniform_material
    bool interior_codes_hold;  // some cell off the faces has code 1 or 2
};

inline bool is_held_code(std::int32_t code) { return code == 1 || code == 2; }

inline double updated_value(const Sweep& w, std::int64_t c) {
    const double* T = w.cur;
    const double T0 = T[c];
    double cx = w.cx, cy = w.cy, cz = w.cz;
    if (!w.uniform_material) {
        const double a = (w.k[c] / (w.cp[c] * kTcadDensity)) * w.dt;
        cx = a / w.dxx;
        cy = a / w.dyy;
        cz = a / w.dzz;
    }
    const std::int64_t sx = w.ny * w.nz;
    const double d2x = (T[c + sx] - 2.0 * T0) + T[c - sx];
    const double d2y = (T[c + w.nz] - 2.0 * T0) + T[c - w.nz];
    const double d2z = (T[c + 1] - 2.0 * T0) + T[c - 1];
    return (((T0 + cx * d2x) + cy * d2y) + cz * d2z) + w.dt * w.Q[c];
}

// Interior cells [first, end) of one row, one at a time, in flat order.
inline void sweep_row_scalar(const Sweep& w, std::int64_t first, std::int64_t end,
                             StepStats& stats) {
    for (std::int64_t c = first; c < end; ++c) {
        const double v = is_held_code(w.bc[c]) ? w.cur[c] : updated_value(w, c);
        w.next[c] = v;
        take_extremes(stats, v);
        take_change(stats, std::fabs(v - w.cur[c]));
    }
}

// Updates every cell off the outer faces (1 <= i,j,k <= n-2) and folds the
// new values into `stats`. Requires nx, ny, nz >= 3.
void sweep_interior_scalar(const Sweep& w, StepStats& stats) {
    for (std::int64_t i = 1; i < w.nx - 1; ++i) {
        for (std::int64_t j = 1; j < w.ny - 1; ++j) {
            const std::int64_t first = (i * w.ny + j) * w.nz + 1;
            sweep_row_scalar(w, first, first + (w.nz - 2), stats);
        }
    }
}

#if TAVRO_HEAT_X86_VECTORS

// The vector helpers carry no target of their own; forced inlining compiles
// them with the instruction set of the sweep that uses them.
#define TAVRO_ALWAYS_INLINE __attribute__((always_inline)) inline

// Vectors of kWidth doubles (GCC vector extensions) and their helpers.
// Spelled out per width: GCC ignores a vector_size that depends on a
// template parameter. Vectors go by reference: by value they would tie a
// helper to one instruction set's calling convention.
template <int kWidth>
struct Lanes;

#define TAVRO_DEFINE_LANES(kWidth, ...)                                                      \
    template <>                                                                              \
    struct Lanes<kWidth> {                                                                   \
        typedef double F __attribute__((vector_size(8 * kWidth)));                           \
        typedef std::int64_t I __attribute__((vector_size(8 * kWidth)));                     \
        typedef std::int32_t Codes __attribute__((vector_size(4 * kWidth)));                 \
                                                                                             \
        /* Arrays are only element-aligned: memcpy gives unaligned accesses. */              \
        static TAVRO_ALWAYS_INLINE void load(F& out, const double* p) {                      \
            __builtin_memcpy(&out, p, sizeof out);                                           \
        }                                                                                    \
        static TAVRO_ALWAYS_INLINE void load(Codes& out, const std::int32_t* p) {            \
            __builtin_memcpy(&out, p, sizeof out);                                           \
        }                                                                                    \
        static TAVRO_ALWAYS_INLINE void store(double* p, const F& v) {                       \
            __builtin_memcpy(p, &v, sizeof v);                                               \
        }                                                                                    \
        static TAVRO_ALWAYS_INLINE void splat(F& out, double x) {                            \
            for (int lane = 0; lane < kWidth; ++lane) out[lane] = x;                         \
        }                                                                                    \
        /* 32-bit lane masks to 64-bit ones by doubling every lane; a */                     \
        /* __builtin_convertvector here would be lowered to scalar code */                   \
        /* before it is inlined into the vector sweep. */                                    \
        static TAVRO_ALWAYS_INLINE void widen(const Codes& mask, I& out) {                   \
            out = reinterpret_cast<I>(__builtin_shufflevector(mask, mask, __VA_ARGS__));     \
        }                                                                                    \
    };

TAVRO_DEFINE_LANES(4, 0, 0, 1, 1, 2, 2, 3, 3)
TAVRO_DEFINE_LANES(8, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7)
#undef TAVRO_DEFINE_LANES

template <int kWidth>
struct LaneStats {
    typename Lanes<kWidth>::F t_max, t_min, delta;
};

// One row's interior cells [first, end), kWidth at a time; needs
// end - first >= kWidth. The last chunk is shifted back to finish at `end`:
// the cells it shares with the previous chunk are recomputed to the same
// bits, which changes neither the field nor the statistics.
template <int kWidth, bool kUniformMaterial, bool kCodesHold>
TAVRO_ALWAYS_INLINE void sweep_row_lanes(const Sweep& w, std::int64_t first, std::int64_t end,
                                         LaneStats<kWidth>& lanes) {
    using L = Lanes<kWidth>;
    using F = typename L::F;
    using I = typename L::I;
    const double* const T = w.cur;
    const std::int64_t sx = w.ny * w.nz;
    const std::int64_t sy = w.nz;
    const I abs_mask = ~(I{} + INT64_MIN);
    F cx, cy, cz;
    if (kUniformMaterial) {
        L::splat(cx, w.cx);
        L::splat(cy, w.cy);
        L::splat(cz, w.cz);
    }
    for (std::int64_t c = first;; c = std::min(c + kWidth, end - kWidth)) {
        F t0, xp, xm, yp, ym, zp, zm, q;
        L::load(t0, T + c);
        L::load(xp, T + c + sx);
        L::load(xm, T + c - sx);
        L::load(yp, T + c + sy);
        L::load(ym, T + c - sy);
        L::load(zp, T + c + 1);
        L::load(zm, T + c - 1);
        L::load(q, w.Q + c);
        if (!kUniformMaterial) {
            F k, cp;
            L::load(k, w.k + c);
            L::load(cp, w.cp + c);
            const F a = (k / (cp * kTcadDensity)) * w.dt;
            cx = a / w.dxx;
            cy = a / w.dyy;
            cz = a / w.dzz;
        }
        const F two_t0 = 2.0 * t0;
        const F d2x = (xp - two_t0) + xm;
        const F d2y = (yp - two_t0) + ym;
        const F d2z = (zp - two_t0) + zm;
        const F moved = (((t0 + cx * d2x) + cy * d2y) + cz * d2z) + w.dt * q;

        F v = moved;
        if (kCodesHold) {
            typename L::Codes codes;
            L::load(codes, w.bc + c);
            I held;
            L::widen((codes == 1) | (codes == 2), held);
            v = held ? t0 : moved;
        }
        L::store(w.next + c, v);

        // Lane-wise forms of the sequential rules.
        lanes.t_max = v > lanes.t_max ? v : lanes.t_max;
        lanes.t_min = v < lanes.t_min ? v : lanes.t_min;
        const F d = reinterpret_cast<F>(reinterpret_cast<I>(v - t0) & abs_mask);
        lanes.delta = d > lanes.delta ? d : lanes.delta;

        if (c + kWidth >= end) break;
    }
}

// sweep_interior_scalar with kWidth lanes; rows shorter than that go scalar.
// The extremes are folded per lane, so a zero extreme may carry the wrong
// sign; the caller settles it.
template <int kWidth>
TAVRO_ALWAYS_INLINE void sweep_interior_lanes(const Sweep& shared, StepStats& stats) {
    // A private copy: stores into the field cannot alias it, so its members
    // stay in registers.
    const Sweep w = shared;
    LaneStats<kWidth> lanes;
    Lanes<kWidth>::splat(lanes.t_max, stats.t_max);
    Lanes<kWidth>::splat(lanes.t_min, stats.t_min);
    Lanes<kWidth>::splat(lanes.delta, stats.delta);
    for (std::int64_t i = 1; i < w.nx - 1; ++i) {
        for (std::int64_t j = 1; j < w.ny - 1; ++j) {
            const std::int64_t first = (i * w.ny + j) * w.nz + 1;
            const std::int64_t end = first + (w.nz - 2);
            if (end - first < kWidth) {
                sweep_row_scalar(w, first, end, stats);
            } else if (w.uniform_material && !w.interior_codes_hold) {
                sweep_row_lanes<kWidth, true, false>(w, first, end, lanes);
            } else if (w.uniform_material) {
                sweep_row_lanes<kWidth, true, true>(w, first, end, lanes);
            } else if (!w.interior_codes_hold) {
                sweep_row_lanes<kWidth, false, false>(w, first, end, lanes);
            } else {
                sweep_row_lanes<kWidth, false, true>(w, first, end, lanes);
            }
        }
    }
    // Each lane's maximum competes only for the maximum: a lane that saw no
    // value still holds the minimum's starting bound in its t_min.
    for (int lane = 0; lane < kWidth; ++lane) {
        if (lanes.t_max[lane] > stats.t_max) stats.t_max = lanes.t_max[lane];
        if (lanes.t_min[lane] < stats.t_min) stats.t_min = lanes.t_min[lane];
        take_change(stats, lanes.delta[lane]);
    }
}

__attribute__((target("avx512f"))) void sweep_interior_avx512(const Sweep& w, StepStats& stats) {
    sweep_interior_lanes<8>(w, stats);
}

__attribute__((target("avx2"))) void sweep_interior_avx2(const Sweep& w, StepStats& stats) {
    sweep_interior_lanes<4>(w, stats);
}

#undef TAVRO_ALWAYS_INLINE
#endif  // TAVRO_HEAT_X86_VECTORS

// The widest sweep to consider. Test builds lower it so that the narrower
// sweeps are held against the reference on machines that would pick a wider one.
#ifndef TAVRO_HEAT_MAX_LANES
#define TAVRO_HEAT_MAX_LANES 8
#endif

using SweepFn = void (*)(const Sweep&, StepStats&);

SweepFn best_sweep() {
#if TAVRO_HEAT_X86_VECTORS
    __builtin_cpu_init();
    if (TAVRO_HEAT_MAX_LANES >= 8 && __builtin_cpu_supports("avx512f")) {
        return &sweep_interior_avx512;
    }
    if (TAVRO_HEAT_MAX_LANES >= 4 && __builtin_cpu_supports("avx2")) return &sweep_interior_avx2;
#endif
    return &sweep_interior_scalar;
}

// Extremes of the outer-face cells, which no step changes. A held cell's
// change is 0 (NaN for an infinity), so it never raises delta.
StepStats face_extremes(const double* T, std::int64_t nx, std::int64_t ny, std::int64_t nz) {
    StepStats stats;
    for (std::int64_t i = 0; i < nx; ++i) {
        for (std::int64_t j = 0; j < ny; ++j) {
            const double* row = T + (i * ny + j) * nz;
            if (i == 0 || i == nx - 1 || j == 0 || j == ny - 1) {
                for (std::int64_t k = 0; k < nz; ++k) take_extremes(stats, row[k]);
            } else if (nz > 0) {
                take_extremes(stats, row[0]);
                take_extremes(stats, row[nz - 1]);
            }
        }
    }
    return stats;
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

// True when every cell carries the same bits of k and of cp. Bits rather
// than ==, because 0.0 and -0.0 divide into infinities of opposite sign.
bool uniform_material(const double* k, const double* cp, std::int64_t cells) {
    for (std::int64_t c = 1; c < cells; ++c) {
        if (!same_bits(k[c], k[0]) || !same_bits(cp[c], cp[0])) return false;
    }
    return true;
}

// Whether any cell off the outer faces is held by its code. Without one the
// vector sweep need not read the codes at all.
bool interior_codes_hold(const std::int32_t* bc, std::int64_t nx, std::int64_t ny,
                         std::int64_t nz) {
    for (std::int64_t i = 1; i < nx - 1; ++i) {
        for (std::int64_t j = 1; j < ny - 1; ++j) {
            const std::int32_t* row = bc + (i * ny + j) * nz;
            for (std::int64_t k = 1; k < nz - 1; ++k) {
                if (is_held_code(row[k])) return true;
            }
        }
    }
    return false;
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
    const std::size_t bytes = static_cast<std::size_t>(cells) * sizeof(double);

    double* scratch = allocate_array<double>(static_cast<std::size_t>(cells), AllocSite::scratch);
    if (scratch == nullptr) return summary;
    if (cells > 0) std::memcpy(scratch, grid.T, bytes);

    const bool early_exit = convergence_tol > 0.0;
    // A stride below 1 cannot address a slot, so such a history is not sampled.
    const bool sampling = history != nullptr && history_stride >= 1;
    const bool has_interior = nx >= 3 && ny >= 3 && nz >= 3;
    const StepStats faces = face_extremes(grid.T, nx, ny, nz);
    const SweepFn sweep_interior = best_sweep();

    Sweep sweep{};
    sweep.k = grid.k;
    sweep.cp = grid.cp;
    sweep.Q = grid.Q;
    sweep.bc = grid.bc;
    sweep.nx = nx;
    sweep.ny = ny;
    sweep.nz = nz;
    sweep.dt = grid.dt;
    sweep.dxx = grid.dx * grid.dx;
    sweep.dyy = grid.dy * grid.dy;
    sweep.dzz = grid.dz * grid.dz;
    sweep.uniform_material = has_interior && uniform_material(grid.k, grid.cp, cells);
    sweep.interior_codes_hold = interior_codes_hold(grid.bc, nx, ny, nz);
    if (sweep.uniform_material) {
        const double a = (grid.k[0] / (grid.cp[0] * kTcadDensity)) * grid.dt;
        sweep.cx = a / sweep.dxx;
        sweep.cy = a / sweep.dyy;
        sweep.cz = a / sweep.dzz;
    }

    // Both buffers start with the entry field and never see a held face
    // cell change, so each step writes only the interior of `next`.
    double* cur = grid.T;
    double* next = scratch;
    for (std::int32_t s = 0; s < iterations; ++s) {
        StepStats stats = faces;
        if (has_interior) {
            sweep.cur = cur;
            sweep.next = next;
            sweep_interior(sweep, stats);
        }
        if (stats.t_max == 0.0) stats.t_max = first_zero_in_scan_order(next, cells);
        if (stats.t_min == 0.0) stats.t_min = first_zero_in_scan_order(next, cells);

        summary.max_delta = stats.delta;
        if (sampling && s % history_stride == 0) {
            double* slot = history + 3 * static_cast<std::size_t>(s / history_stride);
            slot[0] = static_cast<double>(s);
            slot[1] = stats.t_max;
            slot[2] = stats.t_min;
        }
        std::swap(cur, next);
        summary.iterations_completed = s + 1;
        if (early_exit && stats.delta < convergence_tol) {
            summary.early_exit_step = s;
            break;
        }
    }

    if (cur != grid.T && cells > 0) std::memcpy(grid.T, cur, bytes);
    release_bytes(scratch);
    return summary;
}

}  // namespace tavro
