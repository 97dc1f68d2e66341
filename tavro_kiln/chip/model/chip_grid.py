"""From a stack and a floorplan to the engine's model: cell edges, a
material per cell, the boundary conditions of the six outer faces and the
cells that carry each block's power.

Layers are stacked from the die's far side (z = 0, insulated) up to the
heat sink, which is a convective top face (h over the top layer's
footprint, or a resistance in K/W); the four sides are insulated, and so
is any face of a layer that no other layer covers. Each layer has its own
footprint (a spreader and sink larger than the die): cells are even over
the die and widen outside it, with a cell boundary on every footprint's
side; cells outside a layer's footprint have no material. A sink with a
heat capacity gets a lumped layer on top that stores it.
"""
import os
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.inputs.floorplan import check_inside
from tavro_kiln.chip.model.layout import (die_size, lateral_cells, lateral_edges, layer_cells, overlap,
                                          z_edges)
from tavro_kiln.chip.model.material_rows import MaterialRows

NO_MATERIAL = 0xFFFF
# The lumped sink layer: thin and conducting so well that it only stores heat.
SINK_LAYER_THICKNESS = 1e-3  # m
SINK_LAYER_CONDUCTIVITY = 1e5  # W/(m K)
# What a solve holds per cell at most (model, hierarchy, solver vectors, the field).
BYTES_PER_CELL = 160


@dataclass
class BlockCells:
    """The cells a block heats: column ranges into the grid, the area of
    the block inside each column (m^2), and its layer's z cells counted
    from the start of ``ChipGrid.active``."""

    name: str
    i: slice
    j: slice
    area: np.ndarray
    k: slice = slice(None)


@dataclass
class ChipGrid:
    """A chip's grid as the engine takes it: cell edges, a material per
    cell, the outer faces' boundary conditions and the cells of each block.
    Indices are ``[i, j, k]`` along x, y and z; z counts from the die's far
    side up to the heat sink.

    Attributes
    ----------
    x_edges, y_edges : numpy.ndarray
        Cell edges across the package, m, in the floorplan's coordinates:
        even over the die, widening outside it where a layer is larger.
    z_edges : numpy.ndarray
        Cell edges from the die's far side, m (nz + 1 values).
    layers : list of tuple
        ``(Layer, z slice)`` from the bottom up; a sink's lumped layer has
        ``None`` for its Layer.
    active : slice
        The z cells from the lowest active layer up to the highest (the
        active layer's, with one): ``T[:, :, grid.active]`` is their field.
    blocks : list
        The cells each block covers, in floorplan order: ``name``, index
        ranges ``i`` and ``j``, and ``area`` (m², the block's area in each
        column).
    material : numpy.ndarray
        Per cell, an index into ``material_names`` (uint16; 0xFFFF where
        there is no material).
    material_names : list of str
        Names of the materials in ``table``.
    table : numpy.ndarray
        Per material: kx, ky, kz in W/(m K) and ρc in J/(m³ K), at the
        ambient.
    silicon : numpy.ndarray
        Per material: whether its conductivity follows silicon's k(T).
    faces : list
        Six entries (x low, x high, y low, y high, z low, z high): ``None``
        for an insulated face, or ``(h, ambient)`` per face cell.
    ambient : float
        K.
    die_width, die_height : float
        m.
    die_columns : tuple of slice
        The ``(i, j)`` ranges of the cells over the die.
    """

    x_edges: np.ndarray  # m, nx + 1
    y_edges: np.ndarray
    z_edges: np.ndarray  # m from the die's far side, nz + 1
    layers: list  # (Layer, z slice) bottom to top; a lumped sink layer has Layer None
    active: slice  # z cells of the active layer
    blocks: list  # BlockCells in floorplan order
    material: np.ndarray  # per cell: index into material_names, uint16
    material_names: list
    table: np.ndarray  # per material: kx, ky, kz (W/(m K)) and rho*c (J/(m^3 K)) at the ambient
    silicon: np.ndarray  # per material: conductivity follows silicon's k(T)
    faces: list  # six entries (x low, x high, y low, y high, z low, z high): None or (h, ambient)
    ambient: float
    die_width: float
    die_height: float
    die_columns: tuple = (slice(None), slice(None))  # the (i, j) ranges of the die's cells

    @property
    def shape(self):
        """Cells along x, y and z: ``(nx, ny, nz)``."""
        return (len(self.x_edges) - 1, len(self.y_edges) - 1, len(self.z_edges) - 1)

    @property
    def cells(self):
        """Number of cells."""
        return int(np.prod(self.shape))

    def widths(self, axis):
        """Cell widths along ``axis`` (0, 1, 2 for x, y, z), m."""
        return np.diff((self.x_edges, self.y_edges, self.z_edges)[axis])

    def sources(self):
        """(cell, block, weight) of every active-layer cell a block covers:
        its share of the block's watts (by covered volume), adding up to 1."""
        nx, ny, nz = self.shape
        cells, owners, weights = [], [], []
        for number, b in enumerate(self.blocks):
            ks = np.arange(self.active.start, self.active.stop)[b.k]
            dz = self.widths(2)[ks]
            i = np.arange(b.i.start, b.i.stop)[:, None, None]
            j = np.arange(b.j.start, b.j.stop)[None, :, None]
            volume = b.area[:, :, None] * dz[None, None, :]
            keep = volume > 0.0
            cells.append(np.broadcast_to((i * ny + j) * nz + ks[None, None, :], volume.shape)[keep])
            weights.append(volume[keep] / volume.sum())
            owners.append(np.full(weights[-1].size, number, dtype=np.int32))
        if not cells:
            return np.zeros(0, np.int64), np.zeros(0, np.int32), np.zeros(0)
        return (np.concatenate(cells).astype(np.int64), np.concatenate(owners),
                np.concatenate(weights))

    def power_density(self, watts):
        """W/m^3 in each cell for ``watts[i]`` in block i."""
        cell, block, weight = self.sources()
        power = np.zeros(self.cells)
        np.add.at(power, cell, weight * np.asarray(watts, dtype=np.float64)[block])
        volume = (self.widths(0)[:, None, None] * self.widths(1)[None, :, None]
                  * self.widths(2)[None, None, :]).ravel()
        return (power / volume).reshape(self.shape)

    def powered_layers(self):
        """(layer name, its z cells, its BlockCells) of each layer whose
        blocks draw power, bottom first."""
        return [(layer.name, zs, [b for b in self.blocks if self.active.start + b.k.start == zs.start])
                for layer, zs in self.layers if layer is not None and layer.active]

    def conductivity(self, axis=2):
        """Per cell, the conductivity along ``axis`` at the ambient (NaN
        where there is no material)."""
        values = np.append(self.table[:, axis], np.nan)
        return values[np.where(self.material == NO_MATERIAL, len(self.table), self.material)]

    def layer_numbers(self):
        """Per cell, its layer's number from 1 at the bottom."""
        numbers = np.zeros(self.shape[2], dtype=np.int32)
        for number, (_, zs) in enumerate(self.layers, start=1):
            numbers[zs] = number
        return np.broadcast_to(numbers, self.shape)


def check_memory(shape):
    """Refuses a grid the machine cannot hold, before anything is allocated."""
    cells = int(np.prod(shape))
    needed = cells * BYTES_PER_CELL
    try:
        available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        available = None
    if cells >= 2**32 or (available is not None and needed > available):
        have = f"; {available / 1e9:.1f} GB are free" if available is not None else ""
        raise MemoryError(f"a grid of {' x '.join(map(str, shape))} = {cells:,} cells needs about "
                          f"{needed / 1e9:.1f} GB{have}: use a smaller --nx/--ny or fewer cells per layer")


def build_grid(stack, blocks, temperature_dependent=False):
    """The grid of ``stack`` with the floorplan ``blocks`` in its active
    layer.

    Over the die the cells are uniform: ``stack.nx`` by ``stack.ny`` (one
    given alone, the other follows the die's shape), or 64 along the
    longer side. Layers larger than the die (a spreader, a sink) get cells
    that widen outside it, with a cell edge on every footprint's side;
    cells outside a layer's footprint have no material. Along z each
    layer's thickness is split evenly into its own cells: its ``cells``, 2
    for the active layer, or about cubic cells (1 to 16).

    Parameters
    ----------
    stack : Stack
        Layers and their footprints, heat sink, ambient, die size and grid
        settings.
    blocks : list of Block
        The floorplan; the die is the stack's ``[die]`` or the blocks'
        extent.
    temperature_dependent : bool, optional
        Refuse materials other than silicon whose conductivity is a
        function of temperature.

    Returns
    -------
    ChipGrid

    Raises
    ------
    ChipInputError
        A block lies outside the die.
    ValueError
        The active layer does not cover exactly the die, or a material
        other than silicon has a temperature-dependent conductivity while
        ``temperature_dependent`` is set.
    MemoryError
        The grid would not fit in the memory available.
    """
    width, height = die_size(stack, blocks)
    # A block past the die's edge would lose part of its power; blocks made
    # in code have no file, so the message names none.
    check_inside("floorplan", blocks, width, height)
    powered = powered_layers(stack, blocks)
    nx, ny = lateral_cells(stack, width, height)
    prints = [layer.footprint(width, height) for layer in stack.layers]
    for number, _ in powered:
        if prints[number] != (0.0, width, 0.0, height):
            raise ValueError(f"layer {stack.layers[number].name!r}: an active layer covers the die")
    x_sides = [side for p in prints for side in p[:2]]
    y_sides = [side for p in prints for side in p[2:]]
    x_edges = lateral_edges(width, nx, min(x_sides), max(x_sides), x_sides)
    y_edges = lateral_edges(height, ny, min(y_sides), max(y_sides), y_sides)
    first_i, first_j = int(np.searchsorted(x_edges, 0.0)), int(np.searchsorted(y_edges, 0.0))
    die_columns = (slice(first_i, first_i + nx), slice(first_j, first_j + ny))
    cell_width = min(width / nx, height / ny)
    layers = list(stack.layers)
    counts = [layer_cells(layer, cell_width) for layer in layers]
    if stack.sink_heat_capacity:
        layers.append(None)
        counts.append(1)
        prints.append(prints[-1])
    columns = (len(x_edges) - 1, len(y_edges) - 1)
    check_memory((*columns, sum(counts)))
    zs_edges = z_edges([SINK_LAYER_THICKNESS if layer is None else layer.thickness for layer in layers], counts)
    x_mid, y_mid = (x_edges[:-1] + x_edges[1:]) / 2, (y_edges[:-1] + y_edges[1:]) / 2
    rows = MaterialRows(stack, temperature_dependent)
    material = np.full((*columns, sum(counts)), NO_MATERIAL, dtype=np.uint16)
    top = prints[-1]
    top_area = (top[1] - top[0]) * (top[3] - top[2])
    placed, z = [], 0
    for layer, count, footprint in zip(layers, counts, prints):
        zs = slice(z, z + count)
        if layer is None:
            k = SINK_LAYER_CONDUCTIVITY
            index = rows.add("heat sink", k, k, k, stack.sink_heat_capacity / (top_area * SINK_LAYER_THICKNESS))
        else:
            index = rows.of_layer(layer)
        material[:, :, zs][inside(x_mid, y_mid, *footprint)] = index
        for block in (layer.floorplan if layer is not None else ()):
            if block.conductivity is not None:
                region = inside(x_mid, y_mid, block.left, block.right, block.bottom, block.top)
                material[:, :, zs][region & inside(x_mid, y_mid, *footprint)] = rows.of_block(layer, block)
        placed.append((layer, zs))
        z += count
    first, last = placed[powered[0][0]][1], placed[powered[-1][0]][1]
    active = slice(first.start, last.stop)
    covered = []
    for number, layer_blocks in powered:
        zs = placed[number][1]
        for cells in block_cells(layer_blocks, x_edges, y_edges):
            cells.k = slice(zs.start - active.start, zs.stop - active.start)
            covered.append(cells)
    faces = [None] * 6
    h = 1.0 / (stack.sink_resistance * top_area) if stack.sink_resistance else stack.sink_conductance
    faces[5] = convective_face(material[:, :, -1], h, stack.ambient)
    if stack.board_conductance or stack.board_resistance:
        bottom = prints[0]
        h = (1.0 / (stack.board_resistance * (bottom[1] - bottom[0]) * (bottom[3] - bottom[2]))
             if stack.board_resistance else stack.board_conductance)
        faces[4] = convective_face(material[:, :, 0], h, stack.board_ambient or stack.ambient)
    table, silicon = rows.table()
    return ChipGrid(x_edges, y_edges, zs_edges, placed, active, covered, material, rows.names, table, silicon,
                    faces, stack.ambient, width, height, die_columns)


def convective_face(plane, h, ambient):
    """(h, ambient) per cell of an outer z face: h where the plane has material."""
    present = plane != NO_MATERIAL
    return np.where(present, h, 0.0).ravel(), np.full(present.size, float(ambient))


def inside(x_mid, y_mid, left, right, bottom, top):
    """Columns whose centres lie in the rectangle."""
    return ((x_mid > left) & (x_mid < right))[:, None] & ((y_mid > bottom) & (y_mid < top))[None, :]


def powered_layers(stack, blocks):
    """[(layer number, its blocks)] of the active layers, bottom first: each
    active layer's own floorplan, or ``blocks`` in the only active layer."""
    active = [(number, layer) for number, layer in enumerate(stack.layers) if layer.active]
    if any(layer.floorplan for _, layer in active):
        bare = [layer.name for _, layer in active if not layer.floorplan]
        if bare:
            raise ValueError(f"active layer {bare[0]!r} has no floorplan while others have theirs")
        if [b.name for b in blocks] != [b.name for b in stack.power_blocks()]:
            raise ValueError("a stack whose active layers have floorplans runs with stack.power_blocks()")
        return [(number, list(layer.floorplan)) for number, layer in active]
    if len(active) != 1:
        raise ValueError(f"{len(active)} active layers: give each its own floorplan, or mark one active")
    return [(active[0][0], list(blocks))]


def block_cells(blocks, x_edges, y_edges):
    result = []
    for b in blocks:
        ox, oy = overlap(x_edges, b.left, b.right), overlap(y_edges, b.bottom, b.top)
        i, j = np.flatnonzero(ox > 0.0), np.flatnonzero(oy > 0.0)
        area = np.outer(ox[i[0]:i[-1] + 1], oy[j[0]:j[-1] + 1])
        result.append(BlockCells(b.name, slice(int(i[0]), int(i[-1]) + 1), slice(int(j[0]), int(j[-1]) + 1), area))
    return result
