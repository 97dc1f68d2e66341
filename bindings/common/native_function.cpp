#include "native_function.hpp"

#include <cstddef>

#include "call_errors.hpp"
#include "tavro/ieee_mode.hpp"
#include "py_ref.hpp"
#include "result_arrays.hpp"

namespace tavro::py {
namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;      // str, also the qualified name
    PyObject* module;    // str
    PyObject* defaults;  // tuple of the optional parameters' defaults, or nullptr
    Py_ssize_t required_count;
    PyObject* param_names[kMaxParams];  // interned str
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

// Index of the parameter called `keyword`, or -1.
Py_ssize_t find_param(const NativeFunction* f, PyObject* keyword) {
    const Py_ssize_t count = f->spec->param_count;
    // Keyword names at call sites are interned, like ours: identity first.
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (f->param_names[i] == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_Compare(f->param_names[i], keyword) == 0) return i;
    }
    return -1;
}

// Binds positional and keyword arguments into `bound` (borrowed references)
// in the order CPython checks them: keywords, then surplus positionals, then
// missing required parameters.
bool bind_arguments(const NativeFunction* f, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t count = f->spec->param_count;
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->name);
            return false;
        }
        const Py_ssize_t index = find_param(f, keyword);
        if (index < 0) {
            raise_unexpected_keyword(f->name, keyword, f->param_names, count);
            return false;
        }
        if (bound[index] != nullptr) {
            raise_multiple_values(f->name, keyword);
            return false;
        }
        bound[index] = args[nargs + i];
    }

    const Py_ssize_t default_count = count - f->required_count;
    if (nargs > count) {
        raise_too_many_positional(f->name, count, default_count, nargs);
        return false;
    }

    PyObject* missing[kMaxParams];
    Py_ssize_t missing_count = 0;
    for (Py_ssize_t i = 0; i < f->required_count; ++i) {
        if (bound[i] == nullptr) missing[missing_count++] = f->param_names[i];
    }
    if (missing_count != 0) {
        raise_missing_positional(f->name, missing, missing_count);
        return false;
    }
    for (Py_ssize_t i = f->required_count; i < count; ++i) {
        if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(f->defaults, i - f->required_count);
    }
    return true;
}

PyObject* native_function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    const NativeFunction* f = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Plain IEEE arithmetic whatever mode the calling thread carries.
    const IeeeModeScope ieee;
    // The common case: every parameter given by position.
    if (kwnames == nullptr && nargs == f->spec->param_count) return f->spec->impl(args);
    PyObject* bound[kMaxParams];
    if (!bind_arguments(f, args, nargs, kwnames, bound)) return nullptr;
    return f->spec->impl(bound);
}

void native_function_dealloc(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module);
    Py_XDECREF(f->defaults);
    for (PyObject*& name : f->param_names) Py_CLEAR(name);
    PyObject_Free(self);
}

PyObject* native_function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_function(self)->spec->doc;
    if (doc == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    if (defaults == nullptr) Py_RETURN_NONE;
    return Py_NewRef(defaults);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// A fresh dict on every access: the function object stays immutable.
PyObject* get_annotations(PyObject* self, void*) {
    const NativeFunction* f = as_function(self);
    PyRef annotations = PyRef::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (int i = 0; i < f->spec->param_count; ++i) {
        const char* annotation = f->spec->params[i].annotation;
        if (annotation == nullptr) continue;
        const PyRef value = PyRef::steal(PyUnicode_FromString(annotation));
        if (!value || PyDict_SetItem(annotations.get(), f->param_names[i], value.get()) < 0) {
            return nullptr;
        }
    }
    if (f->spec->return_annotation != nullptr &&
        !set_item(annotations.get(), "return",
                  PyRef::steal(PyUnicode_FromString(f->spec->return_annotation)))) {
        return nullptr;
    }
    return annotations.release();
}

// Keyword arguments of one inspect.Parameter: its default and annotation.
PyRef parameter_options(const NativeFunction* f, int i) {
    PyRef options = PyRef::steal(PyDict_New());
    if (!options) return {};
    if (i >= f->required_count &&
        PyDict_SetItemString(options.get(), "default",
                             PyTuple_GET_ITEM(f->defaults, i - f->required_count)) < 0) {
        return {};
    }
    const char* annotation = f->spec->params[i].annotation;
    if (annotation != nullptr &&
        !set_item(options.get(), "annotation", PyRef::steal(PyUnicode_FromString(annotation)))) {
        return {};
    }
    return options;
}

// inspect.Signature built from the same parameter table the binder uses.
PyObject* get_signature(PyObject* self, void*) {
    const NativeFunction* f = as_function(self);
    const PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    const PyRef parameter_type = PyRef::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    const PyRef signature_type = PyRef::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_type || !signature_type) return nullptr;
    const PyRef kind =
        PyRef::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    const PyRef parameters = PyRef::steal(PyList_New(0));
    if (!kind || !parameters) return nullptr;
    for (int i = 0; i < f->spec->param_count; ++i) {
        const PyRef options = parameter_options(f, i);
        const PyRef positional = PyRef::steal(PyTuple_Pack(2, f->param_names[i], kind.get()));
        if (!options || !positional) return nullptr;
        const PyRef parameter = PyRef::steal(
            PyObject_Call(parameter_type.get(), positional.get(), options.get()));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return nullptr;
    }
    const PyRef options = PyRef::steal(PyDict_New());
    if (!options) return nullptr;
    if (f->spec->return_annotation != nullptr &&
        !set_item(options.get(), "return_annotation",
                  PyRef::steal(PyUnicode_FromString(f->spec->return_annotation)))) {
        return nullptr;
    }
    const PyRef positional = PyRef::steal(PyTuple_Pack(1, parameters.get()));
    if (!positional) return nullptr;
    return PyObject_Call(signature_type.get(), positional.get(), options.get());
}

// Pickles by reference, the way module-level Python functions do.
PyObject* native_function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->name);
}

PyGetSetDef native_function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef native_function_methods[] = {
    {"__reduce__", native_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The head initialiser leaves every other slot zero, as intended.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PyTypeObject native_function_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "tavro_kiln.core.native_function";
    type.tp_basicsize = sizeof(NativeFunction);
    type.tp_dealloc = native_function_dealloc;
    type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    type.tp_repr = native_function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
    type.tp_methods = native_function_methods;
    type.tp_getset = native_function_getset;
    return type;
}();
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

PyObject* new_default_object(const DefaultValue& value) {
    switch (value.kind) {
        case DefaultValue::Kind::real:
            return PyFloat_FromDouble(value.real_value);
        case DefaultValue::Kind::integer:
            return PyLong_FromLong(value.integer_value);
        case DefaultValue::Kind::boolean:
            return PyBool_FromLong(value.integer_value);
        case DefaultValue::Kind::none:
        case DefaultValue::Kind::required:
            break;
    }
    Py_RETURN_NONE;
}

}  // namespace

int ready_native_function_type() { return PyType_Ready(&native_function_type); }

PyObject* new_native_function(const FunctionSpec& spec, const char* module_name) {
    if (spec.param_count < 0 || spec.param_count > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s: too many parameters", spec.name);
        return nullptr;
    }
    NativeFunction* f = PyObject_New(NativeFunction, &native_function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = native_function_vectorcall;
    f->spec = &spec;
    f->name = nullptr;
    f->module = nullptr;
    f->defaults = nullptr;
    f->required_count = 0;
    for (PyObject*& name : f->param_names) name = nullptr;
    // From here on the deallocator releases whatever has been filled in.
    PyRef self = PyRef::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_InternFromString(spec.name);
    if (f->name == nullptr) return nullptr;
    f->module = PyUnicode_FromString(module_name);
    if (f->module == nullptr) return nullptr;

    while (f->required_count < spec.param_count &&
           spec.params[f->required_count].default_value.kind == DefaultValue::Kind::required) {
        ++f->required_count;
    }
    const Py_ssize_t default_count = spec.param_count - f->required_count;
    if (default_count != 0) {
        f->defaults = PyTuple_New(default_count);
        if (f->defaults == nullptr) return nullptr;
    }
    for (int i = 0; i < spec.param_count; ++i) {
        f->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (f->param_names[i] == nullptr) return nullptr;
        if (i < f->required_count) continue;
        if (spec.params[i].default_value.kind == DefaultValue::Kind::required) {
            PyErr_Format(PyExc_SystemError, "%s: required parameter after an optional one",
                         spec.name);
            return nullptr;
        }
        PyObject* value = new_default_object(spec.params[i].default_value);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(f->defaults, i - f->required_count, value);
    }
    return self.release();
}

int add_native_functions(PyObject* module, const FunctionSpec* const* specs, std::size_t count) {
    // The import name, package path included, is what __module__ reports.
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* function = new_native_function(*specs[i], module_name);
        if (function == nullptr || PyModule_Add(module, specs[i]->name, function) < 0) return -1;
    }
    return 0;
}

}  // namespace tavro::py
