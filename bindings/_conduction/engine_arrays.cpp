#include "engine_arrays.hpp"

namespace tavro::conduction_py {

py::PyRef contiguous(PyObject* obj, int dtype, npy_intp count, const char* what) {
    PyArray_Descr* descr = PyArray_DescrFromType(dtype);  // stolen below
    py::PyRef array = py::PyRef::steal(
        PyArray_FromAny(obj, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    if (!array) return array;
    const npy_intp size = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get()));
    if (count >= 0 && size != count) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd values, got %zd", what, static_cast<Py_ssize_t>(count),
                     static_cast<Py_ssize_t>(size));
        return py::PyRef();
    }
    return array;
}

bool is_field(PyObject* obj, npy_intp count) {
    if (!PyArray_Check(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_TYPE(a) == NPY_FLOAT64 && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISWRITEABLE(a) &&
           PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a) && PyArray_SIZE(a) == count;
}

}  // namespace tavro::conduction_py
