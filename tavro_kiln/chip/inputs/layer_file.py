"""The compact thermal simulators' layer configuration file, for a 3-D
stack: per layer seven lines (``#`` comments and blank lines between
them are skipped):

    layer number (0, 1, ... from the die's far side up to the package)
    lateral heat flow: Y or N
    dissipates power: Y or N
    volumetric heat capacity, J/(m³ K)
    thermal resistivity, m K/W
    thickness, m
    floorplan file (relative to the layer file's folder)

A powered layer's floorplan holds the blocks the power trace names (names
unique across the stack); any layer's floorplan lines may add a block's
own ``specific-heat resistivity`` (a copper-filled region, a field of
through-silicon vias). The layers replace the package file's die and
interface; the spreader and sink stay.
"""
import dataclasses
import os

from tavro_kiln.chip.errors import ChipInputError, read_lines
from tavro_kiln.chip.inputs.floorplan import read_floorplan
from tavro_kiln.chip.inputs.materials import Material
from tavro_kiln.chip.inputs.numbers import parse_number
from tavro_kiln.chip.inputs.stack import Layer

FIELDS = ("layer number", "lateral heat flow", "power dissipation", "volumetric heat capacity",
          "thermal resistivity", "thickness", "floorplan file")


def content(path):
    for number, line in enumerate(read_lines(path), start=1):
        text = line.split("#", 1)[0].strip()
        if text:
            yield number, text


def yes_no(path, line, text, what):
    if text.upper() not in ("Y", "N"):
        raise ChipInputError(path, line, f"{what} must be Y or N, got {text!r}")
    return text.upper() == "Y"


def read_layer_file(path, package):
    """``package`` (a Stack from a package file or the defaults) with its
    die and interface replaced by the file's layers."""
    entries = list(content(path))
    if not entries:
        raise ChipInputError(path, None, "no layers")
    if len(entries) % len(FIELDS):
        line, _ = entries[-1]
        missing = FIELDS[len(entries) % len(FIELDS)]
        raise ChipInputError(path, line, f"the last layer is incomplete: its {missing} is missing "
                                         f"(each layer has {len(FIELDS)} lines)")
    folder = os.path.dirname(os.path.abspath(path))
    layers, materials, owners = [], {}, {}
    for start in range(0, len(entries), len(FIELDS)):
        group = entries[start:start + len(FIELDS)]
        (n_line, n_text), (l_line, l_text), (p_line, p_text), (c_line, c_text), (r_line, r_text), \
            (t_line, t_text), (f_line, f_text) = group
        index = len(layers)
        if n_text != str(index):
            raise ChipInputError(path, n_line, f"expected layer number {index}, got {n_text!r} (layers are "
                                               f"numbered 0, 1, ... from the die's far side)")
        lateral = yes_no(path, l_line, l_text, "lateral heat flow")
        powered = yes_no(path, p_line, p_text, "power dissipation")
        values = []
        for line, text, what in ((c_line, c_text, "volumetric heat capacity"),
                                 (r_line, r_text, "thermal resistivity"), (t_line, t_text, "thickness")):
            value = parse_number(path, line, text, what)
            if not value > 0.0:
                raise ChipInputError(path, line, f"{what} must be positive, got {text}")
            values.append(value)
        rho_c, resistivity, thickness = values
        floorplan_path = f_text if os.path.isabs(f_text) else os.path.join(folder, f_text)
        blocks = read_floorplan(floorplan_path, with_materials=True)
        if powered:
            for block in blocks:
                if block.name in owners:
                    first_path, first_line = owners[block.name]
                    raise ChipInputError(floorplan_path, block.line,
                                         f"block {block.name!r} is also a powered block at {first_path}:"
                                         f"{first_line}; the power trace names blocks across the stack, "
                                         f"so names must be unique")
                owners[block.name] = (floorplan_path, block.line)
        else:
            blocks = [b for b in blocks if b.conductivity is not None]
        name = f"layer{index}"
        materials[name] = Material(name, 1.0 / resistivity, 1.0, rho_c)
        layers.append(Layer(name, name, thickness, active=powered, lateral=lateral, floorplan=tuple(blocks)))
    if not owners:
        raise ChipInputError(path, None, "no layer dissipates power")
    package_layers = [layer for layer in package.layers if layer.name in ("spreader", "sink")]
    stack = dataclasses.replace(package, layers=layers + package_layers, materials=dict(package.materials))
    stack.materials.update(materials)
    return stack
