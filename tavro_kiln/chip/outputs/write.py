"""Everything a chip run writes, and its printed summary."""
import os

from tavro_kiln.chip.outputs.report import (block_table, format_table, write_csv, write_json,
                                            write_trace_csv)
from tavro_kiln.chip.outputs.simulator_files import write_layer_grid, write_steady, write_transient_trace


def write_all(result, watts, folder, reference, age, pictures=True, vtk=True):
    """Writes what ``python -m tavro_kiln chip`` writes for a result.

    ``blocks.csv`` and ``blocks.json`` (the block table; the JSON also
    holds the run's figures), ``trace.csv`` and ``blocks.ttrace`` for a
    transient result, ``blocks.steady`` for a steady one, ``active.grid``
    (see :mod:`tavro_kiln.chip.outputs.simulator_files`),
    ``active_layer.png`` (``active_layer_NAME.png`` for each powered layer
    of a stack) and ``section.png``, and ``field.vtr``.

    Parameters
    ----------
    result : ChipResult
        A steady or transient result.
    watts : sequence of float
        W per block, in floorplan order, for the table.
    folder : str or os.PathLike
        An existing folder.
    reference : float
        Reference temperature of the relative MTTF, K.
    age : float
        Time argument of the degradation.
    pictures, vtk : bool, optional
        Write the PNGs (needs matplotlib) and the VTK file (needs pyevtk).

    Returns
    -------
    list of str
        The paths written.
    """
    grid, T = result.grid, result.temperature
    rows = block_table(grid, T, watts, reference, age)
    paths = [os.path.join(folder, name) for name in ("blocks.csv", "blocks.json")]
    write_csv(rows, paths[0])
    write_json(rows, paths[1], extra={
        "reference_temperature_K": reference, "age": age, "iterations": result.iterations,
        "steps": result.steps, "converged": result.converged, "grid_shape": list(grid.shape),
        "time_step_s": result.time_step, "heat_out_W": result.heat_out_W,
        "residual_W": result.residual_W, "last_change_K": result.change_K})
    if result.intervals:
        paths.append(os.path.join(folder, "trace.csv"))
        write_trace_csv(grid, result.intervals, paths[-1])
        paths.append(os.path.join(folder, "blocks.ttrace"))
        write_transient_trace(grid, result.intervals, paths[-1])
    else:
        paths.append(os.path.join(folder, "blocks.steady"))
        write_steady(rows, paths[-1])
    paths.append(os.path.join(folder, "active.grid"))
    write_layer_grid(grid, T, paths[-1])
    if pictures:
        from tavro_kiln.chip.outputs.plots import active_layer_png, section_png

        powered = grid.powered_layers()
        if len(powered) == 1:
            paths.append(os.path.join(folder, "active_layer.png"))
            active_layer_png(grid, T, paths[-1])
        else:  # a picture for each powered die of a stack, with its own blocks
            for layer in powered:
                paths.append(os.path.join(folder, f"active_layer_{layer[0]}.png"))
                active_layer_png(grid, T, paths[-1], title=f"layer {layer[0]!r}", layer=layer)
        paths.append(os.path.join(folder, "section.png"))
        section_png(grid, T, paths[-1])
    if vtk:
        from tavro_kiln.chip.outputs.vtk_output import write_vtr

        paths.append(write_vtr(grid, T, watts, os.path.join(folder, "field")))
    return paths


def summary(result, watts, reference, age, transient=False):
    rows = block_table(result.grid, result.temperature, watts, reference, age)
    shape = "x".join(str(n) for n in result.grid.shape)
    what = "end of the power trace" if transient else "steady state"
    work = (f"{result.steps} time steps of {result.time_step:.4g} s" if transient
            else f"{result.iterations} iterations")
    state = ("" if result.converged else
             f"  (NOT converged: {result.residual_W:.3g} W of heat imbalance left; loosen --tol)")
    balance = "" if transient else f"; {result.heat_out_W:.4f} W out for {sum(watts):.4f} W in"
    lines = [f"{what} on a {shape} grid after {work}{state}{balance}",
             format_table(rows),
             f"MTTF relative to {reference:.2f} K; degradation = arrhenius_degradation(peak, {age:g})"]
    return "\n".join(lines)
