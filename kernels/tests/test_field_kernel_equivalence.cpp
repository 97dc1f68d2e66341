// The optimised field kernel must store the same bits and report the same
// figures as the reference on any input. Random grids push both through rows
// shorter and longer than a vector (and than a row piece), fixed and free
// cells, tau on both sides of its floor, NaN and infinities, degenerate
// scales and every step-control path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_paths.hpp"
#include "owned_field_grid.hpp"
#include "tavro/field_kernel.hpp"

namespace tavro::testing {
namespace {

// Each case holds the optimised kernel to one instruction set.
using FieldKernelEquivalence = OnEachIsa;

// NaN as the hardware makes it (0/0). x86 passes on the payload of the first
// NaN operand, and the compiler may commute an addition or multiplication, so
// NaNs of different bits can swap places between two builds. With only this
// pattern in play every NaN result has the same bits.
double hardware_nan() {
    volatile double zero = 0.0;
    return zero / zero;
}

const double kInf = std::numeric_limits<double>::infinity();

struct RandomCase {
    OwnedFieldGrid grid;
    std::int32_t iterations, stride;
    bool with_history;
    double tol;
};

struct Outcome {
    RunSummary summary;
    std::vector<double> psi, tau, history;
};

// Runs `kernel` on a copy of the case; the history has one spare record.
Outcome run_case(const RandomCase& rc, FieldKernelFn kernel) {
    OwnedFieldGrid g = rc.grid;
    std::size_t records = 0;
    if (rc.with_history && rc.stride >= 1 && rc.iterations >= 1) {
        records = static_cast<std::size_t>((rc.iterations + rc.stride - 1) / rc.stride);
    }
    std::vector<double> history(3 * (records + 1), -777.25);
    FieldGrid view = g.view();
    const RunSummary s =
        kernel(view, rc.iterations, rc.with_history ? history.data() : nullptr, rc.stride, rc.tol);
    return {s, g.psi, g.tau, history};
}

class CaseGenerator {
public:
    // `nan` is the NaN the inputs carry.
    CaseGenerator(std::uint64_t seed, double nan) : rng_(seed), nan_(nan) {}

    RandomCase next(int max_extent, int max_row) {
        const double P_k = chance(0.04) ? pick({0.0, kInf, -1e32})
                                        : std::pow(4.0, 66.0 - real(40.0, 250.0)) * 1e32;
        RandomCase rc{OwnedFieldGrid(extent(max_extent), extent(max_extent), extent(max_row), P_k),
                      below(14) - 1, chance(0.1) ? pick({0, -2}) : 1 + below(4), chance(0.7), 0.0};
        OwnedFieldGrid& g = rc.grid;
        const double psi_spread = pick({0.0, 1e-12, 1e-3, 0.5, 5.0});
        const double phi_scale = pick({0.0, 1e9, 1e12});
        const double fixed_share = pick({0.0, 0.05, 0.5});
        const int tau_kind = below(4);
        for (std::size_t c = 0; c < g.cells(); ++c) {
            g.psi[c] = P_k * (1.0 + real(-psi_spread, psi_spread));
            g.tau[c] = tau_value(tau_kind);
            g.phi[c] = real(-phi_scale, phi_scale);
            g.bc[c] = chance(fixed_share) ? 1.0 : pick({0.0, 0.0, 0.5, 2.0, nan_});
        }
        for (int s = chance(0.2) ? 1 + below(3) : 0; s > 0 && g.cells() > 0; --s) {
            std::vector<double>* fields[] = {&g.psi, &g.tau, &g.phi};
            (*fields[below(3)])[below(g.cells())] = pick({nan_, kInf, -kInf});
        }
        if (chance(0.3)) {  // no external field
            g.phi.assign(g.cells(), 0.0);
            g.phi_absent = chance(0.7);
        }
        if (chance(0.3)) {  // no flags
            g.bc.assign(g.cells(), 0.0);
            g.bc_absent = chance(0.7);
        }

        const int tol_kind = below(10);
        if (tol_kind < 3) {
            rc.tol = pick({0.0, -1.0, nan_});
        } else if (tol_kind < 6) {
            rc.tol = std::pow(10.0, real(-12.0, 2.0));
        } else if (rc.iterations > 0) {  // a sweep's max_delta itself, or just above it
            RandomCase probe = rc;
            probe.with_history = true;
            probe.stride = 1;
            rc.tol = run_case(probe, &relax_fields_reference).history[3 * below(rc.iterations) + 1];
            if (chance(0.5)) rc.tol = std::nextafter(rc.tol, kInf);
        }
        return rc;
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }
    int below(std::size_t n) { return static_cast<int>(rng_() % n); }
    double real(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng_);
    }
    template <class T>
    T pick(std::initializer_list<T> options) {
        return options.begin()[below(options.size())];
    }

    std::int32_t extent(int hi) { return chance(0.1) ? pick({-1, 0, 1, 2}) : 3 + below(hi - 2); }

    double tau_value(int kind) {
        switch (kind) {
            case 0:  // at, around and below the floor
                return pick({1e-9, std::nextafter(1e-9, 1.0), std::nextafter(1e-9, 0.0), 0.0, -0.0,
                             real(-1e-8, 1e-8), real(0.0, 3e-9)});
            case 1: return real(0.0, 10.0);
            case 2:  // every magnitude from subnormal to 1e300, either side of the floor
                return (chance(0.1) ? -1.0 : 1.0) * std::pow(10.0, real(-320.0, 300.0));
            default: return chance(0.1) ? pick({1e25, -1e25}) : real(-5.0, 50.0);
        }
    }

    std::mt19937_64 rng_;
    double nan_;
};

// Cases that reached each hard path, so a generator that drifts off them is noticed.
struct Coverage {
    int vector_rows = 0, short_rows = 0, pieced_rows = 0, early_exits = 0, nan_results = 0;
};

// Runs both kernels on one case and requires the same bits in both fields,
// the summary and the whole history buffer (spare record included).
void expect_same_run(const RandomCase& rc, Coverage& coverage, bool any_nan_matches = false) {
    const OwnedFieldGrid& g = rc.grid;
    char label[160];
    std::snprintf(label, sizeof label,
                  "%dx%dx%d P_k %g iterations %d stride %d history %d tol %.17g", g.nx, g.ny,
                  g.nz, g.P_k, rc.iterations, rc.stride, rc.with_history, rc.tol);
    SCOPED_TRACE(label);
    const Outcome r = run_case(rc, &relax_fields_reference);
    const Outcome o = run_case(rc, &relax_fields);

    EXPECT_EQ(o.summary.iterations_completed, r.summary.iterations_completed);
    EXPECT_EQ(o.summary.early_exit_step, r.summary.early_exit_step);
    EXPECT_EQ(bits(o.summary.max_delta_final), bits(r.summary.max_delta_final));
    EXPECT_TRUE(same_value(o.summary.energy_final, r.summary.energy_final, any_nan_matches))
        << o.summary.energy_final << " vs " << r.summary.energy_final;
    const std::vector<double> Outcome::*arrays[] = {&Outcome::psi, &Outcome::tau,
                                                    &Outcome::history};
    for (const auto array : arrays) {
        const long at = first_difference(o.*array, r.*array, any_nan_matches);
        EXPECT_EQ(at, -1) << (o.*array)[at] << " vs " << (r.*array)[at];
    }

    if (g.nx >= 3 && g.ny >= 3 && g.nz >= 3 && r.summary.iterations_completed > 0) {
        ++(g.nz - 2 >= 8 ? coverage.vector_rows : coverage.short_rows);
        coverage.pieced_rows += g.nz - 2 > 40 ? 1 : 0;  // more than one piece of 32
    }
    coverage.early_exits += r.summary.early_exit_step >= 0 ? 1 : 0;
    for (double v : r.psi) {
        if (std::isnan(v)) {
            ++coverage.nan_results;
            break;
        }
    }
}

TEST_P(FieldKernelEquivalence, RandomSmallGridsMatchTheReferenceBitForBit) {
    CaseGenerator generator(0xf1e1d, hardware_nan());
    Coverage coverage;
    for (int n = 0; n < 3000 && !::testing::Test::HasFailure(); ++n) {
        expect_same_run(generator.next(12, 20), coverage);
    }
    EXPECT_GT(coverage.vector_rows, 900);
    EXPECT_GT(coverage.short_rows, 500);
    EXPECT_GT(coverage.early_exits, 700);
    EXPECT_GT(coverage.nan_results, 500);
}

// Rows longer than one piece: the split into pieces must keep flat order.
TEST_P(FieldKernelEquivalence, LongRowsMatchTheReferenceBitForBit) {
    CaseGenerator generator(7, hardware_nan());
    Coverage coverage;
    for (int n = 0; n < 100 && !::testing::Test::HasFailure(); ++n) {
        expect_same_run(generator.next(5, 300), coverage);
    }
    EXPECT_GT(coverage.pieced_rows, 25);
}

// Input NaNs of another sign or payload meet the hardware's own NaN in some
// operations, and which one an operation passes on depends on an operand
// order the compiler may commute. Their bits may differ; their places not.
TEST_P(FieldKernelEquivalence, ForeignNanPatternsLandInTheSamePlaces) {
    CaseGenerator generator(99, std::numeric_limits<double>::quiet_NaN());
    Coverage coverage;
    for (int n = 0; n < 1000 && !::testing::Test::HasFailure(); ++n) {
        expect_same_run(generator.next(12, 20), coverage, true);
    }
    EXPECT_GT(coverage.nan_results, 150);
}

INSTANTIATE_TEST_SUITE_P(EveryIsa, FieldKernelEquivalence, ::testing::ValuesIn(available_isas()),
                         isa_test_name);

}  // namespace
}  // namespace tavro::testing
