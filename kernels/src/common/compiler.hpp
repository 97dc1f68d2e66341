// Compiler hints the kernels use, spelled for every compiler the project
// builds with.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define TAVRO_ALWAYS_INLINE __attribute__((always_inline)) inline
#define TAVRO_PREFETCH(address) __builtin_prefetch(address)
#elif defined(_MSC_VER)
#include <intrin.h>
#define TAVRO_ALWAYS_INLINE __forceinline
#if defined(_M_X64) || defined(_M_IX86)
#define TAVRO_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define TAVRO_PREFETCH(address) ((void)(address))
#endif
#else
#define TAVRO_ALWAYS_INLINE inline
#define TAVRO_PREFETCH(address) ((void)(address))
#endif
