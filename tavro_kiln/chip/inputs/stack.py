"""The layer stack file (TOML), read with the standard library's tomllib.

Layers are listed from the die's far side (an insulated face) to the heat
sink; exactly one is the active layer that carries the floorplan's power.
See the chip package's ``examples/stack.toml``.
"""
import math
import re
import tomllib
from dataclasses import dataclass, field

from tavro_kiln.chip.errors import ChipInputError, read_text
from tavro_kiln.chip.inputs.materials import DEFAULT_MATERIALS, Material


@dataclass(frozen=True)
class Layer:
    name: str
    material: str
    thickness: float  # m
    cells: int | None = None  # cells across the thickness; None: about one grid dz each
    active: bool = False


@dataclass
class Stack:
    layers: list  # bottom (insulated face) to top (heat sink)
    ambient: float = 318.15  # K: the air under the sink, and where every run starts
    sink_conductance: float = 2.0e4  # W/(m^2 K) over the die's footprint
    sink_resistance: float | None = None  # K/W; when given, replaces the conductance
    sink_heat_capacity: float | None = None  # J/K; None: a thin aluminium base only
    padding_conductivity: float = 1e-3  # W/(m K), stands in for the insulated faces
    die_width: float | None = None  # m; None: the floorplan's extent
    die_height: float | None = None
    nx: int | None = None  # cells across the die; None: chosen from the die's shape
    ny: int | None = None
    materials: dict = field(default_factory=lambda: dict(DEFAULT_MATERIALS))

    @property
    def active_layer(self):
        return next(layer for layer in self.layers if layer.active)


TOP_KEYS = {"ambient", "heat_sink", "die", "grid", "layers", "materials", "padding_conductivity"}
LAYER_KEYS = {"name", "material", "thickness", "cells", "active"}
MATERIAL_KEYS = {"conductivity", "density", "specific_heat"}


def line_of(text, pattern, occurrence=0):
    """Line number of the ``occurrence``-th match of ``pattern`` (a regex
    anchored at a line start), or None."""
    hits = [m for m in re.finditer(pattern, text, flags=re.MULTILINE)]
    if occurrence < len(hits):
        return text.count("\n", 0, hits[occurrence].start()) + 1
    return None


def read_stack(path):
    text = read_text(path)
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        where = re.search(r"at line (\d+)", str(error))
        raise ChipInputError(path, int(where.group(1)) if where else None,
                             f"not valid TOML: {str(error).split(' (at line')[0]}") from None
    return stack_from_dict(data, path, text)


def positive(path, line, what, value, allow_zero=False):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ChipInputError(path, line, f"{what} must be a number, got {value!r}")
    if value < 0 or (value == 0 and not allow_zero):
        raise ChipInputError(path, line, f"{what} must be {'at least 0' if allow_zero else 'positive'}"
                                         f", got {value!r}")
    return float(value)


def whole(path, line, what, value):
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ChipInputError(path, line, f"{what} must be a whole number of at least 1, got {value!r}")
    return value


def unknown_keys(path, line, table, allowed, where):
    extra = sorted(set(table) - allowed)
    if extra:
        raise ChipInputError(path, line, f"unknown key {extra[0]!r} in {where} "
                                         f"(expected one of: {', '.join(sorted(allowed))})")


def stack_from_dict(data, path="<stack>", text=""):
    """A Stack from the parsed TOML (``text`` only serves to find lines)."""
    unknown_keys(path, None, data, TOP_KEYS, "the stack file")
    stack = Stack(layers=[])
    if "ambient" in data:
        stack.ambient = positive(path, line_of(text, r"^\s*ambient\s*="), "ambient", data["ambient"])
    if "padding_conductivity" in data:
        stack.padding_conductivity = positive(path, line_of(text, r"^\s*padding_conductivity\s*="),
                                              "padding_conductivity", data["padding_conductivity"],
                                              allow_zero=True)
    read_materials(path, text, data.get("materials", {}), stack)
    read_sink(path, text, data.get("heat_sink", {}), stack)
    read_die_and_grid(path, text, data, stack)
    layers = data.get("layers")
    if not isinstance(layers, list) or not layers:
        raise ChipInputError(path, None, "no layers: add [[layers]] tables from the die's far side "
                                         "to the heat sink")
    names = set()
    for index, entry in enumerate(layers):
        line = line_of(text, r"^\s*\[\[\s*layers\s*\]\]", index)
        if not isinstance(entry, dict):
            raise ChipInputError(path, line, "each layer must be a table")
        unknown_keys(path, line, entry, LAYER_KEYS, f"layer {index + 1}")
        name = entry.get("name", f"layer{index + 1}")
        if not isinstance(name, str) or not name or name in names:
            raise ChipInputError(path, line, f"layer name {name!r} is missing, not text or repeated")
        names.add(name)
        material = entry.get("material")
        if material not in stack.materials:
            raise ChipInputError(path, line, f"layer {name!r}: unknown material {material!r} "
                                             f"(known: {', '.join(sorted(stack.materials))})")
        if "thickness" not in entry:
            raise ChipInputError(path, line, f"layer {name!r}: no thickness")
        thickness = positive(path, line, f"layer {name!r}: thickness", entry["thickness"])
        cells = entry.get("cells")
        if cells is not None:
            cells = whole(path, line, f"layer {name!r}: cells", cells)
        active = entry.get("active", False)
        if not isinstance(active, bool):
            raise ChipInputError(path, line, f"layer {name!r}: active must be true or false")
        stack.layers.append(Layer(name, material, thickness, cells, active))
    active = [layer for layer in stack.layers if layer.active]
    if len(active) != 1:
        problem = "no layer is" if not active else f"{len(active)} layers are"
        raise ChipInputError(path, None, f"{problem} marked active = true; exactly one layer carries "
                                         f"the floorplan's power")
    return stack


def read_materials(path, text, table, stack):
    if not isinstance(table, dict):
        raise ChipInputError(path, line_of(text, r"^\s*materials\s*="), "materials must be a table")
    for name, entry in table.items():
        line = line_of(text, rf"^\s*\[\s*materials\.\"?{re.escape(name)}\"?\s*\]")
        if not isinstance(entry, dict):
            raise ChipInputError(path, line, f"material {name!r} must be a table")
        unknown_keys(path, line, entry, MATERIAL_KEYS, f"material {name!r}")
        missing = sorted(MATERIAL_KEYS - set(entry))
        if missing:
            raise ChipInputError(path, line, f"material {name!r}: no {missing[0]}")
        values = {key: positive(path, line, f"material {name!r}: {key}", entry[key]) for key in MATERIAL_KEYS}
        stack.materials[name] = Material(name, values["conductivity"], values["density"],
                                         values["specific_heat"])


def read_sink(path, text, table, stack):
    line = line_of(text, r"^\s*\[\s*heat_sink\s*\]")
    if not isinstance(table, dict):
        raise ChipInputError(path, line, "heat_sink must be a table")
    unknown_keys(path, line, table, {"conductance", "resistance", "heat_capacity"}, "[heat_sink]")
    if "conductance" in table and "resistance" in table:
        raise ChipInputError(path, line, "give the heat sink's conductance or its resistance, not both")
    if "conductance" in table:
        stack.sink_conductance = positive(path, line, "heat_sink conductance", table["conductance"])
    elif "resistance" in table:
        stack.sink_resistance = positive(path, line, "heat_sink resistance", table["resistance"])
    if "heat_capacity" in table:
        stack.sink_heat_capacity = positive(path, line, "heat_sink heat_capacity", table["heat_capacity"])


def read_die_and_grid(path, text, data, stack):
    die, grid = data.get("die", {}), data.get("grid", {})
    for key, table, allowed in (("die", die, {"width", "height"}), ("grid", grid, {"nx", "ny"})):
        line = line_of(text, rf"^\s*\[\s*{key}\s*\]")
        if not isinstance(table, dict):
            raise ChipInputError(path, line, f"{key} must be a table")
        unknown_keys(path, line, table, allowed, f"[{key}]")
        for name in sorted(allowed & set(table)):
            if key == "die":
                setattr(stack, f"die_{name}", positive(path, line, f"die {name}", table[name]))
            else:
                setattr(stack, name, whole(path, line, f"grid {name}", table[name]))
