// Building result arrays and dicts from native buffers.
#pragma once

#include <cstdint>

#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "tavro/allocation.hpp"

namespace tavro::py {

// A new float64 array holding `count` leading values; the rest are zero.
// The zeros come lazily from calloc, so a large tail costs nothing.
PyRef new_float64_array(int ndim, const npy_intp* dims, const double* values, npy_intp count);

// A new float64 array of shape dims whose every element the caller will
// write. Empty when it cannot be had: with NumPy's exception, or with none
// when the test hook fails `site` (see native_buffer.hpp).
PyRef new_result_grid(const npy_intp dims[3], AllocSite site);

// After a failed allocation: MemoryError(message), unless NumPy refused the
// shape itself (a ValueError it raises for shapes too large to describe,
// however few their elements), which passes through. Returns nullptr.
PyObject* raise_allocation_failure(const char* message);

inline double* grid_data(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// array[start::step]
PyRef strided_view(PyObject* array, Py_ssize_t start, Py_ssize_t step);

// dict[key] = value; false when value is empty (its creation failed) or the
// insertion fails, with the exception set.
bool set_item(PyObject* dict, const char* key, PyRef value);

inline bool set_float(PyObject* dict, const char* key, double value) {
    return set_item(dict, key, PyRef::steal(PyFloat_FromDouble(value)));
}
inline bool set_int(PyObject* dict, const char* key, long value) {
    return set_item(dict, key, PyRef::steal(PyLong_FromLong(value)));
}

// Records of `stride`-sampled steps that a run of `completed` steps wrote.
inline npy_intp written_records(std::int32_t completed, std::int32_t stride) {
    return completed > 0 ? (completed - 1) / stride + 1 : 0;
}

// Adds three entries for a sample array of consecutive triples: names[0]
// gets column 0 converted with astype(int), names[1] and names[2] strided
// views of columns 1 and 2.
bool add_sample_columns(PyObject* dict, PyObject* samples, const char* const names[3]);

// A run's history dict as both solvers begin it: the three columns of the
// `written` of `count` records (see add_sample_columns), then
// "early_exit_step" and "iterations_completed". Empty, with the exception
// set, on failure.
PyRef new_history_dict(const double* records, npy_intp count, npy_intp written,
                       const char* const columns[3], long early_exit_step,
                       long iterations_completed);

// The sampling stride divides step counts, so it must be positive; false
// with ValueError set when it is not.
bool check_history_stride(std::int32_t stride);

}  // namespace tavro::py
