"""Everything a chip run writes, and its printed summary."""
import os

import numpy as np

from tavro_kiln.chip.conduction import heat_into_held
from tavro_kiln.chip.outputs.report import (block_table, format_table, write_csv, write_json,
                                            write_trace_csv)


def write_all(result, watts, folder, reference, age, pictures=True, vtk=True):
    """Writes the table (CSV, JSON), the PNGs and the VTK file; returns the paths."""
    grid, T = result.grid, result.temperature
    rows = block_table(grid, T, watts, reference, age)
    paths = [os.path.join(folder, name) for name in ("blocks.csv", "blocks.json")]
    write_csv(rows, paths[0])
    write_json(rows, paths[1], extra={
        "reference_temperature_K": reference, "age": age, "steps": result.steps,
        "converged": result.converged, "grid_shape": list(grid.model.shape),
        "time_step_s": result.time_step, "heat_out_W": heat_out(result)})
    if result.intervals:
        paths.append(os.path.join(folder, "trace.csv"))
        write_trace_csv(grid, result.intervals, paths[-1])
    if pictures:
        from tavro_kiln.chip.outputs.plots import active_layer_png, section_png

        paths += [os.path.join(folder, "active_layer.png"), os.path.join(folder, "section.png")]
        active_layer_png(grid, T, paths[-2])
        section_png(grid, T, paths[-1])
    if vtk:
        from tavro_kiln.chip.outputs.vtk_output import write_vti

        paths.append(write_vti(grid, T, os.path.join(folder, "field")))
    return paths


def heat_out(result):
    """Watts leaving through the sink and the padding: the power in, at a steady state."""
    m = result.grid.model
    return float(heat_into_held(m, result.temperature).sum() * np.prod(m.spacing))


def summary(result, watts, reference, age, transient=False):
    rows = block_table(result.grid, result.temperature, watts, reference, age)
    shape = "x".join(str(n) for n in result.grid.model.shape)
    what = "end of the power trace" if transient else "steady state"
    state = "" if result.converged else "  (NOT converged: raise the step limit or --tol)"
    balance = "" if transient else f"; {heat_out(result):.4f} W out for {sum(watts):.4f} W in"
    lines = [f"{what} on a {shape} grid after {result.steps} steps{state}{balance}",
             format_table(rows),
             f"MTTF relative to {reference:.2f} K; degradation = arrhenius_degradation(peak, {age:g})"]
    return "\n".join(lines)
