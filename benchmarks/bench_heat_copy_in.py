"""tcad_solve_3d at iterations=0 (copy-in, grid set-up, copy-out) against
NumPy copying the same five arrays, measured in the same run."""
import timeit

import numpy as np

from tavro_kiln.core import _tavro_core as core

N = 128


def best_ms(function, repeat=15):
    return min(timeit.repeat(function, number=1, repeat=repeat)) * 1e3


def main():
    rng = np.random.default_rng(0)
    shape = (N, N, N)
    T, k, cp, Q = (rng.uniform(1.0, 500.0, shape) for _ in range(4))
    bc = rng.integers(0, 3, shape).astype(np.int32)
    arrays = (T, Q, bc, k, cp)

    numpy_copy = best_ms(lambda: [a.copy() for a in arrays])
    print(f"{N}^3, NumPy copying the five arrays:           {numpy_copy:7.2f} ms  (baseline)")
    cases = [
        ("C-contiguous float64/int32", arrays),
        ("Fortran-ordered", tuple(np.asfortranarray(a) for a in arrays)),
        ("float32 / int64", (T.astype(np.float32), Q.astype(np.float32), bc.astype(np.int64),
                             k.astype(np.float32), cp.astype(np.float32))),
        ("scalar k and cp, no Q or bc", (T, None, None, 148.0, 710.0)),
    ]
    for label, inputs in cases:
        ms = best_ms(lambda: core.tcad_solve_3d(*inputs, iterations=0))
        print(f"tcad_solve_3d(iterations=0), {label:28} {ms:7.2f} ms  ratio {ms / numpy_copy:4.2f}")

    fortran = tuple(np.asfortranarray(a) for a in arrays)
    reorder = best_ms(lambda: [np.ascontiguousarray(a) for a in fortran])
    print(f"NumPy reordering the Fortran arrays to C order:  {reorder:7.2f} ms"
          f"  (tcad_solve_3d on them: ratio {best_ms(lambda: core.tcad_solve_3d(*fortran, iterations=0)) / reorder:4.2f})")

    object_T = T[:16, :16, :16].astype(object)
    per_element = best_ms(lambda: core.tcad_solve_3d(object_T, iterations=0), repeat=5)
    bulk = best_ms(lambda: core.tcad_solve_3d(T[:16, :16, :16], iterations=0), repeat=5)
    print(f"16^3 object-dtype T (per-element path):     {per_element:7.3f} ms"
          f"  vs bulk {bulk:7.3f} ms")


if __name__ == "__main__":
    main()
