"""The compact thermal simulators' configuration file: one ``-name value``
option a line (``#`` comments), describing the package of a die: its
thickness and material, a thermal interface, a square copper spreader and
heat sink centred on the die, and the convection from the sink to the air.

The die's power goes into a thin active layer at its face away from the
sink (where a flip-chip die's transistors are, ``active_thickness``, 5 µm by
default), the rest of the die above it. ``k_*`` are conductivities in
W/(m K), ``p_*`` volumetric heat capacities in J/(m³ K), ``t_*`` thicknesses
and ``s_*`` square sides in m; ``r_convec`` is the sink-to-air resistance
in K/W and ``c_convec`` the sink's heat capacity in J/K.
"""
from tavro_kiln.chip.errors import ChipInputError, read_lines
from tavro_kiln.chip.inputs.materials import Material
from tavro_kiln.chip.inputs.numbers import MAX_CELLS, parse_number
from tavro_kiln.chip.inputs.stack import Layer, Stack

DEFAULT_ACTIVE_THICKNESS = 5e-6  # m

# The package's options and their defaults (that family of simulators' own).
PACKAGE = {
    "t_chip": 0.15e-3, "k_chip": 100.0, "p_chip": 1.75e6,
    "t_interface": 20e-6, "k_interface": 4.0, "p_interface": 4.0e6,
    "s_spreader": 0.03, "t_spreader": 1e-3, "k_spreader": 400.0, "p_spreader": 3.55e6,
    "s_sink": 0.06, "t_sink": 6.9e-3, "k_sink": 400.0, "p_sink": 3.55e6,
    "r_convec": 0.1, "c_convec": 140.4, "ambient": 318.15, "init_temp": 333.15, "sampling_intvl": 3.333e-6,
    "model_secondary": 0.0,
}
# Read and checked as numbers, used only with the secondary heat path.
SECONDARY = {"n_metal", "t_metal", "t_c4", "s_c4", "n_c4", "s_sub", "t_sub", "s_solder", "t_solder", "s_pcb",
             "t_pcb", "r_convec_sec", "c_convec_sec"}
# Options of those simulators that do not change the physics modelled here.
IGNORED = {"thermal_threshold", "base_proc_freq", "dtm_used", "block_omit_lat", "model_type", "init_file",
           "steady_file", "grid_steady_file", "grid_map_mode", "grid_transient_file"}
GRID = {"grid_rows": "ny", "grid_cols": "nx"}


def read_options(path):
    """{name: (value text, line)} of the file's options."""
    options = {}
    for number, line in enumerate(read_lines(path), start=1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        if len(fields) != 2 or not fields[0].startswith("-") or len(fields[0]) == 1:
            raise ChipInputError(path, number, f"expected '-name value', got {line.strip()!r}")
        name = fields[0][1:]
        if name in options:
            raise ChipInputError(path, number, f"option -{name} is given twice (first on line "
                                               f"{options[name][1]})")
        options[name] = (fields[1], number)
    return options


def read_package_config(path, active_thickness=DEFAULT_ACTIVE_THICKNESS):
    """A Stack from a configuration file (see the module's description);
    ``path`` None gives the defaults."""
    options = read_options(path) if path is not None else {}
    values = dict(PACKAGE)
    lines = {}
    for name, (text, line) in options.items():
        if name in IGNORED:
            continue
        if name not in PACKAGE and name not in SECONDARY and name not in GRID:
            hint = " (a layer file is given with --layers)" if name == "grid_layer_file" else ""
            raise ChipInputError(path, line, f"unknown option -{name}{hint}")
        value = parse_number(path, line, text, f"-{name}")
        if name in GRID:
            if value != int(value) or not 1 <= value <= MAX_CELLS:
                raise ChipInputError(path, line, f"-{name} must be a whole number from 1 to {MAX_CELLS}")
        elif name not in ("model_secondary",) and not value > 0.0:
            raise ChipInputError(path, line, f"-{name} must be positive, got {text}")
        values[name] = value
        lines[name] = line
    if values["model_secondary"] != 0.0:
        raise ChipInputError(path, lines["model_secondary"], "the secondary heat path (-model_secondary 1) is "
                                                             "not read from this file; set it to 0 and describe "
                                                             "the layers under the die and a [board] in a stack "
                                                             "file")
    if not values["t_chip"] > active_thickness:
        raise ChipInputError(path, lines.get("t_chip"), f"-t_chip {values['t_chip']:g} m leaves no die above "
                                                        f"the {active_thickness:g} m active layer")
    materials = {}
    for part in ("chip", "interface", "spreader", "sink"):
        # A volumetric heat capacity: density 1, specific heat p.
        materials[part] = Material(part, values[f"k_{part}"], 1.0, values[f"p_{part}"])
    layers = [Layer("active", "chip", active_thickness, active=True),
              Layer("die", "chip", values["t_chip"] - active_thickness),
              Layer("interface", "interface", values["t_interface"]),
              Layer("spreader", "spreader", values["t_spreader"], width=values["s_spreader"],
                    height=values["s_spreader"]),
              Layer("sink", "sink", values["t_sink"], width=values["s_sink"], height=values["s_sink"])]
    stack = Stack(layers=layers, ambient=values["ambient"], sink_resistance=values["r_convec"],
                  sink_heat_capacity=values["c_convec"], initial_temperature=values["init_temp"],
                  interval=values["sampling_intvl"])
    stack.materials.update(materials)
    for name, attribute in GRID.items():
        if name in values:
            setattr(stack, attribute, int(values[name]))
    return stack
