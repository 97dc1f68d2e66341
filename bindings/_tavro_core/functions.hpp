// The module-level functions of _tavro_core, one spec each.
#pragma once

#include "native_function.hpp"

namespace tavro::core {

extern const py::FunctionSpec kThermalConductivity;
extern const py::FunctionSpec kSpecificHeat;
extern const py::FunctionSpec kThermalDiffusivity;
extern const py::FunctionSpec kGetMaterialProperties;
extern const py::FunctionSpec kArrheniusDegradation;
extern const py::FunctionSpec kMttf;
extern const py::FunctionSpec kTcadSolve3d;

}  // namespace tavro::core
