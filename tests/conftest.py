import math
import struct

import pytest


def float_bits(x):
    return struct.pack("<d", x)


def assert_same_float(actual, expected):
    """Equal to the last bit, NaN payloads aside and the sign of zero included."""
    assert type(actual) is float
    if math.isnan(expected):
        assert math.isnan(actual), actual
    else:
        assert float_bits(actual) == float_bits(expected), (actual, expected)


@pytest.fixture(scope="session")
def core():
    from tavro_kiln.core import _tavro_core

    return _tavro_core
