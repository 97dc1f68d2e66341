"""Chip workflow timings, each against a baseline measured in the same run:

1. the shipped example's steady state as `python -m tavro_kiln chip
   --example` runs it: the time inside tcad_solve_3d against the layer's
   own (grids and cycles, outputs), first run and repeated, against the
   single-grid relaxation the workflow used before the multigrid (chunks
   of solver steps, column sweeps, Anderson mixing) on the same grid;
2. a 256 x 256 x 32 active layer on the example's package to steady
   state on one core (target: under a minute): time, steps per grid,
   heat out / power in, first run and repeated, against the time of one
   bare tcad_solve_3d step on the same grid. The 1 mm copper spreader gets
   32 cells (each standing for 3.3 dz): at about one dz a cell it would
   take 107 and double the grid;
3. four 128 x 128 configurations (the example's powers scaled) through
   run_many on a thread pool and on a process pool of as many workers as
   there are cores, against the same runs one after another.

Both report the largest difference from a run to a 10,000 times tighter
tolerance. Usage: python benchmarks/bench_chip_steady.py [--skip-large | --large-only] [--skip-many]
"""
import dataclasses
import os
import platform
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from tavro_kiln.chip.cli import example_path
from tavro_kiln.chip.grid import build_grid
from tavro_kiln.chip.inputs.floorplan import read_floorplan, read_power_trace, watts_by_block
from tavro_kiln.chip.inputs.stack import read_stack
from tavro_kiln.chip.outputs import write
from tavro_kiln.chip.simulate import run_config, run_many, steady_state
from tavro_kiln.chip.steady import relax
from tavro_kiln.core import tcad_solve_3d

LAYER_SHARE_TARGET = 0.10  # the layer's own time, at most this share of the example's run
LARGE_TARGET = 60.0  # seconds for the 256 x 256 x 32 case


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


def load():
    try:
        return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "load average unknown"


def example_inputs():
    stack = read_stack(example_path("stack.toml"))
    blocks = read_floorplan(example_path("quad_core.flp"))
    trace = read_power_trace(example_path("quad_core.ptrace"), [b.name for b in blocks])
    return stack, blocks, watts_by_block(trace, blocks).mean(axis=0)


def heat_balance(result, watts):
    return write.heat_out(result) / float(np.sum(watts))


def example_split(label):
    started = time.perf_counter()
    stack, blocks, watts = example_inputs()
    result = steady_state(stack, blocks, watts)
    simulated = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        write.write_all(result, watts, folder, stack.ambient, 1.0)
    done = time.perf_counter()
    total, solver = done - started, result.timing["solver"]
    layer = total - solver
    print(f"example, {label}: {total:.3f} s in all = solver {solver:.3f} s + layer {layer:.3f} s "
          f"(grids and cycles {simulated - started - solver:.3f} s, outputs {done - simulated:.3f} s); "
          f"layer share {100 * layer / total:.0f}% (target {100 * LAYER_SHARE_TARGET:.0f}%); "
          f"without outputs {100 * (simulated - started - solver) / (simulated - started):.0f}%; "
          f"{result.steps} steps, {result.cycles} cycles")
    return result


def example(repeats=3):
    first = example_split("first run")
    for _ in range(repeats):
        example_split("repeated")
    stack, blocks, watts = example_inputs()
    tight = steady_state(stack, blocks, watts, tol=1e-10)
    print(f"  heat out / in = 1 {heat_balance(first, watts) - 1:+.1e}; largest difference from a run at tol 1e-10: "
          f"{np.abs(first.temperature - tight.temperature).max():.1e} K")
    # Baseline: the single-grid relaxation on the example's grid from the ambient.
    model = build_grid(stack, blocks, watts).model
    started = time.perf_counter()
    run = relax(model, tol=1e-6)
    single = time.perf_counter() - started
    multigrid = min(steady_state(stack, blocks, watts).timing["total"] for _ in range(repeats))
    print(f"  baseline: single-grid relaxation (chunks of 20 steps, column sweeps, Anderson mixing) "
          f"{single:.3f} s, {run.steps} steps, solver {run.solver_seconds:.3f} s; the multigrid's "
          f"{multigrid:.3f} s (best of {repeats}) is {single / multigrid:.1f}x faster")


def scaled_stack(cells_across, cells_deep):
    stack, blocks, watts = example_inputs()
    layers = [dataclasses.replace(layer, cells=cells_deep) if layer.name in ("die", "spreader")
              else layer for layer in stack.layers]
    return dataclasses.replace(stack, layers=layers, nx=cells_across, ny=cells_across), blocks, watts


def large_stack():
    return scaled_stack(256, 32)


def large_case():
    stack, blocks, watts = large_stack()
    for label in ("first run", "repeated"):
        started = time.perf_counter()
        result = steady_state(stack, blocks, watts)
        elapsed = time.perf_counter() - started
        m = result.grid.model
        print(f"256x256x32 active layer + package, {label}, grid {m.shape} ({m.temperature.size:,} cells): "
              f"{elapsed:.1f} s (target {LARGE_TARGET:.0f} s), solver {result.timing['solver']:.1f} s, "
              f"{result.cycles} cycles, {result.steps} steps (per grid, coarse to fine: "
              f"{[level[-1] for level in result.levels]}), converged {result.converged}, "
              f"heat out / in = 1 {heat_balance(result, watts) - 1:+.1e}, peak {result.temperature.max():.3f} K")
    tight = steady_state(stack, blocks, watts, tol=1e-10)
    print(f"  largest difference from a run at tol 1e-10: "
          f"{np.abs(result.temperature - tight.temperature).max():.1e} K")
    # Baseline: bare solver steps on the same grid (20 a call, per-cell source).
    T, Q = m.temperature.copy(), m.power / 1.6e6
    chunk, calls = 20, 3
    started = time.perf_counter()
    for _ in range(calls):
        T, _ = tcad_solve_3d(T, Q, None, 148.0, 710.0, *m.spacing, dt=1e-9, iterations=chunk)
    step = (time.perf_counter() - started) / (calls * chunk)
    print(f"  baseline: a bare tcad_solve_3d step on this grid takes {1e3 * step:.1f} ms; the run "
          f"costs as much as {elapsed / step:,.0f} of them")


def many_runs():
    stack, blocks, watts = scaled_stack(128, 16)
    configs = [{"stack": stack, "blocks": blocks, "watts": watts * scale} for scale in (0.8, 0.9, 1.0, 1.1)]
    workers = os.cpu_count() or 1
    run_config(configs[0])  # imports and first-touch costs out of the way
    started = time.perf_counter()
    for config in configs:
        run_config(config)
    serial = time.perf_counter() - started
    started = time.perf_counter()
    run_many(configs, max_workers=workers)
    threads = time.perf_counter() - started
    with ProcessPoolExecutor(workers) as pool:
        pool.submit(int).result()  # start the workers before the clock does
        started = time.perf_counter()
        run_many(configs, executor=pool)
        processes = time.perf_counter() - started
    print(f"4 runs at 128x128x16, {workers} workers: one after another {serial:.2f} s; thread pool "
          f"{threads:.2f} s ({serial / threads:.2f}x); process pool {processes:.2f} s "
          f"({serial / processes:.2f}x)")


def main():
    print(f"CPU: {cpu()}; Python {sys.version.split()[0]}; one process, solver single-threaded; {load()}")
    if "--large-only" not in sys.argv:
        example()
    if "--skip-large" not in sys.argv:
        large_case()
    if "--skip-many" not in sys.argv:
        many_runs()
    print(load())


if __name__ == "__main__":
    main()
