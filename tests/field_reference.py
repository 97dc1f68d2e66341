"""A plain NumPy transcription of the coupled field relaxation, the
independent reference the native solver must match bit for bit.

Every product is formed left to right and every sum accumulated left to
right, exactly as written; the logarithm is math.log (the platform's libm,
which NumPy's own vectorised log need not match), and the energy is summed
cell by cell in flat order.
"""
import math

import numpy as np

C3 = 1.6666666666666665e-105


def libm_log(values):
    return np.array([math.log(v) for v in values.ravel()], dtype=np.float64).reshape(values.shape)


def p_k_for(k_scale):
    try:
        return math.pow(4.0, 66.0 - k_scale) * 1e32
    except OverflowError:
        return math.inf


def reference_relax(psi, tau, phi, flags, P_k, iterations, stride=10, tol=1e-8):
    """Returns (psi, tau, records of shape (n, 3), summary tuple)."""
    psi = np.asarray(psi, np.float64)
    shape = psi.shape
    n = psi.size
    with np.errstate(all="ignore"):
        cur_psi = psi / P_k
    cur_tau = np.array(tau, np.float64)
    phi = np.asarray(phi, np.float64)
    free = np.zeros(shape, bool)
    if min(shape) > 2:
        free[1:-1, 1:-1, 1:-1] = True
    free &= ~(np.asarray(flags) == 1.0)
    records = np.zeros((max((iterations + stride - 1) // stride, 0), 3))
    completed, early_exit, max_delta_final, energy_final = 0, -1, 0.0, 0.0
    inner = (slice(1, -1),) * 3
    for step in range(iterations):
        next_psi, next_tau = cur_psi.copy(), cur_tau.copy()
        max_delta, energy = 0.0, 0.0
        if free.any():
            f = free[inner]
            P, T, F = cur_psi[inner][f], cur_tau[inner][f], phi[inner][f]

            def neighbours(a):
                return ((((a[1:-1, 1:-1, 2:][f] + a[1:-1, 1:-1, :-2][f]) + a[1:-1, 2:, 1:-1][f])
                         + a[1:-1, :-2, 1:-1][f]) + a[2:, 1:-1, 1:-1][f]) + a[:-2, 1:-1, 1:-1][f]

            with np.errstate(all="ignore"):
                L_psi = neighbours(cur_psi) - P * 6
                L_tau = neighbours(cur_tau) - T * 6
                warm = T > 1e-9
                D = np.where(warm, T + 1.0, 1.000000001)
                S = T.copy()
                S[warm] = libm_log(D[warm])
                Q = (F * 1e-24) * F
                m1 = P - 1
                G_psi = (((((((P_k * 1e-26) * m1 - S * 7e-10) + (T * 5e-124) * T)
                            + (((((P_k * C3) * P_k) * P_k) * m1) * m1) * m1) - Q)
                          - (T * 10) * T) - L_psi * 0.1)
                d_psi = G_psi * (-0.05)
                P_new = P + d_psi
                G_tau = (((((T * 1e-123) * P) * P_k + ((P * (-7e-10)) * P_k) / D)
                          - ((P * 20) * P_k) * T) - Q) - L_tau * 0.01
                d_tau = G_tau * (-0.05)
                T_new = T + d_tau
                T_new = np.where(1e-9 > T_new, 1e-9, T_new)
                steps = np.abs(np.stack([d_psi, d_tau], axis=1)).ravel()
                steps = steps[steps > 0.0]
                max_delta = float(steps.max()) if steps.size else 0.0
                m1n = P_new - 1
                terms = ((((P_k * 5e-27) * m1n) * m1n - ((P_new * 7e-10) * P_k) * S)
                         + (((T_new * 5e-124) * T_new) * P_new) * P_k)
                energy = float(np.add.accumulate(np.concatenate([[0.0], terms]))[-1])
            view_psi, view_tau = next_psi[inner], next_tau[inner]
            view_psi[f], view_tau[f] = P_new, T_new
        cur_psi, cur_tau = next_psi, next_tau
        completed, max_delta_final = step + 1, max_delta
        with np.errstate(all="ignore"):
            mean_energy = energy / np.float64(n)
        if step % stride == 0:
            records[step // stride] = (float(step), max_delta, mean_energy)
        if tol > 0 and max_delta < tol:
            early_exit, energy_final = step, float(mean_energy)
            break
    with np.errstate(all="ignore"):
        out_psi = P_k * cur_psi
    return out_psi, cur_tau, records, (early_exit, completed, max_delta_final, energy_final)
