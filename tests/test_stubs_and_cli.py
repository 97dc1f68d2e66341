"""Type stubs against the runtime, the package re-exports, and the demo
command line."""
import ast
import importlib
import inspect
import os
import subprocess
import sys

import pytest

import tavro_kiln.core as core_package

MODULES = ["tavro_kiln.core._tavro_core", "tavro_kiln.core._hxm_field_solver"]


def stub_functions(module_name):
    module = importlib.import_module(module_name)
    folder, filename = os.path.split(module.__file__)
    stub = os.path.join(folder, filename.split(".")[0] + ".pyi")
    tree = ast.parse(open(stub, encoding="utf-8").read())
    return module, {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_match_runtime_signatures(module_name):
    module, stubs = stub_functions(module_name)
    public = [n for n in vars(module) if not n.startswith("_") and n != "np"]
    assert sorted(stubs) == sorted(public)
    for name, node in stubs.items():
        runtime = inspect.signature(getattr(module, name))
        params = node.args.args
        assert [p.arg for p in params] == list(runtime.parameters), name
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        expected = [p.default for p in runtime.parameters.values() if p.default is not p.empty]
        assert defaults == expected and [type(d) for d in defaults] == [type(d) for d in expected]
    assert os.path.exists(os.path.join(os.path.dirname(module.__file__), "py.typed"))


def test_package_reexports_every_public_function():
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name in (n for n in vars(module) if not n.startswith("_") and n != "np"):
            assert getattr(core_package, name) is getattr(module, name)


def test_mypy_accepts_typed_usage():
    pytest.importorskip("mypy")
    example = os.path.join(os.path.dirname(__file__), "typed_usage_example.py")
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", example],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "tavro_kiln", *args], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("args", [["demo", "--size", "0"], ["demo", "--steps", "ten"], ["nope"], [],
                                  ["demo", "--out", "/no/such/folder/x.png"],
                                  ["demo", "--size", "1" + "0" * 30], ["demo", "--steps", "9" * 5000]])
def test_demo_rejects_bad_options_without_traceback(args):
    result = run_cli(*args)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr and "usage:" in result.stderr


def test_demo_runs_small(tmp_path):
    out = tmp_path / "demo.png"
    result = run_cli("demo", "--size", "12", "--steps", "30", "--out", str(out))
    assert result.returncode == 0, result.stderr
    assert "peak temperature" in result.stdout and "query_to_k" in result.stdout
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "no picture" in result.stdout
    else:
        assert out.read_bytes().startswith(b"\x89PNG")
