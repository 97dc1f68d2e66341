"""
A transient through the power trace
===================================

The example's power trace has eight lines. Here each line is held for
50 ms, starting from the steady state of the first line, and every block's
peak temperature is followed through the trace.
"""

# %%
# Inputs and the starting field
# -----------------------------
from importlib import resources

import matplotlib.pyplot as plt
import numpy as np

from tavro_kiln.chip import (
    read_floorplan,
    read_power_trace,
    read_stack,
    steady_state,
    transient,
    watts_by_block,
)
from tavro_kiln.chip.outputs.report import block_temperatures

examples = resources.files("tavro_kiln.chip") / "examples"
blocks = read_floorplan(examples / "quad_core.flp")
trace = read_power_trace(examples / "quad_core.ptrace", [b.name for b in blocks])
watts = watts_by_block(trace, blocks)  # (8 lines, 7 blocks), W
stack = read_stack(examples / "stack.toml")
stack.nx = 32

start = steady_state(stack, blocks, watts[0]).temperature

# %%
# The run
# -------
# ``transient`` keeps the active layer's field after each interval. To see
# the field between the trace's lines, each line is repeated five times with
# a fifth of the interval: the same powers for the same time, five samples
# per line. Each interval is one implicit TR-BDF2 step.
line_seconds = 0.05
samples = 5
result = transient(
    stack,
    blocks,
    np.repeat(watts, samples, axis=0),
    line_seconds / samples,
    start=start,
)

grid = result.grid


def block_peaks(active):
    """Each block's peak in an active-layer field, floorplan order."""
    return [peak for peak, mean in block_temperatures(grid, active)]


# One row per moment: the start, then the end of each interval.
times = np.array([0.0] + [end for end, _ in result.intervals])
peaks = np.array([block_peaks(start[:, :, grid.active])]
                 + [block_peaks(active) for _, active in result.intervals])
print(f"{result.steps} steps of {result.time_step * 1e3:g} ms, "
      f"{result.timing['solver']:.2f} s in the engine")
hottest = int(peaks.max(axis=1).argmax())
print(f"hottest moment: t = {times[hottest] * 1e3:.0f} ms, "
      f"{blocks[int(peaks[hottest].argmax())].name} at {peaks.max():.2f} K")

# %%
# Peaks against time
# ------------------
# The cores' hot spots follow their power within milliseconds; the package
# under them, with far more heat capacity, follows more slowly.
fig, (top, bottom) = plt.subplots(
    2, 1, sharex=True, figsize=(7.5, 6.5), gridspec_kw={"height_ratios": [3, 2]}
)
line_times = np.arange(len(watts) + 1) * line_seconds
for number, block in enumerate(blocks):
    (drawn,) = top.plot(times * 1e3, peaks[:, number], label=block.name)
    bottom.stairs(
        watts[:, number], line_times * 1e3, baseline=None, color=drawn.get_color()
    )
top.set_ylabel("peak temperature (K)")
top.legend(
    ncol=7, fontsize=8, loc="lower center", bbox_to_anchor=(0.5, 1.0), frameon=False
)
top.grid(alpha=0.3)
bottom.set_ylabel("power (W)")
bottom.set_xlabel("time (ms)")
bottom.grid(alpha=0.3)
fig.tight_layout()

# %%
# The active layer at the hottest moment
# --------------------------------------
# The fields kept per interval are the active layer's, ``T[:, :, grid.active]``,
# indexed along x, y and z. Its columns over the die are ``grid.die_columns``
# (a package larger than the die adds columns around it); the hottest cell
# through the layer's thickness is drawn.
active = start[:, :, grid.active] if hottest == 0 else result.intervals[hottest - 1][1]
di, dj = grid.die_columns
plane = active[di, dj, :].max(axis=2)
fig, axes = plt.subplots(figsize=(5.5, 4.5))
image = axes.imshow(
    plane.T,
    origin="lower",
    cmap="inferno",
    extent=(0, grid.die_width * 1e3, 0, grid.die_height * 1e3),
)
for block in blocks:
    axes.add_patch(
        plt.Rectangle(
            (block.left * 1e3, block.bottom * 1e3),
            block.width * 1e3,
            block.height * 1e3,
            fill=False,
            color="white",
            linewidth=0.6,
        )
    )
axes.set_title(f"t = {times[hottest] * 1e3:.0f} ms")
axes.set_xlabel("x (mm)")
axes.set_ylabel("y (mm)")
fig.colorbar(image, label="temperature (K)")
fig.tight_layout()
