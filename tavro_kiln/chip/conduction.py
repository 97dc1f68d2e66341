"""A finite-volume conduction model on the solver's grid, and the source
term that makes ``tcad_solve_3d`` integrate it.

``tcad_solve_3d`` updates a cell with its *own* conductivity on all six
faces. Between two materials that is not conservative: in a source-free
region its steady state is the discrete Laplace solution whatever the
conductivities. The model here gives every face its own conductance (the
harmonic mean of the two cells' conductivities along that axis, so a
series of layers has the series resistance) and hands the solver the
difference between those faces and the solver's own ones as a heat source,
evaluated from the current field between chunks of steps. When the field
stops changing the source is exact, so a steady state is that of the
conservative scheme.

Cells may also stand for a physical thickness other than the grid's dz
(``scale`` in the chip grid): such a cell conducts k*s sideways and k/s
across and stores rho*c*s per unit of grid volume, which is the same
finite-volume balance written on the uniform grid.
"""
from dataclasses import dataclass, field

import numpy as np

SOLVER_DENSITY = 2329.0  # the density tcad_solve_3d divides by


@dataclass
class ConductionModel:
    """Everything the solver needs, per cell, in SI units per unit of grid volume.

    spacing      (dx, dy, dz) in metres
    temperature  initial field in K; held cells keep it
    held         True where the temperature is fixed (the outer faces always are)
    conductivity (kx, ky, kz): each cell's conductivity along each axis, W/(m K);
                 np.inf for a held cell that touches its neighbour directly
    capacity     rho*c in J/(m^3 K)
    power        heat generated in W/m^3
    """

    spacing: tuple
    temperature: np.ndarray
    held: np.ndarray
    conductivity: tuple
    capacity: np.ndarray
    power: np.ndarray
    faces: "FaceCoupling" = field(default=None, repr=False)

    @property
    def shape(self):
        return self.temperature.shape


def harmonic_face(k_low, k_high):
    """Face conductivity between two cells of equal size: 2/(1/a + 1/b);
    0 next to a zero, 2a next to an infinite one."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return 2.0 / (1.0 / k_low + 1.0 / k_high)


@dataclass
class FaceCoupling:
    """Face conductances over d^2 (W/(m^3 K)) and the solver's own ones.

    own[i]         the solver's per-cell conductivity (one number for all axes)
    runs[axis]     (start, stop, up, down): a slab of interior planes along
                   ``axis`` and, for the cells in it, face minus own coupling
                   towards the next (up) and previous (down) plane
    diagonal[i]    the larger of the solver's and the model's sum of couplings
                   (the explicit stability limit is capacity / diagonal)
    """

    own: np.ndarray
    runs: list
    diagonal: np.ndarray
    couplings: list = None  # per axis, the model's face couplings
    cells: np.ndarray = None  # flat indices of the cells with a lagged part, when few
    neighbours: list = None  # per direction, their neighbours' flat indices
    parts: list = None  # per direction, the lagged coupling


ANISOTROPIC = 2.0  # conductivity ratio between axes from which a cell counts as anisotropic


def couple_faces(model):
    """Computes the face couplings of ``model`` (after any change of
    conductivity) with the solver's conductivity balanced as below, and
    keeps them as ``model.faces``."""
    model.faces = face_coupling(model, balanced_own(model, face_couplings(model)))
    return model.faces


def face_rate(model, faces):
    """Per free cell, the conductivity whose six couplings on the solver's
    grid add up to the model's six faces (0 on held cells)."""
    total = np.zeros(model.shape)
    for axis in range(3):
        g = np.moveaxis(faces[axis], axis, 0)
        t = np.moveaxis(total, axis, 0)
        t[1:] += g
        t[:-1] += g
    total /= sum(2.0 / d ** 2 for d in model.spacing)
    total[model.held] = 0.0
    return total


def balanced_own(model, faces):
    """The solver's conductivity: its six couplings add up to the model's six
    faces, so the solver relaxes each cell at the right overall rate and the
    lagged part only moves heat between faces."""
    free = ~model.held
    own = face_rate(model, faces)
    # A cell standing for a much thicker or thinner slab (see grid.py) is
    # better off with the solver carrying its stronger direction and the
    # lagged part only removing conduction from the weaker one.
    kx, kz = (np.asarray(k, dtype=np.float64) for k in (model.conductivity[0], model.conductivity[2]))
    strong, weak = np.maximum(kx, kz), np.minimum(kx, kz)
    return np.where(free & (strong > ANISOTROPIC * weak), strong, own)


def face_coupling(model, own, faces=None):
    """FaceCoupling of ``model`` for the solver's per-cell conductivity ``own``."""
    free = ~model.held
    spacing = tuple(model.spacing)
    faces = face_couplings(model) if faces is None else faces
    own_sum = np.zeros(model.shape)
    face_sum = np.zeros(model.shape)
    runs = []
    for axis in range(3):
        o = np.moveaxis(own, axis, 0)
        f = np.moveaxis(free, axis, 0)
        g = np.moveaxis(faces[axis], axis, 0)  # face between planes p and p+1
        inv = 1.0 / (spacing[axis] * spacing[axis])
        up = lagged_part(f[1:-1], g[1:], o[1:-1] * inv)
        down = lagged_part(f[1:-1], g[:-1], o[1:-1] * inv)
        np.moveaxis(own_sum, axis, 0)[1:-1] += 2.0 * o[1:-1] * inv
        np.moveaxis(face_sum, axis, 0)[1:-1] += np.where(f[1:-1], g[1:] + g[:-1], 0.0)
        active = np.flatnonzero((up != 0.0).any(axis=(1, 2)) | (down != 0.0).any(axis=(1, 2)))
        for start, stop in contiguous_runs(active):
            runs.append((axis, start + 1, stop + 1,
                         np.ascontiguousarray(up[start:stop]), np.ascontiguousarray(down[start:stop])))
    diagonal = np.where(free, np.maximum(own_sum, face_sum), 0.0)
    coupling = FaceCoupling(own=own, runs=runs, diagonal=diagonal, couplings=faces)
    list_lagged_cells(coupling, model.shape)
    return coupling


SPARSE_FRACTION = 0.4  # below this share of cells with a lagged part, gather them


def list_lagged_cells(faces, shape):
    """Where few cells carry a lagged part (layer interfaces, the padding),
    the correction gathers just those cells instead of sweeping planes."""
    parts = []
    for axis in range(3):
        for side in (0, 1):
            full = np.zeros(shape)
            for run_axis, start, stop, up, down in faces.runs:
                if run_axis == axis:
                    np.moveaxis(full, axis, 0)[start:stop] = down if side == 0 else up
            parts.append(full.ravel())
    mask = np.zeros(int(np.prod(shape)), bool)
    for part in parts:
        mask |= part != 0.0
    if mask.sum() > SPARSE_FRACTION * mask.size:
        return
    cells = np.flatnonzero(mask)
    strides = [shape[1] * shape[2], shape[2], 1]
    faces.cells = cells
    faces.neighbours = [cells + (stride if side else -stride) for stride in strides for side in (0, 1)]
    faces.parts = [part[cells] for part in parts]


def lagged_part(free, face, own):
    """face - own on free cells; differences at rounding level (a uniform
    region, where own was computed from the faces) are exactly zero."""
    part = np.where(free, face - own, 0.0)
    part[np.abs(part) <= 1e-12 * np.abs(own)] = 0.0
    return part


def face_couplings(model):
    """Per axis, the face conductance over d^2 between each pair of
    neighbours (W/(m^3 K)); zero between two held cells."""
    out = []
    for axis, (k, d) in enumerate(zip(model.conductivity, model.spacing)):
        k = np.moveaxis(np.asarray(k, dtype=np.float64), axis, 0)
        with np.errstate(invalid="ignore"):
            g = harmonic_face(k[:-1], k[1:]) / (d * d)
        held = np.moveaxis(model.held, axis, 0)
        out.append(np.moveaxis(np.where(held[:-1] & held[1:], 0.0, g), 0, axis))
    return out


def contiguous_runs(indices):
    """[2, 3, 4, 9] -> [(2, 5), (9, 10)]."""
    if len(indices) == 0:
        return []
    breaks = np.flatnonzero(np.diff(indices) != 1)
    starts = np.concatenate(([indices[0]], indices[breaks + 1]))
    stops = np.concatenate((indices[breaks] + 1, [indices[-1] + 1]))
    return list(zip(starts.tolist(), stops.tolist()))


def correction_heat(faces, T, out=None):
    """Heat (W/m^3) the model's faces carry beyond what the solver's own ones do."""
    out = np.zeros(T.shape) if out is None else out
    if faces.cells is not None:
        flat = T.ravel()
        centre = flat[faces.cells]
        heat = np.zeros(centre.shape)
        for neighbours, part in zip(faces.neighbours, faces.parts):
            heat += part * (flat[neighbours] - centre)
        out.ravel()[faces.cells] += heat
        return out
    for axis, start, stop, up, down in faces.runs:
        t = np.moveaxis(T, axis, 0)
        o = np.moveaxis(out, axis, 0)
        centre = t[start:stop]
        o[start:stop] += up * (t[start + 1:stop + 1] - centre) + down * (t[start - 1:stop - 1] - centre)
    return out


def net_heat(model, T):
    """Heat flowing into each free cell through the model's faces plus its
    power (W/m^3): zero everywhere at a steady state."""
    faces = model.faces
    d2 = [d * d for d in model.spacing]
    total = correction_heat(faces, T)
    inner = (slice(1, -1),) * 3
    c = T[inner]
    total[inner] += faces.own[inner] * ((T[2:, 1:-1, 1:-1] - 2 * c + T[:-2, 1:-1, 1:-1]) / d2[0]
                                        + (T[1:-1, 2:, 1:-1] - 2 * c + T[1:-1, :-2, 1:-1]) / d2[1]
                                        + (T[1:-1, 1:-1, 2:] - 2 * c + T[1:-1, 1:-1, :-2]) / d2[2])
    total += model.power
    total[model.held] = 0.0
    return total


def heat_into_held(model, T):
    """Per held cell, the heat (W per m^3 of one cell, i.e. times the cell
    volume gives watts) it takes from its free neighbours through the
    model's faces."""
    received = np.zeros(model.shape)
    free = ~model.held
    for axis, (k, d) in enumerate(zip(model.conductivity, model.spacing)):
        k = np.moveaxis(np.asarray(k, dtype=np.float64), axis, 0)
        t = np.moveaxis(T, axis, 0)
        f = np.moveaxis(free, axis, 0)
        r = np.moveaxis(received, axis, 0)
        with np.errstate(invalid="ignore"):  # inf * 0 between two held cells, never used
            flow = harmonic_face(k[:-1], k[1:]) / (d * d) * (t[:-1] - t[1:])  # plane p to p+1
        r[1:] += np.where(f[:-1] & ~f[1:], flow, 0.0)
        r[:-1] -= np.where(f[1:] & ~f[:-1], flow, 0.0)
    return received
