// tcad_solve_3d: binds the heat-diffusion kernel to NumPy inputs and results.
// The result array is the kernel's own field: the initial field is copied
// into it, the run ends in it, and nothing is copied out.
#include "arg_convert.hpp"
#include "functions.hpp"
#include "grid_shape.hpp"
#include "heat_inputs.hpp"
#include "heat_signature.hpp"
#include "native_buffer.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "result_arrays.hpp"
#include "tavro/heat_kernel.hpp"

namespace tavro::core {
namespace {

constexpr double kDefaultConductivity = 148.0;  // silicon at 300 K
constexpr double kDefaultSpecificHeat = 710.0;  // silicon at 300 K
constexpr const char kGridFailure[] = "Failed to allocate TCAD grid";

struct HeatScalars {
    double dx, dy, dz, dt;
    std::int32_t iterations;
    bool return_history;
    std::int32_t history_stride;
    double convergence_tol;
};

// In parameter order; the first failure stops the rest.
bool convert_scalars(PyObject* const* args, HeatScalars* s) {
    return py::to_double(args[kDx], &s->dx) && py::to_double(args[kDy], &s->dy) &&
           py::to_double(args[kDz], &s->dz) && py::to_double(args[kDt], &s->dt) &&
           py::to_int32(args[kIterations], &s->iterations) &&
           py::to_truth(args[kReturnHistory], &s->return_history) &&
           py::to_int32(args[kHistoryStride], &s->history_stride) &&
           py::to_double(args[kConvergenceTol], &s->convergence_tol);
}

// The per-cell inputs the call spells out, released on every exit path.
// An input with one value for every cell (or none) gets no buffer.
struct HeatBuffers {
    py::NativeBuffer<double> k, cp, Q;
    py::NativeBuffer<std::int32_t> bc;
    py::NativeBuffer<double> history;

    bool allocate_inputs(PyObject* const* args, std::size_t cells) {
        if (!MaterialInput::is_one_value(args[kKThermal])) {
            k = py::allocate_buffer<double>(cells, AllocSite::grid_k);
            if (!k) return false;
        }
        if (!MaterialInput::is_one_value(args[kCp])) {
            cp = py::allocate_buffer<double>(cells, AllocSite::grid_cp);
            if (!cp) return false;
        }
        if (args[kQHeat] != Py_None) {
            Q = py::allocate_buffer<double>(cells, AllocSite::grid_Q);
            if (!Q) return false;
        }
        if (args[kBcType] != Py_None) {
            bc = py::allocate_buffer<std::int32_t>(cells, AllocSite::grid_bc);
            if (!bc) return false;
        }
        return true;
    }
};

// {"steps", "T_max", "T_min", "early_exit_step", "iterations_completed",
// "max_delta"}; the two extremes are strided views of one sample array.
py::PyRef build_run_info(const double* history, npy_intp slots, npy_intp written_slots,
                         const TcadSummary& summary) {
    static const char* const kColumns[3] = {"steps", "T_max", "T_min"};
    py::PyRef info = py::new_history_dict(history, slots, written_slots, kColumns,
                                          summary.early_exit_step, summary.iterations_completed);
    if (!info || !py::set_float(info.get(), "max_delta", summary.max_delta)) return {};
    return info;
}

PyObject* tcad_solve_3d(PyObject* const* args) {
    HeatScalars s;
    if (!convert_scalars(args, &s)) return nullptr;

    py::GridShape extents;
    if (!py::read_grid_shape(args[kTInit], &extents)) return nullptr;
    // One slot per sampled step.
    if (!py::check_history_stride(s.history_stride)) return nullptr;
    const std::int64_t slots =
        (std::int64_t{s.iterations} + s.history_stride - 1) / s.history_stride;
    const auto cells = static_cast<std::size_t>(extents.cells);

    const FailingAllocationScope fault_hook(py::requested_allocation_failure());
    const npy_intp dims[3] = {extents.nx, extents.ny, extents.nz};
    py::PyRef field = py::new_result_grid(dims, AllocSite::grid_T);
    HeatBuffers buffers;
    if (!field || !buffers.allocate_inputs(args, cells)) {
        return py::raise_allocation_failure(kGridFailure);
    }

    MaterialInput k_input, cp_input;
    if (!k_input.resolve(args[kKThermal], kDefaultConductivity) ||
        !cp_input.resolve(args[kCp], kDefaultSpecificHeat)) {
        return nullptr;
    }
    TcadGrid grid;
    grid.T = py::grid_data(field.get());
    grid.k = buffers.k.get();
    grid.cp = buffers.cp.get();
    grid.Q = buffers.Q.get();
    grid.bc = buffers.bc.get();
    grid.k_uniform = k_input.constant();
    grid.cp_uniform = cp_input.constant();
    grid.nx = extents.nx;
    grid.ny = extents.ny;
    grid.nz = extents.nz;
    grid.dx = s.dx;
    grid.dy = s.dy;
    grid.dz = s.dz;
    grid.dt = s.dt;

    const HeatSources sources = {args[kTInit], &k_input, &cp_input, args[kQHeat], args[kBcType]};
    const HeatTargets targets = {grid.T, buffers.k.get(), buffers.cp.get(), buffers.Q.get(),
                                 buffers.bc.get()};
    if (!fill_grid_cells(sources, targets, static_cast<npy_intp>(cells))) return nullptr;

    if (s.return_history) {
        if (slots >= 0) {
            buffers.history = py::allocate_buffer<double>(static_cast<std::size_t>(slots) * 3,
                                                          AllocSite::history);
        }
        if (!buffers.history) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate history");
            return nullptr;
        }
    }

    TcadSummary summary;
    Py_BEGIN_ALLOW_THREADS
    summary = tcad_kernel(grid, s.iterations, buffers.history.get(), s.history_stride,
                          s.convergence_tol);
    Py_END_ALLOW_THREADS

    py::PyRef info = py::PyRef::borrow(Py_None);
    if (s.return_history) {
        // Slots after an early exit (or of a run that never started) read 0.0.
        const npy_intp written = py::written_records(summary.iterations_completed, s.history_stride);
        info = build_run_info(buffers.history.get(), static_cast<npy_intp>(slots), written, summary);
        if (!info) return nullptr;
    }
    return PyTuple_Pack(2, field.get(), info.get());
}

}  // namespace

const py::FunctionSpec kTcadSolve3d =
    py::function_spec("tcad_solve_3d", kHeatDoc, kHeatParams, tcad_solve_3d);

}  // namespace tavro::core
