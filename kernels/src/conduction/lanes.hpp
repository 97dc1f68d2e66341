// Reductions over a range of cells in four interleaved lanes, combined in a
// fixed order: independent chains the processor can overlap, and a result
// that depends only on the range (each range is one x plane or one column,
// whatever the number of threads).
#pragma once

#include <algorithm>
#include <cstddef>

namespace tavro::conduction {

template <class Term>
double lane_sum(std::size_t first, std::size_t end, Term term) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t c = first;
    for (; c + 4 <= end; c += 4) {
        lane[0] += term(c);
        lane[1] += term(c + 1);
        lane[2] += term(c + 2);
        lane[3] += term(c + 3);
    }
    for (; c < end; ++c) lane[0] += term(c);
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

template <class Term>
double lane_max(std::size_t first, std::size_t end, Term term) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t c = first;
    for (; c + 4 <= end; c += 4) {
        lane[0] = std::max(lane[0], term(c));
        lane[1] = std::max(lane[1], term(c + 1));
        lane[2] = std::max(lane[2], term(c + 2));
        lane[3] = std::max(lane[3], term(c + 3));
    }
    for (; c < end; ++c) lane[0] = std::max(lane[0], term(c));
    return std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]));
}

}  // namespace tavro::conduction
