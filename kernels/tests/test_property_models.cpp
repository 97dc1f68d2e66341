// Silicon property fits and reliability models, checked to the last bit
// without Python.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tavro/reliability_model.hpp"
#include "tavro/silicon_model.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

::testing::AssertionResult SameBits(double actual, double expected) {
    if (std::isnan(expected) ? std::isnan(actual)
                             : std::memcmp(&actual, &expected, sizeof(double)) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << actual << " differs from " << expected;
}

struct Case {
    double input;
    double expected;
};

TEST(SiliconModel, ConductivityFollowsItsOperationOrder) {
    const Case cases[] = {{300.0, 148.0}, {0.0, 170.2}, {400.0, 140.6},
                          {1000.0, 96.19999999999999}, {2300.0, 0.0},
                          {2500.0, -14.800000000000013}, {-300.0, 192.4},
                          {kInf, -kInf}, {-kInf, kInf}, {kNaN, kNaN}};
    for (const Case& c : cases) {
        EXPECT_TRUE(SameBits(tavro::silicon::conductivity(c.input), c.expected)) << c.input;
    }
}

TEST(SiliconModel, SpecificHeat) {
    const Case cases[] = {{300.0, 710.0}, {0.0, 800.0}, {600.0, 800.0}, {200.0, 720.0},
                          {400.0, 720.0}, {77.0, 759.729}, {kInf, kInf}, {-kInf, kInf}};
    for (const Case& c : cases) {
        EXPECT_TRUE(SameBits(tavro::silicon::specific_heat(c.input), c.expected)) << c.input;
    }
}

TEST(SiliconModel, DiffusivityGuardsNonPositiveDensity) {
    using tavro::silicon::diffusivity;
    EXPECT_TRUE(SameBits(diffusivity(148.0, 710.0, 2329.0), 8.950223453213916e-05));
    EXPECT_TRUE(SameBits(diffusivity(148.0, 710.0, 0.0), 0.0));
    EXPECT_TRUE(SameBits(diffusivity(148.0, 710.0, -0.0), 0.0));
    EXPECT_TRUE(SameBits(diffusivity(148.0, 710.0, -1.0), 0.0));
    EXPECT_TRUE(std::isnan(diffusivity(148.0, 710.0, kNaN)));
    EXPECT_TRUE(SameBits(diffusivity(148.0, 710.0, 1e3), 0.0002084507042253521));
}

TEST(ReliabilityModel, GuardsReturnFixedAnswers) {
    using namespace tavro::reliability;
    EXPECT_EQ(mttf(0.0, 0.4, kBoltzmann), 1e10);
    EXPECT_EQ(mttf(-300.0, 0.4, kBoltzmann), 1e10);
    EXPECT_EQ(mttf(300.0, 0.4, 0.0), 1e10);
    EXPECT_EQ(arrhenius_degradation(0.0, 5.0, 2.5, 0.4, kBoltzmann), 2.5);
    EXPECT_EQ(arrhenius_degradation(300.0, 5.0, 2.5, kNaN, -1.0), 2.5);
    EXPECT_TRUE(std::isnan(mttf(kNaN, 0.4, kBoltzmann)));
    EXPECT_TRUE(std::isnan(arrhenius_degradation(300.0, 1.0, 1.0, 0.4, kNaN)));
}

TEST(ReliabilityModel, ExponentArithmetic) {
    using namespace tavro::reliability;
    const double p = kBoltzmann * 300.0;
    EXPECT_TRUE(SameBits(mttf(300.0, 0.4, kBoltzmann), std::exp(0.4 / p)));
    EXPECT_TRUE(SameBits(arrhenius_degradation(300.0, 2.0, 3.0, 0.4, kBoltzmann),
                         3.0 * std::exp(((-0.4) / p) * 2.0)));
    EXPECT_EQ(arrhenius_degradation(300.0, 0.0, 1.0, 0.4, kBoltzmann), 1.0);
    EXPECT_EQ(arrhenius_degradation(300.0, 1e6, 1.0, 0.4, kBoltzmann), 0.0);
    EXPECT_EQ(mttf(1.0, 0.4, kBoltzmann), kInf);
    EXPECT_TRUE(std::isnan(arrhenius_degradation(1.0, -1.0, 0.0, 0.4, kBoltzmann)));
}

}  // namespace
