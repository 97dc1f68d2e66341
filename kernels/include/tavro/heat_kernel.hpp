// Explicit 3-D transient heat diffusion on a regular grid (seven-point stencil,
// forward Euler, Jacobi sweeps). Interpreter-free: plain buffers in, plain
// numbers out.
#pragma once

#include <cstdint>

namespace tavro {

// Working grid, owned by the caller for the length of one run. The kernel
// rewrites only T. Cell (i, j, k) lives at flat index (i*ny + j)*nz + k.
// An input that has the same value in every cell need not be spelt out: a
// null k or cp means k_uniform or cp_uniform in every cell, a null Q a
// source of 0.0 and a null bc the code 0 everywhere.
struct TcadGrid {
    double* T = nullptr;         // temperature: initial field in, final field out
    const double* k = nullptr;   // thermal conductivity
    const double* cp = nullptr;  // specific heat
    const double* Q = nullptr;   // heat source, a temperature rate
    const std::int32_t* bc = nullptr;  // 1 (fixed) and 2 (insulated) hold the cell
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int32_t nz = 0;
    double dx = 0.0;
    double dy = 0.0;
    double dz = 0.0;
    double dt = 0.0;
    double k_uniform = 0.0;   // every cell's k when k is null
    double cp_uniform = 0.0;  // every cell's cp when cp is null
};

struct TcadSummary {
    std::int32_t iterations_completed = 0;
    std::int32_t early_exit_step = -1;  // step after which the run converged, or -1
    double max_delta = 0.0;             // largest |change| of the last executed step
};

// Density built into the update (silicon, kg/m^3).
inline constexpr double kTcadDensity = 2329.0;
// Starting bounds of the per-step extremes.
inline constexpr double kTcadMaxStart = -1.0e10;
inline constexpr double kTcadMinStart = 1.0e10;

// Runs up to `iterations` sweeps. When `history` is non-null, every step whose
// index is a multiple of `history_stride` writes the triple
// (step, T_max, T_min) into slot step / history_stride; the caller sizes the
// buffer and must pass history_stride >= 1 with it (a smaller stride takes
// no samples). A negative extent holds no cells. A convergence_tol above
// 0.0 stops the run after the first step whose largest change is strictly
// below it. If the scratch field cannot be allocated, no step runs and T is
// left as it came. Never throws.
TcadSummary tcad_kernel(TcadGrid& grid, std::int32_t iterations, double* history,
                        std::int32_t history_stride, double convergence_tol) noexcept;

// Plain cell-by-cell transcription of the same arithmetic. The optimised
// tcad_kernel must match it bit for bit; tests hold the two side by side.
TcadSummary tcad_kernel_reference(TcadGrid& grid, std::int32_t iterations, double* history,
                                  std::int32_t history_stride,
                                  double convergence_tol) noexcept;

}  // namespace tavro
