"""Chip workflow readers: the shipped example parses, and every kind of bad
input names its file and line (library) or exits with status 2 and no
traceback (command line). Its errors cross process boundaries, and its
outputs are strict JSON and pictures that read at any die size."""
import importlib
import inspect
import json
import multiprocessing
import os
import pickle
import pkgutil
import re
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import tavro_kiln.chip
from tavro_kiln.__main__ import parse_args
from tavro_kiln.chip import (Block, ChipInputError, ChipSolveError, Layer, Stack, ThermalRunaway, read_floorplan,
                             read_power_trace, read_stack)
from tavro_kiln.chip.cli import example_path
from tavro_kiln.chip.extras import MissingExtra
from tavro_kiln.chip.model.chip_grid import build_grid
from tavro_kiln.chip.inputs.floorplan import check_inside, watts_by_block
from tavro_kiln.chip.outputs.report import block_table, write_json

FLOORPLAN = "# two cores\na 1e-3 2e-3 0 0\n\nb 1e-3 2e-3 1e-3 0  # right of a\n"
STACK = """ambient = 300.0
[heat_sink]
conductance = 1e4
[[layers]]
name = "die"
material = "silicon"
thickness = 1e-4
active = true
"""


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8", newline="")  # the text's own line ends, whatever the OS
    return str(path)


def raises_at(call, path, line, words):
    with pytest.raises(ChipInputError) as caught:
        call()
    assert caught.value.path == path and caught.value.line == line, str(caught.value)
    assert words in str(caught.value)


def test_shipped_example_reads():
    blocks = read_floorplan(example_path("quad_core.flp"))
    trace = read_power_trace(example_path("quad_core.ptrace"), [b.name for b in blocks])
    stack = read_stack(example_path("stack.toml"))
    assert len(blocks) == 7 and trace.watts.shape == (8, 7)
    assert stack.active_layer.name == "active"
    assert [l.name for l in stack.layers] == ["active", "die", "tim", "spreader", "sink"]
    assert stack.layers[-1].footprint(8e-3, 8e-3) == pytest.approx((-26e-3, 34e-3, -26e-3, 34e-3))
    # Columns follow the floorplan's order whatever the header's order.
    by_block = watts_by_block(trace, blocks)
    assert by_block[0, [b.name for b in blocks].index("io")] == 1.0


@pytest.mark.parametrize("text, line, words", [
    ("a 1 2 0\n", 1, "expected 5 fields"),
    ("a 1e-3 x 0 0\n", 1, "'x' is not a number"),
    ("a 1e-3 1e-3 0 nan\n", 1, "not a finite number"),
    ("# c\na 1e-3 -1e-3 0 0\n", 2, "must be positive"),
    ("a 1e-3 1e-3 0 0\na 1e-3 1e-3 1e-3 0\n", 2, "already defined on line 1"),
    ("a 2e-3 2e-3 0 0\nb 2e-3 2e-3 1e-3 1e-3\n", 2, "overlaps block 'a'"),
    # Numbers are plain decimals with an optional exponent, as the format has them.
    ("a 1_0e-3 1e-3 0 0\n", 1, "width '1_0e-3' is not a number"),
    ("a \u0661e-3 1e-3 0 0\n", 1, "is not a number"),  # an Arabic-Indic one
    ("a 1e-3 0x10 0 0\n", 1, "height '0x10' is not a number"),
    ("a 1e-3 1e-3 0 -inf\n", 1, "not a finite number"),
    ("a 1e-3 1e999 0 0\n", 1, "not a finite number"),
    ("a 2 1e-3 0 0\n", 1, "beyond 1 m"),
    ("a 1e-3 1e-3 1e300 0\n", 1, "beyond 1 m"),
    # Lines are counted at '\n' only, as editors do: not at form feeds or Unicode separators.
    ("# a\u2028b\x0cc\x85d\x1ce\na 1e-3 x 0 0\n", 2, "'x' is not a number"),
    ("a 1e-3 1e-3 0 0\r\nb 1e-3 x 1e-3 0\r\n", 2, "'x' is not a number"),
])
def test_floorplan_errors(tmp_path, text, line, words):
    path = write(tmp_path, "f.flp", text)
    raises_at(lambda: read_floorplan(path), path, line, words)


def test_blocks_outside_the_die(tmp_path):
    path = write(tmp_path, "f.flp", "a 1e-3 1e-3 -1e-4 0\n\nb 1e-3 1e-3 1e-3 0\n")
    blocks = read_floorplan(path)
    raises_at(lambda: check_inside(path, blocks, 2e-3, 1e-3), path, 1, "outside the die")
    raises_at(lambda: check_inside(path, blocks[1:], 1.5e-3, 1e-3), path, 3, "outside the die")
    # Grids built in code check too: the power would otherwise move into the edge cells.
    raises_at(lambda: build_grid(read_stack(example_path("stack.toml")), blocks),
              "floorplan", 1, "outside the die")


@pytest.mark.parametrize("text, line, words", [
    ("a c\n1 2\n", 1, "unknown block 'c'"),
    ("a a\n1 2\n", 1, "appears twice"),
    ("a b\n1 2\n3\n", 3, "expected 2 power values"),
    ("a b\n1 two\n", 2, "power of 'b' 'two' is not a number"),
    ("a b\n1 -2\n", 2, "negative"),
    ("a b\n1 1e7\n", 2, "power of 'b' is above 1e+06 W"),
    ("a b\n1 1_000\n", 2, "'1_000' is not a number"),
    ("a b\n1 \u0661\n", 2, "is not a number"),
    ("a b\n1 nan\n", 2, "not a finite number"),
    ("a b\n", None, "no power values"),
    ("\n# nothing\n", None, "empty"),
])
def test_power_trace_errors(tmp_path, text, line, words):
    path = write(tmp_path, "p.ptrace", text)
    raises_at(lambda: read_power_trace(path, ["a", "b"]), path, line, words)


@pytest.mark.parametrize("change, line, words", [
    (lambda s: s.replace("active = true", "active = false"), None, "no layer is marked active"),
    (lambda s: s.replace('"silicon"', '"unobtainium"'), 6, "unknown material 'unobtainium'"),
    (lambda s: s.replace("thickness = 1e-4", "thickness = -1e-4"), 7, "must be at least 1e-09 m"),
    (lambda s: s.replace("ambient = 300.0", "ambient = 300.0\nambiant = 1"), None, "unknown key 'ambiant'"),
    (lambda s: s.replace("conductance = 1e4", "conductance = 1e4\nresistance = 1"), 2, "not both"),
    (lambda s: s.replace("[[layers]]", "[[layers]\n"), 4, "not valid TOML"),
    (lambda s: s + '[materials.solder]\nconductivity = 50\ndensity = 7400\n', 9, "no specific_heat"),
    (lambda s: s.replace('"silicon"', '["silicon"]'), 6, "material must be one name in quotes"),
    (lambda s: s.replace('name = "die"', 'name = ["die"]'), 5, "not text"),
    (lambda s: s.replace('material = "silicon"\n', ''), 4, "no material"),
    # Absurd values are refused with their range, whatever their TOML type or size.
    (lambda s: s.replace("thickness = 1e-4", "thickness = " + "9" * 400), 7, "at most 1 m, got 999999..."),
    (lambda s: s.replace("thickness = 1e-4", "thickness = 1e300"), 7, "at most 1 m"),
    (lambda s: s.replace("thickness = 1e-4", "thickness = 5e-324"), 7, "at least 1e-09 m"),
    (lambda s: s.replace("thickness = 1e-4", "thickness = nan"), 7, "must be a finite number"),
    (lambda s: s.replace("thickness = 1e-4", 'thickness = "0.1"'), 7, "must be a number"),
    (lambda s: s.replace("active = true", "active = true\ncells = 65537"), 9, "from 1 to 65536"),
    (lambda s: s.replace("300.0", "9" * 400), 1, "ambient must be positive and at most 1600 K"),
    (lambda s: s.replace("300.0", "-300.0"), 1, "ambient must be positive"),
    (lambda s: s.replace("300.0", "true"), 1, "ambient must be a number"),
    (lambda s: s.replace("300.0", "9" * 5000), 1, "integer of more than 4300 digits"),
    (lambda s: s + "[grid]\nnx = " + "9" * 400 + "\n", 10, "grid nx must be a whole number from 1 to 65536"),
    (lambda s: s + "[grid]\nny = 64.0\n", 10, "grid ny must be a whole number"),
    (lambda s: "grid = {nx = 0}\n" + s, 1, "grid nx must be a whole number from 1 to 65536"),
    (lambda s: "die.width = 1.5\n" + s, 1, "die width must be at least 1e-09 m and at most 1 m"),
    (lambda s: s.replace("conductance = 1e4", "resistance = 5e-324"), 3, "at least 1e-09 K/W"),
    (lambda s: s.replace("conductance = 1e4", "conductance = 1e400"), 3, "must be a finite number"),
    (lambda s: s + '[materials.x]\nconductivity = 1\ndensity = 1e300\nspecific_heat = 1\n', 11,
     "material 'x': density must be at least 1e-06 kg/m^3 and at most 1e+06 kg/m^3"),
])
def test_stack_errors(tmp_path, change, line, words):
    path = write(tmp_path, "s.toml", change(STACK))
    raises_at(lambda: read_stack(path), path, line, words)


def test_stack_materials_extend_the_table(tmp_path):
    path = write(tmp_path, "s.toml", STACK.replace('"silicon"', '"solder"') +
                 "[materials.solder]\nconductivity = 50\ndensity = 7400\nspecific_heat = 230\n")
    stack = read_stack(path)
    assert stack.materials["solder"].conductivity == 50.0 and "copper" in stack.materials


@pytest.mark.parametrize("start, end", [("\ufeff", "\n"), ("", "\r\n"), ("\ufeff", "\r\n")],
                         ids=["bom", "crlf", "bom-crlf"])
def test_readers_take_a_byte_order_mark_and_crlf(tmp_path, start, end):
    def file(name, text):
        return write(tmp_path, name, start + text.replace("\n", end))

    blocks = read_floorplan(file("f.flp", FLOORPLAN))
    assert [b.name for b in blocks] == ["a", "b"]
    trace = read_power_trace(file("p.ptrace", "b a\n1 2\n"), ["a", "b"])
    assert trace.names == ["b", "a"] and trace.watts.tolist() == [[1.0, 2.0]]
    assert read_stack(file("s.toml", STACK)).ambient == 300.0
    # Lines still count from the first, mark or not.
    bad = file("bad.ptrace", "a b\n\n1 x\n")
    raises_at(lambda: read_power_trace(bad, ["a", "b"]), bad, 3, "'x' is not a number")
    bad = file("bad.toml", STACK.replace("thickness = 1e-4", "thickness = 0"))
    raises_at(lambda: read_stack(bad), bad, 7, "thickness must be at least")


def run_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tavro_kiln", "chip", *args], capture_output=True,
                          text=True, timeout=600, cwd=cwd)


def test_command_line_names_the_bad_line(tmp_path):
    floorplan = write(tmp_path, "f.flp", FLOORPLAN)
    cases = [
        (write(tmp_path, "p1.ptrace", "a zz\n1 2\n"), [], "p1.ptrace:1: unknown block 'zz'"),
        (write(tmp_path, "p2.ptrace", "a b\n1 x\n"), [], "p2.ptrace:2: power of 'b'"),
        (write(tmp_path, "p3.ptrace", "a b\n1 2\n"), ["--stack", write(tmp_path, "s.toml", "[[layers]]\n")],
         "s.toml:1: layer 'layer1': no material"),
        (write(tmp_path, "p4.ptrace", "a b\n1 2\n"), ["--dt", "-1"], "expected a positive number"),
        (write(tmp_path, "p5.ptrace", "a b\n1 2\n"), ["--nx", "1" + "0" * 30],
         "--nx: expected a whole number from 1 to 65536"),
        (str(tmp_path / "missing.ptrace"), [], "missing.ptrace: cannot read"),
    ]
    for power, extra, message in cases:
        # Without the optional outputs, so that the message does not depend on their extras.
        result = run_cli(floorplan, power, "--out", str(tmp_path / "out"), "--no-pictures",
                         "--no-vtk", *extra)
        assert result.returncode == 2, result.stderr
        assert message in result.stderr and "Traceback" not in result.stderr
    # Implicit steps are stable at any length.
    long_steps = run_cli(floorplan, cases[3][0], "--transient", "--dt", "1", "--interval", "10",
                         "--out", str(tmp_path / "o"), "--no-pictures", "--no-vtk")
    assert long_steps.returncode == 0 and "10 time steps of 1 s" in long_steps.stdout


@pytest.mark.parametrize("option, text, expected", [
    ("--nx", "1" + "0" * 30, "from 1 to 65536, got 100000... (31 digits)"),
    ("--ny", "9" * 5000, "from 1 to 65536"),  # more digits than int() reads
    ("--nx", "65537", "from 1 to 65536, got 65537"),
    ("--nx", "0", "at least 1"),
    ("--ny", "-" + "9" * 5000, "at least 1"),
    ("--nx", "1_000", "expected a whole number"),
    ("--nx", "\u0661\u0662", "expected a whole number"),
    ("--nx", "8.0", "expected a whole number"),
    ("--dt", "1_0", "expected a number"),
    ("--interval", "\u0661", "expected a number"),
    ("--tol", "nan", "expected a number"),
    ("--nx", "+0008", 8),
    ("--ny", " 65536 ", 65536),
    ("--dt", "2.5e-6", 2.5e-6),
])
def test_command_line_numbers(capsys, option, text, expected):
    args = ["chip", "--example", f"{option}={text}"]  # '=': a leading '-' is the value's
    if not isinstance(expected, str):
        assert getattr(parse_args(args), option[2:]) == expected
        return
    with pytest.raises(SystemExit) as exited:
        parse_args(args)
    assert exited.value.code == 2 and expected in capsys.readouterr().err


def test_command_line_stops_quietly_when_its_reader_goes(tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader (| head) is gone before the first line
    try:
        result = subprocess.run([sys.executable, "-m", "tavro_kiln", "chip", "--example", "--quiet",
                                 "--no-pictures", "--no-vtk", "--nx", "8", "--ny", "8",
                                 "--out", str(tmp_path / "o")],
                                stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=600)
    finally:
        os.close(write_end)
    assert result.returncode == 141 and result.stderr == "", result.stderr


def test_command_line_example_writes_everything(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("pyevtk")
    out = tmp_path / "chip_out"
    result = run_cli("--example", "--out", str(out), "--quiet")
    assert result.returncode == 0, result.stderr
    assert "core0" in result.stdout and "in the conduction engine" in result.stdout
    names = {p.name for p in out.iterdir()}
    assert names == {"blocks.csv", "blocks.json", "blocks.steady", "active.grid", "active_layer.png", "section.png",
                     "field.vtr"}
    assert (out / "active_layer.png").read_bytes().startswith(b"\x89PNG")
    assert (out / "field.vtr").read_bytes().startswith(b"<?xml")
    assert (out / "blocks.csv").read_text().splitlines()[0] == \
        "block,power_W,peak_K,mean_K,mttf_relative,degradation"


def test_command_line_reports_memory_and_output_failures(tmp_path, monkeypatch, capsys):
    from tavro_kiln.__main__ import main
    from tavro_kiln.chip.model import chip_model

    quiet = ["chip", "--example", "--quiet", "--no-pictures", "--no-vtk", "--nx", "8", "--ny", "8"]
    out = tmp_path / "out"
    (out / "blocks.csv").mkdir(parents=True)  # a folder where a file must go
    assert main([*quiet, "--out", str(out)]) == 2
    assert "cannot write to" in capsys.readouterr().err

    def no_memory(*args):
        raise MemoryError
    monkeypatch.setattr(chip_model, "build_grid", no_memory)
    assert main([*quiet, "--out", str(tmp_path / "o")]) == 2
    assert "not enough memory for a grid of 8 x 8 cells" in capsys.readouterr().err
    # Without --ny the message names the ny that follows from the (square) die.
    assert main([*quiet[:-2], "--nx", "16", "--out", str(tmp_path / "o")]) == 2
    assert "not enough memory for a grid of 16 x 16 cells" in capsys.readouterr().err
    monkeypatch.undo()
    # A grid that cannot fit is refused before anything is allocated, with both figures.
    assert main([*quiet[:-4], "--nx", "65536", "--ny", "65536", "--out", str(tmp_path / "o")]) == 2
    assert re.search(r"\d+ x \d+ x \d+ = [\d,]+ cells needs about [\d.]+ GB", capsys.readouterr().err)
    # A tall, thin die would ask for hundreds of thousands of square cells along y.
    tall = tmp_path / "tall.flp"
    tall.write_text("a 1e-6 0.1 0 0\n")
    trace = tmp_path / "tall.ptrace"
    trace.write_text("a\n1\n")
    assert main(["chip", str(tall), str(trace), "--quiet", "--no-pictures", "--no-vtk", "--nx", "8",
                 "--out", str(tmp_path / "o")]) == 2
    assert "asks for 800,000 cells along y to keep cells square with nx = 8" in capsys.readouterr().err


def two_block_grid(die):
    """A die ``die`` m square, a hot block left of a cold one, with a field
    falling from 310 K on the left to 300 K on the right."""
    blocks = [Block("hot", die / 2, die, 0.0, 0.0), Block("cold", die / 2, die, die / 2, 0.0)]
    stack = Stack(layers=[Layer("die", "silicon", die / 4, active=True), Layer("cap", "copper", die / 2)],
                  ambient=300.0, nx=8, ny=4)
    grid = build_grid(stack, blocks)
    T = np.broadcast_to(np.linspace(310.0, 300.0, grid.shape[0])[:, None, None], grid.shape)
    return grid, np.array(T)


@pytest.mark.parametrize("count", [1, 3])
def test_block_table_refuses_powers_that_do_not_match_the_blocks(count):
    grid, T = two_block_grid(8e-3)
    assert [r["block"] for r in block_table(grid, T, [1.0, 0.0], 300.0)] == ["hot", "cold"]
    with pytest.raises(ValueError, match=f"{count} powers for 2 blocks"):
        block_table(grid, T, [1.0] * count, 300.0)


def test_json_output_is_strict_json(tmp_path):
    rows = [{"block": "a", "peak_K": float("nan"), "mean_K": float("inf"), "power_W": np.float64(1.5)}]
    path = tmp_path / "blocks.json"
    write_json(rows, path, extra={"time_step_s": float("inf"), "levels": [[1.0, float("-inf")]]})

    def refuse(constant):
        raise AssertionError(f"{constant} is not JSON")
    document = json.loads(path.read_text(), parse_constant=refuse)
    assert document == {"time_step_s": None, "levels": [[1.0, None]],
                        "blocks": [{"block": "a", "peak_K": None, "mean_K": None, "power_W": 1.5}]}


@pytest.mark.parametrize("die, unit", [(8e-3, "mm"), (40e-6, "µm")])
def test_pictures_read_at_any_die_size(tmp_path, die, unit):
    pytest.importorskip("matplotlib")
    from tavro_kiln.chip.outputs.plots import active_layer_png, section_png

    grid, T = two_block_grid(die)
    top = active_layer_png(grid, T, tmp_path / "top.png").axes[0]
    assert top.get_xlabel() == f"x ({unit})" and top.get_ylabel() == f"y ({unit})"
    # Dark text on the hot end's pale yellow, white on the cold end's black.
    assert {t.get_text(): t.get_color() for t in top.texts} == {"hot": "black", "cold": "white"}
    side = section_png(grid, T, tmp_path / "side.png").axes[0]
    assert side.get_xlabel() == f"x ({unit})" and side.get_ylabel().endswith(f"({unit})")
    # The section runs through the first of the equally hot rows, half a cell (die / 8) up.
    assert f"y = {die / 8 * (1e3 if unit == 'mm' else 1e6):.3g} {unit}" in side.get_title()


CHIP_ERRORS = [ChipInputError("f.flp", 3, "block 'a' overlaps block 'b'"),
               ChipInputError("p.ptrace", None, "no power values after the header"),
               MissingExtra("pyevtk is needed for this output and is not installed"),
               ChipSolveError("steady state: no heat path to an ambient"),
               ThermalRunaway("core0", 1012.5, "thermal runaway: the leakage of block 'core0' ...")]


@pytest.mark.parametrize("error", CHIP_ERRORS, ids=repr)
def test_errors_pickle(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error) and str(copy) == str(error) and copy.args == error.args
    assert vars(copy) == vars(error)  # path, line and message


def test_every_chip_error_class_has_a_pickle_case():
    found = set()
    for module in pkgutil.walk_packages(tavro_kiln.chip.__path__, "tavro_kiln.chip."):
        members = inspect.getmembers(importlib.import_module(module.name), inspect.isclass)
        found |= {c for _, c in members if issubclass(c, BaseException) and c.__module__ == module.name}
    assert found == {type(error) for error in CHIP_ERRORS}


def test_input_errors_come_back_from_worker_processes(tmp_path):
    bad, good = write(tmp_path, "bad.flp", "a 1 2 0\n"), write(tmp_path, "good.flp", FLOORPLAN)
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        with pytest.raises(ChipInputError) as caught:
            pool.submit(read_floorplan, bad).result()
        assert (caught.value.path, caught.value.line) == (bad, 1)
        assert caught.value.message.startswith("expected 5 fields")
        # The error did not break the pool.
        assert [b.name for b in pool.submit(read_floorplan, good).result()] == ["a", "b"]
