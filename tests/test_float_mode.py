"""Every function gives its IEEE results whatever floating-point mode the
calling thread carries (a library built with fast-math may leave subnormals
flushed and another rounding mode set), and leaves that mode as it found it."""
import numpy as np
import pytest

from support import assert_bitwise_equal, float_bits, hostile_float_mode, \
    hostile_float_mode_unavailable

pytestmark = pytest.mark.skipif(bool(hostile_float_mode_unavailable()),
                                reason=hostile_float_mode_unavailable() or "available")

RNG = np.random.default_rng(11)
T_SUBNORMAL = 1e-310 * RNG.integers(0, 9, (6, 5, 9))
Q_SUBNORMAL = -3e-308 * RNG.integers(0, 3, (6, 5, 9))


def calls(core, hxm):
    """(label, call) pairs whose IEEE results differ from flushed or
    truncated arithmetic."""
    return [
        ("arrhenius subnormal result", lambda: core.arrhenius_degradation(300.0, 1.0, 1e-302)),
        ("mttf subnormal R*T", lambda: core.mttf(1e-310)),
        ("diffusivity rounding", lambda: core.thermal_diffusivity(333.3)),
        ("specific heat rounding", lambda: core.specific_heat(1.1)),
        ("query geometric mean", lambda: hxm.query_to_k("novel quark photon")),
        ("heat solver", lambda: core.tcad_solve_3d(T_SUBNORMAL, Q_SUBNORMAL, iterations=6,
                                                   return_history=True)),
        ("field solver", lambda: hxm.hxm_solve_3d(np.full((6, 5, 9), 1e-300), T_SUBNORMAL,
                                                  k_scale=200.0, iterations=4)),
    ]


def flatten(result):
    if isinstance(result, float):
        return [np.array([result])]
    if isinstance(result, np.ndarray):
        return [result]
    out = []
    for part in (result.values() if isinstance(result, dict) else result or ()):
        if isinstance(part, (float, np.ndarray, tuple, dict)):
            out += flatten(part)
    return out


def test_results_and_mode_survive_a_hostile_caller(core, hxm):
    cases = calls(core, hxm)
    expected = [call() for _, call in cases]
    with hostile_float_mode() as mode:
        got = []
        for _, call in cases:
            got.append(call())
            assert mode.register() == mode.mode
    for (label, _), want, have in zip(cases, expected, got):
        for a, b in zip(flatten(have), flatten(want)):
            assert_bitwise_equal(np.asarray(a, np.float64), np.asarray(b, np.float64)), label
    # The hostile mode does change results where nothing protects them.
    tiny, factor = 1e-302, 1.9e-7
    with hostile_float_mode():
        flushed = tiny * factor
    assert float_bits(flushed) != float_bits(tiny * factor)
