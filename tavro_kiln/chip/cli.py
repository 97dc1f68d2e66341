"""``python -m tavro_kiln chip FLOORPLAN POWER [options]``: runs the chip
workflow and writes the block table (CSV, JSON), the heat maps (PNG) and
the 3-D field (VTK image data) into the output folder."""
import argparse
import os
import sys
import time
from importlib import resources

from tavro_kiln.chip.errors import ChipInputError
from tavro_kiln.chip.extras import INSTALL_HINT
from tavro_kiln.chip.model.layout import die_size, lateral_cells
from tavro_kiln.chip.inputs.floorplan import check_inside, read_floorplan, read_power_trace, watts_by_block
from tavro_kiln.chip.inputs.numbers import DECIMAL, MAX_CELLS
from tavro_kiln.chip.inputs.layer_file import read_layer_file
from tavro_kiln.chip.inputs.package_config import DEFAULT_ACTIVE_THICKNESS, read_package_config
from tavro_kiln.chip.inputs.stack import read_stack
from tavro_kiln.chip.progress import Progress


def example_path(name):
    return str(resources.files("tavro_kiln.chip") / "examples" / name)


def positive_float(text):
    if not DECIMAL.fullmatch(text.strip()):  # as in the input files: no '1_000', 'inf' or other digits
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}")
    value = float(text)
    if not value > 0.0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def add_parser(commands, whole_number):
    """The ``chip`` command; ``whole_number(at_most)`` is the command line's type for counts."""
    chip = commands.add_parser(
        "chip", help="temperature and reliability maps of a die on its package",
        description="Steady or transient temperatures of a die from a floorplan and a power "
                    "trace, with per-block peak and mean temperature, relative MTTF and "
                    "degradation. Example: python -m tavro_kiln chip --example --out chip_out")
    chip.add_argument("floorplan", nargs="?", help="floorplan file: name width height left-x bottom-y (m)")
    chip.add_argument("power", nargs="?", help="power trace: a header of block names, then watts per interval")
    chip.add_argument("--example", action="store_true",
                      help="use the shipped quad-core example (floorplan, power trace and stack)")
    package = chip.add_mutually_exclusive_group()
    package.add_argument("--stack", help="layer stack (TOML); default: the shipped example stack")
    package.add_argument("--config", help="package as a compact thermal simulator's configuration file "
                                          "('-name value' lines): die, interface, spreader, sink, convection")
    chip.add_argument("--layers", help="a 3-D stack as a compact thermal simulator's layer configuration file "
                                        "(seven lines a layer), on the --config package or its defaults; "
                                        "FLOORPLAN then gives the die's outline")
    chip.add_argument("--active-thickness", type=positive_float, default=DEFAULT_ACTIVE_THICKNESS,
                      help="with --config: thickness in m of the die's heated layer at its face away "
                           f"from the sink; default {DEFAULT_ACTIVE_THICKNESS:g}")
    chip.add_argument("--out", default="chip_out", help="output folder (created); default chip_out")
    chip.add_argument("--transient", action="store_true",
                      help="step through the power trace instead of the steady state of its mean")
    chip.add_argument("--interval", type=positive_float,
                      help="seconds per power-trace line in a transient run; default the --config "
                           "file's -sampling_intvl, or 1e-3")
    chip.add_argument("--dt", type=positive_float,
                      help="longest time step in s of a transient run (implicit steps are stable at any "
                           "length); default one step per interval")
    chip.add_argument("--scheme", choices=("tr-bdf2", "euler"), default="tr-bdf2",
                      help="time stepping: TR-BDF2 (second order, default) or backward Euler")
    chip.add_argument("--threads", type=whole_number(1024),
                      help="threads of each solve; default every core available")
    chip.add_argument("--from-steady", action="store_true",
                      help="start a transient run from the steady state of the first interval")
    chip.add_argument("--k-of-t", action="store_true",
                      help="silicon conductivity follows the temperature (re-evaluated until it settles)")
    chip.add_argument("--nx", type=whole_number(MAX_CELLS),
                      help="cells across the die (overrides the stack's [grid])")
    chip.add_argument("--ny", type=whole_number(MAX_CELLS),
                      help="cells along the die (overrides the stack's [grid])")
    chip.add_argument("--tol", type=positive_float, default=1e-6,
                      help="largest change of the last solver iteration, K; default 1e-6")
    chip.add_argument("--reference", type=positive_float,
                      help="reference temperature for relative MTTF, K; default the ambient")
    chip.add_argument("--age", type=positive_float, default=1.0,
                      help="time argument of arrhenius_degradation; default 1")
    chip.add_argument("--no-pictures", action="store_true", help="skip the PNGs")
    chip.add_argument("--no-vtk", action="store_true", help="skip the VTK file")
    chip.add_argument("--quiet", action="store_true", help="no progress output")
    return chip


SOLVE_FAILED = 3  # exit status of a run whose physics has no answer (see ChipSolveError)
RUNAWAY = 4  # exit status of a thermal runaway: the leakage has no fixed point


def leakage_of(stack, blocks):
    """The stack's [leakage] in floorplan order (blocks it does not name leak nothing)."""
    if not stack.leakage:
        return None
    from tavro_kiln.chip.solve.leakage import Leakage

    names = [b.name for b in blocks]
    unknown = sorted(set(stack.leakage["watts"]) - set(names))
    if unknown:
        raise ValueError(f"[leakage.watts] names block {unknown[0]!r}, which the floorplan does not have")
    return Leakage(tuple(stack.leakage["watts"].get(name, 0.0) for name in names), stack.leakage["beta"],
                   stack.leakage["reference"])


def fail(message):
    print(f"python -m tavro_kiln chip: error: {message}", file=sys.stderr)
    return 2


def missing_extras(args):
    needed = ([] if args.no_pictures else ["matplotlib"]) + ([] if args.no_vtk else ["pyevtk"])
    missing = []
    for module in needed:
        try:
            __import__(module)
        except ImportError:
            missing.append(module)
    return missing


def run_chip(args):
    started = time.perf_counter()
    if args.example:
        args.floorplan = args.floorplan or example_path("quad_core.flp")
        args.power = args.power or example_path("quad_core.ptrace")
    if not args.floorplan or not args.power:
        return fail("give FLOORPLAN and POWER files, or --example")
    missing = missing_extras(args)
    if missing:
        return fail(f"{' and '.join(missing)} not installed: {INSTALL_HINT}, or pass "
                    f"{' '.join('--no-pictures' if m == 'matplotlib' else '--no-vtk' for m in missing)}")
    try:
        if args.layers and args.stack:
            return fail("--layers goes with --config (or the package defaults), not --stack")
        if args.config or args.layers:
            stack = read_package_config(args.config, args.active_thickness)
        else:
            stack = read_stack(args.stack or example_path("stack.toml"))
        if args.layers:
            stack = read_layer_file(args.layers, stack)
        blocks = read_floorplan(args.floorplan)
        width, height = die_size(stack, blocks)
        check_inside(args.floorplan, blocks, width, height)
        if any(layer.floorplan for layer in stack.layers if layer.active):
            # The floorplan gives the die's outline; the trace names the powered layers' blocks.
            stack.die_width, stack.die_height = width, height
            blocks = stack.power_blocks()
            for layer in stack.layers:
                check_inside(args.layers or args.stack, layer.floorplan, width, height)
        trace = read_power_trace(args.power, [b.name for b in blocks])
    except ChipInputError as error:
        return fail(str(error))
    if args.nx:
        stack.nx = args.nx
    if args.ny:
        stack.ny = args.ny
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as error:
        return fail(f"cannot create output folder {args.out!r}: {error.strerror or error}")
    per_interval = watts_by_block(trace, blocks)
    return simulate_and_write(args, stack, blocks, per_interval, started)


def simulate_and_write(args, stack, blocks, per_interval, started):
    from tavro_kiln.chip.outputs import write
    from tavro_kiln.chip.errors import ChipSolveError, ThermalRunaway
    from tavro_kiln.chip.solve.runs import steady_state, transient

    progress = Progress("chip", enabled=not args.quiet)
    try:
        leakage = leakage_of(stack, blocks)
        if args.transient:
            start = stack.initial_temperature
            if args.from_steady:
                first = steady_state(stack, blocks, per_interval[0], tol=args.tol,
                                     temperature_dependent=args.k_of_t, threads=args.threads, leakage=leakage)
                start = first.temperature
            interval = args.interval or stack.interval or 1e-3
            result = transient(stack, blocks, per_interval, interval, dt=args.dt,
                               temperature_dependent=args.k_of_t, start=start, progress=progress,
                               threads=args.threads, scheme=args.scheme, tol=args.tol, leakage=leakage)
            watts = result.block_watts
        else:
            result = steady_state(stack, blocks, per_interval.mean(axis=0), tol=args.tol,
                                  temperature_dependent=args.k_of_t, threads=args.threads, leakage=leakage)
            watts = result.block_watts
    except ValueError as error:  # a configuration the model refuses
        return fail(str(error))
    except ThermalRunaway as error:
        print(f"python -m tavro_kiln chip: {error}", file=sys.stderr)
        return RUNAWAY
    except ChipSolveError as error:
        print(f"python -m tavro_kiln chip: {error}", file=sys.stderr)
        return SOLVE_FAILED
    except MemoryError as error:
        if str(error):  # the grid's own estimate, made before allocating
            return fail(str(error))
        nx, ny = lateral_cells(stack, *die_size(stack, blocks))  # one not given follows the die's shape
        return fail(f"not enough memory for a grid of {nx} x {ny} cells across the die; "
                    f"use a smaller --nx/--ny")
    finally:
        progress.close()
    reference = args.reference or stack.ambient
    try:
        written = write.write_all(result, watts, args.out, reference, args.age,
                                  pictures=not args.no_pictures, vtk=not args.no_vtk)
    except OSError as error:
        return fail(f"cannot write to {args.out!r}: {error.strerror or error}")
    total = time.perf_counter() - started
    print(write.summary(result, watts, reference, args.age, transient=args.transient))
    solver = result.timing["solver"]
    print(f"time: {total:.2f} s in all, {solver:.2f} s in the conduction engine ({100 * solver / total:.0f}%), "
          f"{total - solver:.2f} s in this layer (reading, grid, outputs)")
    print("wrote: " + ", ".join(written))
    return 0 if result.converged else 1
