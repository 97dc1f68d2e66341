// Two doubles per vector with NEON (aarch64). vaddq/vsubq/vmulq/vdivq_f64
// are the plain IEEE operations; no fused multiply-add is ever used.
// Included by isa_region_begin.hpp, which also includes <arm_neon.h>.
// Masks are vectors whose lanes are all ones or all zeros.
#pragma once

namespace tavro::simd::neon {

struct Vec {
    float64x2_t v;
};
struct Mask {
    uint64x2_t m;
};

TAVRO_ALWAYS_INLINE Vec operator+(Vec a, Vec b) { return {vaddq_f64(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, Vec b) { return {vsubq_f64(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, Vec b) { return {vmulq_f64(a.v, b.v)}; }
TAVRO_ALWAYS_INLINE Vec operator/(Vec a, Vec b) { return {vdivq_f64(a.v, b.v)}; }
// A scalar operand is broadcast; vdupq keeps the sign of -0.0.
TAVRO_ALWAYS_INLINE Vec operator+(Vec a, double b) { return a + Vec{vdupq_n_f64(b)}; }
TAVRO_ALWAYS_INLINE Vec operator-(Vec a, double b) { return a - Vec{vdupq_n_f64(b)}; }
TAVRO_ALWAYS_INLINE Vec operator*(Vec a, double b) { return a * Vec{vdupq_n_f64(b)}; }
TAVRO_ALWAYS_INLINE Vec operator*(double a, Vec b) { return Vec{vdupq_n_f64(a)} * b; }

struct Lanes {
    static constexpr int kCount = 2;
    using Vec = neon::Vec;
    using Mask = neon::Mask;

    static TAVRO_ALWAYS_INLINE Vec load(const double* p) { return {vld1q_f64(p)}; }
    static TAVRO_ALWAYS_INLINE void store(double* p, Vec a) { vst1q_f64(p, a.v); }
    static TAVRO_ALWAYS_INLINE Vec splat(double x) { return {vdupq_n_f64(x)}; }
    static TAVRO_ALWAYS_INLINE Vec abs(Vec a) { return {vabsq_f64(a.v)}; }

    // Ordered comparisons: false when either side is NaN.
    static TAVRO_ALWAYS_INLINE Mask greater(Vec a, Vec b) { return {vcgtq_f64(a.v, b.v)}; }
    static TAVRO_ALWAYS_INLINE Mask less(Vec a, Vec b) { return {vcltq_f64(a.v, b.v)}; }
    static TAVRO_ALWAYS_INLINE Mask equal(Vec a, Vec b) { return {vceqq_f64(a.v, b.v)}; }
    static TAVRO_ALWAYS_INLINE Mask either(Mask a, Mask b) { return {vorrq_u64(a.m, b.m)}; }
    static TAVRO_ALWAYS_INLINE bool any(Mask m) { return vmaxvq_u32(vreinterpretq_u32_u64(m.m)) != 0; }
    static TAVRO_ALWAYS_INLINE Mask no_lane() { return {vdupq_n_u64(0)}; }
    static TAVRO_ALWAYS_INLINE Mask first_lane() {
        return {vsetq_lane_u64(~std::uint64_t{0}, vdupq_n_u64(0), 0)};
    }
    static TAVRO_ALWAYS_INLINE Mask last_lane() {
        return {vsetq_lane_u64(~std::uint64_t{0}, vdupq_n_u64(0), 1)};
    }
    static TAVRO_ALWAYS_INLINE Mask int32_in_range(const std::int32_t* p, std::int32_t lo,
                                                   std::int32_t hi) {
        const int32x2_t values = vld1_s32(p);
        const uint32x2_t inside =
            vand_u32(vcge_s32(values, vdup_n_s32(lo)), vcle_s32(values, vdup_n_s32(hi)));
        // Sign extension turns each all-ones 32-bit lane into an all-ones 64-bit one.
        return {vreinterpretq_u64_s64(vmovl_s32(vreinterpret_s32_u32(inside)))};
    }
    static TAVRO_ALWAYS_INLINE Vec select(Mask m, Vec yes, Vec no) {
        return {vbslq_f64(m.m, yes.v, no.v)};
    }

    static TAVRO_ALWAYS_INLINE Vec keep_greater(Vec acc, Vec v) {
        return select(greater(v, acc), v, acc);
    }
    static TAVRO_ALWAYS_INLINE Vec keep_less(Vec acc, Vec v) { return select(less(v, acc), v, acc); }
};

}  // namespace tavro::simd::neon
