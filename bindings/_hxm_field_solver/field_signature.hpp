// hxm_solve_3d's parameters: their positions in the bound argument array,
// beside the table that declares them, and its docstring.
#pragma once

#include <iterator>

#include "native_function.hpp"

namespace tavro::hxm {

enum FieldArg {
    kPsiInit, kTauInit, kPhiExt, kBcType, kKScale, kDx, kDy, kDz, kDt,
    kIterations, kReturnHistory, kHistoryStride, kConvergenceTol,
    kFieldArgCount,
};

inline constexpr py::Param kFieldParams[] = {
    {"psi_init"},
    {"tau_init"},
    {"phi_ext", py::DefaultValue::none()},
    {"bc_type", py::DefaultValue::none()},
    {"k_scale", py::DefaultValue::real(66.0)},
    {"dx", py::DefaultValue::real(1.192e-15)},
    {"dy", py::DefaultValue::real(1.192e-15)},
    {"dz", py::DefaultValue::real(1.192e-15)},
    {"dt", py::DefaultValue::real(3.977e-24)},
    {"iterations", py::DefaultValue::integer(500)},
    {"return_history", py::DefaultValue::boolean(false)},
    {"history_stride", py::DefaultValue::integer(10)},
    {"convergence_tol", py::DefaultValue::real(1e-08)},
};
static_assert(std::size(kFieldParams) == kFieldArgCount, "one table entry per FieldArg");

inline constexpr const char kFieldDoc[] =
    "\n"
    "    Solve the HXM \u03c8-\u03c4 coupled field equations.\n"
    "    Returns (psi_final, tau_final, history_dict_or_None).\n"
    "    ";

}  // namespace tavro::hxm
