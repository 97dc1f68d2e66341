// Behaviour of the coupled field kernel: worked values, the free-cell update,
// fixed cells, tau's floor, NaN, degenerate grids, step control and history.
// Every case runs against the reference and the optimised kernel on every
// instruction set this machine has.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "owned_field_grid.hpp"
#include "tavro/allocation.hpp"
#include "tavro/field_kernel.hpp"
#include "tavro/libm.hpp"

namespace tavro::testing {
namespace {

constexpr double kUnwritten = -777.25;  // history sentinel no kernel produces
const double kNaN = std::numeric_limits<double>::quiet_NaN();

class FieldKernel : public ::testing::TestWithParam<NamedFieldKernel> {
protected:
    RunSummary run(OwnedFieldGrid& g, std::int32_t iterations, double* history = nullptr,
                   std::int32_t stride = 1, double tol = 0.0) {
        FieldGrid view = g.view();
        return GetParam().run(view, iterations, history, stride, tol);
    }
};

// energy_final NaN matches any NaN.
void expect_summary(const RunSummary& s, std::int32_t completed, std::int32_t exit_step,
                    double max_delta, double energy_final) {
    EXPECT_EQ(s.iterations_completed, completed);
    EXPECT_EQ(s.early_exit_step, exit_step);
    EXPECT_EQ(bits(s.max_delta_final), bits(max_delta)) << s.max_delta_final;
    EXPECT_TRUE(same_value(s.energy_final, energy_final, true)) << s.energy_final;
}

// psi as a run returns it when nothing moved: scaled down and back up.
std::vector<double> round_tripped(std::vector<double> psi, double P_k) {
    for (double& v : psi) v = v / P_k * P_k;
    return psi;
}

// 3x3x3, only the centre free; psi' = 1, tau = 0, phi = 0 everywhere. The
// centre's tau rises by 0.05 * 7e-10 * P_k / 1.000000001; nothing else moves.
TEST_P(FieldKernel, WorkedExample) {
    for (double P_k : {1e32, std::pow(4.0, -24.0) * 1e32}) {
        SCOPED_TRACE(P_k);
        OwnedFieldGrid g(3, 3, 3, P_k, P_k, 0.0);
        std::vector<double> history(3, kUnwritten);
        const double rise = (-7e-10 * P_k / 1.000000001) * -0.05;
        expect_summary(run(g, 1, history.data()), 1, -1, rise, 0.0);
        for (std::size_t c = 0; c < g.cells(); ++c) {
            EXPECT_EQ(g.psi[c], P_k);
            EXPECT_EQ(g.tau[c], c == g.at(1, 1, 1) ? rise : 0.0);
        }
        EXPECT_EQ(history, (std::vector<double>{0.0, rise, rise * 5e-124 * rise * P_k / 27}));
    }
}

// The centre of a 3x3x3 grid against its update spelt out one operation at
// a time in the defined order; neighbours come as +1, -1, +s2, -s2, +s1, -s1.
TEST_P(FieldKernel, FreeCellFollowsTheDefinedUpdate) {
    const double P_k = 0.25;  // a power of two: psi / P_k is exact
    const double psi_nb[6] = {1.25, 0.5, 2.0, 1.0, 0.75, 1.125};
    const double tau_nb[6] = {0.3, 0.1, 0.7, 0.2, 0.05, 0.9};
    const struct {
        const char* regime;
        double Psi, T, Phi;
    } cases[] = {{"logarithm", 1.5, 0.75, 3e11},
                 {"tau at the floor: S = tau, D = 1.000000001", 1.5, 1e-9, 3e11},
                 {"tau below the floor", 1.5, -0.5, 3e11},
                 {"update overshoots the floor; max_delta takes the raw step", -10.0, 0.75, 0.0}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.regime);
        const double Psi = tc.Psi, T = tc.T, Phi = tc.Phi;
        double psi_sum = psi_nb[0], tau_sum = tau_nb[0];
        for (int n = 1; n < 6; ++n) psi_sum = psi_sum + psi_nb[n], tau_sum = tau_sum + tau_nb[n];
        const double L_psi = psi_sum - Psi * 6.0, L_tau = tau_sum - T * 6.0;
        const double D = T > 1e-9 ? T + 1.0 : 1.000000001, S = T > 1e-9 ? libm_log(D) : T;
        const double Q = (Phi * 1e-24) * Phi, u = Psi - 1.0;
        const double cubic = (((((P_k * 1.6666666666666665e-105) * P_k) * P_k) * u) * u) * u;
        const double G_psi = ((((((P_k * 1e-26) * u - S * 7e-10) + (T * 5e-124) * T) + cubic) -
                               Q) - (T * 10.0) * T) - L_psi * 0.1;
        const double G_tau = (((((T * 1e-123) * Psi) * P_k + ((Psi * -7e-10) * P_k) / D) -
                               ((Psi * 20.0) * P_k) * T) - Q) - L_tau * 0.01;
        const double dPsi = G_psi * -0.05, Psi_n = Psi + dPsi, dT = G_tau * -0.05;
        const double T_n = std::fmax(T + dT, 1e-9), u_n = Psi_n - 1.0;
        const double energy = (((P_k * 5e-27) * u_n) * u_n - ((Psi_n * 7e-10) * P_k) * S) +
                              (((T_n * 5e-124) * T_n) * Psi_n) * P_k;

        OwnedFieldGrid g(3, 3, 3, P_k, P_k);
        const std::size_t c = g.at(1, 1, 1), nb[6] = {c + 1, c - 1, c + 3, c - 3, c + 9, c - 9};
        for (int n = 0; n < 6; ++n) g.psi[nb[n]] = psi_nb[n] * P_k, g.tau[nb[n]] = tau_nb[n];
        g.psi[c] = Psi * P_k, g.tau[c] = T, g.phi[c] = Phi;
        std::vector<double> history(3, kUnwritten);
        expect_summary(run(g, 1, history.data()), 1, -1, std::fmax(std::fabs(dPsi), std::fabs(dT)),
                       0.0);
        EXPECT_EQ(g.psi[c], Psi_n * P_k);
        EXPECT_EQ(g.tau[c], T_n);
        EXPECT_EQ(history[2], energy / 27);
    }
}

TEST_P(FieldKernel, OnlyAFlagOfExactlyOneFixesACell) {
    for (double flag : {1.0, 0.0, 0.5, 2.0, -1.0, kNaN, std::nextafter(1.0, 2.0)}) {
        SCOPED_TRACE(flag);
        OwnedFieldGrid g(3, 3, 3);
        g.bc[g.at(1, 1, 1)] = flag;
        const RunSummary s = run(g, 1);
        // A fixed cell keeps its tau of 0.0 although that is below the floor.
        EXPECT_EQ(g.tau[g.at(1, 1, 1)] == 0.0, flag == 1.0);
        EXPECT_EQ(s.max_delta_final == 0.0, flag == 1.0);
    }
}

// Two free cells; a NaN update of the second leaves the first's max_delta.
TEST_P(FieldKernel, NanUpdatesAreInvisibleToMaxDelta) {
    auto sweep = [this](double second_phi, double second_flag) {
        OwnedFieldGrid g(3, 3, 4, 1e-10, 1e-10, 0.5);
        g.phi[g.at(1, 1, 2)] = second_phi;
        g.bc[g.at(1, 1, 2)] = second_flag;
        const RunSummary s = run(g, 5, nullptr, 1, 1e300);
        EXPECT_EQ(std::isnan(g.psi[g.at(1, 1, 2)]), std::isnan(second_phi));
        EXPECT_EQ(std::isnan(g.tau[g.at(1, 1, 2)]), std::isnan(second_phi));
        return s;
    };
    const RunSummary alone = sweep(0.0, 1.0);
    EXPECT_GT(alone.max_delta_final, 0.0);
    expect_summary(sweep(kNaN, 0.0), 1, 0, alone.max_delta_final, kNaN);

    OwnedFieldGrid g(3, 3, 3);
    g.phi[g.at(1, 1, 1)] = kNaN;  // the only update is NaN: max_delta 0.0 ends the run
    expect_summary(run(g, 5, nullptr, 1, 1e-300), 1, 0, 0.0, kNaN);
}

// No free cell: nothing moves and max_delta is 0.0; the mean energy is
// 0.0 / N, NaN for N = 0. psi still goes through psi' and back.
TEST_P(FieldKernel, GridsWithoutFreeCellsHoldEverythingAndSettleAtOnce) {
    // Zero cells with many rows: nothing may walk them one by one.
    const std::int32_t extents[][3] = {{0, 4, 4}, {4, 4, 0}, {-1, 3, 3}, {-2, -3, 5}, {1, 1, 1},
                                       {2, 5, 5}, {5, 2, 5}, {5, 5, 2},  {1, 9, 9},   {4, 0, 4},
                                       {65536, 65536, 0}, {INT32_MAX, INT32_MAX, 0}};
    for (const auto& e : extents) {
        SCOPED_TRACE(std::to_string(e[0]) + "x" + std::to_string(e[1]) + "x" +
                     std::to_string(e[2]));
        OwnedFieldGrid g(e[0], e[1], e[2], 3.0);
        for (std::size_t c = 0; c < g.cells(); ++c) g.psi[c] = 0.1 * static_cast<double>(c + 1);
        const OwnedFieldGrid before = g;
        const double mean = g.cells() > 0 ? 0.0 : kNaN;
        std::vector<double> history(3 * 2, kUnwritten);
        expect_summary(run(g, 2, history.data()), 2, -1, 0.0, 0.0);
        EXPECT_EQ(first_difference(history, {0.0, 0.0, mean, 1.0, 0.0, mean}, true), -1);
        g = before;
        expect_summary(run(g, 4, nullptr, 1, 1e-300), 1, 0, 0.0, mean);
        EXPECT_EQ(first_difference(g.psi, round_tripped(before.psi, 3.0)), -1);
        EXPECT_EQ(g.tau, before.tau);
    }
}

TEST_P(FieldKernel, NoSweepForZeroOrNegativeIterations) {
    for (std::int32_t iterations : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(iterations);
        OwnedFieldGrid g(4, 4, 4, 3.0, 0.9, -2.0);
        ASSERT_NE(0.9 / 3.0 * 3.0, 0.9);  // the round trip shows
        std::vector<double> history(6, kUnwritten);
        expect_summary(run(g, iterations, history.data(), 1, 1.0), 0, -1, 0.0, 0.0);
        EXPECT_EQ(g.psi, std::vector<double>(64, 0.9 / 3.0 * 3.0));
        EXPECT_EQ(g.tau, std::vector<double>(64, -2.0));
        EXPECT_EQ(history, std::vector<double>(6, kUnwritten));
    }
}

// A bump in psi' relaxing on a tiny scale: every sweep's max_delta is smaller.
OwnedFieldGrid relaxing_bump() {
    const double P_k = std::ldexp(1.0, -100);
    OwnedFieldGrid g(7, 7, 7, P_k, P_k, 1e-9);
    g.psi[g.at(3, 3, 3)] = 2 * P_k;
    return g;
}

// The relaxing bump's records of every sweep, without early exit.
std::vector<double> every_record(const NamedFieldKernel& kernel, std::int32_t iterations) {
    OwnedFieldGrid g = relaxing_bump();
    FieldGrid view = g.view();
    std::vector<double> history(3 * static_cast<std::size_t>(iterations));
    kernel.run(view, iterations, history.data(), 1, 0.0);
    return history;
}

TEST_P(FieldKernel, StopsAfterTheFirstSweepStrictlyBelowAPositiveTolerance) {
    const std::vector<double> full = every_record(GetParam(), 8);
    for (int s = 1; s < 8; ++s) ASSERT_LT(full[3 * s + 1], full[3 * s - 2]);
    const double d2 = full[3 * 2 + 1];
    const struct {
        double tol;
        int exit_step;
    } cases[] = {{std::nextafter(d2, 1.0), 2}, {d2, 3}, {0.0, -1}, {-1.0, -1}, {kNaN, -1}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.tol);
        OwnedFieldGrid g = relaxing_bump();
        std::vector<double> history(3 * 4, kUnwritten);
        const RunSummary s = run(g, 8, history.data(), 2, tc.tol);
        const int last = tc.exit_step < 0 ? 7 : tc.exit_step;
        // A run that uses up its sweeps reports energy 0.0 though it has one.
        ASSERT_NE(full[3 * last + 2], 0.0);
        expect_summary(s, last + 1, tc.exit_step, full[3 * last + 1],
                       tc.exit_step < 0 ? 0.0 : full[3 * last + 2]);
        for (int v = 0; v < 12; ++v) {  // records of sweeps 0, 2, 4, 6 unless stopped before
            EXPECT_EQ(history[v], 2 * (v / 3) <= last ? full[6 * (v / 3) + v % 3] : kUnwritten);
        }
    }
}

TEST_P(FieldKernel, HistorySamplesEveryStrideOnly) {
    const std::vector<double> full = every_record(GetParam(), 10);
    const struct {
        std::int32_t iterations, stride;
        std::vector<int> sampled;
    } cases[] = {{3, 5, {0}}, {10, 4, {0, 4, 8}}, {4, 1, {0, 1, 2, 3}}, {4, 0, {}}, {4, -3, {}}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::to_string(tc.iterations) + " sweeps, stride " +
                     std::to_string(tc.stride));
        OwnedFieldGrid g = relaxing_bump();
        std::vector<double> history(3 * (tc.sampled.size() + 1), kUnwritten);
        run(g, tc.iterations, history.data(), tc.stride);
        std::vector<double> want;
        for (int s : tc.sampled) want.insert(want.end(), &full[3 * s], &full[3 * s + 3]);
        want.resize(history.size(), kUnwritten);
        EXPECT_EQ(history, want);
    }
}

// Jacobi sweeps: mirror-image cells get mirror-image updates (an in-place
// sweep would feed the first cell's new value to the second), and a run of
// two sweeps equals two runs of one (the generations change roles correctly).
TEST_P(FieldKernel, SweepsReadOnlyThePreviousGeneration) {
    const double P_k = std::ldexp(1.0, -60);
    OwnedFieldGrid g(4, 3, 3, P_k, P_k, 0.25);
    g.tau[g.at(0, 1, 1)] = g.tau[g.at(3, 1, 1)] = 4.0;
    OwnedFieldGrid once = g;
    run(once, 1);
    EXPECT_NE(once.tau[g.at(1, 1, 1)], 0.25);
    EXPECT_EQ(once.tau[g.at(1, 1, 1)], once.tau[g.at(2, 1, 1)]);
    EXPECT_EQ(once.psi[g.at(1, 1, 1)], once.psi[g.at(2, 1, 1)]);
    run(g, 2);
    run(once, 1);
    EXPECT_EQ(g.psi, once.psi);
    EXPECT_EQ(g.tau, once.tau);
}

TEST_P(FieldKernel, ScratchAllocationFailureRunsNoSweep) {
    OwnedFieldGrid g(4, 4, 4, 3.0, 0.9, 0.5);
    std::vector<double> history(3 * 4, kUnwritten);
    RunSummary s;
    {
        FailingAllocationScope scope(AllocSite::field_scratch);
        s = run(g, 4, history.data(), 1, 1.0);
    }
    expect_summary(s, 0, -1, 0.0, 0.0);
    EXPECT_EQ(g.psi, std::vector<double>(64, 0.9));  // not even scaled and back
    EXPECT_EQ(g.tau, std::vector<double>(64, 0.5));
    EXPECT_EQ(history, std::vector<double>(12, kUnwritten));

    // A grid whose cell count does not fit 64 bits fails the same way,
    // touching no field.
    FieldGrid huge{nullptr, nullptr, nullptr, nullptr, INT32_MAX, INT32_MAX, INT32_MAX, 1.0};
    expect_summary(GetParam().run(huge, 4, nullptr, 1, 1.0), 0, -1, 0.0, 0.0);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, FieldKernel, ::testing::ValuesIn(field_kernel_paths()),
                         path_test_name<FieldKernelFn>);

}  // namespace
}  // namespace tavro::testing
