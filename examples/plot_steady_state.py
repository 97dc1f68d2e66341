"""
Steady state of the example die
===============================

The package's shipped example is a quad-core die of 8 mm x 8 mm with a
shared L2 cache, a memory controller and an I/O strip, on a thermal grease,
a copper spreader and a heat sink. This script reads it, solves the steady
state of its mean power, prints the block table and draws the heat maps
that ``python -m tavro_kiln chip --example`` writes.
"""

# %%
# The inputs
# ----------
# The floorplan, the power trace and the stack come with the package. The
# trace has one line of watts per interval; a steady run takes its mean.
# The stack asks for 64 cells across the die; 32 are plenty here.
import tempfile
from importlib import resources
from pathlib import Path

import numpy as np

from tavro_kiln.chip import (
    block_table,
    read_floorplan,
    read_power_trace,
    read_stack,
    steady_state,
    watts_by_block,
)
from tavro_kiln.chip.outputs.plots import active_layer_png, section_png

examples = resources.files("tavro_kiln.chip") / "examples"
blocks = read_floorplan(examples / "quad_core.flp")
trace = read_power_trace(examples / "quad_core.ptrace", [b.name for b in blocks])
watts = watts_by_block(trace, blocks).mean(axis=0)  # W per block, floorplan order
stack = read_stack(examples / "stack.toml")
stack.nx = 32

for block, w in zip(blocks, watts):
    print(
        f"{block.name:7} {block.width * 1e3:4.1f} x {block.height * 1e3:3.1f} mm "
        f"at ({block.left * 1e3:3.1f}, {block.bottom * 1e3:3.1f}) mm  {w:6.3f} W"
    )
print(
    "layers:",
    ", ".join(
        f"{layer.name} ({layer.material}, {layer.thickness * 1e6:g} um)"
        for layer in stack.layers
    ),
)

# %%
# The steady state
# ----------------
# One call builds the model and solves it. At a steady state all the heat
# made in the blocks leaves through the heat sink, which makes a quick check.
# Cells without material (outside a layer smaller than the package) hold
# NaN, hence ``np.nanmax``.
result = steady_state(stack, blocks, watts)

print(f"grid {result.grid.shape}, {result.iterations} iterations, "
      f"converged: {result.converged}")
print(f"power in {watts.sum():.4f} W, heat out {result.heat_out_W:.4f} W")
print(
    f"hottest cell {np.nanmax(result.temperature):.2f} K; "
    f"{result.timing['solver'] * 1e3:.1f} ms in the engine"
)

# %%
# The block table
# ---------------
# Peak and mean temperature of each block in the active layer, its lifetime
# relative to one at the ambient, and its degradation.
rows = block_table(
    result.grid, result.temperature, watts, reference_temperature=stack.ambient
)
print(f"{'block':8} {'peak K':>8} {'mean K':>8} {'MTTF rel':>9}")
for row in rows:
    print(f"{row['block']:8} {row['peak_K']:8.2f} {row['mean_K']:8.2f} "
          f"{row['mttf_relative']:9.3f}")

# %%
# The heat maps
# -------------
# The same pictures the command line writes: the active layer from above,
# with the blocks outlined, and a vertical section through its hottest
# cell, every layer at its true thickness.
out = Path(tempfile.mkdtemp())
heat_map = active_layer_png(result.grid, result.temperature, out / "active_layer.png")

# %%
section = section_png(result.grid, result.temperature, out / "section.png")
