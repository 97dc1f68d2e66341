"""Cell counts and cell edges of a chip's grid: uniform cells across the
die, and along z each layer's thickness split into its own cells."""
import numpy as np

from tavro_kiln.chip.inputs.numbers import MAX_CELLS

DEFAULT_LATERAL_CELLS = 64
DEFAULT_ACTIVE_CELLS = 2
# A passive layer without a cell count gets about cubic cells, between these.
MIN_LAYER_CELLS, MAX_LAYER_CELLS = 1, 16


def die_size(stack, blocks):
    width = stack.die_width or max(b.right for b in blocks)
    height = stack.die_height or max(b.top for b in blocks)
    return width, height


def lateral_cells(stack, width, height):
    """(nx, ny): as the stack asks, one of them following the die's shape,
    or DEFAULT_LATERAL_CELLS along the longer side. A count that follows
    the shape is held to MAX_CELLS like a given one: a 1 um x 100 mm die
    with nx = 8 would otherwise ask for 800,000 cells along y."""
    if stack.nx and stack.ny:
        return stack.nx, stack.ny
    if stack.nx:
        nx, ny = stack.nx, max(1, round(stack.nx * height / width))
    elif stack.ny:
        nx, ny = max(1, round(stack.ny * width / height)), stack.ny
    elif width >= height:
        nx, ny = DEFAULT_LATERAL_CELLS, max(1, round(DEFAULT_LATERAL_CELLS * height / width))
    else:
        nx, ny = max(1, round(DEFAULT_LATERAL_CELLS * width / height)), DEFAULT_LATERAL_CELLS
    if max(nx, ny) > MAX_CELLS:
        given, derived = ("nx", "ny") if ny > MAX_CELLS else ("ny", "nx")
        raise ValueError(f"the die's shape ({width:g} x {height:g} m) asks for {max(nx, ny):,} cells along "
                         f"{derived[1]} to keep cells square with {given} = {min(nx, ny)}; at most {MAX_CELLS} "
                         f"fit along a side: give --{derived} (or [grid] {derived}) as well")
    return nx, ny


def layer_cells(layer, cell_width):
    """Cells across a layer's thickness: its own count, the active layer's
    default, or about cubic cells (a thin film needs one: heat crosses it
    along a straight line)."""
    if layer.cells:
        return layer.cells
    if layer.active:
        return DEFAULT_ACTIVE_CELLS
    return int(np.clip(round(layer.thickness / cell_width), MIN_LAYER_CELLS, MAX_LAYER_CELLS))


def z_edges(thicknesses, counts):
    """Cell edges along z from the bottom, each layer split evenly."""
    edges = [np.zeros(1)]
    bottom = 0.0
    for thickness, count in zip(thicknesses, counts):
        edges.append(bottom + np.arange(1, count + 1) * (thickness / count))
        bottom += thickness
    return np.concatenate(edges)


def overlap(edges, low, high):
    """Length of [low, high] inside each cell between consecutive edges."""
    return np.clip(np.minimum(edges[1:], high) - np.maximum(edges[:-1], low), 0.0, None)


# Outside the die, each cell is at most this much wider than the one before.
LATERAL_GROWTH = 1.3


def grow(start, stops, width, growth=LATERAL_GROWTH):
    """Edges from ``start`` through each of the increasing ``stops``, the
    cells widening by ``growth`` from ``width``; a stop is always an edge
    (a footprint's side falls on a cell boundary)."""
    edges, position = [], start
    for stop in stops:
        while position < stop:
            width *= growth
            following = position + width
            if following > stop or stop - following < 0.5 * width:
                following = stop
            edges.append(following)
            position = following
    return edges


def lateral_edges(die_side, cells, low, high, sides):
    """Cell edges along one lateral axis: ``cells`` equal cells over the die
    [0, die_side], then cells widening out to ``low`` and ``high``, with an
    edge on every footprint side in ``sides``."""
    inner = np.linspace(0.0, die_side, cells + 1)
    width = die_side / cells
    right = grow(die_side, sorted({s for s in sides if s > die_side} | {high}) if high > die_side else [], width)
    left = grow(0.0, sorted({-s for s in sides if s < 0.0} | {-low}) if low < 0.0 else [], width)
    return np.concatenate([-np.array(left[::-1]), inner, np.array(right)])
