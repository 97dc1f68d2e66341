// An owned reference to a Python object, dropped when the handle goes, so
// that every exit path releases what a call obtained.
#pragma once

#include <utility>

#include "python_api.hpp"

namespace tavro::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (nullptr stays empty, as after a failed call).
    static PyRef steal(PyObject* obj) { return PyRef(obj); }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    ~PyRef() { Py_XDECREF(obj_); }
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef dropped(std::move(*this));
        obj_ = other.release();
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (for a return value or a stealing API).
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) : obj_(obj) {}

    PyObject* obj_ = nullptr;
};

}  // namespace tavro::py
