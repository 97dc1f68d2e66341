// tcad_solve_3d's parameters: their positions in the bound argument array,
// beside the table that declares them, and its docstring.
#pragma once

#include <iterator>

#include "native_function.hpp"

namespace tavro::core {

enum HeatArg {
    kTInit, kQHeat, kBcType, kKThermal, kCp, kDx, kDy, kDz, kDt,
    kIterations, kReturnHistory, kHistoryStride, kConvergenceTol,
    kHeatArgCount,
};

inline constexpr py::Param kHeatParams[] = {
    {"T_init"},
    {"Q_heat", py::DefaultValue::none()},
    {"bc_type", py::DefaultValue::none()},
    {"k_thermal", py::DefaultValue::none()},
    {"cp", py::DefaultValue::none()},
    {"dx", py::DefaultValue::real(0.001)},
    {"dy", py::DefaultValue::real(0.001)},
    {"dz", py::DefaultValue::real(0.001)},
    {"dt", py::DefaultValue::real(1e-06)},
    {"iterations", py::DefaultValue::integer(100)},
    {"return_history", py::DefaultValue::boolean(false)},
    {"history_stride", py::DefaultValue::integer(1)},
    {"convergence_tol", py::DefaultValue::real(0.0)},
};
static_assert(std::size(kHeatParams) == kHeatArgCount, "one table entry per HeatArg");

inline constexpr const char kHeatDoc[] =
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

}  // namespace tavro::core
