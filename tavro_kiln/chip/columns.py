"""Exact vertical equilibrium of every column, its neighbours held at the
current field: a z-line relaxation of the conservative model.

The explicit solver is slow at what layered stacks are made of: strong
coupling across thin cells (dz much below dx), and resistive interfaces,
where its lagged correction pins cells to their old values during a
chunk. Solving each column's tridiagonal system (one Thomas sweep over all
columns at once) settles both; the solver's steps then smooth sideways.

The sweep runs on a copy with z as the first axis, so that each step of it
works on one contiguous plane: in the field's own layout the same loop
reads every cache line once per z and is three times slower.
"""
from dataclasses import dataclass

import numpy as np

FREE = (slice(1, -1), slice(1, -1), slice(1, -1))


@dataclass
class ColumnSystem:
    """The columns' tridiagonal systems over the free box, factorised.

    lateral      (coupling, neighbour slice) for the four sideways faces of
                 each free cell, W/(m^3 K)
    bottom, top  couplings of the lowest and highest free cell to the held
                 plane beyond it (2-D)
    lower, inverse, upper_ratio   Thomas factors, z first (nz, nx, ny)
    """

    lateral: list
    bottom: np.ndarray
    top: np.ndarray
    lower: np.ndarray
    inverse: np.ndarray
    upper_ratio: np.ndarray
    rhs: np.ndarray  # scratch in the field's layout
    work: np.ndarray  # scratch, z first
    row: np.ndarray  # scratch plane


def column_system(couplings):
    """Factorises the columns' tridiagonal systems for a model's face
    couplings (conduction.face_couplings). The free cells must be the box
    [1:-1, 1:-1, 1:-1] (as in the chip grid)."""
    gx, gy, gz = couplings
    lateral = [(gx[:-1, 1:-1, 1:-1], (slice(0, -2), slice(1, -1), slice(1, -1))),
               (gx[1:, 1:-1, 1:-1], (slice(2, None), slice(1, -1), slice(1, -1))),
               (gy[1:-1, :-1, 1:-1], (slice(1, -1), slice(0, -2), slice(1, -1))),
               (gy[1:-1, 1:, 1:-1], (slice(1, -1), slice(2, None), slice(1, -1)))]
    diagonal = sum(g for g, _ in lateral) + (gz[:, :, :-1] + gz[:, :, 1:])[1:-1, 1:-1, :]
    diagonal = np.ascontiguousarray(diagonal.transpose(2, 0, 1))
    below = np.ascontiguousarray(gz[1:-1, 1:-1, :-1].transpose(2, 0, 1))  # free z to z - 1
    above = np.ascontiguousarray(gz[1:-1, 1:-1, 1:].transpose(2, 0, 1))  # free z to z + 1
    n = len(diagonal)
    lower = np.zeros(diagonal.shape)
    lower[1:] = below[1:]
    inverse = np.empty(diagonal.shape)
    upper_ratio = np.zeros(diagonal.shape)
    for z in range(n):
        inverse[z] = diagonal[z]
        if z > 0:
            inverse[z] -= lower[z] * upper_ratio[z - 1]
        np.divide(1.0, inverse[z], out=inverse[z])
        if z < n - 1:
            np.multiply(above[z], inverse[z], out=upper_ratio[z])
    return ColumnSystem(lateral, below[0], above[-1], lower, inverse, upper_ratio,
                        np.empty(diagonal.shape[1:] + (n,)), np.empty(diagonal.shape),
                        np.empty(diagonal.shape[1:]))


def relax_columns(system, T, heat):
    """Replaces every free column of ``T`` (in place) by its exact
    equilibrium given the lateral neighbours and held cells of ``T`` and
    the heat ``heat`` (W/m^3); returns ``T``."""
    rhs, work, row = system.rhs, system.work, system.row
    rhs[...] = heat[FREE]
    for coupling, neighbour in system.lateral:
        rhs += np.multiply(coupling, T[neighbour], out=work.reshape(rhs.shape))
    rhs[:, :, 0] += system.bottom * T[1:-1, 1:-1, 0]
    rhs[:, :, -1] += system.top * T[1:-1, 1:-1, -1]
    work[...] = rhs.transpose(2, 0, 1)
    lower, inverse, upper_ratio = system.lower, system.inverse, system.upper_ratio
    work[0] *= inverse[0]
    for z in range(1, len(work)):
        work[z] += np.multiply(lower[z], work[z - 1], out=row)
        work[z] *= inverse[z]
    for z in range(len(work) - 2, -1, -1):
        work[z] += np.multiply(upper_ratio[z], work[z + 1], out=row)
    T[FREE] = work.transpose(1, 2, 0)
    return T
