"""What the thermal core module looks like from Python: names, order,
metadata, signatures and the binding of arguments."""
import inspect
import itertools
import pickle
import random

import numpy as np
import pytest

MODULE = "tavro_kiln.core._tavro_core"

# name -> (parameters, defaults, docstring)
FUNCTIONS = {
    "thermal_conductivity": (["T"], None, None),
    "specific_heat": (["T"], None, None),
    "thermal_diffusivity": (["T", "rho"], (2329.0,), None),
    "arrhenius_degradation": (
        ["T", "t", "A0", "Ea", "R"],
        (1.0, 0.4, 8.617e-05),
        "Arrhenius degradation with configurable Ea (activation energy in eV)",
    ),
    "mttf": (["T", "Ea", "R"], (0.4, 8.617e-05), "Mean time to failure with configurable Ea"),
    "tcad_solve_3d": (
        ["T_init", "Q_heat", "bc_type", "k_thermal", "cp", "dx", "dy", "dz", "dt",
         "iterations", "return_history", "history_stride", "convergence_tol"],
        (None, None, None, None, 0.001, 0.001, 0.001, 1e-06, 100, False, 1, 0.0),
        None,  # checked separately
    ),
    "get_material_properties": ([], None, None),
}

TCAD_DOC = (
    "\n"
    "    Solve 3D heat diffusion with optional per-cell k/Cp and early convergence.\n"
    "\n"
    "    Parameters:\n"
    "    -----------\n"
    "    T_init : 3D array, initial temperature\n"
    "    Q_heat : 3D array, heat source (optional)\n"
    "    bc_type : 3D int array, boundary condition (0=interior, 1=fixed, 2=insulated)\n"
    "    k_thermal : scalar or 3D array, thermal conductivity\n"
    "    cp : scalar or 3D array, specific heat\n"
    "    dx, dy, dz : grid spacing\n"
    "    dt : timestep\n"
    "    iterations : max iterations\n"
    "    return_history : track T_max/T_min\n"
    "    history_stride : record every N steps\n"
    "    convergence_tol : exit if max delta < tolerance (0 = no early exit)\n"
    "    "
)


def test_module_binds_np_then_functions_in_order(core):
    own = [name for name in vars(core) if not name.startswith("__")]
    assert own == ["np", "thermal_conductivity", "specific_heat", "thermal_diffusivity",
                   "arrhenius_degradation", "mttf", "tcad_solve_3d", "get_material_properties"]
    assert core.np is np
    assert core.__doc__ is None
    assert core.__name__ == MODULE
    assert core.__file__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(core, name):
    params, defaults, doc = FUNCTIONS[name]
    f = getattr(core, name)
    assert f.__name__ == name and f.__qualname__ == name
    assert f.__module__ == MODULE
    assert f.__defaults__ == defaults
    if defaults is not None:
        assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {}
    assert f.__doc__ == (TCAD_DOC if name == "tcad_solve_3d" else doc)
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    got_defaults = tuple(p.default for p in sig.parameters.values() if p.default is not p.empty)
    assert got_defaults == (defaults or ())
    assert callable(f)
    assert repr(f).startswith(f"<function {name} at 0x")
    # Module-level functions pickle by reference.
    assert pickle.loads(pickle.dumps(f)) is f


def test_signature_text(core):
    assert str(inspect.signature(core.thermal_diffusivity)) == "(T, rho=2329.0)"
    assert str(inspect.signature(core.get_material_properties)) == "()"
    assert str(inspect.signature(core.mttf)) == "(T, Ea=0.4, R=8.617e-05)"


def test_function_objects_cannot_be_created_or_changed(core):
    f = core.thermal_conductivity
    with pytest.raises(TypeError):
        type(f)()
    with pytest.raises(AttributeError):
        f.__defaults__ = (1.0,)


def valid_argument(name, index):
    """A value every parameter of `name` accepts at position `index`."""
    if name == "tcad_solve_3d":
        return [np.zeros((3, 3, 3)), None, None, None, None, 0.001, 0.001, 0.001, 1e-6,
                1, False, 1, 0.0][index]
    return 300.0 + index


def python_twin(name):
    params, defaults, _ = FUNCTIONS[name]
    required = len(params) - len(defaults or ())
    text = ", ".join(p if i < required else f"{p}=None" for i, p in enumerate(params))
    namespace = {}
    exec(f"def {name}({text}):\n    return 'bound'", namespace)
    return namespace[name]


def call_error(f, args, kwargs):
    try:
        f(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_errors_match_python_functions(core, name):
    """Random calls: every bad binding raises the TypeError text CPython gives
    a Python function with the same parameters; every good one binds."""
    params = FUNCTIONS[name][0]
    f, twin = getattr(core, name), python_twin(name)
    rng = random.Random(name)
    near_misses = ["x", "t_", "tt", "Rho", "rhoo", "T_Init", "iteration", "Q", "ea", "a0",
                   "history", "convergence_tolerance", "cpp", "dX", "T" * 50, "é"]
    for _ in range(400):
        positional = rng.randint(0, len(params) + 2)
        args = [valid_argument(name, min(i, len(params) - 1)) if params else 1.0
                for i in range(positional)]
        names = rng.sample(params + near_misses, rng.randint(0, 3))
        kwargs = {k: valid_argument(name, params.index(k)) if k in params else 1.0 for k in names}
        expected = call_error(twin, args, kwargs)
        actual = call_error(f, args, kwargs)
        if expected is None:
            assert actual is None or "argument" not in actual, (args, kwargs, actual)
        else:
            assert actual == expected, (args, kwargs)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.thermal_conductivity(), "thermal_conductivity() missing 1 required positional argument: 'T'"),
        (lambda m: m.thermal_conductivity(300.0, 1.0), "thermal_conductivity() takes 1 positional argument but 2 were given"),
        (lambda m: m.arrhenius_degradation(300.0), "arrhenius_degradation() missing 1 required positional argument: 't'"),
        (lambda m: m.mttf(300.0, 0.4, 8.617e-05, 1.0), "mttf() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda m: m.get_material_properties(1), "get_material_properties() takes 0 positional arguments but 1 was given"),
        (lambda m: m.get_material_properties(x=1), "get_material_properties() got an unexpected keyword argument 'x'"),
        (lambda m: m.thermal_diffusivity(300.0, T=1.0), "thermal_diffusivity() got multiple values for argument 'T'"),
        (lambda m: m.thermal_diffusivity(300.0, rhoo=1.0), "thermal_diffusivity() got an unexpected keyword argument 'rhoo'. Did you mean 'rho'?"),
        (lambda m: m.tcad_solve_3d(), "tcad_solve_3d() missing 1 required positional argument: 'T_init'"),
    ],
)
def test_binding_error_texts(core, call, message):
    with pytest.raises(TypeError) as error:
        call(core)
    assert str(error.value) == message


def test_binding_happens_before_any_conversion(core):
    # The bad value would raise a different TypeError if it were converted.
    with pytest.raises(TypeError, match="takes from 1 to 2"):
        core.thermal_diffusivity("bad", "bad", "bad")
    with pytest.raises(TypeError, match="unexpected keyword"):
        core.mttf(None, bogus=1)


def test_keyword_and_mixed_calls(core):
    assert core.thermal_diffusivity(T=350.0, rho=2329.0) == core.thermal_diffusivity(350.0)
    assert core.thermal_diffusivity(rho=1e3, T=300.0) == 0.0002084507042253521
    assert core.arrhenius_degradation(300.0, 1.0, R=8.617e-05, A0=2.0) == \
        core.arrhenius_degradation(300.0, 1.0, 2.0)
    assert core.thermal_conductivity(**{"T": 300.0}) == 148.0
    assert core.thermal_conductivity(*[300.0]) == 148.0
    for args in itertools.permutations([("T", 300.0), ("Ea", 0.5), ("R", 1e-4)]):
        assert core.mttf(**dict(args)) == core.mttf(300.0, 0.5, 1e-4)


def test_import_without_numpy_raises_import_error():
    import subprocess
    import sys

    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "try:\n"
        "    import tavro_kiln.core._tavro_core\n"
        "except ImportError as e:\n"
        "    print('ImportError')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "ImportError", result.stderr


def test_reimport_in_fresh_interpreter_gives_same_surface():
    import subprocess
    import sys

    code = ("import tavro_kiln.core._tavro_core as m; import numpy;"
            "assert m.np is numpy; print(m.tcad_solve_3d.__defaults__)")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "(None, None, None, None, 0.001, 0.001, 0.001, 1e-06, 100, False, 1, 0.0)"
