#include "module_setup.hpp"

#include "native_function.hpp"
#include "numpy_api.hpp"

namespace tavro::py {

int prepare_numpy_module(PyObject* module) {
    if (import_numpy_api() < 0) return -1;
    if (ready_native_function_type() < 0) return -1;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    return PyModule_Add(module, "np", numpy);
}

}  // namespace tavro::py
