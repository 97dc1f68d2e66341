"""ChipModel: a chip's conduction model built once (grid, materials,
boundary conditions and the solver's hierarchy, in the native engine),
then solved or stepped as often as needed with different block powers.

    model = ChipModel(stack, blocks)
    model.steady(watts)                    # field in model.temperature
    for row in trace:                      # or step by step, e.g. under a controller
        model.step(row, dt=1e-3)
        peak, mean = model.block_temperatures()
"""
import os
import time
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip._conduction import Engine
from tavro_kiln.chip.errors import ChipSolveError
from tavro_kiln.chip.model.chip_grid import build_grid

SCHEMES = ("tr-bdf2", "euler")


def default_threads():
    """Every core this process may run on: the solves are memory-bound
    loops that scale with the cores' share of memory bandwidth, and results
    do not depend on the count."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


@dataclass
class SolveReport:
    """What one steady solve or batch of steps did.

    Attributes
    ----------
    status : str
        ``"ok"``, or what went wrong (``"not converged"`` when a solve ran
        out of iterations; the other failures raise :class:`ChipSolveError`).
    iterations : int
        Conjugate-gradient iterations over all solves.
    solves : int
        Linear solves: k(T) rounds, TR-BDF2 stages.
    residual_W : float
        Sum of the cells' absolute heat imbalances after the last solve, W.
    change_K : float
        Largest change of a cell made by the last iteration, K.
    power_W : float
        Heat generated in the blocks, W.
    heat_out_W : float
        Heat leaving through the outer faces, W.
    seconds : float
        Time spent in the engine.
    """

    status: str  # "ok" or what went wrong
    iterations: int  # conjugate-gradient iterations, all solves
    solves: int  # linear solves (k(T) rounds, TR-BDF2 stages)
    residual_W: float  # sum of |heat imbalance| over the cells after the last solve
    change_K: float  # largest change made by the last iteration
    power_W: float  # heat generated
    heat_out_W: float  # heat leaving through the outer faces
    seconds: float  # in the engine

    @property
    def converged(self):
        """Whether the solve met its tolerances (``status == "ok"``)."""
        return self.status == "ok"


class ChipModel:
    """The conduction model of ``stack`` with floorplan ``blocks``, built
    once and solved or stepped as often as needed.

    Building it derives the grid and builds the native engine: materials,
    boundary conditions and the solver's hierarchy. Each :meth:`steady` or
    :meth:`step` afterwards costs only its solves, which suits a loop
    coupled to another simulator.

    Parameters
    ----------
    stack : Stack
        Layers, heat sink, ambient and grid settings.
    blocks : list of Block
        The floorplan; powers are given in its order.
    threads : int, optional
        Threads of each solve; default every core this process may run on.
        Results are the same whatever the count.
    temperature_dependent : bool, optional
        Refuse, when building, materials other than silicon whose
        conductivity is a function of temperature: only silicon's model can
        follow the field. The solves follow it when their own
        ``temperature_dependent`` is set.

    Attributes
    ----------
    grid : ChipGrid
        The grid the model was built on.
    temperature : numpy.ndarray
        The current field in K, shape ``grid.shape``; NaN in cells without
        material. It starts at the ambient; :meth:`steady` and :meth:`step`
        update it in place, and a caller may set it
        (``model.temperature[...] = field``).
    time : float
        Seconds advanced by :meth:`step` so far.
    threads : int
        Threads of each solve.
    build_seconds : float
        Time spent building the engine.

    Raises
    ------
    ValueError
        A material other than silicon has a temperature-dependent
        conductivity while ``temperature_dependent`` is set; a block lies
        outside the die (:class:`ChipInputError`).
    MemoryError
        The grid would not fit in the memory available.

    Examples
    --------
    >>> model = ChipModel(stack, blocks)
    >>> for row in watts:                      # one row of block powers per 1 ms
    ...     model.step(row, dt=1e-3)
    ...     peak, mean = model.block_temperatures()
    """

    def __init__(self, stack, blocks, threads=None, temperature_dependent=False):
        self.grid = build_grid(stack, blocks, temperature_dependent)
        self.threads = default_threads() if threads is None else max(1, int(threads))
        g = self.grid
        cell, block, weight = g.sources()
        started = time.perf_counter()
        self.engine = Engine(g.x_edges, g.y_edges, g.z_edges, g.material, g.table, g.silicon, g.faces,
                             cell, block, weight, len(g.blocks))
        self.build_seconds = time.perf_counter() - started
        self.temperature = np.full(g.shape, float(g.ambient))
        self.time = 0.0  # s since the start of the steps

    def _watts(self, watts):
        watts = np.asarray(watts, dtype=np.float64)
        if watts.shape != (len(self.grid.blocks),):
            raise ValueError(f"{watts.size if watts.ndim == 1 else watts.shape} powers for "
                             f"{len(self.grid.blocks)} blocks")
        if not np.isfinite(watts).all():
            raise ValueError("block powers must be finite")
        return watts

    def _finish(self, raw, started, what):
        report = SolveReport(raw["status"], raw["iterations"], raw["solves"], raw["residual_W"],
                             raw["change_K"], raw["power_W"], raw["heat_out_W"],
                             time.perf_counter() - started)
        if raw["status"] == "nonphysical conductivity":
            layer = self.layer_of_cell(raw["bad_cell"])
            raise ChipSolveError(f"{what}: silicon's conductivity model is not physical at "
                                 f"{raw['bad_temperature_K']:.1f} K in layer {layer!r} (it reaches zero "
                                 f"at 2300 K): the power is far too high for this package")
        if raw["status"] in ("no heat path to an ambient", "invalid model", "out of memory"):
            raise ChipSolveError(f"{what}: {raw['status']}")
        if raw["status"] == "overflow" or not np.isfinite(np.nanmax(self.temperature)):
            raise ChipSolveError(f"{what}: the temperatures overflowed: a power of {report.power_W:.3g} W "
                                 f"is too high to represent the rise")
        return report

    def layer_of_cell(self, cell):
        """Name of the layer that holds flat cell index ``cell``;
        ``"heat sink"`` for a sink's lumped layer."""
        k = int(cell) % self.grid.shape[2]
        for layer, zs in self.grid.layers:
            if zs.start <= k < zs.stop:
                return layer.name if layer is not None else "heat sink"
        return "?"

    def steady(self, watts, tol=1e-6, tol_watts=None, temperature_dependent=False, max_iterations=1000):
        """Solves for the steady field with ``watts[i]`` in block i,
        starting from the current field, and leaves it in
        :attr:`temperature`.

        Parameters
        ----------
        watts : array_like
            W per block, in floorplan order.
        tol : float, optional
            Largest change of any cell in the last iteration, K.
        tol_watts : float, optional
            Largest total heat imbalance of the cells, W; default 1e-9 of
            the power.
        temperature_dependent : bool, optional
            Re-evaluate silicon's k(T) from the field until it settles.
        max_iterations : int, optional
            Conjugate-gradient iterations allowed per solve.

        Returns
        -------
        SolveReport
            Whether it converged, its iterations, imbalance, power, heat out
            and time.

        Raises
        ------
        ValueError
            ``watts`` has not one finite value per block.
        ChipSolveError
            The heat has no way out, silicon's conductivity model is driven
            past where it is physical, or the rise is too large to
            represent.
        """
        watts = self._watts(watts)
        started = time.perf_counter()
        raw = self.engine.steady(watts, self.temperature, tol_kelvin=tol,
                                 tol_watts=-1.0 if tol_watts is None else tol_watts,
                                 max_iterations=max_iterations, follow_temperature=temperature_dependent,
                                 threads=self.threads)
        return self._finish(raw, started, "steady state")

    def step(self, watts, dt, steps=1, scheme="tr-bdf2", temperature_dependent=False, tol=1e-6,
             max_iterations=1000):
        """Advances :attr:`temperature` by ``steps`` implicit time steps of
        ``dt`` seconds with ``watts`` held, and :attr:`time` with it.

        Any step length is stable, so ``dt`` can be the coupling interval
        of another simulator; shorter steps only add accuracy.

        Parameters
        ----------
        watts : array_like
            W per block, in floorplan order, held through the steps.
        dt : float
            Length of each step, s.
        steps : int, optional
            Number of steps.
        scheme : {"tr-bdf2", "euler"}, optional
            TR-BDF2 (second order and L-stable) or backward Euler.
        temperature_dependent : bool, optional
            Take silicon's k(T) from the field at the start of each step.
        tol : float, optional
            Largest change of any cell in the last iteration of each
            solve, K.
        max_iterations : int, optional
            Conjugate-gradient iterations allowed per solve.

        Returns
        -------
        SolveReport
            Of the steps together.

        Raises
        ------
        ValueError
            ``scheme`` is unknown, ``dt`` is not a positive number of
            seconds, or ``watts`` has not one finite value per block.
        ChipSolveError
            As for :meth:`steady`.
        """
        if scheme not in SCHEMES:
            raise ValueError(f"scheme must be one of {SCHEMES}, got {scheme!r}")
        if not (isinstance(dt, (int, float, np.floating)) and np.isfinite(dt) and dt > 0):
            raise ValueError(f"time step must be a positive number of seconds, got {dt!r}")
        watts = self._watts(watts)
        started = time.perf_counter()
        raw = self.engine.step(watts, self.temperature, float(dt), steps=int(steps), scheme=scheme,
                               tol_kelvin=tol, max_iterations=max_iterations,
                               follow_temperature=temperature_dependent, threads=self.threads)
        self.time += dt * steps
        return self._finish(raw, started, "time step")

    def block_temperatures(self, field=None):
        """Peak and mean temperature of each block in the active layer.

        Cheap enough to call after every step.

        Parameters
        ----------
        field : numpy.ndarray, optional
            A field of shape ``grid.shape``; default :attr:`temperature`.

        Returns
        -------
        peak, mean : numpy.ndarray
            K per block, in floorplan order: the hottest cell a block
            covers, and the mean over its cells weighted by how much of
            each it covers.
        """
        return self.engine.block_temperatures(self.temperature if field is None else field)

    def heat_out(self, field=None):
        """Heat leaving through the outer faces, W, for ``field`` (default
        :attr:`temperature`): at a steady state it equals the power."""
        return self.engine.heat_out(self.temperature if field is None else field)
