"""A plain NumPy transcription of the heat solver's arithmetic, used as the
independent reference the native solver must match bit for bit.

Every stored value is formed by the same IEEE operations in the same order
as the native kernel: a = (k / (cp * 2329.0)) * dt, coefficients a / (d * d),
second differences (T+ - 2 T0) + T-, terms summed ((T0 + X) + Y) + Z, then
+ dt * Q. NumPy applies each operation elementwise, so order is preserved.
"""
import numpy as np

DENSITY = 2329.0
MAX_START, MIN_START = -1.0e10, 1.0e10


def sequential_max(values, start):
    """What `if v > best: best = v` over `values` in order leaves in `best`."""
    above = values[values > start]
    if above.size == 0:
        return start
    return float(above[np.argmax(above == above.max())])  # first of any +-0 tie


def sequential_min(values, start):
    below = values[values < start]
    if below.size == 0:
        return start
    return float(below[np.argmax(below == below.min())])


def reference_solve(T, k, cp, Q, bc, dx, dy, dz, dt, iterations, stride=1, tol=0.0):
    """Returns (final field, samples of shape (n_slots, 3), summary tuple)."""
    T = np.array(T, dtype=np.float64)
    nx, ny, nz = T.shape
    shape = T.shape
    k, cp, Q = (np.broadcast_to(np.asarray(v, dtype=np.float64), shape) for v in (k, cp, Q))
    held = (bc == 1) | (bc == 2)
    with np.errstate(all="ignore"):
        a = (k / (cp * DENSITY)) * dt
        cx, cy, cz = a / (dx * dx), a / (dy * dy), a / (dz * dz)
        source = dt * Q
    slots = max((iterations + stride - 1) // stride, 0)
    samples = np.zeros((slots, 3))
    completed, early_exit, max_delta = 0, -1, 0.0
    inner = (slice(1, -1),) * 3
    for step in range(iterations):
        new = T.copy()
        if min(shape) > 2:
            c = T[inner]
            with np.errstate(all="ignore"):
                x = cx[inner] * ((T[2:, 1:-1, 1:-1] - 2.0 * c) + T[:-2, 1:-1, 1:-1])
                y = cy[inner] * ((T[1:-1, 2:, 1:-1] - 2.0 * c) + T[1:-1, :-2, 1:-1])
                z = cz[inner] * ((T[1:-1, 1:-1, 2:] - 2.0 * c) + T[1:-1, 1:-1, :-2])
                v = ((c + x) + y) + z + source[inner]
            new[inner] = np.where(held[inner], c, v)
        flat_new = new.ravel()
        with np.errstate(invalid="ignore"):
            change = np.abs(flat_new - T.ravel())
        delta = sequential_max(change, 0.0)
        if step % stride == 0:
            samples[step // stride] = (float(step), sequential_max(flat_new, MAX_START),
                                       sequential_min(flat_new, MIN_START))
        T = new
        completed, max_delta = step + 1, delta
        if tol > 0.0 and delta < tol:
            early_exit = step
            break
    return T, samples, (early_exit, completed, max_delta)
