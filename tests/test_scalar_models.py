"""Silicon property fits and reliability models, to the last bit."""
import math
import random

import pytest

from support import assert_same_float

SPECIALS = [0.0, -0.0, 300.0, -300.0, 1e-300, -1e-300, 5e-324, 1e308, -1e308,
            math.inf, -math.inf, math.nan, 2300.0, 77.0, 1000.0]


def c_pow(x, y):
    """libm pow: math.pow raises where C returns an infinity."""
    try:
        return math.pow(x, y)
    except OverflowError:
        return math.inf


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def reference_conductivity(T):
    u = (T - 300.0) * -0.0005
    u = u + 1.0
    return u * 148.0


def reference_specific_heat(T):
    d = T - 300.0
    return c_pow(d, 2.0) * 0.001 + 710.0


def reference_diffusivity(T, rho):
    if rho <= 0:
        return 0.0
    k, cp = reference_conductivity(T), reference_specific_heat(T)
    return k / (cp * rho)


def reference_arrhenius(T, t, A0, Ea, R):
    p = R * T
    if p <= 0:
        return A0
    x = (-Ea) / p
    x = x * t
    return A0 * c_exp(x)


def reference_mttf(T, Ea, R):
    p = R * T
    if p <= 0:
        return 1e10
    return c_exp(Ea / p)


def random_doubles(seed, count):
    rng = random.Random(seed)
    values = list(SPECIALS)
    for _ in range(count):
        kind = rng.random()
        if kind < 0.4:
            values.append(rng.uniform(-3000.0, 3000.0))
        elif kind < 0.8:
            values.append(rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-320, 308))
        else:
            values.append(float(rng.randint(-5000, 5000)))
    return values


@pytest.mark.parametrize(
    "T, k",
    [(300.0, 148.0), (0.0, 170.2), (400.0, 140.6), (1000.0, 96.19999999999999), (2300.0, 0.0),
     (2500.0, -14.800000000000013), (-300.0, 192.4)],
)
def test_conductivity_table(core, T, k):
    assert_same_float(core.thermal_conductivity(T), k)


@pytest.mark.parametrize(
    "T, cp", [(300.0, 710.0), (0.0, 800.0), (600.0, 800.0), (200.0, 720.0), (400.0, 720.0), (77.0, 759.729)]
)
def test_specific_heat_table(core, T, cp):
    assert_same_float(core.specific_heat(T), cp)


@pytest.mark.parametrize(
    "args, value",
    [((300.0,), 8.950223453213916e-05), ((400.0,), 8.384619054434426e-05), ((2300.0,), 0.0),
     ((2500.0,), -1.1449835408616011e-06), ((300.0, 0.0), 0.0), ((300.0, -1.0), 0.0),
     ((300.0, -0.0), 0.0), ((300.0, -math.inf), 0.0), ((300.0, 1e3), 0.0002084507042253521),
     ((300.0, math.nan), math.nan), ((math.inf,), math.nan), ((math.nan,), math.nan)],
)
def test_diffusivity_table(core, args, value):
    assert_same_float(core.thermal_diffusivity(*args), value)


def test_fits_match_reference_arithmetic_on_random_temperatures(core):
    for T in random_doubles(1, 3000):
        assert_same_float(core.thermal_conductivity(T), reference_conductivity(T))
        assert_same_float(core.specific_heat(T), reference_specific_heat(T))
    temperatures, densities = random_doubles(2, 1500), random_doubles(3, 1500)
    for T, rho in zip(temperatures, densities):
        assert_same_float(core.thermal_diffusivity(T, rho), reference_diffusivity(T, rho))


def test_material_properties_table(core):
    table = core.get_material_properties()
    assert list(table) == ["name", "density", "thermal_conductivity", "specific_heat",
                           "thermal_diffusivity", "bandgap_300K", "bandgap_0K"]
    assert table == {"name": "Silicon", "density": 2329.0, "thermal_conductivity": 148.0,
                     "specific_heat": 710.0, "thermal_diffusivity": 8.950223453213916e-05,
                     "bandgap_300K": 1.166, "bandgap_0K": 1.206}
    assert all(type(v) is float for k, v in table.items() if k != "name")
    assert table["thermal_diffusivity"] == core.thermal_diffusivity(300.0)
    assert table["thermal_conductivity"] == core.thermal_conductivity(300.0)
    assert table["specific_heat"] == core.specific_heat(300.0)
    table["density"] = 0.0
    again = core.get_material_properties()
    assert again is not table and again["density"] == 2329.0


@pytest.mark.parametrize(
    "call, value",
    [
        (lambda m: m.mttf(300.0), 5247641.17950),
        (lambda m: m.mttf(350.0), 575399.202336),
        (lambda m: m.mttf(400.0), 109641.027927),
        (lambda m: m.mttf(300.0, 0.7), 5.75356773110e11),
        (lambda m: m.arrhenius_degradation(300.0, 1.0), 1.90561809734e-07),
        (lambda m: m.arrhenius_degradation(400.0, 1.0), 9.12067333652e-06),
        (lambda m: m.arrhenius_degradation(300.0, 1e-06), 0.999984526830),
    ],
)
def test_reliability_values(core, call, value):
    assert call(core) == pytest.approx(value, rel=1e-11)


@pytest.mark.parametrize(
    "call, value",
    [
        (lambda m: m.mttf(0.0), 1e10),
        (lambda m: m.mttf(-300.0), 1e10),
        (lambda m: m.mttf(300.0, R=0.0), 1e10),
        (lambda m: m.mttf(300.0, R=-1.0), 1e10),
        (lambda m: m.mttf(1.0), math.inf),
        (lambda m: m.mttf(300.0, Ea=0.0), 1.0),
        (lambda m: m.mttf(math.nan), math.nan),
        (lambda m: m.mttf(300.0, R=math.nan), math.nan),
        (lambda m: m.arrhenius_degradation(300.0, 0.0), 1.0),
        (lambda m: m.arrhenius_degradation(0.0, 5.0), 1.0),
        (lambda m: m.arrhenius_degradation(-300.0, 5.0, A0=3.5), 3.5),
        (lambda m: m.arrhenius_degradation(300.0, 5.0, R=0.0), 1.0),
        (lambda m: m.arrhenius_degradation(300.0, 5.0, 2.0, math.nan, -1.0), 2.0),
        (lambda m: m.arrhenius_degradation(300.0, 1e6), 0.0),
        (lambda m: m.arrhenius_degradation(1.0, -1.0), math.inf),
        (lambda m: m.arrhenius_degradation(1.0, -1.0, 0.0), math.nan),
        (lambda m: m.arrhenius_degradation(math.nan, 1.0), math.nan),
    ],
)
def test_reliability_guards_and_saturation(core, call, value):
    assert_same_float(call(core), value)


def test_reliability_relations(core):
    assert core.arrhenius_degradation(300.0, -1.0) == core.mttf(300.0)
    assert core.arrhenius_degradation(300.0, 1.0, 2.0) == 2 * core.arrhenius_degradation(300.0, 1.0)
    for A0 in (0.5, -3.0, 1e300):
        assert core.arrhenius_degradation(350.0, 0.0, A0, 0.9) == A0


def test_reliability_matches_reference_arithmetic_on_random_inputs(core):
    values = random_doubles(4, 2500)
    rng = random.Random(5)
    for _ in range(3000):
        T, t, A0, Ea, R = (rng.choice(values) for _ in range(5))
        assert_same_float(core.arrhenius_degradation(T, t, A0, Ea, R),
                          reference_arrhenius(T, t, A0, Ea, R))
        assert_same_float(core.mttf(T, Ea, R), reference_mttf(T, Ea, R))
