// The vector logarithm against the platform's log, bit for bit: the table it
// is built on, edge-case inputs, every tail length, 10^7 inputs of several
// families, and how often it falls back to the scalar log. Each vector path
// runs when this CPU and platform allow it and is skipped otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "../src/vector_log/log_table.hpp"
#include "../src/vector_log/vector_log.hpp"
#include "log_inputs.hpp"
#include "tavro/libm.hpp"

namespace tavro::testing {
namespace {

using vector_log::kLogTable;

// Same bits as the platform's log, or both NaN (the payload is not promised).
bool matches_log(double x, double y) {
    const double want = libm_log(x);
    return bits_of(y) == bits_of(want) || (std::isnan(y) && std::isnan(want));
}

// How many elements of y differ from log(x); the first few are reported.
std::size_t count_mismatches(const std::vector<double>& x, const std::vector<double>& y,
                             const std::string& what) {
    std::size_t bad = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (matches_log(x[i], y[i])) continue;
        if (++bad <= 5) {
            ADD_FAILURE() << what << ": log(" << std::hexfloat << x[i] << ") = " << libm_log(x[i])
                          << ", got " << y[i] << std::defaultfloat << " at " << i;
        }
    }
    return bad;
}

// ---- The table.

// 1/c and log(c)_hi out of an entry's first word.
double inverse_of(const vector_log::LogTableEntry& e) {
    return double_of(((e.hi_and_inverse & 0xFF) << 45) + bits_of(0.5));
}
double log_c_hi_of(const vector_log::LogTableEntry& e) {
    return double_of(e.hi_and_inverse & ~std::uint64_t{0xFF});
}

bool is_multiple_of_2_pow_minus_43(double v) {
    const double scaled = std::ldexp(v, 43);
    return scaled == std::trunc(scaled) && std::fabs(scaled) < 0x1p53;
}

TEST(VectorLogTable, SplitsOfLn2AndLogCAreExact) {
    // k * ln2_hi stays exact for every |k| <= 1024.
    EXPECT_TRUE(is_multiple_of_2_pow_minus_43(vector_log::kLn2Hi));
    EXPECT_LT(std::fabs(std::ldexp(vector_log::kLn2Hi, 43)) * 1024, 0x1p53);
    const long double ln2 = std::log(2.0L);
    EXPECT_LE(std::fabs(static_cast<long double>(vector_log::kLn2Hi) + vector_log::kLn2Lo - ln2),
              0x1p-62L);

    for (int i = 0; i < 128; ++i) {
        SCOPED_TRACE(i);
        const vector_log::LogTableEntry& e = kLogTable[i];
        const double inv_c = inverse_of(e);
        const double hi = log_c_hi_of(e);
        // 1/c: in [0.5, 2) with at most 8 significant bits.
        EXPECT_GE(inv_c, 0.5);
        EXPECT_LT(inv_c, 2.0);
        EXPECT_EQ(bits_of(inv_c) & ((std::uint64_t{1} << 45) - 1), 0u);
        EXPECT_TRUE(is_multiple_of_2_pow_minus_43(hi)) << std::hexfloat << hi;
        // hi + lo = log(c) = -log(1/c), to what long double resolves (logl
        // is within about 2^-63 relative; a wrong lo is off by 2^-60 or more).
        const long double log_c = -std::log(static_cast<long double>(inv_c));
        const long double sum = static_cast<long double>(hi) + static_cast<long double>(e.lo);
        EXPECT_LE(std::fabs(sum - log_c), 0x1p-61L * std::fabs(log_c)) << std::hexfloat << hi;
    }
}

TEST(VectorLogTable, ReductionIsExactOnEverySubInterval) {
    for (std::uint64_t i = 0; i < 128; ++i) {
        SCOPED_TRACE(i);
        const double inv_c = inverse_of(kLogTable[i]);
        // r = z/c - 1 is a multiple of ulp(z) * (lowest bit of 1/c) across
        // the sub-interval and largest in size at one of its ends; exact
        // there, it is exact throughout. z * (1/c) has at most 61 bits, so
        // long double (64) holds it and r exactly.
        const double first = double_of(kFirstSubInterval + (i << 45));
        const double last = double_of(kFirstSubInterval + ((i + 1) << 45) - 1);
        for (double z : {first, last}) {
            const long double exact_r = static_cast<long double>(z) * inv_c - 1.0L;
            EXPECT_EQ(static_cast<long double>(std::fma(z, inv_c, -1.0)), exact_r)
                << std::hexfloat << z;
        }
        // c = 1 exactly on the two sub-intervals touching 1.
        if (first == 1.0 || std::nextafter(last, 2.0) == 1.0) {
            EXPECT_EQ(inv_c, 1.0);
            EXPECT_EQ(log_c_hi_of(kLogTable[i]), 0.0);
            EXPECT_EQ(kLogTable[i].lo, 0.0);
        }
    }
}

// ---- The routines.

using LogTileFn = std::size_t (*)(const double*, double*, std::size_t) noexcept;

struct VectorPath {
    const char* name;
    LogTileFn run;
    bool (*available)() noexcept;
};

void PrintTo(const VectorPath& path, std::ostream* os) { *os << path.name; }

const VectorPath kPaths[] = {
    {"avx2", &log_tile_avx2, &log_tile_avx2_available},
    {"avx512", &log_tile_avx512, &log_tile_avx512_available},
};

class VectorLog : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!GetParam().available()) {
            GTEST_SKIP() << GetParam().name
                         << " vector log not usable here (CPU lacks it, or the platform's log "
                            "has no documented bound)";
        }
    }
    std::vector<double> run(const std::vector<double>& x) {
        std::vector<double> y(x.size(), -7.0);
        GetParam().run(x.data(), y.data(), x.size());
        return y;
    }
};

std::vector<double> edge_case_inputs() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> x = {
        0.0, -0.0, -1.0, -DBL_MIN, -DBL_MAX, -inf, inf, nan, -nan,
        std::numeric_limits<double>::signaling_NaN(),
        std::numeric_limits<double>::denorm_min(), std::nextafter(DBL_MIN, 0.0), 0x1p-1050,
        DBL_MIN, std::nextafter(DBL_MIN, 1.0), DBL_MAX, std::nextafter(DBL_MAX, 0.0),
        1.0, std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), 1.0 + 0x1p-7, 1.0 - 0x1p-8,
        2.718281828459045, 0.6875, std::nextafter(0.6875, 0.0), 1.375, std::nextafter(1.375, 0.0),
        1.000000001, 1e-300, 1e300};
    for (int e = -1022; e <= 1023; ++e) x.push_back(std::ldexp(1.0, e));
    // Both sides of every sub-interval boundary, in a few binades.
    for (std::uint64_t i = 0; i < 128; ++i) {
        for (std::int64_t k : {-1021, -1, 0, 1, 1021}) {
            const std::uint64_t boundary =
                kFirstSubInterval + (i << 45) + (static_cast<std::uint64_t>(k) << 52);
            for (std::int64_t d : {-1, 0, 1}) {
                x.push_back(double_of(boundary + static_cast<std::uint64_t>(d)));
            }
        }
    }
    return x;
}

TEST_P(VectorLog, EdgeCaseInputs) {
    const std::vector<double> x = edge_case_inputs();
    EXPECT_EQ(count_mismatches(x, run(x), GetParam().name), 0u);
    // NaN in, NaN out; below zero, NaN.
    for (double v : {std::numeric_limits<double>::quiet_NaN(), -1.0, -DBL_MIN}) {
        double y = 0.0;
        GetParam().run(&v, &y, 1);
        EXPECT_TRUE(std::isnan(y)) << v;
    }
}

TEST_P(VectorLog, InputsThatNeedTheScalarLogAreAllCounted) {
    // No lane here can be certified: inputs off the positive normals, and
    // logs that are 0 (x = 1) or a power of two (log(e) rounds to 1).
    const std::vector<double> x = {0.0, -0.0, -2.0, std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(), 0x1p-1060, 1.0,
                                   2.718281828459045};
    std::vector<double> y(x.size());
    EXPECT_EQ(GetParam().run(x.data(), y.data(), x.size()), x.size());
    EXPECT_EQ(count_mismatches(x, y, GetParam().name), 0u);
}

// Every length 0..17, from an aligned and a shifted start, out of place and
// in place, with lanes needing the scalar log among the tail's: nothing
// past n is written and every element matches.
TEST_P(VectorLog, TailsOfEveryLength) {
    std::mt19937_64 rng(17);
    std::vector<double> pool(64);
    fill_log_inputs(LogInputs::one_plus_tau, rng, pool.data(), pool.size());
    for (std::size_t i = 0; i < pool.size(); i += 3) pool[i] = (i % 2) ? -1.0 : 1.0;
    constexpr double kSentinel = -12345.0;
    for (std::size_t n = 0; n <= 17; ++n) {
        for (std::size_t start : {0, 1}) {
            for (bool in_place : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " start " << start
                                                  << (in_place ? " in place" : ""));
                std::vector<double> x(pool.begin() + static_cast<long>(start),
                                      pool.begin() + static_cast<long>(start + n));
                std::vector<double> buffer(start + n + 9, kSentinel);
                double* y = buffer.data() + start;
                if (in_place) std::copy(x.begin(), x.end(), y);
                GetParam().run(in_place ? y : x.data(), y, n);
                for (std::size_t i = 0; i < n; ++i) {
                    EXPECT_TRUE(matches_log(x[i], y[i])) << i << ": " << std::hexfloat << x[i];
                }
                for (std::size_t i = 0; i < buffer.size(); ++i) {
                    if (i < start || i >= start + n) {
                        EXPECT_EQ(buffer[i], kSentinel) << i;
                    }
                }
            }
        }
    }
}

// 1.25e6 inputs of each of the eight families, 10^7 in all, in calls of
// assorted lengths (within one internal piece, exactly one, across several).
TEST_P(VectorLog, MatchesPlatformLogOnTenMillionInputs) {
    constexpr std::size_t kPerFamily = 1250000;
    const std::size_t lengths[] = {1024, 1000, 4099, 37, 2048, 5, 1025};
    std::mt19937_64 rng(20240611);
    std::vector<double> x(kPerFamily), y(kPerFamily);
    for (LogInputs family : kAllLogInputs) {
        fill_log_inputs(family, rng, x.data(), x.size());
        std::size_t done = 0;
        for (std::size_t call = 0; done < x.size(); ++call) {
            const std::size_t n = std::min(lengths[call % 7], x.size() - done);
            GetParam().run(x.data() + done, y.data() + done, n);
            done += n;
        }
        EXPECT_EQ(count_mismatches(x, y, log_inputs_name(family)), 0u)
            << log_inputs_name(family);
    }
}

// A sanity check, not a timing: on 1 + tau inputs the certificate should
// settle the great majority of lanes (about 5% land near a rounding boundary).
TEST_P(VectorLog, FallbackRateOnOnePlusTauIsSmall) {
    constexpr std::size_t kCount = 1 << 20;
    std::mt19937_64 rng(5);
    std::vector<double> x(kCount), y(kCount);
    for (LogInputs family : {LogInputs::one_plus_tau, LogInputs::one_plus_log_tau}) {
        fill_log_inputs(family, rng, x.data(), x.size());
        std::size_t redone = 0;
        for (std::size_t first = 0; first < kCount; first += kLogTileCells) {
            redone += GetParam().run(x.data() + first, y.data() + first, kLogTileCells);
        }
        const double rate = static_cast<double>(redone) / kCount;
        std::printf("[ fallback ] %s %s: %.2f%%\n", GetParam().name, log_inputs_name(family),
                    100 * rate);
        EXPECT_LT(rate, 0.10) << log_inputs_name(family);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorLog, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<VectorPath>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tavro::testing
