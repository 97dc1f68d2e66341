// Records shared by the heat kernel's sweeps, its temporal blocking and its
// driver: what stays fixed for a run, what one sweep over a plane is told,
// and the statistics a step keeps.
#pragma once

#include <cstdint>

#include "common/compiler.hpp"
#include "tavro/heat_kernel.hpp"

namespace tavro::heat {

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

// Code 1 or 2, branch-free so that loops over codes vectorise.
inline bool is_held_code(std::int32_t code) { return static_cast<std::uint32_t>(code) - 1u < 2u; }

// Where a cell's three coefficients come from.
enum class Coef {
    uniform,          // the same in every updated cell: formed once per run
    inline_same,      // formed per cell; dx*dx, dy*dy, dz*dz equal: one division
    inline_distinct,  // formed per cell with three divisions
    cached_same,      // read from the block's coefficient planes (one plane)
    cached_distinct,  // read from the block's coefficient planes (three planes)
};
inline constexpr int kCoefModes = 5;
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
    const double* k;       // null: k_one in every cell
    const double* cp;      // null: cp_one in every cell
    double k_one, cp_one;
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
        for (; n > 0 && next < end; --n, next += 64) TAVRO_PREFETCH(base + next);
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
    // Inputs given as one value have no array (and are not read).
    r.k = s.k != nullptr ? s.k + g : nullptr;
    r.cp = s.cp != nullptr ? s.cp + g : nullptr;
    r.q = s.Q != nullptr ? s.Q + g : nullptr;
    r.bc = s.bc != nullptr ? s.bc + g : nullptr;
    r.cx = job.cx.rows != nullptr ? job.cx.row(j, s.nz) : nullptr;
    r.cy = job.cy.rows != nullptr ? job.cy.row(j, s.nz) : nullptr;
    r.cz = job.cz.rows != nullptr ? job.cz.row(j, s.nz) : nullptr;
    return r;
}

// Statistics of one step as the sweeps leave them: one set per vector lane
// and one for rows too short for a vector, folded with the faces' extremes
// afterwards.
inline constexpr int kLaneSlots = 8;
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
inline StepStats fold(const StepStats& faces, const Accum& a) {
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

// Every sweep one instruction set offers, by coefficient mode, whether codes
// are read, whether the source is per cell and whether statistics are kept;
// and the coefficient formers, by whether the three divisors are equal.
struct SweepTable {
    PlaneFn plane[kCoefModes][2][2][2];
    CoefFn coef[2];
};

}  // namespace tavro::heat
