// Reading tcad_solve_3d's array inputs: grid extents from T_init.shape,
// scalar-or-array resolution of k_thermal and cp, and the copy of all five
// per-cell inputs into the kernel's grid.
#pragma once

#include <cstdint>

#include "numpy_api.hpp"
#include "tavro/heat_kernel.hpp"

namespace tavro::core {

struct GridExtents {
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int32_t nz = 0;
    std::int64_t cells = 0;  // formed in 64 bits so it cannot overflow
};

// Extents from T_init.shape[0..2], each converted to int32. Refuses negative
// extents and grids of more than INT32_MAX cells with ValueError.
bool read_grid_extents(PyObject* T_init, GridExtents* out);

// A per-cell material input: one value for every cell, or an array.
class MaterialInput {
public:
    MaterialInput() = default;
    ~MaterialInput() { Py_XDECREF(array_); }
    MaterialInput(const MaterialInput&) = delete;
    MaterialInput& operator=(const MaterialInput&) = delete;

    // None gives `fallback`; an int or float (bool and subclasses included)
    // its value; anything else np.asarray(value, dtype=float64), which must
    // have exactly three dimensions.
    bool resolve(PyObject* value, double fallback);

    PyObject* array() const { return array_; }  // nullptr for a constant
    double constant() const { return constant_; }

private:
    PyObject* array_ = nullptr;
    double constant_ = 0.0;
};

struct TcadSources {
    PyObject* T_init;
    const MaterialInput* k;
    const MaterialInput* cp;
    PyObject* Q_heat;   // None: 0.0 everywhere
    PyObject* bc_type;  // None: code 0 everywhere
};

// Fills T, k, cp, Q and bc for `cells` cells as if each cell were read in
// ascending flat order, its five values in that order, through `flat`.
// `grid`'s per-cell arrays must hold `cells` elements each.
bool fill_grid_cells(const TcadSources& sources, double* T, double* k, double* cp, double* Q,
                     std::int32_t* bc, npy_intp cells);

}  // namespace tavro::core
