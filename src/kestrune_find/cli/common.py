"""What the subcommands share: the parser classes, Failure, the shape and
option arguments (built from the options' table), and shapes in words."""
from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import Any, NoReturn

import kestrune

from ..colours import COLOURS, Colour, colour as resolve_colour
from ..options import OPTION, OPTIONS, SEED, FindOptions, Option
from ..shapes import Disc, Ellipse, Line, Shape, Stripe

PROG = "kestrune"
SHAPES_USAGE = "{--circle,--ellipse,--lines,--stripe} COLOUR... [options]"


class Parser(argparse.ArgumentParser):
    """argparse, with its usage errors on one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


class Formatter(argparse.HelpFormatter):
    """Wraps each paragraph of a description on its own; keeps lines that
    start with spaces (examples) as they are."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return "\n".join(line if line.startswith(" ") or not line else super(Formatter, self)._fill_text(
            line, width, indent) for line in text.splitlines())


class Failure(Exception):
    """A one-line failure of a subcommand, with its exit status."""

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(message)
        self.code = code


# --------------------------------------------------------------------------
# Arguments
# --------------------------------------------------------------------------

def colour_argument(spec: str) -> Colour:
    try:
        return resolve_colour(spec)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def number(kind: Callable[[str], Any], low: float, high: float = math.inf, what: str = "") -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what or 'a number'}: {text!r}") from None
        if not (low <= value <= high) or (isinstance(value, float) and not math.isfinite(value)):
            bound = f"from {low:g} to {high:g}" if high < math.inf else f"at least {low:g}"
            raise argparse.ArgumentTypeError(f"must be {bound}, got {text}")
        return value

    parse.__name__ = what or "number"
    return parse


def option_type(option: Option) -> Callable[[str], Any]:
    """The argparse type of a find option, from its range in the table."""
    if option.kind is int:
        # Asking the command for no shapes is a slip; the table's top is checked with the other options.
        return number(int, max(1, option.low), what="a whole number")
    return number(float, option.low, option.high, what="a number")


positive = number(int, 1, what="a whole number")
seed_number = number(int, SEED.low, SEED.high, what="a whole number")

SHAPE_FLAGS = ((("--circle", "--disc"), "disc", "discs (balls)"),
               (("--ellipse",), "ellipse", "ellipses (balls included)"),
               (("--lines", "--line"), "line", "thin lines"), (("--stripe", "--stripes"), "stripe", "wide stripes"))


def add_shape_options(parser: argparse.ArgumentParser) -> None:
    shapes = parser.add_argument_group(
        "shapes", f"each takes one or more COLOURs: a built-in name ({', '.join(COLOURS)}), a colour file "
        "written by `kestrune calibrate --save`, or an HSV box hsv:H0,S0,V0:H1,S1,V1 in OpenCV's 8-bit units "
        "(H 0-179, S and V 0-255; H0 > H1 wraps around red)")
    for flags, shape, what in SHAPE_FLAGS:
        shapes.add_argument(*flags, dest=shape, nargs="+", action="extend", default=[], type=colour_argument,
                            metavar="COLOUR", help=f"find {what} of these colours")
    sizes = parser.add_argument_group("what counts as a find")
    for option in OPTIONS:
        sizes.add_argument("--" + option.name.replace("_", "-"), type=option_type(option), metavar=option.metavar,
                           help=option.describe())
    parser.add_argument("--seed", type=seed_number, default=SEED.default, help=SEED.describe())


def add_shape_command(commands: argparse._SubParsersAction[argparse.ArgumentParser], name: str, summary: str,
                      description: str, examples: list[str], target: str, target_help: str,
                      target_type: Callable[[str], Any] = str) -> argparse.ArgumentParser:
    """A subcommand that finds shapes in one TARGET (an image, a folder, a
    source): its parser with the target and the shape options, and the usage
    and the examples (the words after `kestrune NAME`) in the same form."""
    metavar = target.upper()
    parser = commands.add_parser(
        name, help=summary, formatter_class=Formatter, usage=f"%(prog)s {metavar} {SHAPES_USAGE}",
        description=description, epilog="example:\n" + "\n".join(f"  {PROG} {name} {e}" for e in examples))
    parser.add_argument(target, type=target_type, metavar=metavar, help=target_help)
    add_shape_options(parser)
    return parser


def shape_requests(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[tuple[str, Colour]]:
    """(shape, colour) for every colour of every shape option, or a usage error."""
    wanted = [(shape, c) for _, shape, _ in SHAPE_FLAGS for c in getattr(args, shape)]
    if not wanted:
        parser.error("say what to find: --circle, --ellipse, --lines or --stripe, each with a COLOUR "
                     "(e.g. --circle red)")
    return wanted


def find_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> FindOptions:
    """The finder's options from the command line, refused before any work when impossible."""
    try:
        return FindOptions.of({key: getattr(args, key) for key in OPTION})
    except ValueError as e:
        message = str(e)
        for key in OPTION:
            message = message.replace(key, "--" + key.replace("_", "-"))
        parser.error(message)


def is_built_in(colour: Colour) -> bool:
    return colour.name in COLOURS and colour == Colour(colour.name, *COLOURS[colour.name])


# --------------------------------------------------------------------------
# Words for shapes
# --------------------------------------------------------------------------

def describe(shape: Shape) -> str:
    """One shape in words (pixels; degrees from the x axis toward y)."""
    if isinstance(shape, Disc):
        return f"centre ({shape.x:.1f}, {shape.y:.1f}), r {shape.r:.1f}"
    if isinstance(shape, Ellipse):
        return (f"centre ({shape.x:.1f}, {shape.y:.1f}), axes {shape.a:.1f} x {shape.b:.1f}, "
                f"{math.degrees(shape.theta):.1f} deg")
    return (f"through ({shape.px:.1f}, {shape.py:.1f}) at {math.degrees(shape.angle):.1f} deg, "
            f"width {shape.width:.1f}, length {shape.length:.0f}")


RECORDS: dict[str, Callable[..., Shape]] = {"disc": Disc, "ellipse": Ellipse, "line": Line, "stripe": Stripe}


def shape_from_dict(d: dict[str, Any]) -> Shape:
    """A record back from its as_dict()."""
    return RECORDS[d["shape"]](**{k: v for k, v in d.items() if k != "shape"})


def legend() -> str:
    """Which built-in colour takes a few named colours."""
    palette = {"crimson": (220, 20, 60), "orange": (255, 140, 0), "gold": (255, 215, 0), "forest": (34, 139, 34),
               "royal blue": (65, 105, 225), "grey": (128, 128, 128), "wood": (160, 78, 36)}
    bounds = {name: kestrune.calculate_lch_bounds(*limits) for name, limits in COLOURS.items()}
    cells = [f"{name} -> {', '.join(s for s, b in bounds.items() if kestrune.mask_color(rgb, b)) or '-'}"
             for name, rgb in palette.items()]
    return "built-in colours: " + "; ".join(cells)


def print_table(rows: list[tuple[str, str, str]], out: Any = None) -> None:
    """Rows of (what, found, score), aligned."""
    header = ("shape", "found", "score")
    widths = [max(len(r[k]) for r in [header, *rows]) for k in range(2)]
    for what, found, score in [header, *rows]:
        print(f"{what:<{widths[0]}}  {found:<{widths[1]}}  {score}".rstrip(), file=out)


def print_timings(timings: dict[str, float], out: Any = None) -> None:
    print("\nstage      ms", file=out)
    for stage, ms in timings.items():
        print(f"{stage:<8} {ms:6.2f}", file=out)
    print(f"{'total':<8} {sum(timings.values()):6.2f}", file=out)


def add_timings(total: dict[str, float], timings: dict[str, float]) -> None:
    for stage, ms in timings.items():
        total[stage] = total.get(stage, 0.0) + ms
