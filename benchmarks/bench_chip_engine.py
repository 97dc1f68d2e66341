"""Chip workflow on the conduction engine, each figure against a baseline
measured in the same run:

1. the shipped example, steady and a 20-interval transient, as the command
   line runs them without pictures: the Python layer's own time against
   the engine's (target: the layer at most 10 %);
2. a 256 x 256 x 32 active layer on the die-sized package shipped before: the steady
   state against one bare tcad_solve_3d step on a grid of the same cell
   count (target: at most 100 steps' worth), on 1 and 2 threads (target:
   2 threads at least 1.6x faster), its peak memory per cell (target: at
   most 160 bytes), and one transient interval of 10 us to 1 s (target: at
   most 40 steps' worth each);
3. a stack of two powered dies of 256 x 256 cells each, and four chiplets
   of different sizes in mould under a spreader and sink, 512 x 512 cells
   across the package: each steady state against the bare step (target:
   at most 100 steps' worth);
4. four 128 x 128 configurations through run_many on a thread pool and a
   process pool against one after another.

Usage: python benchmarks/bench_chip_engine.py [--skip-large] [--skip-stacks] [--skip-many]
"""
import dataclasses
import os
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from tavro_kiln.chip import ChipModel, read_floorplan, read_power_trace, read_stack, watts_by_block
from tavro_kiln.chip.cli import example_path
from tavro_kiln.chip.solve.runs import run_config, run_many, steady_state, transient
from tavro_kiln.core import tcad_solve_3d

from timing import cpu_line  # noqa: E402  (benchmarks/timing.py)


def example_inputs():
    stack = read_stack(example_path("stack.toml"))
    blocks = read_floorplan(example_path("quad_core.flp"))
    trace = read_power_trace(example_path("quad_core.ptrace"), [b.name for b in blocks])
    return stack, blocks, watts_by_block(trace, blocks)


def example_split(repeats=5):
    stack, blocks, trace = example_inputs()
    for kind in ("steady", "transient"):
        best = None
        for _ in range(repeats):
            started = time.perf_counter()
            if kind == "steady":
                result = steady_state(stack, blocks, trace.mean(axis=0))
            else:
                result = transient(stack, blocks, np.tile(trace, (3, 1))[:20], 1e-3)
            total = time.perf_counter() - started
            split = (total, result.timing["solver"])
            best = split if best is None or split[0] < best[0] else best
        total, engine = best
        print(f"example {kind} on {'x'.join(map(str, result.grid.shape))}: {1e3 * total:.1f} ms in all, "
              f"engine {1e3 * engine:.1f} ms, layer {1e3 * (total - engine):.1f} ms = "
              f"{100 * (total - engine) / total:.0f}% (target 10%); {result.iterations} iterations")


def large_stack():
    """The die-sized package the chip workflow shipped before the engine
    (300 um die, 25 um TIM, 1 mm copper, 0.25 K/W), at 256 x 256 cells and
    32 through the die, so that the figure compares with the earlier one."""
    from tavro_kiln.chip import Layer

    stack, blocks, trace = example_inputs()
    layers = [Layer("die", "silicon", 300e-6, 32, True), Layer("tim", "tim", 25e-6, 3),
              Layer("spreader", "copper", 1e-3, 32)]
    return (dataclasses.replace(stack, layers=layers, nx=256, ny=256, sink_resistance=0.25), blocks,
            trace.mean(axis=0))


def bare_step_seconds(shape, calls=3, chunk=10):
    T = np.full(shape, 300.0)
    best = np.inf
    for _ in range(calls):
        started = time.perf_counter()
        tcad_solve_3d(T, None, None, 148.0, 710.0, 1e-4, 1e-4, 1e-5, dt=1e-9, iterations=chunk)
        best = min(best, (time.perf_counter() - started) / chunk)
    return best


def peak_memory_per_cell():
    """Peak resident growth of building and solving the large case, in a
    fresh process, per cell."""
    code = ("import sys; sys.path.insert(0, %r)\n"
            "from bench_chip_engine import large_stack\nfrom tavro_kiln.chip import ChipModel\n"
            "def hwm():\n    return int([l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1]) * 1024\n"
            "stack, blocks, watts = large_stack()\nbefore = hwm()\nm = ChipModel(stack, blocks, threads=1)\n"
            "m.steady(watts)\nprint((hwm() - before) / m.grid.cells)\n") % os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def large_case():
    stack, blocks, watts = large_stack()
    model = ChipModel(stack, blocks, threads=1)
    shape = model.grid.shape
    step = bare_step_seconds(shape)
    print(f"256x256x32 active layer on the die-sized package shipped before: grid {shape} ({model.grid.cells:,} cells); "
          f"a bare tcad_solve_3d step on as many cells {1e3 * step:.2f} ms; model built in "
          f"{model.build_seconds:.2f} s")
    times = {}
    for threads in (1, 2):
        for label in ("first", "repeated"):
            model.threads = threads
            model.temperature[...] = stack.ambient
            report = model.steady(watts)
            times[threads] = report.seconds
            print(f"  steady, {threads} thread(s), {label}: {report.seconds:.3f} s = "
                  f"{report.seconds / step:.0f} steps' worth (target 100); {report.iterations} iterations, "
                  f"heat out / in = 1 {report.heat_out_W / report.power_W - 1:+.1e}, "
                  f"last change {report.change_K:.1e} K")
    print(f"  2 threads {times[1] / times[2]:.2f}x faster than 1 (target 1.6x)")
    model.threads = 1
    for interval in (1e-5, 1e-3, 1e-2, 1.0):
        model.temperature[...] = stack.ambient
        report = model.step(watts, interval)
        print(f"  transient interval of {interval:g} s (one TR-BDF2 step), 1 thread: {report.seconds:.3f} s = "
              f"{report.seconds / step:.0f} steps' worth (target 40); {report.iterations} iterations")
    print(f"  peak memory of a steady solve: {peak_memory_per_cell():.0f} bytes per cell (target 160)")


def two_dies():
    """Two 16 mm dies, 256 x 256 cells each, on the example's package."""
    from tavro_kiln.chip import Block, Layer, Stack

    cells = 256
    quarter = [Block(f"{die}{n}", 8e-3, 8e-3, (n % 2) * 8e-3, (n // 2) * 8e-3) for die in "ab" for n in range(4)]
    layers = [Layer("die0", "silicon", 50e-6, 4, True, floorplan=tuple(quarter[:4])),
              Layer("bond", "tim", 20e-6, 2),
              Layer("die1", "silicon", 50e-6, 4, True, floorplan=tuple(quarter[4:])),
              Layer("tim", "tim", 25e-6, 2),
              Layer("spreader", "copper", 1e-3, 8, width=30e-3, height=30e-3),
              Layer("sink", "copper", 6.9e-3, 8, width=60e-3, height=60e-3)]
    stack = Stack(layers=layers, sink_resistance=0.1, nx=cells, ny=cells)
    return stack, stack.power_blocks(), np.linspace(2.0, 9.0, 8)


def four_chiplets():
    """Four chiplets of different sizes in mould, 512 x 512 cells across a
    24 mm interposer area, under a spreader and sink."""
    from tavro_kiln.chip import Block, Layer, Stack

    places = [("cpu", 8e-3, 8e-3, 1e-3, 1e-3), ("gpu", 10e-3, 10e-3, 12e-3, 1e-3),
              ("io", 6e-3, 4e-3, 1e-3, 14e-3), ("hbm", 4e-3, 8e-3, 16e-3, 14e-3)]
    silicon = {"rho_c": 2329.0 * 710.0, "conductivity": 148.0}
    chiplets = tuple(Block(n, w, h, x, y, **silicon) for n, w, h, x, y in places)
    layers = [Layer("chiplets", "mould", 100e-6, 4, True, floorplan=chiplets),
              Layer("tim", "tim", 25e-6, 2),
              Layer("spreader", "copper", 1e-3, 8, width=40e-3, height=40e-3),
              Layer("sink", "copper", 6.9e-3, 8, width=60e-3, height=60e-3)]
    stack = Stack(layers=layers, sink_resistance=0.1, nx=512, ny=512, die_width=24e-3, die_height=24e-3)
    return stack, stack.power_blocks(), np.array([30.0, 60.0, 8.0, 6.0])


def stacks():
    for label, make in (("two dies of 256 x 256", two_dies), ("four chiplets, 512 x 512", four_chiplets)):
        stack, blocks, watts = make()
        model = ChipModel(stack, blocks, threads=1)
        step = bare_step_seconds(model.grid.shape)
        report = model.steady(watts)
        print(f"{label}: grid {model.grid.shape} ({model.grid.cells:,} cells), built in {model.build_seconds:.2f} s; "
              f"steady {report.seconds:.3f} s = {report.seconds / step:.0f} bare steps' worth (target 100), "
              f"{report.iterations} iterations, heat out / in = 1 {report.heat_out_W / report.power_W - 1:+.1e}")


def many_runs():
    stack, blocks, trace = example_inputs()
    stack = dataclasses.replace(stack, nx=128, ny=128)
    watts = trace.mean(axis=0)
    configs = [{"stack": stack, "blocks": blocks, "watts": watts * scale} for scale in (0.8, 0.9, 1.0, 1.1)]
    workers = os.cpu_count() or 1
    run_config(dict(configs[0], threads=1))  # imports and first-touch costs out of the way
    started = time.perf_counter()
    for config in configs:
        run_config(dict(config, threads=1))
    serial = time.perf_counter() - started
    started = time.perf_counter()
    run_many(configs, max_workers=workers)
    threads = time.perf_counter() - started
    with ProcessPoolExecutor(workers) as pool:
        pool.submit(int).result()  # start the workers before the clock does
        started = time.perf_counter()
        run_many(configs, executor=pool)
        processes = time.perf_counter() - started
    print(f"4 steady runs at 128x128, {workers} workers: one after another {serial:.2f} s; thread pool "
          f"{threads:.2f} s ({serial / threads:.2f}x); process pool {processes:.2f} s ({serial / processes:.2f}x)")


def main():
    print(cpu_line())
    example_split()
    if "--skip-large" not in sys.argv:
        large_case()
    if "--skip-stacks" not in sys.argv:
        stacks()
    if "--skip-many" not in sys.argv:
        many_runs()


if __name__ == "__main__":
    main()
