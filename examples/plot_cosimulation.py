"""
Co-simulation with a thermal controller
=======================================

A :class:`~tavro_kiln.chip.ChipModel` is built once and stepped by another
program, here a toy power manager: every 2 ms it reads the blocks'
temperatures and, when ``core0``'s peak passes a limit, lowers that
core's power; once the core has cooled, it gives the power back step by
step. The same loop couples the thermal model to a performance or power
simulator. The package is built in code: the example's floorplan on a die,
a thermal grease and a copper spreader under a heat sink.
"""

# %%
# The model
# ---------
# Building the model derives the grid and builds the native engine once;
# every step afterwards costs only its solves.
from importlib import resources

import matplotlib.pyplot as plt
import numpy as np

from tavro_kiln.chip import ChipModel, Layer, Stack, read_floorplan, steady_state

examples = resources.files("tavro_kiln.chip") / "examples"
blocks = read_floorplan(examples / "quad_core.flp")
stack = Stack(
    layers=[
        Layer("die", "silicon", 300e-6, cells=4, active=True),
        Layer("tim", "tim", 25e-6),
        Layer("spreader", "copper", 1e-3),
    ],
    ambient=318.15,  # K
    sink_resistance=0.25,  # K/W
    nx=32,
)
names = [block.name for block in blocks]

model = ChipModel(stack, blocks, threads=1)
print(f"grid {model.grid.shape}, built in {model.build_seconds * 1e3:.1f} ms")

# %%
# The controller
# --------------
# ``core0`` asks for 24 W, more than the package can carry under the limit;
# the other blocks draw a steady load.
demand = {
    "core0": 24.0,
    "core1": 6.0,
    "core2": 6.0,
    "core3": 6.0,
    "l2": 3.0,
    "memctl": 2.0,
    "io": 1.0,
}
watts = np.array([demand[name] for name in names])  # floorplan order
core = names.index("core0")
limit = 345.0  # K
cool = limit - 1.5  # K: below this the controller gives power back


def control(power, peak):
    """Next power of core0 from its present power and peak temperature."""
    if peak > limit:
        return power * 0.75
    if peak < cool:
        return min(demand["core0"], power + 1.0)
    return power


# %%
# The loop
# --------
# Each exchange steps the field by 2 ms with the powers held (one implicit
# TR-BDF2 step, stable at any length), then reads every block's peak and
# mean temperature, which costs far less than the step.
dt = 2e-3
times, peaks, powers = [0.0], [model.block_temperatures()[0]], [watts[core]]
for n in range(250):
    report = model.step(watts, dt)
    assert report.converged
    peak, mean = model.block_temperatures()
    watts[core] = control(watts[core], peak[core])
    times.append(model.time)
    peaks.append(peak)
    powers.append(watts[core])

times, peaks, powers = np.array(times), np.array(peaks), np.array(powers)
print(f"{len(times) - 1} steps to t = {model.time:.2f} s")
print(f"core0: highest peak {peaks[:, core].max():.2f} K")
print(f"core0: mean power after 0.2 s {powers[times > 0.2].mean():.1f} W "
      f"of the {demand['core0']:g} W asked")

# %%
# Without the controller, core0 would settle at the steady state of the
# powers asked for:
asked = np.array([demand[name] for name in names])
uncontrolled = steady_state(stack, blocks, asked, threads=1).temperature
peak_uncontrolled = model.block_temperatures(uncontrolled)[0][core]
print(f"core0 uncontrolled: {peak_uncontrolled:.2f} K")

# %%
# Temperature and power against time
# ----------------------------------
# With the controller, core0's peak rises to the limit and then saw-tooths
# just under it, while its power settles where the package can carry it.
fig, (top, bottom) = plt.subplots(
    2, 1, sharex=True, figsize=(7.5, 6), gridspec_kw={"height_ratios": [3, 2]}
)
for number, name in enumerate(names):
    if name.startswith("core"):
        top.plot(
            times * 1e3,
            peaks[:, number],
            label=name,
            linewidth=1.6 if name == "core0" else 1.0,
        )
top.axhline(limit, color="black", linestyle="--", linewidth=0.8, label="limit")
top.axhline(
    peak_uncontrolled,
    color="C0",
    linestyle=":",
    linewidth=1.0,
    label="core0 uncontrolled",
)
top.set_ylabel("peak temperature (K)")
top.legend(ncol=3, fontsize=8, loc="lower right")
top.grid(alpha=0.3)
bottom.step(times * 1e3, powers, where="post", color="C0")
bottom.set_ylabel("core0 power (W)")
bottom.set_xlabel("time (ms)")
bottom.grid(alpha=0.3)
fig.tight_layout()
