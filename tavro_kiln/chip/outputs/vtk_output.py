"""The 3-D field as VTK image data (.vti) for ParaView, written by pyevtk.

Cells are the grid's cells without the held padding; z spacing is the grid
dz, so a layer whose cells stand for another thickness (see chip/grid.py) is
drawn stretched. The ``layer`` array numbers layers from 1 at the bottom;
the heat sink cell is layer 0."""
import numpy as np

from tavro_kiln.chip.extras import require


def write_vti(grid, T, path_without_extension):
    hl = require("pyevtk.hl")
    inner = (slice(1, -1), slice(1, -1), slice(1, -1))
    layer = np.zeros(grid.model.shape, dtype=np.int32)
    for number, (_, zs, _) in enumerate(grid.layers, start=1):
        layer[:, :, zs] = number
    fields = {
        "temperature_K": np.ascontiguousarray(T[inner]),
        "power_W_per_m3": np.ascontiguousarray(grid.model.power[inner]),
        "conductivity_z_W_per_mK": np.ascontiguousarray(grid.model.conductivity[2][inner]),
        "layer": np.ascontiguousarray(layer[inner]),
    }
    hl.imageToVTK(str(path_without_extension), origin=(0.0, 0.0, 0.0),
                  spacing=tuple(float(d) for d in grid.model.spacing), cellData=fields)
    # pyevtk answers with an absolute path; name the file as the caller did.
    return str(path_without_extension) + ".vti"
