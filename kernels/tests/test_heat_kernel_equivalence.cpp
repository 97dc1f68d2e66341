// The optimised kernel must store the same bits and report the same
// statistics as the reference on any input. Random grids push both through
// short and vector-width rows, held and updated cells, uniform and per-cell
// materials and sources, equal and unequal spacings, NaN, infinities,
// signed zeros and every step-control path, including a stop on any step of
// a block of steps swept together and planes wide enough to be swept in
// bands of rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_paths.hpp"
#include "owned_grid.hpp"
#include "tavro/heat_kernel.hpp"

namespace tavro::testing {
namespace {

// Each case holds the optimised kernel to one instruction set.
using HeatKernelEquivalence = OnEachIsa;

// NaN as the hardware makes it (0/0). x86 passes on the payload of the first
// NaN operand and the compiler may commute an addition or multiplication, so
// NaNs of different bits could legitimately swap places between two builds.
// With one NaN pattern in play every NaN result has the same bits.
double hardware_nan() {
    volatile double zero = 0.0;
    return zero / zero;
}

struct RandomCase {
    OwnedGrid grid;
    std::int32_t iterations = 0;
    bool with_history = false;
    std::int32_t stride = 1;
    double tol = 0.0;
    std::string label;
};

class CaseGenerator {
public:
    explicit CaseGenerator(std::uint64_t seed) : rng_(seed) {}

    RandomCase next(int min_extent, int max_extent, int max_iterations = 12) {
        const std::int32_t nx = extent(min_extent, max_extent);
        const std::int32_t ny = extent(min_extent, max_extent);
        const std::int32_t nz = extent(min_extent, max_extent);
        return next_of(nx, ny, nz, max_iterations);
    }

    RandomCase next_of(std::int32_t nx, std::int32_t ny, std::int32_t nz, int max_iterations) {
        RandomCase rc{OwnedGrid(nx, ny, nz), 0, false, 1, 0.0, {}};
        OwnedGrid& g = rc.grid;
        const std::size_t n = g.cells();

        const int field_kind = below(3);
        zeros_side_ = chance(0.5) ? -1.0 : 1.0;
        zero_share_ = pick({0.002, 0.02, 0.3});
        for (double& t : g.T) t = field_value(field_kind);
        if (n > 0 && chance(0.3)) {
            const double specials[] = {hardware_nan(), kInf, -kInf};
            for (int s = 1 + below(3); s > 0; --s) g.T[below(n)] = specials[below(3)];
        }

        const int codes_kind = below(3);
        for (std::int32_t& code : g.bc) {
            code = codes_kind == 0 ? 0 : codes_kind == 1 ? below(5) - 1 : (chance(0.05) ? 1 : 0);
        }

        if (field_kind == 1 && chance(0.5)) {  // hold the zeros so they survive the steps
            for (std::size_t c = 0; c < n; ++c) g.bc[c] = g.T[c] == 0.0 ? 1 : g.bc[c];
        }
        fill_material(g);
        fill_source(g);
        fill_spacings(g);
        if (codes_kind != 0 && chance(0.5)) {
            // Held cells use neither material nor source: values that differ
            // there must not cost the uniform paths their exactness.
            for (std::size_t c = 0; c < n; ++c) {
                if (g.bc[c] == 1 || g.bc[c] == 2) {
                    g.k[c] = 3.0;
                    g.cp[c] = -0.0;
                    g.Q[c] = 1e6;
                }
            }
        }
        g.dt = chance(0.1) ? real(1e-3, 1e-1) : real(1e-7, 2e-6);
        hand_over_uniform_inputs_as_values(g);

        rc.iterations = below(static_cast<std::size_t>(max_iterations) + 2) - 1;
        rc.with_history = chance(0.7);
        rc.stride = chance(0.1) ? pick({0, -2}) : 1 + below(5);
        const int tol_kind = below(20);
        rc.tol = tol_kind < 6    ? 0.0
                 : tol_kind < 8  ? -real(0.0, 1.0)
                 : tol_kind < 9  ? hardware_nan()
                                 : std::pow(10.0, real(-4.0, 1.0));

        char label[200];
        std::snprintf(label, sizeof label,
                      "%dx%dx%d field %d codes %d spacings %g %g %g iterations %d stride %d "
                      "history %d tol %g values k %d cp %d Q %d bc %d",
                      nx, ny, nz, field_kind, codes_kind, g.dx, g.dy, g.dz, rc.iterations,
                      rc.stride, rc.with_history ? 1 : 0, rc.tol, g.k_as_value, g.cp_as_value,
                      g.Q_as_value, g.bc_as_value);
        rc.label = label;
        return rc;
    }

    // Fields on one side of zero with a few held zeros of both signs: the
    // zeros are the extreme every step, and which of them comes first in
    // flat order decides its sign.
    // With `late_zeros` no zero lies on the plane i = 0, so the first zero
    // in flat order is not known before the field of a step is.
    RandomCase zero_ties(int max_extent, bool late_zeros = false) {
        const std::int32_t nx = 3 + below(max_extent - 2), ny = 3 + below(max_extent - 2),
                           nz = 3 + below(max_extent - 2);
        RandomCase rc{OwnedGrid(nx, ny, nz), 1 + below(12), true, 1 + below(3), 0.0, {}};
        zeros_side_ = chance(0.5) ? -1.0 : 1.0;
        zero_share_ = pick({0.001, 0.005, 0.02});
        for (std::size_t c = 0; c < rc.grid.cells(); ++c) {
            rc.grid.T[c] = field_value(1);
            if (late_zeros && c < rc.grid.at(1, 0, 0) && rc.grid.T[c] == 0.0) {
                rc.grid.T[c] = 3.0 * zeros_side_;
            }
            rc.grid.bc[c] = rc.grid.T[c] == 0.0 ? 1 : 0;
        }
        rc.label = std::to_string(nx) + "x" + std::to_string(ny) + "x" + std::to_string(nz) +
                   (zeros_side_ < 0 ? " below zero" : " above zero") + " iterations " +
                   std::to_string(rc.iterations) + " stride " + std::to_string(rc.stride);
        return rc;
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();

    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }
    int below(std::size_t n) { return static_cast<int>(rng_() % n); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    template <class T>
    T pick(std::initializer_list<T> options) {
        return options.begin()[below(options.size())];
    }

    std::int32_t extent(int lo, int hi) {
        if (lo < 3 && chance(0.12)) return pick({-1, 0, 1, 2});
        return lo + below(static_cast<std::size_t>(hi - lo + 1));
    }

    double field_value(int kind) {
        switch (kind) {
            case 0: return real(250.0, 450.0);
            case 1:  // scattered zeros of both signs that end up as the maximum or minimum
                return chance(zero_share_) ? pick({-0.0, 0.0}) : zeros_side_ * pick({1.0, 2.0});
            default: return chance(0.05) ? pick({2e10, -2e10}) : real(-1e3, 1e3);
        }
    }

    void fill_material(OwnedGrid& g) {
        switch (below(4)) {
            case 0: break;  // the solver's defaults, the same in every cell
            case 1: {       // the same in every cell, including degenerate values
                const double k = chance(0.3) ? pick({0.0, -0.0, 50.0}) : real(1.0, 400.0);
                const double cp = chance(0.3) ? pick({0.0, -0.0, -700.0}) : real(100.0, 1000.0);
                g.k.assign(g.cells(), k);
                g.cp.assign(g.cells(), cp);
                break;
            }
            case 2: {  // the same in every cell but one, which differs by one ulp or a zero's sign
                if (g.cells() == 0) break;
                const bool signed_zeros = chance(0.5);
                std::vector<double>& odd = chance(0.5) ? g.cp : g.k;
                if (signed_zeros) odd.assign(g.cells(), 0.0);
                odd[below(g.cells())] = signed_zeros ? -0.0 : std::nextafter(odd[0], 1e9);
                break;
            }
            default:
                for (double& k : g.k) k = chance(0.02) ? 0.0 : real(1.0, 400.0);
                for (double& cp : g.cp) cp = chance(0.02) ? pick({0.0, -0.0, -5.0}) : real(100.0, 1000.0);
        }
    }

    void fill_source(OwnedGrid& g) {
        switch (below(4)) {
            case 0: break;  // no source
            case 1:
                g.Q.assign(g.cells(), chance(0.3) ? pick({-0.0, 1e5, -3.5}) : real(-1e5, 1e5));
                break;
            case 2:  // uniform but for one cell, which differs in its zero's sign or by one ulp
                if (g.cells() == 0) break;
                g.Q.assign(g.cells(), chance(0.5) ? 0.0 : 42.0);
                g.Q[below(g.cells())] = g.Q[0] == 0.0 ? -0.0 : std::nextafter(42.0, 43.0);
                break;
            default:
                for (double& q : g.Q) q = real(-1e5, 1e5);
        }
    }

    // Hands some inputs over as one value where their arrays allow it,
    // including k or cp alone beside a per-cell partner.
    void hand_over_uniform_inputs_as_values(OwnedGrid& g) {
        auto all_equal = [](const auto& values) {
            for (const auto& v : values) {
                if (bits_of(v) != bits_of(values[0])) return false;
            }
            return true;
        };
        if (g.cells() == 0) return;
        g.k_as_value = all_equal(g.k) && chance(0.5);
        g.cp_as_value = all_equal(g.cp) && chance(0.5);
        g.Q_as_value = all_equal(g.Q) && bits_of(g.Q[0]) == 0 && chance(0.5);
        g.bc_as_value = all_equal(g.bc) && g.bc[0] == 0 && chance(0.5);
        if (!g.k_as_value && !g.cp_as_value && !all_equal(g.cp) && chance(0.3)) {
            g.k.assign(g.cells(), g.k[0]);  // one value beside per-cell cp
            g.k_as_value = true;
        }
    }

    static std::uint64_t bits_of(double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    }
    static std::uint64_t bits_of(std::int32_t v) { return static_cast<std::uint32_t>(v); }

    // Equal squares of the spacings let one division serve all three
    // coefficients; spacings of opposite sign have equal squares too.
    void fill_spacings(OwnedGrid& g) {
        double* spacings[] = {&g.dx, &g.dy, &g.dz};
        switch (below(3)) {
            case 0:
                for (double* d : spacings) {
                    *d = chance(0.05) ? pick({0.0, -1e-3}) : real(5e-4, 2e-3);
                }
                break;
            case 1: {
                const double d = chance(0.05) ? 0.0 : real(5e-4, 2e-3);
                for (double* s : spacings) *s = chance(0.2) ? -d : d;
                break;
            }
            default: {  // two equal, one different
                const double d = real(5e-4, 2e-3);
                for (double* s : spacings) *s = d;
                *spacings[below(3)] = std::nextafter(d, 1.0);
            }
        }
    }

    std::mt19937_64 rng_;
    double zeros_side_ = -1.0;
    double zero_share_ = 0.0;
};

std::size_t slot_count(const RandomCase& rc) {
    if (!rc.with_history || rc.stride < 1 || rc.iterations < 1) return 0;
    return static_cast<std::size_t>((rc.iterations + rc.stride - 1) / rc.stride);
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Index of the first element whose bits differ, or -1.
long first_difference(const std::vector<double>& a, const std::vector<double>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (bits(a[i]) != bits(b[i])) return static_cast<long>(i);
    }
    return -1;
}

// Cases that reached each hard path. Rows of 8 or more interior cells go
// through the vector sweeps at any width; shorter rows also meet the scalar one.
struct Coverage {
    int vector_rows = 0, short_rows = 0, early_exits = 0, nan_results = 0, zero_extremes = 0;
    int spelt_out_material = 0;  // k or cp as one value beside a per-cell partner
};

// Runs both kernels on copies of one case and requires identical bits in the
// field, the summary and the whole history buffer (spare slots included).
void expect_same_run(const RandomCase& rc, Coverage& coverage) {
    SCOPED_TRACE(rc.label);
    const std::size_t history_values = 3 * (slot_count(rc) + 1);
    RandomCase ref = rc, opt = rc;
    std::vector<double> ref_history(history_values, -777.25), opt_history = ref_history;

    TcadGrid ref_view = ref.grid.view(), opt_view = opt.grid.view();
    const TcadSummary r = tcad_kernel_reference(
        ref_view, rc.iterations, rc.with_history ? ref_history.data() : nullptr, rc.stride, rc.tol);
    const TcadSummary o = tcad_kernel(
        opt_view, rc.iterations, rc.with_history ? opt_history.data() : nullptr, rc.stride, rc.tol);

    EXPECT_EQ(o.iterations_completed, r.iterations_completed);
    EXPECT_EQ(o.early_exit_step, r.early_exit_step);
    EXPECT_EQ(bits(o.max_delta), bits(r.max_delta)) << o.max_delta << " vs " << r.max_delta;
    const long cell = first_difference(opt.grid.T, ref.grid.T);
    EXPECT_EQ(cell, -1) << opt.grid.T[cell] << " vs " << ref.grid.T[cell];
    const long value = first_difference(opt_history, ref_history);
    EXPECT_EQ(value, -1) << opt_history[value] << " vs " << ref_history[value];

    const OwnedGrid& g = rc.grid;
    if (g.nx >= 3 && g.ny >= 3 && g.nz >= 3 && r.iterations_completed > 0) {
        (g.nz - 2 >= 8 ? coverage.vector_rows : coverage.short_rows) += 1;
    }
    coverage.early_exits += r.early_exit_step >= 0 ? 1 : 0;
    coverage.spelt_out_material += g.k_as_value != g.cp_as_value ? 1 : 0;
    for (double t : ref.grid.T) {
        if (std::isnan(t)) {
            ++coverage.nan_results;
            break;
        }
    }
    for (std::size_t q = 0; q < slot_count(rc); ++q) {
        if (ref_history[3 * q + 1] == 0.0 || ref_history[3 * q + 2] == 0.0) {
            ++coverage.zero_extremes;
            break;
        }
    }
}

TEST_P(HeatKernelEquivalence, RandomSmallGridsMatchTheReferenceBitForBit) {
    CaseGenerator generator(0x7ea7'd1ff);
    Coverage coverage;
    for (int n = 0; n < 4000; ++n) {
        expect_same_run(generator.next(0, 20), coverage);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "first failing case: #" << n;
            return;
        }
    }
    // Guard against a generator that quietly stops reaching the hard paths.
    EXPECT_GT(coverage.vector_rows, 600);
    EXPECT_GT(coverage.short_rows, 350);
    EXPECT_GT(coverage.early_exits, 900);
    EXPECT_GT(coverage.nan_results, 700);
    EXPECT_GT(coverage.zero_extremes, 150);
    EXPECT_GT(coverage.spelt_out_material, 300) << "k or cp as one value beside the other per cell";
}

TEST_P(HeatKernelEquivalence, SignedZeroExtremesMatchTheReference) {
    CaseGenerator generator(2024);
    Coverage coverage;
    for (int n = 0; n < 400 && !::testing::Test::HasFailure(); ++n) {
        expect_same_run(generator.zero_ties(20), coverage);
    }
    EXPECT_GT(coverage.zero_extremes, 300);
}

// Enough planes and steps for several full blocks of steps swept together.
TEST_P(HeatKernelEquivalence, LargerGridsMatchTheReferenceBitForBit) {
    CaseGenerator generator(42);
    Coverage coverage;
    for (int n = 0; n < 16 && !::testing::Test::HasFailure(); ++n) {
        expect_same_run(generator.next(20, 40, 40), coverage);
    }
}

// With the zeros off the first plane, a zero extreme of a step inside a
// block cannot take its sign from a face cell.
TEST_P(HeatKernelEquivalence, LateSignedZeroExtremesMatchTheReference) {
    CaseGenerator generator(2025);
    Coverage coverage;
    for (int n = 0; n < 300 && !::testing::Test::HasFailure(); ++n) {
        expect_same_run(generator.zero_ties(16, true), coverage);
    }
    EXPECT_GT(coverage.zero_extremes, 200);
}

// Planes too wide for the working memory of deep blocks go in bands of
// rows, or in single steps when even a shallow block does not fit.
TEST_P(HeatKernelEquivalence, WidePlanesMatchTheReferenceBitForBit) {
    CaseGenerator generator(99);
    Coverage coverage;
    const std::int32_t extents[][3] = {{6, 40, 2000}, {5, 30, 2999}, {3, 12, 15000}};
    for (const auto& e : extents) {
        RandomCase rc = generator.next_of(e[0], e[1], e[2], 10);
        rc.iterations = 9;
        expect_same_run(rc, coverage);
    }
}

// A run that settles stops after the first step whose largest change is
// below the tolerance. Tolerances just above each step's change make that
// step, at every position in a block, the last one.
TEST_P(HeatKernelEquivalence, EarlyExitAfterAnyStepMatchesTheReference) {
    CaseGenerator generator(31337);
    Coverage coverage;
    int stops = 0;
    for (int n = 0; n < 12 && !::testing::Test::HasFailure(); ++n) {
        RandomCase rc = generator.next(6, 14);
        rc.iterations = 20;
        std::vector<double> deltas;  // the change of every step, from the reference
        for (std::int32_t s = 0; s < rc.iterations; ++s) {
            OwnedGrid g = rc.grid;
            TcadGrid view = g.view();
            deltas.push_back(tcad_kernel_reference(view, s + 1, nullptr, 1, 0.0).max_delta);
        }
        double lowest = std::numeric_limits<double>::infinity();
        for (std::int32_t s = 0; s < rc.iterations; ++s) {
            if (!(deltas[s] < lowest)) continue;
            lowest = deltas[s];
            rc.tol = std::nextafter(deltas[s], std::numeric_limits<double>::infinity());
            const int exits_before = coverage.early_exits;
            expect_same_run(rc, coverage);
            stops += coverage.early_exits - exits_before;
        }
    }
    EXPECT_GT(stops, 60);
}

INSTANTIATE_TEST_SUITE_P(EveryIsa, HeatKernelEquivalence, ::testing::ValuesIn(available_isas()),
                         isa_test_name);

}  // namespace
}  // namespace tavro::testing
