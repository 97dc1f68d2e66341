// The engine's state: the model as given, the hierarchy built from it and
// the conjugate-gradient vectors.
#pragma once

#include <cstdint>
#include <vector>

#include "conduction/levels.hpp"
#include "tavro/conduction_engine.hpp"

namespace tavro::conduction {

class ThreadTeam;

struct Engine::Impl {
    int nx = 0, ny = 0, nz = 0;
    std::size_t n = 0;
    std::vector<double> dx, dy, dz;
    std::vector<std::uint16_t> material;
    std::vector<MaterialSpec> materials;
    bool any_temperature_dependent = false;
    std::vector<double> face_h[kFaceCount], face_ambient[kFaceCount];
    std::vector<double> face_g[kFaceCount];  // each face cell's conductance to its ambient, W/K
    std::vector<std::int64_t> source_cell;
    std::vector<std::int32_t> source_block;
    std::vector<double> source_weight;
    int blocks = 0;
    double reference_ambient = 0.0;  // where cells without a start value begin
    // During a solve the field holds T - field_offset (the mean ambient), so
    // that products of large conductances with the field stay small and the
    // residual's rounding floor stays far below the heat flows.
    double field_offset = 0.0;
    bool unreachable = false;        // some cell has no conducting path to an ambient

    ModelOperator op;
    std::vector<Level> levels;
    Array<double> r, p, q;     // conjugate-gradient vectors on the model's grid
    Array<double> rhs;         // the right side of the solve under way
    Array<float> z;            // the preconditioned residual, as the V-cycle leaves it
    Array<double> previous;    // the field before a k(T) round or a step's stage
    std::vector<double> partial, partial_max;  // per x plane partial sums and maxima
    double shift = 0.0;           // capacity / dt factor in the diagonals now
    bool conductivity_from_field = false;  // couplings were last taken at a field

    bool present(std::size_t c) const { return material[c] != kNoMaterial; }
    std::size_t face_cells(int face) const;
};

// Level 0's couplings from the materials, at field T when given (k(T)
// materials) or at their stated conductivities; then the coarse levels
// and all diagonals. nonphysical_conductivity names a cell in *bad_cell.
Status assemble(Engine::Impl& e, const double* T, ThreadTeam& team, int* bad_cell);
// Heat capacities on every level (allocated on first use).
Status prepare_capacity(Engine::Impl& e, ThreadTeam& team);
void set_shift(Engine::Impl& e, double shift, ThreadTeam& team);
// Whether every cell with material conducts to some ambient (reads the
// couplings; run once the model is assembled).
bool all_cells_reach_an_ambient(Engine::Impl& e);
// For column (i, j): out[k] += each outer face's conductance to its ambient
// at cell k, times x[k] when x is given (x and out start at the column).
void add_column_boundary(const Engine::Impl& e, std::size_t i, std::size_t j, const double* x, double* out);
// Adds each face cell's G * ambient to b (W).
void add_face_sources(const Engine::Impl& e, double* b);
double face_heat_out(const Engine::Impl& e, const double* T);

// out = A x for the model's operator (with its current shift); with dot,
// also per x plane sums of x * (A x) and maxima of |x|.
void apply_model(Engine::Impl& e, const double* x, double* out, bool dot, ThreadTeam& team);
// r = b - A x (b may be r); per x plane sums of |r| in e.partial.
void model_residual(Engine::Impl& e, const double* x, const double* b, double* r, ThreadTeam& team);

struct PcgOutcome {
    int iterations = 0;
    double residual = 0.0;
    double change = 0.0;
    bool converged = false;
    bool overflowed = false;  // a sum or product stopped being finite
};

// Solves (A + shift C) x = b with b in e.r on entry, x starting from its
// contents; scale: heat flow (W) the default residual tolerance is relative to.
PcgOutcome solve_pcg(Engine::Impl& e, double* x, const SolveOptions& options, double scale, ThreadTeam& team);

}  // namespace tavro::conduction
