"""The engine's discretisation assembled independently as a SciPy sparse
matrix and solved directly: cell-centred finite volumes with harmonic face
conductances on a tensor-product grid, each outer face cell coupled to its
ambient through its half cell in series with a film 1 / (h A)."""
import numpy as np
import scipy.sparse as sparse
import scipy.sparse.linalg as sparse_linalg


def conductance_matrix(x_edges, y_edges, z_edges, material, table, faces):
    """(A, boundary vector g * ambient, per-cell capacity) for the model;
    ``table`` rows are (kx, ky, kz, rho_c); material 0xFFFF is empty."""
    widths = [np.diff(np.asarray(e, dtype=float)) for e in (x_edges, y_edges, z_edges)]
    shape = tuple(len(w) for w in widths)
    n = int(np.prod(shape))
    present = material != 0xFFFF
    safe = np.where(present, material, 0)
    k = [np.where(present, table[safe, axis], np.nan) for axis in range(3)]
    index = np.arange(n).reshape(shape)
    rows, cols, vals = [], [], []
    diagonal = np.zeros(n)
    for axis in range(3):
        d = widths[axis].reshape([-1 if a == axis else 1 for a in range(3)])
        others = [widths[a].reshape([-1 if b == a else 1 for b in range(3)]) for a in range(3) if a != axis]
        area = np.broadcast_to(others[0] * others[1], shape)
        half = np.broadcast_to(d, shape) / (2.0 * k[axis] * area)  # K/W of each half cell
        low = [slice(None)] * 3
        high = [slice(None)] * 3
        low[axis], high[axis] = slice(0, -1), slice(1, None)
        low, high = tuple(low), tuple(high)
        g = 1.0 / (half[low] + half[high])
        g = np.where(present[low] & present[high], g, 0.0)
        a, b = index[low].ravel(), index[high].ravel()
        g = g.ravel()
        rows += [a, b]
        cols += [b, a]
        vals += [-g, -g]
        np.add.at(diagonal, a, g)
        np.add.at(diagonal, b, g)
    source = np.zeros(n)
    for face, entry in enumerate(faces):
        if entry is None:
            continue
        h, ambient = (np.asarray(v, dtype=float).ravel() for v in entry)
        axis, end = divmod(face, 2)
        sel = [slice(None)] * 3
        sel[axis] = -1 if end else 0
        sel = tuple(sel)
        d = widths[axis][-1 if end else 0]
        others = [widths[a] for a in range(3) if a != axis]
        area = np.outer(others[0], others[1]).ravel()
        kf = k[axis][sel].ravel()
        with np.errstate(divide="ignore"):
            half = d / (2.0 * kf * area)
            film = np.where(h > 0, 1.0 / (h * area), np.inf)
            g = np.where(np.isinf(h), 1.0 / half, np.where(h > 0, 1.0 / (half + film), 0.0))
        g = np.where(present[sel].ravel(), g, 0.0)
        cells = index[sel].ravel()
        np.add.at(diagonal, cells, g)
        np.add.at(source, cells, g * np.where(g > 0, ambient, 0.0))
    volume = (widths[0][:, None, None] * widths[1][None, :, None] * widths[2][None, None, :]).ravel()
    capacity = np.where(present.ravel(), table[safe.ravel(), 3] * volume, 0.0)
    diagonal[~present.ravel()] = 1.0
    A = sparse.coo_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(n, n))
    A = (A + sparse.diags(diagonal)).tocsc()
    return A, source, capacity


def direct_steady(A, source, power):
    return sparse_linalg.spsolve(A, source + power)


def direct_step(A, source, capacity, power, T, dt):
    """One backward Euler step."""
    C = sparse.diags(capacity / dt)
    return sparse_linalg.spsolve((A + C).tocsc(), source + power + capacity / dt * T)
