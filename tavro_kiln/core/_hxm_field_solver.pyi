from typing import Any

import numpy as np
import numpy.typing as npt

def hxm_solve_3d(
    psi_init: npt.ArrayLike,
    tau_init: npt.ArrayLike,
    phi_ext: npt.ArrayLike | None = None,
    bc_type: npt.ArrayLike | None = None,
    k_scale: float = 66.0,
    dx: float = 1.192e-15,
    dy: float = 1.192e-15,
    dz: float = 1.192e-15,
    dt: float = 3.977e-24,
    iterations: int = 500,
    return_history: object = False,
    history_stride: int = 10,
    convergence_tol: float = 1e-08,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], dict[str, Any] | None]: ...
def query_to_k(query: str) -> float: ...
