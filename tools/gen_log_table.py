#!/usr/bin/env python3
"""Writes kernels/src/vector_log/log_table.hpp: the constants and the table of
the vector logarithm (kernels/src/vector_log/log_lanes.hpp).

    python3 tools/gen_log_table.py        # needs mpmath (pip install mpmath)

Every value is worked out in exact rational arithmetic (fractions) or with
mpmath at 256 bits and rounded to double once. The script checks the
properties the kernel relies on and stops if one fails:
  - r = fma(z, 1/c, -1) is exact for every z of every sub-interval;
  - k*ln2_hi + log(c)_hi is exact for every exponent k of a normal input;
  - |k*ln2_hi + log(c)_hi| >= |r| wherever it is not 0 (Fast2Sum order);
and prints the error of the rounded polynomial.
"""
import math
import pathlib
import struct
import sys
from fractions import Fraction

import mpmath as mp

mp.mp.prec = 256

# x = 2^k * z with z in [0.6875, 1.375): the bit pattern of x minus that of
# 0.6875, shifted right by 52, is k; the next 7 bits pick the sub-interval.
OFFSET_BITS = 0x3FE6000000000000
TABLE_BITS = 7
ENTRIES = 1 << TABLE_BITS
SUB_SHIFT = 52 - TABLE_BITS
LOG_C_GRID = Fraction(1, 1 << 43)  # log(c)_hi and ln2_hi are multiples of this
INVERSE_BITS = 8                    # significant bits of 1/c
POLY_DEGREE = 6                     # P in log1p(r) = r - r^2/2 + r^3 P(r)
K_MIN, K_MAX = -1022, 1024          # exponents k of positive normal inputs


def bits_of(d):
    return struct.unpack("<Q", struct.pack("<d", d))[0]


def double_of(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def exact(d):
    return Fraction(d)  # a double converts to its exact rational value


def ulp_of(d):
    return exact(math.ulp(d))


def nearest_double(q):
    # Fraction -> float rounds correctly (to nearest, ties to even).
    return float(q)


def mp_of(q):
    return mp.mpf(q.numerator) / q.denominator


def frac_of(m):
    sign, man, exp, _ = mp.mpf(m)._mpf_  # (-1)^sign * man * 2^exp
    value = Fraction(int(man)) * (Fraction(2) ** int(exp))
    return -value if sign else value


def sub_interval(i):
    """[a, b]: first and last double of sub-interval i."""
    first = OFFSET_BITS + (i << SUB_SHIFT)
    last = first + (1 << SUB_SHIFT) - 1
    return double_of(first), double_of(last)


def inverse_candidates():
    """Every double in [0.5, 2) with at most INVERSE_BITS significant bits."""
    for exponent in (-1, 0):
        for m in range(1 << (INVERSE_BITS - 1), 1 << INVERSE_BITS):
            yield Fraction(m, 1 << (INVERSE_BITS - 1)) * Fraction(2) ** exponent


def r_range(a, b, invc):
    return exact(a) * invc - 1, exact(b) * invc - 1


def r_is_exact(a, b, invc):
    """fma(z, invc, -1) is exact on [a, b]: z*invc - 1 is a multiple of
    ulp(z) * (lowest bit of invc) and holds at most 53 of them."""
    lowest = Fraction(1, 1 << (INVERSE_BITS - 1)) if invc >= 1 else Fraction(1, 1 << INVERSE_BITS)
    grain = ulp_of(a) * lowest
    assert ulp_of(a) == ulp_of(b)
    lo, hi = r_range(a, b, invc)
    return max(abs(lo), abs(hi)) < grain * (1 << 53)


def choose_inverse(a, b):
    # c = 1 on the two sub-intervals that touch 1 (one ends just below 1, the
    # other starts at 1): r = z - 1 exactly and log(c) = 0, so nothing
    # cancels near x = 1.
    if exact(b) + ulp_of(b) == 1 or exact(a) == 1:
        return Fraction(1)
    best = None
    for invc in inverse_candidates():
        lo, hi = r_range(a, b, invc)
        spread = max(abs(lo), abs(hi))
        if best is None or spread < best[0]:
            best = (spread, invc)
    return best[1]


def split_log(value):
    """value (mpf) as hi + lo: hi a multiple of 2^-43, lo the double nearest
    the rest."""
    hi = Fraction(int(mp.nint(value / mp_of(LOG_C_GRID)))) * LOG_C_GRID
    hi_d = float(hi)
    assert exact(hi_d) == hi
    lo_d = nearest_double(frac_of(value - mp_of(hi)))
    return hi_d, lo_d


def inverse_code(invc):
    """1/c's exponent (0x3FE or 0x3FF) and 7 fraction bits as 8 bits: the
    kernel rebuilds 1/c as (code << 45) + bits(0.5)."""
    b = bits_of(float(invc))
    assert b & ((1 << 45) - 1) == 0
    code = (b - bits_of(0.5)) >> 45
    assert 0 <= code < 256 and (code << 45) + bits_of(0.5) == b
    return code


def fit_polynomial(r_lo, r_hi):
    """P(r) ~ (log1p(r) - r + r^2/2) / r^3 on [r_lo, r_hi], by Chebyshev
    interpolation (near minimax), coefficients c3..c9 rounded to double."""
    def f(r):
        if r == 0:
            return mp.mpf(1) / 3
        return (mp.log1p(r) - r + r * r / 2) / (r * r * r)

    coeffs, _ = mp.chebyfit(f, [mp_of(r_lo), mp_of(r_hi)], POLY_DEGREE + 1, error=True)
    return [float(c) for c in reversed(coeffs)]  # lowest degree first


def polynomial_error(poly, r_lo, r_hi, samples=20001):
    """Largest |r - r^2/2 + r^3 P(r) - log1p(r)| / |log1p(r)| on a fine grid,
    P with its double coefficients evaluated exactly."""
    worst = mp.mpf(0)
    lo, hi = mp_of(r_lo), mp_of(r_hi)
    for j in range(samples):
        r = lo + (hi - lo) * j / (samples - 1)
        if r == 0:
            continue
        p = mp.mpf(0)
        for c in reversed(poly):
            p = p * r + mp.mpf(c)
        approx = r - r * r / 2 + r ** 3 * p
        exact_value = mp.log1p(r)
        worst = max(worst, abs(approx - exact_value) / abs(exact_value))
    return worst


def hexfloat(d):
    return float.hex(d)


def main():
    out = pathlib.Path(__file__).resolve().parent.parent / "kernels/src/vector_log/log_table.hpp"

    ln2 = mp.log(2)
    ln2_hi, ln2_lo = split_log(ln2)

    entries = []
    r_min = r_max = Fraction(0)
    for i in range(ENTRIES):
        a, b = sub_interval(i)
        invc = choose_inverse(a, b)
        if not r_is_exact(a, b, invc):
            sys.exit(f"sub-interval {i}: fma(z, 1/c, -1) would round")
        lo_r, hi_r = r_range(a, b, invc)
        r_min, r_max = min(r_min, lo_r), max(r_max, hi_r)
        hi, lo = split_log(-mp.log(mp_of(invc)))  # log(c) = -log(1/c)
        code = inverse_code(invc)
        if bits_of(hi) & 0xFF:
            sys.exit(f"sub-interval {i}: log(c)_hi has no room for 1/c")
        entries.append((i, a, b, invc, hi, lo, code, max(abs(lo_r), abs(hi_r))))

    # k*ln2_hi + hi exact, and |k*ln2_hi + hi| >= max |r| unless it is 0.
    ln2_hi_int = exact(ln2_hi) / LOG_C_GRID
    for (i, a, b, invc, hi, lo, code, spread) in entries:
        hi_int = exact(hi) / LOG_C_GRID
        assert ln2_hi_int.denominator == 1 and hi_int.denominator == 1
        for k in range(K_MIN, K_MAX + 1):
            total = k * ln2_hi_int + hi_int
            if abs(k * ln2_hi_int) >= 1 << 53 or abs(total) >= 1 << 53:
                sys.exit(f"k = {k}, sub-interval {i}: k*ln2_hi + hi would round")
            if total != 0 and abs(total) * LOG_C_GRID < spread:
                sys.exit(f"k = {k}, sub-interval {i}: |hi| < |r|, Fast2Sum order broken")

    poly = fit_polynomial(r_min, r_max)
    poly_err = polynomial_error(poly, r_min, r_max)
    poly_err_log2 = float(mp.log(poly_err, 2))

    lines = []
    w = lines.append
    w("// Generated by tools/gen_log_table.py; do not edit. Rerun the script to change it.")
    w("//")
    w("// Constants and table of the vector logarithm (log_lanes.hpp), worked out")
    w("// in exact rational arithmetic and with mpmath at 256 bits, each rounded to")
    w("// double once. x = 2^k * z, z in [0.6875, 1.375) split into 128 sub-intervals")
    w("// of 2^45 bit patterns each; sub-interval i has a c with 1/c of at most 8")
    w("// significant bits chosen to make max |z/c - 1| smallest (c = 1 on the two")
    w("// touching 1), so that r = fma(z, 1/c, -1) is exact. The script checked:")
    w("//   - r is exact on every sub-interval, and |r| <= %s;" % f"{float(max(-r_min, r_max)):.6g}")
    w("//   - k*ln2_hi + log(c)_hi is exact for every k of a normal input;")
    w("//   - |k*ln2_hi + log(c)_hi| >= |r| wherever the sum is not 0.")
    w("// log1p(r) = r - r^2/2 + r^3 P(r), P of degree %d fitted on r in" % POLY_DEGREE)
    w("// [%s, %s] by Chebyshev interpolation; with the double coefficients" %
      (f"{float(r_min):.6g}", f"{float(r_max):.6g}"))
    w("// below, its error is below 2^%.1f relative to log1p(r)." % poly_err_log2)
    w("#pragma once")
    w("")
    w("#include <cstdint>")
    w("")
    w("namespace tavro::vector_log {")
    w("")
    w("// Bit pattern of 0.6875: x's bits minus these give k (bits 52 and up) and the")
    w("// sub-interval (the next %d bits)." % TABLE_BITS)
    w("inline constexpr std::uint64_t kReductionOffset = 0x%016XULL;" % OFFSET_BITS)
    w("inline constexpr int kTableBits = %d;" % TABLE_BITS)
    w("")
    w("// ln 2 = kLn2Hi + kLn2Lo, kLn2Hi a multiple of 2^-43 (so k * kLn2Hi is exact).")
    w("inline constexpr double kLn2Hi = %s;" % hexfloat(ln2_hi))
    w("inline constexpr double kLn2Lo = %s;" % hexfloat(ln2_lo))
    w("")
    w("// P(r) = kPoly[0] + kPoly[1] r + ... + kPoly[%d] r^%d." % (POLY_DEGREE, POLY_DEGREE))
    w("inline constexpr double kPoly[%d] = {" % (POLY_DEGREE + 1))
    for c in poly:
        w("    %s," % hexfloat(c))
    w("};")
    w("")
    w("// One 16-byte entry per sub-interval, fetched with one load:")
    w("//   hi_and_inverse  bits of log(c)_hi (a multiple of 2^-43, so its 8 lowest")
    w("//                   mantissa bits are 0) with 1/c's exponent and fraction in")
    w("//                   those 8 bits: 1/c = bits((code << 45) + bits(0.5));")
    w("//   lo              log(c) - log(c)_hi rounded to double.")
    w("struct LogTableEntry {")
    w("    std::uint64_t hi_and_inverse;")
    w("    double lo;")
    w("};")
    w("")
    w("alignas(64) inline constexpr LogTableEntry kLogTable[%d] = {" % ENTRIES)
    for (i, a, b, invc, hi, lo, code, spread) in entries:
        w("    {0x%016XULL, %s},  // %3d: z in [%.9f, %.9f], 1/c = %s" %
          (bits_of(hi) | code, hexfloat(lo), i, a, b, f"{float(invc):.9g}"))
    w("};")
    w("")
    w("}  // namespace tavro::vector_log")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}: r in [{float(r_min):.6g}, {float(r_max):.6g}], "
          f"polynomial error 2^{poly_err_log2:.1f}")


if __name__ == "__main__":
    main()
