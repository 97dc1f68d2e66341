#include "result_arrays.hpp"

#include <cstring>

namespace tavro::py {

PyObject* new_float64_array(int ndim, const npy_intp* dims, const double* values, npy_intp count) {
    PyObject* array = PyArray_ZEROS(ndim, const_cast<npy_intp*>(dims), NPY_DOUBLE, 0);
    if (array == nullptr) return nullptr;
    if (count != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values,
                    static_cast<std::size_t>(count) * sizeof(double));
    }
    return array;
}

PyObject* strided_view(PyObject* array, Py_ssize_t start, Py_ssize_t step) {
    PyObject* first = PyLong_FromSsize_t(start);
    PyObject* stride = PyLong_FromSsize_t(step);
    PyObject* slice = first && stride ? PySlice_New(first, Py_None, stride) : nullptr;
    PyObject* view = slice ? PyObject_GetItem(array, slice) : nullptr;
    Py_XDECREF(slice);
    Py_XDECREF(stride);
    Py_XDECREF(first);
    return view;
}

int set_new_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return -1;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status;
}

bool add_sample_columns(PyObject* dict, PyObject* samples, const char* const names[3]) {
    PyObject* first = strided_view(samples, 0, 3);
    PyObject* as_int = first != nullptr ? PyObject_CallMethod(first, "astype", "O", &PyLong_Type)
                                        : nullptr;
    Py_XDECREF(first);
    return set_new_item(dict, names[0], as_int) == 0 &&
           set_new_item(dict, names[1], strided_view(samples, 1, 3)) == 0 &&
           set_new_item(dict, names[2], strided_view(samples, 2, 3)) == 0;
}

}  // namespace tavro::py
