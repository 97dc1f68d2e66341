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
        const std::uint64_t counts = kSkipHeld && is_held_code(codes[c]) ? 0 : ~std::uint64_t{0};
        diff |= (bits ^ ref) & counts;
    }
    return diff == 0;
}

struct HeldCells {
    bool any = false;              // some interior cell is held by its code
    std::int64_t first_free = -1;  // the first interior cell that is not, or -1
};

// One walk over the interior codes, ending once both answers are known.
HeldCells held_cells(const std::int32_t* bc, std::int64_t nx, std::int64_t ny, std::int64_t nz) {
    HeldCells h;
    detail::for_each_interior_row(nx, ny, nz, [&](std::int64_t first, std::int64_t count) {
        std::uint32_t held = 0;
        for (std::int64_t c = first; c < first + count; ++c) held |= is_held_code(bc[c]) ? 1u : 0u;
        h.any = h.any || held != 0;
        for (std::int64_t c = first; h.first_free < 0 && c < first + count; ++c) {
            if (!is_held_code(bc[c])) h.first_free = c;
        }
        return !h.any || h.first_free < 0;
    });
    return h;
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
    u.first = (ny + 1) * nz + 1;  // the first interior cell
    if (g.bc != nullptr) {
        const HeldCells held = held_cells(g.bc, nx, ny, nz);
        u.codes_hold = held.any;
        if (held.first_free < 0) return u;  // every interior cell is held: nothing is updated
        u.first = held.first_free;
    }
    // Inputs given as one value are uniform already; arrays are compared
    // with their value at the first updated cell.
    const double* arrays[3] = {g.k, g.cp, g.Q};
    bool* verdicts[3] = {&u.material, &u.material, &u.source};
    for (int a = 0; a < 3; ++a) {
        const double* values = arrays[a];
        if (values == nullptr) continue;
        const std::uint64_t ref = bits_of(values[u.first]);
        bool& same = *verdicts[a];
        if (!same) continue;
        detail::for_each_interior_row(nx, ny, nz, [&](std::int64_t row, std::int64_t n) {
            same = u.codes_hold ? same_bits_in<true>(values + row, g.bc + row, n, ref)
                                : same_bits_in<false>(values + row, nullptr, n, ref);
            return same;
        });
    }
    return u;
}

}  // namespace tavro::heat
