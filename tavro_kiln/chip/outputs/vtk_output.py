"""The 3-D field as a VTK rectilinear grid (.vtr) for ParaView, written by
pyevtk: the cell edges are the grid's own, so thin and thick layers are
drawn at their true thickness. Cells without material are NaN. The
``layer`` array numbers layers from 1 at the bottom."""
import numpy as np

from tavro_kiln.chip.extras import require


def write_vtr(grid, T, watts, path_without_extension):
    """Writes the field as a VTK rectilinear grid with the cell arrays
    ``temperature_K``, ``power_W_per_m3``, ``conductivity_z_W_per_mK`` and
    ``layer``.

    Parameters
    ----------
    grid : ChipGrid
        The field's grid.
    T : numpy.ndarray
        The field, shape ``grid.shape``, K.
    watts : sequence of float
        W per block, in floorplan order, for the power density.
    path_without_extension : str or os.PathLike
        The file's path; ``.vtr`` is added.

    Returns
    -------
    str
        The path written.
    """
    hl = require("pyevtk.hl")
    fields = {
        "temperature_K": np.ascontiguousarray(T),
        "power_W_per_m3": np.ascontiguousarray(grid.power_density(watts)),
        "conductivity_z_W_per_mK": np.ascontiguousarray(grid.conductivity(2)),
        "layer": np.ascontiguousarray(grid.layer_numbers()),
    }
    hl.gridToVTK(str(path_without_extension), *(np.ascontiguousarray(e, dtype=np.float64)
                                               for e in (grid.x_edges, grid.y_edges, grid.z_edges)),
                 cellData=fields)
    # pyevtk answers with an absolute path; name the file as the caller did.
    return str(path_without_extension) + ".vtr"
