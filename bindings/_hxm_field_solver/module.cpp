// tavro_kiln.core._hxm_field_solver: the coupled psi-tau field solver and
// the text-query-to-k-scale mapping.
#include <iterator>

#include "functions.hpp"
#include "module_setup.hpp"

namespace tavro::hxm {
namespace {

const py::FunctionSpec* const kFunctions[] = {&kHxmSolve3d, &kQueryToK};

constexpr const char kModuleDoc[] =
    "\n"
    "HXM COUPLED FIELD SOLVER v1.1  (dimensionless, numerically stable)\n"
    "Solves the ORBEX \u03c8-\u03c4 field equations anchored at k=66.\n"
    "\n"
    "Key design: all computation in DIMENSIONLESS units (\u03c8' = \u03c8/P_k) so\n"
    "parameters that span 150 orders of magnitude never appear as raw floats\n"
    "in arithmetic \u2014 only as O(1) ratios. Damped gradient descent (not explicit\n"
    "Euler) gives unconditional stability at any k-scale.\n";

int exec_module(PyObject* module) {
    if (py::prepare_numpy_module(module) < 0) return -1;
    return py::add_native_functions(module, kFunctions, std::size(kFunctions));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_hxm_field_solver",
    kModuleDoc,
    0,
    nullptr,
    py::module_slots<exec_module>(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tavro::hxm

PyMODINIT_FUNC PyInit__hxm_field_solver() { return PyModuleDef_Init(&tavro::hxm::module_def); }
