// tcad_solve_3d: binds the heat-diffusion kernel to NumPy inputs and results.
#pragma once

#include "python_api.hpp"

namespace tavro::core {

// args: the thirteen bound parameters of tcad_solve_3d, in order.
PyObject* tcad_solve_3d(PyObject* const* args);

}  // namespace tavro::core
