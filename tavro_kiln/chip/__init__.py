"""Chip thermal workflow on the package's solver: floorplan and power in,
temperature and reliability maps out. Needs the ``chip`` extra for
pictures (matplotlib), VTK output (pyevtk) and progress bars (tqdm)."""
from tavro_kiln.chip.errors import ChipInputError
from tavro_kiln.chip.grid import build_grid
from tavro_kiln.chip.inputs.floorplan import (Block, PowerTrace, read_floorplan, read_power_trace,
                                              watts_by_block)
from tavro_kiln.chip.inputs.materials import DEFAULT_MATERIALS, Material
from tavro_kiln.chip.inputs.stack import Layer, Stack, read_stack
from tavro_kiln.chip.outputs.report import block_table
from tavro_kiln.chip.simulate import run_many, steady_state, transient
from tavro_kiln.chip.stability import stability_limit

__all__ = ["ChipInputError", "Block", "PowerTrace", "read_floorplan", "read_power_trace", "watts_by_block",
           "build_grid", "DEFAULT_MATERIALS", "Material", "block_table", "run_many",
           "steady_state", "transient", "Layer", "Stack", "read_stack", "stability_limit"]
