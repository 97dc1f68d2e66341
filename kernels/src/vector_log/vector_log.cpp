// When the vector logarithm may run, and the entries to its tile routines
// (log_tiles.cpp holds one per instruction set).
#include "vector_log/vector_log.hpp"

#include <cmath>
#include <cstddef>

#include "tavro/simd_isa.hpp"
#include "vector_log/vector_log_gate.hpp"

namespace tavro {

#if TAVRO_VECTOR_LOG
namespace vector_log::avx2 {
std::size_t log_tile_entry(const double* x, double* y, std::size_t n) noexcept;
}
namespace vector_log::avx512 {
std::size_t log_tile_entry(const double* x, double* y, std::size_t n) noexcept;
}
#endif

bool log_tile_avx2_available() noexcept { return TAVRO_VECTOR_LOG && isa_available(Isa::avx2); }

bool log_tile_avx512_available() noexcept {
    return TAVRO_VECTOR_LOG && isa_available(Isa::avx512);
}

std::size_t log_tile_avx2(const double* x, double* y, std::size_t n) noexcept {
#if TAVRO_VECTOR_LOG
    return vector_log::avx2::log_tile_entry(x, y, n);
#else
    return log_tile_scalar(x, y, n);
#endif
}

std::size_t log_tile_avx512(const double* x, double* y, std::size_t n) noexcept {
#if TAVRO_VECTOR_LOG
    return vector_log::avx512::log_tile_entry(x, y, n);
#else
    return log_tile_scalar(x, y, n);
#endif
}

std::size_t log_tile_scalar(const double* x, double* y, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) y[i] = std::log(x[i]);
    return n;
}

}  // namespace tavro
