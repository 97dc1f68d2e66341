"""Two Python threads calling the solvers at once against one thread making
the same calls one after the other: the kernels run without the
interpreter lock, so the calls should overlap on two cores."""
import threading
import time

import numpy as np

from tavro_kiln.core import _hxm_field_solver as hxm
from tavro_kiln.core import _tavro_core as core


def wall_seconds(calls, threads):
    def worker(share):
        for call in share:
            call()

    shares = [calls[i::threads] for i in range(threads)]
    pool = [threading.Thread(target=worker, args=(share,)) for share in shares]
    start = time.perf_counter()
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return time.perf_counter() - start


def main():
    rng = np.random.default_rng(0)
    T = rng.uniform(250.0, 350.0, (64, 64, 64))
    psi = 1e32 * rng.uniform(0.999, 1.001, (48, 48, 48))
    tau = np.full(psi.shape, 1e-9)
    cases = {
        "tcad_solve_3d 64^3 x 100": lambda: core.tcad_solve_3d(T, iterations=100),
        "hxm_solve_3d 48^3 x 40": lambda: hxm.hxm_solve_3d(psi, tau, iterations=40,
                                                          convergence_tol=0.0),
    }
    for label, call in cases.items():
        calls = [call] * 8
        call()  # warm-up
        one = min(wall_seconds(calls, 1) for _ in range(3))
        two = min(wall_seconds(calls, 2) for _ in range(3))
        print(f"{label:26} 8 calls: one thread {one * 1e3:7.1f} ms, two threads {two * 1e3:7.1f} ms"
              f"  -> {one / two:4.2f}x")


if __name__ == "__main__":
    main()
