#include "result_arrays.hpp"

#include <cstring>

namespace tavro::py {

PyRef new_float64_array(int ndim, const npy_intp* dims, const double* values, npy_intp count) {
    PyRef array = PyRef::steal(PyArray_ZEROS(ndim, const_cast<npy_intp*>(dims), NPY_DOUBLE, 0));
    if (array && count != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values,
                    static_cast<std::size_t>(count) * sizeof(double));
    }
    return array;
}

PyRef new_result_grid(const npy_intp dims[3], AllocSite site) {
    if (allocation_should_fail(site)) return {};
    return PyRef::steal(PyArray_EMPTY(3, const_cast<npy_intp*>(dims), NPY_DOUBLE, 0));
}

PyObject* raise_allocation_failure(const char* message) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_SetString(PyExc_MemoryError, message);
    }
    return nullptr;
}

PyRef strided_view(PyObject* array, Py_ssize_t start, Py_ssize_t step) {
    const PyRef first = PyRef::steal(PyLong_FromSsize_t(start));
    const PyRef stride = PyRef::steal(PyLong_FromSsize_t(step));
    if (!first || !stride) return {};
    const PyRef slice = PyRef::steal(PySlice_New(first.get(), Py_None, stride.get()));
    if (!slice) return {};
    return PyRef::steal(PyObject_GetItem(array, slice.get()));
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool add_sample_columns(PyObject* dict, PyObject* samples, const char* const names[3]) {
    const PyRef first = strided_view(samples, 0, 3);
    if (!first) return false;
    return set_item(dict, names[0],
                    PyRef::steal(PyObject_CallMethod(first.get(), "astype", "O", &PyLong_Type))) &&
           set_item(dict, names[1], strided_view(samples, 1, 3)) &&
           set_item(dict, names[2], strided_view(samples, 2, 3));
}

PyRef new_history_dict(const double* records, npy_intp count, npy_intp written,
                       const char* const columns[3], long early_exit_step,
                       long iterations_completed) {
    const npy_intp length = count * 3;
    const PyRef samples = new_float64_array(1, &length, records, written * 3);
    if (!samples) return {};
    PyRef history = PyRef::steal(PyDict_New());
    if (!history) return {};
    const bool ok = add_sample_columns(history.get(), samples.get(), columns) &&
                    set_int(history.get(), "early_exit_step", early_exit_step) &&
                    set_int(history.get(), "iterations_completed", iterations_completed);
    return ok ? std::move(history) : PyRef();
}

bool check_history_stride(std::int32_t stride) {
    if (stride >= 1) return true;
    PyErr_SetString(PyExc_ValueError, "history_stride must be at least 1");
    return false;
}

}  // namespace tavro::py
