"""The solver suites again on each narrower vector path this machine runs
(TAVRO_KILN_MAX_ISA caps the kernels' choice; it is read once per process,
so each path gets a process of its own). The main run covers the widest."""
import os
import subprocess
import sys

import pytest

from support import active_simd_paths

HERE = os.path.dirname(os.path.abspath(__file__))
SOLVER_SUITES = ["test_heat_solver.py", "test_heat_failures.py", "test_field_solver.py"]


def run_python(args, **env):
    return subprocess.run([sys.executable, *args], cwd=HERE, capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=600)


@pytest.mark.parametrize("isa", active_simd_paths()[1:])
def test_solver_suites_pass_on_path(isa):
    run = run_python(["-m", "pytest", "-p", "no:cacheprovider", *SOLVER_SUITES],
                     TAVRO_KILN_MAX_ISA=isa)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
    assert f"vector path: {isa}" in run.stdout
