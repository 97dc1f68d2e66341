"""Command line: ``python -m tavro_kiln demo [--size N] [--steps N] [--out PATH]`` and
``python -m tavro_kiln chip FLOORPLAN POWER [options]``."""
import argparse
import os
import re
import sys

MAX_DEMO_SIZE = 512  # cells: the demo's die is size x size x size/4, 270 MB a field at 512
MAX_STEPS = 10**9


def whole_number(at_most):
    """An argparse type: a whole number from 1 to ``at_most``, in ASCII digits."""
    def parse(text):
        match = re.fullmatch(r"\s*([+-]?)0*([0-9]+)\s*", text, flags=re.ASCII)
        if not match:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}")
        sign, digits = match.groups()
        shown = text if len(text) <= 20 else f"{text[:6]}... ({len(digits)} digits)"
        if sign == "-" or digits == "0":
            raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {shown}")
        # The length first: int() refuses numbers of thousands of digits.
        if len(digits) > len(str(at_most)) or int(digits) > at_most:
            raise argparse.ArgumentTypeError(f"expected a whole number from 1 to {at_most}, got {shown}")
        return int(digits)
    return parse


def png_path(text):
    folder = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError(f"folder {folder!r} does not exist")
    return text


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m tavro_kiln",
                                     description="tavro_kiln command line tools")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    demo = commands.add_parser("demo", help="simulate a hot spot on a silicon die and plot it")
    demo.add_argument("--size", type=whole_number(MAX_DEMO_SIZE), default=64,
                      help="die width and length in cells (height is a quarter, at least 4); default 64")
    demo.add_argument("--steps", type=whole_number(MAX_STEPS), default=2000,
                      help="maximum number of time steps; default 2000")
    demo.add_argument("--out", type=png_path, default="tavro_kiln_demo.png",
                      help="where to write the PNG; default tavro_kiln_demo.png")
    from tavro_kiln.chip.cli import add_parser

    add_parser(commands, whole_number)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        status = run(args)
        sys.stdout.flush()  # a closed pipe shows here rather than at exit
        return status
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, as command-line
        # tools do. stdout goes to devnull so that the interpreter's own
        # flush at exit does not fail again; 141 is what a shell reports
        # for a tool ended by SIGPIPE.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141


def run(args):
    if args.command == "demo":
        from tavro_kiln.demo import run_demo

        return run_demo(size=args.size, steps=args.steps, out=args.out)
    if args.command == "chip":
        from tavro_kiln.chip.cli import run_chip

        return run_chip(args)
    return 2


if __name__ == "__main__":
    sys.exit(main())
