// From materials and boundary conditions to the couplings of every level:
// harmonic face conductances between neighbouring cells, conductances to
// the ambients through the outer faces, and heat capacities.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "conduction/engine_impl.hpp"
#include "conduction/thread_team.hpp"
#include "tavro/silicon_model.hpp"

namespace tavro::conduction {
namespace {

// Calls fn(cell, face cell, area, width across the face's axis) for each
// cell on outer face `face`.
template <class Fn>
void for_each_face_cell(const Engine::Impl& e, int face, Fn fn) {
    const int axis = face / 2;
    const bool high = (face % 2) != 0;
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    if (axis == 0) {
        const std::size_t i = high ? static_cast<std::size_t>(e.nx) - 1 : 0;
        for (std::size_t j = 0; j < ny; ++j)
            for (std::size_t k = 0; k < nz; ++k)
                fn((i * ny + j) * nz + k, j * nz + k, e.dy[j] * e.dz[k], e.dx[i]);
    } else if (axis == 1) {
        const std::size_t j = high ? ny - 1 : 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(e.nx); ++i)
            for (std::size_t k = 0; k < nz; ++k)
                fn((i * ny + j) * nz + k, i * nz + k, e.dx[i] * e.dz[k], e.dy[j]);
    } else {
        const std::size_t k = high ? nz - 1 : 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(e.nx); ++i)
            for (std::size_t j = 0; j < ny; ++j)
                fn((i * ny + j) * nz + k, i * ny + j, e.dx[i] * e.dy[j], e.dz[k]);
    }
}

double stated_conductivity(const MaterialSpec& m, int axis) {
    return axis == 0 ? m.kx : axis == 1 ? m.ky : m.kz;
}

// Conductivity of cell c along axis: the material's, or silicon's model at
// T[c] when T is given and the material follows it.
double conductivity(const Engine::Impl& e, std::size_t c, int axis, const double* T) {
    const MaterialSpec& m = e.materials[e.material[c]];
    if (T != nullptr && m.silicon_conductivity) return silicon::conductivity(T[c]);
    return stated_conductivity(m, axis);
}

// Conductance of the outer face of a cell with conductivity k: its half
// cell in series with the film 1 / (h A).
double face_conductance(double k, double area, double width, double h) {
    if (h == 0.0) return 0.0;
    const double half = width / (2.0 * k * area);
    return std::isinf(h) ? 1.0 / half : 1.0 / (half + 1.0 / (h * area));
}

}  // namespace

std::size_t Engine::Impl::face_cells(int face) const {
    const int axis = face / 2;
    const std::size_t sizes[3] = {static_cast<std::size_t>(nx), static_cast<std::size_t>(ny),
                                  static_cast<std::size_t>(nz)};
    return axis == 0 ? sizes[1] * sizes[2] : axis == 1 ? sizes[0] * sizes[2] : sizes[0] * sizes[1];
}

Status assemble(Engine::Impl& e, const double* T, ThreadTeam& team, int* bad_cell) {
    Level& L = e.levels[0];
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    const std::size_t sx = ny * nz;
    std::atomic<long long> bad{-1};
    team.parallel_for(static_cast<std::size_t>(e.nx), 8 * sx, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            for (std::size_t j = 0; j < ny; ++j) {
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::size_t c = (i * ny + j) * nz + k;
                    double g[3] = {0.0, 0.0, 0.0};
                    if (e.present(c)) {
                        const double k_here[3] = {conductivity(e, c, 0, T), conductivity(e, c, 1, T),
                                                  conductivity(e, c, 2, T)};
                        for (double value : k_here) {
                            if (!(value > 0.0) || !std::isfinite(value)) {
                                long long expected = -1;
                                bad.compare_exchange_strong(expected, static_cast<long long>(c));
                            }
                        }
                        // Harmonic mean over the two half cells, on each axis.
                        const std::size_t next[3] = {c + sx, c + nz, c + 1};
                        const bool has_next[3] = {i + 1 < static_cast<std::size_t>(e.nx), j + 1 < ny, k + 1 < nz};
                        const double width[3] = {e.dx[i], e.dy[j], e.dz[k]};
                        const double next_width[3] = {has_next[0] ? e.dx[i + 1] : 0.0,
                                                      has_next[1] ? e.dy[j + 1] : 0.0,
                                                      has_next[2] ? e.dz[k + 1] : 0.0};
                        const double area[3] = {e.dy[j] * e.dz[k], e.dx[i] * e.dz[k], e.dx[i] * e.dy[j]};
                        for (int axis = 0; axis < 3; ++axis) {
                            if (!has_next[axis] || !e.present(next[axis])) continue;
                            const double k_next = conductivity(e, next[axis], axis, T);
                            g[axis] = area[axis] / (width[axis] / (2.0 * k_here[axis]) +
                                                    next_width[axis] / (2.0 * k_next));
                        }
                    }
                    L.gx[c] = g[0];
                    L.gy[c] = g[1];
                    L.gz[c] = g[2];
                    L.gb[c] = 0.0;
                }
            }
        }
    });
    if (bad.load() >= 0) {
        *bad_cell = static_cast<int>(bad.load());
        return Status::nonphysical_conductivity;
    }
    for (int face = 0; face < kFaceCount; ++face) {
        if (e.face_h[face].empty()) continue;
        const int axis = face / 2;
        std::vector<double>& g = e.face_g[face];
        g.assign(e.face_cells(face), 0.0);
        for_each_face_cell(e, face, [&](std::size_t c, std::size_t f, double area, double width) {
            if (!e.present(c)) return;
            g[f] = face_conductance(conductivity(e, c, axis, T), area, width, e.face_h[face][f]);
            L.gb[c] += g[f];
        });
    }
    if (!L.cap.empty()) {
        for (std::size_t c = 0; c < e.n; ++c) {
            const std::size_t k = c % nz, j = (c / nz) % ny, i = c / sx;
            L.cap[c] = e.present(c) ? e.materials[e.material[c]].rho_c * e.dx[i] * e.dy[j] * e.dz[k] : 0.0;
        }
    }
    for (std::size_t l = 0; l + 1 < e.levels.size(); ++l) coarsen(e.levels[l], e.levels[l + 1], team);
    for (Level& level : e.levels) refresh_diagonal(level, e.shift, team);
    e.conductivity_from_field = T != nullptr;
    return Status::ok;
}

Status prepare_capacity(Engine::Impl& e, ThreadTeam& team) {
    if (!e.levels[0].cap.empty()) return Status::ok;
    for (std::size_t l = 0; l < e.levels.size(); ++l) {
        if (!e.levels[l].cap.allocate(e.levels[l].n, l ? AllocSite::engine_hierarchy : AllocSite::engine_model)) {
            for (Level& level : e.levels) level.cap = Array();
            return Status::out_of_memory;
        }
    }
    int unused = -1;
    // The couplings are rebuilt as they were (at the stated conductivities
    // or the last field), now with capacities.
    return assemble(e, nullptr, team, &unused);
}

void set_shift(Engine::Impl& e, double shift, ThreadTeam& team) {
    if (shift == e.shift) return;
    e.shift = shift;
    for (Level& level : e.levels) refresh_diagonal(level, shift, team);
}

bool all_cells_reach_an_ambient(Engine::Impl& e) {
    // Breadth-first from every cell that touches an ambient, through
    // conducting faces; the queue lives in r and the marks in z, which are
    // free while the model is being built.
    const Level& L = e.levels[0];
    auto* queue = reinterpret_cast<std::size_t*>(e.r.get());
    double* seen = e.z.get();
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    const std::size_t sx = ny * nz;
    std::size_t head = 0, tail = 0;
    for (std::size_t c = 0; c < e.n; ++c) {
        seen[c] = (!e.present(c) || L.gb[c] > 0.0) ? 1.0 : 0.0;
        if (e.present(c) && L.gb[c] > 0.0) queue[tail++] = c;
    }
    auto visit = [&](std::size_t c) {
        if (seen[c] == 0.0) {
            seen[c] = 1.0;
            queue[tail++] = c;
        }
    };
    while (head < tail) {
        const std::size_t c = queue[head++];
        if (L.gx[c] > 0.0) visit(c + sx);
        if (L.gy[c] > 0.0) visit(c + nz);
        if (L.gz[c] > 0.0) visit(c + 1);
        if (c >= sx && L.gx[c - sx] > 0.0) visit(c - sx);
        if (c % sx >= nz && L.gy[c - nz] > 0.0) visit(c - nz);
        if (c % nz > 0 && L.gz[c - 1] > 0.0) visit(c - 1);
    }
    return tail == e.n - static_cast<std::size_t>(std::count(e.material.begin(), e.material.end(), kNoMaterial));
}

void add_face_sources(const Engine::Impl& e, double* b) {
    for (int face = 0; face < kFaceCount; ++face) {
        if (e.face_g[face].empty()) continue;
        for_each_face_cell(e, face, [&](std::size_t c, std::size_t f, double, double) {
            b[c] += e.face_g[face][f] * e.face_ambient[face][f];
        });
    }
}

double face_heat_out(const Engine::Impl& e, const double* T) {
    double total = 0.0;
    for (int face = 0; face < kFaceCount; ++face) {
        if (e.face_g[face].empty()) continue;
        for_each_face_cell(e, face, [&](std::size_t c, std::size_t f, double, double) {
            const double g = e.face_g[face][f];
            if (g > 0.0) total += g * (T[c] - e.face_ambient[face][f]);
        });
    }
    return total;
}

}  // namespace tavro::conduction
