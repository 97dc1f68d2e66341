// The field sweep of one instruction set.
#pragma once

#include "field/field_records.hpp"
#include "tavro/simd_isa.hpp"

namespace tavro::field {

// The interior sweep compiled for `isa`, which must be available.
InteriorFn interior_sweep_for(Isa isa) noexcept;

}  // namespace tavro::field
