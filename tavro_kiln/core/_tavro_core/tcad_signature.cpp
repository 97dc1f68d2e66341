// Parameter table and docstring of tcad_solve_3d.
#include "functions.hpp"
#include "tcad_entry.hpp"

namespace tavro::core {
namespace {

using py::DefaultValue;
using py::Param;

constexpr Param kTcadParams[] = {
    {"T_init"},
    {"Q_heat", DefaultValue::none()},
    {"bc_type", DefaultValue::none()},
    {"k_thermal", DefaultValue::none()},
    {"cp", DefaultValue::none()},
    {"dx", DefaultValue::real(0.001)},
    {"dy", DefaultValue::real(0.001)},
    {"dz", DefaultValue::real(0.001)},
    {"dt", DefaultValue::real(1e-06)},
    {"iterations", DefaultValue::integer(100)},
    {"return_history", DefaultValue::boolean(false)},
    {"history_stride", DefaultValue::integer(1)},
    {"convergence_tol", DefaultValue::real(0.0)},
};

constexpr const char kTcadDoc[] =
    "\n"
    "    Solve 3D heat diffusion with optional per-cell k/Cp and early convergence.\n"
    "\n"
    "    Parameters:\n"
    "    -----------\n"
    "    T_init : 3D array, initial temperature\n"
    "    Q_heat : 3D array, heat source (optional)\n"
    "    bc_type : 3D int array, boundary condition (0=interior, 1=fixed, 2=insulated)\n"
    "    k_thermal : scalar or 3D array, thermal conductivity\n"
    "    cp : scalar or 3D array, specific heat\n"
    "    dx, dy, dz : grid spacing\n"
    "    dt : timestep\n"
    "    iterations : max iterations\n"
    "    return_history : track T_max/T_min\n"
    "    history_stride : record every N steps\n"
    "    convergence_tol : exit if max delta < tolerance (0 = no early exit)\n"
    "    ";

}  // namespace

const py::FunctionSpec kTcadSolve3d = {"tcad_solve_3d", kTcadDoc, kTcadParams, 13, tcad_solve_3d};

}  // namespace tavro::core
