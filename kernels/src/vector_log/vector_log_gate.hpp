// Where the vector logarithm is built. A vector lane is kept only when its
// certificate shows that any log within 0.5255 ULP of the exact value
// returns the same double, so this path relies on the platform's log having
// that bound. glibc documents its log as accurate to about 0.52 ULP (0.519
// with FMA, 0.520 without, about 0.507 near 1), and musl uses the same
// algorithm with the same bound; the build defines TAVRO_LIBC_MUSL when the
// compiler targets musl. Elsewhere (macOS, Windows, other C libraries) no
// such bound is documented, so the scalar log is kept. It also needs the
// x86 vector sweeps of the build (simd/build_isas.hpp).
#pragma once

#include <cstdlib>  // defines __GLIBC__ on glibc

#include "simd/build_isas.hpp"

#if TAVRO_SIMD_X86 && ((defined(__GLIBC__) && !defined(__UCLIBC__)) || defined(TAVRO_LIBC_MUSL))
#define TAVRO_VECTOR_LOG 1
#else
#define TAVRO_VECTOR_LOG 0
#endif
