// tavro_kiln.chip._conduction: the chip workflow's conduction engine.
#include "engine_type.hpp"
#include "module_setup.hpp"

namespace tavro::conduction_py {
namespace {

int exec_module(PyObject* module) {
    if (py::prepare_numpy_module(module) < 0) return -1;
    return add_engine_type(module);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_conduction",
    "Steady and implicit transient heat conduction on layered tensor-product grids.",
    0,
    nullptr,
    py::module_slots<exec_module>(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tavro::conduction_py

PyMODINIT_FUNC PyInit__conduction() { return PyModuleDef_Init(&tavro::conduction_py::module_def); }
