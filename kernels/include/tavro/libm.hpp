// The platform's libm, called as such. Defined out of line so the compiler
// cannot fold a call with a constant operand (pow(x, 2.0) into x * x) and
// results follow the library the platform ships.
#pragma once

namespace tavro {

double libm_pow(double x, double y) noexcept;
double libm_exp(double x) noexcept;
double libm_log(double x) noexcept;

}  // namespace tavro
