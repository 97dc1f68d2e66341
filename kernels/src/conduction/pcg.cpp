// Conjugate gradients on the model's grid in double precision,
// preconditioned by one single-precision V-cycle, and the model's operator
// they apply. Reductions go through per-x-plane partial sums added in plane
// order, so the iterates are the same bits whatever the number of threads.
//
// Each iteration makes four passes over the grid: q = A p (with p.q and
// max |p|), r -= alpha q (with sum |r|), the V-cycle (with r.z), and
// x += alpha p with p = z + beta p. The change of the iteration,
// max |alpha p|, is |alpha| max |p|: rounding is monotonic.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "conduction/engine_impl.hpp"
#include "conduction/lanes.hpp"
#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

double ordered_sum(const std::vector<double>& partial) {
    return std::accumulate(partial.begin(), partial.end(), 0.0);
}

std::size_t plane_cells(const Engine::Impl& e) {
    return static_cast<std::size_t>(e.ny) * static_cast<std::size_t>(e.nz);
}

// ax = A x over column (i, j): each coupling times the difference across
// it, plus the outer faces' and shift * cap's terms.
void column_product(const Engine::Impl& e, const double* x, std::size_t i, int j, const double* zeros,
                    double* ax) {
    const std::size_t nz = static_cast<std::size_t>(e.nz), sx = plane_cells(e);
    const std::size_t c0 = (i * static_cast<std::size_t>(e.ny) + static_cast<std::size_t>(j)) * nz;
    const double* gx = e.op.gx.get();
    const double* gy = e.op.gy.get();
    const double* gz = e.op.gz.get() + c0;
    const double* xc = x + c0;
    const double* g0 = i > 0 ? gx + c0 - sx : zeros;
    const double* x0 = i > 0 ? x + c0 - sx : zeros;
    const double* g1 = gx + c0;  // zero on the last x plane
    const double* x1 = i + 1 < static_cast<std::size_t>(e.nx) ? x + c0 + sx : zeros;
    const double* g2 = j > 0 ? gy + c0 - nz : zeros;
    const double* x2 = j > 0 ? x + c0 - nz : zeros;
    const double* g3 = gy + c0;
    const double* x3 = j + 1 < e.ny ? x + c0 + nz : zeros;
    for (std::size_t k = 0; k < nz; ++k)
        ax[k] = g0[k] * (xc[k] - x0[k]) + g1[k] * (xc[k] - x1[k]) + g2[k] * (xc[k] - x2[k]) +
                g3[k] * (xc[k] - x3[k]);
    for (std::size_t k = 1; k < nz; ++k) ax[k] += gz[k - 1] * (xc[k] - xc[k - 1]);
    for (std::size_t k = 0; k + 1 < nz; ++k) ax[k] += gz[k] * (xc[k] - xc[k + 1]);
    if (e.shift != 0.0 && !e.op.cap.empty()) {
        const double* cap = e.op.cap.get() + c0;
        for (std::size_t k = 0; k < nz; ++k) ax[k] += e.shift * cap[k] * xc[k];
    }
    add_column_boundary(e, i, static_cast<std::size_t>(j), xc, ax);
}

// A power of two near 1 / residual: the V-cycle's input then sits well
// inside single precision's range whatever the units.
double input_scale(double residual) {
    return residual > 0.0 && std::isfinite(residual) ? std::ldexp(1.0, -std::ilogb(residual)) : 1.0;
}

}  // namespace

void apply_model(Engine::Impl& e, const double* x, double* out, bool dot, ThreadTeam& team) {
    const std::size_t sx = plane_cells(e), nz = static_cast<std::size_t>(e.nz);
    team.parallel_for(static_cast<std::size_t>(e.nx), 2 * sx, [&](std::size_t first, std::size_t end) {
        std::vector<double> zeros(nz, 0.0);
        for (std::size_t i = first; i < end; ++i) {
            double s = 0.0, largest = 0.0;
            for (int j = 0; j < e.ny; ++j) {
                const std::size_t c0 = i * sx + static_cast<std::size_t>(j) * nz;
                column_product(e, x, i, j, zeros.data(), out + c0);
                if (!dot) continue;
                s += lane_sum(c0, c0 + nz, [&](std::size_t c) { return x[c] * out[c]; });
                largest = std::max(largest, lane_max(c0, c0 + nz, [&](std::size_t c) { return std::fabs(x[c]); }));
            }
            if (dot) {
                e.partial[i] = s;
                e.partial_max[i] = largest;
            }
        }
    });
}

void model_residual(Engine::Impl& e, const double* x, const double* b, double* r, ThreadTeam& team) {
    const std::size_t sx = plane_cells(e), nz = static_cast<std::size_t>(e.nz);
    team.parallel_for(static_cast<std::size_t>(e.nx), 2 * sx, [&](std::size_t first, std::size_t end) {
        std::vector<double> zeros(nz, 0.0), ax(nz);
        for (std::size_t i = first; i < end; ++i) {
            double s = 0.0;
            for (int j = 0; j < e.ny; ++j) {
                const std::size_t c0 = i * sx + static_cast<std::size_t>(j) * nz;
                column_product(e, x, i, j, zeros.data(), ax.data());
                for (std::size_t k = 0; k < nz; ++k) r[c0 + k] = b[c0 + k] - ax[k];
                s += lane_sum(c0, c0 + nz, [&](std::size_t c) { return std::fabs(r[c]); });
            }
            e.partial[i] = s;
        }
    });
}

namespace {

// Conjugate gradients from x with r = b - A x; converged when the
// recurrence's residual and change pass the tolerances.
PcgOutcome iterate(Engine::Impl& e, double* x, const SolveOptions& options, double tol_watts, int budget,
                   ThreadTeam& team) {
    double* r = e.r.get();
    float* z = e.z.get();
    double* p = e.p.get();
    double* q = e.q.get();
    const std::size_t sx = plane_cells(e);
    const std::size_t planes = static_cast<std::size_t>(e.nx);

    PcgOutcome out;
    out.residual = ordered_sum(e.partial);
    double z_scale = input_scale(out.residual);
    v_cycle(e.levels, r, z_scale, z, e.partial.data(), team);
    double rz = ordered_sum(e.partial);
    team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
        const double inverse = 1.0 / z_scale;
        for (std::size_t c = first * sx; c < end * sx; ++c) p[c] = static_cast<double>(z[c]) * inverse;
    });
    while (out.iterations < budget) {
        apply_model(e, p, q, true, team);
        const double pq = ordered_sum(e.partial);
        if (!std::isfinite(pq) || !std::isfinite(rz)) {
            out.overflowed = true;
            break;
        }
        if (!(pq > 0.0)) break;  // breakdown: no descent left
        const double alpha = rz / pq;
        team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
            for (std::size_t i = first; i < end; ++i) {
                for (std::size_t c = i * sx; c < (i + 1) * sx; ++c) r[c] -= alpha * q[c];
                e.partial[i] = lane_sum(i * sx, (i + 1) * sx, [&](std::size_t c) { return std::fabs(r[c]); });
            }
        });
        ++out.iterations;
        out.residual = ordered_sum(e.partial);
        out.change = std::fabs(alpha) * *std::max_element(e.partial_max.begin(), e.partial_max.end());
        const bool done = out.residual <= tol_watts && out.change <= options.tol_kelvin;
        double beta = 0.0;
        if (!done) {
            z_scale = input_scale(out.residual);
            v_cycle(e.levels, r, z_scale, z, e.partial.data(), team);
            const double rz_next = ordered_sum(e.partial);
            beta = rz_next / rz;
            rz = rz_next;
        }
        team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
            const double inverse = 1.0 / z_scale;
            if (done) {
                for (std::size_t c = first * sx; c < end * sx; ++c) x[c] += alpha * p[c];
                return;
            }
            for (std::size_t c = first * sx; c < end * sx; ++c) {
                x[c] += alpha * p[c];
                p[c] = static_cast<double>(z[c]) * inverse + beta * p[c];
            }
        });
        if (done) {
            out.converged = true;
            break;
        }
    }
    return out;
}

}  // namespace

PcgOutcome solve_pcg(Engine::Impl& e, double* x, const SolveOptions& options, double scale, ThreadTeam& team) {
    // The recurrence's residual drifts from the true one by rounding, so a
    // converged run is checked against b - A x recomputed from the kept
    // right side and, if that is still too large, resumed from there.
    constexpr int kRestarts = 4;
    double* r = e.r.get();
    double* rhs = e.rhs.get();
    const std::size_t sx = plane_cells(e);
    team.parallel_for(static_cast<std::size_t>(e.nx), sx / 2, [&](std::size_t first, std::size_t end) {
        std::copy(r + first * sx, r + end * sx, rhs + first * sx);
    });
    PcgOutcome total;
    double tol_watts = options.tol_watts;
    for (int attempt = 0;; ++attempt) {
        model_residual(e, x, rhs, r, team);
        total.residual = ordered_sum(e.partial);
        if (tol_watts < 0.0) tol_watts = 1e-9 * std::max(scale, total.residual);
        if (total.residual <= tol_watts) {
            total.converged = true;
            break;
        }
        if (attempt == kRestarts || total.iterations >= options.max_iterations) break;
        const PcgOutcome run = iterate(e, x, options, tol_watts, options.max_iterations - total.iterations, team);
        total.iterations += run.iterations;
        total.change = run.change;
        total.overflowed = run.overflowed;
        // A run that overflowed, or could not take one step, would only do
        // so again from here.
        if (run.overflowed || run.iterations == 0) break;
    }
    return total;
}

}  // namespace tavro::conduction
