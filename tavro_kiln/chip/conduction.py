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


def held_only_outside(model):
    """True when the held cells are exactly the grid's outer faces, which
    the solver holds anyway: then it needs no boundary codes."""
    inside = (slice(1, -1),) * 3
    return bool(model.held.all() if min(model.shape) <= 2 else
                not model.held[inside].any() and model.held.sum() == model.held.size - model.held[inside].size)


def harmonic_face(k_low, k_high):
    """Face conductivity between two cells of equal size: 2/(1/a + 1/b);
    0 next to a zero, 2a next to an infinite one."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return 2.0 / (1.0 / k_low + 1.0 / k_high)


@dataclass
class FaceCoupling:
    """Face conductances over d^2 (W/(m^3 K)) and the solver's own ones.

    own[i]         the solver's per-cell conductivity (one number for all axes)
    runs           (axis, box, up, down): a box of cells (slices into the grid)
                   and, for each cell in it, face minus own coupling towards
                   the next (up) and previous (down) cell along ``axis``;
                   together the boxes hold every cell with a lagged part
    diagonal[i]    the larger of the solver's and the model's sum of couplings
                   (the explicit stability limit is capacity / diagonal)
    """

    own: np.ndarray
    runs: list
    diagonal: np.ndarray
    couplings: list = None  # per axis, the model's face couplings
    scratch: np.ndarray = None  # as many cells as the largest box


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


def face_coupling(model, own, faces=None, stability=True):
    """FaceCoupling of ``model`` for the solver's per-cell conductivity
    ``own``; without ``stability``, no diagonal (the steady multigrid
    does not need it)."""
    free = ~model.held
    spacing = tuple(model.spacing)
    faces = face_couplings(model) if faces is None else faces
    own_sum = np.zeros(model.shape) if stability else None
    face_sum = np.zeros(model.shape) if stability else None
    runs = []
    for axis in range(3):
        o = np.moveaxis(own, axis, 0)
        f = np.moveaxis(free, axis, 0)
        g = np.moveaxis(faces[axis], axis, 0)  # face between planes p and p+1
        own_coupling = o[1:-1] * (1.0 / (spacing[axis] * spacing[axis]))
        up = lagged_part(f[1:-1], g[1:], own_coupling)
        down = lagged_part(f[1:-1], g[:-1], own_coupling)
        if stability:
            np.moveaxis(own_sum, axis, 0)[1:-1] += 2.0 * own_coupling
            np.moveaxis(face_sum, axis, 0)[1:-1] += np.where(f[1:-1], g[1:] + g[:-1], 0.0)
        for box in lagged_boxes((up != 0.0) | (down != 0.0)):
            grid_box = [slice(None)] * 3
            grid_box[axis] = slice(box[0].start + 1, box[0].stop + 1)
            others = [b for b in range(3) if b != axis]
            grid_box[others[0]], grid_box[others[1]] = box[1], box[2]
            runs.append((axis, tuple(grid_box), np.moveaxis(up[box], 0, axis).copy(),
                         np.moveaxis(down[box], 0, axis).copy()))
    diagonal = np.where(free, np.maximum(own_sum, face_sum), 0.0) if stability else None
    largest = max((up.size for _, _, up, _ in runs), default=0)
    return FaceCoupling(own=own, runs=runs, diagonal=diagonal, couplings=faces, scratch=np.empty(largest))


def lagged_boxes(mask):
    """Boxes (tuples of slices) that together hold every True of ``mask``,
    axis 0 being the direction of the faces. Lagged parts sit on a few
    planes (interfaces, thin layers) and on the outermost free planes
    (next to the held sides): those two end planes along axis 0 get a box
    each, and the rest is cut into slabs along whichever axis leaves the
    fewest cells."""
    boxes = []
    n = mask.shape[0]
    for p in sorted({0, n - 1}):
        box = bounding_box(mask[p:p + 1], offset=(p, 0, 0))
        if box is not None:
            boxes.append(box)
    inner = mask[1:n - 1]
    if inner.size == 0 or not inner.any():
        return boxes
    best = None
    for axis in range(3):
        planes = np.flatnonzero(np.moveaxis(inner, axis, 0).any(axis=(1, 2)))
        cells = len(planes) * inner.size // inner.shape[axis]
        if best is None or cells < best[0]:
            best = (cells, axis, planes)
    _, axis, planes = best
    for start, stop in contiguous_runs(planes):
        box = [slice(None)] * 3
        box[axis] = slice(start, stop)
        tight = bounding_box(inner[tuple(box)], offset=tuple(b.start or 0 for b in box))
        boxes.append(tuple(slice(s.start + (1 if a == 0 else 0), s.stop + (1 if a == 0 else 0))
                           for a, s in enumerate(tight)))
    return boxes


def bounding_box(mask, offset):
    """Smallest box holding every True of ``mask`` (None if there is none),
    as slices shifted by ``offset``."""
    if not mask.any():
        return None
    box = []
    for axis in range(3):
        hits = np.flatnonzero(np.moveaxis(mask, axis, 0).any(axis=(1, 2)))
        box.append(slice(int(hits[0]) + offset[axis], int(hits[-1]) + 1 + offset[axis]))
    return tuple(box)


def lagged_part(free, face, own):
    """face - own on free cells; differences at rounding level (a uniform
    region, where own was computed from the faces) are exactly zero."""
    part = face - own
    keep = np.abs(part) > 1e-12 * np.abs(own)
    keep &= free
    part *= keep
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
    for axis, box, up, down in faces.runs:
        centre = T[box]
        difference = faces.scratch[:up.size].reshape(up.shape)
        for part, step in ((up, 1), (down, -1)):
            neighbour = list(box)
            neighbour[axis] = slice(box[axis].start + step, box[axis].stop + step)
            np.subtract(T[tuple(neighbour)], centre, out=difference)
            difference *= part
            out[box] += difference
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
    for axis, g in enumerate(face_couplings(model)):
        t = np.moveaxis(T, axis, 0)
        f = np.moveaxis(free, axis, 0)
        r = np.moveaxis(received, axis, 0)
        flow = np.moveaxis(g, axis, 0) * (t[:-1] - t[1:])  # plane p to p+1
        r[1:] += np.where(f[:-1] & ~f[1:], flow, 0.0)
        r[:-1] -= np.where(f[1:] & ~f[:-1], flow, 0.0)
    return received
