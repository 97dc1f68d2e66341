from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

_Floats = npt.ArrayLike
_Field = npt.NDArray[np.float64]

class Engine:
    """A conduction model on a tensor-product grid, built once."""

    def __init__(
        self,
        x_edges: _Floats,
        y_edges: _Floats,
        z_edges: _Floats,
        material: npt.NDArray[np.uint16],
        materials: _Floats,
        silicon_conductivity: npt.ArrayLike,
        faces: Sequence[tuple[_Floats, _Floats] | None],
        source_cell: npt.NDArray[np.int64],
        source_block: npt.NDArray[np.int32],
        source_weight: _Floats,
        block_count: int,
        threads: int = 1,
    ) -> None: ...
    def steady(
        self,
        block_watts: _Floats,
        field: _Field,
        tol_kelvin: float = 1e-6,
        tol_watts: float = -1.0,
        max_iterations: int = 1000,
        follow_temperature: bool = False,
        picard_tol: float = 1e-4,
        picard_limit: int = 50,
        threads: int = 1,
    ) -> dict[str, str | int | float]: ...
    def step(
        self,
        block_watts: _Floats,
        field: _Field,
        dt: float,
        steps: int = 1,
        scheme: str = "tr-bdf2",
        tol_kelvin: float = 1e-6,
        tol_watts: float = -1.0,
        max_iterations: int = 1000,
        follow_temperature: bool = False,
        threads: int = 1,
    ) -> dict[str, str | int | float]: ...
    def block_temperatures(self, field: _Floats) -> tuple[_Field, _Field]: ...
    def heat_out(self, field: _Floats) -> float: ...
    @property
    def nbytes(self) -> int: ...
