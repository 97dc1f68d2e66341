// Behaviour of the heat-diffusion kernel: worked values, held cells, step
// control, history sampling and the statistics' NaN and signed-zero rules.
// Every case runs against the reference and the optimised kernel on every
// instruction set this machine has.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "owned_grid.hpp"
#include "tavro/allocation.hpp"
#include "tavro/heat_kernel.hpp"

namespace tavro::testing {
namespace {

constexpr double kUnwritten = -777.25;  // history sentinel no kernel produces
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

class HeatKernel : public ::testing::TestWithParam<NamedKernel> {
protected:
    TcadSummary run(OwnedGrid& g, std::int32_t iterations, double* history = nullptr,
                    std::int32_t stride = 1, double tol = 0.0) {
        TcadGrid view = g.view();
        double* const caller_T = view.T;
        const TcadSummary s = GetParam().run(view, iterations, history, stride, tol);
        EXPECT_EQ(view.T, caller_T) << "the final field must be left in the caller's buffer";
        return s;
    }
};

void expect_summary(const TcadSummary& s, std::int32_t completed, std::int32_t exit_step,
                    double max_delta) {
    EXPECT_EQ(s.iterations_completed, completed);
    EXPECT_EQ(s.early_exit_step, exit_step);
    EXPECT_EQ(s.max_delta, max_delta);
}

// 3x3x3 at 0.0 whose centre gains exactly dt*Q = 0.5 a step: k = 0 switches
// diffusion off, so every step's delta is exactly 0.5.
OwnedGrid steady_riser() {
    OwnedGrid g(3, 3, 3, 0.0);
    g.k.assign(g.cells(), 0.0);
    g.Q.assign(g.cells(), 1.0);
    g.dt = 0.5;
    return g;
}

// The 3x3x3 worked example: 300.0 everywhere, 400.0 at the centre.
OwnedGrid hot_centre() {
    OwnedGrid g(3, 3, 3, 300.0);
    g.T[g.at(1, 1, 1)] = 400.0;
    return g;
}

TEST_P(HeatKernel, WorkedExample) {
    OwnedGrid g = hot_centre();
    std::vector<double> history(3, kUnwritten);
    expect_summary(run(g, 1, history.data()), 1, -1, 0.053701340719271684);
    for (std::size_t c = 0; c < g.cells(); ++c) {
        EXPECT_EQ(g.T[c], c == g.at(1, 1, 1) ? 399.9462986592807 : 300.0) << "cell " << c;
    }
    EXPECT_EQ(history, (std::vector<double>{0.0, 399.9462986592807, 300.0}));
}

// Exact binary fractions: k/(cp*2329) = 1, a = 0.25, coefficients 1, 0.25 and
// 0.0625. Second differences 2, -4, 24 give 8 + 2 - 1 + 1.5 + dt*Q (1.5) = 12.
// The neighbours' own k, cp and Q must play no part.
TEST_P(HeatKernel, UpdateUsesOwnMaterialAndSourceOnly) {
    OwnedGrid g(3, 3, 3, 0.0);
    g.k.assign(g.cells(), 1.0e6);
    g.cp.assign(g.cells(), 3.0);
    g.Q.assign(g.cells(), 1000.0);
    const std::size_t c = g.at(1, 1, 1);
    g.k[c] = 2329.0;
    g.cp[c] = 1.0;
    g.Q[c] = 6.0;
    g.dt = 0.25;
    g.dx = 0.5;
    g.dy = 1.0;
    g.dz = 2.0;
    g.T[c] = 8.0;
    g.T[g.at(2, 1, 1)] = 12.0;
    g.T[g.at(0, 1, 1)] = 6.0;
    g.T[g.at(1, 2, 1)] = 10.0;
    g.T[g.at(1, 0, 1)] = 2.0;
    g.T[g.at(1, 1, 2)] = 40.0;
    std::vector<double> history(3, kUnwritten);
    expect_summary(run(g, 1, history.data()), 1, -1, 4.0);
    EXPECT_EQ(g.T[c], 12.0);
    EXPECT_EQ(history, (std::vector<double>{0.0, 40.0, 0.0}));
}

// 0.0 and -0.0 compare equal but are different sources: with a negative
// coefficient every term of a cell at -0.0 amid -0.0 is -0.0, and adding
// dt*Q then keeps the sign of dt*Q's zero.
TEST_P(HeatKernel, SourceZerosKeepTheirSign) {
    OwnedGrid g(3, 3, 4, -0.0);
    g.cp.assign(g.cells(), -710.0);
    g.Q[g.at(1, 1, 2)] = -0.0;
    run(g, 1);
    EXPECT_FALSE(std::signbit(g.T[g.at(1, 1, 1)]));
    EXPECT_TRUE(std::signbit(g.T[g.at(1, 1, 2)]));
}

// A step of -0.0 makes every coefficient -0.0, so a field of -0.0 stays
// -0.0; vector rows must broadcast such constants with their sign.
TEST_P(HeatKernel, NegativeZeroStepKeepsNegativeZeroField) {
    for (int nz : {4, 12, 21}) {
        SCOPED_TRACE(nz);
        OwnedGrid g(3, 3, nz, -0.0);
        g.dt = -0.0;
        run(g, 2);
        for (int k = 0; k < nz; ++k) EXPECT_TRUE(std::signbit(g.T[g.at(1, 1, k)])) << k;
    }
}

TEST_P(HeatKernel, BoundaryCodesOneAndTwoHoldOthersUpdate) {
    const struct {
        std::int32_t code;
        bool updated;
    } cases[] = {{0, true}, {1, false}, {2, false}, {3, true}, {-1, true}, {INT32_MIN, true}};
    for (const auto& tc : cases) {
        SCOPED_TRACE("bc " + std::to_string(tc.code));
        OwnedGrid g = hot_centre();
        g.bc[g.at(1, 1, 1)] = tc.code;
        const TcadSummary s = run(g, 1);
        EXPECT_EQ(g.T[g.at(1, 1, 1)], tc.updated ? 399.9462986592807 : 400.0);
        EXPECT_EQ(s.max_delta, tc.updated ? 0.053701340719271684 : 0.0);
    }
}

TEST_P(HeatKernel, OuterFacesAreHeldAndInteriorMoves) {
    OwnedGrid g(5, 6, 12);
    for (int i = 0; i < g.nx; ++i)
        for (int j = 0; j < g.ny; ++j)
            for (int k = 0; k < g.nz; ++k) g.T[g.at(i, j, k)] = 300.0 + 7 * i + 3 * j + k * k;
    const std::vector<double> before = g.T;
    run(g, 4);
    for (int i = 0; i < g.nx; ++i)
        for (int j = 0; j < g.ny; ++j)
            for (int k = 0; k < g.nz; ++k) {
                const std::size_t c = g.at(i, j, k);
                if (g.on_face(i, j, k)) {
                    EXPECT_EQ(g.T[c], before[c]) << i << "," << j << "," << k;
                } else {
                    EXPECT_NE(g.T[c], before[c]) << i << "," << j << "," << k;
                }
            }
}

TEST_P(HeatKernel, UniformFieldWithoutSourceStaysPut) {
    OwnedGrid g(6, 7, 11, 321.5);
    for (std::size_t c = 0; c < g.cells(); ++c) g.k[c] = 100.0 + static_cast<double>(c % 13);
    std::vector<double> history(3 * 5, kUnwritten);
    expect_summary(run(g, 5, history.data()), 5, -1, 0.0);
    for (double t : g.T) EXPECT_EQ(t, 321.5);
    for (int s = 0; s < 5; ++s) {
        EXPECT_EQ(history[3 * s + 1], 321.5);
        EXPECT_EQ(history[3 * s + 2], 321.5);
    }
}

TEST_P(HeatKernel, NoStepForZeroOrNegativeIterations) {
    for (std::int32_t iterations : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(iterations);
        OwnedGrid g = hot_centre();
        std::vector<double> history(6, kUnwritten);
        expect_summary(run(g, iterations, history.data(), 1, 1.0), 0, -1, 0.0);
        EXPECT_EQ(g.T, hot_centre().T);
        for (double h : history) EXPECT_EQ(h, kUnwritten);
    }
}

TEST_P(HeatKernel, ZeroCellGridsReportTheStartingBounds) {
    // Zero cells with many rows: nothing may walk them one by one.
    const std::int32_t extents[][3] = {{0, 4, 4},  {4, 0, 4},   {4, 4, 0},   {-1, 4, 4},
                                       {-2, -3, 4}, {-1, -1, -1}, {65536, 65536, 0},
                                       {INT32_MAX, INT32_MAX, 0}};
    for (const auto& e : extents) {
        SCOPED_TRACE(std::to_string(e[0]) + "x" + std::to_string(e[1]) + "x" + std::to_string(e[2]));
        OwnedGrid g(e[0], e[1], e[2]);
        ASSERT_EQ(g.cells(), 0u);
        std::vector<double> history(3 * 3, kUnwritten);
        expect_summary(run(g, 3, history.data()), 3, -1, 0.0);
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(history[3 * s], s);
            EXPECT_EQ(history[3 * s + 1], kTcadMaxStart);
            EXPECT_EQ(history[3 * s + 2], kTcadMinStart);
        }
        expect_summary(run(g, 3, nullptr, 1, 1e-9), 1, 0, 0.0);
    }
}

TEST_P(HeatKernel, GridsThinnerThanThreeChangeNothingAndSettleAtOnce) {
    const std::int32_t extents[][3] = {{2, 9, 9}, {9, 2, 9}, {9, 9, 2}, {9, 9, 1}, {1, 1, 1}};
    for (const auto& e : extents) {
        SCOPED_TRACE(std::to_string(e[0]) + "x" + std::to_string(e[1]) + "x" + std::to_string(e[2]));
        OwnedGrid g(e[0], e[1], e[2]);
        for (std::size_t c = 0; c < g.cells(); ++c) g.T[c] = 250.0 + static_cast<double>(c * c);
        const std::vector<double> before = g.T;
        expect_summary(run(g, 5), 5, -1, 0.0);
        expect_summary(run(g, 5, nullptr, 1, 1e-12), 1, 0, 0.0);
        EXPECT_EQ(g.T, before);
    }
}

TEST_P(HeatKernel, EarlyExitNeedsDeltaStrictlyBelowAPositiveTolerance) {
    const struct {
        double tol;
        std::int32_t exit_step;
    } cases[] = {{0.5, -1},  {std::nextafter(0.5, 1.0), 0}, {0.25, -1}, {0.0, -1},
                 {-1.0, -1}, {kNaN, -1},                    {kInf, 0}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.tol);
        OwnedGrid g = steady_riser();
        const std::int32_t completed = tc.exit_step < 0 ? 6 : tc.exit_step + 1;
        expect_summary(run(g, 6, nullptr, 1, tc.tol), completed, tc.exit_step, 0.5);
        EXPECT_EQ(g.T[g.at(1, 1, 1)], 0.5 * completed);
    }
}

TEST_P(HeatKernel, HistorySamplesEveryStrideAndLeavesOtherSlots) {
    const struct {
        std::int32_t iterations, stride;
        std::vector<int> sampled_steps;
    } cases[] = {{3, 5, {0}},          {10, 4, {0, 4, 8}}, {5, 1, {0, 1, 2, 3, 4}},
                 {1, 1, {0}},          {7, 7, {0}},        {8, 7, {0, 7}}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::to_string(tc.iterations) + " steps, stride " + std::to_string(tc.stride));
        OwnedGrid g = steady_riser();
        const std::size_t spare = 2;  // slots past the sampled ones
        std::vector<double> history(3 * (tc.sampled_steps.size() + spare), kUnwritten);
        run(g, tc.iterations, history.data(), tc.stride);
        for (std::size_t q = 0; q < tc.sampled_steps.size(); ++q) {
            // A sample describes the field after its step: the centre has
            // risen by 0.5 per executed step, the faces stay at 0.
            const int s = tc.sampled_steps[q];
            EXPECT_EQ(history[3 * q], s);
            EXPECT_EQ(history[3 * q + 1], 0.5 * (s + 1));
            EXPECT_EQ(history[3 * q + 2], 0.0);
        }
        for (std::size_t v = 3 * tc.sampled_steps.size(); v < history.size(); ++v) {
            EXPECT_EQ(history[v], kUnwritten) << "value " << v;
        }
    }
}

// A stride below 1 addresses no slot; the kernels then take no samples.
TEST_P(HeatKernel, HistoryWithStrideBelowOneStaysUnwritten) {
    for (std::int32_t stride : {0, -3}) {
        SCOPED_TRACE(stride);
        OwnedGrid g = steady_riser();
        std::vector<double> history(3 * 4, kUnwritten);
        expect_summary(run(g, 4, history.data(), stride), 4, -1, 0.5);
        for (double h : history) EXPECT_EQ(h, kUnwritten);
    }
}

TEST_P(HeatKernel, ConvergedStepIsStillSampled) {
    // The hot centre cools less every step; put the tolerance between the
    // changes of steps 1 and 2 so the run stops after step 2.
    auto last_delta = [this](std::int32_t iterations) {
        OwnedGrid g = hot_centre();
        return run(g, iterations).max_delta;
    };
    const double d1 = last_delta(2), d2 = last_delta(3);
    ASSERT_LT(d2, d1);
    OwnedGrid g = hot_centre();
    std::vector<double> history(3 * 5, kUnwritten);
    expect_summary(run(g, 10, history.data(), 2, 0.5 * (d1 + d2)), 3, 2, d2);
    EXPECT_EQ(history[0], 0.0);
    EXPECT_EQ(history[3], 2.0);
    EXPECT_EQ(history[4], g.T[g.at(1, 1, 1)]);
    for (std::size_t v = 6; v < history.size(); ++v) EXPECT_EQ(history[v], kUnwritten);
}

TEST_P(HeatKernel, NanSpreadsToNeighboursButStatisticsSkipIt) {
    OwnedGrid g(7, 7, 7, 300.0);
    g.T[g.at(3, 3, 3)] = kNaN;
    g.T[g.at(0, 0, 0)] = 100.0;  // a corner: it is nobody's neighbour
    std::vector<double> history(3 * 2, kUnwritten);
    const std::size_t expected_nan_cells[] = {7, 25};  // within 1, then 2 steps of the centre
    for (int step = 0; step < 2; ++step) {
        expect_summary(run(g, 1, history.data() + 3 * step), 1, -1, 0.0);
        std::size_t nan_cells = 0;
        for (double t : g.T) nan_cells += std::isnan(t) ? 1 : 0;
        EXPECT_EQ(nan_cells, expected_nan_cells[step]);
        EXPECT_EQ(history[3 * step + 1], 300.0);
        EXPECT_EQ(history[3 * step + 2], 100.0);
    }
}

// With every face cell NaN the interior alone sets the extremes, and a lane
// of the vector sweep that met no value must not leak its other bound.
TEST_P(HeatKernel, NanFacesLeaveTheExtremesToTheInterior) {
    for (int nz : {3, 5, 12, 21}) {
        SCOPED_TRACE(nz);
        OwnedGrid g(3, 3, nz, kNaN);
        std::vector<double> history(3, kUnwritten);
        run(g, 1, history.data());
        EXPECT_EQ(history[1], kTcadMaxStart);  // all NaN: the starting bounds
        EXPECT_EQ(history[2], kTcadMinStart);
        g.T[g.at(1, 1, 1)] = 300.0;
        g.bc[g.at(1, 1, 1)] = 1;
        run(g, 1, history.data());
        EXPECT_EQ(history[1], 300.0);
        EXPECT_EQ(history[2], 300.0);
    }
}

TEST_P(HeatKernel, ExtremesStayAtTheBoundsWhenNoCellPassesThem) {
    const struct {
        double fill, t_max, t_min;
    } cases[] = {{2e10, 2e10, kTcadMinStart}, {-2e10, kTcadMaxStart, -2e10}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.fill);
        OwnedGrid g(4, 4, 4, tc.fill);
        std::vector<double> history(3, kUnwritten);
        run(g, 1, history.data());
        EXPECT_EQ(history[1], tc.t_max);
        EXPECT_EQ(history[2], tc.t_min);
    }
}

// A zero extreme keeps the sign of the first zero in flat order, as the
// sequential `v > t_max` scan does. Everything is held, so the zeros survive
// the step; positions straddle faces and the 8-cell chunks of interior rows.
TEST_P(HeatKernel, ZeroExtremeTakesTheSignOfTheFirstZero) {
    const struct {
        int first[3], second[3];
    } placements[] = {
        {{1, 1, 8}, {1, 1, 9}},   // neighbouring chunks of one row
        {{1, 1, 15}, {1, 2, 1}},  // end of one row's last chunk, start of the next row
        {{0, 2, 5}, {1, 1, 3}},   // a face cell before an interior cell
        {{1, 2, 7}, {3, 0, 0}},   // an interior cell before a face cell
        {{2, 2, 7}, {2, 2, 9}},   // the first zero in a higher lane than the second
    };
    for (const auto& p : placements) {
        for (double first_zero : {-0.0, 0.0}) {
            for (double others : {-5.0, 5.0}) {  // zeros are the maximum, then the minimum
                OwnedGrid g(4, 4, 17, others);
                g.bc.assign(g.cells(), 1);
                g.T[g.at(p.first[0], p.first[1], p.first[2])] = first_zero;
                g.T[g.at(p.second[0], p.second[1], p.second[2])] = -first_zero;
                std::vector<double> history(3, kUnwritten);
                run(g, 1, history.data());
                const double zero_extreme = others < 0 ? history[1] : history[2];
                SCOPED_TRACE(std::to_string(p.first[2]) + (std::signbit(first_zero) ? " -0" : " +0") +
                             (others < 0 ? " max" : " min"));
                EXPECT_EQ(zero_extreme, 0.0);
                EXPECT_EQ(std::signbit(zero_extreme), std::signbit(first_zero));
            }
        }
    }
}

// One step only: afterwards the held faces of each x-plane no longer match
// its interior, and the field varies along the other axes too.
TEST_P(HeatKernel, VariationAlongAxisZeroIgnoresDyAndDzOnly) {
    auto run_with = [this](double dx, double dy, double dz) {
        OwnedGrid g(6, 5, 12);
        for (int i = 0; i < g.nx; ++i)
            for (int j = 0; j < g.ny; ++j)
                for (int k = 0; k < g.nz; ++k) g.T[g.at(i, j, k)] = 300.0 + 10.0 * i * i;
        g.dx = dx;
        g.dy = dy;
        g.dz = dz;
        run(g, 1);
        return g.T;
    };
    const std::vector<double> base = run_with(0.001, 0.001, 0.001);
    EXPECT_EQ(run_with(0.001, 0.001, 0.37), base);
    EXPECT_EQ(run_with(0.001, 0.02, 0.001), base);
    EXPECT_NE(run_with(0.002, 0.001, 0.001), base);
}

TEST_P(HeatKernel, ScratchAllocationFailureRunsNoStep) {
    OwnedGrid g = hot_centre();
    std::vector<double> history(3 * 4, kUnwritten);
    TcadSummary s;
    {
        FailingAllocationScope scope(AllocSite::scratch);
        s = run(g, 4, history.data(), 1, 1.0);
    }
    expect_summary(s, 0, -1, 0.0);
    EXPECT_EQ(g.T, hot_centre().T);
    for (double h : history) EXPECT_EQ(h, kUnwritten);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, HeatKernel, ::testing::ValuesIn(heat_kernel_paths()),
                         path_test_name<KernelFn>);

}  // namespace
}  // namespace tavro::testing
