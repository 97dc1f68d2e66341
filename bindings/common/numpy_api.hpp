// NumPy's C API, configured alike in every translation unit of a module.
// Built against NumPy 2.x headers, targeting the 1.23 API so the modules
// load under NumPy 1.23 or newer. Each module defines its own API table
// symbol (TAVRO_NUMPY_API_SYMBOL), so the two modules share nothing.
#pragma once

#include "python_api.hpp"

#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#endif
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL TAVRO_NUMPY_API_SYMBOL
#ifndef TAVRO_NUMPY_IMPORT_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tavro::py {

// Loads NumPy's C API; a missing or too old NumPy raises ImportError (the
// original error chained as its cause).
int import_numpy_api();

}  // namespace tavro::py
