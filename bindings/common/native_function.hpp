// A native callable that binds its arguments and introspects like a Python
// function: positional-or-keyword parameters with defaults, CPython's own
// TypeError wording for bad calls, __name__/__qualname__/__module__/__doc__/
// __defaults__/__kwdefaults__/__annotations__ and an inspect.Signature.
// Calls go through vectorcall; binding never converts an argument.
#pragma once

#include <cstddef>

#include "python_api.hpp"

namespace tavro::py {

// Largest parameter list a native function may declare.
inline constexpr int kMaxParams = 16;

// Default value of an optional parameter, built into a Python object when the
// function object is created.
struct DefaultValue {
    enum class Kind { required, none, real, integer, boolean };
    Kind kind = Kind::required;
    double real_value = 0.0;
    long integer_value = 0;

    static constexpr DefaultValue none() { return {Kind::none, 0.0, 0}; }
    static constexpr DefaultValue real(double v) { return {Kind::real, v, 0}; }
    static constexpr DefaultValue integer(long v) { return {Kind::integer, 0.0, v}; }
    static constexpr DefaultValue boolean(bool v) { return {Kind::boolean, 0.0, v ? 1 : 0}; }
};

struct Param {
    const char* name;
    DefaultValue default_value = {};
    const char* annotation = nullptr;  // string annotation, or none
};

// Receives exactly one borrowed object per declared parameter, in declaration
// order, with defaults filled in. Returns a new reference, or nullptr with an
// exception set.
using FunctionImpl = PyObject* (*)(PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* doc;  // nullptr: __doc__ is None
    const Param* params;
    int param_count;
    FunctionImpl impl;
    const char* return_annotation = nullptr;
};

// A function with the parameters of `params`, as many as the table holds.
template <std::size_t N>
constexpr FunctionSpec function_spec(const char* name, const char* doc, const Param (&params)[N],
                                     FunctionImpl impl, const char* return_annotation = nullptr) {
    static_assert(N <= kMaxParams, "too many parameters for a native function");
    return {name, doc, params, static_cast<int>(N), impl, return_annotation};
}

// A function without parameters.
constexpr FunctionSpec function_spec(const char* name, const char* doc, FunctionImpl impl) {
    return {name, doc, nullptr, 0, impl, nullptr};
}

// Readies the function type; call from each module's exec slot.
int ready_native_function_type();

// New function object for `spec` (which must outlive it) reporting
// `module_name` as __module__. Required parameters must precede optional ones.
PyObject* new_native_function(const FunctionSpec& spec, const char* module_name);

// Creates each function in order and binds it in `module` under its name.
int add_native_functions(PyObject* module, const FunctionSpec* const* specs, std::size_t count);

}  // namespace tavro::py
