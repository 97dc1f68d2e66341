"""Exact vertical equilibrium of every column, its neighbours held at the
current field: a z-line relaxation of the conservative model.

The explicit solver is slow at what layered stacks are made of: strong
coupling across thin cells (dz much below dx), and resistive interfaces,
where its lagged correction pins cells to their old values during a
chunk. Solving each column's tridiagonal system (one Thomas sweep over all
columns at once) settles both; the solver's chunks then smooth sideways.
"""
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.conduction import face_couplings


@dataclass
class ColumnSystem:
    gx: np.ndarray  # face couplings between x-neighbours, W/(m^3 K), shape (nx-1, ny, nz)
    gy: np.ndarray
    gz: np.ndarray
    lower: np.ndarray  # Thomas factors over the free z range of the interior columns
    inverse: np.ndarray
    upper_ratio: np.ndarray


def column_system(model):
    """Factorises the columns' tridiagonal systems. The free cells must be
    the box [1:-1, 1:-1, 1:-1] (as in the chip grid)."""
    gx, gy, gz = face_couplings(model) if model.faces is None else model.faces.couplings
    diagonal = (gx[:-1] + gx[1:])[:, 1:-1, 1:-1] + (gy[:, :-1] + gy[:, 1:])[1:-1, :, 1:-1] \
        + (gz[:, :, :-1] + gz[:, :, 1:])[1:-1, 1:-1, :]
    below = gz[1:-1, 1:-1, :-1].copy()  # coupling of free z to z-1 (index 0: to the held bottom)
    above = gz[1:-1, 1:-1, 1:].copy()
    n = diagonal.shape[2]
    inverse = np.empty_like(diagonal)
    upper_ratio = np.empty_like(diagonal)
    previous = np.zeros(diagonal.shape[:2])
    for z in range(n):
        lower_z = below[:, :, z] if z > 0 else 0.0
        denominator = diagonal[:, :, z] - lower_z * previous
        inverse[:, :, z] = 1.0 / denominator
        upper_ratio[:, :, z] = (above[:, :, z] if z < n - 1 else 0.0) * inverse[:, :, z]
        previous = upper_ratio[:, :, z]
    return ColumnSystem(gx, gy, gz, below, inverse, upper_ratio)


def relax_columns(model, system, T):
    """T with every interior column replaced by its exact equilibrium given
    the lateral neighbours and held cells of ``T``."""
    gx, gy, gz = system.gx, system.gy, system.gz
    c = (slice(1, -1), slice(1, -1), slice(1, -1))
    rhs = model.power[c].copy()
    rhs += gx[:-1, 1:-1, 1:-1] * T[:-2, 1:-1, 1:-1]
    rhs += gx[1:, 1:-1, 1:-1] * T[2:, 1:-1, 1:-1]
    rhs += gy[1:-1, :-1, 1:-1] * T[1:-1, :-2, 1:-1]
    rhs += gy[1:-1, 1:, 1:-1] * T[1:-1, 2:, 1:-1]
    rhs[:, :, 0] += gz[1:-1, 1:-1, 0] * T[1:-1, 1:-1, 0]
    rhs[:, :, -1] += gz[1:-1, 1:-1, -1] * T[1:-1, 1:-1, -1]
    n = rhs.shape[2]
    lower, inverse, upper_ratio = system.lower, system.inverse, system.upper_ratio
    rhs[:, :, 0] *= inverse[:, :, 0]
    for z in range(1, n):
        rhs[:, :, z] += lower[:, :, z] * rhs[:, :, z - 1]
        rhs[:, :, z] *= inverse[:, :, z]
    for z in range(n - 2, -1, -1):
        rhs[:, :, z] += upper_ratio[:, :, z] * rhs[:, :, z + 1]
    out = T.copy()
    out[c] = rhs
    return out
