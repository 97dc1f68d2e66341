"""Command line: ``python -m tavro_kiln demo [--size N] [--steps N] [--out PATH]`` and
``python -m tavro_kiln chip FLOORPLAN POWER [options]``."""
import argparse
import os
import sys


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {value}")
    return value


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
    demo.add_argument("--size", type=positive_int, default=64,
                      help="die width and length in cells (height is a quarter, at least 4); default 64")
    demo.add_argument("--steps", type=positive_int, default=2000,
                      help="maximum number of time steps; default 2000")
    demo.add_argument("--out", type=png_path, default="tavro_kiln_demo.png",
                      help="where to write the PNG; default tavro_kiln_demo.png")
    from tavro_kiln.chip.cli import add_parser

    add_parser(commands, positive_int)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.command == "demo":
        from tavro_kiln.demo import run_demo

        return run_demo(size=args.size, steps=args.steps, out=args.out)
    if args.command == "chip":
        from tavro_kiln.chip.cli import run_chip

        return run_chip(args)
    return 2


if __name__ == "__main__":
    sys.exit(main())
