"""Anderson acceleration of a fixed-point map x -> F(x).

A chunk of explicit steps is a contraction towards the steady state that
is very slow for the smooth modes (heat finding its way to the sink). For
an affine map like this one, Anderson mixing of the last few chunks is a
Krylov method (GMRES-like) on the same chunks, so it needs roughly the
square root of the chunks a plain iteration needs.
"""
import numpy as np


class AndersonMixer:
    """Keeps the last ``memory`` differences of iterates and residuals.

    ``next(x, g)`` takes the current iterate and its residual g = F(x) - x
    (flat float64 arrays) and returns the next iterate. Fields are large, so
    each kept pair costs two arrays (the residual difference and the sum of
    both differences) and the update makes no temporaries.
    """

    def __init__(self, memory=10, regularisation=1e-12):
        self.memory = memory
        self.regularisation = regularisation
        self.reset()

    def reset(self):
        self.dg, self.both, self.gram = [], [], np.zeros((0, 0))
        self.last_x = self.last_g = None
        self.buffer = None

    def next(self, x, g):
        if self.last_x is not None:
            self._push(x, g)
        self.last_x, self.last_g = x, g
        step = x + g
        if not self.dg:
            return step
        rhs = np.array([dot(d, g) for d in self.dg])
        n = len(self.dg)
        scale = max(float(np.trace(self.gram)) / n, 1e-300)
        try:
            gamma = np.linalg.solve(self.gram + self.regularisation * scale * np.eye(n), rhs)
        except np.linalg.LinAlgError:
            self.reset()
            return step
        for coefficient, both in zip(gamma, self.both):
            np.multiply(both, coefficient, out=self.buffer)
            step -= self.buffer
        return step

    def _push(self, x, g):
        if len(self.dg) == self.memory:
            dg, both = self.dg.pop(0), self.both.pop(0)  # reuse the oldest arrays
            self.gram = self.gram[1:, 1:]
            np.subtract(g, self.last_g, out=dg)
            np.subtract(x, self.last_x, out=both)
        else:
            dg, both = g - self.last_g, x - self.last_x
            if self.buffer is None:
                self.buffer = np.empty_like(x)
        both += dg
        self.dg.append(dg)
        self.both.append(both)
        column = np.array([dot(d, dg) for d in self.dg])
        n = len(self.dg)
        gram = np.zeros((n, n))
        gram[:n - 1, :n - 1] = self.gram
        gram[n - 1, :] = column
        gram[:, n - 1] = column
        self.gram = gram


def dot(a, b):
    """Dot product in NumPy's own loop: BLAS would wake its thread pool,
    which on a busy machine costs milliseconds per call."""
    return float(np.einsum("i,i->", a, b))
