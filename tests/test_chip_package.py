"""Packages larger than the die: per-layer footprints on an uneven grid,
the compact simulators' configuration file, and the ev6 reference case
(tests/data/ev6: that simulator's example inputs, licence and results)."""
import json
import os

import numpy as np
import pytest

from tavro_kiln.chip import Block, ChipInputError, Layer, Stack, build_grid, read_floorplan, read_power_trace
from tavro_kiln.chip import steady_state, transient, watts_by_block
from tavro_kiln.chip.inputs.package_config import read_package_config
from tavro_kiln.chip.inputs.stack import read_stack
from tavro_kiln.chip.outputs.report import block_temperatures

EV6 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "ev6")


def ev6_inputs():
    blocks = read_floorplan(os.path.join(EV6, "ev6.flp"))
    trace = read_power_trace(os.path.join(EV6, "gcc.ptrace"), [b.name for b in blocks])
    with open(os.path.join(EV6, "reference.json"), encoding="utf-8") as handle:
        reference = json.load(handle)
    return blocks, watts_by_block(trace, blocks).mean(axis=0), reference


def block_rises(run, blocks, ambient):
    """The reference's block value: the plain mean of every cell the block touches."""
    active = run.temperature[:, :, run.grid.active]
    return np.array([active[b.i, b.j, :].mean() for b in run.grid.blocks]) - ambient


def test_ev6_die_sized_package_matches_the_converged_reference():
    blocks, watts, reference = ev6_inputs()
    stack = read_package_config(os.path.join(EV6, "ev6-diesized.config"))
    run = steady_state(stack, blocks, watts)
    order = [reference["names"].index(b.name) for b in blocks]
    expected = np.array(reference["diesized_extrapolated"]["K"])[order] - stack.ambient
    error = np.abs(block_rises(run, blocks, stack.ambient) - expected) / expected
    assert error.mean() < 0.03 and error.max() < 0.08
    assert run.heat_out_W == pytest.approx(watts.sum(), rel=1e-9)


def spread_stack():
    layers = [Layer("die", "silicon", 100e-6, 2, True), Layer("spreader", "copper", 1e-3, 4, width=12e-3,
                                                                  height=9e-3),
              Layer("sink", "aluminium", 3e-3, 4, width=20e-3, height=20e-3, left=-6e-3, bottom=-8e-3)]
    return Stack(layers=layers, ambient=300.0, sink_resistance=0.5, nx=16, ny=8)


def test_footprints_are_cells_with_material_and_keep_the_heat_balance():
    blocks = [Block("a", 3e-3, 2e-3, 0.0, 0.0), Block("b", 3e-3, 2e-3, 5e-3, 2e-3)]
    grid = build_grid(spread_stack(), blocks)
    # The die is 8 x 4 mm; every footprint's sides are cell edges.
    for edges, sides in ((grid.x_edges, (-6e-3, -2e-3, 0.0, 8e-3, 10e-3, 14e-3)),
                         (grid.y_edges, (-8e-3, -2.5e-3, 0.0, 4e-3, 6.5e-3, 12e-3))):
        assert all(np.isclose(edges, side, rtol=0, atol=1e-12).any() for side in sides)
        assert edges[0] == pytest.approx(sides[0]) and edges[-1] == pytest.approx(sides[-1])
    widths = np.diff(grid.x_edges)
    assert widths.max() > 4 * widths.min()  # cells widen away from the die
    run = steady_state(spread_stack(), blocks, [2.0, 3.0])
    # Long, thin cells beside the die merge only along their short side.
    assert run.heat_out_W == pytest.approx(5.0, rel=1e-9) and run.iterations <= 20
    present = grid.material != 0xFFFF
    assert np.isnan(run.temperature[~present]).all() and np.isfinite(run.temperature[present]).all()
    # A wider spreader and sink only take heat away better.
    die_sized = Stack(layers=[Layer(l.name, l.material, l.thickness, l.cells, l.active) for l in spread_stack().layers],
                      ambient=300.0, sink_resistance=0.5, nx=16, ny=8)
    assert np.nanmax(run.temperature) < steady_state(die_sized, blocks, [2.0, 3.0]).temperature.max()


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("text, line, words", [
    ("-t_chip 0.00015\n-k_chip\n", 2, "expected '-name value'"),
    ("# comment\nt_chip 0.00015\n", 2, "expected '-name value'"),
    ("-t_chip 1e-4\n\n-t_chip 2e-4\n", 3, "given twice (first on line 1)"),
    ("-k_chip 100\n-colour blue\n", 2, "unknown option -colour"),
    ("-grid_layer_file layers.lcf\n", 1, "--layers"),
    ("-k_sink 1_000\n", 1, "-k_sink '1_000' is not a number"),
    ("-k_sink -4\n", 1, "must be positive"),
    ("-model_secondary 1\n", 1, "secondary heat path"),
    ("-t_chip 4e-6\n", 1, "leaves no die above"),
    ("-grid_rows 2.5\n", 1, "whole number"),
])
def test_configuration_file_errors(tmp_path, text, line, words):
    path = write(tmp_path, "p.config", text)
    with pytest.raises(ChipInputError) as raised:
        read_package_config(path)
    assert raised.value.line == line and raised.value.path == path and words in raised.value.message


def test_stack_file_footprints(tmp_path):
    base = "[[layers]]\nmaterial = 'silicon'\nthickness = 1e-4\nactive = true\n[[layers]]\nmaterial = 'copper'\n"
    stack = read_stack(write(tmp_path, "s.toml", base + "thickness = 1e-3\nwidth = 3e-2\nheight = 2e-2\n"
                                                        "left = -1e-2\n"))
    assert stack.layers[1].footprint(1e-2, 1e-2) == pytest.approx((-1e-2, 2e-2, -5e-3, 1.5e-2))
    for bad, words in (("width = 0.0\n", "width must be"), ("left = -2.0\n", "left must be")):
        with pytest.raises(ChipInputError, match=words):
            read_stack(write(tmp_path, "b.toml", base + "thickness = 1e-3\n" + bad))
    with pytest.raises(ChipInputError, match="active layer covers the die"):
        read_stack(write(tmp_path, "a.toml", base.replace("active = true\n", "active = true\nwidth = 1e-2\n")
                         + "thickness = 1e-3\n"))


def test_command_line_runs_a_configuration_file_and_writes_the_simulators_files(tmp_path):
    from tavro_kiln.__main__ import main

    out = tmp_path / "out"
    files = [os.path.join(EV6, name) for name in ("ev6-diesized.config", "ev6.flp", "gcc.ptrace")]
    assert main(["chip", "--config", files[0], files[1], files[2], "--out", str(out), "--quiet",
                 "--no-pictures", "--no-vtk"]) == 0
    steady = dict(line.split("\t") for line in (out / "blocks.steady").read_text().splitlines())
    table = json.loads((out / "blocks.json").read_text())["blocks"]
    assert float(steady["IntReg_0"]) == pytest.approx(next(r["mean_K"] for r in table if r["block"] == "IntReg_0"),
                                                      abs=1e-6)
    grid = [line.split("\t") for line in (out / "active.grid").read_text().splitlines()]
    assert [int(i) for i, _ in grid] == list(range(64 * 64))  # the file's -grid_rows/-grid_cols default
    # Three intervals of its trace, 10 ms each, from its initial temperature.
    trace = tmp_path / "short.ptrace"
    trace.write_text("\n".join(open(files[2], encoding="utf-8").read().splitlines()[:4]) + "\n")
    assert main(["chip", "--config", files[0], files[1], str(trace), "--out", str(out), "--quiet",
                 "--no-pictures", "--no-vtk", "--transient"]) == 0
    rows = (out / "blocks.ttrace").read_text().splitlines()
    assert rows[0].split("\t")[:2] == ["L2_left", "L2"] and len(rows) == 4


def leaky_column():
    layers = [Layer("active", "silicon", 5e-6, 2, True), Layer("die", "silicon", 200e-6, 2)]
    return Stack(layers=layers, ambient=320.0, sink_resistance=0.5, nx=4, ny=4), [Block("die", 8e-3, 8e-3, 0.0, 0.0)]


def test_leakage_reaches_the_one_dimensional_fixed_point_or_reports_runaway(tmp_path):
    from tavro_kiln.chip import Leakage, ThermalRunaway

    stack, blocks = leaky_column()
    # The model is linear in the power: one unit run gives the block's rise per watt.
    def block_mean(run):
        return block_temperatures(run.grid, run.temperature[:, :, run.grid.active])[0][1]

    per_watt = block_mean(steady_state(stack, blocks, [1.0], tol=1e-10)) - stack.ambient
    dynamic, leak, beta, reference = 10.0, 4.0, 0.02, 330.0
    power = dynamic
    for _ in range(500):  # the scalar fixed point, to rounding
        power = dynamic + leak * np.exp(beta * (stack.ambient + per_watt * power - reference))
    run = steady_state(stack, blocks, [dynamic], tol=1e-10, leakage=Leakage((leak,), beta, reference))
    # The iteration stops when no block's mean moves by 1e-3 K.
    assert run.block_watts[0] == pytest.approx(power, rel=1e-4)
    assert block_mean(run) - stack.ambient == pytest.approx(per_watt * run.block_watts[0], rel=1e-9)
    # Loop gain past 1 (beta * rise per watt * leakage): no fixed point.
    with pytest.raises(ThermalRunaway) as raised:
        steady_state(stack, blocks, [dynamic], leakage=Leakage((60.0,), 0.05, reference))
    assert raised.value.block == "die" and "thermal runaway" in str(raised.value)
    # On the command line: a distinct exit status and the block's name.
    from tavro_kiln.__main__ import main

    floorplan = write(tmp_path, "f.flp", "die 8e-3 8e-3 0 0\n")
    trace = write(tmp_path, "p.ptrace", "die\n10\n")
    stack_file = write(tmp_path, "s.toml", "ambient = 320.0\n[heat_sink]\nresistance = 0.5\n[grid]\nnx = 4\n"
                                             "[[layers]]\nmaterial = 'silicon'\nthickness = 5e-6\nactive = true\n"
                                             "[leakage]\nbeta = 0.05\nreference = 330.0\n[leakage.watts]\ndie = 60.0\n")
    assert main(["chip", floorplan, trace, "--stack", stack_file, "--out", str(tmp_path / "o"), "--quiet",
                 "--no-pictures", "--no-vtk"]) == 4
    # A transient steps into it too, each step at its own fixed point.
    cool = transient(stack, blocks, [[dynamic]] * 3, 10.0, leakage=Leakage((leak,), beta, reference))
    assert cool.block_watts[0] == pytest.approx(power, rel=1e-3)


@pytest.mark.parametrize("ratio", [0.2, 0.6])
def test_spreading_into_a_larger_plate_matches_the_series_solution(ratio):
    from spreading_reference import source_resistance
    from tavro_kiln.chip import Material

    c, t, k, h = 30e-3, 2e-3, 400.0, 2000.0
    a = ratio * c
    # The source is a 1 um film of the plate's material under the plate's centre.
    stack = Stack(layers=[Layer("source", "plate", 1e-6, 1, True), Layer("plate", "plate", t, 8, width=c, height=c)],
                  ambient=300.0, sink_conductance=h, nx=16, ny=16)
    stack.materials["plate"] = Material("plate", k, 1.0, 1.0)
    run = steady_state(stack, [Block("source", a, a, 0.0, 0.0)], [1.0], tol=1e-10)
    rise = block_temperatures(run.grid, run.temperature[:, :, run.grid.active])[0][1] - 300.0
    assert rise == pytest.approx(source_resistance(a, c, t, k, h), rel=0.03)


def two_die_stack(bond_blocks=()):
    """Two 10 x 10 mm dies, each heating uniformly, bonded by a 20 um layer,
    under a die-sized sink of 1000 W/(m^2 K)."""
    from tavro_kiln.chip import Material

    bottom, top = Block("bottom", 10e-3, 10e-3, 0.0, 0.0), Block("top", 10e-3, 10e-3, 0.0, 0.0)
    layers = [Layer("die0", "si", 50e-6, 4, True, floorplan=(bottom,)),
              Layer("bond", "bond", 20e-6, 2, floorplan=tuple(bond_blocks)),
              Layer("die1", "si", 50e-6, 4, True, floorplan=(top,))]
    stack = Stack(layers=layers, ambient=300.0, sink_conductance=1000.0, nx=8, ny=8)
    stack.materials.update(si=Material("si", 100.0, 1.0, 1.6e6), bond=Material("bond", 0.5, 1.0, 2e6))
    return stack


def test_two_powered_dies_match_their_series_answer(tmp_path):
    stack = two_die_stack()
    run = steady_state(stack, stack.power_blocks(), [3.0, 2.0], tol=1e-10)
    area, top_face = 1e-4, 300.0 + 5.0 / (1000.0 * 1e-4)

    def mean_above_top(flux_below, power, thickness, k):  # a uniformly heated layer's mean rise
        return (flux_below * thickness / 2 + power * thickness / 3) / (k * area)

    top_die = top_face + mean_above_top(3.0, 2.0, 50e-6, 100.0)
    top_die_bottom = top_face + (3.0 + 2.0 / 2) * 50e-6 / (100.0 * area)
    bottom_die = top_die_bottom + 3.0 * 20e-6 / (0.5 * area) + mean_above_top(0.0, 3.0, 50e-6, 100.0)
    means = [mean for _, mean in block_temperatures(run.grid, run.temperature[:, :, run.grid.active])]
    assert means == pytest.approx([bottom_die, top_die], abs=1e-3 * (bottom_die - 300.0))
    assert run.heat_out_W == pytest.approx(5.0, rel=1e-9)
    # Each powered die gets a heat map of its own blocks.
    from tavro_kiln.chip.outputs.write import write_all

    written = {os.path.basename(p) for p in write_all(run, [3.0, 2.0], tmp_path, 300.0, 1.0, vtk=False)}
    assert {"active_layer_die0.png", "active_layer_die1.png", "section.png"} <= written
    assert "active_layer.png" not in written
    # A copper-filled region through the bond layer cools the bottom die above it.
    via = Block("via", 2e-3, 2e-3, 4e-3, 4e-3, rho_c=3.4e6, conductivity=400.0)
    cooled = steady_state(two_die_stack([via]), stack.power_blocks(), [3.0, 2.0], tol=1e-10)
    assert "bond:via" in cooled.grid.material_names
    assert cooled.temperature[:, :, 0].min() < run.temperature[:, :, 0].min() - 0.1


LAYER = "{n}\nY\n{power}\n1.75e6\n0.01\n50e-6\n{flp}\n"


@pytest.mark.parametrize("text, line, words", [
    (LAYER.format(n=0, power="Y", flp="a.flp") + "1\nY\nN\n", 10, "its volumetric heat capacity is missing"),
    (LAYER.format(n=1, power="Y", flp="a.flp"), 1, "expected layer number 0"),
    (LAYER.format(n=0, power="maybe", flp="a.flp"), 3, "power dissipation must be Y or N"),
    (LAYER.format(n=0, power="Y", flp="a.flp").replace("0.01", "-0.01"), 5, "resistivity must be positive"),
    (LAYER.format(n=0, power="N", flp="a.flp"), None, "no layer dissipates power"),
])
def test_layer_file_errors(tmp_path, text, line, words):
    from tavro_kiln.chip.inputs.layer_file import read_layer_file
    from tavro_kiln.chip.inputs.package_config import read_package_config

    write(tmp_path, "a.flp", "x 1e-3 1e-3 0 0\n")
    path = write(tmp_path, "s.lcf", text)
    with pytest.raises(ChipInputError) as raised:
        read_layer_file(path, read_package_config(None))
    assert raised.value.line == line and words in raised.value.message


def test_command_line_runs_a_layer_file(tmp_path):
    from tavro_kiln.__main__ import main
    from tavro_kiln.chip.inputs.layer_file import read_layer_file
    from tavro_kiln.chip.inputs.package_config import read_package_config

    write(tmp_path, "a.flp", "a1 1e-3 2e-3 0 0\na2 1e-3 2e-3 1e-3 0\n")
    write(tmp_path, "b.flp", "b1 2e-3 2e-3 0 0\n")
    write(tmp_path, "again.flp", "a1 2e-3 2e-3 0 0\n")
    text = LAYER.format(n=0, power="Y", flp="a.flp") + LAYER.format(n=1, power="Y", flp="b.flp")
    layers = write(tmp_path, "s.lcf", text)
    trace = write(tmp_path, "p.ptrace", "b1 a2 a1\n1 2 3\n")
    assert main(["chip", "--layers", layers, write(tmp_path, "die.flp", "die 2e-3 2e-3 0 0\n"), trace,
                 "--out", str(tmp_path / "o"), "--quiet", "--no-pictures", "--no-vtk", "--nx", "8"]) == 0
    rows = json.loads((tmp_path / "o" / "blocks.json").read_text())["blocks"]
    assert [(r["block"], r["power_W"]) for r in rows] == [("a1", 3.0), ("a2", 2.0), ("b1", 1.0)]
    # A name in two powered layers would leave the trace ambiguous.
    clash = write(tmp_path, "c.lcf", LAYER.format(n=0, power="Y", flp="a.flp") +
                  LAYER.format(n=1, power="Y", flp="again.flp"))
    with pytest.raises(ChipInputError, match="also a powered block at .*a.flp:1"):
        read_layer_file(clash, read_package_config(None))


CHIPLET_STACK = """ambient = 318.15
[heat_sink]
resistance = 0.15
[die]
width = 20e-3
height = 12e-3
[grid]
nx = 40
[[layers]]
name = "chiplets"
material = "mould"
thickness = 100e-6
active = true
chiplets = [{floorplan = "cpu.flp", left = 1e-3, bottom = 3e-3},
            {floorplan = "gpu.flp", left = 10e-3, bottom = 3e-3, material = "silicon"}]
[[layers]]
name = "spreader"
material = "copper"
thickness = 1e-3
width = 30e-3
height = 30e-3
"""


def test_chiplets_side_by_side_in_mould(tmp_path):
    write(tmp_path, "cpu.flp", "cpu_a 4e-3 4e-3 0 0\ncpu_b 4e-3 4e-3 4e-3 0\n")
    write(tmp_path, "gpu.flp", "gpu 6e-3 6e-3 0 0\n")
    stack = read_stack(write(tmp_path, "s.toml", CHIPLET_STACK))
    blocks = stack.power_blocks()
    assert [(b.name, b.left) for b in blocks] == [("cpu_a", 1e-3), ("cpu_b", 5e-3), ("gpu", 10e-3)]
    run = steady_state(stack, blocks, [10.0, 8.0, 25.0])
    assert run.heat_out_W == pytest.approx(43.0, rel=1e-9)
    grid = run.grid
    x = (grid.x_edges[:-1] + grid.x_edges[1:]) / 2
    between = np.flatnonzero((x > 9e-3) & (x < 10e-3))  # mould between the two chiplets
    assert grid.table[grid.material[between[0], grid.shape[1] // 2, 0], 0] == pytest.approx(0.8)
    peaks = [peak for peak, _ in block_temperatures(grid, run.temperature[:, :, grid.active])]
    assert peaks[2] == max(peaks)  # the 25 W chiplet is the hottest
    bad = [("floorplan = 'cpu.flp'\nchiplets = []\n", "floorplan or chiplets, not both"),
           ("chiplets = [{floorplan = 'cpu.flp', left = 0.0}]\n", "a chiplet needs bottom"),
           ("chiplets = [{floorplan = 'cpu.flp', left = 0.0, bottom = 0.0, material = 'gold'}]\n",
            "unknown chiplet material 'gold'"),
           ("chiplets = [{floorplan = 'cpu.flp', left = 0.0, bottom = 0.0},\n"
            "            {floorplan = 'cpu.flp', left = 9e-3, bottom = 0.0}]\n", "is in two chiplets")]
    for text, words in bad:
        layer = "[[layers]]\nmaterial = 'mould'\nthickness = 1e-4\nactive = true\n" + text
        with pytest.raises(ChipInputError, match=words):
            read_stack(write(tmp_path, "b.toml", layer))


def test_secondary_path_through_the_board_takes_its_share(tmp_path):
    """1 W in a 1 um film between a board path below and a sink path above:
    the film sits at the ambient plus the watt through both in parallel."""
    stack = read_stack(write(tmp_path, "s.toml", """ambient = 300.0
[heat_sink]
conductance = 1000.0
[board]
resistance = 20.0
ambient = 290.0
[grid]
nx = 8
[[layers]]
name = "board"
material = "copper"
thickness = 1.6e-3
width = 30e-3
height = 30e-3
[[layers]]
name = "active"
material = "silicon"
thickness = 1e-6
cells = 1
active = true
[[layers]]
name = "spreader"
material = "copper"
thickness = 1e-3
"""))
    blocks = [Block("die", 10e-3, 10e-3, 0.0, 0.0)]
    run = steady_state(stack, blocks, [1.0], tol=1e-12)
    # Up: copper and the sink over the die. Down: the film's watt spreads
    # into the 30 mm board and convects with its 20 K/W: the plate of the
    # series solution.
    from spreading_reference import source_resistance

    up = 1e-3 / (400.0 * 1e-4) + 1.0 / (1000.0 * 1e-4)
    down = source_resistance(10e-3, 30e-3, 1.6e-3, 400.0, 1.0 / (20.0 * 9e-4))
    expected = (1.0 + 300.0 / up + 290.0 / down) / (1.0 / up + 1.0 / down)  # both paths carry the watt
    film = block_temperatures(run.grid, run.temperature[:, :, run.grid.active])[0][1]
    assert film == pytest.approx(expected, abs=0.005 * (expected - 290.0))
    assert run.heat_out_W == pytest.approx(1.0, rel=1e-9)
    with pytest.raises(ChipInputError, match="conductance or its resistance"):
        read_stack(write(tmp_path, "b.toml", "[board]\nambient = 300.0\n[[layers]]\nmaterial = 'silicon'\n"
                                              "thickness = 1e-4\nactive = true\n"))
