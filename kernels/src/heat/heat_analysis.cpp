#include "heat/heat_analysis.hpp"

#include <cstring>

#include "common/grid_faces.hpp"

namespace tavro::heat {
namespace {

std::uint64_t bits_of(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Whether the n values at p carry the bits `ref`, skipping the cells their
// code holds when kSkipHeld. Branch-free, so that it vectorises.
template <bool kSkipHeld>
bool same_bits_in(const double* p, const std::int32_t* codes, std::int64_t n, std::uint64_t ref) {
    std::uint64_t diff = 0;
    for (std::int64_t c = 0; c < n; ++c) {
        std::uint64_t bits;
        std::memcpy(&bits, p + c, sizeof bits);
        const std::uint64_t counts =
            kSkipHeld && static_cast<std::uint32_t>(codes[c]) - 1u < 2u ? 0 : ~std::uint64_t{0};
        diff |= (bits ^ ref) & counts;
    }
    return diff == 0;
}

bool interior_codes_hold(const std::int32_t* bc, std::int64_t nx, std::int64_t ny,
                         std::int64_t nz) {
    const std::int64_t n = nz - 2;  // interior cells of a row, from its cell 1 on
    for (std::int64_t i = 1; i < nx - 1; ++i) {
        for (std::int64_t j = 1; j < ny - 1; ++j) {
            const std::int32_t* codes = bc + (i * ny + j) * nz + 1;
            std::uint32_t held = 0;
            for (std::int64_t c = 0; c < n; ++c) {
                held |= static_cast<std::uint32_t>(codes[c]) - 1u < 2u ? 1u : 0u;
            }
            if (held != 0) return true;
        }
    }
    return false;
}

// The first interior cell in flat order that its code does not hold, or -1.
std::int64_t first_updated_cell(const std::int32_t* bc, std::int64_t nx, std::int64_t ny,
                                std::int64_t nz) {
    for (std::int64_t i = 1; i < nx - 1; ++i) {
        for (std::int64_t j = 1; j < ny - 1; ++j) {
            const std::int64_t row = (i * ny + j) * nz + 1;
            for (std::int64_t c = row; c < row + nz - 2; ++c) {
                if (!is_held_code(bc[c])) return c;
            }
        }
    }
    return -1;
}

}  // namespace

Faces face_extremes(const double* T, double* copy, std::int64_t nx, std::int64_t ny,
                    std::int64_t nz) {
    Faces faces;
    detail::for_each_face_run(nx, ny, nz, [&](std::int64_t first, std::int64_t count) {
        for (std::int64_t c = first; c < first + count; ++c) {
            copy[c] = T[c];
            take_extremes(faces.stats, T[c]);
            if (faces.first_zero < 0 && T[c] == 0.0) {
                faces.first_zero = c;
                faces.zero = T[c];
            }
        }
    });
    return faces;
}

double first_zero_in_scan_order(const double* field, std::int64_t cells) {
    for (std::int64_t c = 0; c < cells; ++c) {
        if (field[c] == 0.0) return field[c];
    }
    return 0.0;
}

bool same_bits(double a, double b) { return bits_of(a) == bits_of(b); }

Uniformity uniformity(const TcadGrid& g, std::int64_t nx, std::int64_t ny, std::int64_t nz) {
    Uniformity u;
    if (g.bc != nullptr) {
        u.codes_hold = interior_codes_hold(g.bc, nx, ny, nz);
        u.first = first_updated_cell(g.bc, nx, ny, nz);
        if (u.first < 0) {  // every interior cell is held: nothing is updated
            u.first = (ny + 1) * nz + 1;
            return u;
        }
    } else {
        u.first = (ny + 1) * nz + 1;  // the first interior cell
    }
    // Inputs given as one value are uniform already; arrays are compared
    // with their value at the first updated cell.
    const std::int64_t n = nz - 2;
    const double* arrays[3] = {g.k, g.cp, g.Q};
    bool* verdicts[3] = {&u.material, &u.material, &u.source};
    for (int a = 0; a < 3; ++a) {
        const double* values = arrays[a];
        if (values == nullptr) continue;
        const std::uint64_t ref = bits_of(values[u.first]);
        bool& same = *verdicts[a];
        for (std::int64_t i = 1; i < nx - 1 && same; ++i) {
            for (std::int64_t j = 1; j < ny - 1 && same; ++j) {
                const std::int64_t row = (i * ny + j) * nz + 1;
                same = u.codes_hold ? same_bits_in<true>(values + row, g.bc + row, n, ref)
                                    : same_bits_in<false>(values + row, nullptr, n, ref);
            }
        }
    }
    return u;
}

}  // namespace tavro::heat
