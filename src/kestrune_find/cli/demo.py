"""kestrune demo: the built-in scene's shapes against the truth."""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ..draw import draw_shapes
from ..finder import Finder
from ..io import MissingExtra, check_writable, save_image
from ..options import SEED
from ..scene import CONTENTS, Scene, error, nearest_line, render_scene
from ..shapes import Band, Shape
from .common import PROG, Formatter, add_timings, describe, legend, print_timings, seed_number


#: The demo's shapes must lie this close to the truth (pixels, degrees).
DEMO_PX = 1.0
DEMO_DEG = 1.0


def demo_rows(scene: Scene, finder: Finder) -> tuple[list[list[str]], list[Shape], dict[str, float], bool]:
    """The demo's table: a row per true shape (found, or NOT FOUND) and per
    extra find; the finds, the stage timings, and whether all is well."""
    rows: list[list[str]] = []
    found: list[Shape] = []
    timings: dict[str, float] = {}
    ok = True
    for shape, colour, count in CONTENTS:
        these = finder.find(scene.frame, shape, colour)
        add_timings(timings, finder.timings)
        found += these
        lines_left = list(scene.lines)
        for s in these:
            if count == 0:
                rows.append([shape, describe(s), f"{s.score:.2f}", "-", "-", "<-- extra"])
                ok = False
                continue
            count -= 1
            truth = None
            if isinstance(s, Band) and shape == "line":
                truth = nearest_line(s, lines_left)
                lines_left.remove(truth)
            err = error(scene, s, truth)
            off = err.px > DEMO_PX or err.deg > DEMO_DEG
            ok = ok and not off
            rows.append([shape, describe(s), f"{s.score:.2f}", f"{err.px:.2f}",
                         "-" if shape == "disc" else f"{err.deg:.2f}", "<-- off" if off else ""])
        rows += [[shape, "NOT FOUND", "", "-", "-", ""] for _ in range(count)]
        ok = ok and count == 0
    return rows, found, timings, ok


def run_demo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.out is not None:
        try:
            check_writable(args.out)
        except ValueError as e:
            parser.error(f"--out: {e}")
        except MissingExtra as e:
            print(f"{e}; the picture is skipped", file=sys.stderr)
            args.out = None
    scene = render_scene()
    finder = Finder(seed=args.seed)
    rows, found, timings, ok = demo_rows(scene, finder)
    print(legend() + "\n")
    header = ["shape", "found", "score", "px err", "deg err", ""]
    widths = [max(len(r[k]) for r in [header, *rows]) for k in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(f"{cell:<{w}}" if k < 3 else f"{cell:>{w}}" if k < 5 else cell
                        for k, (cell, w) in enumerate(zip(row, widths))).rstrip())
    print_timings(timings)
    if args.out is not None:
        save_image(draw_shapes(scene.frame.copy(), found, names=[c for _, c, _ in CONTENTS]), args.out)
        print(f"\nwrote {args.out}")
    if not ok:
        print(f"{PROG} demo: a shape was missed, extra, or off by more than {DEMO_PX:g} px or {DEMO_DEG:g} deg",
              file=sys.stderr)
    return 0 if ok else 1


def add(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """The `demo` subcommand."""
    demo = commands.add_parser(
        "demo", help="find the shapes of a built-in scene and compare them with the truth", formatter_class=Formatter,
        description="Render the built-in 640x480 scene (a red disc, a yellow stripe, two blue lines, a green "
        "ellipse), find every shape, print each with its error against the truth and the time of each stage, "
        "and draw them into a picture. Exits 1 when a shape is missing or off.")
    demo.add_argument("--seed", type=seed_number, default=SEED.default,
                      help=f"seed of the fits' samples (default {SEED.default})")
    demo.add_argument("--out", type=Path, default=Path("out/find_shapes.png"), metavar="PICTURE",
                      help="the picture with the shapes drawn (default out/find_shapes.png; needs Pillow)")
    demo.set_defaults(run=run_demo, parser=demo)
