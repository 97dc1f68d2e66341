// The module-level functions of _hxm_field_solver, one spec each.
#pragma once

#include "native_function.hpp"

namespace tavro::hxm {

extern const py::FunctionSpec kHxmSolve3d;
extern const py::FunctionSpec kQueryToK;

}  // namespace tavro::hxm
