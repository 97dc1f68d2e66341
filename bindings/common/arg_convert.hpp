// Conversion of bound argument objects to native scalars. Each returns false
// with the conversion's own Python exception set; nothing is parsed from text.
#pragma once

#include <cstdint>

#include "python_api.hpp"

namespace tavro::py {

// Exact floats directly; anything else through the interpreter's numeric
// float conversion (__float__, then __index__). str/bytes/None: TypeError;
// an int too large for a double: OverflowError.
inline bool to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    // What int.__float__ computes, without the intermediate float object.
    const double value = PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

// Integers as they are, floats truncated toward zero, other numbers through
// __int__ or __index__. Outside int32: OverflowError; NaN: ValueError;
// str, bytes and non-numbers: TypeError.
bool to_int32(PyObject* obj, std::int32_t* out);

// Integers only: int, bool and anything with __index__ (NumPy integers).
// Floats and other types: TypeError; outside int32: OverflowError.
bool to_int32_index(PyObject* obj, std::int32_t* out);

// The object's truth value; its __bool__/__len__ errors propagate.
inline bool to_truth(PyObject* obj, bool* out) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
}

}  // namespace tavro::py
