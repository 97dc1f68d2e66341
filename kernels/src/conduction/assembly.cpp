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

// Conductance of the outer face of a cell with conductivity k: its half
// cell in series with the film 1 / (h A).
double face_conductance(double k, double area, double width, double h) {
    if (h == 0.0) return 0.0;
    const double half = width / (2.0 * k * area);
    return std::isinf(h) ? 1.0 / half : 1.0 / (half + 1.0 / (h * area));
}


// Level 1's conductances to the ambients: the face cells' own, summed into
// the coarse cells that hold them.
void coarsen_boundaries(Engine::Impl& e, ThreadTeam& team) {
    const Level& fine = e.levels[0];
    Level& C = e.levels[1];
    float* gb = C.gb.get();
    team.parallel_for(static_cast<std::size_t>(C.nx), C.plane() / 4, [&](std::size_t first, std::size_t end) {
        std::fill(gb + first * C.plane(), gb + end * C.plane(), 0.0f);
    });
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    for (int face = 0; face < kFaceCount; ++face) {
        if (e.face_g[face].empty()) continue;
        for_each_face_cell(e, face, [&](std::size_t c, std::size_t f, double, double) {
            const std::size_t k = c % nz, j = (c / nz) % ny, i = c / (ny * nz);
            const int I = fine.parent_x[i], J = fine.parent_y[j];
            gb[C.column(I, J) + k] += static_cast<float>(e.face_g[face][f]);
        });
    }
    for (std::size_t l = 1; l + 1 < e.levels.size(); ++l)
        coarsen_sums(e.levels[l], e.levels[l].gb.get(), e.levels[l + 1].gb.get(), team);
}

// Level 0's pivots from the model's couplings, face conductances and
// shift * cap, and the coarse levels' pivots.
void refresh_all(Engine::Impl& e, ThreadTeam& team) {
    const ModelOperator& op = e.op;
    Level& L = e.levels[0];
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    const std::size_t sx = ny * nz;
    const double shift = e.shift;
    const bool shifted = shift != 0.0 && !op.cap.empty();
    team.parallel_for(static_cast<std::size_t>(e.nx), 4 * sx, [&](std::size_t first, std::size_t end) {
        std::vector<double> d(nz);
        for (std::size_t i = first; i < end; ++i) {
            for (std::size_t j = 0; j < ny; ++j) {
                const std::size_t c0 = (i * ny + j) * nz;
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::size_t c = c0 + k;
                    d[k] = op.gx[c] + op.gy[c] + op.gz[c];
                    if (i > 0) d[k] += op.gx[c - sx];
                    if (j > 0) d[k] += op.gy[c - nz];
                    if (k > 0) d[k] += op.gz[c - 1];
                    if (shifted) d[k] += shift * op.cap[c];
                }
                add_column_boundary(e, i, j, nullptr, d.data());
                double previous_inverse = 0.0;
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::size_t c = c0 + k;
                    if (d[k] == 0.0) d[k] = 1.0;  // couples to nothing: its correction stays zero
                    const double below = k > 0 ? static_cast<double>(L.gz[c - 1]) : 0.0;
                    const double pivot = d[k] - below * below * previous_inverse;
                    const float inverse = pivot > 0.0 ? static_cast<float>(1.0 / pivot) : 0.0f;
                    L.inv_pivot[c] = inverse;
                    previous_inverse = inverse;
                }
            }
        }
    });
    for (std::size_t l = 1; l < e.levels.size(); ++l) refresh_pivots(e.levels[l], shift, team);
}

}  // namespace

void add_column_boundary(const Engine::Impl& e, std::size_t i, std::size_t j, const double* x, double* out) {
    const std::size_t nx = static_cast<std::size_t>(e.nx), ny = static_cast<std::size_t>(e.ny),
                      nz = static_cast<std::size_t>(e.nz);
    auto add = [&](int face, std::size_t f, std::size_t k) {
        const double g = e.face_g[face][f];
        out[k] += x != nullptr ? g * x[k] : g;
    };
    const bool on[4] = {i == 0, i + 1 == nx, j == 0, j + 1 == ny};
    for (int face = 0; face < 4; ++face) {
        if (!on[face] || e.face_g[face].empty()) continue;
        const std::size_t row = face < 2 ? j : i;
        for (std::size_t k = 0; k < nz; ++k) add(face, row * nz + k, k);
    }
    if (!e.face_g[4].empty()) add(4, i * ny + j, 0);
    if (!e.face_g[5].empty()) add(5, i * ny + j, nz - 1);
}

std::size_t Engine::Impl::face_cells(int face) const {
    const int axis = face / 2;
    const std::size_t sizes[3] = {static_cast<std::size_t>(nx), static_cast<std::size_t>(ny),
                                  static_cast<std::size_t>(nz)};
    return axis == 0 ? sizes[1] * sizes[2] : axis == 1 ? sizes[0] * sizes[2] : sizes[0] * sizes[1];
}

Status assemble(Engine::Impl& e, const double* T, ThreadTeam& team, int* bad_cell) {
    Level& L = e.levels[0];
    ModelOperator& op = e.op;
    const std::size_t nx = static_cast<std::size_t>(e.nx), ny = static_cast<std::size_t>(e.ny),
                      nz = static_cast<std::size_t>(e.nz);
    const std::size_t sx = ny * nz;
    // Per material and axis: 1 / (2 k), so that a half cell's resistance
    // per unit area is its width times this.
    std::vector<double> half(3 * e.materials.size());
    for (std::size_t m = 0; m < e.materials.size(); ++m)
        for (int axis = 0; axis < 3; ++axis) half[3 * m + axis] = 0.5 / stated_conductivity(e.materials[m], axis);
    const bool from_field = T != nullptr && e.any_temperature_dependent;
    std::atomic<long long> bad{-1};
    // 1 / (2 k) of cell c along axis (c has material).
    auto half_of = [&](std::size_t c, int axis) {
        const std::uint16_t m = e.material[c];
        if (from_field && e.materials[m].silicon_conductivity) {
            const double k = silicon::conductivity(T[c] + e.field_offset);
            if (!(k > 0.0) || !std::isfinite(k)) {
                // The lowest such cell, whichever thread finds it.
                long long seen = bad.load();
                while ((seen < 0 || static_cast<long long>(c) < seen) &&
                       !bad.compare_exchange_weak(seen, static_cast<long long>(c))) {
                }
            }
            return 0.5 / k;
        }
        return half[3 * m + static_cast<std::size_t>(axis)];
    };
    team.parallel_for(nx, 8 * sx, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            for (std::size_t j = 0; j < ny; ++j) {
                const bool next_x = i + 1 < nx, next_y = j + 1 < ny;
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::size_t c = (i * ny + j) * nz + k;
                    double g[3] = {0.0, 0.0, 0.0};
                    if (e.present(c)) {
                        // Harmonic mean over the two half cells, on each axis.
                        if (next_x && e.present(c + sx))
                            g[0] = e.dy[j] * e.dz[k] / (e.dx[i] * half_of(c, 0) + e.dx[i + 1] * half_of(c + sx, 0));
                        if (next_y && e.present(c + nz))
                            g[1] = e.dx[i] * e.dz[k] / (e.dy[j] * half_of(c, 1) + e.dy[j + 1] * half_of(c + nz, 1));
                        if (k + 1 < nz && e.present(c + 1))
                            g[2] = e.dx[i] * e.dy[j] / (e.dz[k] * half_of(c, 2) + e.dz[k + 1] * half_of(c + 1, 2));
                        if (from_field) half_of(c, 0);  // checks k(T) of cells without neighbours too
                    }
                    op.gx[c] = g[0];
                    op.gy[c] = g[1];
                    op.gz[c] = g[2];
                    L.gx[c] = static_cast<float>(g[0]);
                    L.gy[c] = static_cast<float>(g[1]);
                    L.gz[c] = static_cast<float>(g[2]);
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
            g[f] = face_conductance(0.5 / half_of(c, axis), area, width, e.face_h[face][f]);
        });
    }
    if (e.levels.size() > 1) {
        coarsen_couplings(L, e.levels[1], team);
        for (std::size_t l = 1; l + 1 < e.levels.size(); ++l) coarsen_couplings(e.levels[l], e.levels[l + 1], team);
        coarsen_boundaries(e, team);
    }
    refresh_all(e, team);
    e.conductivity_from_field = T != nullptr;
    return Status::ok;
}

Status prepare_capacity(Engine::Impl& e, ThreadTeam& team) {
    if (!e.op.cap.empty()) return Status::ok;
    bool allocated = e.op.cap.allocate(e.n, AllocSite::engine_model);
    for (std::size_t l = 1; allocated && l < e.levels.size(); ++l)
        allocated = e.levels[l].cap.allocate(e.levels[l].n, AllocSite::engine_hierarchy);
    if (!allocated) {
        e.op.cap = Array<double>();
        for (Level& level : e.levels) level.cap = Array<float>();
        return Status::out_of_memory;
    }
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    double* cap = e.op.cap.get();
    team.parallel_for(static_cast<std::size_t>(e.nx), 2 * ny * nz, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            for (std::size_t j = 0; j < ny; ++j) {
                const std::size_t c0 = (i * ny + j) * nz;
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::uint16_t m = e.material[c0 + k];
                    cap[c0 + k] = m != kNoMaterial ? e.materials[m].rho_c * e.dx[i] * e.dy[j] * e.dz[k] : 0.0;
                }
            }
        }
    });
    if (e.levels.size() > 1) coarsen_sums(e.levels[0], cap, e.levels[1].cap.get(), team);
    for (std::size_t l = 1; l + 1 < e.levels.size(); ++l)
        coarsen_sums(e.levels[l], e.levels[l].cap.get(), e.levels[l + 1].cap.get(), team);
    refresh_all(e, team);
    return Status::ok;
}

void set_shift(Engine::Impl& e, double shift, ThreadTeam& team) {
    if (shift == e.shift) return;
    e.shift = shift;
    refresh_all(e, team);
}

bool all_cells_reach_an_ambient(Engine::Impl& e) {
    // The cells split into runs: the longest stretches of a column joined by
    // z couplings. A breadth-first search over runs, through the lateral
    // couplings, from the runs that touch an ambient.
    const ModelOperator& op = e.op;
    const std::size_t ny = static_cast<std::size_t>(e.ny), nz = static_cast<std::size_t>(e.nz);
    const std::size_t columns = static_cast<std::size_t>(e.nx) * ny;
    std::vector<std::size_t> first_run(columns + 1), run_column;
    std::vector<int> run_start;
    for (std::size_t col = 0; col < columns; ++col) {
        first_run[col] = run_start.size();
        for (std::size_t k = 0, c = col * nz; k < nz; ++k, ++c) {
            if (e.present(c) && (k == 0 || op.gz[c - 1] == 0.0)) {
                run_start.push_back(static_cast<int>(k));
                run_column.push_back(col);
            }
        }
    }
    first_run[columns] = run_start.size();
    // The run of column col holding cell k (which has material).
    auto run_of = [&](std::size_t col, std::size_t k) {
        const std::size_t a = first_run[col], b = first_run[col + 1];
        if (b - a == 1) return a;
        return static_cast<std::size_t>(
            std::upper_bound(run_start.begin() + static_cast<std::ptrdiff_t>(a),
                             run_start.begin() + static_cast<std::ptrdiff_t>(b), static_cast<int>(k)) -
            run_start.begin() - 1);
    };
    std::vector<unsigned char> seen(run_start.size(), 0);
    std::vector<std::size_t> queue;
    auto visit = [&](std::size_t run) {
        if (!seen[run]) {
            seen[run] = 1;
            queue.push_back(run);
        }
    };
    const std::size_t ny_nz = ny * nz;
    for (int face = 0; face < kFaceCount; ++face) {
        if (e.face_g[face].empty()) continue;
        for_each_face_cell(e, face, [&](std::size_t c, std::size_t f, double, double) {
            if (e.face_g[face][f] > 0.0) visit(run_of(c / nz, c % nz));
        });
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::size_t col = run_column[queue[head]];
        const std::size_t i = col / ny, j = col % ny;
        for (std::size_t k = static_cast<std::size_t>(run_start[queue[head]]);; ++k) {
            const std::size_t c = col * nz + k;
            if (op.gx[c] > 0.0) visit(run_of(col + ny, k));
            if (i > 0 && op.gx[c - ny_nz] > 0.0) visit(run_of(col - ny, k));
            if (op.gy[c] > 0.0) visit(run_of(col + 1, k));
            if (j > 0 && op.gy[c - nz] > 0.0) visit(run_of(col - 1, k));
            if (k + 1 == nz || op.gz[c] == 0.0) break;
        }
    }
    return queue.size() == run_start.size();
}

void add_face_sources(const Engine::Impl& e, double* b) {
    for (int face = 0; face < kFaceCount; ++face) {
        if (e.face_g[face].empty()) continue;
        for_each_face_cell(e, face, [&](std::size_t c, std::size_t f, double, double) {
            b[c] += e.face_g[face][f] * (e.face_ambient[face][f] - e.field_offset);
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
