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
    """What one steady solve or batch of steps did."""

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
        return self.status == "ok"


class ChipModel:
    """The conduction model of ``stack`` with floorplan ``blocks``.
    ``temperature`` is the current field (K, shape ``grid.shape``; NaN in
    cells without material); it starts at the ambient. ``threads``: the
    solves' threads (default: every core available)."""

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
        # Conjugate gradients stop at once when a product overflows.
        overflowed = not report.converged and report.iterations == 0
        if overflowed or not np.isfinite(np.nanmax(self.temperature)):
            raise ChipSolveError(f"{what}: the temperatures overflowed: a power of {report.power_W:.3g} W "
                                 f"is too high to represent the rise")
        return report

    def layer_of_cell(self, cell):
        k = int(cell) % self.grid.shape[2]
        for layer, zs in self.grid.layers:
            if zs.start <= k < zs.stop:
                return layer.name if layer is not None else "heat sink"
        return "?"

    def steady(self, watts, tol=1e-6, tol_watts=None, temperature_dependent=False, max_iterations=1000):
        """Steady field for ``watts[i]`` in block i, from the current field.
        Stops when an iteration changes no cell by more than ``tol`` K and
        the cells' heat imbalance adds up to at most ``tol_watts`` W
        (default 1e-9 of the power). With ``temperature_dependent``,
        silicon's k(T) is re-evaluated until it settles."""
        watts = self._watts(watts)
        started = time.perf_counter()
        raw = self.engine.steady(watts, self.temperature, tol_kelvin=tol,
                                 tol_watts=-1.0 if tol_watts is None else tol_watts,
                                 max_iterations=max_iterations, follow_temperature=temperature_dependent,
                                 threads=self.threads)
        return self._finish(raw, started, "steady state")

    def step(self, watts, dt, steps=1, scheme="tr-bdf2", temperature_dependent=False, tol=1e-6,
             max_iterations=1000):
        """Advances the field by ``steps`` implicit steps of ``dt`` seconds
        with ``watts`` held: TR-BDF2 (second order, L-stable) or backward
        Euler ("euler"). Any step length is stable."""
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
        """(peak, mean) per block of ``field`` (default the current one)."""
        return self.engine.block_temperatures(self.temperature if field is None else field)

    def heat_out(self, field=None):
        """Watts leaving through the outer faces."""
        return self.engine.heat_out(self.temperature if field is None else field)
