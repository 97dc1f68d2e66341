#include "tavro/libm.hpp"

#include <cmath>

namespace tavro {

double libm_pow(double x, double y) noexcept { return std::pow(x, y); }
double libm_exp(double x) noexcept { return std::exp(x); }
double libm_log(double x) noexcept { return std::log(x); }

}  // namespace tavro
