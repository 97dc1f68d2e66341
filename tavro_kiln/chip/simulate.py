"""Chip runs: steady state (coarse-to-fine) and transient, with optional
temperature-dependent conductivity, and many runs on an executor."""
import dataclasses
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np

from tavro_kiln.chip.conduction import couple_faces
from tavro_kiln.chip.grid import DEFAULT_ACTIVE_CELLS, block_power, build_grid, die_size, lateral_cells, update_conductivity
from tavro_kiln.chip.report import layer_positions
from tavro_kiln.chip.steady import relax
from tavro_kiln.chip.transient import CHUNK, advance

COARSEST = 32  # grid sequencing starts at about this many cells across
PICARD_TOL = 1e-4  # K: k(T) has settled when re-evaluating it moves no cell by more
PICARD_LIMIT = 30


@dataclass
class ChipResult:
    grid: object  # ChipGrid of the final field
    temperature: np.ndarray  # final field on grid.model's shape
    steps: int = 0  # solver steps, all levels and intervals
    converged: bool = True
    timing: dict = field(default_factory=dict)  # seconds: solver, total
    levels: list = field(default_factory=list)  # steady: (grid shape..., steps) coarse to fine
    intervals: list = field(default_factory=list)  # transient: (end time s, field copy of active layer)
    time_step: float | None = None


def coarser(stack, factor):
    """The stack on a grid ``factor`` times coarser in every direction."""
    layers = [dataclasses.replace(layer, cells=max(1, (layer.cells or DEFAULT_ACTIVE_CELLS) // factor))
              if layer.active else
              dataclasses.replace(layer, cells=layer.cells and max(1, layer.cells // factor))
              for layer in stack.layers]
    return dataclasses.replace(stack, layers=layers)


def levels(stack, blocks, coarsest=COARSEST):
    """Stacks from coarse to the requested grid, halving every direction
    while the die stays at least ``coarsest`` cells across."""
    width, height = die_size(stack, blocks)
    nx, ny = lateral_cells(stack, width, height)
    result, factor = [], 1
    while True:
        fx, fy = max(1, round(nx / factor)), max(1, round(ny / factor))
        result.append(dataclasses.replace(coarser(stack, factor), nx=fx, ny=fy))
        if max(fx, fy) < 2 * coarsest or min(fx, fy) < 8:
            return result[::-1]
        factor *= 2


def centres(grid):
    """Physical positions (fractions of the die, and m from the die's far
    side) of the cell centres along x, y and z of the free region."""
    nx, ny, _ = grid.model.shape
    edges = layer_positions(grid)
    z = (edges[:-1] + edges[1:]) / 2
    sink = edges[-1] + grid.model.spacing[2] / 2
    return ((np.arange(nx - 2) + 0.5) / (nx - 2), (np.arange(ny - 2) + 0.5) / (ny - 2),
            np.append(z, sink))


def interpolate_axis(values, old, new, axis):
    low = np.clip(np.searchsorted(old, new) - 1, 0, len(old) - 2) if len(old) > 1 else np.zeros(len(new), int)
    if len(old) == 1:
        return np.take(values, low, axis=axis)
    weight = np.clip((new - old[low]) / (old[low + 1] - old[low]), 0.0, 1.0)
    shape = [1, 1, 1]
    shape[axis] = len(new)
    weight = weight.reshape(shape)
    return np.take(values, low, axis=axis) * (1 - weight) + np.take(values, low + 1, axis=axis) * weight


def refine(coarse_grid, coarse_T, fine):
    """Linear interpolation of a coarse field's free cells onto a finer grid
    of the same stack, by physical position."""
    T = fine.model.temperature.copy()
    values = coarse_T[1:-1, 1:-1, 1:-1]
    for axis, (old, new) in enumerate(zip(centres(coarse_grid), centres(fine))):
        values = interpolate_axis(values, old, new, axis)
    free = ~fine.model.held
    T[free] = np.pad(values, 1)[free]
    return T


def steady_state(stack, blocks, watts, tol=1e-6, temperature_dependent=False, progress=None,
                 chunk=20, coarsest=COARSEST):
    """Steady field for ``watts[i]`` in ``blocks[i]``. Solves on coarser
    grids first and interpolates up: smooth errors, slow to relax on a fine
    grid, are cheap to remove on a coarse one. With
    ``temperature_dependent``, conductivities are re-evaluated from the
    field and the run resumed until no cell moves by more than PICARD_TOL."""
    started = time.perf_counter()
    timing = {"solver": 0.0}
    result = None
    steps = 0
    converged = True
    done = []
    for level_stack in levels(stack, blocks, coarsest):
        grid = build_grid(level_stack, blocks, watts)
        T = None if result is None else refine(result.grid, result.temperature, grid)
        if T is not None and temperature_dependent:
            update_conductivity(grid, level_stack, T)
        level_steps = 0
        for _ in range(PICARD_LIMIT):
            run = relax(grid.model, tol=tol, chunk=chunk, start=T, progress=progress)
            timing["solver"] += run.solver_seconds
            level_steps += run.steps
            converged &= run.converged
            moved = np.inf if T is None else float(np.abs(run.temperature - T).max())
            T = run.temperature
            if not temperature_dependent or moved <= PICARD_TOL or not run.converged:
                break
            update_conductivity(grid, level_stack, T)
        else:
            converged = False
        result = ChipResult(grid, T)
        steps += level_steps
        done.append((*grid.model.shape, level_steps))
    timing["total"] = time.perf_counter() - started
    return ChipResult(result.grid, result.temperature, steps, converged, timing, done)


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
