#include "heat_inputs.hpp"

#include "arg_convert.hpp"
#include "flat_copy.hpp"

namespace tavro::core {

bool MaterialInput::is_one_value(PyObject* value) {
    return value == Py_None || PyLong_Check(value) || PyFloat_Check(value);
}

bool MaterialInput::resolve(PyObject* value, double fallback) {
    if (value == Py_None) {
        constant_ = fallback;
        return true;
    }
    if (is_one_value(value)) return py::to_double(value, &constant_);
    array_ = py::as_float64_array(value);
    if (!array_) return false;
    const int ndim = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array_.get()));
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

bool fill_grid_cells(const HeatSources& sources, const HeatTargets& targets, npy_intp cells) {
    if (cells == 0) return true;

    // Arrays go in bulk where that is value- and error-exact. The rest is read
    // element by element below, cell by cell and field by field in the
    // specified order, so the first failure is the one a purely per-element
    // copy would meet (bulk copies cannot fail on values).
    const FloatField float_fields[] = {
        {sources.T_init, targets.T},
        {sources.k->array(), targets.k},
        {sources.cp->array(), targets.cp},
        {sources.Q_heat == Py_None ? nullptr : sources.Q_heat, targets.Q},
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
            const py::BulkResult result = py::bulk_copy_int32(sources.bc_type, targets.bc, cells);
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
        if (bc_per_element && !bc_reader.read_int32(c, &targets.bc[c])) return false;
    }
    return true;
}

}  // namespace tavro::core
