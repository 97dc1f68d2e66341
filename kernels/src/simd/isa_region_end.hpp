// Epilogue of a source compiled once per instruction set: closes the target
// region that isa_region_begin.hpp opened. Whatever follows is compiled at
// the baseline again; that is where a source defines the functions other
// sources call, so their declarations and definitions agree on the target.
#pragma once

#if TAVRO_SIMD_ENABLED && TAVRO_SIMD_ID >= 2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
