"""What the package and its test suite do where this machine differs from
the usual one: an unknown vector-path cap, a C library without mallinfo2."""
from test_simd_paths import run_python


def test_an_unknown_cap_is_reported_and_ignored():
    run = run_python(["-c", "import numpy as np; from tavro_kiln.core import tcad_solve_3d; "
                            "print(tcad_solve_3d(np.zeros((3, 3, 3)), iterations=1)[0].sum())"],
                     TAVRO_KILN_MAX_ISA="avx-2")
    assert run.returncode == 0, run.stderr
    assert "TAVRO_KILN_MAX_ISA='avx-2' names no instruction set" in run.stderr
    assert run.stdout.strip() == "0.0"


def test_memory_checks_skip_without_mallinfo2():
    run = run_python(["-m", "pytest", "-p", "no:cacheprovider", "-rs", "-k", "native_memory",
                      "test_heat_failures.py", "test_field_solver.py"],
                     TAVRO_KILN_TEST_NO_MALLINFO2="1")
    assert run.returncode == 0, run.stdout[-3000:]
    assert " passed" not in run.stdout and " skipped" in run.stdout
    assert "mallinfo2 hidden by TAVRO_KILN_TEST_NO_MALLINFO2" in run.stdout
