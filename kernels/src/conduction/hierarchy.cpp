// Building the coarse levels: which cells merge, their summed couplings and
// capacities, and every level's z-line pivots.
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

// The fine rows merged into coarse row I along one axis.
struct Span {
    int first, end;
};
Span span(int I, bool merge, int fine_count) {
    const int first = merge ? 2 * I : I;
    return {first, std::min(fine_count, merge ? first + 2 : first + 1)};
}

// Calls fn(coarse column start, fine column starts, how many) for each
// coarse column in coarse planes [first, end).
template <class Fn>
void for_each_block(const Level& fine, const Level& C, std::size_t first, std::size_t end, Fn fn) {
    for (std::size_t I = first; I < end; ++I) {
        const Span si = span(static_cast<int>(I), fine.merge_x, fine.nx);
        for (int J = 0; J < C.ny; ++J) {
            const Span sj = span(J, fine.merge_y, fine.ny);
            std::size_t columns[4];
            int count = 0;
            for (int i = si.first; i < si.end; ++i)
                for (int j = sj.first; j < sj.end; ++j) columns[count++] = fine.column(i, j);
            fn(C.column(static_cast<int>(I), J), columns, count, si, sj);
        }
    }
}

template <class T>
void sums(const Level& fine, const T* in, float* out, ThreadTeam& team) {
    Level C;  // the coarse shape
    C.nx = fine.merge_x ? (fine.nx + 1) / 2 : fine.nx;
    C.ny = fine.merge_y ? (fine.ny + 1) / 2 : fine.ny;
    C.nz = fine.nz;
    const std::size_t nz = static_cast<std::size_t>(fine.nz);
    team.parallel_for(static_cast<std::size_t>(C.nx), 4 * C.plane(), [&](std::size_t first, std::size_t end) {
        for_each_block(fine, C, first, end, [&](std::size_t c0, const std::size_t* f, int count, Span, Span) {
            for (std::size_t k = 0; k < nz; ++k) {
                double s = 0.0;
                for (int m = 0; m < count; ++m) s += static_cast<double>(in[f[m] + k]);
                out[c0 + k] = static_cast<float>(s);
            }
        });
    });
}

float pivot_inverse(double d, double below, double previous_inverse) {
    const double pivot = d - below * below * previous_inverse;
    return pivot > 0.0 ? static_cast<float>(1.0 / pivot) : 0.0f;
}

}  // namespace

std::size_t Level::bytes() const {
    std::size_t total = 0;
    for (const Array<float>* a : {&gx, &gy, &gz, &inv_pivot, &gb, &cap, &diag, &x, &b, &first}) total += a->bytes();
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
    for (Array<float>* a : {&L.gx, &L.gy, &L.gz, &L.inv_pivot}) {
        if (!a->allocate(L.n, site)) return false;
    }
    if (!coarse) return true;
    for (Array<float>* a : {&L.gb, &L.diag, &L.x, &L.b, &L.first}) {
        if (!a->allocate(L.n, site)) return false;
    }
    return !with_capacity || L.cap.allocate(L.n, site);
}

void coarsen_couplings(const Level& fine, Level& C, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(C.nz);
    const double scale_x = fine.merge_x ? kCoarseLateralScale : 1.0;
    const double scale_y = fine.merge_y ? kCoarseLateralScale : 1.0;
    team.parallel_for(static_cast<std::size_t>(C.nx), 8 * C.plane(), [&](std::size_t first, std::size_t end) {
        for_each_block(fine, C, first, end, [&](std::size_t c0, const std::size_t* f, int count, Span si, Span sj) {
            const int width_y = sj.end - sj.first;
            for (std::size_t k = 0; k < nz; ++k) {
                double gx = 0.0, gy = 0.0, gz = 0.0;
                for (int m = 0; m < count; ++m) {
                    const std::size_t c = f[m] + k;
                    gz += static_cast<double>(fine.gz[c]);
                    // Faces towards the next coarse cell: the last fine row along each axis.
                    if (m / width_y == si.end - si.first - 1) gx += static_cast<double>(fine.gx[c]);
                    if (m % width_y == width_y - 1) gy += static_cast<double>(fine.gy[c]);
                }
                C.gx[c0 + k] = static_cast<float>(scale_x * gx);
                C.gy[c0 + k] = static_cast<float>(scale_y * gy);
                C.gz[c0 + k] = static_cast<float>(gz);
            }
        });
    });
}

void coarsen_sums(const Level& fine, const float* in, float* out, ThreadTeam& team) { sums(fine, in, out, team); }
void coarsen_sums(const Level& fine, const double* in, float* out, ThreadTeam& team) { sums(fine, in, out, team); }

void refresh_pivots(Level& L, double shift, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    const std::size_t sx = L.plane(), sy = nz;
    const bool shifted = shift != 0.0 && !L.cap.empty();
    team.parallel_for(static_cast<std::size_t>(L.nx), 4 * L.plane(), [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            for (int j = 0; j < L.ny; ++j) {
                const std::size_t c0 = L.column(static_cast<int>(i), j);
                double previous_inverse = 0.0;
                for (std::size_t k = 0; k < nz; ++k) {
                    const std::size_t c = c0 + k;
                    double d = static_cast<double>(L.gx[c]) + L.gy[c] + L.gz[c] + L.gb[c];
                    if (i > 0) d += L.gx[c - sx];
                    if (j > 0) d += L.gy[c - sy];
                    if (k > 0) d += L.gz[c - 1];
                    if (shifted) d += shift * L.cap[c];
                    if (d == 0.0) d = 1.0;  // couples to nothing: its correction stays zero
                    L.diag[c] = static_cast<float>(d);
                    const float inverse = pivot_inverse(d, k > 0 ? L.gz[c - 1] : 0.0, previous_inverse);
                    L.inv_pivot[c] = inverse;
                    previous_inverse = inverse;
                }
            }
        }
    });
}

}  // namespace tavro::conduction
