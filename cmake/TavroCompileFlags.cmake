# Code generation shared by every build of the project (library, modules,
# tests, benchmarks). Results must match the written order of floating-point
# operations to the last bit: no fused multiply-add contraction, no fast-math.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()
add_compile_options(-Wall -Wextra -Wpedantic -O3 -ffp-contract=off -fno-fast-math)
