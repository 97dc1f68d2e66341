// Steps every extension module of the package takes at import.
#pragma once

#include "python_api.hpp"

namespace tavro::py {

// Loads NumPy's C API, readies the native function type and binds `np`.
int prepare_numpy_module(PyObject* module);

// The slots every module of the package declares, around its exec function.
template <int (*Exec)(PyObject*)>
PyModuleDef_Slot* module_slots() {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(Exec)},
        // NumPy's C API table is process-wide, so one interpreter only.
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        // No mutable module state: safe without the GIL.
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
        {0, nullptr},
    };
    return slots;
}

}  // namespace tavro::py
