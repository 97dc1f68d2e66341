"""What the readers accept as a number: decimal text in the line formats,
and TOML values checked against a range.

Python's float() and int() also take '1_000', digits of other scripts and
'inf'; the formats define numbers as plain decimals with an optional
exponent, so the text is matched first."""
import math
import re

from tavro_kiln.chip.errors import ChipInputError

DECIMAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?", re.ASCII)
NOT_FINITE = {"inf", "infinity", "nan"}  # float() reads them; named apart in messages
MAX_CELLS = 65536  # along one side of the grid or through one layer


def parse_number(path, line, text, what):
    """A finite float from a field of a line format."""
    value = float(text) if DECIMAL.fullmatch(text) else None
    if value is None and text.lstrip("+-").lower() not in NOT_FINITE:
        raise ChipInputError(path, line, f"{what} {text!r} is not a number")
    if value is None or not math.isfinite(value):  # 'nan', or 1e999
        raise ChipInputError(path, line, f"{what} {text!r} is not a finite number")
    return value


def shown(value):
    """A value for a message: a TOML integer may have hundreds of digits."""
    text = repr(value)
    if isinstance(value, int) and len(text) > 20:
        return f"{text[:6]}... ({len(text.lstrip('-'))} digits)"
    return text


def in_range(path, line, what, value, high, unit, low=None, zero=False):
    """``value`` as a float if it is a number from ``low`` (by default any
    positive number; with ``zero``, 0 too) to ``high`` ``unit``. Bounds
    keep the grid's arithmetic finite; integers are compared exactly, as
    one of hundreds of digits would overflow a float."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ChipInputError(path, line, f"{what} must be a number, got {shown(value)}")
    if isinstance(value, float) and not math.isfinite(value):
        raise ChipInputError(path, line, f"{what} must be a finite number, got {shown(value)}")
    if low is not None:
        lower, fits = f"at least {low:g} {unit}", value >= low
    elif zero:
        lower, fits = "at least 0", value >= 0
    else:
        lower, fits = "positive", value > 0
    if not fits or value > high:
        raise ChipInputError(path, line, f"{what} must be {lower} and at most {high:g} {unit}, "
                                         f"got {shown(value)}")
    return float(value)


def cell_count(path, line, what, value):
    """A whole number of cells from 1 to MAX_CELLS."""
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_CELLS:
        raise ChipInputError(path, line, f"{what} must be a whole number from 1 to {MAX_CELLS}, "
                                         f"got {shown(value)}")
    return value
