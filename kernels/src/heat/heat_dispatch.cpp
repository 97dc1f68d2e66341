#include "heat/heat_dispatch.hpp"

#include "simd/build_isas.hpp"

namespace tavro::heat {

// Defined in heat_sweeps.cpp, once per instruction set of the build.
namespace scalar {
const SweepTable& sweep_table();
}
#if TAVRO_SIMD_HAVE_NEON
namespace neon {
const SweepTable& sweep_table();
}
#endif
#if TAVRO_SIMD_X86
namespace avx2 {
const SweepTable& sweep_table();
}
namespace avx512 {
const SweepTable& sweep_table();
}
#endif

const SweepTable& sweeps_for(Isa isa) noexcept {
    switch (isa) {
#if TAVRO_SIMD_X86
        case Isa::avx512:
            return avx512::sweep_table();
        case Isa::avx2:
            return avx2::sweep_table();
#endif
#if TAVRO_SIMD_HAVE_NEON
        case Isa::neon:
            return neon::sweep_table();
#endif
        default:
            return scalar::sweep_table();
    }
}

}  // namespace tavro::heat
