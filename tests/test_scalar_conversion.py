"""How scalar arguments become doubles, in order, and how they fail."""
import fractions
import decimal
import math

import numpy as np
import pytest

from support import assert_same_float


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __index__(self):
        return 400


class FloatSubclass(float):
    def __float__(self):  # ignored: the stored value counts
        return 0.0


@pytest.mark.parametrize(
    "argument, T",
    [
        (300, 300.0),
        (300.0, 300.0),
        (True, 1.0),
        (False, 0.0),
        (np.float64(400.0), 400.0),
        (np.float32(400.5), 400.5),
        (np.int64(-7), -7.0),
        (np.array(250.0), 250.0),  # single-element arrays convert as NumPy's __float__ allows
        (FloatLike(77.0), 77.0),
        (IndexLike(), 400.0),
        (FloatSubclass(1000.0), 1000.0),
        (fractions.Fraction(601, 2), 300.5),
        (decimal.Decimal("1000"), 1000.0),
        (2**53 + 1, float(2**53 + 1)),
    ],
)
def test_accepted_numbers(core, argument, T):
    expected = ((T - 300.0) * -0.0005 + 1.0) * 148.0
    assert_same_float(core.thermal_conductivity(argument), expected)


@pytest.mark.parametrize(
    "argument, error",
    [
        ("300", TypeError),
        (b"300", TypeError),
        (bytearray(b"3"), TypeError),
        (None, TypeError),
        ([300.0], TypeError),
        (np.array([1.0, 2.0, 3.0]), TypeError),
        (1j, TypeError),
        (object(), TypeError),
        (10**400, OverflowError),
        (-(10**400), OverflowError),
    ],
)
def test_refused_arguments(core, argument, error):
    for f in (core.thermal_conductivity, core.specific_heat, core.thermal_diffusivity, core.mttf):
        with pytest.raises(error):
            f(argument)
    with pytest.raises(error):
        core.thermal_diffusivity(300.0, rho=argument)


def test_conversion_follows_parameter_order_and_stops_at_first_failure(core):
    seen = []

    class Tracked:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __float__(self):
            seen.append(self.name)
            if self.value is None:
                raise ZeroDivisionError(self.name)
            return self.value

    with pytest.raises(ZeroDivisionError, match="t"):
        core.arrhenius_degradation(Tracked("T", 300.0), Tracked("t", None), Tracked("A0", 1.0),
                                   Ea=Tracked("Ea", 0.4), R=Tracked("R", None))
    assert seen == ["T", "t"]
    seen.clear()
    core.arrhenius_degradation(R=Tracked("R", 1e-4), Ea=Tracked("Ea", 0.4), t=Tracked("t", 1.0),
                               A0=Tracked("A0", 1.0), T=Tracked("T", 300.0))
    assert seen == ["T", "t", "A0", "Ea", "R"]


def test_exceptions_raised_by_dunder_methods_propagate(core):
    class Broken:
        def __float__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError):
        core.mttf(Broken())

    class WrongType:
        def __float__(self):
            return "no"

    with pytest.raises(TypeError):
        core.mttf(WrongType())


def test_nan_and_infinity_pass_through(core):
    assert math.isnan(core.thermal_conductivity(math.nan))
    assert core.thermal_conductivity(math.inf) == -math.inf
    assert core.thermal_conductivity(-math.inf) == math.inf
    assert core.specific_heat(math.inf) == math.inf
    assert core.specific_heat(-math.inf) == math.inf
