// Coupled psi-tau field relaxation on a regular 3-D grid by damped gradient
// descent (Jacobi style), in dimensionless form psi' = psi / P_k.
// Interpreter-free: plain buffers in, plain numbers out.
#pragma once

#include <cstdint>

namespace tavro {

// The caller's grid, owned by the caller for one run. Cell (i0, i1, i2)
// lives at flat index (i0*ny + i1)*nz + i2. The run keeps one generation of
// psi' and of tau in psi and tau themselves, which therefore hold
// intermediate values while it runs. A null phi means 0.0 in every cell, a
// null bc no fixed cell.
struct FieldGrid {
    double* psi = nullptr;        // psi in the caller's units: initial in, final out
    double* tau = nullptr;        // tau: initial in, final out
    const double* phi = nullptr;  // external field, read only
    const double* bc = nullptr;   // exactly 1.0 fixes a cell; read only
    std::int32_t nx = 0;
    std::int32_t ny = 0;
    std::int32_t nz = 0;
    double P_k = 0.0;  // psi scale
};

struct RunSummary {
    std::int32_t iterations_completed = 0;
    std::int32_t early_exit_step = -1;  // sweep after which the run converged, or -1
    double max_delta_final = 0.0;       // largest update of the last sweep
    double energy_final = 0.0;          // energy / N at the converged sweep, else 0.0
};

// Runs up to `iterations` sweeps. When `history` is non-null, every sweep
// whose index is a multiple of `history_stride` writes the record
// (sweep, max_delta, energy / N) at record sweep / history_stride; the
// caller sizes the buffer and passes history_stride >= 1 with it. A
// convergence_tol above 0.0 stops after the first sweep whose largest update
// is strictly below it. If the scratch buffers cannot be allocated, no sweep
// runs and psi and tau keep their input values. Never throws.
RunSummary relax_fields(FieldGrid& grid, std::int32_t iterations, double* history,
                        std::int32_t history_stride, double convergence_tol) noexcept;

// Plain cell-by-cell transcription of the same arithmetic, the reference any
// optimised relax_fields is held against bit for bit.
RunSummary relax_fields_reference(FieldGrid& grid, std::int32_t iterations, double* history,
                                  std::int32_t history_stride, double convergence_tol) noexcept;

}  // namespace tavro
