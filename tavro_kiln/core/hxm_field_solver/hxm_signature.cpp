// Parameter table and docstring of hxm_solve_3d.
#include "functions.hpp"
#include "hxm_entry.hpp"

namespace tavro::hxm {
namespace {

using py::DefaultValue;
using py::Param;

constexpr Param kHxmParams[] = {
    {"psi_init"},
    {"tau_init"},
    {"phi_ext", DefaultValue::none()},
    {"bc_type", DefaultValue::none()},
    {"k_scale", DefaultValue::real(66.0)},
    {"dx", DefaultValue::real(1.192e-15)},
    {"dy", DefaultValue::real(1.192e-15)},
    {"dz", DefaultValue::real(1.192e-15)},
    {"dt", DefaultValue::real(3.977e-24)},
    {"iterations", DefaultValue::integer(500)},
    {"return_history", DefaultValue::boolean(false)},
    {"history_stride", DefaultValue::integer(10)},
    {"convergence_tol", DefaultValue::real(1e-08)},
};

constexpr const char kHxmDoc[] =
    "\n"
    "    Solve the HXM \u03c8-\u03c4 coupled field equations.\n"
    "    Returns (psi_final, tau_final, history_dict_or_None).\n"
    "    ";

}  // namespace

const py::FunctionSpec kHxmSolve3d = {"hxm_solve_3d", kHxmDoc, kHxmParams, 13, hxm_solve_3d};

}  // namespace tavro::hxm
