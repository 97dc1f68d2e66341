// Arrhenius degradation factor and mean time to failure.
#include "arg_convert.hpp"
#include "functions.hpp"
#include "tavro/reliability_model.hpp"

namespace tavro::core {
namespace {

using py::DefaultValue;
using py::Param;
namespace model = reliability;

// Converts args[0..count) in order; the first failure stops the rest.
bool to_doubles(PyObject* const* args, double* out, int count) {
    for (int i = 0; i < count; ++i) {
        if (!py::to_double(args[i], &out[i])) return false;
    }
    return true;
}

PyObject* arrhenius_degradation(PyObject* const* args) {
    double v[5];  // T, t, A0, Ea, R
    if (!to_doubles(args, v, 5)) return nullptr;
    return PyFloat_FromDouble(model::arrhenius_degradation(v[0], v[1], v[2], v[3], v[4]));
}

PyObject* mttf(PyObject* const* args) {
    double v[3];  // T, Ea, R
    if (!to_doubles(args, v, 3)) return nullptr;
    return PyFloat_FromDouble(model::mttf(v[0], v[1], v[2]));
}

constexpr Param kArrheniusParams[] = {
    {"T"},
    {"t"},
    {"A0", DefaultValue::real(model::kDefaultPrefactor)},
    {"Ea", DefaultValue::real(model::kDefaultActivationEnergy)},
    {"R", DefaultValue::real(model::kBoltzmann)},
};
constexpr Param kMttfParams[] = {
    {"T"},
    {"Ea", DefaultValue::real(model::kDefaultActivationEnergy)},
    {"R", DefaultValue::real(model::kBoltzmann)},
};

}  // namespace

const py::FunctionSpec kArrheniusDegradation = {
    "arrhenius_degradation", "Arrhenius degradation with configurable Ea (activation energy in eV)",
    kArrheniusParams, 5, arrhenius_degradation};
const py::FunctionSpec kMttf = {"mttf", "Mean time to failure with configurable Ea", kMttfParams,
                                3, mttf};

}  // namespace tavro::core
