"""The layer stack file (TOML), read with the standard library's tomllib.

Layers are listed from the die's far side (an insulated face) to the heat
sink; exactly one is the active layer that carries the floorplan's power.
See the chip package's ``examples/stack.toml``.
"""
import dataclasses
import os
import re
import sys
import tomllib
from dataclasses import dataclass, field

from tavro_kiln.chip.errors import ChipInputError, read_text
from tavro_kiln.chip.inputs.floorplan import read_floorplan
from tavro_kiln.chip.inputs.materials import DEFAULT_MATERIALS, Material, value_at
from tavro_kiln.chip.inputs.numbers import cell_count, in_range, shown
from tavro_kiln.chip.inputs.toml_lines import header_offset, key_line, line_at


@dataclass(frozen=True)
class Layer:
    """One layer of the stack: a material over a rectangle, by default the
    die's own footprint.

    Attributes
    ----------
    name : str
        Unique within the stack.
    material : str
        A key of the stack's ``materials``.
    thickness : float
        m.
    cells : int or None
        Cells across the thickness; ``None``: 2 for the active layer,
        otherwise about cubic cells (1 to 16).
    active : bool
        Whether the floorplan's blocks dissipate their power in it; exactly
        one layer of a stack is active, and it covers the die.
    width, height : float or None
        m, the layer's footprint (a spreader or sink larger than the die, a
        substrate); ``None``: the die's.
    left, bottom : float or None
        m, the footprint's lower-left corner in the floorplan's coordinates
        (negative to the left of or below the die); ``None``: centred on
        the die.
    lateral : bool
        Whether heat flows sideways in it (a layer file's "lateral heat
        flow"); ``False``: only through it.
    floorplan : tuple of Block
        Its own blocks: in a stack of several active layers, each active
        layer's powered blocks (names unique across the stack); in any
        layer, blocks with a material of their own (``rho_c``,
        ``conductivity``) replace the layer's there.
    """

    name: str
    material: str
    thickness: float  # m
    cells: int | None = None  # cells across the thickness; None: about one grid dz each
    active: bool = False
    width: float | None = None
    height: float | None = None
    left: float | None = None
    bottom: float | None = None
    lateral: bool = True  # heat flows sideways in it (False: only through it)
    floorplan: tuple = ()  # its own blocks: the powered blocks of a layer of a 3-D stack, or regions of own material

    def footprint(self, die_width, die_height):
        """(left, right, bottom, top) in m."""
        width = self.width or die_width
        height = self.height or die_height
        left = (die_width - width) / 2 if self.left is None else self.left
        bottom = (die_height - height) / 2 if self.bottom is None else self.bottom
        return left, left + width, bottom, bottom + height


@dataclass
class Stack:
    """The chip's package: layers, heat sink, ambient, die size, grid and
    materials, as :func:`read_stack` reads them from TOML.

    The bottom of the first layer and the four sides are insulated; heat
    leaves through the heat sink on top of the last layer.

    Attributes
    ----------
    layers : list of Layer
        From the die's far side (insulated) up to the heat sink.
    ambient : float
        K: the air under the heat sink, and where every run starts.
    sink_conductance : float
        W/(m² K) over the top layer's footprint.
    sink_resistance : float or None
        K/W from the sink's base to the air; when given, it replaces the
        conductance.
    sink_heat_capacity : float or None
        J/K stored by the sink (a lumped layer on top); ``None``: the sink
        stores nothing.
    board_conductance, board_resistance, board_ambient : float or None
        The secondary heat path: the bottom layer (a circuit board under
        the package's substrate and solder) convecting to ``board_ambient``
        (default the ambient) with W/(m² K) over its footprint, or K/W;
        ``None``: the bottom face is insulated.
    padding_conductivity : float or None
        Read from older stack files and not used.
    die_width, die_height : float or None
        m; ``None``: the floorplan's extent.
    nx, ny : int or None
        Cells across the die; ``None``: chosen from the die's shape.
    materials : dict of str to Material
        :data:`DEFAULT_MATERIALS` and the file's ``[materials.NAME]``
        tables.
    leakage : dict or None
        ``{"beta": 1/K, "reference": K, "watts": {block: W}}`` from a
        ``[leakage]`` table: each named block also draws W * exp(beta *
        (T - reference)) at its mean temperature T.
    initial_temperature : float or None
        K where a transient starts; ``None``: the ambient.
    interval : float or None
        s per line of the power trace, when the package's file gives it.
    """

    layers: list  # bottom (insulated face) to top (heat sink)
    ambient: float = 318.15  # K: the air under the sink, and where every run starts
    sink_conductance: float = 2.0e4  # W/(m^2 K) over the top layer's footprint
    sink_resistance: float | None = None  # K/W; when given, replaces the conductance
    sink_heat_capacity: float | None = None  # J/K stored by the sink; None: the sink stores nothing
    # The secondary path: the bottom layer (a board) convecting to its own air; None: insulated.
    board_conductance: float | None = None  # W/(m^2 K) over the bottom layer's footprint
    board_resistance: float | None = None  # K/W; when given, replaces the conductance
    board_ambient: float | None = None  # K; None: the ambient
    # Read from older stack files and not used: the sides and the bottom are
    # insulated exactly.
    padding_conductivity: float | None = None
    die_width: float | None = None  # m; None: the floorplan's extent
    die_height: float | None = None
    nx: int | None = None  # cells across the die; None: chosen from the die's shape
    ny: int | None = None
    materials: dict = field(default_factory=lambda: dict(DEFAULT_MATERIALS))
    # {"beta": 1/K, "reference": K, "watts": {block name: W at the reference}}, or None
    leakage: dict | None = None
    initial_temperature: float | None = None  # K where a transient starts; None: the ambient
    interval: float | None = None  # s per line of the power trace, when the package file gives it

    @property
    def active_layer(self):
        """The (first) layer that carries the floorplan's power."""
        return next(layer for layer in self.layers if layer.active)

    def power_blocks(self):
        """The blocks of every active layer's own floorplan, bottom layer
        first: the ``blocks`` to run a stack of several active layers with."""
        return [block for layer in self.layers if layer.active for block in layer.floorplan]


TOP_KEYS = {"ambient", "heat_sink", "board", "die", "grid", "layers", "materials", "padding_conductivity",
            "leakage"}
LAYER_KEYS = {"name", "material", "thickness", "cells", "active", "width", "height", "left", "bottom", "floorplan",
              "chiplets"}
CHIPLET_KEYS = {"floorplan", "left", "bottom", "material"}
# Upper bound and unit of each material property; the lower bound keeps
# 1 / (density * specific heat) and the stability limit finite.
MATERIAL_RANGES = {"conductivity": (1e6, "W/(m K)"), "density": (1e6, "kg/m^3"),
                   "specific_heat": (1e6, "J/(kg K)")}
MATERIAL_LOW = 1e-6
LENGTH = {"high": 1.0, "unit": "m", "low": 1e-9}  # thicknesses and die sides: 1 nm to 1 m
# Silicon melts at 1687 K, and its conductivity model turns negative near 2300 K.
MAX_AMBIENT = 1600.0


def read_stack(path):
    """Reads a layer stack file (TOML).

    Top-level ``ambient`` (K), a ``[heat_sink]`` table (``conductance`` in
    W/(m² K) or ``resistance`` in K/W, optional ``heat_capacity`` in J/K),
    optional ``[die]`` (``width``, ``height`` in m) and ``[grid]`` (``nx``,
    ``ny``), ``[materials.NAME]`` tables (``conductivity``, ``density``,
    ``specific_heat``), and ``[[layers]]`` tables from the die's far side to
    the heat sink (``name``, ``material``, ``thickness`` in m, optional
    ``cells`` and ``active``). Every value is checked against its range.

    Parameters
    ----------
    path : str or os.PathLike
        A UTF-8 TOML file, e.g. the package's ``examples/stack.toml``.

    Returns
    -------
    Stack

    Raises
    ------
    ChipInputError
        The file cannot be read or is not valid TOML; a key is unknown; a
        value has the wrong type or lies outside its range; a material is
        unknown; there are no layers or not exactly one active layer. The
        message names the file and, where it can, the line.
    """
    text = read_text(path)
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        where = re.search(r"at line (\d+)", str(error))
        raise ChipInputError(path, int(where.group(1)) if where else None,
                             f"not valid TOML: {str(error).split(' (at line')[0]}") from None
    except ValueError:  # int() refuses integers of more than sys.get_int_max_str_digits()
        limit = sys.get_int_max_str_digits()
        line = line_at(text, next((m.start() for m in re.finditer(rf"\d{{{limit + 1}}}", text)), None))
        raise ChipInputError(path, line, f"not valid TOML: an integer of more than {limit} digits") from None
    return stack_from_dict(data, path, text)


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
        stack.ambient = in_range(path, key_line(text, "ambient"), "ambient", data["ambient"],
                                 MAX_AMBIENT, "K")
    if "padding_conductivity" in data:
        stack.padding_conductivity = in_range(path, key_line(text, "padding_conductivity"),
                                              "padding_conductivity", data["padding_conductivity"],
                                              MATERIAL_RANGES["conductivity"][0], "W/(m K)", zero=True)
    read_materials(path, text, data.get("materials", {}), stack)
    read_sink(path, text, data.get("heat_sink", {}), stack)
    read_board(path, text, data.get("board"), stack)
    read_die_and_grid(path, text, data, stack)
    read_leakage(path, text, data.get("leakage"), stack)
    layers = data.get("layers")
    if not isinstance(layers, list) or not layers:
        raise ChipInputError(path, None, "no layers: add [[layers]] tables from the die's far side "
                                         "to the heat sink")
    names = set()
    for index, entry in enumerate(layers):
        line = line_at(text, header_offset(text, "layers", index))
        if not isinstance(entry, dict):
            raise ChipInputError(path, line, "each layer must be a table")
        unknown_keys(path, line, entry, LAYER_KEYS, f"layer {index + 1}")
        layer = read_layer(path, text, index, entry, stack.materials, names)
        stack.layers.append(with_floorplans(path, text, index, entry, layer, stack))
    active = [layer for layer in stack.layers if layer.active]
    if len(active) > 1 and all(layer.floorplan for layer in active):
        return stack
    if len(active) != 1:
        problem = "no layer is" if not active else f"{len(active)} layers are"
        raise ChipInputError(path, None, f"{problem} marked active = true; exactly one layer carries "
                                         f"the floorplan's power, or each active layer names its own "
                                         f"floorplan (or chiplets)")
    return stack


def read_layer(path, text, index, entry, materials, names):
    """The ``index``-th [[layers]] table; ``names`` collects the names so far."""
    def line(key):
        return key_line(text, key, "layers", index)

    name = entry.get("name", f"layer{index + 1}")
    if not isinstance(name, str) or not name or name in names:
        raise ChipInputError(path, line("name"), f"layer name {shown(name)} is missing, not text or repeated")
    names.add(name)
    material = entry.get("material")
    if material is None:
        raise ChipInputError(path, line("material"), f"layer {name!r}: no material "
                                                     f"(known: {', '.join(sorted(materials))})")
    if not isinstance(material, str):
        raise ChipInputError(path, line("material"), f"layer {name!r}: material must be one name in "
                                                     f"quotes, got {shown(material)}")
    if material not in materials:
        raise ChipInputError(path, line("material"), f"layer {name!r}: unknown material {material!r} "
                                                     f"(known: {', '.join(sorted(materials))})")
    if "thickness" not in entry:
        raise ChipInputError(path, line("thickness"), f"layer {name!r}: no thickness")
    thickness = in_range(path, line("thickness"), f"layer {name!r}: thickness", entry["thickness"], **LENGTH)
    cells = entry.get("cells")
    if cells is not None:
        cells = cell_count(path, line("cells"), f"layer {name!r}: cells", cells)
    active = entry.get("active", False)
    if not isinstance(active, bool):
        raise ChipInputError(path, line("active"), f"layer {name!r}: active must be true or false")
    place = {key: in_range(path, line(key), f"layer {name!r}: {key}", entry[key], **LENGTH)
             for key in ("width", "height") if key in entry}
    place.update({key: in_range(path, line(key), f"layer {name!r}: {key}", entry[key], 1.0, "m", low=-1.0)
                  for key in ("left", "bottom") if key in entry})
    if active and place:
        raise ChipInputError(path, line(sorted(place)[0]), f"layer {name!r}: the active layer covers the "
                                                           f"die; give the die's size in [die]")
    return Layer(name, material, thickness, cells, active, **place)


def with_floorplans(path, text, index, entry, layer, stack):
    """``layer`` with the blocks of its own ``floorplan`` file (paths are
    relative to the stack file), or of its ``chiplets``: dies placed on the
    layer, each a floorplan whose blocks are moved by ``left``, ``bottom``
    and made of ``material`` (silicon by default); the rest of the layer is
    its own material (an underfill or mould between the dies)."""
    if "floorplan" in entry and "chiplets" in entry:
        raise ChipInputError(path, key_line(text, "chiplets", "layers", index),
                             f"layer {layer.name!r}: give floorplan or chiplets, not both")
    folder = os.path.dirname(os.path.abspath(path)) if os.path.exists(str(path)) else os.getcwd()

    def floorplan_at(value, line):
        if not isinstance(value, str) or not value:
            raise ChipInputError(path, line, f"layer {layer.name!r}: floorplan must be a file name in quotes")
        return read_floorplan(value if os.path.isabs(value) else os.path.join(folder, value), with_materials=True)

    if "floorplan" in entry:
        blocks = floorplan_at(entry["floorplan"], key_line(text, "floorplan", "layers", index))
        return dataclasses.replace(layer, floorplan=tuple(blocks))
    if "chiplets" not in entry:
        return layer
    line = key_line(text, "chiplets", "layers", index)
    chiplets = entry["chiplets"]
    if not isinstance(chiplets, list) or not chiplets or not all(isinstance(c, dict) for c in chiplets):
        raise ChipInputError(path, line, f"layer {layer.name!r}: chiplets must be a list of tables "
                                         f"{{floorplan = ..., left = ..., bottom = ...}}")
    blocks, seen = [], set()
    for chiplet in chiplets:
        unknown_keys(path, line, chiplet, CHIPLET_KEYS, f"a chiplet of layer {layer.name!r}")
        for key in ("floorplan", "left", "bottom"):
            if key not in chiplet:
                raise ChipInputError(path, line, f"layer {layer.name!r}: a chiplet needs {key}")
        left = in_range(path, line, "chiplet left", chiplet["left"], 1.0, "m", low=-1.0)
        bottom = in_range(path, line, "chiplet bottom", chiplet["bottom"], 1.0, "m", low=-1.0)
        name = chiplet.get("material", "silicon")
        if not isinstance(name, str) or name not in stack.materials:
            raise ChipInputError(path, line, f"layer {layer.name!r}: unknown chiplet material {shown(name)}")
        material = stack.materials[name]
        own = {"rho_c": material.density * value_at(material.specific_heat, stack.ambient),
               "conductivity": value_at(material.conductivity, stack.ambient)}
        for block in floorplan_at(chiplet["floorplan"], line):
            if block.name in seen:
                raise ChipInputError(path, line, f"layer {layer.name!r}: block {block.name!r} is in two "
                                                 f"chiplets; the power trace needs unique names")
            seen.add(block.name)
            placed = dataclasses.replace(block, left=block.left + left, bottom=block.bottom + bottom)
            blocks.append(placed if block.conductivity is not None else dataclasses.replace(placed, **own))
    return dataclasses.replace(layer, floorplan=tuple(blocks))


def read_materials(path, text, table, stack):
    if not isinstance(table, dict):
        raise ChipInputError(path, key_line(text, "materials"), "materials must be a table")
    for name, entry in table.items():
        header = rf"materials\.\"?{re.escape(name)}\"?"
        line = line_at(text, header_offset(text, header))
        if not isinstance(entry, dict):
            raise ChipInputError(path, line, f"material {name!r} must be a table")
        unknown_keys(path, line, entry, set(MATERIAL_RANGES), f"material {name!r}")
        missing = sorted(set(MATERIAL_RANGES) - set(entry))
        if missing:
            raise ChipInputError(path, line, f"material {name!r}: no {missing[0]}")
        values = {key: in_range(path, key_line(text, key, header), f"material {name!r}: {key}", entry[key],
                                high, unit, low=MATERIAL_LOW)
                  for key, (high, unit) in MATERIAL_RANGES.items()}
        stack.materials[name] = Material(name, values["conductivity"], values["density"],
                                         values["specific_heat"])


def checked_table(path, text, table, name, keys):
    """The line of table ``[name]``, once it is a table of known ``keys``."""
    line = line_at(text, header_offset(text, name))
    if not isinstance(table, dict):
        raise ChipInputError(path, line, f"{name} must be a table")
    unknown_keys(path, line, table, keys, f"[{name}]")
    return line


def read_leakage(path, text, table, stack):
    """``[leakage]``: ``beta`` (1/K), ``reference`` (K) and a ``[leakage.watts]``
    table of block names and their leakage (W) at the reference."""
    if table is None:
        return
    line = checked_table(path, text, table, "leakage", {"beta", "reference", "watts"})
    for key in ("beta", "reference", "watts"):
        if key not in table:
            raise ChipInputError(path, line, f"[leakage] needs {key}")
    beta = in_range(path, key_line(text, "beta", "leakage"), "leakage beta", table["beta"], 1.0, "1/K", zero=True)
    reference = in_range(path, key_line(text, "reference", "leakage"), "leakage reference", table["reference"],
                         MAX_AMBIENT, "K")
    watts_line = line_at(text, header_offset(text, r"leakage\.watts"))
    if not isinstance(table["watts"], dict):
        raise ChipInputError(path, watts_line, "[leakage.watts] must be a table of block names and watts")
    watts = {name: in_range(path, key_line(text, name, r"leakage\.watts"), f"leakage of {name!r}", value, 1e6, "W",
                            zero=True)
             for name, value in table["watts"].items()}
    stack.leakage = {"beta": beta, "reference": reference, "watts": watts}


def read_board(path, text, table, stack):
    """``[board]``: the bottom layer's convection, ``conductance`` (W/(m² K))
    or ``resistance`` (K/W), and its own ``ambient`` (K)."""
    if table is None:
        return
    line = checked_table(path, text, table, "board", {"conductance", "resistance", "ambient"})
    if ("conductance" in table) == ("resistance" in table):
        raise ChipInputError(path, line, "give the board's conductance or its resistance (one of them)")
    if "conductance" in table:
        stack.board_conductance = in_range(path, key_line(text, "conductance", "board"), "board conductance",
                                           table["conductance"], 1e12, "W/(m^2 K)")
    else:
        stack.board_resistance = in_range(path, key_line(text, "resistance", "board"), "board resistance",
                                          table["resistance"], 1e12, "K/W", low=1e-9)
    if "ambient" in table:
        stack.board_ambient = in_range(path, key_line(text, "ambient", "board"), "board ambient",
                                       table["ambient"], MAX_AMBIENT, "K")


def read_sink(path, text, table, stack):
    line = line_at(text, header_offset(text, "heat_sink"))
    if not isinstance(table, dict):
        raise ChipInputError(path, key_line(text, "heat_sink"), "heat_sink must be a table")
    unknown_keys(path, line, table, {"conductance", "resistance", "heat_capacity"}, "[heat_sink]")
    if "conductance" in table and "resistance" in table:
        raise ChipInputError(path, line, "give the heat sink's conductance or its resistance, not both")
    # Lower bounds where the grid divides by the value.
    if "conductance" in table:
        stack.sink_conductance = in_range(path, key_line(text, "conductance", "heat_sink"),
                                          "heat_sink conductance", table["conductance"], 1e12, "W/(m^2 K)")
    elif "resistance" in table:
        stack.sink_resistance = in_range(path, key_line(text, "resistance", "heat_sink"),
                                         "heat_sink resistance", table["resistance"], 1e12, "K/W", low=1e-9)
    if "heat_capacity" in table:
        stack.sink_heat_capacity = in_range(path, key_line(text, "heat_capacity", "heat_sink"),
                                            "heat_sink heat_capacity", table["heat_capacity"], 1e12, "J/K",
                                            low=1e-9)


def read_die_and_grid(path, text, data, stack):
    die, grid = data.get("die", {}), data.get("grid", {})
    for key, table, allowed in (("die", die, {"width", "height"}), ("grid", grid, {"nx", "ny"})):
        line = line_at(text, header_offset(text, key))
        if not isinstance(table, dict):
            raise ChipInputError(path, key_line(text, key), f"{key} must be a table")
        unknown_keys(path, line, table, allowed, f"[{key}]")
        for name in sorted(allowed & set(table)):
            where = key_line(text, name, key)
            if key == "die":
                setattr(stack, f"die_{name}", in_range(path, where, f"die {name}", table[name], **LENGTH))
            else:
                setattr(stack, name, cell_count(path, where, f"grid {name}", table[name]))
