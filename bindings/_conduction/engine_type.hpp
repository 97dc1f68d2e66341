// The Engine type of tavro_kiln.chip._conduction.
#pragma once

#include "python_api.hpp"

namespace tavro::conduction_py {

int add_engine_type(PyObject* module);

}  // namespace tavro::conduction_py
