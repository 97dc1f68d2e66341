"""Nanoseconds per cell-sweep of the coupled field solver at 64^3, against a
NumPy version of the same sweep (as a Python user would write it with
slicing) measured in the same run."""
import numpy as np
from timing import best_seconds

from tavro_kiln.core import _hxm_field_solver as hxm

N, SWEEPS = 64, 20
C3 = 1.6666666666666665e-105


def numpy_sweeps(psi, tau, phi, P_k, sweeps):
    p, t = psi / P_k, tau.copy()
    inner = (slice(1, -1),) * 3
    for _ in range(sweeps):
        P, T, F = p[inner], t[inner], phi[inner]

        def laplacian(a, c):
            return (a[1:-1, 1:-1, 2:] + a[1:-1, 1:-1, :-2] + a[1:-1, 2:, 1:-1]
                    + a[1:-1, :-2, 1:-1] + a[2:, 1:-1, 1:-1] + a[:-2, 1:-1, 1:-1]) - c * 6

        warm = T > 1e-9
        D = np.where(warm, T + 1.0, 1.000000001)
        S = np.where(warm, np.log(D), T)
        Q = F * 1e-24 * F
        m1 = P - 1
        g_psi = (P_k * 1e-26 * m1 - S * 7e-10 + T * 5e-124 * T + P_k * C3 * P_k * P_k * m1 * m1 * m1
                 - Q - T * 10 * T - laplacian(p, P) * 0.1)
        g_tau = (T * 1e-123 * P * P_k + (P * -7e-10 * P_k) / D - P * 20 * P_k * T - Q
                 - laplacian(t, T) * 0.01)
        d_psi, d_tau = g_psi * -0.05, g_tau * -0.05
        new_p, new_t = P + d_psi, np.maximum(T + d_tau, 1e-9)
        max(np.abs(d_psi).max(), np.abs(d_tau).max())
        m1n = new_p - 1
        (P_k * 5e-27 * m1n * m1n - new_p * 7e-10 * P_k * S + new_t * 5e-124 * new_t * new_p * P_k).sum()
        p, t = p.copy(), t.copy()
        p[inner], t[inner] = new_p, new_t
    return p * P_k, t


def main():
    rng = np.random.default_rng(0)
    shape = (N, N, N)
    psi = 1e32 * rng.uniform(0.999, 1.001, shape)
    tau = rng.uniform(0.0, 2e-9, shape)
    phi = rng.uniform(-1.0, 1.0, shape)
    cell_sweeps = N**3 * SWEEPS
    run = lambda sweeps: hxm.hxm_solve_3d(psi, tau, phi, iterations=sweeps, convergence_tol=0.0)
    native = (best_seconds(lambda: run(SWEEPS)) - best_seconds(lambda: run(0))) / cell_sweeps * 1e9
    with np.errstate(all="ignore"):  # the fields overflow within a few sweeps, as they do natively
        numpy_ns = best_seconds(lambda: numpy_sweeps(psi, tau, phi, 1e32, SWEEPS), 2) / cell_sweeps * 1e9
    print(f"{N}^3 x {SWEEPS} sweeps: hxm_solve_3d {native:6.2f} ns per cell-sweep (call set-up excluded)")
    print(f"{N}^3 x {SWEEPS} sweeps: NumPy sweep  {numpy_ns:6.2f} ns per cell-sweep"
          f"  -> native is {numpy_ns / native:5.1f}x faster")


if __name__ == "__main__":
    main()
