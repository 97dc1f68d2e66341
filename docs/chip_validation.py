"""Regenerates the numbers of docs/chip_validation.md on this machine:
python docs/chip_validation.py (needs the test extra for SciPy)."""
import math
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from test_chip_physics import one_block_stack, random_model, sine_mode_error  # noqa: E402
from test_chip_package import EV6, block_rises, ev6_inputs, two_die_stack  # noqa: E402
from conduction_reference import direct_steady  # noqa: E402
from spreading_reference import source_resistance  # noqa: E402
from tavro_kiln.chip import Block, Layer, Material, Stack, steady_state  # noqa: E402
from tavro_kiln.chip.inputs.package_config import read_package_config  # noqa: E402
from tavro_kiln.chip.outputs.report import block_temperatures  # noqa: E402
from tavro_kiln.core import thermal_conductivity  # noqa: E402


def thin_layers():
    print("| active layer | peak (K) | 1-D answer at the bottom face (K) | heat out / in - 1 |")
    print("|---|---|---|---|")
    k, area = thermal_conductivity(300.0), 1e-4
    for thickness in (300e-6, 2e-6, 1e-6, 0.5e-6):
        stack, blocks = one_block_stack(thickness)
        run = steady_state(stack, blocks, [1.0], tol=1e-12, tol_watts=1e-12)
        exact = 300.0 + 10.0 + 1e-3 / (400.0 * area) + thickness / (2 * k * area)
        print(f"| {thickness * 1e6:g} um | {run.temperature.max():.6f} | {exact:.6f} | "
              f"{run.heat_out_W - 1.0:+.1e} |")


def oracle():
    worst = 0.0
    for seed in range(20):
        engine, shape, material, A, boundary, _, (cells, blocks, weights) = random_model(seed)
        watts = np.array([2.0, 0.5, 7.0])
        power = np.zeros(A.shape[0])
        np.add.at(power, cells, weights * watts[blocks])
        T = np.full(shape, np.nan)
        engine.steady(watts, T, tol_kelvin=1e-12, tol_watts=1e-13)
        exact = direct_steady(A, boundary, power)
        present = material.ravel() != 0xFFFF
        worst = max(worst, np.abs(T.ravel()[present] - exact[present]).max() / np.abs(exact).max())
    print(f"20 random models against SciPy's direct solve: largest relative difference {worst:.1e}")


def sine_mode():
    print("| steps | TR-BDF2 error (K) | ratio | backward Euler error (K) | ratio |")
    print("|---|---|---|---|---|")
    previous = None
    for steps in (4, 8, 16, 32):
        tr, be = sine_mode_error(400, steps), sine_mode_error(400, steps, "euler")
        ratios = ("", "") if previous is None else (f"{previous[0] / tr:.2f}", f"{previous[1] / be:.2f}")
        print(f"| {steps} | {tr:.3e} | {ratios[0]} | {be:.3e} | {ratios[1]} |")
        previous = (tr, be)
    print()
    print("| cells | error (K) | ratio |")
    print("|---|---|---|")
    previous = None
    for cells in (10, 20, 40):
        error = sine_mode_error(cells, 400)
        print(f"| {cells} | {error:.3e} | {'' if previous is None else f'{previous / error:.2f}'} |")
        previous = error


def ev6():
    blocks, watts, reference = ev6_inputs()
    order = [reference["names"].index(b.name) for b in blocks]
    print("| package | grid | iterations | mean rise error | worst (block) |")
    print("|---|---|---|---|---|")
    for config, key in (("ev6-diesized.config", "diesized_extrapolated"), ("ev6.config", "default_uncut")):
        stack = read_package_config(os.path.join(EV6, config))
        run = steady_state(stack, blocks, watts)
        expected = np.array(reference[key]["K"])[order] - stack.ambient
        error = (block_rises(run, blocks, stack.ambient) - expected) / expected
        worst = int(np.argmax(np.abs(error)))
        print(f"| {config} vs {key} | {'x'.join(map(str, run.grid.shape))} | {run.iterations} | "
              f"{100 * np.abs(error).mean():.2f} % | {100 * error[worst]:+.2f} % ({blocks[worst].name}) |")


def spreading():
    c, t, k, h = 30e-3, 2e-3, 400.0, 2000.0
    print("| source / plate | series (K/W) | 16 cells | 32 cells |")
    print("|---|---|---|---|")
    for ratio in (0.1, 0.2, 0.4, 0.6, 0.8, 1.0):
        a = ratio * c
        exact = source_resistance(a, c, t, k, h)
        cells = []
        for n in (16, 32):
            stack = Stack(layers=[Layer("source", "plate", 1e-6, 1, True),
                                  Layer("plate", "plate", t, 8, width=c, height=c)],
                          ambient=300.0, sink_conductance=h, nx=n, ny=n)
            stack.materials["plate"] = Material("plate", k, 1.0, 1.0)
            run = steady_state(stack, [Block("source", a, a, 0.0, 0.0)], [1.0], tol=1e-10)
            rise = block_temperatures(run.grid, run.temperature[:, :, run.grid.active])[0][1] - 300.0
            cells.append(f"{rise:.5f} ({100 * (rise / exact - 1):+.2f} %)")
        print(f"| {ratio:g} | {exact:.5f} | {cells[0]} | {cells[1]} |")


def two_dies():
    stack = two_die_stack()
    run = steady_state(stack, stack.power_blocks(), [3.0, 2.0], tol=1e-10)
    area, top_face = 1e-4, 300.0 + 5.0 / (1000.0 * 1e-4)
    top = top_face + (3.0 * 50e-6 / 2 + 2.0 * 50e-6 / 3) / (100.0 * area)
    bottom = (top_face + (3.0 + 1.0) * 50e-6 / (100.0 * area) + 3.0 * 20e-6 / (0.5 * area)
              + 3.0 * 50e-6 / 3 / (100.0 * area))
    means = [mean for _, mean in block_temperatures(run.grid, run.temperature[:, :, run.grid.active])]
    for name, got, exact in zip(("bottom die", "top die"), means, (bottom, top)):
        print(f"| {name} | {got:.5f} | {exact:.5f} | {100 * (got - exact) / (exact - 300.0):+.4f} % |")


if __name__ == "__main__":
    two_dies()
    print()
    ev6()
    print()
    spreading()
    print()
    thin_layers()
    print()
    oracle()
    print()
    sine_mode()
