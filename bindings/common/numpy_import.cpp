#define TAVRO_NUMPY_IMPORT_UNIT
#include "numpy_api.hpp"

namespace tavro::py {

int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
    // NumPy reports an incompatible C API as RuntimeError; callers of an
    // import expect ImportError.
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "NumPy 1.23 or newer is required");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(cause));
    PyException_SetContext(error, cause);
    PyErr_SetRaisedException(error);
    return -1;
}

}  // namespace tavro::py
