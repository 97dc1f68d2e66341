"""The engine's material table: one row (kx, ky, kz, rho*c) per distinct
material of the grid, named for the outputs."""
import numpy as np

from tavro_kiln.chip.inputs.materials import value_at
from tavro_kiln.core import thermal_conductivity

# A layer without lateral heat flow conducts this fraction of its
# conductivity sideways (the engine needs a positive value).
NO_LATERAL_FLOW = 1e-9


class MaterialRows:
    def __init__(self, stack, temperature_dependent):
        self.stack, self.temperature_dependent = stack, temperature_dependent
        self.rows, self.names, self.silicon, self.index = [], [], [], {}

    def add(self, name, kx, ky, kz, rho_c, silicon=False):
        key = (kx, ky, kz, rho_c, silicon)
        if key not in self.index:
            self.index[key] = len(self.rows)
            self.rows.append((kx, ky, kz, rho_c))
            self.names.append(name)
            self.silicon.append(silicon)
        return self.index[key]

    def of_layer(self, layer):
        """The row of a layer's own material."""
        material = self.stack.materials[layer.material]
        k = value_at(material.conductivity, self.stack.ambient)
        follows = material.conductivity is thermal_conductivity
        if self.temperature_dependent and callable(material.conductivity) and not follows:
            raise ValueError(f"material {layer.material!r}: only silicon's conductivity model can follow the "
                             f"temperature; give other materials a constant conductivity")
        lateral = k if layer.lateral else k * NO_LATERAL_FLOW
        rho_c = material.density * value_at(material.specific_heat, self.stack.ambient)
        return self.add(layer.material, lateral, lateral, k, rho_c, follows and layer.lateral)

    def of_block(self, layer, block):
        """The row of a block with a material of its own."""
        k = block.conductivity
        lateral = k if layer.lateral else k * NO_LATERAL_FLOW
        return self.add(f"{layer.name}:{block.name}", lateral, lateral, k, block.rho_c)

    def table(self):
        return np.array(self.rows, dtype=np.float64).reshape(-1, 4), np.array(self.silicon, dtype=bool)
