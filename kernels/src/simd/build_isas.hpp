// The one guard that decides which vector sweeps this build compiles.
//   x86-64, GCC >= 9 or clang >= 10: AVX2 and AVX-512 beside scalar, each
//       compiled in a target region and picked at run time;
//   aarch64, GCC or clang: NEON (2 lanes) beside scalar;
//   anything else (MSVC among them): scalar only.
// An x86-64 GCC or clang too old for the target regions stops the build
// rather than quietly losing the vector paths; TAVRO_SIMD_SCALAR_ONLY asks
// for a scalar build on purpose.
#pragma once

#if defined(TAVRO_SIMD_SCALAR_ONLY)
#define TAVRO_SIMD_X86 0
#define TAVRO_SIMD_HAVE_NEON 0
#elif defined(__x86_64__) && !defined(_MSC_VER) && (defined(__GNUC__) || defined(__clang__))
#if (defined(__clang__) && __clang_major__ < 10) || (!defined(__clang__) && __GNUC__ < 9)
#error "the vector sweeps need GCC 9 or clang 10 or newer; define TAVRO_SIMD_SCALAR_ONLY (CMake: -DTAVRO_SIMD=OFF) for a scalar-only build"
#endif
#define TAVRO_SIMD_X86 1
#define TAVRO_SIMD_HAVE_NEON 0
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define TAVRO_SIMD_X86 0
#define TAVRO_SIMD_HAVE_NEON 1
#else
#define TAVRO_SIMD_X86 0
#define TAVRO_SIMD_HAVE_NEON 0
#endif

#define TAVRO_SIMD_HAVE_AVX2 TAVRO_SIMD_X86
#define TAVRO_SIMD_HAVE_AVX512 TAVRO_SIMD_X86
