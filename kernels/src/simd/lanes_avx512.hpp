// Eight doubles per vector with AVX-512F. Include only inside an AVX-512
// target region (isa_region_begin.hpp), which also includes <immintrin.h>.
// Masks live in mask registers.
#pragma once

namespace tavro::simd::avx512 {

struct Vec {
    __m512d v;
};
using Mask = __mmask8;

TAVRO_ALWAYS_INLINE Vec operator+(Vec a, Vec b) { return {_mm512_add_pd(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, Vec b) { return {_mm512_sub_pd(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, Vec b) { return {_mm512_mul_pd(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator/(Vec a, Vec b) { return {_mm512_div_pd(a.v, b.v)}; }
// A scalar operand is broadcast; set1 keeps the sign of -0.0.
TAVRO_ALWAYS_INLINE Vec operator+(Vec a, double b) { return a + Vec{_mm512_set1_pd(b)}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, double b) { return a - Vec{_mm512_set1_pd(b)}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, double b) { return a * Vec{_mm512_set1_pd(b)}; }
TAVRO_ALWAYS_INLINE Vec operator*(double a, Vec b) { return Vec{_mm512_set1_pd(a)} * b; }

struct Lanes {
    static constexpr int kCount = 8;
    using Vec = avx512::Vec;
    using Mask = avx512::Mask;

    // Arrays are only element-aligned.
    static TAVRO_ALWAYS_INLINE Vec load(const double* p) { return {_mm512_loadu_pd(p)}; }
    static TAVRO_ALWAYS_INLINE void store(double* p, Vec a) { _mm512_storeu_pd(p, a.v); }
    static TAVRO_ALWAYS_INLINE Vec splat(double x) { return {_mm512_set1_pd(x)}; }
    static TAVRO_ALWAYS_INLINE Vec abs(Vec a) {
        const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffff);
        return {_mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(a.v), magnitude))};
    }

    static TAVRO_ALWAYS_INLINE Mask greater(Vec a, Vec b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ);
    }
    static TAVRO_ALWAYS_INLINE Mask less(Vec a, Vec b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ);
    }
    static TAVRO_ALWAYS_INLINE Mask equal(Vec a, Vec b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ);
    }
    static TAVRO_ALWAYS_INLINE Mask either(Mask a, Mask b) { return static_cast<Mask>(a | b); }
    static TAVRO_ALWAYS_INLINE bool any(Mask m) { return m != 0; }
    static TAVRO_ALWAYS_INLINE Mask no_lane() { return 0; }
    static TAVRO_ALWAYS_INLINE Mask first_lane() { return 0x01; }
    static TAVRO_ALWAYS_INLINE Mask last_lane() { return 0x80; }
    // (unsigned)(p[i] - lo) <= hi - lo: one compare.
    static TAVRO_ALWAYS_INLINE Mask int32_in_range(const std::int32_t* p, std::int32_t lo,
                                                   std::int32_t hi) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m512i shifted =
            _mm512_castsi256_si512(_mm256_sub_epi32(values, _mm256_set1_epi32(lo)));
        return static_cast<Mask>(
            _mm512_mask_cmple_epu32_mask(0xFF, shifted, _mm512_set1_epi32(hi - lo)));
    }
    static TAVRO_ALWAYS_INLINE Vec select(Mask m, Vec yes, Vec no) {
        return {_mm512_mask_blend_pd(m, no.v, yes.v)};
    }

    // Compare and blend rather than vmaxpd: the compare goes to the multiply
    // pipes and the blend anywhere, where vmaxpd would compete with the
    // stencil's additions. Same rule: take v where v > acc (v < acc).
    static TAVRO_ALWAYS_INLINE Vec keep_greater(Vec acc, Vec v) {
        return select(greater(v, acc), v, acc);
    }
    static TAVRO_ALWAYS_INLINE Vec keep_less(Vec acc, Vec v) { return select(less(v, acc), v, acc); }
};

}  // namespace tavro::simd::avx512
