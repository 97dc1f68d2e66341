// The engine's entry points: building a model, steady states with optional
// k(T) re-evaluation, implicit steps, and per-block temperatures.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>
#include <string>

#include "conduction/engine_impl.hpp"
#include "conduction/thread_team.hpp"
#include "tavro/ieee_mode.hpp"

namespace tavro::conduction {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// TR-BDF2's intermediate point; both of its stages then share one matrix.
const double kGamma = 2.0 - std::sqrt(2.0);

bool increasing(const double* edges, int n) {
    for (int i = 0; i <= n; ++i) {
        if (!std::isfinite(edges[i])) return false;
        if (i > 0 && !(edges[i] > edges[i - 1])) return false;
    }
    return true;
}

// Why spec cannot be built, or an empty string.
std::string check_spec(const ModelSpec& s) {
    if (s.nx < 1 || s.ny < 1 || s.nz < 1) return "the grid needs at least one cell along each axis";
    const double cells = static_cast<double>(s.nx) * s.ny * s.nz;
    if (cells > 4.0e9) return "the grid has more than 4e9 cells";
    if (!s.x_edges || !s.y_edges || !s.z_edges || !increasing(s.x_edges, s.nx) || !increasing(s.y_edges, s.ny) ||
        !increasing(s.z_edges, s.nz))
        return "cell edges must be finite and strictly increasing along each axis";
    if (!s.material || s.material_count < 1 || !s.materials) return "no materials";
    for (int m = 0; m < s.material_count; ++m) {
        const MaterialSpec& mat = s.materials[m];
        for (double k : {mat.kx, mat.ky, mat.kz})
            if (!(k > 0.0) || !std::isfinite(k)) return "material " + std::to_string(m) + ": conductivity must be positive and finite";
        if (!(mat.rho_c >= 0.0) || !std::isfinite(mat.rho_c))
            return "material " + std::to_string(m) + ": heat capacity must be finite and not negative";
    }
    const std::size_t n = static_cast<std::size_t>(cells);
    // The largest index named (without material reads as 0) first, the
    // offending cell only when there is one.
    unsigned largest = 0;
    for (std::size_t c = 0; c < n; ++c) {
        const unsigned m = s.material[c];
        largest = std::max(largest, m == kNoMaterial ? 0u : m);
    }
    for (std::size_t c = 0; largest >= static_cast<unsigned>(s.material_count) && c < n; ++c) {
        if (s.material[c] != kNoMaterial && s.material[c] >= s.material_count)
            return "cell " + std::to_string(c) + " names material " + std::to_string(s.material[c]) + " of " +
                   std::to_string(s.material_count);
    }
    const SourceSpec& src = s.sources;
    if (src.block_count < 0 || (src.count > 0 && (!src.cell || !src.block || !src.weight)))
        return "incomplete heat sources";
    for (std::size_t i = 0; i < src.count; ++i) {
        if (src.cell[i] < 0 || static_cast<std::size_t>(src.cell[i]) >= n) return "a heat source lies outside the grid";
        if (s.material[src.cell[i]] == kNoMaterial) return "a heat source lies in a cell without material";
        if (src.block[i] < 0 || src.block[i] >= src.block_count) return "a heat source names no block";
        if (!(src.weight[i] >= 0.0) || !std::isfinite(src.weight[i])) return "source weights must be finite and not negative";
    }
    return "";
}

void copy_faces(Engine::Impl& e, const ModelSpec& s) {
    for (int face = 0; face < kFaceCount; ++face) {
        if (s.faces[face].h == nullptr) continue;
        const std::size_t count = e.face_cells(face);
        e.face_h[face].assign(s.faces[face].h, s.faces[face].h + count);
        e.face_ambient[face].assign(s.faces[face].ambient, s.faces[face].ambient + count);
    }
}

std::string check_faces(const Engine::Impl& e) {
    static const char* const names[kFaceCount] = {"x low", "x high", "y low", "y high", "z low", "z high"};
    for (int face = 0; face < kFaceCount; ++face) {
        for (std::size_t f = 0; f < e.face_h[face].size(); ++f) {
            if (!(e.face_h[face][f] >= 0.0)) return std::string(names[face]) + " face: h must be at least 0";
            if (e.face_h[face][f] > 0.0 && !std::isfinite(e.face_ambient[face][f]))
                return std::string(names[face]) + " face: ambient temperatures must be finite";
        }
    }
    return "";
}

double mean_ambient(const Engine::Impl& e) {
    double sum = 0.0, weight = 0.0;
    for (int face = 0; face < kFaceCount; ++face) {
        for (std::size_t f = 0; f < e.face_h[face].size(); ++f) {
            if (e.face_h[face][f] > 0.0) {
                sum += e.face_ambient[face][f];
                weight += 1.0;
            }
        }
    }
    return weight > 0.0 ? sum / weight : 0.0;
}

// Calls fn(first, end) on ranges of whole x planes of cells, in parallel.
template <class Fn>
void for_cells(const Engine::Impl& e, ThreadTeam& team, Fn fn) {
    const std::size_t sx = static_cast<std::size_t>(e.ny) * static_cast<std::size_t>(e.nz);
    team.parallel_for(static_cast<std::size_t>(e.nx), sx / 2,
                      [&](std::size_t first, std::size_t end) { fn(first * sx, end * sx); });
}

// The field as a solve holds it: T - the mean ambient, cells without
// material at zero, missing start values at the mean ambient. The caller's
// temperatures come back when the scope ends, on every path.
class SolveField {
public:
    SolveField(Engine::Impl& e, double* T, ThreadTeam& team) : e_(e), T_(T), team_(team) {
        const double offset = e.reference_ambient;
        for_cells(e, team, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c)
                T[c] = !e.present(c) || !std::isfinite(T[c]) ? 0.0 : T[c] - offset;
        });
        e.field_offset = offset;
    }
    ~SolveField() { release(); }
    SolveField(const SolveField&) = delete;
    SolveField& operator=(const SolveField&) = delete;

    // Temperatures in kelvin again, NaN where there is no material.
    void release() {
        if (done_) return;
        done_ = true;
        const double offset = e_.field_offset;
        for_cells(e_, team_, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c) T_[c] = e_.present(c) ? T_[c] + offset : kNaN;
        });
        e_.field_offset = 0.0;
    }

private:
    Engine::Impl& e_;
    double* T_;
    ThreadTeam& team_;
    bool done_ = false;
};

// b (in r) = block sources + face conductances times their ambients; the
// total power in *power.
void source_side(Engine::Impl& e, const double* block_watts, double* power, ThreadTeam& team) {
    double* b = e.r.get();
    for_cells(e, team, [&](std::size_t first, std::size_t end) { std::fill(b + first, b + end, 0.0); });
    double total = 0.0;
    for (std::size_t s = 0; s < e.source_cell.size(); ++s) {
        const double w = e.source_weight[s] * block_watts[e.source_block[s]];
        b[e.source_cell[s]] += w;
        total += w;
    }
    *power = total;
    add_face_sources(e, b);
}

double power_scale(const Engine::Impl& e, const double* block_watts) {
    double scale = 0.0;
    for (int b = 0; b < e.blocks; ++b) scale += std::fabs(block_watts[b]);
    return scale;
}

double largest_change(Engine::Impl& e, const double* a, const double* b, ThreadTeam& team) {
    const std::size_t sx = static_cast<std::size_t>(e.ny) * static_cast<std::size_t>(e.nz);
    team.parallel_for(static_cast<std::size_t>(e.nx), sx / 2, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            double largest = 0.0;
            for (std::size_t c = i * sx; c < (i + 1) * sx; ++c) largest = std::max(largest, std::fabs(a[c] - b[c]));
            e.partial_max[i] = largest;
        }
    });
    return *std::max_element(e.partial_max.begin(), e.partial_max.end());
}

Status conductivity_failure(const Engine::Impl& e, const double* T, int cell, SolveReport* report) {
    report->bad_cell = cell;
    report->bad_temperature = T != nullptr ? T[cell] + e.field_offset : e.reference_ambient;
    return Status::nonphysical_conductivity;
}

}  // namespace

Engine::Engine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Engine::~Engine() = default;

std::unique_ptr<Engine> Engine::create(const ModelSpec& spec, Status* status, std::string* message) try {
    IeeeModeScope ieee;
    *status = Status::invalid_model;
    *message = check_spec(spec);
    if (!message->empty()) return nullptr;
    auto e = std::make_unique<Impl>();
    e->nx = spec.nx;
    e->ny = spec.ny;
    e->nz = spec.nz;
    e->n = static_cast<std::size_t>(spec.nx) * spec.ny * spec.nz;
    for (int i = 0; i < spec.nx; ++i) e->dx.push_back(spec.x_edges[i + 1] - spec.x_edges[i]);
    for (int j = 0; j < spec.ny; ++j) e->dy.push_back(spec.y_edges[j + 1] - spec.y_edges[j]);
    for (int k = 0; k < spec.nz; ++k) e->dz.push_back(spec.z_edges[k + 1] - spec.z_edges[k]);
    e->material.assign(spec.material, spec.material + e->n);
    e->materials.assign(spec.materials, spec.materials + spec.material_count);
    for (const MaterialSpec& m : e->materials) e->any_temperature_dependent |= m.silicon_conductivity;
    copy_faces(*e, spec);
    *message = check_faces(*e);
    if (!message->empty()) return nullptr;
    e->reference_ambient = mean_ambient(*e);
    const SourceSpec& src = spec.sources;
    e->source_cell.assign(src.cell, src.cell + src.count);
    e->source_block.assign(src.block, src.block + src.count);
    e->source_weight.assign(src.weight, src.weight + src.count);
    e->blocks = src.block_count;

    *status = Status::out_of_memory;
    *message = "not enough memory for the model";
    e->levels.emplace_back();
    Level& fine = e->levels[0];
    fine.nx = spec.nx;
    fine.ny = spec.ny;
    fine.nz = spec.nz;
    fine.n = e->n;
    fine.x_edges.assign(spec.x_edges, spec.x_edges + spec.nx + 1);
    fine.y_edges.assign(spec.y_edges, spec.y_edges + spec.ny + 1);
    if (!allocate_level(fine, false, false)) return nullptr;
    for (;;) {
        Level coarse;
        if (!plan_coarser(e->levels.back(), coarse)) break;
        if (!allocate_level(coarse, true, false)) return nullptr;
        e->levels.push_back(std::move(coarse));
    }
    for (Array<double>* a : {&e->op.gx, &e->op.gy, &e->op.gz})
        if (!a->allocate(e->n, AllocSite::engine_model)) return nullptr;
    for (Array<double>* a : {&e->r, &e->p, &e->q, &e->rhs})
        if (!a->allocate(e->n, AllocSite::engine_vectors)) return nullptr;
    if (!e->z.allocate(e->n, AllocSite::engine_vectors)) return nullptr;
    e->partial.assign(static_cast<std::size_t>(spec.nx), 0.0);
    e->partial_max.assign(static_cast<std::size_t>(spec.nx), 0.0);

    ThreadTeam team(std::max(spec.threads, 1));
    int bad = -1;
    *status = assemble(*e, nullptr, team, &bad);
    if (*status != Status::ok) {
        *message = "nonphysical conductivity";
        return nullptr;
    }
    e->unreachable = !all_cells_reach_an_ambient(*e);
    *status = Status::ok;
    message->clear();
    return std::unique_ptr<Engine>(new Engine(std::move(e)));
} catch (const std::bad_alloc&) {
    *status = Status::out_of_memory;
    *message = "not enough memory for the model";
    return nullptr;
}

Status Engine::steady(const double* block_watts, double* T, const SolveOptions& options, SolveReport* report) try {
    IeeeModeScope ieee;
    Impl& e = *impl_;
    *report = SolveReport();
    if (e.unreachable) return Status::no_heat_path;
    ThreadTeam team(options.threads);
    SolveField field(e, T, team);
    const bool follow = options.follow_temperature && e.any_temperature_dependent;
    int bad = -1;
    if (follow || e.conductivity_from_field) {
        if (assemble(e, follow ? T : nullptr, team, &bad) != Status::ok) return conductivity_failure(e, T, bad, report);
    }
    set_shift(e, 0.0, team);
    if (follow && e.previous.empty() && !e.previous.allocate(e.n, AllocSite::engine_vectors)) return Status::out_of_memory;
    const double scale = power_scale(e, block_watts);
    Status status = Status::not_converged;
    for (int round = 0; round < (follow ? options.picard_limit : 1); ++round) {
        if (follow) {
            double* previous = e.previous.get();
            for_cells(e, team, [&](std::size_t first, std::size_t end) { std::copy(T + first, T + end, previous + first); });
        }
        source_side(e, block_watts, &report->power_watts, team);
        const PcgOutcome outcome = solve_pcg(e, T, options, scale, team);
        report->iterations += outcome.iterations;
        report->solves += 1;
        report->change_kelvin = outcome.change;
        // solve_pcg's last residual is recomputed from the final field.
        report->residual_watts = outcome.residual;
        if (outcome.overflowed) status = Status::overflow;
        if (!outcome.converged) break;
        if (!follow) {
            status = Status::ok;
            break;
        }
        report->picard_change = largest_change(e, T, e.previous.get(), team);
        if (assemble(e, T, team, &bad) != Status::ok) return conductivity_failure(e, T, bad, report);
        if (report->picard_change <= options.picard_tol) {
            status = Status::ok;
            break;
        }
    }
    field.release();
    report->heat_out_watts = face_heat_out(e, T);
    return status;
} catch (const std::bad_alloc&) {
    return Status::out_of_memory;
}

Status Engine::step(const double* block_watts, double dt, Scheme scheme, double* T, const SolveOptions& options,
                    SolveReport* report) try {
    IeeeModeScope ieee;
    Impl& e = *impl_;
    *report = SolveReport();
    if (!(dt > 0.0) || !std::isfinite(dt)) return Status::invalid_model;
    ThreadTeam team(options.threads);
    SolveField field(e, T, team);
    if (prepare_capacity(e, team) != Status::ok) return Status::out_of_memory;
    if (e.previous.empty() && !e.previous.allocate(e.n, AllocSite::engine_vectors)) return Status::out_of_memory;
    const bool follow = options.follow_temperature && e.any_temperature_dependent;
    int bad = -1;
    // k(T) is taken at the field at the start of the step.
    if (follow || e.conductivity_from_field) {
        if (assemble(e, follow ? T : nullptr, team, &bad) != Status::ok) return conductivity_failure(e, T, bad, report);
    }
    const double shift = scheme == Scheme::backward_euler ? 1.0 / dt : 2.0 / (kGamma * dt);
    set_shift(e, shift, team);
    const double* cap = e.op.cap.get();
    double* old = e.previous.get();
    double* b = e.r.get();
    double* q = e.q.get();  // free between solves
    const double scale = power_scale(e, block_watts);
    for_cells(e, team, [&](std::size_t first, std::size_t end) { std::copy(T + first, T + end, old + first); });
    Status status = Status::ok;
    // Solves (sC + A) T = sources + faces + factor * b-part already in q.
    auto solve_with = [&](double source_factor) {
        double power = 0.0;
        source_side(e, block_watts, &power, team);
        report->power_watts = power;
        for_cells(e, team, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c) b[c] = source_factor * b[c] + q[c];
        });
        const PcgOutcome outcome = solve_pcg(e, T, options, scale, team);
        report->iterations += outcome.iterations;
        report->solves += 1;
        report->change_kelvin = outcome.change;
        report->residual_watts = outcome.residual;
        if (outcome.overflowed) status = Status::overflow;
        else if (!outcome.converged && status == Status::ok) status = Status::not_converged;
    };
    if (scheme == Scheme::backward_euler) {
        for_cells(e, team, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c) q[c] = shift * cap[c] * old[c];
        });
        solve_with(1.0);
    } else {
        // Stage 1, the trapezoidal rule to t + gamma dt:
        // (sC + A) T1 = 2 s C T0 - (sC + A) T0 + 2 b.
        apply_model(e, old, q, false, team);
        for_cells(e, team, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c) q[c] = 2.0 * shift * cap[c] * old[c] - q[c];
        });
        solve_with(2.0);
        // Stage 2, BDF2 through T0 and T1: (sC + A) T = s C (a1 T1 - a0 T0) + b.
        const double a1 = 1.0 / (kGamma * (2.0 - kGamma));
        const double a0 = (1.0 - kGamma) * (1.0 - kGamma) / (kGamma * (2.0 - kGamma));
        for_cells(e, team, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first; c < end; ++c) q[c] = shift * cap[c] * (a1 * T[c] - a0 * old[c]);
        });
        solve_with(1.0);
    }
    field.release();
    report->heat_out_watts = face_heat_out(e, T);
    return status;
} catch (const std::bad_alloc&) {
    return Status::out_of_memory;
}

void Engine::block_temperatures(const double* T, double* peak, double* mean) const {
    const Impl& e = *impl_;
    std::vector<double> weight(static_cast<std::size_t>(e.blocks), 0.0);
    for (int b = 0; b < e.blocks; ++b) {
        peak[b] = -std::numeric_limits<double>::infinity();
        mean[b] = 0.0;
    }
    for (std::size_t s = 0; s < e.source_cell.size(); ++s) {
        const int b = e.source_block[s];
        const double t = T[e.source_cell[s]];
        peak[b] = std::max(peak[b], t);
        mean[b] += e.source_weight[s] * t;
        weight[static_cast<std::size_t>(b)] += e.source_weight[s];
    }
    for (int b = 0; b < e.blocks; ++b) {
        if (weight[static_cast<std::size_t>(b)] > 0.0) mean[b] /= weight[static_cast<std::size_t>(b)];
        else peak[b] = mean[b] = kNaN;
    }
}

double Engine::heat_out(const double* T) const { return face_heat_out(*impl_, T); }
std::size_t Engine::cell_count() const { return impl_->n; }
int Engine::block_count() const { return impl_->blocks; }

std::size_t Engine::bytes() const {
    const Impl& e = *impl_;
    std::size_t total = e.material.size() * sizeof(std::uint16_t);
    total += e.op.bytes();
    for (const Level& level : e.levels) total += level.bytes();
    for (const Array<double>* a : {&e.r, &e.p, &e.q, &e.rhs, &e.previous}) total += a->bytes();
    total += e.z.bytes();
    return total;
}

const char* status_name(Status status) {
    switch (status) {
        case Status::ok: return "ok";
        case Status::out_of_memory: return "out of memory";
        case Status::invalid_model: return "invalid model";
        case Status::no_heat_path: return "no heat path to an ambient";
        case Status::not_converged: return "not converged";
        case Status::nonphysical_conductivity: return "nonphysical conductivity";
        case Status::overflow: return "overflow";
    }
    return "unknown";
}

}  // namespace tavro::conduction
