#include "tcad_inputs.hpp"

#include <algorithm>
#include <climits>

#include "arg_convert.hpp"
#include "flat_copy.hpp"

namespace tavro::core {
namespace {

bool raise_index_out_of_range() {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return false;
}

bool to_extent(npy_intp value, std::int32_t* out) {
    if (value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<std::int32_t>(value);
    return true;
}

bool read_extents_of_ndarray(PyArrayObject* array, std::int32_t extents[3]) {
    if (PyArray_NDIM(array) < 3) return raise_index_out_of_range();
    for (int axis = 0; axis < 3; ++axis) {
        if (!to_extent(PyArray_DIM(array, axis), &extents[axis])) return false;
    }
    return true;
}

bool read_extents_of_object(PyObject* obj, std::int32_t extents[3]) {
    PyObject* shape = PyObject_GetAttrString(obj, "shape");
    if (shape == nullptr) return false;
    bool ok = true;
    for (int axis = 0; ok && axis < 3; ++axis) {
        PyObject* index = PyLong_FromLong(axis);
        PyObject* entry = index != nullptr ? PyObject_GetItem(shape, index) : nullptr;
        ok = entry != nullptr && py::to_int32(entry, &extents[axis]);
        Py_XDECREF(entry);
        Py_XDECREF(index);
    }
    Py_DECREF(shape);
    return ok;
}

}  // namespace

bool read_grid_extents(PyObject* T_init, GridExtents* out) {
    std::int32_t extents[3] = {0, 0, 0};
    const bool ok = PyArray_CheckExact(T_init)
                        ? read_extents_of_ndarray(reinterpret_cast<PyArrayObject*>(T_init), extents)
                        : read_extents_of_object(T_init, extents);
    if (!ok) return false;
    if (extents[0] < 0 || extents[1] < 0 || extents[2] < 0) {
        PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
        return false;
    }
    const std::int64_t plane = std::int64_t{extents[0]} * extents[1];
    const std::int64_t cells = plane > INT32_MAX ? plane : plane * extents[2];
    if (cells > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "grid of %d x %d x %d cells exceeds the limit of 2147483647 cells",
                     extents[0], extents[1], extents[2]);
        return false;
    }
    *out = {extents[0], extents[1], extents[2], cells};
    return true;
}

bool MaterialInput::resolve(PyObject* value, double fallback) {
    if (value == Py_None) {
        constant_ = fallback;
        return true;
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) return py::to_double(value, &constant_);
    // np.asarray(value, dtype=np.float64): a base-class array, any cast allowed.
    array_ = PyArray_FromAny(value, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                             NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST, nullptr);
    if (array_ == nullptr) return false;
    const int ndim = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array_));
    if (ndim != 3) {
        PyErr_Format(PyExc_ValueError, "array has incorrect number of dimensions: %d; expected 3",
                     ndim);
        return false;
    }
    return true;
}

namespace {

// One float64 destination fed from an array-like read through `flat`.
struct FloatField {
    PyObject* source;
    double* out;
};

}  // namespace

bool fill_grid_cells(const TcadSources& sources, double* T, double* k, double* cp, double* Q,
                     std::int32_t* bc, npy_intp cells) {
    if (cells == 0) return true;
    if (sources.k->array() == nullptr) std::fill(k, k + cells, sources.k->constant());
    if (sources.cp->array() == nullptr) std::fill(cp, cp + cells, sources.cp->constant());
    if (sources.Q_heat == Py_None) std::fill(Q, Q + cells, 0.0);
    if (sources.bc_type == Py_None) std::fill(bc, bc + cells, 0);

    // Arrays go in bulk where that is value- and error-exact. The rest is read
    // element by element below, cell by cell and field by field in the
    // specified order, so the first failure is the one a purely per-element
    // copy would meet (bulk copies cannot fail on values).
    const FloatField float_fields[] = {
        {sources.T_init, T},
        {sources.k->array(), k},
        {sources.cp->array(), cp},
        {sources.Q_heat == Py_None ? nullptr : sources.Q_heat, Q},
    };
    constexpr int kFloatFields = 4;
    FloatField per_element[kFloatFields];
    py::FlatReader readers[kFloatFields];
    int per_element_count = 0;
    for (const FloatField& field : float_fields) {
        if (field.source == nullptr) continue;
        if (py::can_bulk_copy_doubles(field.source, cells)) {
            if (!py::bulk_copy_doubles(field.source, field.out, cells)) return false;
        } else {
            readers[per_element_count].attach(field.source);
            per_element[per_element_count++] = field;
        }
    }

    bool bc_per_element = false;
    if (sources.bc_type != Py_None) {
        bc_per_element = true;
        if (py::can_bulk_copy_int32(sources.bc_type, cells)) {
            const py::BulkResult result = py::bulk_copy_int32(sources.bc_type, bc, cells);
            if (result == py::BulkResult::error) return false;
            bc_per_element = result == py::BulkResult::needs_element_path;
        }
    }
    if (per_element_count == 0 && !bc_per_element) return true;

    py::FlatReader bc_reader(sources.bc_type);
    for (npy_intp c = 0; c < cells; ++c) {
        for (int f = 0; f < per_element_count; ++f) {
            if (!readers[f].read_double(c, &per_element[f].out[c])) return false;
        }
        if (bc_per_element && !bc_reader.read_int32(c, &bc[c])) return false;
    }
    return true;
}

}  // namespace tavro::core
