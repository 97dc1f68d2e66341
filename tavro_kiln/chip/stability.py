"""The explicit scheme's time-step limit.

A step changes a free cell by dt/C times the sum of its couplings times
temperature differences, so the new value is a weighted mean of the old
ones (no overshoot, no growth) while dt * sum(couplings) / C <= 1; the
checkerboard mode grows beyond it. The sum is the larger of the solver's
own couplings and the model's face couplings (next to a far better
conductor a face can carry up to twice the cell's own conductivity).
"""
import numpy as np

from tavro_kiln.chip.conduction import couple_faces

SAFETY = 0.9  # automatic steps use this fraction of the limit


def stability_limit(model):
    """Largest stable time step in seconds (inf when nothing conducts)."""
    faces = model.faces or couple_faces(model)
    free = ~model.held & (faces.diagonal > 0.0)
    if not free.any():
        return float("inf")
    return float(np.min(model.capacity[free] / faces.diagonal[free]))


def choose_time_step(model, dt=None):
    """``dt`` if it is stable, SAFETY times the limit when it is None."""
    limit = stability_limit(model)
    if dt is None:
        return SAFETY * limit
    if not dt > 0.0:
        raise ValueError(f"time step must be positive, got {dt!r}")
    if dt > limit:
        raise ValueError(f"time step {dt:.4g} s is above the stability limit {limit:.4g} s of the "
                         f"explicit scheme on this grid; use at most {limit:.4g} s or leave it "
                         f"to be chosen ({SAFETY} x the limit)")
    return float(dt)
