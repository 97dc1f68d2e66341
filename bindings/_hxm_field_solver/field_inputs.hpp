// Reading hxm_solve_3d's array inputs: each converted with
// numpy.asarray(x, dtype=numpy.float64), and their first N values in flat
// order copied into the kernel's grid.
#pragma once

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tavro::hxm {

struct FieldInputs {
    py::PyRef psi;
    py::PyRef tau;
    py::PyRef phi;    // empty: all zeros
    py::PyRef flags;  // empty: all zeros
};

// The four destinations, each of `cells` doubles; phi and flags are null
// when their inputs are absent.
struct FieldTargets {
    double* psi;
    double* tau;
    double* phi;
    double* flags;
};

// Copies the first `cells` values of each array in flat order. Where an
// array is shorter, raises the IndexError the per-element reads (psi, tau,
// phi, flags for cell 0, then cell 1, ...) would meet first.
bool copy_field_cells(const FieldInputs& in, const FieldTargets& out, npy_intp cells);

}  // namespace tavro::hxm
