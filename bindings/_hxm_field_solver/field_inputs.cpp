#include "field_inputs.hpp"

#include "flat_copy.hpp"

namespace tavro::hxm {
namespace {

npy_intp array_size(PyObject* array) {
    return PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array));
}

}  // namespace

bool copy_field_cells(const FieldInputs& in, const FieldTargets& out, npy_intp cells) {
    if (cells == 0) return true;
    PyObject* const sources[4] = {in.psi.get(), in.tau.get(), in.phi.get(), in.flags.get()};
    double* const targets[4] = {out.psi, out.tau, out.phi, out.flags};
    PyObject* short_source = nullptr;
    npy_intp first_missing = cells;
    for (PyObject* source : sources) {
        if (source != nullptr && array_size(source) < first_missing) {
            first_missing = array_size(source);
            short_source = source;
        }
    }
    if (short_source != nullptr) return py::raise_flat_read_error(short_source, first_missing);
    for (int f = 0; f < 4; ++f) {
        if (sources[f] != nullptr && !py::bulk_copy_doubles(sources[f], targets[f], cells)) {
            return false;
        }
    }
    return true;
}

}  // namespace tavro::hxm
