// Copies the leading elements of array-like inputs, in row-major order, into
// native buffers. The meaning is always "convert obj.flat[i] for each i";
// ndarrays of plain numeric dtypes take a bulk path through NumPy's C API
// that yields the same values, and everything else is read one element at a
// time so conversions raise exactly what they would raise.
#pragma once

#include <cstdint>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tavro::py {

// True when a NumPy cast of obj's first `count` elements to float64 gives
// the values per-element float conversion would give, without any error.
bool can_bulk_copy_doubles(PyObject* obj, npy_intp count);

// Likewise for int32 conversion, provided every value is in range (the bulk
// copy checks that and reports anything else).
bool can_bulk_copy_int32(PyObject* obj, npy_intp count);

// Copies obj's first `count` elements (count >= 1, at most obj's size).
// False with a Python exception set on failure (memory only).
bool bulk_copy_doubles(PyObject* obj, double* out, npy_intp count);

enum class BulkResult { copied, needs_element_path, error };

// As bulk_copy_doubles, truncating toward zero. A NaN or out-of-range value
// stops the copy with needs_element_path and no exception, so the caller can
// let per-element conversion raise the precise error at the precise place.
BulkResult bulk_copy_int32(PyObject* obj, std::int32_t* out, npy_intp count);

// Raises what reading obj.flat[index] raises (for an index past the end,
// NumPy's IndexError). Always returns false.
bool raise_flat_read_error(PyObject* obj, npy_intp index);

// Reads obj.flat[i] one element at a time. `flat` is looked up on first use.
class FlatReader {
public:
    FlatReader() = default;
    explicit FlatReader(PyObject* obj) : obj_(obj) {}

    // Points a default-constructed reader at its object.
    void attach(PyObject* obj) { obj_ = obj; }

    bool read_double(npy_intp index, double* out);
    bool read_int32(npy_intp index, std::int32_t* out);

private:
    PyRef item(npy_intp index);

    PyObject* obj_ = nullptr;
    PyRef flat_;
};

// numpy.asarray(value, dtype=numpy.float64): a base-class array, any cast
// allowed; NumPy's own errors pass through (empty result).
PyRef as_float64_array(PyObject* value);

}  // namespace tavro::py
