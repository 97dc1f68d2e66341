"""Material table: conductivity W/(m K), density kg/m^3, specific heat J/(kg K).

Silicon's conductivity and specific heat are this package's own models
(functions of temperature); the others are constants at room temperature.
Extend the table with ``dict(DEFAULT_MATERIALS, name=Material(...))`` or a
``[materials.NAME]`` table in the stack file.
"""
from dataclasses import dataclass
from typing import Callable, Union

import numpy as np

from tavro_kiln.core import specific_heat, thermal_conductivity

Property = Union[float, Callable[[float], float]]


@dataclass(frozen=True)
class Material:
    """A material's thermal properties.

    Attributes
    ----------
    name : str
    conductivity : float or callable
        W/(m K), or a function of the temperature in K returning it
        (silicon's :func:`tavro_kiln.core.thermal_conductivity`; only that
        model can follow the field in a run).
    density : float
        kg/m³.
    specific_heat : float or callable
        J/(kg K), or a function of the temperature in K returning it;
        runs take it at the ambient.
    """

    name: str
    conductivity: Property
    density: float
    specific_heat: Property

    @property
    def temperature_dependent(self):
        """Whether its conductivity is a function of temperature."""
        return callable(self.conductivity)


def value_at(prop, T):
    """A property at temperature ``T`` (scalar)."""
    return float(prop(T)) if callable(prop) else float(prop)


def values_at(prop, T):
    """A property over an array of temperatures. A temperature-dependent
    one is tabulated at 0.01 K and interpolated (its models are smooth:
    silicon's conductivity is linear in T, so this is exact to rounding)."""
    T = np.asarray(T, dtype=np.float64)
    if not callable(prop):
        return np.full(T.shape, float(prop))
    if T.size == 0:
        return np.empty(T.shape)
    low, high = float(T.min()), float(T.max())
    count = max(2, min(200_001, int((high - low) / 0.01) + 2))
    grid = np.linspace(low, high if high > low else low + 1.0, count)
    table = np.array([prop(float(t)) for t in grid])
    return np.interp(T, grid, table)


DEFAULT_MATERIALS = {
    "silicon": Material("silicon", thermal_conductivity, 2329.0, specific_heat),
    "copper": Material("copper", 400.0, 8960.0, 385.0),
    "aluminium": Material("aluminium", 237.0, 2700.0, 897.0),
    "tim": Material("tim", 4.0, 2500.0, 1000.0),  # a thermal grease
    "mould": Material("mould", 0.8, 1900.0, 880.0),  # epoxy mould compound
    "air": Material("air", 0.026, 1.16, 1007.0),
}
