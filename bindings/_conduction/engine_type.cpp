// The Engine type: a conduction model built once, then solved or stepped
// with the interpreter lock released. One call at a time per object: a
// second thread waits for the first.
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine_arrays.hpp"
#include "engine_type.hpp"
#include "native_buffer.hpp"
#include "tavro/conduction_engine.hpp"

namespace tavro::conduction_py {
namespace {

using conduction::Engine;
using conduction::SolveOptions;
using conduction::SolveReport;
using conduction::Status;

struct EngineObject {
    PyObject_HEAD
    Engine* engine;
    std::mutex* busy;
    int nx, ny, nz;
};

npy_intp cells(const EngineObject* self) {
    return static_cast<npy_intp>(self->nx) * self->ny * self->nz;
}

template <class T>
T* data(const py::PyRef& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

int engine_init(PyObject* object, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    static const char* keywords[] = {"x_edges", "y_edges", "z_edges", "material", "materials",
                                     "silicon_conductivity", "faces", "source_cell", "source_block",
                                     "source_weight", "block_count", "threads", nullptr};
    PyObject *xo, *yo, *zo, *mo, *mato, *depo, *faceso, *cello, *blocko, *weighto;
    int block_count = 0, threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOi|i", const_cast<char**>(keywords), &xo, &yo, &zo,
                                     &mo, &mato, &depo, &faceso, &cello, &blocko, &weighto, &block_count, &threads))
        return -1;
    if (self->engine != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Engine is already built");
        return -1;
    }
    py::PyRef x = contiguous(xo, NPY_FLOAT64, -1, "x_edges"), y = contiguous(yo, NPY_FLOAT64, -1, "y_edges"),
              z = contiguous(zo, NPY_FLOAT64, -1, "z_edges");
    if (!x || !y || !z) return -1;
    const npy_intp sizes[3] = {PyArray_SIZE(reinterpret_cast<PyArrayObject*>(x.get())) - 1,
                               PyArray_SIZE(reinterpret_cast<PyArrayObject*>(y.get())) - 1,
                               PyArray_SIZE(reinterpret_cast<PyArrayObject*>(z.get())) - 1};
    for (npy_intp s : sizes) {
        if (s < 1 || s > 1 << 24) {
            PyErr_SetString(PyExc_ValueError, "each axis needs 2 to 2**24 + 1 cell edges");
            return -1;
        }
    }
    const npy_intp n = sizes[0] * sizes[1] * sizes[2];
    py::PyRef material = contiguous(mo, NPY_UINT16, n, "material");
    py::PyRef table = contiguous(mato, NPY_FLOAT64, -1, "materials");
    py::PyRef dependent = contiguous(depo, NPY_BOOL, -1, "silicon_conductivity");
    if (!material || !table || !dependent) return -1;
    const npy_intp count = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(dependent.get()));
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(table.get())) != 4 * count || count < 1 || count > 65535) {
        PyErr_SetString(PyExc_ValueError, "materials: expected one row (kx, ky, kz, rho_c) per material, 1 to 65535");
        return -1;
    }
    std::vector<conduction::MaterialSpec> materials(static_cast<std::size_t>(count));
    for (npy_intp m = 0; m < count; ++m) {
        const double* row = data<double>(table) + 4 * m;
        materials[static_cast<std::size_t>(m)] = {row[0], row[1], row[2], row[3], data<npy_bool>(dependent)[m] != 0};
    }
    conduction::ModelSpec spec;
    spec.nx = static_cast<int>(sizes[0]);
    spec.ny = static_cast<int>(sizes[1]);
    spec.nz = static_cast<int>(sizes[2]);
    spec.x_edges = data<double>(x);
    spec.y_edges = data<double>(y);
    spec.z_edges = data<double>(z);
    spec.material = data<std::uint16_t>(material);
    spec.materials = materials.data();
    spec.material_count = static_cast<int>(count);
    py::PyRef faces = py::PyRef::steal(PySequence_Fast(faceso, "faces must be a sequence of six entries"));
    if (!faces) return -1;
    if (PySequence_Fast_GET_SIZE(faces.get()) != conduction::kFaceCount) {
        PyErr_SetString(PyExc_ValueError, "faces must have six entries (x low, x high, y low, y high, z low, z high)");
        return -1;
    }
    std::vector<py::PyRef> keep;
    const npy_intp face_sizes[3] = {sizes[1] * sizes[2], sizes[0] * sizes[2], sizes[0] * sizes[1]};
    for (int f = 0; f < conduction::kFaceCount; ++f) {
        PyObject* entry = PySequence_Fast_GET_ITEM(faces.get(), f);
        if (entry == Py_None) continue;
        PyObject *ho, *ambo;
        if (!PyArg_ParseTuple(entry, "OO;each face is None or (h, ambient)", &ho, &ambo)) return -1;
        py::PyRef h = contiguous(ho, NPY_FLOAT64, face_sizes[f / 2], "face h");
        py::PyRef amb = contiguous(ambo, NPY_FLOAT64, face_sizes[f / 2], "face ambient");
        if (!h || !amb) return -1;
        spec.faces[f] = {data<double>(h), data<double>(amb)};
        keep.push_back(std::move(h));
        keep.push_back(std::move(amb));
    }
    py::PyRef cell = contiguous(cello, NPY_INT64, -1, "source_cell");
    if (!cell) return -1;
    const npy_intp sources = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(cell.get()));
    py::PyRef block = contiguous(blocko, NPY_INT32, sources, "source_block");
    py::PyRef weight = contiguous(weighto, NPY_FLOAT64, sources, "source_weight");
    if (!block || !weight) return -1;
    spec.sources = {static_cast<std::size_t>(sources), data<std::int64_t>(cell), data<std::int32_t>(block),
                    data<double>(weight), block_count};
    spec.threads = threads < 1 ? 1 : threads;
    Status status = Status::ok;
    std::string message;
    std::unique_ptr<Engine> engine;
    {
        const AllocSite failing = py::requested_allocation_failure();
        Py_BEGIN_ALLOW_THREADS
        FailingAllocationScope scope(failing);
        engine = Engine::create(spec, &status, &message);
        Py_END_ALLOW_THREADS
    }
    if (!engine) {
        PyErr_SetString(status == Status::out_of_memory ? PyExc_MemoryError : PyExc_ValueError, message.c_str());
        return -1;
    }
    self->engine = engine.release();
    self->nx = spec.nx;
    self->ny = spec.ny;
    self->nz = spec.nz;
    return 0;
}


PyObject* report_dict(Status status, const SolveReport& r) {
    return Py_BuildValue("{s:s,s:i,s:i,s:d,s:d,s:d,s:d,s:d,s:d,s:n}", "status", conduction::status_name(status),
                         "iterations", r.iterations, "solves", r.solves, "residual_W", r.residual_watts,
                         "change_K", r.change_kelvin, "picard_change_K", r.picard_change, "power_W",
                         r.power_watts, "heat_out_W", r.heat_out_watts, "bad_temperature_K", r.bad_temperature,
                         "bad_cell", static_cast<Py_ssize_t>(r.bad_cell));
}

bool ready(EngineObject* self) {
    if (self->engine == nullptr) PyErr_SetString(PyExc_RuntimeError, "Engine was not built");
    return self->engine != nullptr;
}

// Common arguments of steady and step: the block watts and the field.
bool solve_inputs(EngineObject* self, PyObject* watts_object, PyObject* field, py::PyRef* watts) {
    if (!ready(self)) return false;
    *watts = contiguous(watts_object, NPY_FLOAT64, self->engine->block_count(), "block watts");
    if (!*watts) return false;
    for (int b = 0; b < self->engine->block_count(); ++b) {
        if (!std::isfinite(data<double>(*watts)[b])) {
            PyErr_SetString(PyExc_ValueError, "block watts must be finite");
            return false;
        }
    }
    if (!is_field(field, cells(self))) {
        PyErr_Format(PyExc_TypeError, "the field must be a writable C-ordered float64 array of %zd cells",
                     static_cast<Py_ssize_t>(cells(self)));
        return false;
    }
    return true;
}

SolveOptions options_from(double tol_kelvin, double tol_watts, int max_iterations, int follow, double picard_tol,
                          int picard_limit, int threads) {
    SolveOptions o;
    o.tol_kelvin = tol_kelvin;
    o.tol_watts = tol_watts;
    o.max_iterations = max_iterations;
    o.follow_temperature = follow != 0;
    o.picard_tol = picard_tol;
    o.picard_limit = picard_limit;
    o.threads = threads < 1 ? 1 : threads;
    return o;
}

PyObject* engine_steady(PyObject* object, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    static const char* keywords[] = {"block_watts", "field", "tol_kelvin", "tol_watts", "max_iterations",
                                     "follow_temperature", "picard_tol", "picard_limit", "threads", nullptr};
    PyObject *wo, *field;
    double tol_kelvin = 1e-6, tol_watts = -1.0, picard_tol = 1e-4;
    int max_iterations = 1000, follow = 0, picard_limit = 50, threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|ddipdii", const_cast<char**>(keywords), &wo, &field,
                                     &tol_kelvin, &tol_watts, &max_iterations, &follow, &picard_tol, &picard_limit,
                                     &threads))
        return nullptr;
    py::PyRef watts;
    if (!solve_inputs(self, wo, field, &watts)) return nullptr;
    const SolveOptions options =
        options_from(tol_kelvin, tol_watts, max_iterations, follow, picard_tol, picard_limit, threads);
    SolveReport report;
    Status status;
    double* T = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(field)));
    Py_BEGIN_ALLOW_THREADS
    std::lock_guard<std::mutex> lock(*self->busy);
    status = self->engine->steady(data<double>(watts), T, options, &report);
    Py_END_ALLOW_THREADS
    return report_dict(status, report);
}

PyObject* engine_step(PyObject* object, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    static const char* keywords[] = {"block_watts", "field", "dt", "steps", "scheme", "tol_kelvin", "tol_watts",
                                     "max_iterations", "follow_temperature", "threads", nullptr};
    PyObject *wo, *field;
    double dt = 0.0, tol_kelvin = 1e-6, tol_watts = -1.0;
    int steps = 1, max_iterations = 1000, follow = 0, threads = 1;
    const char* scheme_name = "tr-bdf2";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOd|isddipi", const_cast<char**>(keywords), &wo, &field, &dt,
                                     &steps, &scheme_name, &tol_kelvin, &tol_watts, &max_iterations, &follow,
                                     &threads))
        return nullptr;
    const std::string scheme_text(scheme_name);
    if (scheme_text != "tr-bdf2" && scheme_text != "euler") {
        PyErr_Format(PyExc_ValueError, "scheme must be 'tr-bdf2' or 'euler', got '%s'", scheme_name);
        return nullptr;
    }
    if (!(dt > 0.0) || !std::isfinite(dt) || steps < 1) {
        PyErr_SetString(PyExc_ValueError, "dt must be positive and finite, and steps at least 1");
        return nullptr;
    }
    py::PyRef watts;
    if (!solve_inputs(self, wo, field, &watts)) return nullptr;
    const conduction::Scheme scheme =
        scheme_text == "euler" ? conduction::Scheme::backward_euler : conduction::Scheme::tr_bdf2;
    const SolveOptions options = options_from(tol_kelvin, tol_watts, max_iterations, follow, 1e-4, 1, threads);
    SolveReport total, report;
    Status status = Status::ok;
    double* T = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(field)));
    Py_BEGIN_ALLOW_THREADS
    std::lock_guard<std::mutex> lock(*self->busy);
    // A step short of its tolerance still moves the field on, so the batch
    // goes on (and says so); an error ends it.
    for (int s = 0; s < steps; ++s) {
        const Status step_status = self->engine->step(data<double>(watts), dt, scheme, T, options, &report);
        if (status == Status::ok) status = step_status;
        if (step_status != Status::ok && step_status != Status::not_converged) {
            status = step_status;
            break;
        }
        const int iterations = total.iterations + report.iterations, solves = total.solves + report.solves;
        total = report;
        total.iterations = iterations;
        total.solves = solves;
    }
    Py_END_ALLOW_THREADS
    return report_dict(status, total);
}

PyObject* engine_block_temperatures(PyObject* object, PyObject* field) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    if (!ready(self)) return nullptr;
    py::PyRef T = contiguous(field, NPY_FLOAT64, cells(self), "field");
    if (!T) return nullptr;
    const npy_intp blocks = self->engine->block_count();
    py::PyRef peak = py::PyRef::steal(PyArray_SimpleNew(1, &blocks, NPY_FLOAT64));
    py::PyRef mean = py::PyRef::steal(PyArray_SimpleNew(1, &blocks, NPY_FLOAT64));
    if (!peak || !mean) return nullptr;
    self->engine->block_temperatures(data<double>(T), data<double>(peak), data<double>(mean));
    return PyTuple_Pack(2, peak.get(), mean.get());
}

PyObject* engine_heat_out(PyObject* object, PyObject* field) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    if (!ready(self)) return nullptr;
    py::PyRef T = contiguous(field, NPY_FLOAT64, cells(self), "field");
    if (!T) return nullptr;
    return PyFloat_FromDouble(self->engine->heat_out(data<double>(T)));
}

PyObject* engine_nbytes(PyObject* object, void*) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    if (!ready(self)) return nullptr;
    return PyLong_FromSize_t(self->engine->bytes());
}

PyObject* engine_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<EngineObject*>(object);
    self->engine = nullptr;
    self->busy = new (std::nothrow) std::mutex();
    if (self->busy == nullptr) {
        Py_DECREF(object);
        return PyErr_NoMemory();
    }
    return object;
}

void engine_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<EngineObject*>(object);
    delete self->engine;
    delete self->busy;
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"steady", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_steady)),
     METH_VARARGS | METH_KEYWORDS,
     "steady(block_watts, field, tol_kelvin=1e-6, tol_watts=-1, max_iterations=1000, follow_temperature=False, "
     "picard_tol=1e-4, picard_limit=50, threads=1) -> report dict\n\nSteady field into `field` (in place; its "
     "contents are the starting guess)."},
    {"step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_step)), METH_VARARGS | METH_KEYWORDS,
     "step(block_watts, field, dt, steps=1, scheme='tr-bdf2', tol_kelvin=1e-6, tol_watts=-1, max_iterations=1000, "
     "follow_temperature=False, threads=1) -> report dict\n\nAdvances `field` in place by `steps` implicit steps "
     "of `dt` seconds."},
    {"block_temperatures", engine_block_temperatures, METH_O,
     "block_temperatures(field) -> (peak, mean): per block, the hottest cell and the weighted mean."},
    {"heat_out", engine_heat_out, METH_O, "heat_out(field) -> W leaving through the outer faces."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"nbytes", engine_nbytes, nullptr, "native memory the engine holds, bytes", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_init, reinterpret_cast<void*>(engine_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Engine(x_edges, y_edges, z_edges, material, materials, silicon_conductivity, "
                                  "faces, source_cell, source_block, source_weight, block_count, threads=1)\n\nA "
                                  "conduction model on a tensor-product grid, built once (by `threads` threads).")},
    {0, nullptr},
};

PyType_Spec spec = {"tavro_kiln.chip._conduction.Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_engine_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (type == nullptr) return -1;
    return PyModule_Add(module, "Engine", type);
}

}  // namespace tavro::conduction_py
