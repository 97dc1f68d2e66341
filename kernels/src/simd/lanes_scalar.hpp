// One double at a time, behind the same interface as the vector lane sets,
// so that one body of arithmetic serves every width. Each operation is the
// plain IEEE one.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/compiler.hpp"

namespace tavro::simd::scalar {

struct Vec {
    double v;
};
using Mask = bool;

TAVRO_ALWAYS_INLINE Vec operator+(Vec a, Vec b) { return {a.v + b.v}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, Vec b) { return {a.v - b.v}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, Vec b) { return {a.v * b.v}; }
TAVRO_ALWAYS_INLINE Vec operator/(Vec a, Vec b) { return {a.v / b.v}; }
TAVRO_ALWAYS_INLINE Vec operator+(Vec a, double b) { return {a.v + b}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, double b) { return {a.v - b}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, double b) { return {a.v * b}; }
TAVRO_ALWAYS_INLINE Vec operator*(double a, Vec b) { return {a * b.v}; }

struct Lanes {
    static constexpr int kCount = 1;
    using Vec = scalar::Vec;
    using Mask = scalar::Mask;

    static TAVRO_ALWAYS_INLINE Vec load(const double* p) { return {*p}; }
    static TAVRO_ALWAYS_INLINE void store(double* p, Vec a) { *p = a.v; }
    static TAVRO_ALWAYS_INLINE Vec splat(double x) { return {x}; }
    static TAVRO_ALWAYS_INLINE Vec abs(Vec a) { return {std::fabs(a.v)}; }

    // Ordered comparisons: false when either side is NaN.
    static TAVRO_ALWAYS_INLINE Mask greater(Vec a, Vec b) { return a.v > b.v; }
    static TAVRO_ALWAYS_INLINE Mask less(Vec a, Vec b) { return a.v < b.v; }
    static TAVRO_ALWAYS_INLINE Mask equal(Vec a, Vec b) { return a.v == b.v; }
    static TAVRO_ALWAYS_INLINE Mask either(Mask a, Mask b) { return a || b; }
    static TAVRO_ALWAYS_INLINE bool any(Mask m) { return m; }
    static TAVRO_ALWAYS_INLINE Mask no_lane() { return false; }
    static TAVRO_ALWAYS_INLINE Mask first_lane() { return true; }
    static TAVRO_ALWAYS_INLINE Mask last_lane() { return true; }
    // lo <= p[i] <= hi, lane by lane.
    static TAVRO_ALWAYS_INLINE Mask int32_in_range(const std::int32_t* p, std::int32_t lo,
                                                   std::int32_t hi) {
        return *p >= lo && *p <= hi;
    }
    static TAVRO_ALWAYS_INLINE Vec select(Mask m, Vec yes, Vec no) { return m ? yes : no; }

    // The sequential running extremes: v replaces acc only where v > acc
    // (v < acc), so a NaN or an equal value of the other sign never does.
    static TAVRO_ALWAYS_INLINE Vec keep_greater(Vec acc, Vec v) { return v.v > acc.v ? v : acc; }
    static TAVRO_ALWAYS_INLINE Vec keep_less(Vec acc, Vec v) { return v.v < acc.v ? v : acc; }
};

}  // namespace tavro::simd::scalar
