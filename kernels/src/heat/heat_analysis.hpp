// What a run learns about its grid before the first step: the extremes of
// the face cells (which no step changes), what the updated cells have in
// common, and how to settle the sign of a zero extreme.
#pragma once

#include <cstdint>

#include "heat/heat_records.hpp"

namespace tavro::heat {

// Extremes of the outer-face cells and the first of them in flat order that
// is a zero. A held cell's change is 0 (NaN for an infinity), so it never
// raises delta.
struct Faces {
    StepStats stats;
    std::int64_t first_zero = -1;
    double zero = 0.0;
};

// Reads the face cells of T, copying them into `copy` on the way.
Faces face_extremes(const double* T, double* copy, std::int64_t nx, std::int64_t ny,
                    std::int64_t nz);

// When an extreme is a zero, the sequential scan keeps the first zero it
// meets (a later zero of the other sign compares equal, not greater), so its
// sign is that of the first zero in flat order.
double first_zero_in_scan_order(const double* field, std::int64_t cells);

bool same_bits(double a, double b);

// What the updated cells (off the faces, not held by their code) have in
// common. Bits rather than ==, because 0.0 and -0.0 divide into infinities
// of opposite sign.
struct Uniformity {
    bool codes_hold = false;  // some cell off the faces is held by its code
    bool material = true;     // k and cp carry the same bits in every updated cell
    bool source = true;       // so does Q
    std::int64_t first = -1;  // an updated cell whose values the others match
};

// Needs nx, ny, nz >= 3.
Uniformity uniformity(const TcadGrid& g, std::int64_t nx, std::int64_t ny, std::int64_t nz);

}  // namespace tavro::heat
