// hxm_solve_3d: binds the coupled field kernel to NumPy inputs and results.
#pragma once

#include "python_api.hpp"

namespace tavro::hxm {

// args: the thirteen bound parameters of hxm_solve_3d, in order.
PyObject* hxm_solve_3d(PyObject* const* args);

}  // namespace tavro::hxm
