// The vector log's tile routine, compiled once per instruction set (the
// build defines TAVRO_SIMD_ISA); only the AVX2 and AVX-512 copies hold one,
// and only where the platform's log allows it (vector_log_gate.hpp).
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "vector_log/lane_orders.hpp"
#include "vector_log/log_table.hpp"
#include "vector_log/vector_log.hpp"
#include "vector_log/vector_log_gate.hpp"
#include "simd/isa_region_begin.hpp"

#if TAVRO_SIMD_ENABLED && TAVRO_SIMD_ID >= 2 && TAVRO_VECTOR_LOG
#include "vector_log/log_lanes.hpp"
#define TAVRO_LOG_TILES_HERE 1
#endif

#include "simd/isa_region_end.hpp"

#if TAVRO_LOG_TILES_HERE
namespace tavro::vector_log::TAVRO_SIMD_ISA {

// Called only once the CPU is known to run this set.
std::size_t log_tile_entry(const double* x, double* y, std::size_t n) noexcept {
    return log_tile(x, y, n);
}

}  // namespace tavro::vector_log::TAVRO_SIMD_ISA
#endif
