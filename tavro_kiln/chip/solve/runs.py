"""Chip runs: the steady state of a set of block powers, a transient
through a power trace, and many runs on any executor."""
import math
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np

from tavro_kiln.chip.model.chip_model import ChipModel


@dataclass
class ChipResult:
    grid: object  # ChipGrid
    temperature: np.ndarray  # final field, grid.shape (K; NaN where there is no material)
    converged: bool = True
    iterations: int = 0  # conjugate-gradient iterations, all solves
    steps: int = 0  # transient: time steps
    residual_W: float = 0.0  # heat imbalance left by the last solve
    change_K: float = 0.0  # largest change of its last iteration
    heat_out_W: float = 0.0  # through the outer faces at the end
    power_W: float = 0.0
    timing: dict = field(default_factory=dict)  # seconds: solver (native), total
    intervals: list = field(default_factory=list)  # transient: (end time s, active-layer field)
    time_step: float | None = None  # transient: s


def steady_state(stack, blocks, watts, tol=1e-6, temperature_dependent=False, progress=None, threads=None,
                 tol_watts=None):
    """Steady field for ``watts[i]`` in ``blocks[i]``: solved until an
    iteration changes no cell by more than ``tol`` K and the heat imbalance
    is at most ``tol_watts`` W (default 1e-9 of the power); with
    ``temperature_dependent``, silicon's k(T) is re-evaluated to a fixed
    point. ``progress(steps, change)`` is told when it is done."""
    started = time.perf_counter()
    model = ChipModel(stack, blocks, threads, temperature_dependent)
    report = model.steady(watts, tol=tol, tol_watts=tol_watts, temperature_dependent=temperature_dependent)
    if progress is not None:
        progress(report.iterations, report.change_K)
    timing = {"solver": model.build_seconds + report.seconds, "total": time.perf_counter() - started}
    return ChipResult(model.grid, model.temperature, report.converged, report.iterations, 0,
                      report.residual_W, report.change_K, report.heat_out_W, report.power_W, timing)


def transient(stack, blocks, trace_watts, interval, dt=None, temperature_dependent=False, start=None,
              progress=None, threads=None, scheme="tr-bdf2", tol=1e-6):
    """Field after each power interval in turn (``trace_watts`` has one row
    of block watts per interval of ``interval`` seconds), by implicit steps:
    one per interval, or as many as keep each at most ``dt`` seconds.
    ``start`` is an initial field on the same grid (default: the ambient)."""
    started = time.perf_counter()
    trace_watts = np.asarray(trace_watts, dtype=np.float64)
    if trace_watts.ndim != 2:
        raise ValueError(f"trace_watts must have one row of block powers per interval, got shape "
                         f"{trace_watts.shape}")
    if not (isinstance(interval, (int, float)) and math.isfinite(interval) and interval > 0):
        raise ValueError(f"interval must be a positive number of seconds, got {interval!r}")
    model = ChipModel(stack, blocks, threads, temperature_dependent)
    if start is not None:
        model.temperature[...] = np.asarray(start, dtype=np.float64)
    count = 1 if dt is None else max(1, math.ceil(interval / dt - 1e-9))
    step = interval / count
    solver = model.build_seconds
    intervals, iterations, converged, report = [], 0, True, None
    for row_index, row in enumerate(trace_watts):
        report = model.step(row, step, steps=count, scheme=scheme, temperature_dependent=temperature_dependent,
                            tol=tol)
        solver += report.seconds
        iterations += report.iterations
        converged &= report.converged
        intervals.append(((row_index + 1) * interval, model.temperature[:, :, model.grid.active].copy()))
        if progress is not None:
            progress(count, report.change_K)
    timing = {"solver": solver, "total": time.perf_counter() - started}
    last = report
    return ChipResult(model.grid, model.temperature, converged, iterations, count * len(trace_watts),
                      last.residual_W if last else 0.0, last.change_K if last else 0.0,
                      model.heat_out(), last.power_W if last else 0.0, timing, intervals, step)


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
    client's ``get_executor()``); by default a thread pool: the engine
    releases the interpreter lock, so whole runs overlap across cores.
    Runs given no ``threads`` of their own use one thread each when several
    run at once."""
    configs = [dict(c) for c in configs]
    for config in configs:
        config.setdefault("threads", 1)
    if executor is not None:
        return [f.result() for f in [executor.submit(run_config, c) for c in configs]]
    with ThreadPoolExecutor(max_workers=max_workers) as pool:
        return list(pool.map(run_config, configs))
