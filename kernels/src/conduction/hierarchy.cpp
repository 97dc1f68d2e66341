// Building the coarse levels: which cells merge, their summed couplings and
// capacities, and every level's z-line pivots.
#include <algorithm>
#include <vector>

#include "conduction/levels.hpp"
#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

// A pair of neighbouring rows merges when the merged row is at most this
// many times the level's target width (twice its narrowest cell, either
// axis): small cells merge first and wide ones wait until the rest have
// caught up, so coarse cells tend to square even where the grid widens
// (semi-coarsening, chosen row by row).
constexpr double kMergeLimit = 1.5;
// A level has at most 1 / kLeastShrink of the columns above it, or its
// target doubles (at most kWidenings times, then every pair merges).
constexpr double kLeastShrink = 1.6;
constexpr int kWidenings = 6;

std::vector<double> widths_of(const std::vector<double>& edges) {
    std::vector<double> widths(edges.size() - 1);
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) widths[i] = edges[i + 1] - edges[i];
    return widths;
}

// first[I] for the coarse rows of one axis: pairs whose merged width is at
// most `limit` merge, left to right; with `all`, every pair does.
std::vector<int> pair_rows(const std::vector<double>& widths, double limit, bool all) {
    std::vector<int> first;
    const int n = static_cast<int>(widths.size());
    int i = 0;
    while (i < n) {
        first.push_back(i);
        const bool merge = i + 1 < n && (all || widths[i] + widths[i + 1] <= limit);
        i += merge ? 2 : 1;
    }
    first.push_back(n);
    return first;
}

void describe_merge(const std::vector<double>& edges, const std::vector<int>& first, std::vector<int>* parent,
                    std::vector<double>* scale, std::vector<double>* coarse_edges) {
    const std::vector<double> w = widths_of(edges);
    const int count = static_cast<int>(first.size()) - 1;
    parent->assign(w.size(), 0);
    coarse_edges->clear();
    for (int I = 0; I < count; ++I) {
        for (int i = first[I]; i < first[I + 1]; ++i) (*parent)[static_cast<std::size_t>(i)] = I;
        coarse_edges->push_back(edges[static_cast<std::size_t>(first[I])]);
    }
    coarse_edges->push_back(edges.back());
    // Between coarse rows I and I + 1 the fine faces' conductance sum spans
    // the two fine half rows next to the face; the rediscretised coupling
    // spans the two coarse half rows: the ratio of those lengths (1/2 for
    // two pairs of equal rows, 1 where neither side merged).
    scale->assign(static_cast<std::size_t>(count), 1.0);
    for (int I = 0; I + 1 < count; ++I) {
        const double fine = w[static_cast<std::size_t>(first[I + 1] - 1)] + w[static_cast<std::size_t>(first[I + 1])];
        const double coarse = edges[static_cast<std::size_t>(first[I + 2])] - edges[static_cast<std::size_t>(first[I])];
        (*scale)[static_cast<std::size_t>(I)] = fine / coarse;
    }
}

// The fine rows merged into coarse row I along one axis.
struct Span {
    int first, end;
};
Span span(int I, const std::vector<int>& first) { return {first[static_cast<std::size_t>(I)], first[static_cast<std::size_t>(I) + 1]}; }

// Calls fn(coarse column start, fine column starts, how many) for each
// coarse column in coarse planes [first, end).
template <class Fn>
void for_each_block(const Level& fine, const Level& C, std::size_t first, std::size_t end, Fn fn) {
    for (std::size_t I = first; I < end; ++I) {
        const Span si = span(static_cast<int>(I), fine.first_x);
        for (int J = 0; J < C.ny; ++J) {
            const Span sj = span(J, fine.first_y);
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
    C.nx = static_cast<int>(fine.first_x.size()) - 1;
    C.ny = static_cast<int>(fine.first_y.size()) - 1;
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
    const std::vector<double> wx = widths_of(fine.x_edges), wy = widths_of(fine.y_edges);
    // The target widens until the level shrinks by a good part (a level
    // that merged only a few rows would cost a visit and gain little).
    double target = 2.0 * std::min(*std::min_element(wx.begin(), wx.end()), *std::min_element(wy.begin(), wy.end()));
    const double columns = static_cast<double>(wx.size()) * static_cast<double>(wy.size());
    for (int widening = 0;; ++widening, target *= 2.0) {
        const bool all = widening == kWidenings;
        fine.first_x = pair_rows(wx, kMergeLimit * target, all);
        fine.first_y = pair_rows(wy, kMergeLimit * target, all);
        const double merged = static_cast<double>(fine.first_x.size() - 1) * static_cast<double>(fine.first_y.size() - 1);
        if (all || merged * kLeastShrink <= columns) break;
    }
    describe_merge(fine.x_edges, fine.first_x, &fine.parent_x, &fine.scale_x, &coarse.x_edges);
    describe_merge(fine.y_edges, fine.first_y, &fine.parent_y, &fine.scale_y, &coarse.y_edges);
    coarse.nx = static_cast<int>(fine.first_x.size()) - 1;
    coarse.ny = static_cast<int>(fine.first_y.size()) - 1;
    coarse.nz = fine.nz;
    coarse.n = static_cast<std::size_t>(coarse.nx) * static_cast<std::size_t>(coarse.ny) *
               static_cast<std::size_t>(coarse.nz);
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
    team.parallel_for(static_cast<std::size_t>(C.nx), 8 * C.plane(), [&](std::size_t first, std::size_t end) {
        for_each_block(fine, C, first, end, [&](std::size_t c0, const std::size_t* f, int count, Span si, Span sj) {
            const int width_y = sj.end - sj.first;
            const std::size_t I = static_cast<std::size_t>(fine.parent_x[static_cast<std::size_t>(si.first)]);
            const std::size_t J = static_cast<std::size_t>(fine.parent_y[static_cast<std::size_t>(sj.first)]);
            const double scale_x = fine.scale_x[I], scale_y = fine.scale_y[J];
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
