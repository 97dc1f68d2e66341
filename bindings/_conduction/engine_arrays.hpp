// Arrays the engine object reads from Python: each argument as a C-ordered
// NumPy array of one dtype and the expected size, or a Python error.
#pragma once

#include <cstddef>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tavro::conduction_py {

// numpy.ascontiguousarray(obj, dtype) with exactly `count` elements (any
// shape); TypeError/ValueError naming `what` otherwise. count < 0: any size.
py::PyRef contiguous(PyObject* obj, int dtype, npy_intp count, const char* what);

// A writable float64 C-ordered array of exactly `count` elements, used in
// place (the field a solve updates).
bool is_field(PyObject* obj, npy_intp count);

}  // namespace tavro::conduction_py
