"""Chip runs: steady state (multigrid) and transient, with optional
temperature-dependent conductivity, and many runs on an executor."""
import dataclasses
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np

from tavro_kiln.chip.conduction import couple_faces
from tavro_kiln.chip.grid import block_power, build_grid, die_size, lateral_cells, update_conductivity
from tavro_kiln.chip.multigrid import FREE, SMOOTHING_STEPS, first_guess, hierarchy, settle
from tavro_kiln.chip.transfer import average
from tavro_kiln.chip.transient import CHUNK, advance

PICARD_TOL = 1e-4  # K: k(T) has settled when re-evaluating it moves no cell by more
PICARD_LIMIT = 30
SEMI_COARSENING = 1.5


@dataclass
class ChipResult:
    grid: object  # ChipGrid of the final field
    temperature: np.ndarray  # final field on grid.model's shape
    steps: int = 0  # solver steps, all grids and intervals
    converged: bool = True
    timing: dict = field(default_factory=dict)  # seconds: solver, total
    levels: list = field(default_factory=list)  # steady: (grid shape..., steps) coarse to fine
    intervals: list = field(default_factory=list)  # transient: (end time s, field copy of active layer)
    time_step: float | None = None
    cycles: int = 0  # steady: V-cycles, all k(T) rounds


def lateral_stacks(stack, blocks):
    """The stack on ever coarser grids (the same cells along z), from the
    requested grid down to one column. Each halves the cells along x, y
    or both: along the shorter cell side only while the other is more than
    SEMI_COARSENING times longer, so that cells tend to square (a smoother
    cannot damp errors across long thin cells)."""
    width, height = die_size(stack, blocks)
    nx, ny = lateral_cells(stack, width, height)
    result = [dataclasses.replace(stack, nx=nx, ny=ny)]
    while nx > 1 or ny > 1:
        dx, dy = width / nx, height / ny
        if nx > 1 and (ny == 1 or dx * SEMI_COARSENING <= dy):
            nx = -(-nx // 2)
        elif ny > 1 and (nx == 1 or dy * SEMI_COARSENING <= dx):
            ny = -(-ny // 2)
        else:
            nx, ny = -(-nx // 2), -(-ny // 2)
        result.append(dataclasses.replace(stack, nx=nx, ny=ny))
    return result


def coarse_grids(stack, blocks, watts):
    """Chip grids for lateral_stacks, fine to coarse. A held side loses
    2 k_pad / d per unit area to the padding, so a coarse grid's padding
    conducts d_coarse / d_fine times more: every grid then leaks what the
    fine one does (with a weak heat sink that leak is a good part of the
    way out, and a coarse grid that missed it would correct by too much)."""
    grids = [build_grid(level_stack, blocks, watts) for level_stack in lateral_stacks(stack, blocks)]
    fine_dx, fine_dy, _ = grids[0].model.spacing
    for grid in grids[1:]:
        kx, ky, _ = grid.model.conductivity
        dx, dy, _ = grid.model.spacing
        kx[[0, -1]] *= dx / fine_dx
        ky[:, [0, -1]] *= dy / fine_dy
    return grids


def follow_temperature(grids, levels, stack, T):
    """Re-evaluates temperature-dependent conductivities at field ``T`` on
    every grid (a coarse grid at the mean of the fine cells it covers)."""
    for index, (grid, level) in enumerate(zip(grids, levels)):
        if index:
            fine = levels[index - 1]
            coarse_T = np.full(grid.model.shape, stack.ambient)
            coarse_T[FREE] = average(T[FREE], fine.x, fine.y)
            T = coarse_T
        update_conductivity(grid, stack, T)
        level.prepare()


def steady_state(stack, blocks, watts, tol=1e-6, temperature_dependent=False, progress=None,
                 chunk=SMOOTHING_STEPS):
    """Steady field for ``watts[i]`` in ``blocks[i]``, by multigrid V-cycles
    (multigrid.py) until a cycle changes no cell by more than ``tol`` K and
    the heat leaving matches the power. ``chunk`` is the solver steps per
    smoothing. With ``temperature_dependent``, conductivities are
    re-evaluated from the field and the run resumed until no cell moves by
    more than PICARD_TOL."""
    started = time.perf_counter()
    timing = {"solver": 0.0}
    grids = coarse_grids(stack, blocks, watts)
    levels = hierarchy(grids)
    T = first_guess(levels, timing, chunk)
    converged, cycles = False, 0
    for rounds in range(PICARD_LIMIT):
        if rounds:
            follow_temperature(grids, levels, stack, T)
        start = T
        T, converged, count, _ = settle(levels, start, tol, timing, progress, chunk)
        cycles += count
        moved = float(np.abs(T - start).max()) if rounds else np.inf
        if not temperature_dependent or moved <= PICARD_TOL or not converged:
            break
    else:
        converged = False
    timing["total"] = time.perf_counter() - started
    done = [(*level.model.shape, level.steps) for level in reversed(levels)]
    return ChipResult(grids[0], T, sum(level.steps for level in levels), converged, timing, done,
                      cycles=cycles)


def transient(stack, blocks, trace_watts, interval, dt=None, temperature_dependent=False,
              start=None, progress=None, chunk=CHUNK):
    """Field after each power interval in turn (``trace_watts`` has one row
    of block watts per interval of ``interval`` seconds). ``start`` is an
    initial field on the same grid (default: ambient everywhere)."""
    started = time.perf_counter()
    timing = {"solver": 0.0}
    trace_watts = np.asarray(trace_watts, dtype=np.float64)
    grid = build_grid(stack, blocks, trace_watts[0])
    T = grid.model.temperature.copy()
    if start is not None:
        T[~grid.model.held] = np.asarray(start, dtype=np.float64)[~grid.model.held]
    steps = 0
    intervals = []
    step = None
    for row_index, row in enumerate(trace_watts):
        grid.model.power = block_power(grid, row)
        if temperature_dependent:
            update_conductivity(grid, stack, T)
            couple_faces(grid.model)
        T, count, step = advance(grid.model, T, interval, dt=dt, chunk=chunk, timing=timing,
                                 progress=progress)
        steps += count
        intervals.append(((row_index + 1) * interval, T[:, :, grid.active].copy()))
    timing["total"] = time.perf_counter() - started
    return ChipResult(grid, T, steps, True, timing, [], intervals, step)


def run_config(config):
    """One run from a plain dict: ``kind`` ("steady" or "transient") and the
    keyword arguments of that function."""
    config = dict(config)
    kind = config.pop("kind", "steady")
    if kind == "steady":
        return steady_state(**config)
    if kind == "transient":
        return transient(**config)
    raise ValueError(f"unknown kind of run {kind!r} (expected 'steady' or 'transient')")


def run_many(configs, executor=None, max_workers=None):
    """Results of ``run_config`` for each configuration, in order. Any
    ``concurrent.futures`` executor works (a process pool, or a Dask
    client's ``get_executor()``, for runs that should not share one
    interpreter); by default a thread pool: the solver releases the
    interpreter lock, so its steps overlap across cores, while the layer's
    own work between chunks mostly does not."""
    if executor is not None:
        return [f.result() for f in [executor.submit(run_config, c) for c in configs]]
    with ThreadPoolExecutor(max_workers=max_workers) as pool:
        return list(pool.map(run_config, configs))
