"""Nanoseconds per cell-step of the heat solver at 64^3, against a NumPy
version of the same sweep measured in the same run."""
import numpy as np
from timing import best_seconds

from tavro_kiln.core import _tavro_core as core

N, STEPS = 64, 200


def numpy_sweep(T, a_dx, a_dy, a_dz, source, held, steps):
    inner = (slice(1, -1),) * 3
    for _ in range(steps):
        new = T.copy()
        c = T[inner]
        v = (((c + a_dx * ((T[2:, 1:-1, 1:-1] - 2.0 * c) + T[:-2, 1:-1, 1:-1]))
              + a_dy * ((T[1:-1, 2:, 1:-1] - 2.0 * c) + T[1:-1, :-2, 1:-1]))
             + a_dz * ((T[1:-1, 1:-1, 2:] - 2.0 * c) + T[1:-1, 1:-1, :-2])) + source
        new[inner] = np.where(held, c, v)
        np.max(new), np.min(new), np.max(np.abs(new - T))
        T = new
    return T


def main():
    rng = np.random.default_rng(0)
    shape = (N, N, N)
    T = rng.uniform(250.0, 350.0, shape)
    cell_steps = N**3 * STEPS
    native = best_seconds(lambda: core.tcad_solve_3d(T, iterations=STEPS, return_history=True))
    zero = best_seconds(lambda: core.tcad_solve_3d(T, iterations=0))
    kernel_ns = (native - zero) / cell_steps * 1e9
    a = (148.0 / (710.0 * 2329.0)) * 1e-6
    inner = (slice(1, -1),) * 3
    held = np.zeros(shape, bool)[inner]
    numpy_time = best_seconds(lambda: numpy_sweep(T, a / 1e-6, a / 1e-6, a / 1e-6, 0.0, held, STEPS), 2)
    numpy_ns = numpy_time / cell_steps * 1e9
    print(f"{N}^3 x {STEPS} steps: tcad_solve_3d {kernel_ns:6.3f} ns per cell-step"
          f" (call set-up excluded)")
    print(f"{N}^3 x {STEPS} steps: NumPy sweep   {numpy_ns:6.3f} ns per cell-step"
          f"  -> native is {numpy_ns / kernel_ns:5.1f}x faster")


if __name__ == "__main__":
    main()
