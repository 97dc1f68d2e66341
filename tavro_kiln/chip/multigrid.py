"""Steady state of a chip grid by multigrid V-cycles over grids with fewer
cells across the die.

What chunks of explicit steps are slow at is heat spreading sideways: the
smooth part of the error needs thousands of steps on a fine grid (Anderson
mixing only takes the square root of that), and the more so the finer
the grid. A V-cycle hands what a grid has not settled, its net heat per
cell, to a grid with half the cells across, settles it there the same way
and interpolates the correction back; the coarsest grid is a single
column, which the column solve settles exactly. On every grid a smoothing
is a few solver steps with the face correction (they damp the sideways
ripples the column solve leaves) followed by the column solve (exact along
z, across every interface). Started from the coarser grids' answer and
mixed two at a time, four cycles take the shipped example and a grid of
4.7 million cells alike to 1e-6 K.

Every grid keeps the fine grid's cells along z, so the layers and their
interfaces are the same on all of them and only the sideways direction is
transferred (transfer.py).
"""
import time
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.anderson import AndersonMixer
from tavro_kiln.chip.columns import column_system, relax_columns
from tavro_kiln.chip.conduction import correction_heat, face_coupling, face_couplings, face_rate
from tavro_kiln.chip.transfer import axis_transfer, prolong, restrict
from tavro_kiln.core import tcad_solve_3d

SMOOTHING_STEPS = 4  # solver steps per smoothing; more hardly shorten a cycle's work
MAX_CYCLES = 100
MIXING = 2  # cycles Anderson mixing remembers
BALANCE = 1e-6  # at the end, heat leaving and power in agree to this share of the power
OMEGA = 0.9  # the solver's step as a share of its stability limit
FREE = (slice(1, -1), slice(1, -1), slice(1, -1))


@dataclass
class Level:
    """One grid of the hierarchy and what smoothing it needs.

    The solver runs with one coefficient for all cells (k = 2329, cp = 1,
    so its step is dt * the Laplacian): per step a cell moves by dt/own
    times its net heat, i.e. each cell at OMEGA of its own stability limit
    (local time stepping), and the face correction plus the heat reach it
    as the source ``(heat + correction) / own``. Only the field and the
    source are arrays the solver has to copy.
    """

    model: object  # ConductionModel
    faces: object = None
    columns: object = None
    inverse_own: np.ndarray = None  # 1 / the solver's conductivity on free cells, 0 on held
    step: float = 0.0
    source: np.ndarray = None  # scratch: the solver's source
    x: object = None  # AxisTransfer to the next coarser level
    y: object = None
    steps: int = 0

    def prepare(self):
        """(Re)computes the couplings after a change of conductivity. The
        solver carries each cell's sideways conductivity: layers are uniform
        sideways, so the lagged part is mostly along z (which the column
        solve settles exactly) and at the insulated sides. Where the faces
        add up to more (a thin cell between good conductors), it carries
        their sum instead, so that no step can overshoot."""
        m = self.model
        couplings = face_couplings(m)
        own = np.maximum(np.where(m.held, 0.0, m.conductivity[0]), face_rate(m, couplings))
        self.faces = face_coupling(m, own, couplings, stability=False)
        self.columns = column_system(couplings)
        self.inverse_own = np.zeros(m.shape)
        np.divide(1.0, own, out=self.inverse_own, where=(own > 0.0) & ~m.held)
        self.step = OMEGA / sum(2.0 / d ** 2 for d in m.spacing)
        self.source = np.empty(m.shape)

    @property
    def single_column(self):
        nx, ny, _ = self.model.shape
        return nx == 3 and ny == 3


def hierarchy(grids):
    """Levels for ``grids`` (fine to coarse, each with about half the cells
    across of the one before and the same cells along z)."""
    levels = [Level(grid.model) for grid in grids]
    for fine, coarse in zip(levels, levels[1:]):
        (fx, fy, _), (cx, cy, _) = fine.model.shape, coarse.model.shape
        fine.x, fine.y = axis_transfer(fx - 2, cx - 2), axis_transfer(fy - 2, cy - 2)
    for level in levels:
        level.prepare()
    return levels


def smooth(level, T, heat, steps, timing):
    """A few solver steps with the face correction, then the column solve."""
    if not level.single_column:  # one column has no sideways ripples
        Q = level.source
        np.copyto(Q, heat)
        correction_heat(level.faces, T, out=Q)
        Q *= level.inverse_own
        started = time.perf_counter()
        T, _ = tcad_solve_3d(T, Q, None, 2329.0, 1.0, *level.model.spacing, dt=level.step,
                             iterations=steps)
        timing["solver"] += time.perf_counter() - started
        level.steps += steps
    return relax_columns(level.columns, T, heat)


def net_heat(level, T, heat):
    """Heat flowing into each free cell through the model's faces plus
    ``heat`` (W/m^3): zero everywhere at a steady state, zero on held cells."""
    r = heat.copy()
    for axis, g in enumerate(level.faces.couplings):
        t = np.moveaxis(T, axis, 0)
        q = np.moveaxis(r, axis, 0)
        flow = np.subtract(t[1:], t[:-1])
        flow *= np.moveaxis(g, axis, 0)  # from plane p + 1 into plane p
        q[:-1] += flow
        q[1:] -= flow
    clear_outer_planes(r)
    return r


def clear_outer_planes(a):
    a[0] = a[-1] = a[:, 0] = a[:, -1] = a[:, :, 0] = a[:, :, -1] = 0.0


def vcycle(levels, T, heat, timing, steps=SMOOTHING_STEPS, depth=0):
    """One V-cycle on ``levels[depth]`` from field ``T`` with heat ``heat``."""
    level = levels[depth]
    if depth == len(levels) - 1:
        return smooth(level, T, heat, steps, timing)
    T = smooth(level, T, heat, steps, timing)
    coarse = levels[depth + 1]
    residual = net_heat(level, T, heat)
    coarse_heat = np.zeros(coarse.model.shape)
    coarse_heat[FREE] = restrict(residual[FREE], level.x, level.y)
    error = vcycle(levels, np.zeros(coarse.model.shape), coarse_heat, timing, steps, depth + 1)
    T[FREE] += prolong(error[FREE], level.x, level.y)
    return smooth(level, T, heat, steps, timing)


def first_guess(levels, timing, steps=SMOOTHING_STEPS):
    """Full multigrid start: the problem itself settled on the coarsest grid
    (the power restricted to it), interpolated to the next grid and given
    one V-cycle there, and so on up to the fine grid."""
    heats = [levels[0].model.power]
    for fine, coarse in zip(levels, levels[1:]):
        heat = np.zeros(coarse.model.shape)
        heat[FREE] = restrict(heats[-1][FREE], fine.x, fine.y)
        heats.append(heat)
    T = None
    for depth in reversed(range(len(levels))):
        level = levels[depth]
        start = level.model.temperature.copy()
        if T is not None:
            rise = T[FREE] - levels[depth + 1].model.temperature[FREE]
            start[FREE] += prolong(rise, level.x, level.y)
        T = vcycle(levels, start, heats[depth], timing, steps, depth)
    return T


def heat_leaving(level, T):
    """Watts flowing from the free cells into the held outer planes, and
    the conductance (W/K) through which they flow."""
    watts = conductance = 0.0
    for axis, g in enumerate(level.faces.couplings):
        t = np.moveaxis(T, axis, 0)
        g = np.moveaxis(g, axis, 0)
        watts += float((g[0] * (t[1] - t[0])).sum() + (g[-1] * (t[-2] - t[-1])).sum())
        conductance += float(g[0].sum() + g[-1].sum())
    volume = float(np.prod(level.model.spacing))
    return watts * volume, conductance * volume


def settle(levels, T, tol, timing, progress=None, steps=SMOOTHING_STEPS, max_cycles=MAX_CYCLES):
    """V-cycles from ``T`` until one changes no cell by more than ``tol`` K
    and the heat leaving matches the power to BALANCE of it (or to what
    ``tol`` K at the held faces would carry, when there is no power).
    The cycles are mixed (anderson.py): a cycle is an affine map of the
    field, and mixing the last two takes about a third fewer of them.
    Returns (field, converged, cycles, last change)."""
    fine = levels[0]
    heat = fine.model.power
    power = float(heat.sum()) * float(np.prod(fine.model.spacing))
    T = np.array(T, dtype=np.float64)
    change = float("inf")
    mixer = AndersonMixer(MIXING)
    for cycle in range(1, max_cycles + 1):
        before = T[FREE].copy()
        done = sum(level.steps for level in levels)
        T = vcycle(levels, T, heat, timing, steps)
        # The mixer keeps both arrays it is given: nothing below writes to them.
        T[FREE] = mixer.next(before.ravel(), (T[FREE] - before).ravel()).reshape(before.shape)
        change = float(np.abs(T[FREE] - before).max(initial=0.0))
        if progress is not None:
            progress(sum(level.steps for level in levels) - done, change)
        if change <= tol:
            out, conductance = heat_leaving(fine, T)
            if abs(out - power) <= BALANCE * abs(power) + tol * conductance:
                return T, True, cycle, change
    return T, False, max_cycles, change
