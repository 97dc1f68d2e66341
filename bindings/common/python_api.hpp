// One place that includes Python.h, so every translation unit sees the same
// configuration (Py_ssize_t-clean argument parsing, limited nothing).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
