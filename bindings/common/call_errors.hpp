// TypeError texts for bad calls, worded exactly as CPython words them for
// functions defined in Python.
#pragma once

#include "python_api.hpp"

namespace tavro::py {

void raise_too_many_positional(PyObject* qualname, Py_ssize_t param_count,
                               Py_ssize_t default_count, Py_ssize_t given);

// `missing` lists the parameter names (str) that received no value.
void raise_missing_positional(PyObject* qualname, PyObject* const* missing, Py_ssize_t count);

void raise_multiple_values(PyObject* qualname, PyObject* keyword);

// Adds CPython's "Did you mean ...?" hint when a parameter name is close.
void raise_unexpected_keyword(PyObject* qualname, PyObject* keyword, PyObject* const* names,
                              Py_ssize_t name_count);

// The parameter CPython would suggest for a mistyped keyword, or nullptr.
// Borrowed from `names`.
PyObject* suggest_keyword(PyObject* keyword, PyObject* const* names, Py_ssize_t name_count);

}  // namespace tavro::py
