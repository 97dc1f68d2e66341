// Silicon property functions and the fixed 300 K property table.
#include "arg_convert.hpp"
#include "functions.hpp"
#include "result_arrays.hpp"
#include "tavro/silicon_model.hpp"

namespace tavro::core {
namespace {

using py::DefaultValue;
using py::Param;

PyObject* thermal_conductivity(PyObject* const* args) {
    double T;
    if (!py::to_double(args[0], &T)) return nullptr;
    return PyFloat_FromDouble(silicon::conductivity(T));
}

PyObject* specific_heat(PyObject* const* args) {
    double T;
    if (!py::to_double(args[0], &T)) return nullptr;
    return PyFloat_FromDouble(silicon::specific_heat(T));
}

PyObject* thermal_diffusivity(PyObject* const* args) {
    double T, rho;
    if (!py::to_double(args[0], &T) || !py::to_double(args[1], &rho)) return nullptr;
    const double k = silicon::conductivity(T);
    const double cp = silicon::specific_heat(T);
    return PyFloat_FromDouble(silicon::diffusivity(k, cp, rho));
}

PyObject* get_material_properties(PyObject* const*) {
    const double T = silicon::kReferenceTemperature;
    const double k = silicon::conductivity(T);
    const double cp = silicon::specific_heat(T);
    py::PyRef table = py::PyRef::steal(PyDict_New());
    if (!table) return nullptr;
    PyObject* t = table.get();
    const bool ok =
        py::set_item(t, "name", py::PyRef::steal(PyUnicode_FromString("Silicon"))) &&
        py::set_float(t, "density", silicon::kDensity) &&
        py::set_float(t, "thermal_conductivity", k) && py::set_float(t, "specific_heat", cp) &&
        py::set_float(t, "thermal_diffusivity", silicon::diffusivity(k, cp, silicon::kDensity)) &&
        py::set_float(t, "bandgap_300K", silicon::kBandgap300K) &&
        py::set_float(t, "bandgap_0K", silicon::kBandgap0K);
    return ok ? table.release() : nullptr;
}

constexpr Param kTemperatureOnly[] = {{"T"}};
constexpr Param kDiffusivityParams[] = {{"T"}, {"rho", DefaultValue::real(silicon::kDensity)}};

}  // namespace

const py::FunctionSpec kThermalConductivity =
    py::function_spec("thermal_conductivity", nullptr, kTemperatureOnly, thermal_conductivity);
const py::FunctionSpec kSpecificHeat =
    py::function_spec("specific_heat", nullptr, kTemperatureOnly, specific_heat);
const py::FunctionSpec kThermalDiffusivity =
    py::function_spec("thermal_diffusivity", nullptr, kDiffusivityParams, thermal_diffusivity);
const py::FunctionSpec kGetMaterialProperties =
    py::function_spec("get_material_properties", nullptr, get_material_properties);

}  // namespace tavro::core
