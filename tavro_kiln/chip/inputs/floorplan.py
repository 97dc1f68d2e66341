"""Readers for the floorplan and power-trace text formats of compact
thermal simulators.

Floorplan: one block a line, ``name width height left-x bottom-y`` in
metres. Power trace: a header line of block names, then one line of watts
per block for each time interval. ``#`` starts a comment; blank lines are
ignored.
"""
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.errors import ChipInputError, read_lines
from tavro_kiln.chip.inputs.numbers import parse_number

MAX_LENGTH = 1.0  # m: no die is this wide, and the grid's arithmetic stays finite
MAX_WATTS = 1e6  # per block: a thousand times the hungriest chips, far from overflowing the field


@dataclass(frozen=True)
class Block:
    """A rectangle of the floorplan that draws power.

    Attributes
    ----------
    name : str
        As the power trace's header names it.
    width, height : float
        m, along x and y.
    left, bottom : float
        Its lower-left corner on the die, m.
    line : int
        The floorplan line it was read from (0 for a block made in code),
        for later error messages.
    rho_c, conductivity : float or None
        A material of its own (volumetric heat capacity J/(m³ K),
        conductivity W/(m K)) in place of its layer's: a copper-filled
        region or a field of through-silicon vias in a layer of a stack.
    """

    name: str
    width: float
    height: float
    left: float
    bottom: float
    line: int = 0  # where it was read, for later error messages
    rho_c: float | None = None
    conductivity: float | None = None

    @property
    def right(self):
        """Its right edge, m."""
        return self.left + self.width

    @property
    def top(self):
        """Its top edge, m."""
        return self.bottom + self.height


@dataclass
class PowerTrace:
    """A power trace as read: use :func:`watts_by_block` to put its columns
    in floorplan order.

    Attributes
    ----------
    names : list of str
        Block names, in the file's column order.
    watts : numpy.ndarray
        Shape (intervals, len(names)), W.
    lines : list of int
        The file line of each interval.
    """

    names: list  # block names, in the file's column order
    watts: np.ndarray  # shape (intervals, len(names))
    lines: list  # file line of each interval


def content_lines(path):
    """(line number, fields) for each line with content."""
    for number, line in enumerate(read_lines(path), start=1):
        fields = line.split("#", 1)[0].split()
        if fields:
            yield number, fields


def read_floorplan(path, with_materials=False):
    """Reads a floorplan file: one block a line, ``name width height
    left-x bottom-y`` in metres.

    ``#`` starts a comment and blank lines are skipped. Blocks may touch
    but not overlap. With ``with_materials`` (a layer of a stack), a line
    may add the block's own ``specific-heat resistivity`` (J/(m³ K),
    m K/W).

    Parameters
    ----------
    path : str or os.PathLike
        A UTF-8 text file.

    Returns
    -------
    list of Block
        In the file's order.

    Raises
    ------
    ChipInputError
        The file cannot be read or is not UTF-8 text; a line has not five
        fields or a value is not a number; a size is not positive or a
        value beyond 1 m; a name repeats; blocks overlap; there are no
        blocks. The message names the file and the line.
    """
    blocks, seen = [], {}
    for number, fields in content_lines(path):
        if len(fields) != 5 and not (with_materials and len(fields) == 7):
            extra = " [specific-heat resistivity]" if with_materials else ""
            raise ChipInputError(path, number, f"expected {'5 or 7' if with_materials else '5'} fields (name width "
                                               f"height left-x bottom-y{extra}), found {len(fields)}")
        material = {}
        if len(fields) == 7:
            rho_c, resistivity = (parse_number(path, number, text, what) for text, what in
                                  zip(fields[5:], ("specific heat", "resistivity")))
            if not (rho_c > 0.0 and resistivity > 0.0):
                raise ChipInputError(path, number, f"block {fields[0]!r}: specific heat and resistivity must be "
                                                   f"positive")
            material = {"rho_c": rho_c, "conductivity": 1.0 / resistivity}
            fields = fields[:5]
        name = fields[0]
        values = [parse_number(path, number, text, what) for text, what in
                  zip(fields[1:], ("width", "height", "left-x", "bottom-y"))]
        width, height, left, bottom = values
        if width <= 0.0 or height <= 0.0:
            raise ChipInputError(path, number, f"block {name!r} has width {width:g} and height "
                                               f"{height:g}; both must be positive")
        if max(map(abs, values)) > MAX_LENGTH:
            raise ChipInputError(path, number, f"block {name!r} reaches beyond {MAX_LENGTH:g} m; "
                                               f"sizes and places are in metres")
        if name in seen:
            raise ChipInputError(path, number, f"block {name!r} is already defined on line {seen[name]}")
        seen[name] = number
        blocks.append(Block(name, width, height, left, bottom, number, **material))
    if not blocks:
        raise ChipInputError(path, None, "no blocks")
    check_overlaps(path, blocks)
    return blocks


def check_overlaps(path, blocks, tolerance=1e-9):
    """Blocks may touch but not overlap (by more than ``tolerance`` of the
    smaller side, which absorbs rounding in decimal coordinates)."""
    left = np.array([b.left for b in blocks])
    right = np.array([b.right for b in blocks])
    bottom = np.array([b.bottom for b in blocks])
    top = np.array([b.top for b in blocks])
    size = np.minimum(np.array([b.width for b in blocks]), np.array([b.height for b in blocks]))
    for i, block in enumerate(blocks[1:], start=1):
        slack = tolerance * np.minimum(size[:i], size[i])
        overlap_x = np.minimum(right[:i], right[i]) - np.maximum(left[:i], left[i])
        overlap_y = np.minimum(top[:i], top[i]) - np.maximum(bottom[:i], bottom[i])
        hits = np.flatnonzero((overlap_x > slack) & (overlap_y > slack))
        if hits.size:
            other = blocks[int(hits[0])]
            raise ChipInputError(path, block.line, f"block {block.name!r} overlaps block "
                                                   f"{other.name!r} (line {other.line})")


def check_inside(path, blocks, width, height, tolerance=1e-9):
    """Every block within the die [0, width] x [0, height]."""
    for b in blocks:
        slack = tolerance * max(width, height)
        if b.left < -slack or b.bottom < -slack or b.right > width + slack or b.top > height + slack:
            raise ChipInputError(path, b.line, f"block {b.name!r} ({b.left:g}..{b.right:g} x "
                                               f"{b.bottom:g}..{b.top:g} m) lies outside the die "
                                               f"(0..{width:g} x 0..{height:g} m)")


def read_power_trace(path, block_names):
    """Reads a power trace: a header line of block names, then one line of
    watts per interval with a value for each name.

    ``#`` starts a comment and blank lines are skipped.

    Parameters
    ----------
    path : str or os.PathLike
        A UTF-8 text file.
    block_names : iterable of str
        The floorplan's block names: the header may name only these, in
        any order, and need not name them all.

    Returns
    -------
    PowerTrace

    Raises
    ------
    ChipInputError
        The header names an unknown block or one twice; a line has not one
        value per name, a value is not a number, negative or above 1e6 W;
        the file has no header or no values. The message names the file
        and the line.
    """
    rows, lines, names = [], [], None
    known = set(block_names)
    for number, fields in content_lines(path):
        if names is None:
            for name in fields:
                if name not in known:
                    raise ChipInputError(path, number, f"unknown block {name!r}: not in the floorplan")
            duplicates = sorted({n for n in fields if fields.count(n) > 1})
            if duplicates:
                raise ChipInputError(path, number, f"block {duplicates[0]!r} appears twice in the header")
            names = fields
            continue
        if len(fields) != len(names):
            raise ChipInputError(path, number, f"expected {len(names)} power values (one per "
                                               f"header name), found {len(fields)}")
        row = [parse_number(path, number, text, f"power of {name!r}") for text, name in zip(fields, names)]
        negative = [name for name, watts in zip(names, row) if watts < 0.0]
        if negative:
            raise ChipInputError(path, number, f"power of {negative[0]!r} is negative")
        excessive = [name for name, watts in zip(names, row) if watts > MAX_WATTS]
        if excessive:
            raise ChipInputError(path, number, f"power of {excessive[0]!r} is above {MAX_WATTS:g} W")
        rows.append(row)
        lines.append(number)
    if names is None:
        raise ChipInputError(path, None, "empty: expected a header line of block names")
    if not rows:
        raise ChipInputError(path, None, "no power values after the header")
    return PowerTrace(names, np.array(rows, dtype=np.float64), lines)


def watts_by_block(trace, blocks):
    """The trace's watts in floorplan order; blocks the trace does not
    name draw no power.

    Parameters
    ----------
    trace : PowerTrace
        From :func:`read_power_trace`.
    blocks : list of Block
        The floorplan.

    Returns
    -------
    numpy.ndarray
        Shape (intervals, len(blocks)), W: ``out[n, i]`` is block i's power
        in interval n.
    """
    column = {name: i for i, name in enumerate(trace.names)}
    out = np.zeros((trace.watts.shape[0], len(blocks)))
    for j, block in enumerate(blocks):
        if block.name in column:
            out[:, j] = trace.watts[:, column[block.name]]
    return out
