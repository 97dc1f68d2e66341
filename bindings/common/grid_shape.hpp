// Grid extents read from an array's shape, and the cell-count limit.
#pragma once

#include <cstdint>

#include "numpy_api.hpp"

namespace tavro::py {

struct GridShape {
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int32_t nz = 0;
    std::int64_t cells = 0;  // formed in 64 bits so it cannot overflow
};

// shape[0..2] of `obj`, each converted to int32 (OverflowError beyond),
// read the way Python's obj.shape[i] reads them (IndexError for fewer than
// three dimensions). Refuses negative extents and grids of more than
// INT32_MAX cells with ValueError, before anything is allocated; a grid
// with a zero extent has no cells and is always valid.
bool read_grid_shape(PyObject* obj, GridShape* out);

}  // namespace tavro::py
