// Natural logarithm of a tile of doubles, several lanes at a time, storing
// for every element exactly the bits of the platform's scalar log.
//
// Each lane's log is formed in extended precision (about 2^-66 relative);
// a lane is kept only when that result certifies the one double any log
// within 0.5255 ULP must return. The other lanes (about 5% of ordinary
// inputs, and every zero, negative, subnormal, infinite or NaN input) go to
// the scalar log itself. See log_lanes.hpp for the method and
// vector_log_gate.hpp for where it is enabled.
#pragma once

#include <cstddef>

namespace tavro {

// Elements per call that keep a tile's values and bookkeeping in L1. Any
// n works; longer calls are worked through in pieces of this size.
inline constexpr std::size_t kLogTileCells = 1024;

// Whether log_tile_avx2 / log_tile_avx512 may be called in this process:
// the platform's log carries the error bound the certificate relies on, and
// the CPU has the instructions (AVX2 with FMA; AVX-512F). Cheap after the
// first call.
bool log_tile_avx2_available() noexcept;
bool log_tile_avx512_available() noexcept;

// y[i] = log(x[i]) for i < n, bit for bit what the platform's log returns
// (NaN results are NaN), for any input. x and y are the same array or do not
// overlap. Returns how many elements went to the scalar log. Call a vector
// routine only when its query above is true; where the library is built
// without the vector path, both are the scalar loop.
std::size_t log_tile_avx2(const double* x, double* y, std::size_t n) noexcept;
std::size_t log_tile_avx512(const double* x, double* y, std::size_t n) noexcept;

// The plain loop over the scalar log; returns n.
std::size_t log_tile_scalar(const double* x, double* y, std::size_t n) noexcept;

}  // namespace tavro
