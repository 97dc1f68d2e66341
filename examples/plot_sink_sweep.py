"""
Sweeping the heat sink with run_many
====================================

How good a heat sink does the example die need? This script solves the
steady state for twelve sink resistances at once with
:func:`~tavro_kiln.chip.run_many` on a thread pool, and plots each core's
peak against the resistance.
"""

# %%
# The configurations
# ------------------
# One dict of :func:`~tavro_kiln.chip.steady_state`'s arguments per run.
# ``dataclasses.replace`` gives each run its own copy of the stack with
# another resistance; the runs may happen in any order, at the same time.
import dataclasses
import time
from importlib import resources

import matplotlib.pyplot as plt
import numpy as np

from tavro_kiln.chip import (
    read_floorplan,
    read_power_trace,
    read_stack,
    run_many,
    watts_by_block,
)
from tavro_kiln.chip.outputs.report import block_temperatures

examples = resources.files("tavro_kiln.chip") / "examples"
blocks = read_floorplan(examples / "quad_core.flp")
trace = read_power_trace(examples / "quad_core.ptrace", [b.name for b in blocks])
watts = watts_by_block(trace, blocks).mean(axis=0)
stack = read_stack(examples / "stack.toml")
stack.nx = 32

resistances = np.linspace(0.05, 0.6, 12)  # K/W, sink base to air
configs = [
    {
        "stack": dataclasses.replace(stack, sink_resistance=float(r)),
        "blocks": blocks,
        "watts": watts,
    }
    for r in resistances
]

# %%
# The runs
# --------
# By default ``run_many`` uses a thread pool: the engine releases the
# interpreter lock, so the runs overlap on the cores, one thread each.
# ``executor=ProcessPoolExecutor()`` or a Dask client's ``get_executor()``
# would take the same list.
started = time.perf_counter()
results = run_many(configs)
print(
    f"{len(results)} steady states in {time.perf_counter() - started:.2f} s, "
    f"all converged: {all(r.converged for r in results)}"
)


# Each block's peak, one row per run (in the order of ``configs``).
peaks = np.array(
    [
        [
            peak
            for peak, _ in block_temperatures(
                r.grid, r.temperature[:, :, r.grid.active]
            )
        ]
        for r in results
    ]
)

# %%
# What the sink is worth
# ----------------------
# All the heat crosses the sink, so each extra K/W of resistance raises the
# temperatures by about the total power in kelvin: the slope of the lines
# below. The peaks rise a little faster, as more of the heat leaves through
# the sink above the hot cores than near the die's edges.
slope = np.polyfit(resistances, peaks.max(axis=1), 1)[0]
print(f"total power {watts.sum():.2f} W; "
      f"slope of the hottest peak {slope:.2f} K per K/W")
limit = 345.0
hottest = peaks.max(axis=1)
if hottest[0] < limit < hottest[-1]:
    allowed = np.interp(limit, hottest, resistances)
    print(f"hottest peak under {limit:g} K up to a sink of {allowed:.3f} K/W")
else:
    allowed = None
    print(f"hottest peak from {hottest[0]:.1f} to {hottest[-1]:.1f} K over the sweep")

fig, axes = plt.subplots(figsize=(7, 4.5))
for number, block in enumerate(blocks):
    if block.name.startswith("core"):
        axes.plot(
            resistances, peaks[:, number], marker="o", markersize=3, label=block.name
        )
axes.axhline(
    limit, color="black", linestyle="--", linewidth=0.8, label=f"{limit:g} K"
)
if allowed is not None:
    axes.axvline(allowed, color="grey", linestyle=":", linewidth=0.8)
axes.set_xlabel("heat-sink resistance (K/W)")
axes.set_ylabel("peak temperature (K)")
axes.legend()
axes.grid(alpha=0.3)
fig.tight_layout()
