// Arrhenius reliability figures. A non-positive thermal energy R*T gives a
// fixed answer instead of a division; NaN passes that test and propagates.
#pragma once

#include "tavro/libm.hpp"

namespace tavro::reliability {

inline constexpr double kDefaultActivationEnergy = 0.4;  // eV
inline constexpr double kBoltzmann = 8.617e-05;          // eV/K
inline constexpr double kDefaultPrefactor = 1.0;
inline constexpr double kFallbackTimeToFailure = 1e10;

// A0 * exp(-Ea * t / (R * T)): the time scales the exponent.
inline double arrhenius_degradation(double T, double t, double A0, double Ea, double R) {
    const double p = R * T;
    if (p <= 0.0) return A0;
    double x = (-Ea) / p;
    x = x * t;
    return A0 * libm_exp(x);
}

// exp(Ea / (R * T)), relative to an unspecified time unit.
inline double mttf(double T, double Ea, double R) {
    const double p = R * T;
    if (p <= 0.0) return kFallbackTimeToFailure;
    return libm_exp(Ea / p);
}

}  // namespace tavro::reliability
