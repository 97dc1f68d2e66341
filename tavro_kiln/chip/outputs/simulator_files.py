"""What compact thermal simulators' own scripts read, written in their
plain-text shapes (tab-separated, temperatures in K):

- ``blocks.steady``: a ``name value`` line per block, its mean temperature;
- ``blocks.ttrace``: a header of block names, then the blocks' mean
  temperatures after each interval of a transient run;
- ``active.grid``: an ``index value`` line per cell of the die, the active
  layer's temperature through its thickness, index = row * columns +
  column with row 0 at the die's top edge (largest y), as an image is read.
"""
import numpy as np

from tavro_kiln.chip.outputs.report import block_temperatures


def write_steady(rows, path):
    """``rows``: the block table (outputs.report.block_table), whose means it writes."""
    with open(path, "w", encoding="utf-8") as handle:
        handle.writelines(f"{row['block']}\t{row['mean_K']:.6f}\n" for row in rows)


def write_transient_trace(grid, intervals, path):
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("\t".join(b.name for b in grid.blocks) + "\n")
        for _, active_field in intervals:
            means = [mean for _, mean in block_temperatures(grid, active_field)]
            handle.write("\t".join(f"{mean:.6f}" for mean in means) + "\n")


def write_layer_grid(grid, T, path):
    di, dj = grid.die_columns
    dz = grid.widths(2)[grid.active]
    plane = (T[di, dj, grid.active] * dz).sum(axis=2) / dz.sum()  # (x, y)
    rows = plane.T[::-1].ravel()  # row 0 at the top
    with open(path, "w", encoding="utf-8") as handle:
        handle.writelines(f"{index}\t{value:.6f}\n" for index, value in enumerate(rows))
    return np.asarray(rows)
