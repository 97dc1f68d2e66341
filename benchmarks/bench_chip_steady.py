"""Chip workflow timings, each against a baseline measured in the same run:

1. the shipped example's steady state as `python -m tavro_kiln chip
   --example` runs it: the time inside tcad_solve_3d against the layer's
   own (grid, chunks and mixing, outputs), first run and repeated;
2. a 256 x 256 x 32 active layer on the example's package to steady
   state on one core: time, steps, and the same steps as bare
   tcad_solve_3d calls (the floor any driver of the solver has). The
   1 mm copper spreader gets 32 cells (each standing for 3.3 dz): at
   about one dz a cell it would take 107 and double the grid.

Usage: python benchmarks/bench_chip_steady.py [--skip-large | --large-only]
"""
import dataclasses
import os
import platform
import sys
import tempfile
import time

import numpy as np

from tavro_kiln.chip import outputs
from tavro_kiln.chip.cli import example_path
from tavro_kiln.chip.conduction import heat_into_held
from tavro_kiln.chip.floorplan import read_floorplan, read_power_trace, watts_by_block
from tavro_kiln.chip.progress import Progress
from tavro_kiln.chip.simulate import steady_state
from tavro_kiln.chip.stack import read_stack
from tavro_kiln.core import tcad_solve_3d


def cpu():
    model, flags = platform.processor() or "?", set()
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                if line.startswith("model name") and model in ("?", ""):
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return f"{model}; avx2 {'yes' if 'avx2' in flags else 'no'}, avx512f {'yes' if 'avx512f' in flags else 'no'}"


def example_inputs():
    stack = read_stack(example_path("stack.toml"))
    blocks = read_floorplan(example_path("quad_core.flp"))
    trace = read_power_trace(example_path("quad_core.ptrace"), [b.name for b in blocks])
    return stack, blocks, watts_by_block(trace, blocks).mean(axis=0)


def example_split(label):
    started = time.perf_counter()
    stack, blocks, watts = example_inputs()
    result = steady_state(stack, blocks, watts)
    simulated = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        outputs.write_all(result, watts, folder, stack.ambient, 1.0)
    done = time.perf_counter()
    total, solver = done - started, result.timing["solver"]
    print(f"example, {label}: {total:.3f} s in all = solver {solver:.3f} s ({100 * solver / total:.0f}%)"
          f" + grid, chunks and mixing {simulated - started - solver:.3f} s"
          f" + outputs {done - simulated:.3f} s; {result.steps} steps, levels {result.levels}")


def large_case():
    stack, blocks, watts = example_inputs()
    layers = [dataclasses.replace(layer, cells=32) if layer.name in ("die", "spreader") else layer
              for layer in stack.layers]
    stack = dataclasses.replace(stack, layers=layers, nx=256, ny=256)
    started = time.perf_counter()
    result = steady_state(stack, blocks, watts, progress=Progress("256x256x32", stream=sys.stdout))
    elapsed = time.perf_counter() - started
    m = result.grid.model
    out = heat_into_held(m, result.temperature).sum() * np.prod(m.spacing)
    fine_steps = result.levels[-1][-1]
    print(f"256x256x32 active layer + package, grid {m.shape}: {elapsed:.1f} s, solver "
          f"{result.timing['solver']:.1f} s, {result.steps} steps (levels {result.levels}), "
          f"converged {result.converged}, heat out / in {out / watts.sum():.6f}, "
          f"peak {result.temperature.max():.3f} K")
    # Baseline: the finest level's steps as bare solver calls of 20 steps each.
    T = m.temperature.copy()
    bc = m.held.astype(np.int32)
    k = np.full(m.shape, 148.0)
    cp = np.full(m.shape, 710.0)
    chunk = 20
    started = time.perf_counter()
    for _ in range(max(1, fine_steps // chunk)):
        T, _ = tcad_solve_3d(T, m.power / 1.6e6, bc, k, cp, *m.spacing, dt=1e-9, iterations=chunk)
    bare = time.perf_counter() - started
    print(f"  baseline: the finest level's {fine_steps} steps as bare tcad_solve_3d calls "
          f"({chunk} a call): {bare:.1f} s -> the whole run is {elapsed / bare:.2f}x that")


def main():
    print(f"CPU: {cpu()}; Python {sys.version.split()[0]}; one process, solver single-threaded")
    if "--large-only" not in sys.argv:
        example_split("first run")
        example_split("repeated")
    if "--skip-large" not in sys.argv:
        large_case()


if __name__ == "__main__":
    main()
