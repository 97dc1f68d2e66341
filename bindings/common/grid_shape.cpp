#include "grid_shape.hpp"

#include <climits>

#include "arg_convert.hpp"
#include "py_ref.hpp"

namespace tavro::py {
namespace {

bool extents_of_ndarray(PyArrayObject* array, std::int32_t extents[3]) {
    if (PyArray_NDIM(array) < 3) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    for (int axis = 0; axis < 3; ++axis) {
        const npy_intp extent = PyArray_DIM(array, axis);
        if (extent > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
            return false;
        }
        extents[axis] = static_cast<std::int32_t>(extent);
    }
    return true;
}

bool extents_of_object(PyObject* obj, std::int32_t extents[3]) {
    const PyRef shape = PyRef::steal(PyObject_GetAttrString(obj, "shape"));
    if (!shape) return false;
    for (int axis = 0; axis < 3; ++axis) {
        const PyRef index = PyRef::steal(PyLong_FromLong(axis));
        if (!index) return false;
        const PyRef entry = PyRef::steal(PyObject_GetItem(shape.get(), index.get()));
        if (!entry || !to_int32(entry.get(), &extents[axis])) return false;
    }
    return true;
}

}  // namespace

bool read_grid_shape(PyObject* obj, GridShape* out) {
    std::int32_t extents[3] = {0, 0, 0};
    const bool ok = PyArray_CheckExact(obj)
                        ? extents_of_ndarray(reinterpret_cast<PyArrayObject*>(obj), extents)
                        : extents_of_object(obj, extents);
    if (!ok) return false;
    if (extents[0] < 0 || extents[1] < 0 || extents[2] < 0) {
        PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
        return false;
    }
    // A zero extent anywhere leaves no cells, however large the others.
    const bool empty = extents[0] == 0 || extents[1] == 0 || extents[2] == 0;
    const std::int64_t plane = std::int64_t{extents[0]} * extents[1];
    const std::int64_t cells = empty ? 0 : plane > INT32_MAX ? plane : plane * extents[2];
    if (cells > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "grid of %d x %d x %d cells exceeds the limit of 2147483647 cells",
                     extents[0], extents[1], extents[2]);
        return false;
    }
    *out = {extents[0], extents[1], extents[2], cells};
    return true;
}

}  // namespace tavro::py
