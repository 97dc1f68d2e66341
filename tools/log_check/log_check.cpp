// Holds the vector log against the platform's log, bit for bit, on twelve
// exhaustive ranges of 2^24 consecutive doubles and on 10^9 samples drawn
// from the input families of kernels/tests/log_inputs.hpp, for every vector
// path this CPU has. Then, on four of every 128 inputs (positive normals), measures
// the error of the extended result y + t against libquadmath's logq and
// checks that each lane the certificate keeps is the correctly rounded log.
//
// Usage: log_check [samples]   (default 10^9; run by tools/log-check.sh)
// Prints a digest of the reference logs, so that two runs with different
// variants of the platform's log (GLIBC_TUNABLES) can be told apart.
#include <immintrin.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef TAVRO_HAVE_QUADMATH
#include <quadmath.h>
#endif

#include "../../kernels/tests/log_inputs.hpp"
#include "tavro/libm.hpp"
#include "vector_log/lane_orders.hpp"
#include "vector_log/log_table.hpp"
#include "vector_log/vector_log.hpp"

// The AVX2 lanes themselves, for their residual t (this file is built with
// TAVRO_SIMD_ISA=avx2).
#include "simd/isa_region_begin.hpp"
#include "vector_log/log_lanes.hpp"
#include "simd/isa_region_end.hpp"

namespace tavro {
namespace check_lanes = vector_log::avx2;
}  // namespace tavro

namespace {

using tavro::testing::bits_of;
using tavro::testing::double_of;

using LogTileFn = std::size_t (*)(const double*, double*, std::size_t) noexcept;

struct Path {
    const char* name;
    LogTileFn run;
    std::uint64_t mismatches = 0;
    std::uint64_t redone = 0;
};

struct Tally {
    std::uint64_t values = 0;
    std::uint64_t digest = 0xcbf29ce484222325ULL;  // FNV-1a over the reference bits
    std::uint64_t reported = 0;
};

#ifdef TAVRO_HAVE_QUADMATH
// The extended result against logq, and the certificate against correct
// rounding.
struct ErrorCheck {
    std::uint64_t measured = 0;
    double worst = 0.0;  // largest |y + t - log x| / |log x|
    double worst_x = 0.0;
    std::uint64_t kept = 0;
    std::uint64_t kept_misrounded = 0;

    __attribute__((target("avx2,fma"))) void add(const double* x4) {
        using namespace tavro::check_lanes;
        const D x = load(x4);
        D r, hi, lo, y, t, out;
        reduce(x, r, hi, lo);
        finish(r, hi, lo, y, t);
        const unsigned redo = certify(x, y, t, out);
        double ys[4], ts[4];
        store(ys, y);
        store(ts, t);
        for (int lane = 0; lane < 4; ++lane) {
            const double v = x4[lane];
            if (!(v >= DBL_MIN && v <= DBL_MAX) || v == 1.0) continue;
            const __float128 exact = logq(static_cast<__float128>(v));
            const __float128 got = static_cast<__float128>(ys[lane]) + ts[lane];
            const double rel = static_cast<double>(fabsq((got - exact) / exact));
            ++measured;
            if (rel > worst) {
                worst = rel;
                worst_x = v;
            }
            if (!(redo >> lane & 1u)) {
                ++kept;
                if (ys[lane] != static_cast<double>(exact)) ++kept_misrounded;
            }
        }
    }
};
#endif

void check_block(const std::vector<double>& x, std::vector<double>& want,
                 std::vector<double>& got, std::vector<Path>& paths, Tally& tally) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        want[i] = tavro::libm_log(x[i]);
        std::uint64_t b = bits_of(want[i]);
        for (int byte = 0; byte < 8; ++byte, b >>= 8) {
            tally.digest = (tally.digest ^ (b & 0xFF)) * 0x100000001b3ULL;
        }
    }
    for (Path& path : paths) {
        for (std::size_t first = 0; first < x.size(); first += tavro::kLogTileCells) {
            const std::size_t n = std::min(tavro::kLogTileCells, x.size() - first);
            path.redone += path.run(x.data() + first, got.data() + first, n);
        }
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (bits_of(got[i]) == bits_of(want[i])) continue;
            if (std::isnan(got[i]) && std::isnan(want[i])) continue;
            ++path.mismatches;
            if (++tally.reported <= 10) {
                std::printf("  MISMATCH %s: log(%a) = %a, got %a\n", path.name, x[i], want[i],
                            got[i]);
            }
        }
    }
    tally.values += x.size();
}

void print_line(const std::string& what, std::uint64_t values, const std::vector<Path>& paths,
                const std::vector<std::uint64_t>& mismatches_before,
                const std::vector<std::uint64_t>& redone_before) {
    std::printf("%-34s %11" PRIu64 " values", what.c_str(), values);
    for (std::size_t p = 0; p < paths.size(); ++p) {
        std::printf("  %s: %" PRIu64 " mismatches, %.2f%% fallback", paths[p].name,
                    paths[p].mismatches - mismatches_before[p],
                    100.0 * static_cast<double>(paths[p].redone - redone_before[p]) /
                        static_cast<double>(values));
    }
    std::printf("\n");
    std::fflush(stdout);
}

struct Range {
    const char* name;
    std::uint64_t first;  // bit pattern of the first of 2^24 consecutive doubles
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t samples = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000000ULL;
    std::vector<Path> paths;
    if (tavro::log_tile_avx2_available()) paths.push_back({"avx2", &tavro::log_tile_avx2});
    if (tavro::log_tile_avx512_available()) paths.push_back({"avx512", &tavro::log_tile_avx512});
    if (paths.empty()) {
        std::printf("no vector log path is usable here: nothing to check\n");
        return 0;
    }

    constexpr std::uint64_t kSpan = 1ULL << 24;
    const std::uint64_t half = kSpan / 2;
    const Range ranges[] = {
        {"from 1 up", bits_of(1.0)},
        {"below 1", bits_of(1.0) - kSpan},
        {"from 2 up", bits_of(2.0)},
        {"below 0.5", bits_of(0.5) - kSpan},
        {"around 0.6875 (reduction wraps)", bits_of(0.6875) - half},
        {"around 1 - 2^-8 (table, c = 1)", bits_of(1.0 - 0x1p-8) - half},
        {"around 1 + 2^-7 (table, c = 1)", bits_of(1.0 + 0x1p-7) - half},
        {"from DBL_MIN up", bits_of(DBL_MIN)},
        {"up to DBL_MAX", bits_of(DBL_MAX) - kSpan + 1},
        {"around e (log near 1)", bits_of(2.718281828459045) - half},
        {"around e^0.5 (log near 0.5)", bits_of(1.6487212707001282) - half},
        {"around e^-1 (log near -1)", bits_of(0.36787944117144233) - half},
    };

    constexpr std::size_t kBlock = 1 << 20;
    std::vector<double> x(kBlock), want(kBlock), got(kBlock);
    Tally tally;
#ifdef TAVRO_HAVE_QUADMATH
    ErrorCheck error;
    const bool measure_error = tavro::log_tile_avx2_available();
    auto sample_error = [&](const std::vector<double>& block) {
        if (!measure_error) return;
        for (std::size_t i = 0; i + 4 <= block.size(); i += 128) error.add(block.data() + i);
    };
#else
    auto sample_error = [](const std::vector<double>&) {};
#endif

    auto snapshot = [&paths](std::vector<std::uint64_t>& mis, std::vector<std::uint64_t>& red) {
        mis.clear();
        red.clear();
        for (const Path& p : paths) {
            mis.push_back(p.mismatches);
            red.push_back(p.redone);
        }
    };
    std::vector<std::uint64_t> mis0, red0;

    std::printf("exhaustive ranges of 2^24 consecutive doubles:\n");
    for (const Range& range : ranges) {
        snapshot(mis0, red0);
        for (std::uint64_t done = 0; done < kSpan; done += kBlock) {
            for (std::size_t i = 0; i < kBlock; ++i) x[i] = double_of(range.first + done + i);
            check_block(x, want, got, paths, tally);
            sample_error(x);
        }
        print_line(range.name, kSpan, paths, mis0, red0);
    }

    std::printf("samples:\n");
    std::mt19937_64 rng(20240611);
    const std::uint64_t per_family = samples / 8;
    for (tavro::testing::LogInputs family : tavro::testing::kAllLogInputs) {
        snapshot(mis0, red0);
        for (std::uint64_t done = 0; done < per_family; done += kBlock) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, per_family - done));
            x.resize(n);
            want.resize(n);
            got.resize(n);
            tavro::testing::fill_log_inputs(family, rng, x.data(), n);
            check_block(x, want, got, paths, tally);
            sample_error(x);
        }
        print_line(tavro::testing::log_inputs_name(family), per_family, paths, mis0, red0);
    }

    std::uint64_t mismatches = 0;
    std::printf("total %" PRIu64 " values; reference digest %016" PRIx64 "\n", tally.values,
                tally.digest);
    for (const Path& p : paths) {
        std::printf("  %s: %" PRIu64 " mismatches, %.2f%% fallback\n", p.name, p.mismatches,
                    100.0 * static_cast<double>(p.redone) / static_cast<double>(tally.values));
        mismatches += p.mismatches;
    }
#ifdef TAVRO_HAVE_QUADMATH
    if (measure_error) {
        std::printf("extended result vs logq on %" PRIu64 " inputs: largest error 2^%.2f of |log x| "
                    "(x = %a)\n",
                    error.measured, std::log2(error.worst), error.worst_x);
        std::printf("lanes kept by the certificate: %" PRIu64 ", not correctly rounded: %" PRIu64
                    "\n",
                    error.kept, error.kept_misrounded);
        if (error.kept_misrounded != 0) mismatches += error.kept_misrounded;
    }
#endif
    return mismatches == 0 ? 0 : 1;
}
