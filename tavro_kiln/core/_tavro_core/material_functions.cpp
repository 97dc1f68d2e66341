// Silicon property functions and the fixed 300 K property table.
#include "arg_convert.hpp"
#include "functions.hpp"
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

int set_float(PyObject* dict, const char* key, double value) {
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr) return -1;
    const int status = PyDict_SetItemString(dict, key, number);
    Py_DECREF(number);
    return status;
}

PyObject* get_material_properties(PyObject* const*) {
    const double T = silicon::kReferenceTemperature;
    const double k = silicon::conductivity(T);
    const double cp = silicon::specific_heat(T);
    PyObject* table = PyDict_New();
    if (table == nullptr) return nullptr;
    PyObject* name = PyUnicode_FromString("Silicon");
    const bool ok = name != nullptr && PyDict_SetItemString(table, "name", name) == 0 &&
                    set_float(table, "density", silicon::kDensity) == 0 &&
                    set_float(table, "thermal_conductivity", k) == 0 &&
                    set_float(table, "specific_heat", cp) == 0 &&
                    set_float(table, "thermal_diffusivity",
                              silicon::diffusivity(k, cp, silicon::kDensity)) == 0 &&
                    set_float(table, "bandgap_300K", silicon::kBandgap300K) == 0 &&
                    set_float(table, "bandgap_0K", silicon::kBandgap0K) == 0;
    Py_XDECREF(name);
    if (!ok) Py_CLEAR(table);
    return table;
}

constexpr Param kTemperatureOnly[] = {{"T"}};
constexpr Param kDiffusivityParams[] = {{"T"}, {"rho", DefaultValue::real(silicon::kDensity)}};

}  // namespace

const py::FunctionSpec kThermalConductivity = {"thermal_conductivity", nullptr, kTemperatureOnly, 1,
                                               thermal_conductivity};
const py::FunctionSpec kSpecificHeat = {"specific_heat", nullptr, kTemperatureOnly, 1,
                                        specific_heat};
const py::FunctionSpec kThermalDiffusivity = {"thermal_diffusivity", nullptr, kDiffusivityParams, 2,
                                              thermal_diffusivity};
const py::FunctionSpec kGetMaterialProperties = {"get_material_properties", nullptr, nullptr, 0,
                                                 get_material_properties};

}  // namespace tavro::core
