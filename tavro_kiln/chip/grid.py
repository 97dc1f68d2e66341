"""From a stack, a floorplan and block powers to the solver's grid.

Layout along z (index 0 at the bottom): one held insulating plane, the
stack's layers bottom to top, the heat sink as one cell of conductance h
per unit area (conductivity h*dz), and the held ambient plane on top. One
held insulating cell surrounds the die on the four sides. Held insulating
cells conduct ``padding_conductivity``: with the face couplings of
conduction.py a die cell loses 2*k_pad/d W/(m^2 K) through them (zero when
k_pad is zero), which is how the insulated faces are approximated.

dz is the active layer's thickness over its cell count; another layer gets
about one dz per cell, and a cell that stands for a thickness s*dz
conducts k*s sideways and k/s across and stores rho*c*s per grid volume.
"""
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.conduction import ConductionModel
from tavro_kiln.chip.inputs.floorplan import check_inside
from tavro_kiln.chip.inputs.materials import value_at, values_at

DEFAULT_LATERAL_CELLS = 64
DEFAULT_ACTIVE_CELLS = 2
SINK_BASE_RHO_C = 2700.0 * 897.0  # the sink cell is a thin aluminium base unless a capacity is given


@dataclass
class BlockCells:
    """The active-layer columns a block covers: index ranges into the grid
    and the covered area of each column (m^2)."""

    name: str
    i: slice
    j: slice
    area: np.ndarray
    per_watt: np.ndarray = None  # W/m^3 in each column of the active layer per watt of the block


@dataclass
class ChipGrid:
    model: ConductionModel
    die_width: float
    die_height: float
    layers: list  # (Layer, z slice, scale) bottom to top
    active: slice  # z cells of the active layer
    sink_z: int
    blocks: list  # BlockCells, in floorplan order
    temperature_dependent: np.ndarray  # cells whose conductivity follows k(T)
    cell_material: list  # per z plane of the die region: material name

    @property
    def interior(self):
        nx, ny, _ = self.model.shape
        return slice(1, nx - 1), slice(1, ny - 1)


def die_size(stack, blocks):
    width = stack.die_width or max(b.right for b in blocks)
    height = stack.die_height or max(b.top for b in blocks)
    return width, height


def lateral_cells(stack, width, height):
    if stack.nx and stack.ny:
        return stack.nx, stack.ny
    if stack.nx:
        return stack.nx, max(1, round(stack.nx * height / width))
    if stack.ny:
        return max(1, round(stack.ny * width / height)), stack.ny
    if width >= height:
        return DEFAULT_LATERAL_CELLS, max(1, round(DEFAULT_LATERAL_CELLS * height / width))
    return max(1, round(DEFAULT_LATERAL_CELLS * width / height)), DEFAULT_LATERAL_CELLS


def overlap(edges, low, high):
    """Length of [low, high] inside each cell between consecutive edges."""
    return np.clip(np.minimum(edges[1:], high) - np.maximum(edges[:-1], low), 0.0, None)


def block_cells(blocks, nx, ny, dx, dy):
    xs, ys = np.arange(nx + 1) * dx, np.arange(ny + 1) * dy
    result = []
    for b in blocks:
        ox, oy = overlap(xs, b.left, b.right), overlap(ys, b.bottom, b.top)
        i = np.flatnonzero(ox > 0.0)
        j = np.flatnonzero(oy > 0.0)
        if i.size == 0 or j.size == 0:  # thinner than rounding: give it its nearest cell
            i = np.array([min(nx - 1, int((b.left + b.right) / 2 / dx))])
            j = np.array([min(ny - 1, int((b.bottom + b.top) / 2 / dy))])
            ox[i], oy[j] = b.width, b.height
        area = np.outer(ox[i[0]:i[-1] + 1], oy[j[0]:j[-1] + 1])
        result.append(BlockCells(b.name, slice(i[0] + 1, i[-1] + 2), slice(j[0] + 1, j[-1] + 2), area))
    return result


def build_grid(stack, blocks, watts):
    """The grid for ``stack`` with ``watts[i]`` in ``blocks[i]``, everything
    at the ambient temperature (update_conductivity re-evaluates
    temperature-dependent materials at a field)."""
    width, height = die_size(stack, blocks)
    # A block past the die's edge would have its power moved into the edge
    # cells; blocks made in code have no file, so the message names none.
    check_inside("floorplan", blocks, width, height)
    nx, ny = lateral_cells(stack, width, height)
    dx, dy = width / nx, height / ny
    active = stack.active_layer
    dz = active.thickness / (active.cells or DEFAULT_ACTIVE_CELLS)
    counts = [layer.cells or max(1, round(layer.thickness / dz)) if not layer.active
              else (layer.cells or DEFAULT_ACTIVE_CELLS) for layer in stack.layers]
    nz = sum(counts) + 3
    shape = (nx + 2, ny + 2, nz)
    ambient = stack.ambient
    T = np.full(shape, ambient)
    held = np.ones(shape, bool)
    held[1:-1, 1:-1, 1:-1] = False
    kx, ky, kz = (np.full(shape, stack.padding_conductivity) for _ in range(3))
    capacity = np.ones(shape)
    dependent = np.zeros(shape, bool)
    inside = (slice(1, -1), slice(1, -1))
    layers, materials, z = [], [], 1
    active_z = None
    for layer, count in zip(stack.layers, counts):
        zs = slice(z, z + count)
        scale = layer.thickness / (count * dz)
        material = stack.materials[layer.material]
        region = inside + (zs,)
        if material.temperature_dependent:
            k = values_at(material.conductivity, T[region])
            dependent[region] = True
        else:
            k = value_at(material.conductivity, ambient)
        kx[region] = ky[region] = k * scale
        kz[region] = k / scale
        capacity[region] = material.density * value_at(material.specific_heat, ambient) * scale
        layers.append((layer, zs, scale))
        materials += [layer.name] * count
        if layer.active:
            active_z = zs
        z += count
    area = width * height
    h = 1.0 / (stack.sink_resistance * area) if stack.sink_resistance else stack.sink_conductance
    sink = inside + (z,)
    kx[sink] = ky[sink] = kz[sink] = h * dz
    capacity[sink] = (stack.sink_heat_capacity / (area * dz) if stack.sink_heat_capacity
                      else SINK_BASE_RHO_C)
    top = inside + (z + 1,)
    kx[top] = ky[top] = 0.0
    kz[top] = np.inf  # the ambient touches the sink cell's top face
    cells = block_cells(blocks, nx, ny, dx, dy)
    for covered in cells:
        # The block's watts spread evenly over its area and the active layer's thickness.
        covered.per_watt = covered.area / (covered.area.sum() * dx * dy * active.thickness)
    model = ConductionModel((dx, dy, dz), T, held, (kx, ky, kz), capacity, np.zeros(shape))
    grid = ChipGrid(model, width, height, layers, active_z, z, cells, dependent, materials)
    model.power = block_power(grid, watts)
    return grid


def block_power(grid, watts):
    """Power density field (W/m^3) for ``watts[i]`` in block i."""
    power = np.zeros(grid.model.shape)
    for covered, block_watts in zip(grid.blocks, watts):
        if block_watts:
            power[covered.i, covered.j, grid.active] += (block_watts * covered.per_watt)[:, :, None]
    return power


def update_conductivity(grid, stack, T):
    """Re-evaluates temperature-dependent conductivities at field ``T``."""
    kx, ky, kz = grid.model.conductivity
    for layer, zs, scale in grid.layers:
        material = stack.materials[layer.material]
        if material.temperature_dependent:
            region = (slice(1, -1), slice(1, -1), zs)
            k = values_at(material.conductivity, T[region])
            kx[region] = ky[region] = k * scale
            kz[region] = k / scale
