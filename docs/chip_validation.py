"""Regenerates the figures and numbers of docs/chip_validation.md:
python docs/chip_validation.py (needs the chip extra)."""
import dataclasses
import os
import time

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from tavro_kiln.chip import read_floorplan, read_power_trace, read_stack, steady_state, validation, watts_by_block
from tavro_kiln.chip.cli import example_path
from tavro_kiln.chip.steady import relax

HERE = os.path.dirname(os.path.abspath(__file__))


def figure(size):
    f = Figure(figsize=size, dpi=100)
    FigureCanvasAgg(f)
    return f


def interface_figure():
    model, exact = validation.two_layer_column()
    dz = model.spacing[2]
    plain = validation.solver_alone(model)
    corrected = relax(model, tol=1e-12).temperature
    z = (np.arange(1, model.shape[2] - 1) - 0.5) * dz * 1e6
    f = figure((6.4, 4.2))
    axes = f.add_subplot()
    axes.plot(z, exact, "k-", label="series resistance (analytic)")
    axes.plot(z, plain, "s", mfc="none", label="tcad_solve_3d alone")
    axes.plot(z, corrected[1, 1, 1:-1], "o", ms=4, label="with the face correction")
    axes.axvline(10 * dz * 1e6, color="grey", lw=0.5)
    axes.set_xlabel("z (um): silicon, k = 148 | k = 5")
    axes.set_ylabel("temperature (K)")
    axes.legend()
    f.savefig(os.path.join(HERE, "chip_validation_interface.png"), bbox_inches="tight")
    return (float(np.abs(plain - exact).max()),
            float(np.abs(corrected[1, 1, 1:-1] - exact).max()))


def convergence_figure(sizes=(9, 17, 33, 65)):
    rows = [(n, *validation.sine_mode_error(n)) for n in sizes]
    h = np.array([1e-3 / (n - 1) for n in sizes])
    error = np.array([r[1] for r in rows])
    f = figure((5.6, 4.2))
    axes = f.add_subplot()
    axes.loglog(h * 1e6, error, "o-", label="explicit run, 0.9 x stability limit")
    axes.loglog(h * 1e6, error[0] * (h / h[0]) ** 2, "k--", lw=0.8, label="slope 2")
    axes.set_xlabel("cell size h (um)")
    axes.set_ylabel("largest error (K) at half amplitude")
    axes.legend()
    f.savefig(os.path.join(HERE, "chip_validation_convergence.png"), bbox_inches="tight")
    orders = np.log2(error[:-1] / error[1:])
    return rows, orders


def spreader_cycles(cells=(None, 7, 4)):
    """Cycles to the example's steady state with its spreader at 13 (one dz
    a cell), 7 and 4 cells."""
    stack = read_stack(example_path("stack.toml"))
    blocks = read_floorplan(example_path("quad_core.flp"))
    watts = watts_by_block(read_power_trace(example_path("quad_core.ptrace"), [b.name for b in blocks]),
                           blocks).mean(axis=0)
    rows = []
    for count in cells:
        layers = [dataclasses.replace(layer, cells=count) if layer.name == "spreader" else layer
                  for layer in stack.layers]
        run = steady_state(dataclasses.replace(stack, layers=layers), blocks, watts)
        spreader = next(zs for layer, zs, _ in run.grid.layers if layer.name == "spreader")
        rows.append((spreader.stop - spreader.start, run.cycles, run.converged))
    return rows


def main():
    slab_error, slab_rise = validation.heated_slab_error(n=17)
    print(f"heated slab 17^3: rise {slab_rise:.1f} K, largest error {slab_error:.2e} K")
    plain, corrected = interface_figure()
    print(f"two-layer column: solver alone {plain:.3f} K off, corrected {corrected:.2e} K off")
    rows, orders = convergence_figure()
    for (n, err, steps, dt), order in zip(rows, list(orders) + [None]):
        tail = f", order to next {order:.3f}" if order is not None else ""
        print(f"sine mode n={n}: error {err:.4e} K, {steps} steps of {dt:.3e} s{tail}")
    for k_pad in (0.0, 1e-4, 1e-3, 1e-2, 0.026):
        difference, leak, one_d = validation.padding_errors(k_pad)
        print(f"padding k={k_pad:g}: {difference:.4f} K from perfect insulation, leak "
              f"{100 * leak:.3f}% of the power; perfect insulation vs 1-D answer {one_d:.4f} K")
    for count, cycles, converged in spreader_cycles():
        print(f"example with the spreader at {count} cells: {cycles} cycles, converged {converged}")
    for chunk in (1, 2, 5, 20, 100):
        started = time.perf_counter()
        error, rise, steps = validation.transient_lag_error(chunk)
        print(f"transient lag chunk={chunk}: {error:.4f} K off the per-step scheme "
              f"(rise {rise:.3f} K, {steps} steps, {time.perf_counter() - started:.2f} s)")


if __name__ == "__main__":
    main()
