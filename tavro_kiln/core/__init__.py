"""Native extension modules ``_tavro_core`` and ``_hxm_field_solver``, with
their public functions re-exported here for convenience."""
from tavro_kiln.core._hxm_field_solver import hxm_solve_3d, query_to_k
from tavro_kiln.core._tavro_core import (
    arrhenius_degradation,
    get_material_properties,
    mttf,
    specific_heat,
    tcad_solve_3d,
    thermal_conductivity,
    thermal_diffusivity,
)

__all__ = [
    "thermal_conductivity",
    "specific_heat",
    "thermal_diffusivity",
    "arrhenius_degradation",
    "mttf",
    "tcad_solve_3d",
    "get_material_properties",
    "hxm_solve_3d",
    "query_to_k",
]
