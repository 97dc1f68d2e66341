#include "module_setup.hpp"

#include "native_function.hpp"
#include "numpy_api.hpp"
#include "tavro/simd_isa.hpp"

namespace tavro::py {

int prepare_numpy_module(PyObject* module) {
    // The cap is a debugging knob; a misspelt one would silently test the
    // wrong path.
    if (const char* cap = unknown_isa_cap()) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "TAVRO_KILN_MAX_ISA='%s' names no instruction set (avx512, avx2, "
                             "neon, scalar); it is ignored",
                             cap) < 0) {
            return -1;
        }
    }
    if (import_numpy_api() < 0) return -1;
    if (ready_native_function_type() < 0) return -1;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    return PyModule_Add(module, "np", numpy);
}

}  // namespace tavro::py
