// Building the coarse levels: which cells merge, their summed couplings and
// capacities, and every level's diagonal and z-line pivots.
#include <algorithm>
#include <vector>

#include "conduction/levels.hpp"
#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

// Merge along the shorter cell side only while the other side is this much
// longer; otherwise along both, so that merged cells tend to square.
constexpr double kSemiCoarsening = 1.5;

double median_width(const std::vector<double>& edges) {
    std::vector<double> widths(edges.size() - 1);
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) widths[i] = edges[i + 1] - edges[i];
    std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
    return widths[widths.size() / 2];
}

std::vector<double> merged_edges(const std::vector<double>& edges, bool merge) {
    if (!merge) return edges;
    std::vector<double> out;
    for (std::size_t i = 0; i < edges.size(); i += 2) out.push_back(edges[i]);
    if ((edges.size() - 1) % 2 != 0) out.push_back(edges.back());
    return out;
}

std::size_t plane_cells(const Level& L) { return static_cast<std::size_t>(L.ny) * static_cast<std::size_t>(L.nz); }

}  // namespace

std::size_t Level::bytes() const {
    std::size_t total = 0;
    for (const Array* a : {&gx, &gy, &gz, &gb, &cap, &diag, &inv_pivot, &x, &b, &r}) total += a->bytes();
    return total;
}

bool plan_coarser(Level& fine, Level& coarse) {
    if (fine.nx == 1 && fine.ny == 1) return false;
    const double dx = median_width(fine.x_edges), dy = median_width(fine.y_edges);
    fine.merge_x = fine.merge_y = false;
    if (fine.nx > 1 && (fine.ny == 1 || dx * kSemiCoarsening <= dy)) {
        fine.merge_x = true;
    } else if (fine.ny > 1 && (fine.nx == 1 || dy * kSemiCoarsening <= dx)) {
        fine.merge_y = true;
    } else {
        fine.merge_x = fine.nx > 1;
        fine.merge_y = fine.ny > 1;
    }
    coarse.nx = fine.merge_x ? (fine.nx + 1) / 2 : fine.nx;
    coarse.ny = fine.merge_y ? (fine.ny + 1) / 2 : fine.ny;
    coarse.nz = fine.nz;
    coarse.n = static_cast<std::size_t>(coarse.nx) * static_cast<std::size_t>(coarse.ny) *
               static_cast<std::size_t>(coarse.nz);
    coarse.x_edges = merged_edges(fine.x_edges, fine.merge_x);
    coarse.y_edges = merged_edges(fine.y_edges, fine.merge_y);
    return true;
}

bool allocate_level(Level& L, bool coarse, bool with_capacity) {
    const AllocSite site = coarse ? AllocSite::engine_hierarchy : AllocSite::engine_model;
    for (Array* a : {&L.gx, &L.gy, &L.gz, &L.gb, &L.diag, &L.inv_pivot}) {
        if (!a->allocate(L.n, site)) return false;
    }
    if (with_capacity && !L.cap.allocate(L.n, site)) return false;
    if (coarse) {
        for (Array* a : {&L.x, &L.b, &L.r}) {
            if (!a->allocate(L.n, AllocSite::engine_hierarchy)) return false;
        }
    }
    return true;
}

void coarsen(const Level& fine, Level& C, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(C.nz);
    const bool with_capacity = !C.cap.empty() && !fine.cap.empty();
    team.parallel_for(static_cast<std::size_t>(C.nx), 8 * plane_cells(C), [&](std::size_t first, std::size_t end) {
        for (std::size_t I = first; I < end; ++I) {
            const int i0 = fine.merge_x ? 2 * static_cast<int>(I) : static_cast<int>(I);
            const int i1 = std::min(fine.nx, fine.merge_x ? i0 + 2 : i0 + 1);
            for (int J = 0; J < C.ny; ++J) {
                const int j0 = fine.merge_y ? 2 * J : J;
                const int j1 = std::min(fine.ny, fine.merge_y ? j0 + 2 : j0 + 1);
                const std::size_t c0 = C.column(static_cast<int>(I), J);
                for (std::size_t k = 0; k < nz; ++k) {
                    double gx = 0.0, gy = 0.0, gz = 0.0, gb = 0.0, cap = 0.0;
                    for (int i = i0; i < i1; ++i) {
                        for (int j = j0; j < j1; ++j) {
                            const std::size_t f = fine.column(i, j) + k;
                            gz += fine.gz[f];
                            gb += fine.gb[f];
                            if (with_capacity) cap += fine.cap[f];
                            if (i == i1 - 1) gx += fine.gx[f];  // faces towards the next coarse cell
                            if (j == j1 - 1) gy += fine.gy[f];
                        }
                    }
                    C.gx[c0 + k] = fine.merge_x ? kCoarseLateralScale * gx : gx;
                    C.gy[c0 + k] = fine.merge_y ? kCoarseLateralScale * gy : gy;
                    C.gz[c0 + k] = gz;
                    C.gb[c0 + k] = gb;
                    if (with_capacity) C.cap[c0 + k] = cap;
                }
            }
        }
    });
}

void refresh_diagonal(Level& L, double shift, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    const std::size_t sx = plane_cells(L), sy = nz;
    const bool shifted = shift != 0.0 && !L.cap.empty();
    team.parallel_for(static_cast<std::size_t>(L.nx), 4 * plane_cells(L), [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            for (int j = 0; j < L.ny; ++j) {
                const std::size_t c0 = L.column(static_cast<int>(i), j);
                double previous_inverse = 0.0;
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::size_t c = c0 + k;
                    double d = L.gx[c] + L.gy[c] + L.gz[c] + L.gb[c];
                    if (i > 0) d += L.gx[c - sx];
                    if (j > 0) d += L.gy[c - sy];
                    if (k > 0) d += L.gz[c - 1];
                    if (shifted) d += shift * L.cap[c];
                    if (d == 0.0) d = 1.0;  // couples to nothing: its correction stays zero
                    L.diag[c] = d;
                    double pivot = d;
                    if (k > 0) pivot -= L.gz[c - 1] * L.gz[c - 1] * previous_inverse;
                    previous_inverse = pivot > 0.0 ? 1.0 / pivot : 0.0;
                    L.inv_pivot[c] = previous_inverse;
                }
            }
        }
    });
}

}  // namespace tavro::conduction
