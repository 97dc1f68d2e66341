"""What a whole solver call costs around its kernel, each figure against a
baseline measured in the same run:
  - fixed cost: iterations=0 against NumPy copying the same arrays;
  - a default 100-step tcad_solve_3d(T) against its sweeps alone (the
    marginal cost of a step, from 100 and 200 steps);
  - the first call in a fresh process against a repeated one;
  - peak resident growth of one call in a fresh process (the high-water
    mark of its memory, VmHWM on Linux), result arrays included, per cell.
Run: python benchmarks/bench_whole_call.py [--quick]"""
import json
import os
import subprocess
import sys
import time

import numpy as np

from timing import best_seconds

HERE = os.path.dirname(os.path.abspath(__file__))


def fixed_cost():
    from tavro_kiln.core import hxm_solve_3d, tcad_solve_3d

    for n in (64, 128):
        T = np.full((n, n, n), 300.0)
        copies = best_seconds(lambda: (T.copy(), T.copy()))
        call = best_seconds(lambda: tcad_solve_3d(T, iterations=0))
        print(f"tcad_solve_3d(T, iterations=0) {n}^3: {call * 1e3:8.3f} ms, two NumPy copies "
              f"{copies * 1e3:7.3f} ms -> ratio {call / copies:5.2f} (target <= 1.5)")
    n = 64
    psi, tau = np.full((n, n, n), 1e32), np.full((n, n, n), 0.5)
    copies = best_seconds(lambda: (psi.copy(), tau.copy(), psi.copy(), tau.copy()))
    call = best_seconds(lambda: hxm_solve_3d(psi, tau, iterations=0))
    print(f"hxm_solve_3d(psi, tau, iterations=0) {n}^3: {call * 1e3:6.3f} ms, four NumPy copies "
          f"{copies * 1e3:7.3f} ms -> ratio {call / copies:5.2f} (target <= 1.5)")


def default_call_overhead():
    from tavro_kiln.core import tcad_solve_3d

    for n in (64, 128):
        T = np.random.default_rng(0).uniform(250.0, 350.0, (n, n, n))
        t100 = best_seconds(lambda: tcad_solve_3d(T), repeat=7)
        t500 = best_seconds(lambda: tcad_solve_3d(T, iterations=500), repeat=5)
        step = (t500 - t100) / 400  # a step's marginal cost: the sweep alone
        overhead = t100 - 100 * step
        print(f"tcad_solve_3d(T) {n}^3, 100 steps: {t100 * 1e3:8.2f} ms, a step {step * 1e3:6.3f} ms"
              f" -> beyond the sweeps {overhead / step:5.2f} steps' worth (target <= 5)")


# Run in a fresh process: the first call's time, then a repeated one's, and
# the peak resident growth of the first call.
FRESH = r"""
import json, resource, sys, time
import numpy as np
from tavro_kiln.core import hxm_solve_3d, tcad_solve_3d

def peak_kib():
    # Linux: the high-water mark of this process's own memory. ru_maxrss
    # would do elsewhere, but on Linux it starts from the RSS of the process
    # that forked this one, which can hide the growth of a call.
    try:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))
    except (OSError, StopIteration):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

solver, n, full, iterations = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "full", int(sys.argv[4])
shape = (n, n, n)
if solver == "tcad":
    args = [np.full(shape, 300.0)]
    if full:
        args += [np.full(shape, 1e3), np.zeros(shape, np.int32), np.full(shape, 148.0),
                 np.full(shape, 710.0)]
    call = lambda: tcad_solve_3d(*args, iterations=iterations)
else:
    args = [np.full(shape, 1e32), np.full(shape, 0.5)]
    if full:
        args += [np.full(shape, 1e10), np.zeros(shape)]
    call = lambda: hxm_solve_3d(*args, iterations=iterations)
before = peak_kib()
start = time.perf_counter(); result = call(); first = time.perf_counter() - start
grown = peak_kib() - before
del result
start = time.perf_counter(); call(); repeated = time.perf_counter() - start
# The baseline: NumPy's first copy of a grid of the same size, and a repeated one.
grid = np.full(shape, 1.0)
start = time.perf_counter(); copy = grid.copy(); numpy_first = time.perf_counter() - start
del copy
start = time.perf_counter(); grid.copy(); numpy_repeated = time.perf_counter() - start
print(json.dumps({"first": first, "repeated": repeated, "grown_kib": grown,
                  "numpy_first": numpy_first, "numpy_repeated": numpy_repeated}))
"""


def fresh(solver, n, full, iterations):
    out = subprocess.run([sys.executable, "-c", FRESH, solver, str(n), "full" if full else "t",
                          str(iterations)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def fresh_process_figures(quick):
    for n in (64, 128) if quick else (64, 128, 192, 256):
        r = fresh("tcad", n, False, 0)
        print(f"fresh process, tcad_solve_3d(T, iterations=0) {n}^3: first {r['first'] * 1e3:8.2f} ms,"
              f" repeated {r['repeated'] * 1e3:7.2f} ms; NumPy's first copy of T"
              f" {r['numpy_first'] * 1e3:7.2f} ms, repeated {r['numpy_repeated'] * 1e3:7.2f} ms")
    for n in (128,) if quick else (128, 256):
        cells = n ** 3
        targets = {("tcad", False): 16, ("tcad", True): 44, ("hxm", False): 32, ("hxm", True): None}
        for (solver, full), target in targets.items():
            self_report(solver, n, full, cells, target)


def self_report(solver, n, full, cells, target):
    # A default call (100 steps), so the temporal blocking's working memory
    # counts too.
    per_cell = fresh(solver, n, full, 100)["grown_kib"] * 1024 / cells
    name = "tcad_solve_3d" if solver == "tcad" else "hxm_solve_3d"
    label = f"{name}({'all inputs' if full else 'fields only'})"
    goal = f" (target <= {target})" if target else ""
    print(f"peak resident growth of one call, {label:32s} {n}^3: {per_cell:5.1f} bytes per cell"
          f"{goal}")


if __name__ == "__main__":
    quick = "--quick" in sys.argv
    fixed_cost()
    default_call_overhead()
    fresh_process_figures(quick)
