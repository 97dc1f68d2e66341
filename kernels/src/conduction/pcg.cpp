// Conjugate gradients on the model's grid, preconditioned by one V-cycle.
// Reductions go through per-x-plane partial sums added in plane order, so
// the iterates are the same bits whatever the number of threads.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "conduction/engine_impl.hpp"
#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

double ordered_sum(const std::vector<double>& partial) {
    return std::accumulate(partial.begin(), partial.end(), 0.0);
}

std::size_t plane_cells(const Engine::Impl& e) {
    return static_cast<std::size_t>(e.ny) * static_cast<std::size_t>(e.nz);
}

// Per plane: sum of |r|.
double residual_sum(Engine::Impl& e, const double* r, ThreadTeam& team) {
    const std::size_t sx = plane_cells(e);
    team.parallel_for(static_cast<std::size_t>(e.nx), sx / 2, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            double s = 0.0;
            for (std::size_t c = i * sx; c < (i + 1) * sx; ++c) s += std::fabs(r[c]);
            e.partial[i] = s;
        }
    });
    return ordered_sum(e.partial);
}

}  // namespace

PcgOutcome solve_pcg(Engine::Impl& e, double* x, const SolveOptions& options, double scale, ThreadTeam& team) {
    std::vector<Level>& levels = e.levels;
    const Level& L = levels[0];
    double* r = e.r.get();
    double* z = e.z.get();
    double* p = e.p.get();
    double* q = e.q.get();
    const std::size_t sx = plane_cells(e);
    const std::size_t planes = static_cast<std::size_t>(e.nx);

    residual(L, x, r, r, team);  // r held b: now b - A x
    PcgOutcome out;
    out.residual = residual_sum(e, r, team);
    const double tol_watts = options.tol_watts >= 0.0 ? options.tol_watts : 1e-9 * std::max(scale, out.residual);
    if (out.residual <= tol_watts) {
        out.converged = true;
        return out;
    }
    v_cycle(levels, 0, z, r, q, team);
    team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
            double s = 0.0;
            for (std::size_t c = i * sx; c < (i + 1) * sx; ++c) {
                p[c] = z[c];
                s += r[c] * z[c];
            }
            e.partial[i] = s;
        }
    });
    double rz = ordered_sum(e.partial);
    std::vector<double> change(planes, 0.0);
    while (out.iterations < options.max_iterations) {
        apply_operator(L, p, q, e.partial.data(), team);
        const double pq = ordered_sum(e.partial);
        if (!(pq > 0.0) || !std::isfinite(pq) || !std::isfinite(rz)) break;  // breakdown: no descent left
        const double alpha = rz / pq;
        team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
            for (std::size_t i = first; i < end; ++i) {
                double s = 0.0, largest = 0.0;
                for (std::size_t c = i * sx; c < (i + 1) * sx; ++c) {
                    const double step = alpha * p[c];
                    x[c] += step;
                    r[c] -= alpha * q[c];
                    s += std::fabs(r[c]);
                    largest = std::max(largest, std::fabs(step));
                }
                e.partial[i] = s;
                change[i] = largest;
            }
        });
        ++out.iterations;
        out.residual = ordered_sum(e.partial);
        out.change = *std::max_element(change.begin(), change.end());
        if (out.residual <= tol_watts && out.change <= options.tol_kelvin) {
            out.converged = true;
            break;
        }
        v_cycle(levels, 0, z, r, q, team);
        team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
            for (std::size_t i = first; i < end; ++i) {
                double s = 0.0;
                for (std::size_t c = i * sx; c < (i + 1) * sx; ++c) s += r[c] * z[c];
                e.partial[i] = s;
            }
        });
        const double rz_next = ordered_sum(e.partial);
        const double beta = rz_next / rz;
        rz = rz_next;
        team.parallel_for(planes, sx / 2, [&](std::size_t first, std::size_t end) {
            for (std::size_t c = first * sx; c < end * sx; ++c) p[c] = z[c] + beta * p[c];
        });
    }
    return out;
}

}  // namespace tavro::conduction
