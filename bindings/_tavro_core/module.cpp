// tavro_kiln.core._tavro_core: silicon property and reliability models and
// the 3-D heat-diffusion solver.
#include <iterator>

#include "functions.hpp"
#include "module_setup.hpp"

namespace tavro::core {
namespace {

// Binding order is part of the module's surface.
const py::FunctionSpec* const kFunctions[] = {
    &kThermalConductivity, &kSpecificHeat, &kThermalDiffusivity, &kArrheniusDegradation,
    &kMttf,                &kTcadSolve3d,  &kGetMaterialProperties,
};

int exec_module(PyObject* module) {
    if (py::prepare_numpy_module(module) < 0) return -1;
    return py::add_native_functions(module, kFunctions, std::size(kFunctions));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tavro_core",
    nullptr,  // no module docstring
    0,
    nullptr,
    py::module_slots<exec_module>(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tavro::core

PyMODINIT_FUNC PyInit__tavro_core() { return PyModuleDef_Init(&tavro::core::module_def); }
