#include "arg_convert.hpp"

#include <cmath>
#include <limits>

#include "py_ref.hpp"

namespace tavro::py {
namespace {

bool raise_int32_overflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return false;
}

bool long_to_int32(PyObject* value, std::int32_t* out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        return raise_int32_overflow();
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool float_to_int32(double value, std::int32_t* out) {
    if (std::isnan(value)) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        return false;
    }
    if (std::isinf(value)) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        return false;
    }
    const double truncated = std::trunc(value);
    if (truncated < -2147483648.0 || truncated > 2147483647.0) return raise_int32_overflow();
    *out = static_cast<std::int32_t>(truncated);
    return true;
}

}  // namespace

bool to_int32(PyObject* obj, std::int32_t* out) {
    if (PyLong_Check(obj)) return long_to_int32(obj, out);
    if (PyFloat_Check(obj)) return float_to_int32(PyFloat_AS_DOUBLE(obj), out);
    // int() would parse text; a numeric parameter must not.
    const PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    const bool numeric = number != nullptr && (number->nb_int != nullptr || number->nb_index != nullptr);
    if (!numeric || PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    const PyRef as_int = PyRef::steal(PyNumber_Long(obj));
    return as_int && long_to_int32(as_int.get(), out);
}

bool to_int32_index(PyObject* obj, std::int32_t* out) {
    if (PyLong_Check(obj)) return long_to_int32(obj, out);
    const PyRef as_int = PyRef::steal(PyNumber_Index(obj));
    return as_int && long_to_int32(as_int.get(), out);
}

}  // namespace tavro::py
