"""Steady state of any conduction model on one grid: chunks of
``tcad_solve_3d`` in pseudo-time, each followed by an exact sweep of the
columns (columns.py), mixed by Anderson acceleration, until a step changes
no cell by more than ``tol``. The validation cases use it; a chip grid is
solved by multigrid.py, which on a fine grid needs a small fraction of the
steps (this relaxation's smooth errors fade slowly, more so the finer the
grid).

The steady state does not depend on heat capacities, so each cell gets the
capacity that puts it at OMEGA times its own stability limit with a unit
step (local time stepping): every cell relaxes as fast as it can, and the
limit still holds everywhere.
"""
import time
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.anderson import AndersonMixer
from tavro_kiln.chip.columns import column_system, relax_columns
from tavro_kiln.chip.conduction import SOLVER_DENSITY, correction_heat, couple_faces, net_heat
from tavro_kiln.core import tcad_solve_3d

OMEGA = 0.9


@dataclass
class SteadyRun:
    temperature: np.ndarray
    converged: bool
    steps: int  # solver steps in all
    chunks: int
    last_change: float  # K, largest one-step change in the last chunk
    solver_seconds: float  # time spent inside tcad_solve_3d


def relax(model, tol=1e-6, chunk=20, max_steps=1_000_000, memory=10, progress=None,
          start=None, columns=True):
    """Runs ``model`` to its steady state: until one step changes no cell by
    more than ``tol`` K. ``progress(steps, change)`` is called after each
    chunk with its steps and the last step's largest change; ``start`` is
    an optional initial field. ``memory=0`` and ``columns=False`` leave
    plain chunks of solver steps (slower, kept for comparison)."""
    dx, dy, dz = model.spacing
    faces = couple_faces(model)
    system = column_system(faces.couplings) if columns else None
    free = ~model.held
    capacity = np.where(free, faces.diagonal / OMEGA, 1.0)
    capacity[capacity == 0.0] = 1.0
    cp = capacity / SOLVER_DENSITY
    bc = model.held.astype(np.int32)
    T = np.array(model.temperature if start is None else start, dtype=np.float64)
    T[model.held] = model.temperature[model.held]
    # Iterates are whole fields: held cells never change, so they add
    # nothing to the mixing, and no gathering is needed.
    x = T.ravel().copy()
    mixer = AndersonMixer(memory)
    inverse_capacity = 1.0 / capacity
    source = model.power * inverse_capacity
    Q = np.empty(model.shape)
    steps = chunks = 0
    solver_seconds = 0.0
    change = float("inf")
    converged = False
    while steps < max_steps:
        Q.fill(0.0)
        correction_heat(faces, T, out=Q)
        Q *= inverse_capacity
        Q += source
        n = min(chunk, max_steps - steps)
        started = time.perf_counter()
        out, info = tcad_solve_3d(T, Q, bc, faces.own, cp, dx, dy, dz, dt=1.0, iterations=n,
                                  return_history=True, history_stride=n, convergence_tol=tol)
        solver_seconds += time.perf_counter() - started
        steps += info["iterations_completed"]
        chunks += 1
        change = info["max_delta"]
        if progress is not None:
            progress(info["iterations_completed"], change)
        if system is not None:
            out = relax_columns(system, out, model.power)
        g = out.ravel() - x
        if np.abs(g).max(initial=0.0) <= tol * n:
            # The chunk barely moved; the solver's early exit alone does not
            # prove a steady state (it may only have settled against the
            # lagged source), so ask the model itself.
            change = max_step_change(model, out, capacity)
            if change <= tol:
                T = out
                converged = True
                break
        x = mixer.next(x, g) if memory else x + g
        T = x.reshape(model.shape)
    return SteadyRun(T, converged, steps, chunks, change, solver_seconds)


def max_step_change(model, T, capacity):
    """Largest change (K) one unit pseudo-step of the conservative scheme would make."""
    return float(np.abs(net_heat(model, T) / capacity).max(initial=0.0))
