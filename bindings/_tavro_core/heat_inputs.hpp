// Reading tcad_solve_3d's array inputs: scalar-or-array resolution of
// k_thermal and cp, and the copy of all five per-cell inputs into the
// kernel's grid.
#pragma once

#include <cstdint>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tavro::core {

// A per-cell material input: one value for every cell, or an array.
class MaterialInput {
public:

    // None gives `fallback`; an int or float (bool and subclasses included)
    // its value; anything else np.asarray(value, dtype=float64), which must
    // have exactly three dimensions.
    bool resolve(PyObject* value, double fallback);

    PyObject* array() const { return array_.get(); }  // nullptr for a constant
    double constant() const { return constant_; }

private:
    py::PyRef array_;
    double constant_ = 0.0;
};

struct HeatSources {
    PyObject* T_init;
    const MaterialInput* k;
    const MaterialInput* cp;
    PyObject* Q_heat;   // None: 0.0 everywhere
    PyObject* bc_type;  // None: code 0 everywhere
};

// Fills T, k, cp, Q and bc for `cells` cells as if each cell were read in
// ascending flat order, its five values in that order, through `flat`.
// Each destination holds `cells` elements.
bool fill_grid_cells(const HeatSources& sources, double* T, double* k, double* cp, double* Q,
                     std::int32_t* bc, npy_intp cells);

}  // namespace tavro::core
