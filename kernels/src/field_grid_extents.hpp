// Extents of a FieldGrid as the sweeps use them, shared by both field kernels.
#pragma once

#include <cstdint>

#include "tavro/field_kernel.hpp"

namespace tavro::detail {

struct FieldExtents64 {
    std::int64_t nx, ny, nz, cells;
};

// A negative extent holds no cells. The count is formed in 64 bits; false
// when even that cannot hold it (such a grid could never be allocated).
inline bool field_extents(const FieldGrid& grid, FieldExtents64* out) {
    const std::int64_t nx = grid.nx > 0 ? grid.nx : 0;
    const std::int64_t ny = grid.ny > 0 ? grid.ny : 0;
    const std::int64_t nz = grid.nz > 0 ? grid.nz : 0;
    const std::int64_t plane = nx * ny;
    if (nz != 0 && plane > INT64_MAX / nz) return false;
    *out = {nx, ny, nz, plane * nz};
    return true;
}

// 1e-104 / 6 rounded to double: the cubic coupling coefficient.
inline constexpr double kCubicCoupling = 1.6666666666666665e-105;
// Lower bound of a free cell's tau after a sweep, and the bound below which
// (NaN included) the logarithmic coupling is replaced by tau itself.
inline constexpr double kTauFloor = 1e-9;
inline constexpr double kFlooredDenominator = 1.000000001;

}  // namespace tavro::detail
