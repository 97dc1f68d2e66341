// The chip workflow's conduction engine: steady and implicit transient heat
// conduction on a layered tensor-product grid of cell-centred finite
// volumes, solved by conjugate gradients preconditioned with a z-line
// multigrid. Built once from a model description, then solved or stepped
// many times with different block powers.
//
// Cells are indexed c = (i * ny + j) * nz + k: a column along z is
// contiguous, which is what the line relaxation walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tavro::conduction {

// Marks a cell with no material (outside a layer's footprint): it conducts
// nothing, stores nothing and its temperature is reported as NaN.
inline constexpr std::uint16_t kNoMaterial = 0xFFFF;

struct MaterialSpec {
    double kx = 0.0, ky = 0.0, kz = 0.0;  // W/(m K)
    double rho_c = 0.0;                   // J/(m^3 K)
    // Conductivity follows silicon's model k(T) in every direction (kx, ky,
    // kz are then the values at the start, re-evaluated from the field).
    bool silicon_conductivity = false;
};

// The six outer faces of the grid's box.
enum class Face : int { x_low = 0, x_high, y_low, y_high, z_low, z_high };
inline constexpr int kFaceCount = 6;

// One outer face: per face cell a heat transfer coefficient h (W/(m^2 K))
// to an ambient temperature. h = 0 is insulated (exactly no flux), h = inf
// holds the face at the ambient, anything between is convective. Face
// cells run over the two other axes in order (x faces: j * nz + k; y faces:
// i * nz + k; z faces: i * ny + j). A null h insulates the whole face.
struct FaceSpec {
    const double* h = nullptr;
    const double* ambient = nullptr;
};

// Heat sources: source s puts weight[s] of block[s]'s watts into cell[s].
// A block's weights add up to 1; its temperatures are taken over the same
// cells (peak: hottest cell; mean: weighted by the same weights).
struct SourceSpec {
    std::size_t count = 0;
    const std::int64_t* cell = nullptr;
    const std::int32_t* block = nullptr;
    const double* weight = nullptr;
    int block_count = 0;
};

struct ModelSpec {
    int nx = 0, ny = 0, nz = 0;
    const double* x_edges = nullptr;  // nx + 1 increasing positions, m
    const double* y_edges = nullptr;
    const double* z_edges = nullptr;
    const std::uint16_t* material = nullptr;  // per cell: index into materials or kNoMaterial
    const MaterialSpec* materials = nullptr;
    int material_count = 0;
    FaceSpec faces[kFaceCount];
    SourceSpec sources;
    // Threads that build the model (the result does not depend on it).
    int threads = 1;
};

enum class Status {
    ok,
    out_of_memory,
    invalid_model,      // message says what
    no_heat_path,       // steady state: some heated cells reach no ambient
    not_converged,      // iteration limit reached (the field is the last iterate)
    nonphysical_conductivity,  // k(T) <= 0 or not finite at some cell's temperature
    overflow,           // a product of the solve overflowed: the rise cannot be represented
};

enum class Scheme { backward_euler, tr_bdf2 };

struct SolveOptions {
    double tol_kelvin = 1e-6;    // largest change of the last iteration, K
    double tol_watts = -1.0;     // residual (sum of |cell imbalance|), W; < 0: 1e-9 x the heat scale
    int max_iterations = 1000;   // conjugate-gradient iterations per solve
    bool follow_temperature = false;  // re-evaluate k(T) to a fixed point
    double picard_tol = 1e-4;    // K: k(T) has settled when a re-solve moves no cell more
    int picard_limit = 50;
    int threads = 1;
};

struct SolveReport {
    int iterations = 0;          // conjugate-gradient iterations, all solves
    int solves = 0;              // linear solves (k(T) rounds, stages of steps)
    double residual_watts = 0.0; // of the last solve
    double change_kelvin = 0.0;  // of the last iteration of the last solve
    double picard_change = 0.0;  // K, last k(T) round
    double power_watts = 0.0;    // heat generated
    double heat_out_watts = 0.0; // heat leaving through the outer faces at the end
    double bad_temperature = 0.0;  // with nonphysical_conductivity: where k(T) failed
    int bad_cell = -1;
};

class Engine {
public:
    // Builds the model and the solver's hierarchy. On failure returns null
    // with *status and *message set.
    static std::unique_ptr<Engine> create(const ModelSpec& spec, Status* status, std::string* message);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Steady field for block_watts (block_count values) into T, which also
    // holds the starting guess (NaN cells start at the mean ambient).
    Status steady(const double* block_watts, double* T, const SolveOptions& options, SolveReport* report);

    // Advances T by dt seconds with block_watts held over the step.
    Status step(const double* block_watts, double dt, Scheme scheme, double* T,
                const SolveOptions& options, SolveReport* report);

    // Per block: hottest cell and weighted mean temperature of T.
    void block_temperatures(const double* T, double* peak, double* mean) const;

    // Heat leaving through the outer faces (W) with field T.
    double heat_out(const double* T) const;

    std::size_t cell_count() const;
    int block_count() const;
    // Bytes of native memory the engine holds (model and hierarchy).
    std::size_t bytes() const;

    struct Impl;

private:
    explicit Engine(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

const char* status_name(Status status);

}  // namespace tavro::conduction
