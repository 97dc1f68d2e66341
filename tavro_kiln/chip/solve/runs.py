"""Chip runs: the steady state of a set of block powers, a transient
through a power trace, and many runs on any executor."""
import math
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np

from tavro_kiln.chip.model.chip_model import ChipModel
from tavro_kiln.chip.solve import leakage as leaky


@dataclass
class ChipResult:
    """What a steady or transient run returns: the final field and how the
    solve went.

    Attributes
    ----------
    grid : ChipGrid
        The model's grid: cell edges, layers, the active layer's z cells
        (``grid.active``) and the cells each block covers (``grid.blocks``).
    temperature : numpy.ndarray
        The final field in K, shape ``grid.shape`` (x, y, z from the die's
        far side up); NaN in cells without material.
    converged : bool
        Whether every solve met its tolerances.
    iterations : int
        Conjugate-gradient iterations over all solves.
    steps : int
        Time steps taken; 0 for a steady state.
    residual_W : float
        Heat imbalance of the cells left by the last solve, W.
    change_K : float
        Largest change of a cell in the last iteration, K.
    heat_out_W : float
        Heat leaving through the outer faces at the end, W: at a steady
        state it equals the power.
    power_W : float
        Heat generated in the blocks, W (the last interval's for a
        transient run).
    timing : dict
        Seconds: ``"solver"`` (in the native engine, building it included)
        and ``"total"``.
    intervals : list of tuple
        Transient runs: ``(end time in s, active-layer field)`` after each
        power interval, the field being ``temperature[:, :, grid.active]``
        at that time. Empty for a steady state.
    time_step : float or None
        Transient runs: the length of each time step in s.
    """

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
    block_watts: np.ndarray | None = None  # W per block the final field was solved for (with leakage: in all)


def steady_state(stack, blocks, watts, tol=1e-6, temperature_dependent=False, progress=None, threads=None,
                 tol_watts=None, leakage=None):
    """Steady temperature field of a chip for one set of block powers.

    Builds a :class:`ChipModel` and solves it from the ambient until an
    iteration changes no cell by more than ``tol`` K and the cells' heat
    imbalance adds up to at most ``tol_watts`` W.

    Parameters
    ----------
    stack : Stack
        Layers, heat sink, ambient and grid settings (:func:`read_stack`).
    blocks : list of Block
        The floorplan (:func:`read_floorplan`).
    watts : array_like
        Power of each block in W, in floorplan order: ``watts[i]`` heats
        ``blocks[i]``.
    tol : float, optional
        Largest change of any cell in the last iteration, K.
    temperature_dependent : bool, optional
        Re-evaluate silicon's conductivity k(T) from the field until it
        settles, instead of taking it at the ambient.
    progress : callable, optional
        Called once, when the solve is done, as
        ``progress(iterations, change_K)``.
    threads : int, optional
        Threads of the solve; default every core available. The result is
        the same whatever the count.
    tol_watts : float, optional
        Largest total heat imbalance of the cells, W; default 1e-9 of the
        power.
    leakage : Leakage, optional
        Temperature-dependent leakage of each block: ``watts`` are then the
        dynamic powers, and the leakage is solved to a fixed point
        (``block_watts`` of the result holds the totals).

    Returns
    -------
    ChipResult
        The field, the solver's figures and the timing.

    Raises
    ------
    ValueError
        ``watts`` has not one finite value per block, or a material other
        than silicon has a temperature-dependent conductivity while
        ``temperature_dependent`` is set. A block outside the die raises
        :class:`ChipInputError`, a ``ValueError``.
    ChipSolveError
        The heat has no way out, silicon's conductivity model is driven
        past where it is physical, or the rise is too large to represent.
    MemoryError
        The grid would not fit in the memory available.

    See Also
    --------
    ChipModel.steady : the same solve on a model built once.
    """
    started = time.perf_counter()
    model = ChipModel(stack, blocks, threads, temperature_dependent)
    options = dict(tol=tol, tol_watts=tol_watts, temperature_dependent=temperature_dependent)
    if leaky.check(leakage, blocks) is None:
        report = model.steady(watts, **options)
        final = np.asarray(watts, dtype=np.float64)
    else:
        report, final, _ = leaky.steady(model, watts, leakage, **options)
    if progress is not None:
        progress(report.iterations, report.change_K)
    timing = {"solver": model.build_seconds + report.seconds, "total": time.perf_counter() - started}
    return ChipResult(model.grid, model.temperature, report.converged, report.iterations, 0,
                      report.residual_W, report.change_K, report.heat_out_W, report.power_W, timing,
                      block_watts=final)


def transient(stack, blocks, trace_watts, interval, dt=None, temperature_dependent=False, start=None,
              progress=None, threads=None, scheme="tr-bdf2", tol=1e-6, leakage=None):
    """Temperatures through a power trace, by implicit time steps.

    Each row of ``trace_watts`` is held for ``interval`` seconds, in one
    step or in as many equal steps as keep each at most ``dt`` seconds.
    The steps are implicit, so any length is stable: ``dt`` only sets the
    accuracy.

    Parameters
    ----------
    stack : Stack
        Layers, heat sink, ambient and grid settings (:func:`read_stack`).
    blocks : list of Block
        The floorplan (:func:`read_floorplan`).
    trace_watts : array_like
        Shape (intervals, blocks): W per block in floorplan order for each
        interval, e.g. ``watts_by_block(read_power_trace(...), blocks)``.
    interval : float
        Length of each interval (one row of the trace), s.
    dt : float, optional
        Longest time step, s; default one step per interval.
    temperature_dependent : bool, optional
        Silicon's conductivity k(T) is taken from the field at the start
        of each step instead of at the ambient.
    start : array_like, optional
        Initial field of shape ``grid.shape`` in K, e.g. the ``temperature``
        of a :func:`steady_state` result; default the ambient everywhere.
    progress : callable, optional
        Called after each interval as ``progress(steps, change_K)``.
    threads : int, optional
        Threads of the solves; default every core available.
    scheme : {"tr-bdf2", "euler"}, optional
        TR-BDF2 (second order and L-stable) or backward Euler.
    tol : float, optional
        Largest change of any cell in the last iteration of each solve, K.
    leakage : Leakage, optional
        Temperature-dependent leakage of each block: the rows are then the
        dynamic powers, and each step's leakage is solved to a fixed point
        at its end.

    Returns
    -------
    ChipResult
        ``temperature`` is the field at the end of the trace, ``intervals``
        holds ``(end time, active-layer field)`` after each interval,
        ``steps`` and ``time_step`` say how it was stepped.

    Raises
    ------
    ValueError
        ``trace_watts`` is not two-dimensional or a row has not one finite
        value per block, ``interval`` is not a positive number, or
        ``scheme`` is unknown.
    ChipSolveError
        As for :func:`steady_state`.

    See Also
    --------
    ChipModel.step : one step at a time, e.g. under a controller.
    """
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
    leaky.check(leakage, blocks)
    for row_index, row in enumerate(trace_watts):
        options = dict(scheme=scheme, temperature_dependent=temperature_dependent, tol=tol)
        if leakage is None:
            report = model.step(row, step, steps=count, **options)
            final = row
        else:
            report, final, _ = leaky.step(model, row, leakage, step, steps=count, **options)
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
                      model.heat_out(), last.power_W if last else 0.0, timing, intervals, step,
                      np.asarray(final, dtype=np.float64) if last else None)


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
    """Many runs at once: the result of each configuration, in order.

    Each configuration is a dict of the keyword arguments of
    :func:`steady_state` or :func:`transient`, with ``"kind"`` saying which
    (``"steady"``, the default, or ``"transient"``). Runs given no
    ``threads`` of their own use one thread each when several run at once,
    so that the runs, rather than the threads of one solve, share the
    cores.

    Parameters
    ----------
    configs : iterable of dict
        One dict per run, e.g. ``{"stack": stack, "blocks": blocks,
        "watts": watts}`` or ``{"kind": "transient", "stack": stack,
        "blocks": blocks, "trace_watts": trace, "interval": 1e-3}``.
    executor : concurrent.futures.Executor, optional
        Any ``concurrent.futures`` executor: a ``ProcessPoolExecutor``, or a
        Dask client's ``get_executor()``. Configurations and results then
        travel by pickle, which stacks, blocks, arrays and results support.
        Default: a thread pool. The engine releases the interpreter lock,
        so whole runs overlap across cores.
    max_workers : int, optional
        Threads of the default pool (ignored when ``executor`` is given);
        default as ``ThreadPoolExecutor`` chooses.

    Returns
    -------
    list of ChipResult
        In the order of ``configs``.

    Raises
    ------
    Exception
        What the first failing run raised, in the order of ``configs``;
        ``ValueError`` for an unknown ``kind``.
    """
    configs = [dict(c) for c in configs]
    for config in configs:
        config.setdefault("threads", 1)
    if executor is not None:
        return [f.result() for f in [executor.submit(run_config, c) for c in configs]]
    with ThreadPoolExecutor(max_workers=max_workers) as pool:
        return list(pool.map(run_config, configs))
