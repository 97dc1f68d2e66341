// For each byte of "redo" bits (eight lanes, lane i as bit i), the lanes set,
// in order, as 16-bit offsets, and how many there are: the vector log packs
// the indices of the lanes it leaves to the scalar log with one table load
// and one 16-byte store per eight lanes, without branches.
#pragma once

#include <cstdint>

namespace tavro::vector_log {

struct LaneOrder {
    alignas(16) std::uint16_t lane[8];  // slots past the count are 0
};

struct LaneOrders {
    LaneOrder order[256];
    std::uint8_t count[256];
};

constexpr LaneOrders make_lane_orders() {
    LaneOrders t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if (mask >> lane & 1u) t.order[mask].lane[n++] = static_cast<std::uint16_t>(lane);
        }
        t.count[mask] = static_cast<std::uint8_t>(n);
    }
    return t;
}

alignas(64) inline constexpr LaneOrders kLaneOrders = make_lane_orders();

}  // namespace tavro::vector_log
