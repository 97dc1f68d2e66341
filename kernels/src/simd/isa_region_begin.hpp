// Prologue of a source compiled once per instruction set. The build defines
// TAVRO_SIMD_ISA as scalar, neon, avx2 or avx512; this header includes that
// set's lanes and, for the x86 sets, opens a region in which every function
// defined is compiled for the set (GCC's target pragma, clang's attribute
// pragma), while the rest of the library stays at the baseline and picks a
// set at run time. A source includes its standard and shared headers before
// this one (functions they define must stay at the baseline), defines its
// sweeps in namespace TAVRO_SIMD_ISA, then includes isa_region_end.hpp.
//
// TAVRO_SIMD_ENABLED is 0 when this build has no such set (the AVX-512 copy
// of a source on aarch64, say); the source then compiles to nothing.
#pragma once

#include <cstdint>

#include "common/compiler.hpp"
#include "simd/build_isas.hpp"
#include "simd/lanes_scalar.hpp"

#ifndef TAVRO_SIMD_ISA
#error "compile this source with TAVRO_SIMD_ISA set to scalar, neon, avx2 or avx512"
#endif

#define TAVRO_SIMD_ID_scalar 0
#define TAVRO_SIMD_ID_neon 1
#define TAVRO_SIMD_ID_avx2 2
#define TAVRO_SIMD_ID_avx512 3
#define TAVRO_SIMD_CAT_(a, b) a##b
#define TAVRO_SIMD_CAT(a, b) TAVRO_SIMD_CAT_(a, b)
#define TAVRO_SIMD_ID TAVRO_SIMD_CAT(TAVRO_SIMD_ID_, TAVRO_SIMD_ISA)

#if TAVRO_SIMD_ID == 0
#define TAVRO_SIMD_ENABLED 1
#elif TAVRO_SIMD_ID == 1
#define TAVRO_SIMD_ENABLED TAVRO_SIMD_HAVE_NEON
#elif TAVRO_SIMD_ID == 2
#define TAVRO_SIMD_ENABLED TAVRO_SIMD_HAVE_AVX2
#define TAVRO_SIMD_TARGET "avx2,fma"
#elif TAVRO_SIMD_ID == 3
#define TAVRO_SIMD_ENABLED TAVRO_SIMD_HAVE_AVX512
#define TAVRO_SIMD_TARGET "avx512f,avx2,fma"
#else
#error "TAVRO_SIMD_ISA names no instruction set"
#endif

#if TAVRO_SIMD_ENABLED && TAVRO_SIMD_ID == 1
#include <arm_neon.h>
#include "simd/lanes_neon.hpp"
#elif TAVRO_SIMD_ENABLED && TAVRO_SIMD_ID >= 2
#include <immintrin.h>
#if defined(__clang__)
#define TAVRO_SIMD_PRAGMA_(text) _Pragma(#text)
#define TAVRO_SIMD_PRAGMA(text) TAVRO_SIMD_PRAGMA_(text)
TAVRO_SIMD_PRAGMA(clang attribute push(__attribute__((target(TAVRO_SIMD_TARGET))), apply_to = function))
#else
#pragma GCC push_options
#define TAVRO_SIMD_PRAGMA_(text) _Pragma(#text)
#define TAVRO_SIMD_PRAGMA(text) TAVRO_SIMD_PRAGMA_(text)
TAVRO_SIMD_PRAGMA(GCC target(TAVRO_SIMD_TARGET))
#endif
#if TAVRO_SIMD_ID == 2
#include "simd/lanes_avx2.hpp"
#else
#include "simd/lanes_avx512.hpp"
#endif
#endif
