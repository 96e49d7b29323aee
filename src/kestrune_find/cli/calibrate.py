"""kestrune calibrate: a colour file from pixels picked in images."""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Any

import numpy as np

from ..calibrate import calibrate as calibrate_frame, selection
from ..colours import save_colour
from ..io import MAX_PIXELS, read_image, save_image
from .common import PROG, Failure, Formatter, positive


def sample_arguments(values: list[list[str]] | None, parser: argparse.ArgumentParser) -> list[tuple[Path, list[int]]]:
    """(image, [x0, y0, x1, y1]) of every --sample, or a usage error."""
    samples = []
    for k, (image, *corners) in enumerate(values or [], 1):
        try:
            rect = [int(v) for v in corners]
        except ValueError:
            parser.error(f"--sample {k} ({image} {' '.join(corners)}): X0 Y0 X1 Y1 must be whole numbers")
        samples.append((Path(image), rect))
    return samples


def run_calibrate(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    sampled = sample_arguments(args.sample, parser)
    picked_in_image = bool(args.rect) or args.mask is not None
    if not picked_in_image and not sampled:
        parser.error("say which pixels hold the colour: --rect X0 Y0 X1 Y1 (one or more) or --mask MASK, "
                     "or --sample IMAGE X0 Y0 X1 Y1")
    if args.image is None and picked_in_image:
        parser.error("--rect and --mask pick pixels of IMAGE: give IMAGE (or use --sample IMAGE X0 Y0 X1 Y1)")
    if args.image is not None and not picked_in_image:
        parser.error(f"say which pixels of {args.image} hold the colour: --rect X0 Y0 X1 Y1 or --mask MASK "
                     "(or drop IMAGE and use --sample)")
    if args.save is not None:
        if args.save.is_dir():
            parser.error(f"--save: {args.save} is a folder; give a file name such as {args.save / 'ball.json'}")
        if not args.save.parent.is_dir():
            parser.error(f"--save: the folder {args.save.parent} does not exist")
    if args.out_dir is not None and args.out_dir.exists() and not args.out_dir.is_dir():
        parser.error(f"--out-dir: {args.out_dir} is not a folder")
    # Each image is read once, however many samples name it.
    frames: dict[Path, np.ndarray] = {}
    for image in ([args.image] if args.image is not None else []) + [image for image, _ in sampled]:
        if image not in frames:
            frames[image] = read_image(image, args.max_pixels)
    mask = None if args.mask is None else read_image(args.mask, args.max_pixels)
    name = str(args.save) if args.save is not None else "calibrated"
    sources: list[dict[str, Any]] = []
    samples: list[tuple[np.ndarray, Any]] = []
    if args.image is not None:
        picked: dict[str, Any] = {"rects": [list(r) for r in args.rect]} if args.rect else {}
        if args.mask is not None:
            picked["mask"] = str(args.mask)
        sources.append({"image": str(args.image), **picked})
    try:
        if not sampled:
            result = calibrate_frame(frames[args.image], rects=args.rect, mask=mask, name=name)
        else:
            if args.image is not None:
                frame = frames[args.image]
                if mask is not None and mask.shape[:2] != frame.shape[:2]:
                    height, width = frame.shape[:2]
                    raise ValueError(f"mask must be {width} x {height} like the frame, got shape {mask.shape}")
                samples.append((frame, selection(frame.shape, args.rect, mask)))
            for image, rect in sampled:
                samples.append((frames[image], [tuple(rect)]))
                sources.append({"image": str(image), "rect": rect})
            result = calibrate_frame(samples, name=name)
    except ValueError as e:
        message = str(e)
        which = re.match(r"samples\[(\d+)\]: (?:rects\[0\] )?", message)
        if which and sampled:  # name the option the user wrote, not the list it became
            source = sources[int(which.group(1))]
            what = f"--sample {source['image']} {' '.join(map(str, source['rect']))}" if "rect" in source else "IMAGE"
            message = f"{what}: {message[which.end():]}"
        raise Failure(message, 2) from None
    for call in result.calls():
        print(call)
    if len(result.colour.sectors) > 1:
        print(f"a union of {len(result.colour.sectors)} sectors: a pixel counts when any of them takes it")
    print(f"covers {result.selection_coverage:.1%} of the {result.selected} selected pixels and "
          f"{result.rest_coverage:.1%} of the rest of the frame{'s' if len(frames) > 1 else ''}")
    if sampled:
        for k, (source, report) in enumerate(zip(sources, result.samples), 1):
            if "rect" in source:
                where = " ".join(map(str, source["rect"]))
            else:  # IMAGE's own pick
                where = " ".join([f"--rect {' '.join(map(str, r))}" for r in source.get("rects", [])]
                                 + ([f"--mask {source['mask']}"] if "mask" in source else []))
            print(f"sample {k}: {source['image']} {where}: covers {report.coverage:.1%} of its {report.pixels} "
                  f"pixels and {report.rest_coverage:.1%} of the rest of its frame")
    if result.widening < 1.0:
        print(f"widened {result.widening:.0%} of the way to the object's paler and darker shades: "
              "wider, it took in the background")
    for warning in result.warnings:
        print(f"warning: {warning}", file=sys.stderr)
    if args.out_dir is not None:
        for image, frame in frames.items():
            picture = args.out_dir / f"{image.name}.mask.png"
            save_image(np.repeat(result.colour.mask(frame)[:, :, None] * np.uint8(255), 3, axis=2), picture)
            print(f"wrote {picture}")
    if args.save is not None:
        source = sources[0] if not sampled else {"samples": sources}
        try:
            save_colour(result.colour, args.save, source=source)
        except OSError as e:
            raise Failure(f"cannot write {args.save}: {e.strerror or e}") from None
        print(f"wrote {args.save}: use it as a COLOUR, e.g. kestrune find IMAGE --circle {args.save}")
    return 0


def add(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """The `calibrate` subcommand."""
    calibrate = commands.add_parser(
        "calibrate", help="make a colour file from pixels picked in images", formatter_class=Formatter,
        usage="%(prog)s [IMAGE --rect X0 Y0 X1 Y1 | --mask MASK] [--sample IMAGE X0 Y0 X1 Y1 ...] [options]",
        description="Measure the colour of the pixels that rectangles or a mask pick in an image, or that samples "
        "pick in several images, and propose a colour that covers them (and the same thing lit or shaded) and as "
        "little as it can of the rest of each image. Prints the kestrune.calculate_lch_bounds call (one per sector "
        "of a union colour) and how much of the selection and of the rest of the frames the colour takes.",
        epilog=f"example:\n  {PROG} calibrate photo.png --rect 120 80 200 150 --save ball.json\n"
        f"  {PROG} calibrate photo.png --rect 120 80 200 150 --rect 300 90 340 130 --out-dir out\n"
        f"  {PROG} calibrate --sample day.png 120 80 200 150 --sample dusk.png 40 60 90 110 --save ball.json")
    calibrate.add_argument("image", type=Path, nargs="?", metavar="IMAGE",
                           help="the picture that --rect and --mask pick pixels of")
    calibrate.add_argument("--sample", nargs=5, action="append", metavar=("IMAGE", "X0", "Y0", "X1", "Y1"),
                           help="a rectangle of the colour in a picture (x1, y1 exclusive); repeat for samples of "
                           "the object lit, shaded or pale, in the pictures of the backgrounds it will be found on")
    calibrate.add_argument("--rect", nargs=4, type=int, action="append", metavar=("X0", "Y0", "X1", "Y1"),
                           help="a rectangle of the colour (x1, y1 exclusive); repeat to combine several")
    calibrate.add_argument("--mask", type=Path, metavar="MASK",
                           help="an image of the same size whose nonzero pixels mark the colour")
    calibrate.add_argument("--save", type=Path, metavar="PATH", help="write the colour file (JSON) here")
    calibrate.add_argument("--out-dir", type=Path, metavar="DIR",
                           help="write the colour's mask of the image into this folder (made if missing)")
    calibrate.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                           help=f"refuse larger images (default {MAX_PIXELS:,})")
    calibrate.set_defaults(run=run_calibrate, parser=calibrate)
