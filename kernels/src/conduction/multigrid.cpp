// The z-line multigrid V-cycle in single precision: red-black z-line
// Gauss-Seidel over the columns of each level, piecewise-constant transfers
// between levels, each loop running over the x planes of a level (in
// parallel when the level is large).
//
// Every cycle starts from a zero correction, which lets it skip work:
// - the first sweep (colour 0) reads no neighbours: they are all zero;
// - after the second sweep (colour 1) the colour-1 lines are solved exactly,
//   so the residual is left on the colour-0 lines only, where it is the
//   lateral coupling to the new colour-1 values; it is summed straight into
//   the coarse right side;
// - the coarse correction is added to the colour-0 neighbours as the first
//   post sweep (colour 1) reads them: the colour-1 lines it solves, and the
//   colour-0 lines the last sweep solves, do not depend on their own
//   previous values, so the correction never needs storing on the fine level.
#include <algorithm>
#include <cstring>
#include <vector>

#include "conduction/lanes.hpp"
#include "conduction/levels.hpp"
#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

// Lines relaxed together: their Thomas recurrences are independent, so the
// processor overlaps them instead of waiting on one chain.
constexpr int kGroup = 4;
// Cycles per visit of a coarse level from level kRevisitFrom down (a
// W-cycle there, where a cycle costs a sixteenth of the fine one or less):
// with piecewise-constant transfers, a V-cycle's coarse corrections get
// weaker level by level.
constexpr int kCoarseVisits = 2;
constexpr std::size_t kRevisitFrom = 2;

// A column's four lateral neighbours: couplings, values and (while the
// coarse correction is pending) the correction, pointing at zeros where
// the column sits on an outer face.
struct Neighbours {
    const float *g[4], *x[4], *e[4];
};

// Where a fine column's correction lives on the coarse level.
const float* correction(const Level& L, const Level* C, int i, int j) {
    return C->x.get() + C->column(L.parent_x[static_cast<std::size_t>(i)], L.parent_y[static_cast<std::size_t>(j)]);
}

Neighbours neighbours(const Level& L, const float* x, const Level* C, int i, int j, const float* zeros) {
    const std::size_t sx = L.plane(), sy = static_cast<std::size_t>(L.nz);
    const std::size_t c0 = L.column(i, j);
    Neighbours n;
    const bool has[4] = {i > 0, i + 1 < L.nx, j > 0, j + 1 < L.ny};
    const std::size_t at[4] = {c0 - sx, c0 + sx, c0 - sy, c0 + sy};
    const int ni[4] = {i - 1, i + 1, i, i};
    const int nj[4] = {j, j, j - 1, j + 1};
    n.g[0] = has[0] ? L.gx.get() + at[0] : zeros;
    n.g[1] = L.gx.get() + c0;  // zero on the last x plane
    n.g[2] = has[2] ? L.gy.get() + at[2] : zeros;
    n.g[3] = L.gy.get() + c0;
    for (int d = 0; d < 4; ++d) {
        n.x[d] = has[d] ? x + at[d] : zeros;
        n.e[d] = has[d] && C != nullptr ? correction(L, C, ni[d], nj[d]) : zeros;
    }
    return n;
}

// out[k] += the heat the neighbours push into the column at the values x
// (plus the pending correction when `corrected`).
template <bool corrected>
void add_lateral(const Neighbours& n, std::size_t nz, float* out) {
    const float *g0 = n.g[0], *g1 = n.g[1], *g2 = n.g[2], *g3 = n.g[3];
    const float *x0 = n.x[0], *x1 = n.x[1], *x2 = n.x[2], *x3 = n.x[3];
    if (corrected) {
        const float *e0 = n.e[0], *e1 = n.e[1], *e2 = n.e[2], *e3 = n.e[3];
        for (std::size_t k = 0; k < nz; ++k)
            out[k] += g0[k] * (x0[k] + e0[k]) + g1[k] * (x1[k] + e1[k]) + g2[k] * (x2[k] + e2[k]) +
                      g3[k] * (x3[k] + e3[k]);
    } else {
        for (std::size_t k = 0; k < nz; ++k) out[k] += g0[k] * x0[k] + g1[k] * x1[k] + g2[k] * x2[k] + g3[k] * x3[k];
    }
}

// The level's right side, scaled into single precision on level 0.
void load(const double* b, double scale, std::size_t nz, float* out) {
    for (std::size_t k = 0; k < nz; ++k) out[k] = static_cast<float>(b[k] * scale);
}
void load(const float* b, double, std::size_t nz, float* out) { std::memcpy(out, b, nz * sizeof(float)); }

enum class Neighbourhood { zero, current, corrected };

struct Sweep {
    const Level& L;
    const Level* coarse;  // with Neighbourhood::corrected
    float* x;
    int colour;
    Neighbourhood reads;
    // The cycle's last sweep on level 0: per plane sums of b * x * inverse_scale.
    double* dots = nullptr;
    double inverse_scale = 1.0;
};

// Per plane i: sum of b * x * inverse_scale (x and b final on that plane).
template <class B>
double plane_dot(const Level& L, std::size_t i, const B* b, const float* x, double inverse_scale) {
    return lane_sum(i * L.plane(), (i + 1) * L.plane(), [&](std::size_t c) {
        return static_cast<double>(b[c]) * (static_cast<double>(x[c]) * inverse_scale);
    });
}

// Thomas elimination of kGroup lines at once: line g's right side, z
// couplings and inverse pivots are rows g of rhs, gz and ip (nz apart, all
// in cache). The forward pass runs in place over rhs, the back
// substitution writes x[g]; a missing line of a short group has zero pivots.
void solve_lines(std::size_t nz, const float* gz, const float* ip, float* rhs, float* const* x) {
    float y[kGroup];
    for (int g = 0; g < kGroup; ++g) {
        y[g] = rhs[g * nz] * ip[g * nz];
        rhs[g * nz] = y[g];
    }
    for (std::size_t k = 1; k < nz; ++k) {
        for (int g = 0; g < kGroup; ++g) {
            const std::size_t at = g * nz + k;
            // Multiplied out so that only one product and one sum wait on y.
            y[g] = rhs[at] * ip[at] + (gz[at - 1] * ip[at]) * y[g];
            rhs[at] = y[g];
        }
    }
    for (int g = 0; g < kGroup; ++g) x[g][nz - 1] = y[g];
    for (std::size_t k = nz - 1; k-- > 0;) {
        for (int g = 0; g < kGroup; ++g) {
            const std::size_t at = g * nz + k;
            y[g] = rhs[at] + (gz[at] * ip[at]) * y[g];
            x[g][k] = y[g];
        }
    }
}

// Solves the lines of one colour in planes [first, end), kGroup at a time:
// each line's right side is formed and its coefficients copied, streaming
// along the line, before the recurrences run over the copies.
template <class B>
void sweep_planes(const Sweep& s, const B* b, double scale, std::size_t first, std::size_t end) {
    const Level& L = s.L;
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    std::vector<float> zeros(nz, 0.0f), rhs(kGroup * nz), gz(kGroup * nz), ip(kGroup * nz), spare(nz);
    float* xs[kGroup];
    for (std::size_t i = first; i < end; ++i) {
        const int ii = static_cast<int>(i);
        for (int j0 = (s.colour + ii) & 1; j0 < L.ny; j0 += 2 * kGroup) {
            for (int g = 0; g < kGroup; ++g) {
                const int j = j0 + 2 * g;
                float* row = rhs.data() + static_cast<std::size_t>(g) * nz;
                float* gz_row = gz.data() + static_cast<std::size_t>(g) * nz;
                float* ip_row = ip.data() + static_cast<std::size_t>(g) * nz;
                if (j >= L.ny) {
                    std::fill(row, row + nz, 0.0f);
                    std::fill(gz_row, gz_row + nz, 0.0f);
                    std::fill(ip_row, ip_row + nz, 0.0f);
                    xs[g] = spare.data();
                    continue;
                }
                const std::size_t c = L.column(ii, j);
                std::memcpy(gz_row, L.gz.get() + c, nz * sizeof(float));
                std::memcpy(ip_row, L.inv_pivot.get() + c, nz * sizeof(float));
                xs[g] = s.x + c;
                load(b + c, scale, nz, row);
                if (s.reads == Neighbourhood::current) {
                    add_lateral<false>(neighbours(L, s.x, nullptr, ii, j, zeros.data()), nz, row);
                } else if (s.reads == Neighbourhood::corrected) {
                    add_lateral<true>(neighbours(L, s.x, s.coarse, ii, j, zeros.data()), nz, row);
                }
            }
            solve_lines(nz, gz.data(), ip.data(), rhs.data(), xs);
        }
        if (s.dots != nullptr) s.dots[i] = plane_dot(L, i, b, s.x, s.inverse_scale);
    }
}

template <class B>
void sweep(const Sweep& s, const B* b, double scale, ThreadTeam& team) {
    team.parallel_for(static_cast<std::size_t>(s.L.nx), s.L.plane(), [&](std::size_t first, std::size_t end) {
        sweep_planes(s, b, scale, first, end);
    });
}

// Coarse b = the fine residual summed over each merged block: on the
// colour-0 lines, the lateral push of the colour-1 values; zero elsewhere.
void restrict_residual(const Level& L, const float* x, Level& C, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    team.parallel_for(static_cast<std::size_t>(C.nx), 4 * C.plane(), [&](std::size_t first, std::size_t end) {
        std::vector<float> zeros(nz, 0.0f);
        for (std::size_t I = first; I < end; ++I) {
            const int i0 = L.first_x[I], i1 = L.first_x[I + 1];
            for (int J = 0; J < C.ny; ++J) {
                const int j0 = L.first_y[static_cast<std::size_t>(J)], j1 = L.first_y[static_cast<std::size_t>(J) + 1];
                float* out = C.b.get() + C.column(static_cast<int>(I), J);
                std::fill(out, out + nz, 0.0f);
                for (int i = i0; i < i1; ++i) {
                    for (int j = j0; j < j1; ++j) {
                        if (((i + j) & 1) != 0) continue;
                        add_lateral<false>(neighbours(L, x, nullptr, i, j, zeros.data()), nz, out);
                    }
                }
            }
        }
    });
}

template <class B>
void cycle(std::vector<Level>& levels, std::size_t l, float* x, const B* b, double scale, double* dots,
           ThreadTeam& team);

// b = b - A x on a coarse level.
void reduce_right_side(const Level& L, const float* x, float* b, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    team.parallel_for(static_cast<std::size_t>(L.nx), 2 * L.plane(), [&](std::size_t first, std::size_t end) {
        std::vector<float> zeros(nz, 0.0f);
        for (std::size_t i = first; i < end; ++i) {
            for (int j = 0; j < L.ny; ++j) {
                const std::size_t c0 = L.column(static_cast<int>(i), j);
                float* row = b + c0;
                const float* xc = x + c0;
                const float* d = L.diag.get() + c0;
                const float* gz = L.gz.get() + c0;
                for (std::size_t k = 0; k < nz; ++k) row[k] -= d[k] * xc[k];
                add_lateral<false>(neighbours(L, x, nullptr, static_cast<int>(i), j, zeros.data()), nz, row);
                for (std::size_t k = 1; k < nz; ++k) row[k] += gz[k - 1] * xc[k - 1];
                for (std::size_t k = 0; k + 1 < nz; ++k) row[k] += gz[k] * xc[k + 1];
            }
        }
    });
}

// A coarse level's correction: one cycle, or kCoarseVisits cycles each on
// the residual the ones before left (M + M (I - A M) for two: still
// symmetric).
void visit(std::vector<Level>& levels, std::size_t l, ThreadTeam& team) {
    Level& C = levels[l];
    cycle(levels, l, C.x.get(), C.b.get(), 1.0, nullptr, team);
    if (l + 1 == levels.size()) return;  // one column: solved exactly
    // A second visit pays only where the level is a fraction of the one
    // above; after a merge along one axis alone (or of a few rows) it
    // would compound down the hierarchy.
    const bool revisit = l >= kRevisitFrom && 3 * C.n <= levels[l - 1].n;
    for (int again = 1; again < (revisit ? kCoarseVisits : 1); ++again) {
        float* x = C.x.get();
        float* kept = C.first.get();
        reduce_right_side(C, x, C.b.get(), team);
        team.parallel_for(static_cast<std::size_t>(C.nx), C.plane() / 4, [&](std::size_t first, std::size_t end) {
            std::copy(x + first * C.plane(), x + end * C.plane(), kept + first * C.plane());
        });
        cycle(levels, l, x, C.b.get(), 1.0, nullptr, team);
        team.parallel_for(static_cast<std::size_t>(C.nx), C.plane() / 4, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first * C.plane(); c < end * C.plane(); ++c) x[c] += kept[c];
        });
    }
}

template <class B>
void cycle(std::vector<Level>& levels, std::size_t l, float* x, const B* b, double scale, double* dots,
           ThreadTeam& team) {
    const Level& L = levels[l];
    const bool last = l + 1 == levels.size();  // one column: the line solve is exact
    sweep(Sweep{L, nullptr, x, 0, Neighbourhood::zero, last ? dots : nullptr, 1.0 / scale}, b, scale, team);
    if (last) return;
    sweep(Sweep{L, nullptr, x, 1, Neighbourhood::current}, b, scale, team);
    Level& C = levels[l + 1];
    restrict_residual(L, x, C, team);
    visit(levels, l + 1, team);
    // The reverse colour order after the correction keeps the cycle symmetric.
    sweep(Sweep{L, &C, x, 1, Neighbourhood::corrected}, b, scale, team);
    sweep(Sweep{L, nullptr, x, 0, Neighbourhood::current, dots, 1.0 / scale}, b, scale, team);
}

}  // namespace

void v_cycle(std::vector<Level>& levels, const double* r, double scale, float* z, double* rz, ThreadTeam& team) {
    cycle(levels, 0, z, r, scale, rz, team);
}

}  // namespace tavro::conduction
