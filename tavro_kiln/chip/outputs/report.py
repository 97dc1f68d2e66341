"""Per-block figures from a field: peak and mean temperature in the active
layer, lifetime relative to a reference temperature, and degradation."""
import csv
import json
import math

import numpy as np

from tavro_kiln.core import arrhenius_degradation, mttf

COLUMNS = ["block", "power_W", "peak_K", "mean_K", "mttf_relative", "degradation"]


def block_temperatures(grid, active_field):
    """Peak and mean temperature of each block.

    Parameters
    ----------
    grid : ChipGrid
        The field's grid.
    active_field : numpy.ndarray
        The field's slab through its active layers, ``T[:, :, grid.active]``,
        as a transient result's ``intervals`` hold it.

    Returns
    -------
    list of tuple
        ``(peak, mean)`` in K per block, in floorplan order: the hottest
        cell the block touches, and the mean over its columns weighted by
        the area it covers in each.
    """
    out = []
    for b in grid.blocks:
        cells = active_field[b.i, b.j, b.k]
        column_mean = cells.mean(axis=2)
        out.append((float(cells.max()), float((column_mean * b.area).sum() / b.area.sum())))
    return out


def block_table(grid, T, watts, reference_temperature, age=1.0, Ea=0.4):
    """Per-block figures of a field, one dict per block in floorplan order.

    Parameters
    ----------
    grid : ChipGrid
        The field's grid (``result.grid``).
    T : numpy.ndarray
        The field, shape ``grid.shape`` (``result.temperature``).
    watts : sequence of float
        W per block, in floorplan order; reported as given.
    reference_temperature : float
        K: the temperature whose lifetime ``mttf_relative`` is relative to,
        e.g. the ambient.
    age : float, optional
        The time argument of :func:`tavro_kiln.core.arrhenius_degradation`.
    Ea : float, optional
        Activation energy, eV.

    Returns
    -------
    list of dict
        Keys of ``COLUMNS``: ``block``, ``power_W``, ``peak_K`` and ``mean_K``
        (the active layer's hottest cell under the block and the
        area-weighted mean), ``mttf_relative`` = mttf(peak) / mttf(reference)
        (below 1: a shorter life than at the reference) and
        ``degradation`` = arrhenius_degradation(peak, age).

    Raises
    ------
    ValueError
        ``watts`` has not one value per block.
    """
    if len(watts) != len(grid.blocks):  # zip would drop the extra blocks or powers unnoticed
        raise ValueError(f"{len(watts)} powers for {len(grid.blocks)} blocks")
    reference = mttf(reference_temperature, Ea)
    rows = []
    for b, w, (peak, mean) in zip(grid.blocks, watts, block_temperatures(grid, T[:, :, grid.active])):
        rows.append({"block": b.name, "power_W": float(w), "peak_K": peak, "mean_K": mean,
                     "mttf_relative": mttf(peak, Ea) / reference,
                     "degradation": arrhenius_degradation(peak, age, 1.0, Ea)})
    return rows


def format_table(rows):
    lines = [f"{'block':16} {'power W':>9} {'peak K':>9} {'mean K':>9} {'MTTF rel':>9} {'degradation':>12}"]
    for r in rows:
        lines.append(f"{r['block']:16} {r['power_W']:9.3f} {r['peak_K']:9.3f} {r['mean_K']:9.3f} "
                     f"{r['mttf_relative']:9.4f} {r['degradation']:12.5g}")
    return "\n".join(lines)


def write_csv(rows, path):
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.DictWriter(handle, fieldnames=COLUMNS)
        writer.writeheader()
        writer.writerows(rows)


def finite_or_null(value):
    """``value`` with every NaN and infinity in it made None (JSON null):
    JSON has no such numbers, and Python would write ones other readers refuse."""
    if isinstance(value, dict):
        return {key: finite_or_null(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite_or_null(item) for item in value]
    return value if not isinstance(value, float) or math.isfinite(value) else None


def write_json(rows, path, extra=None):
    document = finite_or_null(dict(extra or {}, blocks=rows))
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(document, handle, indent=2, allow_nan=False)  # fails rather than write invalid JSON
        handle.write("\n")


def write_trace_csv(grid, intervals, path):
    """Peak temperature of each block after each interval of a transient run."""
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["time_s"] + [b.name for b in grid.blocks])
        for end, active_field in intervals:
            peaks = [peak for peak, _ in block_temperatures(grid, active_field)]
            writer.writerow([f"{end:.9g}"] + [f"{p:.6f}" for p in peaks])
