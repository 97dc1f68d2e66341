#include "flat_copy.hpp"

#include <cstring>

#include "arg_convert.hpp"

namespace tavro::py {
namespace {

// Bool, integer and floating dtypes cast to float64 exactly as their scalars'
// __float__ does (one C conversion). Complex (a warning per element), object,
// string, datetime and user dtypes keep their per-element semantics.
bool is_plain_real_dtype(int type_num) {
    return PyTypeNum_ISBOOL(type_num) || PyTypeNum_ISINTEGER(type_num) ||
           PyTypeNum_ISFLOAT(type_num);
}

// Subclasses such as np.memmap keep ndarray's `flat`; those that answer
// `flat` with anything but NumPy's own iterator over themselves (masked
// arrays, for one) are read through what they answer.
bool has_ndarray_flat(PyObject* obj) {
    if (PyArray_CheckExact(obj)) return true;
    if (!PyArray_Check(obj)) return false;
    const PyRef flat = PyRef::steal(PyObject_GetAttrString(obj, "flat"));
    if (!flat) {
        PyErr_Clear();  // the per-element path meets the same error in its place
        return false;
    }
    return Py_IS_TYPE(flat.get(), &PyArrayIter_Type) &&
           reinterpret_cast<PyObject*>(reinterpret_cast<PyArrayIterObject*>(flat.get())->ao) == obj;
}

PyArrayObject* as_bulk_candidate(PyObject* obj, npy_intp count) {
    if (count <= 0 || !has_ndarray_flat(obj)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_SIZE(array) >= count ? array : nullptr;
}

// Calls consume(values, n) with the first `count` elements of `array` cast
// to float64, in row-major order, chunk by chunk. consume returns false to
// stop early. Returns -1 with an exception set, 0 when stopped, 1 when done.
template <class Consume>
int for_each_leading_chunk(PyArrayObject* array, npy_intp count, Consume&& consume) {
    PyArray_Descr* as_double = PyArray_DescrFromType(NPY_DOUBLE);
    NpyIter* iter = NpyIter_New(
        array,
        NPY_ITER_READONLY | NPY_ITER_ALIGNED | NPY_ITER_NBO | NPY_ITER_EXTERNAL_LOOP |
            NPY_ITER_BUFFERED | NPY_ITER_GROWINNER | NPY_ITER_RANGED,
        NPY_CORDER, NPY_UNSAFE_CASTING, as_double);
    Py_DECREF(as_double);
    if (iter == nullptr) return -1;
    char* message = nullptr;
    int status = NpyIter_ResetToIterIndexRange(iter, 0, count, &message) == NPY_SUCCEED ? 1 : -1;
    NpyIter_IterNextFunc* next = status > 0 ? NpyIter_GetIterNext(iter, &message) : nullptr;
    if (next == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, message != nullptr ? message : "NpyIter failed");
        }
        NpyIter_Deallocate(iter);
        return -1;
    }
    char** data = NpyIter_GetDataPtrArray(iter);
    npy_intp* stride = NpyIter_GetInnerStrideArray(iter);
    npy_intp* size = NpyIter_GetInnerLoopSizePtr(iter);
    do {
        if (!consume(data[0], stride[0], *size)) {
            status = 0;
            break;
        }
    } while (next(iter));
    if (NpyIter_Deallocate(iter) != NPY_SUCCEED) return -1;
    return status;
}

}  // namespace

bool can_bulk_copy_doubles(PyObject* obj, npy_intp count) {
    PyArrayObject* array = as_bulk_candidate(obj, count);
    return array != nullptr && is_plain_real_dtype(PyArray_TYPE(array));
}

bool can_bulk_copy_int32(PyObject* obj, npy_intp count) {
    PyArrayObject* array = as_bulk_candidate(obj, count);
    // long double truncates differently once rounded to double: keep it out.
    return array != nullptr && is_plain_real_dtype(PyArray_TYPE(array)) &&
           PyArray_TYPE(array) != NPY_LONGDOUBLE;
}

bool bulk_copy_doubles(PyObject* obj, double* out, npy_intp count) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    return for_each_leading_chunk(array, count, [&out](const char* data, npy_intp stride, npy_intp n) {
               if (stride == static_cast<npy_intp>(sizeof(double))) {
                   std::memcpy(out, data, static_cast<size_t>(n) * sizeof(double));
               } else {
                   for (npy_intp i = 0; i < n; ++i) {
                       std::memcpy(&out[i], data + i * stride, sizeof(double));
                   }
               }
               out += n;
               return true;
           }) > 0;
}

BulkResult bulk_copy_int32(PyObject* obj, std::int32_t* out, npy_intp count) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const int status =
        for_each_leading_chunk(array, count, [&out](const char* data, npy_intp stride, npy_intp n) {
            for (npy_intp i = 0; i < n; ++i) {
                double value;
                std::memcpy(&value, data + i * stride, sizeof(double));
                // False for NaN too.
                if (!(value > -2147483649.0 && value < 2147483648.0)) return false;
                out[i] = static_cast<std::int32_t>(value);
            }
            out += n;
            return true;
        });
    if (status < 0) return BulkResult::error;
    return status > 0 ? BulkResult::copied : BulkResult::needs_element_path;
}

bool raise_flat_read_error(PyObject* obj, npy_intp index) {
    double ignored;
    if (FlatReader(obj).read_double(index, &ignored)) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of bounds", static_cast<Py_ssize_t>(index));
    }
    return false;
}

PyRef FlatReader::item(npy_intp index) {
    if (!flat_) {
        flat_ = PyRef::steal(PyObject_GetAttrString(obj_, "flat"));
        if (!flat_) return {};
    }
    const PyRef key = PyRef::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return PyRef::steal(PyObject_GetItem(flat_.get(), key.get()));
}

bool FlatReader::read_double(npy_intp index, double* out) {
    const PyRef value = item(index);
    return value && to_double(value.get(), out);
}

bool FlatReader::read_int32(npy_intp index, std::int32_t* out) {
    const PyRef value = item(index);
    return value && to_int32(value.get(), out);
}

PyRef as_float64_array(PyObject* value) {
    return PyRef::steal(PyArray_FromAny(value, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                        NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST, nullptr));
}

}  // namespace tavro::py
