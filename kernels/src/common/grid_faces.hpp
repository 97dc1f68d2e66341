// The cells on a grid's outer faces, which no sweep of either kernel
// changes, and the cells off them, visited in flat order as runs of
// consecutive cells.
#pragma once

#include <cstdint>
#include <cstring>

namespace tavro::detail {

// Calls run(first, count) for each run: whole rows on the faces i = 0,
// nx-1, j = 0, ny-1, and the two end cells of every other row.
template <class Run>
void for_each_face_run(std::int64_t nx, std::int64_t ny, std::int64_t nz, Run&& run) {
    if (nz == 0) return;  // no cells, however many rows
    for (std::int64_t i = 0; i < nx; ++i) {
        for (std::int64_t j = 0; j < ny; ++j) {
            const std::int64_t row = (i * ny + j) * nz;
            if (i == 0 || i == nx - 1 || j == 0 || j == ny - 1 || nz <= 2) {
                run(row, nz);
            } else {
                run(row, 1);
                run(row + nz - 1, 1);
            }
        }
    }
}

// Calls row(first, count) for the cells off the faces of each row off the
// faces, in flat order, until it returns false.
template <class Row>
void for_each_interior_row(std::int64_t nx, std::int64_t ny, std::int64_t nz, Row&& row) {
    if (nz < 3) return;  // no interior, however many rows
    for (std::int64_t i = 1; i < nx - 1; ++i) {
        for (std::int64_t j = 1; j < ny - 1; ++j) {
            if (!row((i * ny + j) * nz + 1, nz - 2)) return;
        }
    }
}

inline void copy_faces(const double* src, double* dst, std::int64_t nx, std::int64_t ny,
                       std::int64_t nz) {
    for_each_face_run(nx, ny, nz, [&](std::int64_t first, std::int64_t count) {
        std::memcpy(dst + first, src + first, static_cast<std::size_t>(count) * sizeof(double));
    });
}

}  // namespace tavro::detail
