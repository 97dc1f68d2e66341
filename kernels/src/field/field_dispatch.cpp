#include "field/field_dispatch.hpp"

#include "simd/build_isas.hpp"

namespace tavro::field {

// Defined in field_sweeps.cpp, once per instruction set of the build.
namespace scalar {
InteriorFn interior_sweep();
}
#if TAVRO_SIMD_HAVE_NEON
namespace neon {
InteriorFn interior_sweep();
}
#endif
#if TAVRO_SIMD_X86
namespace avx2 {
InteriorFn interior_sweep();
}
namespace avx512 {
InteriorFn interior_sweep();
}
#endif

InteriorFn interior_sweep_for(Isa isa) noexcept {
    switch (isa) {
#if TAVRO_SIMD_X86
        case Isa::avx512:
            return avx512::interior_sweep();
        case Isa::avx2:
            return avx2::interior_sweep();
#endif
#if TAVRO_SIMD_HAVE_NEON
        case Isa::neon:
            return neon::interior_sweep();
#endif
        default:
            return scalar::interior_sweep();
    }
}

}  // namespace tavro::field
