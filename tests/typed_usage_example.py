"""Checked by mypy in the tests: ordinary use type-checks against the stubs."""
import numpy as np

from tavro_kiln.core import get_material_properties, hxm_solve_3d, query_to_k, tcad_solve_3d
from tavro_kiln.core._tavro_core import thermal_diffusivity

alpha: float = thermal_diffusivity(350.0, rho=2329.0)
field, info = tcad_solve_3d(np.zeros((4, 4, 4)), iterations=5, return_history=True)
peak: float = float(field.max())
if info is not None:
    steps = info["steps"]
k: float = query_to_k("dark matter")
psi, tau, history = hxm_solve_3d(np.ones((3, 3, 3)), np.ones((3, 3, 3)), k_scale=k)
name = get_material_properties()["name"]
