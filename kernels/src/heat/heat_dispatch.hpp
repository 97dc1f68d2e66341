// The heat sweeps of one instruction set.
#pragma once

#include "heat/heat_records.hpp"
#include "tavro/simd_isa.hpp"

namespace tavro::heat {

// The sweeps compiled for `isa`, which must be available (isa_available).
const SweepTable& sweeps_for(Isa isa) noexcept;

inline PlaneFn plane_sweep(const SweepTable& table, Coef mode, bool codes, bool source,
                           bool stats) {
    return table.plane[static_cast<int>(mode)][codes][source][stats];
}

}  // namespace tavro::heat
