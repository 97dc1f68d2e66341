// Constants of the coupled field update, shared by both field kernels.
#pragma once

namespace tavro::detail {

// 1e-104 / 6 rounded to double: the cubic coupling coefficient.
inline constexpr double kCubicCoupling = 1.6666666666666665e-105;
// Lower bound of a free cell's tau after a sweep, and the bound below which
// (NaN included) the logarithmic coupling is replaced by tau itself.
inline constexpr double kTauFloor = 1e-9;
inline constexpr double kFlooredDenominator = 1.000000001;

}  // namespace tavro::detail
