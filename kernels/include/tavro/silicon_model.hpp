// Closed-form silicon property fits around 300 K. The operations are written
// in the exact order that fixes their rounding; do not "simplify" them.
#pragma once

#include "tavro/libm.hpp"

namespace tavro::silicon {

inline constexpr double kReferenceTemperature = 300.0;
inline constexpr double kDensity = 2329.0;
inline constexpr double kBandgap300K = 1.166;
inline constexpr double kBandgap0K = 1.206;

// 148 * (1 - 0.0005 * (T - 300)).
inline double conductivity(double T) {
    double u = (T - kReferenceTemperature) * -0.0005;
    u = u + 1.0;
    return u * 148.0;
}

// 710 + 0.001 * (T - 300)^2, the square taken by libm's pow.
inline double specific_heat(double T) {
    const double d = T - kReferenceTemperature;
    return libm_pow(d, 2.0) * 0.001 + 710.0;
}

// k / (cp * rho); a non-positive density gives 0.0 (NaN passes the test).
inline double diffusivity(double k, double cp, double rho) {
    if (rho <= 0.0) return 0.0;
    return k / (cp * rho);
}

}  // namespace tavro::silicon
