"""Spreading resistance of a centred square heat source on a square plate:
uniform flux q over the source (side a) on the plate's bottom face
(side c, thickness t, conductivity k), the rest of that face and the sides
insulated, the top face convecting with h to the fluid. Separation of
variables in cosine modes cos(m pi x / c) cos(n pi y / c): a mode of
wavenumber beta carries flux amplitude Q to a surface temperature
Q phi(beta) / (k beta), phi = (beta + (h/k) tanh(beta t)) /
(beta tanh(beta t) + h/k); the mean mode adds the 1-D t/k + 1/h. The
result is the rise of the source's mean temperature per watt."""
import math

import numpy as np


def source_resistance(a, c, t, k, h, terms=400):
    m = np.arange(terms)
    delta = m * math.pi / c
    with np.errstate(divide="ignore", invalid="ignore"):
        # Cosine coefficient of the source's indicator along one axis, and
        # the mode's mean over the source.
        coefficient = np.where(m == 0, a / c, 4 / (m * math.pi) * np.cos(m * math.pi / 2) * np.sin(delta * a / 2))
        mean = np.where(m == 0, 1.0, 2 / (a * delta) * np.cos(m * math.pi / 2) * np.sin(delta * a / 2))
        weight = coefficient * mean
        beta = np.hypot(delta[:, None], delta[None, :])
        tanh = np.tanh(beta * t)
        rise = (beta + h / k * tanh) / (beta * tanh + h / k) / (k * beta)
    rise[0, 0] = t / k + 1 / h
    return float((weight[:, None] * weight[None, :] * rise).sum()) / (a * a)
