// Four doubles per vector with AVX2. Include only inside an AVX2 target
// region (isa_region_begin.hpp), which also includes <immintrin.h>.
// Masks are vectors whose lanes are all ones or all zeros.
#pragma once

namespace tavro::simd::avx2 {

struct Vec {
    __m256d v;
};
struct Mask {
    __m256d m;
};

TAVRO_ALWAYS_INLINE Vec operator+(Vec a, Vec b) { return {_mm256_add_pd(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, Vec b) { return {_mm256_sub_pd(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, Vec b) { return {_mm256_mul_pd(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator/(Vec a, Vec b) { return {_mm256_div_pd(a.v, b.v)}; }
// A scalar operand is broadcast; set1 keeps the sign of -0.0.
TAVRO_ALWAYS_INLINE Vec operator+(Vec a, double b) { return a + Vec{_mm256_set1_pd(b)}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, double b) { return a - Vec{_mm256_set1_pd(b)}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, double b) { return a * Vec{_mm256_set1_pd(b)}; }
TAVRO_ALWAYS_INLINE Vec operator*(double a, Vec b) { return Vec{_mm256_set1_pd(a)} * b; }

struct Lanes {
    static constexpr int kCount = 4;
    using Vec = avx2::Vec;
    using Mask = avx2::Mask;

    // Arrays are only element-aligned.
    static TAVRO_ALWAYS_INLINE Vec load(const double* p) { return {_mm256_loadu_pd(p)}; }
    static TAVRO_ALWAYS_INLINE void store(double* p, Vec a) { _mm256_storeu_pd(p, a.v); }
    static TAVRO_ALWAYS_INLINE Vec splat(double x) { return {_mm256_set1_pd(x)}; }
    static TAVRO_ALWAYS_INLINE Vec abs(Vec a) {
        return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)};
    }

    static TAVRO_ALWAYS_INLINE Mask greater(Vec a, Vec b) {
        return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)};
    }
    static TAVRO_ALWAYS_INLINE Mask less(Vec a, Vec b) {
        return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
    }
    static TAVRO_ALWAYS_INLINE Mask equal(Vec a, Vec b) {
        return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)};
    }
    static TAVRO_ALWAYS_INLINE Mask either(Mask a, Mask b) { return {_mm256_or_pd(a.m, b.m)}; }
    static TAVRO_ALWAYS_INLINE bool any(Mask m) { return _mm256_movemask_pd(m.m) != 0; }
    static TAVRO_ALWAYS_INLINE Mask no_lane() { return {_mm256_setzero_pd()}; }
    static TAVRO_ALWAYS_INLINE Mask first_lane() {
        return {_mm256_castsi256_pd(_mm256_set_epi64x(0, 0, 0, -1))};
    }
    static TAVRO_ALWAYS_INLINE Mask last_lane() {
        return {_mm256_castsi256_pd(_mm256_set_epi64x(-1, 0, 0, 0))};
    }
    static TAVRO_ALWAYS_INLINE Mask int32_in_range(const std::int32_t* p, std::int32_t lo,
                                                   std::int32_t hi) {
        const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i outside = _mm_or_si128(_mm_cmplt_epi32(values, _mm_set1_epi32(lo)),
                                             _mm_cmpgt_epi32(values, _mm_set1_epi32(hi)));
        const __m128i inside = _mm_xor_si128(outside, _mm_set1_epi32(-1));
        return {_mm256_castsi256_pd(_mm256_cvtepi32_epi64(inside))};
    }
    static TAVRO_ALWAYS_INLINE Vec select(Mask m, Vec yes, Vec no) {
        return {_mm256_blendv_pd(no.v, yes.v, m.m)};
    }

    // vmaxpd/vminpd return their second operand on NaN or equality, so they
    // keep acc exactly where the sequential test v > acc (v < acc) fails.
    static TAVRO_ALWAYS_INLINE Vec keep_greater(Vec acc, Vec v) {
        return {_mm256_max_pd(v.v, acc.v)};
    }
    static TAVRO_ALWAYS_INLINE Vec keep_less(Vec acc, Vec v) { return {_mm256_min_pd(v.v, acc.v)}; }
};

}  // namespace tavro::simd::avx2
