// Vector logarithm of a tile of doubles, storing exactly the bits of the
// platform's scalar log. Include inside an AVX2 or AVX-512 target region
// (simd/isa_region_begin.hpp with TAVRO_SIMD_ISA avx2 or avx512, the build's
// vector log gate open: vector_log_gate.hpp); it defines, in namespace
// tavro::vector_log::TAVRO_SIMD_ISA, reduce and finish (the two stages of one
// vector's log), certify, log_lanes (all three) and log_tile (any n).
//
// The logarithm of a positive normal x, lane by lane (constants and table in
// log_table.hpp, made by tools/gen_log_table.py):
//   x = 2^k z, z in [0.6875, 1.375), read off x's bits minus those of 0.6875;
//   the next 7 bits pick one of 128 sub-intervals and its 16-byte entry:
//   1/c (8 significant bits) and log(c) = hi_c + lo_c, hi_c a multiple of
//   2^-43, c = 1 on the two sub-intervals touching 1.
//     r  = fma(z, 1/c, -1)          exact, |r| <= 2^-7
//     hi = k ln2_hi + hi_c          exact: multiples of 2^-43 below 2^10
//     log x = hi + r - r^2/2 + (k ln2_lo + lo_c + r^3 P(r))
//   hi + r and then -r^2/2 are added with Fast2Sum (|hi| >= |r| or hi = 0,
//   which the generator checked), r^2 is split exactly by an FMA, and what
//   is left over joins the small terms. A last Fast2Sum gives the double y
//   and the residual t, y + t being the computed value exactly.
//
// Error of y + t: within 2^-66.4 of |log x|. The worst case is near
// x = 1 + 2^-7 (k = 0, c = 1), where r^3 P(r) ~ r^3/3 carries about 1.3
// roundings and is r^2 ~ 2^-14 of the result; elsewhere log x is at least
// 2^-8 and the same term matters less. The polynomial adds at most 2^-69.6,
// the splits of ln 2 and log(c) about 2^-85. tools/log-check.sh measures it.
//
// The certificate: the platform's log g is within 0.5255 ULP of log x. When
// y is not a power of two (its ULP is the same on both sides) and
// |t| < 0.474 ULP(y), log x lies within 0.474 + 2^-13.4 < 0.4745 ULP of y,
// so every other double is farther than 0.5255 ULP from it: g = y. All other
// lanes are done again with the scalar log: those near a rounding boundary,
// y a power of two or zero, and x zero, negative, subnormal, infinite or NaN
// (whose lanes compute garbage that is never stored). The test is
// fma(t, 0.5/0.474, y) == y, i.e. |t| * 0.5/0.474 <= ULP(y) / 2. Like the
// rest of the kernels, all this assumes the default rounding (to nearest):
// Fast2Sum and the test need it.
//
// A tile goes in three passes so that nothing branches inside the vector
// loop: all vectors, each storing y (or, for a lane to redo, x itself) and
// its redo bits; then those lanes' indices, packed without branches; then
// the scalar log for each of them, reading the input back from y (so x and
// y may be the same array).

#pragma once

#include "vector_log/lane_orders.hpp"
#include "vector_log/log_table.hpp"

namespace tavro::vector_log::TAVRO_SIMD_ISA {

constexpr int kWidth = TAVRO_SIMD_ID == 3 ? 8 : 4;

// The table entry (hi_and_inverse, lo) at a byte offset.
TAVRO_ALWAYS_INLINE __m128d table_entry(std::uint64_t offset) {
    const char* table = reinterpret_cast<const char*>(kLogTable);
    return _mm_load_pd(reinterpret_cast<const double*>(table + offset));
}

#if TAVRO_SIMD_ID == 3
typedef __m512d D;
typedef __m512i I;

// Several unmasked AVX-512 intrinsics start, in GCC 12's headers, from an
// "undefined" vector that -Wmaybe-uninitialized reports; their zero-masking
// forms with every lane selected are the same instructions without it.
constexpr __mmask8 kAll = 0xFF;

TAVRO_ALWAYS_INLINE D splat(double v) { return _mm512_set1_pd(v); }
TAVRO_ALWAYS_INLINE I splat_bits(std::uint64_t v) {
    return _mm512_set1_epi64(static_cast<long long>(v));
}
TAVRO_ALWAYS_INLINE I bits(D v) { return _mm512_castpd_si512(v); }
TAVRO_ALWAYS_INLINE D from_bits(I v) { return _mm512_castsi512_pd(v); }
TAVRO_ALWAYS_INLINE I add_i(I a, I b) { return _mm512_add_epi64(a, b); }
TAVRO_ALWAYS_INLINE I sub_i(I a, I b) { return _mm512_sub_epi64(a, b); }
TAVRO_ALWAYS_INLINE I and_i(I a, I b) { return _mm512_and_si512(a, b); }
TAVRO_ALWAYS_INLINE I and_not_i(I a, I b) { return _mm512_maskz_andnot_epi64(kAll, b, a); }  // a & ~b
TAVRO_ALWAYS_INLINE I xor_i(I a, I b) { return _mm512_xor_si512(a, b); }
TAVRO_ALWAYS_INLINE I shift_right(I a, unsigned n) { return _mm512_maskz_srli_epi64(kAll, a, n); }
TAVRO_ALWAYS_INLINE I shift_left(I a, unsigned n) { return _mm512_maskz_slli_epi64(kAll, a, n); }
TAVRO_ALWAYS_INLINE D add(D a, D b) { return _mm512_add_pd(a, b); }
TAVRO_ALWAYS_INLINE D sub(D a, D b) { return _mm512_sub_pd(a, b); }
TAVRO_ALWAYS_INLINE D mul(D a, D b) { return _mm512_mul_pd(a, b); }
TAVRO_ALWAYS_INLINE D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
TAVRO_ALWAYS_INLINE D fms(D a, D b, D c) { return _mm512_fmsub_pd(a, b, c); }  // a*b - c

TAVRO_ALWAYS_INLINE D load(const double* p) { return _mm512_loadu_pd(p); }
TAVRO_ALWAYS_INLINE void store(double* p, D v) { _mm512_storeu_pd(p, v); }
// The first `count` lanes (0 < count < kWidth); the others read as 0.0 and
// are never stored.
TAVRO_ALWAYS_INLINE D load_first(const double* p, unsigned count) {
    return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << count) - 1), p);
}
TAVRO_ALWAYS_INLINE void store_first(double* p, D v, unsigned count) {
    _mm512_mask_storeu_pd(p, static_cast<__mmask8>((1u << count) - 1), v);
}

// The 16-byte table entries at the lanes' byte offsets, one load per lane:
// even lanes' entries fill `a`, odd lanes' `b`, and interleaving the two
// gives each field in lane order.
TAVRO_ALWAYS_INLINE __m256d entry_pair(std::uint32_t low, std::uint32_t high) {
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(table_entry(low)), table_entry(high), 1);
}
TAVRO_ALWAYS_INLINE void fetch_entries(I offsets, D& hi_and_inverse, D& lo) {
    // Through memory as 32-bit values: 64-bit reloads from a 64-byte store
    // measured twice as slow (store forwarding), and lane extracts would
    // take the vector ports the arithmetic needs.
    alignas(32) std::uint32_t at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), _mm512_maskz_cvtepi64_epi32(kAll, offsets));
    __asm__("" : "+m"(at));  // keeps the compiler from turning reloads into extracts
    const D a = _mm512_maskz_insertf64x4(kAll, _mm512_castpd256_pd512(entry_pair(at[0], at[2])),
                                         entry_pair(at[4], at[6]), 1);
    const D b = _mm512_maskz_insertf64x4(kAll, _mm512_castpd256_pd512(entry_pair(at[1], at[3])),
                                         entry_pair(at[5], at[7]), 1);
    hi_and_inverse = _mm512_maskz_unpacklo_pd(kAll, a, b);
    lo = _mm512_maskz_unpackhi_pd(kAll, a, b);
}
#else
typedef __m256d D;
typedef __m256i I;

TAVRO_ALWAYS_INLINE D splat(double v) { return _mm256_set1_pd(v); }
TAVRO_ALWAYS_INLINE I splat_bits(std::uint64_t v) {
    return _mm256_set1_epi64x(static_cast<long long>(v));
}
TAVRO_ALWAYS_INLINE I bits(D v) { return _mm256_castpd_si256(v); }
TAVRO_ALWAYS_INLINE D from_bits(I v) { return _mm256_castsi256_pd(v); }
TAVRO_ALWAYS_INLINE I add_i(I a, I b) { return _mm256_add_epi64(a, b); }
TAVRO_ALWAYS_INLINE I sub_i(I a, I b) { return _mm256_sub_epi64(a, b); }
TAVRO_ALWAYS_INLINE I and_i(I a, I b) { return _mm256_and_si256(a, b); }
TAVRO_ALWAYS_INLINE I and_not_i(I a, I b) { return _mm256_andnot_si256(b, a); }  // a & ~b
TAVRO_ALWAYS_INLINE I xor_i(I a, I b) { return _mm256_xor_si256(a, b); }
TAVRO_ALWAYS_INLINE I shift_right(I a, unsigned n) { return _mm256_srli_epi64(a, static_cast<int>(n)); }
TAVRO_ALWAYS_INLINE I shift_left(I a, unsigned n) { return _mm256_slli_epi64(a, static_cast<int>(n)); }
TAVRO_ALWAYS_INLINE D add(D a, D b) { return _mm256_add_pd(a, b); }
TAVRO_ALWAYS_INLINE D sub(D a, D b) { return _mm256_sub_pd(a, b); }
TAVRO_ALWAYS_INLINE D mul(D a, D b) { return _mm256_mul_pd(a, b); }
TAVRO_ALWAYS_INLINE D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
TAVRO_ALWAYS_INLINE D fms(D a, D b, D c) { return _mm256_fmsub_pd(a, b, c); }  // a*b - c

TAVRO_ALWAYS_INLINE D load(const double* p) { return _mm256_loadu_pd(p); }
TAVRO_ALWAYS_INLINE void store(double* p, D v) { _mm256_storeu_pd(p, v); }
TAVRO_ALWAYS_INLINE I first_lanes(unsigned count) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
}
// The first `count` lanes (0 < count < kWidth); the others read as 0.0 and
// are never stored.
TAVRO_ALWAYS_INLINE D load_first(const double* p, unsigned count) {
    return _mm256_maskload_pd(p, first_lanes(count));
}
TAVRO_ALWAYS_INLINE void store_first(double* p, D v, unsigned count) {
    _mm256_maskstore_pd(p, first_lanes(count), v);
}

// As for AVX-512: lanes 0 and 2 fill `a`, lanes 1 and 3 `b`. The offsets
// go through memory; the empty asm keeps the compiler from turning the
// reloads into lane extracts, which take the ports the arithmetic needs.
TAVRO_ALWAYS_INLINE void fetch_entries(I offsets, D& hi_and_inverse, D& lo) {
    alignas(32) std::uint64_t at[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets);
    __asm__("" : "+m"(at));
    const D a = _mm256_insertf128_pd(_mm256_castpd128_pd256(table_entry(at[0])), table_entry(at[2]), 1);
    const D b = _mm256_insertf128_pd(_mm256_castpd128_pd256(table_entry(at[1])), table_entry(at[3]), 1);
    hi_and_inverse = _mm256_unpacklo_pd(a, b);
    lo = _mm256_unpackhi_pd(a, b);
}
#endif

// |t| <= 0.474 ULP(y) exactly when fma(t, kCertificateScale, y) rounds to y.
constexpr double kCertificateScale = 0.5 / 0.474;

// Stage 1, as described at the top: r, hi = k ln2_hi + log(c)_hi (both
// exact) and lo = k ln2_lo + log(c)_lo. Only lanes holding a positive normal
// x mean anything.
TAVRO_ALWAYS_INLINE void reduce(D x, D& r, D& hi, D& lo) {
    const I ix = bits(x);
    const I shifted = sub_i(ix, splat_bits(kReductionOffset));
    // z: x with k taken off its exponent field.
    const D z = from_bits(sub_i(ix, and_i(shifted, splat_bits(0xFFF0000000000000ULL))));
    // k = shifted >> 52, sign included, as a double: the 12-bit field with its
    // top bit flipped is k + 2048, and under 2^52's exponent it reads as
    // 2^52 + 2048 + k.
    const D k = sub(from_bits(xor_i(shift_right(shifted, 52), splat_bits(0x4330000000000800ULL))),
                    splat(0x1.0000000000800p52));
    // Entry index * 16, from the 7 bits below k.
    const I offsets = and_i(shift_right(shifted, 52 - kTableBits - 4),
                            splat_bits(((1ULL << kTableBits) - 1) << 4));
    D hi_and_inverse, lo_c;
    fetch_entries(offsets, hi_and_inverse, lo_c);
    const I code = and_i(bits(hi_and_inverse), splat_bits(0xFF));
    const D inv_c = from_bits(add_i(shift_left(code, 45), splat_bits(0x3FE0000000000000ULL)));
    const D hi_c = from_bits(and_not_i(bits(hi_and_inverse), splat_bits(0xFF)));

    r = fma(z, inv_c, splat(-1.0));
    hi = fma(k, splat(kLn2Hi), hi_c);
    lo = fma(k, splat(kLn2Lo), lo_c);
}

// Stage 2: y + t = hi + log1p(r) + lo.
TAVRO_ALWAYS_INLINE void finish(D r, D hi, D lo, D& y, D& t) {
    const D r2 = mul(r, r);
    const D r2_err = fms(r, r, r2);  // r^2 = r2 + r2_err
    const D s = add(hi, r);
    const D s_err = add(sub(hi, s), r);  // hi + r = s + s_err
    // -r2/2 is exact, so these FMAs round as s + (-r2/2) and (s - y0) + (-r2/2).
    const D y0 = fma(r2, splat(-0.5), s);
    const D y0_err = fma(r2, splat(-0.5), sub(s, y0));  // s - r2/2 = y0 + y0_err

    D p = splat(kPoly[6]);
    p = fma(p, r, splat(kPoly[5]));
    p = fma(p, r, splat(kPoly[4]));
    p = fma(p, r, splat(kPoly[3]));
    p = fma(p, r, splat(kPoly[2]));
    p = fma(p, r, splat(kPoly[1]));
    p = fma(p, r, splat(kPoly[0]));
    const D r3 = mul(r2, r);

    const D small = add(add(s_err, y0_err), fma(r2_err, splat(-0.5), lo));
    const D tail = fma(r3, p, small);
    y = add(y0, tail);
    t = sub(tail, sub(y, y0));  // y + t = y0 + tail
}

// The certificate: `out` gets y in the lanes it settles and x itself in the
// others, which it returns as bits (lane i as 1 << i).
TAVRO_ALWAYS_INLINE unsigned certify(D x, D y, D t, D& out) {
    const I ix = bits(x);
    const D nudged = fma(t, splat(kCertificateScale), y);
    const I fraction = and_i(bits(y), splat_bits(0x000FFFFFFFFFFFFFULL));
#if TAVRO_SIMD_ID == 3
    // Positive normal: bits - bits(DBL_MIN) below bits(inf) - bits(DBL_MIN), unsigned.
    const __mmask8 normal = _mm512_cmp_epu64_mask(sub_i(ix, splat_bits(0x0010000000000000ULL)),
                                                  splat_bits(0x7FE0000000000000ULL), _MM_CMPINT_LT);
    const __mmask8 not_power_of_two = _mm512_mask_test_epi64_mask(normal, fraction, fraction);
    const __mmask8 keep = _mm512_mask_cmp_pd_mask(not_power_of_two, nudged, y, _CMP_EQ_OQ);
    out = _mm512_mask_blend_pd(keep, x, y);
    return static_cast<unsigned>(static_cast<__mmask8>(~keep));
#else
    const I zero = _mm256_setzero_si256();
    // Not a positive normal: bits below DBL_MIN's (zero, subnormal, or the sign
    // set, which reads as negative) or above DBL_MAX's.
    const I outside = _mm256_or_si256(
        _mm256_cmpgt_epi64(splat_bits(0x0010000000000000ULL), ix),
        _mm256_cmpgt_epi64(ix, splat_bits(0x7FEFFFFFFFFFFFFFULL)));
    const I power_of_two = _mm256_cmpeq_epi64(fraction, zero);
    const D uncertain = _mm256_cmp_pd(nudged, y, _CMP_NEQ_UQ);
    const D redo = _mm256_or_pd(uncertain, from_bits(_mm256_or_si256(outside, power_of_two)));
    out = _mm256_blendv_pd(y, x, redo);
    return static_cast<unsigned>(_mm256_movemask_pd(redo));
#endif
}

// log x for one vector, certified; as certify.
TAVRO_ALWAYS_INLINE unsigned log_lanes(D x, D& out) {
    D r, hi, lo, y, t;
    reduce(x, r, hi, lo);
    finish(r, hi, lo, y, t);
    return certify(x, y, t, out);
}

// Pass 1 over the whole vectors of x[0..n): y and one byte of redo bits per
// vector; returns the number of vectors. With AVX2 the loop runs stage 1 of
// one vector beside stage 2 of the one before: one vector's chain of
// dependent steps (about 90 cycles) exceeds what the out-of-order window
// overlaps while 256-bit arithmetic has only two ports, and this measured
// 10% faster. AVX-512 code is bound by its ports instead, and the plain loop
// measured faster there.
inline std::size_t log_vectors(const double* x, double* y, std::size_t n,
                                          std::uint8_t* redo) {
    const std::size_t vectors = n / kWidth;
#if TAVRO_SIMD_ID == 2
    if (vectors == 0) return 0;
    D x_prev = load(x), r, hi, lo;
    reduce(x_prev, r, hi, lo);
    for (std::size_t v = 1; v < vectors; ++v) {
        const D x_next = load(x + v * kWidth);
        D r_next, hi_next, lo_next, y_prev, t_prev, out;
        reduce(x_next, r_next, hi_next, lo_next);
        finish(r, hi, lo, y_prev, t_prev);
        redo[v - 1] = static_cast<std::uint8_t>(certify(x_prev, y_prev, t_prev, out));
        store(y + (v - 1) * kWidth, out);
        x_prev = x_next;
        r = r_next;
        hi = hi_next;
        lo = lo_next;
    }
    D y_last, t_last, out;
    finish(r, hi, lo, y_last, t_last);
    redo[vectors - 1] = static_cast<std::uint8_t>(certify(x_prev, y_last, t_last, out));
    store(y + (vectors - 1) * kWidth, out);
#else
    for (std::size_t v = 0; v < vectors; ++v) {
        D out;
        redo[v] = static_cast<std::uint8_t>(log_lanes(load(x + v * kWidth), out));
        store(y + v * kWidth, out);
    }
#endif
    return vectors;
}

// log of x[0..n) into y, n <= kLogTileCells; returns how many lanes went to
// the scalar log.
inline std::size_t log_piece(const double* x, double* y, std::size_t n) {
    // Pass 1: every vector, and the lanes each leaves to redo. The spare
    // byte pairs an odd last AVX2 vector with nothing in pass 2.
    std::uint8_t redo[kLogTileCells / kWidth + 1];
    std::size_t vectors = log_vectors(x, y, n, redo);
    const std::size_t done = vectors * kWidth;
    if (done < n) {
        const unsigned count = static_cast<unsigned>(n - done);
        D out;
        const unsigned lanes = log_lanes(load_first(x + done, count), out);
        redo[vectors++] = static_cast<std::uint8_t>(lanes & ((1u << count) - 1));
        store_first(y + done, out, count);
    }
    redo[vectors] = 0;

    // Pass 2: the indices of those lanes, eight lanes per step. Each step
    // stores eight slots; the ones past the count are overwritten or ignored.
    std::uint16_t flagged[kLogTileCells + 8];
    std::size_t count = 0;
    const std::size_t groups = (vectors * kWidth + 7) / 8;
    for (std::size_t g = 0; g < groups; ++g) {
#if TAVRO_SIMD_ID == 3
        const unsigned mask = redo[g];
#else
        const unsigned mask = redo[2 * g] | static_cast<unsigned>(redo[2 * g + 1]) << 4;
#endif
        const __m128i order =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneOrders.order[mask].lane));
        const __m128i at = _mm_add_epi16(order, _mm_set1_epi16(static_cast<short>(8 * g)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(flagged + count), at);
        count += kLaneOrders.count[mask];
    }

    // Pass 3: the scalar log, on the inputs those lanes left in y.
    for (std::size_t j = 0; j < count; ++j) y[flagged[j]] = std::log(y[flagged[j]]);
    return count;
}

inline std::size_t log_tile(const double* x, double* y, std::size_t n) {
    std::size_t redone = 0;
    for (std::size_t first = 0; first < n; first += kLogTileCells) {
        const std::size_t left = n - first;
        redone += log_piece(x + first, y + first, left < kLogTileCells ? left : kLogTileCells);
    }
    return redone;
}

}  // namespace tavro::vector_log::TAVRO_SIMD_ISA
