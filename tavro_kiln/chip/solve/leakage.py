"""Temperature-dependent leakage power: block i draws

    P_i = P_dynamic,i + P_leak,i * exp(beta * (T_i - T_ref))

with T_i the block's mean temperature, solved to a fixed point: in a
steady state by re-solving from the last field until no block's mean moves
by more than ``tol``; in a transient per step, each step re-run from its
start with the powers of its end until they settle. Where the heat the
leakage adds grows faster with temperature than the package removes it
there is no fixed point, and the iteration says so (ThermalRunaway)."""
import math
from dataclasses import dataclass

import numpy as np

from tavro_kiln.chip.errors import ThermalRunaway

MAX_ROUNDS = 200
RUNAWAY_TEMPERATURE = 1000.0  # K: a block this hot is past any package's working point


@dataclass(frozen=True)
class Leakage:
    """Leakage of each block (``watts`` in floorplan order, W at
    ``reference`` K), growing as exp(``beta`` * (T - reference)), beta in 1/K."""

    watts: tuple
    beta: float
    reference: float

    def powers(self, dynamic, means):
        exponent = np.minimum(self.beta * (np.asarray(means) - self.reference), 700.0)
        return np.asarray(dynamic, dtype=np.float64) + np.asarray(self.watts) * np.exp(exponent)


def check(leakage, blocks):
    if leakage is None:
        return None
    if len(leakage.watts) != len(blocks):
        raise ValueError(f"{len(leakage.watts)} leakage powers for {len(blocks)} blocks")
    if not (math.isfinite(leakage.beta) and leakage.beta >= 0.0 and math.isfinite(leakage.reference)
            and all(math.isfinite(w) and w >= 0.0 for w in leakage.watts)):
        raise ValueError("leakage powers and beta must be finite and not negative, the reference finite")
    return leakage


def runaway(model, means, rounds):
    hottest = int(np.argmax(means))
    name = model.grid.blocks[hottest].name
    return ThermalRunaway(name, float(means[hottest]),
                          f"thermal runaway: the leakage of block {name!r} grows faster with temperature than "
                          f"the package removes it; its mean passed {means[hottest]:.1f} K after {rounds} "
                          f"rounds with no fixed point")


def settle(model, dynamic, leakage, solve, tol):
    """Runs ``solve(watts)`` (which leaves its field in the model) until the
    leakage powers settle; returns (last report, watts, rounds)."""
    means = model.block_temperatures()[1]
    previous_change = math.inf
    growing = 0
    for rounds in range(1, MAX_ROUNDS + 1):
        watts = leakage.powers(dynamic, means)
        report = solve(watts)
        new_means = model.block_temperatures()[1]
        change = float(np.max(np.abs(new_means - means))) if len(means) else 0.0
        means = new_means
        if change <= tol:
            return report, watts, rounds  # the powers the field was solved for
        # Each round moves less than the last unless the loop gain is past 1.
        growing = growing + 1 if change >= previous_change else 0
        previous_change = change
        if growing >= 3 or np.max(means) > RUNAWAY_TEMPERATURE or not np.isfinite(means).all():
            raise runaway(model, means, rounds)
    raise runaway(model, means, MAX_ROUNDS)


def steady(model, dynamic, leakage, settle_tol=1e-3, **options):
    """Steady state with leakage; returns (report, final watts, rounds)."""
    return settle(model, dynamic, leakage, lambda watts: model.steady(watts, **options), settle_tol)


def step(model, dynamic, leakage, dt, steps=1, settle_tol=1e-3, **options):
    """``steps`` steps of ``dt``, each with the leakage of its end; returns
    (last report, watts, rounds of the last step)."""
    result = None
    for _ in range(steps):
        start, time = model.temperature.copy(), model.time

        def from_start(watts):
            model.temperature[...] = start
            model.time = time
            return model.step(watts, dt, **options)

        result = settle(model, dynamic, leakage, from_start, settle_tol)
    return result
