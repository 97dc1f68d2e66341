// The z-line multigrid: operator, residual, line relaxation, transfers and
// the V-cycle, each looping over the x planes of a level (in parallel when
// the level is large).
#include <algorithm>
#include <cstring>
#include <vector>

#include "conduction/levels.hpp"
#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

// The four lateral neighbours of a column: couplings and values, pointing
// at zeros where the column sits on an outer face.
struct Lateral {
    const double *g[4], *x[4];

    double sum(std::size_t k) const {
        return g[0][k] * x[0][k] + g[1][k] * x[1][k] + g[2][k] * x[2][k] + g[3][k] * x[3][k];
    }
};

Lateral lateral(const Level& L, const double* x, std::size_t c0, int i, int j, const double* zeros) {
    const std::size_t sx = static_cast<std::size_t>(L.ny) * static_cast<std::size_t>(L.nz);
    const std::size_t sy = static_cast<std::size_t>(L.nz);
    Lateral n;
    n.g[0] = i > 0 ? L.gx.get() + c0 - sx : zeros;
    n.x[0] = i > 0 ? x + c0 - sx : zeros;
    n.g[1] = L.gx.get() + c0;  // zero on the last x plane
    n.x[1] = i + 1 < L.nx ? x + c0 + sx : zeros;
    n.g[2] = j > 0 ? L.gy.get() + c0 - sy : zeros;
    n.x[2] = j > 0 ? x + c0 - sy : zeros;
    n.g[3] = L.gy.get() + c0;
    n.x[3] = j + 1 < L.ny ? x + c0 + sy : zeros;
    return n;
}

// Cost weights for ThreadTeam: cell updates per x plane.
std::size_t plane_cells(const Level& L) { return static_cast<std::size_t>(L.ny) * static_cast<std::size_t>(L.nz); }

void apply_columns(const Level& L, const double* x, const double* b, double* out, double* partial_dot,
                   std::size_t i_begin, std::size_t i_end) {
    std::vector<double> zeros(static_cast<std::size_t>(L.nz), 0.0);
    const double* gz = L.gz.get();
    const double* diag = L.diag.get();
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    for (std::size_t i = i_begin; i < i_end; ++i) {
        double dot = 0.0;
        for (int j = 0; j < L.ny; ++j) {
            const std::size_t c0 = L.column(static_cast<int>(i), j);
            const Lateral n = lateral(L, x, c0, static_cast<int>(i), j, zeros.data());
            for (std::size_t k = 0; k < nz; ++k) {
                const std::size_t c = c0 + k;
                double ax = diag[c] * x[c] - n.sum(k);
                if (k > 0) ax -= gz[c - 1] * x[c - 1];
                if (k + 1 < nz) ax -= gz[c] * x[c + 1];
                if (b != nullptr) {
                    out[c] = b[c] - ax;
                } else {
                    out[c] = ax;
                    dot += x[c] * ax;
                }
            }
        }
        if (partial_dot != nullptr) partial_dot[i] = dot;
    }
}

void restrict_sum(const Level& fine, const double* r, Level& coarse, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(fine.nz);
    team.parallel_for(static_cast<std::size_t>(coarse.nx), 4 * plane_cells(coarse), [&](std::size_t b, std::size_t e) {
        for (std::size_t I = b; I < e; ++I) {
            const int i0 = fine.merge_x ? 2 * static_cast<int>(I) : static_cast<int>(I);
            const int i1 = std::min(fine.nx, fine.merge_x ? i0 + 2 : i0 + 1);
            for (int J = 0; J < coarse.ny; ++J) {
                const int j0 = fine.merge_y ? 2 * J : J;
                const int j1 = std::min(fine.ny, fine.merge_y ? j0 + 2 : j0 + 1);
                double* out = coarse.b.get() + coarse.column(static_cast<int>(I), J);
                std::memcpy(out, r + fine.column(i0, j0), nz * sizeof(double));
                for (int i = i0; i < i1; ++i) {
                    for (int j = j0; j < j1; ++j) {
                        if (i == i0 && j == j0) continue;
                        const double* in = r + fine.column(i, j);
                        for (std::size_t k = 0; k < nz; ++k) out[k] += in[k];
                    }
                }
            }
        }
    });
}

void prolong_add(const Level& fine, const Level& coarse, double* x, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(fine.nz);
    team.parallel_for(static_cast<std::size_t>(fine.nx), plane_cells(fine), [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const int I = fine.merge_x ? static_cast<int>(i) / 2 : static_cast<int>(i);
            for (int j = 0; j < fine.ny; ++j) {
                const int J = fine.merge_y ? j / 2 : j;
                const double* in = coarse.x.get() + coarse.column(I, J);
                double* out = x + fine.column(static_cast<int>(i), j);
                for (std::size_t k = 0; k < nz; ++k) out[k] += in[k];
            }
        }
    });
}

}  // namespace

void apply_operator(const Level& L, const double* x, double* out, double* partial_dot, ThreadTeam& team) {
    team.parallel_for(static_cast<std::size_t>(L.nx), 2 * plane_cells(L), [&](std::size_t b, std::size_t e) {
        apply_columns(L, x, nullptr, out, partial_dot, b, e);
    });
}

void residual(const Level& L, const double* x, const double* b, double* r, ThreadTeam& team) {
    team.parallel_for(static_cast<std::size_t>(L.nx), 2 * plane_cells(L), [&](std::size_t first, std::size_t end) {
        apply_columns(L, x, b, r, nullptr, first, end);
    });
}

void smooth(const Level& L, double* x, const double* b, int colour, ThreadTeam& team) {
    const std::size_t nz = static_cast<std::size_t>(L.nz);
    team.parallel_for(static_cast<std::size_t>(L.nx), plane_cells(L), [&](std::size_t first, std::size_t end) {
        std::vector<double> zeros(nz, 0.0);
        const double* gz = L.gz.get();
        const double* ip = L.inv_pivot.get();
        for (std::size_t i = first; i < end; ++i) {
            for (int j = (colour + static_cast<int>(i)) & 1; j < L.ny; j += 2) {
                const std::size_t c0 = L.column(static_cast<int>(i), j);
                const Lateral n = lateral(L, x, c0, static_cast<int>(i), j, zeros.data());
                double* xc = x + c0;
                const double* bc = b + c0;
                const double* gzc = gz + c0;
                const double* ipc = ip + c0;
                // Thomas: forward elimination with the stored pivots, then back.
                double previous = (bc[0] + n.sum(0)) * ipc[0];
                xc[0] = previous;
                for (std::size_t k = 1; k < nz; ++k) {
                    previous = (bc[k] + n.sum(k) + gzc[k - 1] * previous) * ipc[k];
                    xc[k] = previous;
                }
                for (std::size_t k = nz - 1; k-- > 0;) xc[k] += gzc[k] * ipc[k] * xc[k + 1];
            }
        }
    });
}

void v_cycle(std::vector<Level>& levels, std::size_t first, double* x, const double* b, double* scratch,
             ThreadTeam& team) {
    Level& L = levels[first];
    team.parallel_for(static_cast<std::size_t>(L.nx), plane_cells(L) / 4, [&](std::size_t s, std::size_t e) {
        std::memset(x + L.column(static_cast<int>(s), 0), 0, (e - s) * plane_cells(L) * sizeof(double));
    });
    smooth(L, x, b, 0, team);
    smooth(L, x, b, 1, team);
    if (first + 1 == levels.size()) return;  // one column: the line solve was exact
    residual(L, x, b, scratch, team);
    Level& C = levels[first + 1];
    restrict_sum(L, scratch, C, team);
    v_cycle(levels, first + 1, C.x.get(), C.b.get(), C.r.get(), team);
    prolong_add(L, C, x, team);
    // The reverse order after the correction keeps the preconditioner symmetric.
    smooth(L, x, b, 1, team);
    smooth(L, x, b, 0, team);
}

}  // namespace tavro::conduction
