"""Chip thermal workflow: floorplan and power in, temperature and
reliability maps out, on the package's own conduction engine. Needs the
``chip`` extra for pictures (matplotlib), VTK output (pyevtk) and progress
bars (tqdm).

inputs/ reads the files, model/ turns them into the engine's model
(ChipModel: built once, solved and stepped many times), solve/ runs steady
states, transients and many configurations, outputs/ writes the results."""
from tavro_kiln.chip.errors import ChipInputError, ChipSolveError, ThermalRunaway
from tavro_kiln.chip.inputs.floorplan import (Block, PowerTrace, read_floorplan, read_power_trace,
                                              watts_by_block)
from tavro_kiln.chip.inputs.materials import DEFAULT_MATERIALS, Material
from tavro_kiln.chip.inputs.stack import Layer, Stack, read_stack
from tavro_kiln.chip.model.chip_grid import build_grid
from tavro_kiln.chip.model.chip_model import ChipModel
from tavro_kiln.chip.outputs.report import block_table
from tavro_kiln.chip.solve.leakage import Leakage
from tavro_kiln.chip.solve.runs import ChipResult, run_many, steady_state, transient

__all__ = ["ChipInputError", "ChipSolveError", "ThermalRunaway", "Leakage", "Block", "PowerTrace",
           "read_floorplan", "read_power_trace", "watts_by_block", "build_grid", "ChipModel", "ChipResult",
           "DEFAULT_MATERIALS", "Material", "block_table", "run_many", "steady_state", "transient", "Layer",
           "Stack", "read_stack"]
