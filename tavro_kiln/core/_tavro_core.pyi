from typing import Any

import numpy as np
import numpy.typing as npt

_ArrayLike = npt.ArrayLike

def thermal_conductivity(T: float) -> float: ...
def specific_heat(T: float) -> float: ...
def thermal_diffusivity(T: float, rho: float = 2329.0) -> float: ...
def arrhenius_degradation(
    T: float, t: float, A0: float = 1.0, Ea: float = 0.4, R: float = 8.617e-05
) -> float: ...
def mttf(T: float, Ea: float = 0.4, R: float = 8.617e-05) -> float: ...
def tcad_solve_3d(
    T_init: Any,
    Q_heat: Any | None = None,
    bc_type: Any | None = None,
    k_thermal: float | _ArrayLike | None = None,
    cp: float | _ArrayLike | None = None,
    dx: float = 0.001,
    dy: float = 0.001,
    dz: float = 0.001,
    dt: float = 1e-06,
    iterations: int = 100,
    return_history: object = False,
    history_stride: int = 1,
    convergence_tol: float = 0.0,
) -> tuple[npt.NDArray[np.float64], dict[str, Any] | None]: ...
def get_material_properties() -> dict[str, Any]: ...
