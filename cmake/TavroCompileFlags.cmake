# Code generation shared by every build of the project (library, modules,
# tests, benchmarks, fuzzers), as one INTERFACE target that each of them
# links: tavro_compile_flags. Results must match the written order of
# floating-point operations to the last bit: no fused multiply-add
# contraction, no fast-math, IEEE double arithmetic (SSE2, never x87).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

option(TAVRO_WERROR "Treat compiler warnings as errors (CI)" OFF)
option(TAVRO_SIMD "Build the vector sweeps (off: scalar sweeps only)" ON)

if(NOT TARGET tavro_compile_flags)
  add_library(tavro_compile_flags INTERFACE)
  if(MSVC)
    # cl and clang-cl: precise floating point (never /fp:fast); clang-cl
    # also needs contraction switched off explicitly.
    target_compile_options(tavro_compile_flags INTERFACE /O2 /fp:precise /W4 /utf-8)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      target_compile_options(tavro_compile_flags INTERFACE /clang:-ffp-contract=off)
    endif()
    if(TAVRO_WERROR)
      target_compile_options(tavro_compile_flags INTERFACE /WX)
    endif()
  else()
    target_compile_options(tavro_compile_flags INTERFACE
      -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Wpedantic)
    if(TAVRO_WERROR)
      target_compile_options(tavro_compile_flags INTERFACE -Werror)
    endif()
    # 32-bit x86 would otherwise compute in x87's 80-bit registers and
    # round twice: force SSE2 double arithmetic.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86|AMD64|x86_64)$")
      target_compile_options(tavro_compile_flags INTERFACE -msse2 -mfpmath=sse)
    endif()
  endif()
  if(NOT TAVRO_SIMD)
    target_compile_definitions(tavro_compile_flags INTERFACE TAVRO_SIMD_SCALAR_ONLY)
  endif()
  # The vector log runs only where the C library's log has a documented
  # error bound; musl cannot be told from its headers, so the compiler's
  # target names it.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                  OUTPUT_VARIABLE TAVRO_CXX_MACHINE ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(TAVRO_CXX_MACHINE MATCHES "musl")
    target_compile_definitions(tavro_compile_flags INTERFACE TAVRO_LIBC_MUSL=1)
  endif()
endif()
