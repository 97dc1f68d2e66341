#include "hxm_entry.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "arg_convert.hpp"
#include "flat_copy.hpp"
#include "grid_shape.hpp"
#include "native_buffer.hpp"
#include "numpy_api.hpp"
#include "result_arrays.hpp"
#include "tavro/field_kernel.hpp"
#include "tavro/libm.hpp"

namespace tavro::hxm {
namespace {

// Parameter positions in the bound argument array.
enum HxmArg {
    kPsiInit, kTauInit, kPhiExt, kBcType, kKScale, kDx, kDy, kDz, kDt,
    kIterations, kReturnHistory, kHistoryStride, kConvergenceTol,
};

struct HxmScalars {
    double k_scale, dx, dy, dz, dt;  // the spacings and step are checked, not used
    std::int32_t iterations;
    bool return_history;
    std::int32_t history_stride;
    double convergence_tol;
};

// In parameter order, the arrays untouched; the first failure stops the rest.
bool convert_scalars(PyObject* const* args, HxmScalars* s) {
    return py::to_double(args[kKScale], &s->k_scale) && py::to_double(args[kDx], &s->dx) &&
           py::to_double(args[kDy], &s->dy) && py::to_double(args[kDz], &s->dz) &&
           py::to_double(args[kDt], &s->dt) &&
           py::to_int32_index(args[kIterations], &s->iterations) &&
           py::to_truth(args[kReturnHistory], &s->return_history) &&
           py::to_int32_index(args[kHistoryStride], &s->history_stride) &&
           py::to_double(args[kConvergenceTol], &s->convergence_tol);
}

// numpy.asarray(value, dtype=numpy.float64); NumPy's own errors pass through.
PyObject* as_float64_array(PyObject* value) {
    return PyArray_FromAny(value, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                           NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST, nullptr);
}

// Owns the converted input arrays.
struct InputArrays {
    PyObject* psi = nullptr;
    PyObject* tau = nullptr;
    PyObject* phi = nullptr;    // nullptr: all zeros
    PyObject* flags = nullptr;  // nullptr: all zeros
    ~InputArrays() {
        Py_XDECREF(psi);
        Py_XDECREF(tau);
        Py_XDECREF(phi);
        Py_XDECREF(flags);
    }
};

struct FieldBuffers {
    py::NativeBuffer<double> psi, tau, phi, flags, history;

    bool allocate_grid(std::size_t cells) {
        psi = py::allocate_buffer<double>(cells, AllocSite::field_psi);
        tau = py::allocate_buffer<double>(cells, AllocSite::field_tau);
        phi = py::allocate_buffer<double>(cells, AllocSite::field_phi);
        flags = py::allocate_buffer<double>(cells, AllocSite::field_bc);
        return psi && tau && phi && flags;
    }
};

npy_intp array_size(PyObject* array) {
    return PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array));
}

// Copies the first `cells` values of each array in flat order. Where an
// array is shorter, raises the IndexError the per-element reads (psi, tau,
// phi, flags for cell 0, then cell 1, ...) would meet first.
bool copy_cells(const InputArrays& in, const FieldBuffers& out, npy_intp cells) {
    if (cells == 0) return true;
    PyObject* const sources[4] = {in.psi, in.tau, in.phi, in.flags};
    double* const targets[4] = {out.psi.get(), out.tau.get(), out.phi.get(), out.flags.get()};
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
        if (sources[f] == nullptr) {
            std::fill(targets[f], targets[f] + cells, 0.0);
        } else if (!py::bulk_copy_doubles(sources[f], targets[f], cells)) {
            return false;
        }
    }
    return true;
}

// The nine-key history dict; the two float columns are strided views of
// one record array.
PyObject* build_history(const double* records, npy_intp record_count, npy_intp written,
                        const RunSummary& summary, const HxmScalars& s) {
    const npy_intp length = record_count * 3;
    PyObject* samples = py::new_float64_array(1, &length, records, written * 3);
    if (samples == nullptr) return nullptr;
    const double stability =
        summary.early_exit_step >= 0
            ? 1.0 - static_cast<double>(summary.early_exit_step) / static_cast<double>(s.iterations)
            : 0.0;
    static const char* const kColumns[3] = {"steps", "max_delta", "mean_energy"};
    PyObject* history = PyDict_New();
    const bool ok =
        history != nullptr && py::add_sample_columns(history, samples, kColumns) &&
        py::set_new_item(history, "early_exit_step", PyLong_FromLong(summary.early_exit_step)) == 0 &&
        py::set_new_item(history, "iterations_completed",
                         PyLong_FromLong(summary.iterations_completed)) == 0 &&
        py::set_new_item(history, "max_delta_final", PyFloat_FromDouble(summary.max_delta_final)) == 0 &&
        py::set_new_item(history, "energy_final", PyFloat_FromDouble(summary.energy_final)) == 0 &&
        py::set_new_item(history, "stability_score", PyFloat_FromDouble(stability)) == 0 &&
        py::set_new_item(history, "settled_k", PyFloat_FromDouble(s.k_scale)) == 0;
    Py_DECREF(samples);
    if (!ok) Py_CLEAR(history);
    return history;
}

}  // namespace

PyObject* hxm_solve_3d(PyObject* const* args) {
    HxmScalars s;
    if (!convert_scalars(args, &s)) return nullptr;

    InputArrays in;
    in.psi = as_float64_array(args[kPsiInit]);
    if (in.psi == nullptr) return nullptr;
    in.tau = as_float64_array(args[kTauInit]);
    if (in.tau == nullptr) return nullptr;

    py::GridShape shape;
    if (!py::read_grid_shape(in.psi, &shape)) return nullptr;
    // One record per sampled sweep; the stride divides, so it must be positive.
    if (s.history_stride < 1) {
        PyErr_SetString(PyExc_ValueError, "history_stride must be at least 1");
        return nullptr;
    }
    // No sweep runs for iterations <= 0: such a history has no records.
    const std::int64_t records =
        s.iterations > 0 ? (std::int64_t{s.iterations} + s.history_stride - 1) / s.history_stride : 0;
    if (s.return_history && 3 * records > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "a history of %lld records exceeds the limit of %d values",
                     static_cast<long long>(records), INT32_MAX);
        return nullptr;
    }
    const double P_k = libm_pow(4.0, 66.0 - s.k_scale) * 1e32;
    const auto cells = static_cast<std::size_t>(shape.cells);

    const FailingAllocationScope fault_hook(py::requested_allocation_failure());
    FieldBuffers buffers;
    if (!buffers.allocate_grid(cells)) {
        PyErr_SetString(PyExc_MemoryError, "HXM grid allocation failed");
        return nullptr;
    }
    if (args[kPhiExt] != Py_None && (in.phi = as_float64_array(args[kPhiExt])) == nullptr) {
        return nullptr;
    }
    if (args[kBcType] != Py_None && (in.flags = as_float64_array(args[kBcType])) == nullptr) {
        return nullptr;
    }
    if (!copy_cells(in, buffers, static_cast<npy_intp>(cells))) return nullptr;

    FieldGrid grid;
    grid.psi = buffers.psi.get();
    grid.tau = buffers.tau.get();
    grid.phi = buffers.phi.get();
    grid.bc = buffers.flags.get();
    grid.nx = shape.nx;
    grid.ny = shape.ny;
    grid.nz = shape.nz;
    grid.P_k = P_k;

    if (s.return_history) {
        buffers.history = py::allocate_buffer<double>(static_cast<std::size_t>(records) * 3,
                                                      AllocSite::field_history);
        if (!buffers.history) {
            PyErr_SetString(PyExc_MemoryError, "HXM history allocation failed");
            return nullptr;
        }
    }

    RunSummary summary;
    Py_BEGIN_ALLOW_THREADS
    summary = relax_fields(grid, s.iterations, buffers.history.get(), s.history_stride,
                           s.convergence_tol);
    Py_END_ALLOW_THREADS

    const npy_intp dims[3] = {shape.nx, shape.ny, shape.nz};
    PyObject* psi_final = py::new_float64_array(3, dims, grid.psi, static_cast<npy_intp>(cells));
    PyObject* tau_final =
        psi_final != nullptr ? py::new_float64_array(3, dims, grid.tau, static_cast<npy_intp>(cells))
                             : nullptr;
    PyObject* history = Py_NewRef(Py_None);
    if (tau_final != nullptr && s.return_history) {
        Py_SETREF(history, build_history(buffers.history.get(), static_cast<npy_intp>(records),
                                         py::written_records(summary.iterations_completed,
                                                             s.history_stride),
                                         summary, s));
    }
    PyObject* result = psi_final != nullptr && tau_final != nullptr && history != nullptr
                           ? PyTuple_Pack(3, psi_final, tau_final, history)
                           : nullptr;
    Py_XDECREF(psi_final);
    Py_XDECREF(tau_final);
    Py_XDECREF(history);
    return result;
}

}  // namespace tavro::hxm
