"""kestrune find: the shapes in one image file."""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from ..draw import draw_shapes
from ..finder import Finder
from ..io import MAX_PIXELS, check_writable, read_image, save_image
from ..shapes import Shape
from .common import (add_shape_command, add_timings, describe, find_options, is_built_in, legend, positive,
                     print_table, print_timings, shape_requests)


def run_find(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    wanted = shape_requests(args, parser)
    options = find_options(args, parser)
    if args.out is not None:
        try:
            check_writable(args.out)
        except ValueError as e:
            parser.error(f"--out: {e}")
    frame = read_image(args.image, args.max_pixels)
    finder = Finder(seed=args.seed)
    found: list[Shape] = []
    rows: list[tuple[str, str, str]] = []
    timings: dict[str, float] = {}
    for shape, colour in wanted:
        these = finder.find(frame, shape, colour, options)
        add_timings(timings, finder.timings)
        found += these
        what = f"{colour.name} {shape}"
        rows += [(what, describe(s), f"{s.score:.2f}") for s in these] or [(what, "not found", "")]
    if args.json:
        ranked = sorted(found, key=lambda s: -s.score)
        print(json.dumps({"shapes": [s.as_dict() for s in ranked]}))
    else:
        if any(is_built_in(c) for _, c in wanted):
            print(legend() + "\n")
        print_table(rows)
        print_timings(timings)
    if args.out is not None:
        save_image(draw_shapes(frame.copy(), found, names=[c.name for _, c in wanted]), args.out)
        print(f"wrote {args.out}", file=sys.stderr if args.json else sys.stdout)
    return 0


def add(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """The `find` subcommand."""
    find = add_shape_command(
        commands, "find", "find shapes in an image file",
        description="Find shapes in an image file: a table of every requested shape (found or not) with its "
        "score, or with --json only {\"shapes\": [...]}, best score first.",
        examples=["photo.jpg --circle red --lines blue", "photo.jpg --circle ball.json --json"],
        target="image", target_type=Path, target_help="PNG, JPEG or another picture Pillow reads")
    find.add_argument("--json", action="store_true", help='print only {"shapes": [...]} as JSON')
    find.add_argument("--out", type=Path, metavar="PICTURE", help="also write the image with the shapes drawn")
    find.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                      help=f"refuse larger images (default {MAX_PIXELS:,})")
    find.set_defaults(run=run_find, parser=find)
