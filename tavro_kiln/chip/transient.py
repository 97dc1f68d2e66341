"""Time-accurate runs: explicit steps of ``tcad_solve_3d`` with the real
heat capacities, the face correction of conduction.py re-evaluated every
``chunk`` steps."""
import math
import time

import numpy as np

from tavro_kiln.chip.conduction import SOLVER_DENSITY, correction_heat, couple_faces, held_only_outside
from tavro_kiln.chip.stability import choose_time_step
from tavro_kiln.core import tcad_solve_3d

CHUNK = 1  # steps between corrections: 1 is the conservative scheme itself; longer
# chunks lag the interface fluxes (errors measured in docs/chip_validation.md)


def advance(model, T, duration, dt=None, chunk=CHUNK, timing=None, progress=None):
    """Field after ``duration`` seconds from ``T``. The step is ``dt`` (refused
    above the stability limit) or chosen, then shortened so that a whole
    number of steps fills ``duration``. Returns (field, steps, step)."""
    faces = model.faces or couple_faces(model)
    step = choose_time_step(model, dt)
    count = max(1, math.ceil(duration / step - 1e-9))
    step = duration / count
    free = ~model.held
    inverse_capacity = np.where(free, 1.0 / np.where(free, model.capacity, 1.0), 0.0)
    # The solver's rate k / (cp * 2329) per cell, given as k with cp = 1: one
    # array for the solver to copy instead of two.
    rate = faces.own * inverse_capacity * SOLVER_DENSITY
    bc = None if held_only_outside(model) else model.held.astype(np.int32)
    dx, dy, dz = model.spacing
    T = np.array(T, dtype=np.float64)
    Q = np.empty(model.shape)
    done = 0
    while done < count:
        n = min(chunk, count - done)
        np.copyto(Q, model.power)
        correction_heat(faces, T, out=Q)
        Q *= inverse_capacity
        started = time.perf_counter()
        T, _ = tcad_solve_3d(T, Q, bc, rate, 1.0, dx, dy, dz, dt=step, iterations=n)
        if timing is not None:
            timing["solver"] = timing.get("solver", 0.0) + time.perf_counter() - started
        done += n
        if progress is not None:
            progress(n, None)
    return T, count, step
