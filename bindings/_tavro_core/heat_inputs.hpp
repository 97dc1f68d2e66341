// Reading tcad_solve_3d's array inputs: scalar-or-array resolution of
// k_thermal and cp, and the copy of the per-cell inputs into the kernel's
// grid. Inputs with one value for every cell are not spelt out per cell.
#pragma once

#include <cstdint>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace tavro::core {

// A per-cell material input: one value for every cell, or an array.
class MaterialInput {
public:
    // Whether `value` stands for one value in every cell (None, int, float,
    // bool and their subclasses), known before anything is converted.
    static bool is_one_value(PyObject* value);

    // None gives `fallback`; an int or float its value; anything else
    // np.asarray(value, dtype=float64), which must have exactly three
    // dimensions.
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

// Where the per-cell values go; null for an input given as one value (or
// absent). Each destination holds `cells` elements.
struct HeatTargets {
    double* T;
    double* k;
    double* cp;
    double* Q;
    std::int32_t* bc;
};

// Fills the targets for `cells` cells as if each cell were read in ascending
// flat order, its five values in that order, through `flat`.
bool fill_grid_cells(const HeatSources& sources, const HeatTargets& targets, npy_intp cells);

}  // namespace tavro::core
