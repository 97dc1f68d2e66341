"""Moving fields between a chip grid and one with fewer cells across the
die and the same cells along z: heat by the share of each fine cell that a
coarse cell covers (watts are kept), temperatures by linear interpolation
between cell centres.

Positions are in units of the fine cells along an axis; the coarse grid
spans the same die, so its cells are ``fine / coarse`` of them wide.
"""
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class AxisTransfer:
    fine: int  # free cells along the axis
    coarse: int
    starts: np.ndarray  # first fine cell that starts in each coarse cell
    share: np.ndarray  # share of each fine cell in the coarse cell it starts in
    straddle: np.ndarray  # fine cells reaching into the next coarse cell
    spill: np.ndarray  # that next coarse cell
    low: np.ndarray  # per fine cell: the coarse cell centred at or before it
    weight: np.ndarray  # per fine cell: interpolation weight of low + 1


def axis_transfer(fine, coarse):
    width = fine / coarse
    i = np.arange(fine)
    home = np.minimum((i // width).astype(int), coarse - 1)
    share = np.clip((home + 1) * width - i, 0.0, 1.0)
    starts = np.flatnonzero(np.diff(home, prepend=-1))
    straddle = np.flatnonzero(share < 1.0)
    if coarse == 1:
        low, weight = np.zeros(fine, int), np.zeros(fine)
    else:
        centres = (np.arange(coarse) + 0.5) * width - 0.5
        low = np.clip(np.searchsorted(centres, i, side="right") - 1, 0, coarse - 2)
        weight = np.clip((i - centres[low]) / width, 0.0, 1.0)
    return AxisTransfer(fine, coarse, starts, share, straddle, home[straddle] + 1, low, weight)


def restrict_axis(values, t, axis):
    """Sums of fine cells' shares over each coarse cell along ``axis``."""
    if t.fine == 2 * t.coarse:  # pairs
        pairs = values.shape[:axis] + (t.coarse, 2) + values.shape[axis + 1:]
        return values.reshape(pairs).sum(axis=axis + 1)
    shape = [1] * values.ndim
    shape[axis] = t.fine
    out = np.add.reduceat(values * t.share.reshape(shape), t.starts, axis=axis)
    if t.straddle.size:
        shape[axis] = len(t.straddle)
        rest = np.take(values, t.straddle, axis=axis) * (1.0 - t.share[t.straddle]).reshape(shape)
        target = [slice(None)] * values.ndim
        target[axis] = t.spill  # each coarse cell takes at most one fine cell's spill
        out[tuple(target)] += rest
    return out


def prolong_axis(values, t, axis):
    """Linear interpolation from coarse to fine cell centres along ``axis``
    (constant beyond the outermost coarse centres)."""
    if t.coarse == 1:
        return np.repeat(values, t.fine, axis=axis)
    if t.fine == 2 * t.coarse:  # a fine pair sits at 1/4 and 3/4 between coarse centres

        def along(part):
            index = [slice(None)] * values.ndim
            index[axis] = part
            return tuple(index)

        padded = np.concatenate((values[along(slice(0, 1))], values, values[along(slice(-1, None))]),
                                axis=axis)
        out = np.empty(values.shape[:axis] + (t.fine,) + values.shape[axis + 1:])
        near = 0.75 * values
        for half, neighbours in ((slice(0, None, 2), slice(0, -2)), (slice(1, None, 2), slice(2, None))):
            np.multiply(padded[along(neighbours)], 0.25, out=out[along(half)])
            out[along(half)] += near
        return out
    shape = [1] * values.ndim
    shape[axis] = t.fine
    low = np.take(values, t.low, axis=axis)
    high = np.take(values, t.low + 1, axis=axis)
    high -= low
    high *= t.weight.reshape(shape)
    high += low
    return high


def restrict(values, x, y):
    """Heat density on the free box of a fine grid (W per m^3 of its cells)
    to that of the coarse grid: each coarse cell gets the watts of the fine
    cells it covers, over its own volume."""
    out = restrict_axis(restrict_axis(values, x, 0), y, 1)
    out *= (x.coarse / x.fine) * (y.coarse / y.fine)
    return out


def average(values, x, y):
    """Mean of a field (a temperature) over each coarse cell."""
    return restrict(values, x, y)


def prolong(values, x, y):
    """Coarse free-box values interpolated to the fine free box."""
    return prolong_axis(prolong_axis(values, x, 0), y, 1)
