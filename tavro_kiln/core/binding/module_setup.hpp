// Steps every extension module of the package takes at import.
#pragma once

#include "python_api.hpp"

namespace tavro::py {

// Loads NumPy's C API, readies the native function type and binds `np`.
int prepare_numpy_module(PyObject* module);

}  // namespace tavro::py
