"""The `kestrune` command: find, calibrate, camera, batch, tune and demo.

Every failure is one line on stderr and a non-zero exit: 2 for arguments
refused before any work (argparse's usage errors), 1 for what fails while
working (a file that cannot be read, a missing optional package).
"""
from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import time
import warnings
from collections import Counter
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

import kestrune

from . import batch as batch_runner
from . import camera as camera_loop
from .calibrate import calibrate as calibrate_frame, selection
from .colours import COLOURS, Colour, colour as resolve_colour, save_colour
from .draw import (IMAGE_SUFFIXES, MAX_PIXELS, ImageError, MissingExtra, check_writable, draw_shapes, read_image,
                   save_image)
from .finder import MAX_SHAPES, MAX_STRETCH, MIN_R, MIN_SCORE, SQUEEZE, STRETCH, Finder
from .scene import CONTENTS, Scene, error, nearest_line, render_scene
from .shapes import Band, Disc, Ellipse, Line, Shape, Stripe

PROG = "kestrune"


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


def _number(kind: Callable[[str], Any], low: float, high: float = math.inf, what: str = "") -> Callable[[str], Any]:
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


size = _number(float, 0.0, what="a number")
positive = _number(int, 1, what="a whole number")
seed_number = _number(int, 0, 2 ** 64 - 1, what="a whole number")
score_number = _number(float, 0.0, 1.0, what="a number")
stretch_number = _number(float, 1.0, MAX_STRETCH, what="a number")

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
    sizes.add_argument("--min-r", type=size, metavar="PX", help=f"smallest radius or semi-axis (default {MIN_R:g})")
    sizes.add_argument("--max-r", type=size, metavar="PX", help="largest radius or semi-axis "
                       "(default half the frame's shorter side)")
    sizes.add_argument("--min-width", type=size, metavar="PX", help="narrowest line or stripe")
    sizes.add_argument("--max-width", type=size, metavar="PX", help="widest line or stripe")
    sizes.add_argument("--min-score", type=score_number, metavar="S",
                       help="report only shapes scoring at least this, 0 to 1 (default by shape: "
                       + ", ".join(f"{k} {v:g}" for k, v in MIN_SCORE.items()) + ")")
    sizes.add_argument("--max-shapes", type=positive, metavar="N",
                       help=f"at most this many shapes per shape and colour (default {MAX_SHAPES})")
    sizes.add_argument("--stretch", type=stretch_number, metavar="RATIO",
                       help="circles: a ball stretched into an ellipse up to this axis ratio still counts, as "
                       f"when smeared by motion (1 to {MAX_STRETCH:g}, default {STRETCH:g})")
    sizes.add_argument("--squeeze", type=stretch_number, metavar="RATIO",
                       help="circles: near the frame's edges, a ball squeezed toward the frame's centre up to this "
                       f"axis ratio still counts, as a wide lens squeezes it (1 to {MAX_STRETCH:g}, default {SQUEEZE:g})")
    parser.add_argument("--seed", type=seed_number, default=0,
                        help="seed of the fits' samples: the same seed, the same finds (default 0)")


def shape_requests(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[tuple[str, Colour]]:
    """(shape, colour) for every colour of every shape option, or a usage error."""
    wanted = [(shape, c) for _, shape, _ in SHAPE_FLAGS for c in getattr(args, shape)]
    if not wanted:
        parser.error("say what to find: --circle, --ellipse, --lines or --stripe, each with a COLOUR "
                     "(e.g. --circle red)")
    return wanted


def find_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> dict[str, Any]:
    """The finder's options from the command line, refused before any work when impossible."""
    try:
        return batch_runner.check_options({key: getattr(args, key) for key in batch_runner.OPTIONS})
    except ValueError as e:
        message = str(e)
        for key in batch_runner.OPTIONS:
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


# --------------------------------------------------------------------------
# kestrune find
# --------------------------------------------------------------------------

def run_find(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    wanted = shape_requests(args, parser)
    options = find_options(args, parser)
    if args.out is not None:
        try:
            check_writable(args.out)
        except ValueError as e:
            parser.error(f"--out: {e}")
    frame = read_image(args.image, args.max_pixels)
    options = batch_runner.frame_options(options, *frame.shape[:2])
    finder = Finder(seed=args.seed)
    found: list[Shape] = []
    rows: list[tuple[str, str, str]] = []
    timings: dict[str, float] = {}
    for shape, colour in wanted:
        these = finder.find(frame, shape, colour, **options)
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


# --------------------------------------------------------------------------
# kestrune calibrate
# --------------------------------------------------------------------------

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


# --------------------------------------------------------------------------
# kestrune batch
# --------------------------------------------------------------------------

def run_batch(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    wanted = shape_requests(args, parser)
    options = find_options(args, parser)
    if not args.folder.is_dir():
        parser.error(f"{args.folder} is not a folder")
    t0 = time.perf_counter()
    results = batch_runner.run(args.folder, wanted, options, seed=args.seed, workers=args.workers, dask=args.dask,
                               recursive=args.recursive, max_pixels=args.max_pixels, show_progress=not args.quiet)
    labels = [f"{c.name} {shape}" for shape, c in wanted]
    finds: Counter[str] = Counter()
    images_with: Counter[str] = Counter()
    unreadable: list[str] = []
    images = 0
    for result in results:
        images += 1
        if "error" in result:
            unreadable.append(result["image"])
            line = {"image": result["image"], "ms": 0.0, "shapes": [], "error": result["error"]}
            text = f"{result['image']}  unreadable: {result['error']}"
        else:
            shapes = [shape_from_dict(d) for d in result["shapes"]]
            these = [f"{s.colour} {s.shape}" for s in shapes]
            finds.update(these)
            images_with.update(set(these))
            line = {"image": result["image"], "ms": result["ms"], "shapes": result["shapes"]}
            found = "; ".join(f"{s.colour} {s.shape} {describe(s)} score {s.score:.2f}" for s in shapes)
            text = f"{result['image']}  {result['width']}x{result['height']}  {found or 'nothing found'}"
        print(json.dumps(line) if args.json else text, flush=args.json)
    counts = ", ".join(f"{label}: {finds[label]} in {images_with[label]} images" for label in labels)
    summary = f"{images} images; verified finds {counts}; {len(unreadable)} unreadable"
    if unreadable:
        summary += f" ({', '.join(unreadable)})"
    print(summary, file=sys.stderr if args.json else sys.stdout)
    if images == 0:
        print(f"no image files ({', '.join(IMAGE_SUFFIXES)}) in {args.folder}", file=sys.stderr)
    many = args.workers > 1
    how = (f"a Dask bag of {args.workers} process{'es' * many}" if args.dask
           else f"{args.workers} thread{'s' * many}")
    print(f"in {time.perf_counter() - t0:.2f} s on {how}", file=sys.stderr)
    return 0


# --------------------------------------------------------------------------
# kestrune camera
# --------------------------------------------------------------------------

def window_problem(cv2: Any) -> str | None:
    """Why frames cannot be shown here, or None when they can."""
    if sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return "--show needs a display (DISPLAY is not set); run without --show"
    if re.search(r"GUI: +NONE", cv2.getBuildInformation()) or not _can_open_window(cv2):
        return ("--show needs an OpenCV build with windows, and this one has none (opencv-python-headless?): "
                "install opencv-python, or run without --show")
    return None


def _can_open_window(cv2: Any) -> bool:
    try:
        cv2.namedWindow(PROG)
    except cv2.error:
        return False
    return True


def run_camera(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    wanted = shape_requests(args, parser)
    options = find_options(args, parser)
    cv2 = camera_loop.opencv()
    if args.show and (problem := window_problem(cv2)):
        raise Failure(problem, 2)
    start, frames, stage_ms = time.perf_counter(), 0, dict[str, float]()

    def on_frame(index: int, frame: Any, found: list[Shape], tracker: camera_loop.Tracker) -> bool:
        nonlocal start, frames, stage_ms
        words = "; ".join(f"{s.colour} {s.shape} {describe(s)} score {s.score:.2f}" for s in found)
        words = words or "nothing found"
        frames += 1
        add_timings(stage_ms, tracker.timings)
        if args.every_frame:
            stages = ""
            if args.timings:
                stages = ("  [" + " ".join(f"{k} {v:.2f}" for k, v in tracker.timings.items())
                          + f" ms; {tracker.regional} of {len(wanted)} in a region]")
            print(f"frame {index + 1}: {words}{stages}", flush=True)
        now = time.perf_counter()
        if now - start >= 1.0:
            if not args.every_frame:
                stages = ""
                if args.timings:
                    stages = "  [" + " ".join(f"{k} {v / frames:.2f}" for k, v in stage_ms.items()) + " ms per frame]"
                print(f"{frames / (now - start):6.1f} fps  {words}{stages}", flush=True)
            start, frames, stage_ms = now, 0, {}
        if args.show:
            # After the search: drawings are not searched. OpenCV's frames are B, G, R.
            cv2.imshow(PROG, draw_shapes(frame, found, bgr=True, names=[c.name for _, c in wanted]))
            return bool(cv2.waitKey(1) & 0xFF not in (27, ord("q")))
        return True

    try:
        summary = camera_loop.run(args.source, wanted, options, seed=args.seed, full_every=args.full_every,
                                  max_frames=args.max_frames, on_frame=on_frame)
    finally:
        if args.show:
            cv2.destroyAllWindows()
    print(f"{summary.frames} frames in {summary.seconds:.2f} s: {summary.frames / max(summary.seconds, 1e-9):.1f} fps "
          "(decoding included)")
    for shape, colour in wanted:
        label = f"{colour.name} {shape}"
        print(f"  {label}: {summary.finds[label]} verified finds, in {summary.frames_with[label]} of "
              f"{summary.frames} frames")
    print(f"  searched in a region: {summary.regional} of {summary.searches} searches")
    if args.timings:
        per_frame = {k: v / summary.frames for k, v in summary.timings.items()}
        print("  ms per frame: " + ", ".join(f"{k} {v:.2f}" for k, v in per_frame.items())
              + f", total {sum(per_frame.values()):.2f}")
    return 0


# --------------------------------------------------------------------------
# kestrune tune
# --------------------------------------------------------------------------

def run_tune(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .tune import TuneError, serve

    try:
        return serve(args.source, save=args.save, host=args.host, port=args.port, open_browser=not args.no_browser,
                     max_pixels=args.max_pixels)
    except TuneError as e:
        raise Failure(str(e), 2 if e.status == 400 else 1) from None


# --------------------------------------------------------------------------
# kestrune demo
# --------------------------------------------------------------------------

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


# --------------------------------------------------------------------------
# The parser and main
# --------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, formatter_class=Formatter, description="Find one-colour shapes (balls, tape stripes, lines, ellipses) in pictures, "
        "folders of them, cameras and video files.")
    try:
        from importlib.metadata import version

        parser.add_argument("--version", action="version", version=f"%(prog)s {version('kestrune')}")
    except Exception:  # running from a source tree that is not installed
        pass
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    raw = Formatter
    shapes = "{--circle,--ellipse,--lines,--stripe} COLOUR... [options]"

    find = commands.add_parser(
        "find", help="find shapes in an image file", formatter_class=raw, usage=f"%(prog)s IMAGE {shapes}",
        description="Find shapes in an image file: a table of every requested shape (found or not) with its "
        "score, or with --json only {\"shapes\": [...]}, best score first.",
        epilog=f"example:\n  {PROG} find photo.jpg --circle red --lines blue\n"
        f"  {PROG} find photo.jpg --circle ball.json --json")
    find.add_argument("image", type=Path, metavar="IMAGE", help="PNG, JPEG or another picture Pillow reads")
    add_shape_options(find)
    find.add_argument("--json", action="store_true", help='print only {"shapes": [...]} as JSON')
    find.add_argument("--out", type=Path, metavar="PICTURE", help="also write the image with the shapes drawn")
    find.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                      help=f"refuse larger images (default {MAX_PIXELS:,})")
    find.set_defaults(run=run_find, parser=find)

    calibrate = commands.add_parser(
        "calibrate", help="make a colour file from pixels picked in images", formatter_class=raw,
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

    camera = commands.add_parser(
        "camera", help="find shapes in live frames of a camera or a video file", formatter_class=raw,
        usage=f"%(prog)s SOURCE {shapes}",
        description="Find shapes in every frame of a camera or video file (OpenCV). After a find, only a region "
        "around it is searched, and the whole frame again when it is lost and every --full-every frames. "
        "Prints the frame rate once a second and a summary at the end.",
        epilog=f"example:\n  {PROG} camera 0 --circle red --timings\n  {PROG} camera clip.avi --lines blue --show")
    camera.add_argument("source", metavar="SOURCE", help="camera index (0, 1, ...) or a video file")
    add_shape_options(camera)
    camera.add_argument("--show", action="store_true", help="show the frames with the shapes drawn (q or Esc stops)")
    camera.add_argument("--every-frame", action="store_true", help="print every frame's finds")
    camera.add_argument("--timings", action="store_true", help="print the time of each stage")
    camera.add_argument("--full-every", type=positive, default=30, metavar="N",
                        help="search the whole frame at least every N frames (default 30)")
    camera.add_argument("--max-frames", type=positive, metavar="N", help="stop after N frames")
    camera.set_defaults(run=run_camera, parser=camera)

    batch = commands.add_parser(
        "batch", help="find shapes in every image of a folder", formatter_class=raw,
        usage=f"%(prog)s FOLDER {shapes}",
        description="Find shapes in every image of a folder, on threads or a Dask bag: one line per image, in "
        "the order of the paths, and a summary of the verified finds. The output is the same with any "
        "number of workers.",
        epilog=f"example:\n  {PROG} batch photos/ --circle red --workers 4\n"
        f"  {PROG} batch photos/ --circle ball.json --json --dask")
    batch.add_argument("folder", type=Path, metavar="FOLDER",
                       help=f"a folder of pictures ({', '.join(IMAGE_SUFFIXES)})")
    add_shape_options(batch)
    batch.add_argument("--workers", type=positive, default=min(4, os.cpu_count() or 1), metavar="N",
                       help="threads, or processes with --dask (default: up to 4)")
    batch.add_argument("--dask", action="store_true", help="run on a Dask bag of local processes")
    batch.add_argument("--json", action="store_true",
                       help='one JSON line per image: {"image": PATH, "ms": .., "shapes": [...]}')
    batch.add_argument("--recursive", action="store_true", help="also the images in subfolders")
    batch.add_argument("--quiet", action="store_true", help="no progress on stderr")
    batch.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                       help=f"count larger images as unreadable (default {MAX_PIXELS:,})")
    batch.set_defaults(run=run_batch, parser=batch)

    demo = commands.add_parser(
        "demo", help="find the shapes of a built-in scene and compare them with the truth", formatter_class=raw,
        description="Render the built-in 640x480 scene (a red disc, a yellow stripe, two blue lines, a green "
        "ellipse), find every shape, print each with its error against the truth and the time of each stage, "
        "and draw them into a picture. Exits 1 when a shape is missing or off.")
    demo.add_argument("--seed", type=seed_number, default=0, help="seed of the fits' samples (default 0)")
    demo.add_argument("--out", type=Path, default=Path("out/find_shapes.png"), metavar="PICTURE",
                      help="the picture with the shapes drawn (default out/find_shapes.png; needs Pillow)")
    demo.set_defaults(run=run_demo, parser=demo)

    tune = commands.add_parser(
        "tune", help="set a colour by looking: a page in the browser", formatter_class=raw,
        description="Serve a page on this machine that shows the frames of the sources with the colour's mask and "
        "finds: drag a rectangle (or click) on the object to add a sample, watch the colour and the finds change, "
        "and save the colour file. Prints the page's address; Ctrl-C stops.",
        epilog=f"example:\n  {PROG} tune photos/ --save ball.json\n  {PROG} tune clip.avi --port 0 --no-browser\n"
        f"  {PROG} tune 0 --host 0.0.0.0")
    tune.add_argument("source", nargs="+", metavar="SOURCE",
                      help="image files, a folder of them, a video file or a camera index (0, 1, ...)")
    tune.add_argument("--save", type=Path, metavar="FILE",
                      help="where the page's Save writes the colour file (without it, the page asks for a name)")
    tune.add_argument("--port", type=_number(int, 0, 65535, what="a port number"), default=8731, metavar="N",
                      help="port to listen on (default 8731; 0 picks a free one)")
    tune.add_argument("--host", default="127.0.0.1", metavar="H",
                      help="address to listen on (default 127.0.0.1, this machine only; any other needs the "
                      "printed token)")
    tune.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    tune.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                      help=f"refuse larger images (default {MAX_PIXELS:,})")
    tune.set_defaults(run=run_tune, parser=tune)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    # Images over the limit are refused with a message of ours.
    warnings.filterwarnings("ignore", message=".*decompression bomb.*")
    name = f"{PROG} {args.command}"
    try:
        code: int = args.run(args, args.parser)
        return code
    except Failure as e:
        print(f"{name}: error: {e}", file=sys.stderr)
        return e.code
    except ImageError as e:
        hint = "; --max-pixels raises the limit" if e.too_large else ""
        print(f"{name}: error: {e}{hint}", file=sys.stderr)
        return 1
    except (MissingExtra, camera_loop.CameraError) as e:
        print(f"{name}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as e:  # a bug: still one line, not a traceback
        print(f"{name}: error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
