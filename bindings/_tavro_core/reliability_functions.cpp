// Arrhenius degradation factor and mean time to failure.
#include <cstddef>
#include <iterator>

#include "arg_convert.hpp"
#include "functions.hpp"
#include "tavro/reliability_model.hpp"

namespace tavro::core {
namespace {

using py::DefaultValue;
using py::Param;
namespace model = reliability;

// Converts args[0..N) in order; the first failure stops the rest.
template <std::size_t N>
bool to_doubles(PyObject* const* args, double (&out)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!py::to_double(args[i], &out[i])) return false;
    }
    return true;
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

PyObject* arrhenius_degradation(PyObject* const* args) {
    double v[std::size(kArrheniusParams)];  // T, t, A0, Ea, R
    if (!to_doubles(args, v)) return nullptr;
    return PyFloat_FromDouble(model::arrhenius_degradation(v[0], v[1], v[2], v[3], v[4]));
}

PyObject* mttf(PyObject* const* args) {
    double v[std::size(kMttfParams)];  // T, Ea, R
    if (!to_doubles(args, v)) return nullptr;
    return PyFloat_FromDouble(model::mttf(v[0], v[1], v[2]));
}

}  // namespace

const py::FunctionSpec kArrheniusDegradation = py::function_spec(
    "arrhenius_degradation", "Arrhenius degradation with configurable Ea (activation energy in eV)",
    kArrheniusParams, arrhenius_degradation);
const py::FunctionSpec kMttf =
    py::function_spec("mttf", "Mean time to failure with configurable Ea", kMttfParams, mttf);

}  // namespace tavro::core
