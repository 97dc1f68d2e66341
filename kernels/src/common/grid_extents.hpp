// Extents of a kernel's grid record (TcadGrid, FieldGrid) as the sweeps use
// them, shared by every kernel.
#pragma once

#include <cstdint>

namespace tavro::detail {

struct GridExtents64 {
    std::int64_t nx, ny, nz, cells;
};

// A negative extent holds no cells. The count is formed in 64 bits; false
// when even that cannot hold it (such a grid could never be allocated).
template <class Grid>
inline bool grid_extents(const Grid& grid, GridExtents64* out) {
    const std::int64_t nx = grid.nx > 0 ? grid.nx : 0;
    const std::int64_t ny = grid.ny > 0 ? grid.ny : 0;
    const std::int64_t nz = grid.nz > 0 ? grid.nz : 0;
    const std::int64_t plane = nx * ny;
    if (nz != 0 && plane > INT64_MAX / nz) return false;
    *out = {nx, ny, nz, plane * nz};
    return true;
}

}  // namespace tavro::detail
