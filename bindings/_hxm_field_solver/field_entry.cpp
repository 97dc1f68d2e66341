// hxm_solve_3d: binds the coupled field kernel to NumPy inputs and results.
#include <climits>
#include <cstdint>

#include "arg_convert.hpp"
#include "field_inputs.hpp"
#include "field_signature.hpp"
#include "flat_copy.hpp"
#include "functions.hpp"
#include "grid_shape.hpp"
#include "native_buffer.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "result_arrays.hpp"
#include "tavro/field_kernel.hpp"
#include "tavro/libm.hpp"

namespace tavro::hxm {
namespace {

struct FieldScalars {
    double k_scale, dx, dy, dz, dt;  // the spacings and step are checked, not used
    std::int32_t iterations;
    bool return_history;
    std::int32_t history_stride;
    double convergence_tol;
};

// In parameter order, the arrays untouched; the first failure stops the rest.
bool convert_scalars(PyObject* const* args, FieldScalars* s) {
    return py::to_double(args[kKScale], &s->k_scale) && py::to_double(args[kDx], &s->dx) &&
           py::to_double(args[kDy], &s->dy) && py::to_double(args[kDz], &s->dz) &&
           py::to_double(args[kDt], &s->dt) &&
           py::to_int32_index(args[kIterations], &s->iterations) &&
           py::to_truth(args[kReturnHistory], &s->return_history) &&
           py::to_int32_index(args[kHistoryStride], &s->history_stride) &&
           py::to_double(args[kConvergenceTol], &s->convergence_tol);
}

// The native buffers of the call: phi and the flags when given, and the
// history; released on every exit path.
struct FieldBuffers {
    py::NativeBuffer<double> phi, flags, history;

    bool allocate_inputs(PyObject* const* args, std::size_t cells) {
        if (args[kPhiExt] != Py_None) {
            phi = py::allocate_buffer<double>(cells, AllocSite::field_phi);
            if (!phi) return false;
        }
        if (args[kBcType] != Py_None) {
            flags = py::allocate_buffer<double>(cells, AllocSite::field_bc);
            if (!flags) return false;
        }
        return true;
    }
};

// The nine-key history dict; the two float columns are strided views of
// one record array.
py::PyRef build_history(const double* records, npy_intp record_count, npy_intp written,
                        const RunSummary& summary, const FieldScalars& s) {
    const double stability =
        summary.early_exit_step >= 0
            ? 1.0 - static_cast<double>(summary.early_exit_step) / static_cast<double>(s.iterations)
            : 0.0;
    static const char* const kColumns[3] = {"steps", "max_delta", "mean_energy"};
    py::PyRef history = py::new_history_dict(records, record_count, written, kColumns,
                                             summary.early_exit_step,
                                             summary.iterations_completed);
    if (!history) return {};
    PyObject* h = history.get();
    const bool ok = py::set_float(h, "max_delta_final", summary.max_delta_final) &&
                    py::set_float(h, "energy_final", summary.energy_final) &&
                    py::set_float(h, "stability_score", stability) &&
                    py::set_float(h, "settled_k", s.k_scale);
    return ok ? std::move(history) : py::PyRef();
}

PyObject* hxm_solve_3d(PyObject* const* args) {
    FieldScalars s;
    if (!convert_scalars(args, &s)) return nullptr;

    FieldInputs in;
    in.psi = py::as_float64_array(args[kPsiInit]);
    if (!in.psi) return nullptr;
    in.tau = py::as_float64_array(args[kTauInit]);
    if (!in.tau) return nullptr;

    py::GridShape shape;
    if (!py::read_grid_shape(in.psi.get(), &shape)) return nullptr;
    // One record per sampled sweep.
    if (!py::check_history_stride(s.history_stride)) return nullptr;
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
    // The result arrays hold the kernel's fields: the inputs are copied into
    // them, the run keeps one generation in each and ends in them.
    const npy_intp dims[3] = {shape.nx, shape.ny, shape.nz};
    py::PyRef psi_final = py::new_result_grid(dims, AllocSite::field_psi);
    py::PyRef tau_final = psi_final ? py::new_result_grid(dims, AllocSite::field_tau) : py::PyRef();
    FieldBuffers buffers;
    if (!tau_final || !buffers.allocate_inputs(args, cells)) {
        return py::raise_allocation_failure("HXM grid allocation failed");
    }
    if (args[kPhiExt] != Py_None && !(in.phi = py::as_float64_array(args[kPhiExt]))) {
        return nullptr;
    }
    if (args[kBcType] != Py_None && !(in.flags = py::as_float64_array(args[kBcType]))) {
        return nullptr;
    }
    FieldGrid grid;
    grid.psi = py::grid_data(psi_final.get());
    grid.tau = py::grid_data(tau_final.get());
    grid.phi = buffers.phi.get();
    grid.bc = buffers.flags.get();
    grid.nx = shape.nx;
    grid.ny = shape.ny;
    grid.nz = shape.nz;
    grid.P_k = P_k;
    const FieldTargets targets{grid.psi, grid.tau, buffers.phi.get(), buffers.flags.get()};
    if (!copy_field_cells(in, targets, static_cast<npy_intp>(cells))) return nullptr;

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

    py::PyRef history = py::PyRef::borrow(Py_None);
    if (s.return_history) {
        history = build_history(buffers.history.get(), static_cast<npy_intp>(records),
                                py::written_records(summary.iterations_completed, s.history_stride),
                                summary, s);
        if (!history) return nullptr;
    }
    return PyTuple_Pack(3, psi_final.get(), tau_final.get(), history.get());
}

}  // namespace

const py::FunctionSpec kHxmSolve3d =
    py::function_spec("hxm_solve_3d", kFieldDoc, kFieldParams, hxm_solve_3d);

}  // namespace tavro::hxm
