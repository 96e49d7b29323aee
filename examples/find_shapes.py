"""Find coloured shapes in a frame with kestrune.

With no argument it renders a built-in 640x480 scene (a red disc, a yellow
stripe, two blue lines, a green ellipse on a grey gradient with sensor noise),
finds every shape, prints the shapes with their error against the true ones and
the time of each stage, and writes out/find_shapes.png with the shapes drawn.

    python examples/find_shapes.py                      # built-in scene
    python examples/find_shapes.py photo.jpg --circle red --lines blue
    python examples/find_shapes.py photo.jpg --circle ball.json --json
    python examples/find_shapes.py --seed 7 --out out/seven.png

A COLOUR is a built-in name (red, yellow, green, blue) or a colour file written
by `calibrate.py --save`. With --json the only output on stdout is one JSON
object {"shapes": [...]}; see the README for its fields.

The pipeline for one colour: calculate_lch_bounds -> mask_image (or straight to
edge points with simple_edge_hsv) -> simple_edge -> simple_denoise -> a fit.
"""
from __future__ import annotations

import argparse
import ctypes
import json
import math
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, TextIO, TypeVar

import numpy as np
import numpy.typing as npt

import kestrune

Image = npt.NDArray[np.uint8]
Points = npt.NDArray[np.int32]
T = TypeVar("T")
Limits = tuple[tuple[float, float], tuple[float, float], tuple[float, float]]

# Hue sectors in radians from the red direction toward green; chroma and
# intensity bands in units where a full channel (256) counts as 1.0. Checked on
# the photographs bundled with scikit-image (tests/test_examples.py): red stops
# at 11 degrees, short of orange, wood and a tabby's fur (17-30 degrees);
# yellow starts at 40 degrees, past orange and ginger fur, and wants a strong
# chroma so that beige and blond stay out; green starts at 75 degrees, so that
# yellow-green and foliage (75-90 degrees) count as green.
COLOURS: dict[str, Limits] = {
    "red": ((math.radians(-25.0), math.radians(11.0)), (0.25, 1.2), (0.1, 0.9)),
    "yellow": ((math.radians(40.0), math.radians(75.0)), (0.3, 1.2), (0.2, 0.95)),
    "green": ((math.radians(75.0), math.radians(150.0)), (0.2, 1.2), (0.05, 0.9)),
    "blue": ((7 * math.pi / 6, 3 * math.pi / 2), (0.2, 1.2), (0.05, 0.9)),
}

# How many rows and columns the edge scans visit (spread over the frame by
# bit reversal, so any count covers the whole frame evenly).
ROW_COUNT = 240
COLUMN_COUNT = 320
MIN_RUN = 3  # simple_denoise: join runs closer than this, drop shorter ones
DELTA = 2  # every fit: a point within this many pixels of the shape supports it
SHAPES = ("disc", "stripe", "line", "ellipse")


# --------------------------------------------------------------------------
# Colours: built-in names and calibrated colour files
# --------------------------------------------------------------------------

@dataclass(frozen=True)
class Colour:
    """A colour to search for: how it was given (a name or a file) and the
    arguments of its calculate_lch_bounds call."""
    name: str
    hue_limit: tuple[float, float]
    chroma_limit: tuple[float, float]
    intensity_limit: tuple[float, float]
    rgb_bits: int = 8

    def bounds(self, bgr: bool = False) -> kestrune.LCHBounds:
        bounds = kestrune.calculate_lch_bounds(self.hue_limit, self.chroma_limit, self.intensity_limit, self.rgb_bits)
        return bgr_bounds(bounds) if bgr else bounds


def bgr_bounds(bounds: kestrune.LCHBounds) -> kestrune.LCHBounds:
    """The same bounds for pixels stored B, G, R (OpenCV's order).

    The test is M times the pixel: reversing M's columns (R, G, B -> B, G, R)
    gives exactly the same decision on the reversed pixel, so BGR frames need no
    conversion.
    """
    matrix = np.asarray(bounds.M).reshape(3, 3)[:, ::-1].flatten()
    return kestrune.LCHBounds(matrix, bounds.i, bounds.c)


def colour_file_data(colour: Colour, **extra: Any) -> dict[str, Any]:
    """The JSON form of a colour file: the call's arguments, the bounds they give
    (for readers in other languages; ignored when read back) and `extra`."""
    bounds = colour.bounds()
    return {
        "hue_limit": list(colour.hue_limit),
        "chroma_limit": list(colour.chroma_limit),
        "intensity_limit": list(colour.intensity_limit),
        "rgb_bits": colour.rgb_bits,
        "bounds": {"M": [int(v) for v in bounds.M], "i": [int(v) for v in bounds.i], "c": [int(v) for v in bounds.c]},
        **extra,
    }


def load_colour_file(path: Path, name: str | None = None) -> Colour:
    """A Colour from a file of calibrate.py --save; ValueError says what is wrong."""
    try:
        data = json.loads(path.read_text())
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"bad colour file {path}: {e}") from None
    if not isinstance(data, dict):
        raise ValueError(f"bad colour file {path}: not a JSON object")

    def pair(key: str) -> tuple[float, float]:
        value = data.get(key)
        if (not isinstance(value, list) or len(value) != 2
                or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                           for v in value)):
            raise ValueError(f"bad colour file {path}: {key!r} must be a list of two numbers")
        return float(value[0]), float(value[1])

    rgb_bits = data.get("rgb_bits", 8)
    if not isinstance(rgb_bits, int) or isinstance(rgb_bits, bool) or not 1 <= rgb_bits <= 12:
        raise ValueError(f"bad colour file {path}: 'rgb_bits' must be an integer from 1 to 12")
    colour = Colour(name or str(path), pair("hue_limit"), pair("chroma_limit"), pair("intensity_limit"), rgb_bits)
    try:
        colour.bounds()
    except ValueError as e:  # a degenerate sector
        raise ValueError(f"bad colour file {path}: {e}") from None
    return colour


def resolve_colour(spec: str) -> Colour:
    """A built-in colour name or the path of a colour file; ValueError otherwise."""
    if spec in COLOURS:
        return Colour(spec, *COLOURS[spec])
    path = Path(spec)
    if path.is_file():
        return load_colour_file(path, spec)
    raise ValueError(f"unknown colour {spec!r}: not one of {', '.join(sorted(COLOURS))}, "
                     "nor a colour file (calibrate.py --save)")


def colour_argument(spec: str) -> Colour:
    """argparse type for a colour: a clear usage error instead of a traceback."""
    try:
        return resolve_colour(spec)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_shape_arguments(parser: argparse.ArgumentParser) -> None:
    """The shape options shared by find_shapes.py and camera.py."""
    for flag, what in (("--circle", "discs"), ("--stripe", "stripes"), ("--lines", "lines"),
                       ("--ellipse", "ellipses")):
        parser.add_argument(flag, nargs="*", default=[], type=colour_argument, metavar="COLOUR",
                            help=f"colours of {what}: a name ({', '.join(sorted(COLOURS))}) or a colour file")
    parser.add_argument("--min-r", type=int, default=10, help="smallest radius or semi-axis, pixels")
    parser.add_argument("--max-r", type=int, default=200, help="largest radius or semi-axis, pixels")
    parser.add_argument("--seed", type=int, default=1, help="seed for the C generator the fits draw from")


def requests(args: argparse.Namespace) -> list[tuple[str, Colour]]:
    """(shape, colour) for every colour given to the shape options, in a fixed order."""
    return ([("disc", c) for c in args.circle] + [("stripe", c) for c in args.stripe]
            + [("line", c) for c in args.lines] + [("ellipse", c) for c in args.ellipse])


# --------------------------------------------------------------------------
# The built-in scene, with its true shapes
# --------------------------------------------------------------------------

@dataclass
class TrueLine:
    """A line through (px, py) at `angle` radians from the x axis."""
    px: float
    py: float
    angle: float


@dataclass
class Scene:
    frame: Image
    disc: tuple[float, float, float]                    # x, y, r
    stripe: tuple[TrueLine, TrueLine]                   # the stripe's two edges
    lines: list[TrueLine]                               # the blue lines' centres
    ellipse: tuple[float, float, float, float, float]   # x, y, a, b, theta


def render_scene(seed: int = 2024, height: int = 480, width: int = 640) -> Scene:
    rng = np.random.default_rng(seed)
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    # Smooth grey gradient with a faint warm tint: chroma far below every band.
    grey = 60.0 + 110.0 * xs / width + 40.0 * ys / height
    rgb = np.stack([grey + 6.0, grey + 2.0, grey - 2.0], axis=-1)

    def paint(inside: npt.NDArray[np.bool_], colour: tuple[int, int, int]) -> None:
        rgb[inside] = colour

    def band(line: TrueLine, half_width: float) -> npt.NDArray[np.bool_]:
        # Signed distance of every pixel from the line.
        dist = (xs - line.px) * math.sin(line.angle) - (ys - line.py) * math.cos(line.angle)
        return np.asarray(np.abs(dist) <= half_width)

    disc = (150.0, 140.0, 70.0)
    paint((xs - disc[0]) ** 2 + (ys - disc[1]) ** 2 <= disc[2] ** 2, (210, 40, 40))

    stripe_angle = math.radians(75.0)
    centre = TrueLine(330.0, 240.0, stripe_angle)
    half = 22.0
    normal = (math.sin(stripe_angle), -math.cos(stripe_angle))
    stripe = (
        TrueLine(centre.px - half * normal[0], centre.py - half * normal[1], stripe_angle),
        TrueLine(centre.px + half * normal[0], centre.py + half * normal[1], stripe_angle),
    )
    paint(band(centre, half) & (ys >= 40) & (ys < 440), (230, 210, 30))

    lines = [TrueLine(470.0, 110.0, math.radians(62.0)), TrueLine(580.0, 110.0, math.radians(118.0))]
    for line in lines:
        paint(band(line, 0.75) & (ys >= 10) & (ys < 220), (40, 60, 200))

    ellipse = (470.0, 350.0, 95.0, 55.0, 0.35)
    ex, ey, ea, eb, et = ellipse
    u = (xs - ex) * math.cos(et) + (ys - ey) * math.sin(et)
    v = -(xs - ex) * math.sin(et) + (ys - ey) * math.cos(et)
    paint((u / ea) ** 2 + (v / eb) ** 2 <= 1.0, (40, 170, 60))

    rgb += rng.normal(0.0, 3.0, rgb.shape)
    frame = np.clip(np.rint(rgb), 0, 255).astype(np.uint8)
    return Scene(frame, disc, stripe, lines, ellipse)


# --------------------------------------------------------------------------
# The pipeline
# --------------------------------------------------------------------------

@dataclass
class Stages:
    """Wall-clock time of each stage, in milliseconds, summed over colours."""
    ms: dict[str, float] = field(default_factory=dict)

    def run(self, stage: str, fn: Callable[[], T]) -> T:
        t0 = time.perf_counter()
        result = fn()
        self.ms[stage] = self.ms.get(stage, 0.0) + (time.perf_counter() - t0) * 1000.0
        return result


@dataclass
class Found:
    """One shape found: its kind, the colour as given, the fit's own record and
    how many edge points lie within DELTA of it."""
    shape: str
    colour: str
    fit: kestrune.Circle | kestrune.Line | kestrune.Ellipse
    support: int

    def as_json(self) -> dict[str, Any]:
        return {"shape": self.shape, "colour": self.colour, **self.fit, "support": self.support}


def circle_support(points: Points, c: kestrune.Circle, delta: int = DELTA) -> int:
    d2 = (points[:, 0] - c["x"]).astype(np.int64) ** 2 + (points[:, 1] - c["y"]).astype(np.int64) ** 2
    return int(np.count_nonzero((d2 >= max(c["r"] - delta, 0) ** 2) & (d2 <= (c["r"] + delta) ** 2)))


def line_support(points: Points, line: kestrune.Line, delta: float = DELTA) -> int:
    nx, ny = float(line["nx"]), float(line["ny"])
    d = (points[:, 0] - line["px"]) * nx + (points[:, 1] - line["py"]) * ny
    return int(np.count_nonzero(np.abs(d) <= delta * math.hypot(nx, ny)))


def ellipse_support(points: Points, e: kestrune.Ellipse, delta: float = DELTA) -> int:
    """Points between the ellipse shrunk and grown by delta along both axes."""
    dx, dy = points[:, 0] - e["x"], points[:, 1] - e["y"]
    u = dx * math.cos(e["theta"]) + dy * math.sin(e["theta"])
    v = -dx * math.sin(e["theta"]) + dy * math.cos(e["theta"])
    inside_outer = (u / (e["a"] + delta)) ** 2 + (v / (e["b"] + delta)) ** 2 <= 1.0
    if min(e["a"], e["b"]) <= delta:
        return int(np.count_nonzero(inside_outer))
    outside_inner = (u / (e["a"] - delta)) ** 2 + (v / (e["b"] - delta)) ** 2 >= 1.0
    return int(np.count_nonzero(inside_outer & outside_inner))


def same_line(a: kestrune.Line, b: kestrune.Line, max_distance: float, max_degrees: float) -> bool:
    """Nearly parallel and close: each anchor within max_distance of the other line."""
    return (angle_error_deg(line_angle(a), line_angle(b)) <= max_degrees
            and distance_to_line(b["px"], b["py"], a) <= max_distance
            and distance_to_line(a["px"], a["py"], b) <= max_distance)


def fitted_line(points: Points) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(a point, the unit normal) of the least-squares line through points."""
    xy = points.astype(np.float64)
    centre = xy.mean(axis=0)
    _, vectors = np.linalg.eigh(np.cov((xy - centre).T))
    return centre, vectors[:, 0]  # the direction of least spread is the normal


def middle_line(edges: list[Points]) -> kestrune.Line:
    """The line halfway between the outermost of nearly parallel lines through
    point sets (the inliers of a thick line's edges, found in one or more fits)."""
    fits = [fitted_line(points) for points in edges]
    reference = fits[0][1]
    normal = np.sum([(n if n @ reference >= 0 else -n) * len(points) for (_, n), points in zip(fits, edges)], axis=0)
    normal /= float(np.linalg.norm(normal))
    offsets = [float(c @ normal) for c, _ in fits]
    # The middle of the band, at the first centre's place along the line.
    centre = fits[0][0] + ((min(offsets) + max(offsets)) / 2.0 - offsets[0]) * normal
    n = normal * 1024.0  # ints like the fit's normals; 1024 keeps the angle to 0.06 degree
    merged: kestrune.Line = {"px": round(float(centre[0])), "py": round(float(centre[1])),
                             "nx": round(float(n[0])), "ny": round(float(n[1]))}
    return merged


class Finder:
    """Reusable buffers for one frame size: one mask and three point arrays.

    bgr=True: the frames are B, G, R (OpenCV); the bounds are turned with
    bgr_bounds instead of the frames being converted.
    """

    def __init__(self, height: int, width: int, bgr: bool = False) -> None:
        capacity = 4 * (ROW_COUNT * width // 8 + COLUMN_COUNT * height // 8) + 4096
        self.mask: Image = np.zeros((height, width), np.uint8)
        self.points: Points = np.zeros((capacity, 2), np.int32)
        self.clean: Points = np.zeros((capacity, 2), np.int32)
        self.rest: Points = np.zeros((capacity, 2), np.int32)
        self.inliers = np.zeros(capacity, np.uint8)
        self.bgr = bgr
        self.bounds: dict[Colour, kestrune.LCHBounds] = {}
        self.stages = Stages()

    def edge_points(self, frame: Image, colour: Colour | str, from_mask: bool = True) -> Points:
        """Edge points of one colour, runs joined and short runs dropped."""
        spec = colour if isinstance(colour, Colour) else resolve_colour(colour)
        bounds = self.bounds.get(spec)
        if bounds is None:
            bounds = self.stages.run("bounds", lambda: spec.bounds(self.bgr))
            self.bounds[spec] = bounds
        if from_mask:
            self.stages.run("mask", lambda: kestrune.mask_image(frame, bounds, self.mask))
            n = self.stages.run(
                "edges", lambda: kestrune.simple_edge(self.mask, self.points, ROW_COUNT, COLUMN_COUNT))
        else:
            # One pass over the scanned lines only: no mask is built.
            as_mapping = bounds._asdict()
            n = self.stages.run("edges", lambda: kestrune.simple_edge_hsv(
                frame, self.points, as_mapping, ROW_COUNT, COLUMN_COUNT))
        m = self.stages.run("denoise", lambda: kestrune.simple_denoise(self.points[:n], self.clean, MIN_RUN))
        return self.clean[:m]

    def circle(self, points: Points, min_r: int = 10, max_r: int = 200) -> kestrune.Circle | None:
        if len(points) < 3:
            return None
        # 400 samples of 3 points; inliers within DELTA px of the circle.
        found = self.stages.run("fit", lambda: kestrune.ransac_circle(points, 400, min_r, max_r, DELTA))
        return found if found["r"] > 0 else None

    def stripe(self, points: Points) -> tuple[kestrune.Line, kestrune.Line] | None:
        if len(points) < 4:
            return None
        # The two edges may differ by 5.7 degrees at most (|cos| >= 0.995); the
        # inlier mask needs one entry per point.
        l1, l2 = self.stages.run(
            "fit", lambda: kestrune.ransac_line2(points, self.inliers[:len(points)], 1500, 0.995, DELTA))
        return (l1, l2) if l1["nx"] or l1["ny"] else None

    def lines(self, points: Points, max_lines: int = 4, min_support: int = 40) -> list[kestrune.Line]:
        return [line for line, _ in self.lines_with_support(points, max_lines, min_support)]

    def lines_with_support(self, points: Points, max_lines: int = 4, min_support: int = 40,
                           merge_distance: float = 12.0, merge_degrees: float = 3.0,
                           ) -> list[tuple[kestrune.Line, int]]:
        """Lines one after another: fit, drop the line's inliers, fit again.

        A line a few pixels thick has an edge on each side, found as two lines:
        a line within merge_distance px and merge_degrees of one already found
        is merged into it (the middle of the two, the inliers of both).
        """
        found: list[tuple[kestrune.Line, int]] = []
        edges: list[list[Points]] = []  # the inliers of each fit merged into each found line
        rest = self.rest[:len(points)]
        rest[:] = points
        for _ in range(2 * max_lines):  # merged fits count half: each line has at most two edges
            if len(found) >= max_lines or len(rest) < min_support:
                break
            ms = self.inliers[:len(rest)]
            # slope_limit 0.3 skips lines within 17.5 degrees of horizontal
            # (sin(angle) <= 0.3); use 0 to accept every slope but exactly flat.
            line = self.stages.run("fit", lambda: kestrune.ransac_line(rest, ms, 600, DELTA, 0.3))
            support = int(ms.sum())
            if support < min_support or not (line["nx"] or line["ny"]):
                break
            inliers = rest[ms.astype(bool)]  # a copy, before the list is compacted
            # Compacts the list in place: rest is a view of self.rest.
            n = self.stages.run("fit", lambda: kestrune.remove_inliers(rest, self.rest, ms))
            rest = self.rest[:n]
            for k, (other, other_support) in enumerate(found):
                if same_line(other, line, merge_distance, merge_degrees):
                    edges[k].append(inliers)
                    found[k] = (middle_line(edges[k]), other_support + support)
                    break
            else:
                found.append((line, support))
                edges.append([inliers])
        return found

    def ellipse(self, points: Points, min_r: int = 10, max_r: int = 200) -> kestrune.Ellipse | None:
        if len(points) < 5:
            return None
        # ratio 3.0 bounds b / a; since a is often the shorter semi-axis, that
        # allows ellipses up to three times as long as wide.
        found = self.stages.run(
            "fit", lambda: kestrune.ransac_ellipse(points, 1500, min_r, max_r, 3.0, DELTA))
        return found if found["a"] > 0 else None

    def find(self, frame: Image, shape: str, colour: Colour | str, min_r: int = 10, max_r: int = 200,
             from_mask: bool = True) -> list[Found]:
        """Every `shape` ("disc", "stripe", "line", "ellipse") of one colour in the frame."""
        if isinstance(colour, str):
            colour = resolve_colour(colour)
        points = self.edge_points(frame, colour, from_mask)
        if shape == "disc":
            c = self.circle(points, min_r, max_r)
            return [Found(shape, colour.name, c, circle_support(points, c))] if c else []
        if shape == "stripe":
            # One entry per edge; both carry the same colour, in order.
            return [Found(shape, colour.name, edge, line_support(points, edge)) for edge in self.stripe(points) or ()]
        if shape == "line":
            return [Found(shape, colour.name, line, support) for line, support in self.lines_with_support(points)]
        if shape == "ellipse":
            e = self.ellipse(points, min_r, max_r)
            return [Found(shape, colour.name, e, ellipse_support(points, e))] if e else []
        raise ValueError(f"unknown shape {shape!r}: not one of {', '.join(SHAPES)}")


# --------------------------------------------------------------------------
# Comparing with the truth and printing
# --------------------------------------------------------------------------

def line_angle(line: kestrune.Line) -> float:
    """Direction of a found line, radians in [0, pi)."""
    return math.atan2(line["nx"], -line["ny"]) % math.pi


def angle_error_deg(a: float, b: float) -> float:
    d = abs(a - b) % math.pi
    return math.degrees(min(d, math.pi - d))


def distance_to_line(x: float, y: float, line: kestrune.Line) -> float:
    """Distance of (x, y) from a found line."""
    nx, ny = line["nx"], line["ny"]
    return abs(nx * (x - line["px"]) + ny * (y - line["py"])) / math.hypot(nx, ny)


def line_error(found: kestrune.Line, truth: TrueLine) -> tuple[float, float]:
    """(distance in px of the true line's anchor from the found line, angle error in degrees)."""
    return distance_to_line(truth.px, truth.py, found), angle_error_deg(line_angle(found), truth.angle)


def describe_line(line: kestrune.Line) -> str:
    return f"through ({line['px']}, {line['py']}) at {math.degrees(line_angle(line)):6.1f} deg"


@dataclass
class Row:
    shape: str
    found: str
    px_error: float | None = None
    deg_error: float | None = None

    def ok(self) -> bool:
        return (self.px_error is None or self.px_error <= 2.0) and (self.deg_error is None or self.deg_error <= 2.0)


def print_rows(rows: list[Row], with_truth: bool) -> None:
    width = max(len(r.shape) for r in rows) if rows else 5
    print((f"{'shape':<{width}} {'found':<56}" + (" px err  deg err" if with_truth else "")).rstrip())
    for r in rows:
        line = f"{r.shape:<{width}} {r.found:<56}"
        if with_truth:
            px = f"{r.px_error:6.2f}" if r.px_error is not None else "     -"
            deg = f"{r.deg_error:8.2f}" if r.deg_error is not None else "       -"
            line += f" {px} {deg}" + ("" if r.ok() else "   <-- off")
        print(line.rstrip())


def print_stages(stages: Stages, file: TextIO | None = None) -> None:
    total = sum(stages.ms.values())
    print("\nstage      ms", file=file)
    for stage, ms in stages.ms.items():
        print(f"{stage:<8} {ms:6.2f}", file=file)
    print(f"{'total':<8} {total:6.2f}", file=file)


def describe(found: Found) -> str:
    """One shape in words, for the table."""
    fit: Any = found.fit
    if found.shape == "disc":
        return f"centre ({fit['x']}, {fit['y']}), r {fit['r']}"
    if found.shape == "ellipse":
        return f"centre ({fit['x']:.1f}, {fit['y']:.1f}), axes {fit['a']:.1f}, {fit['b']:.1f}, theta {fit['theta']:.3f}"
    return describe_line(fit)


# --------------------------------------------------------------------------
# Drawing (Pillow)
# --------------------------------------------------------------------------

def draw_shapes(frame: Image, circles: list[kestrune.Circle], lines: list[kestrune.Line],
                ellipses: list[kestrune.Ellipse], path: Path) -> None:
    from PIL import Image as PILImage, ImageDraw

    picture = PILImage.fromarray(frame)
    draw = ImageDraw.Draw(picture)
    for c in circles:
        x, y, r = c["x"], c["y"], c["r"]
        draw.ellipse((x - r, y - r, x + r, y + r), outline=(255, 255, 255), width=2)
        draw.line((x - 5, y, x + 5, y), fill=(255, 255, 255))
        draw.line((x, y - 5, x, y + 5), fill=(255, 255, 255))
    for line in lines:
        # A long segment along the line; Pillow clips it to the picture.
        dx, dy = -line["ny"], line["nx"]
        k = 2000.0 / math.hypot(dx, dy)
        draw.line((line["px"] - k * dx, line["py"] - k * dy, line["px"] + k * dx, line["py"] + k * dy),
                  fill=(255, 0, 255), width=1)
    for e in ellipses:
        t = np.linspace(0.0, 2.0 * math.pi, 181)
        cs, sn = math.cos(e["theta"]), math.sin(e["theta"])
        u, v = e["a"] * np.cos(t), e["b"] * np.sin(t)
        outline = [(float(e["x"] + cs * a - sn * b), float(e["y"] + sn * a + cs * b)) for a, b in zip(u, v)]
        draw.line(outline, fill=(255, 255, 255), width=2)
    path.parent.mkdir(parents=True, exist_ok=True)
    picture.save(path)


# --------------------------------------------------------------------------
# Main
# --------------------------------------------------------------------------

def print_palette() -> None:
    """Which sector each of a few named colours falls into (mask_color)."""
    palette = {"crimson": (220, 20, 60), "gold": (255, 215, 0), "forest": (34, 139, 34),
               "royal blue": (65, 105, 225), "grey": (128, 128, 128)}
    bounds = {name: kestrune.calculate_lch_bounds(*limits) for name, limits in COLOURS.items()}
    cells = []
    for name, rgb in palette.items():
        hits = [sector for sector, b in bounds.items() if kestrune.mask_color(rgb, b)]
        cells.append(f"{name} -> {', '.join(hits) or '-'}")
    print("colour sectors: " + "; ".join(cells) + "\n")


def print_colour_summary(finder: Finder, frame: Image) -> None:
    """Per colour: mask pixels, edge points by the colour scan and by the mask scan
    (they agree: same lines, same test), and segments left after denoising."""
    print(f"{'colour':<8} {'mask px':>8} {'edges (colour scan)':>20} {'edges (mask scan)':>18} {'segments':>9}")
    for colour, limits in COLOURS.items():
        bounds = kestrune.calculate_lch_bounds(*limits)
        mask = kestrune.mask_image(frame, bounds, finder.mask)
        by_colour = kestrune.simple_edge_hsv(frame, finder.points, bounds._asdict(), ROW_COUNT, COLUMN_COUNT)
        by_mask = kestrune.simple_edge(mask, finder.points, ROW_COUNT, COLUMN_COUNT)
        kept = kestrune.simple_denoise(finder.points[:by_mask], finder.clean, MIN_RUN)
        print(f"{colour:<8} {int(np.count_nonzero(mask)):>8} {by_colour:>20} {by_mask:>18} {kept // 2:>9}")
    print()


def seed_rand(seed: int) -> None:
    """The fits draw from the C library's rand(): seed it for a reproducible run."""
    ctypes.CDLL(None).srand(ctypes.c_uint(seed))


def split_shapes(found: list[Found]) -> tuple[list[kestrune.Circle], list[kestrune.Line], list[kestrune.Ellipse]]:
    circles: list[Any] = [f.fit for f in found if f.shape == "disc"]
    lines: list[Any] = [f.fit for f in found if f.shape in ("stripe", "line")]
    ellipses: list[Any] = [f.fit for f in found if f.shape == "ellipse"]
    return circles, lines, ellipses


def print_json(found: list[Found]) -> None:
    print(json.dumps({"shapes": [f.as_json() for f in found]}))


def run_scene(seed: int, out: Path | None, as_json: bool = False) -> bool:
    scene = render_scene()
    h, w, _ = scene.frame.shape
    finder = Finder(h, w)
    if not as_json:
        print_colour_summary(finder, scene.frame)
    seed_rand(seed)
    rows: list[Row] = []
    frame = scene.frame
    everything: list[Found] = []

    discs = finder.find(frame, "disc", "red")
    everything += discs
    disc_fits: list[Any] = [f.fit for f in discs]
    for disc in disc_fits:
        tx, ty, tr = scene.disc
        err = max(math.hypot(disc["x"] - tx, disc["y"] - ty), abs(disc["r"] - tr))
        rows.append(Row("disc", f"centre ({disc['x']}, {disc['y']}), r {disc['r']}", err))
    if not discs:
        rows.append(Row("disc", "NOT FOUND", math.inf))

    edges = finder.find(frame, "stripe", "yellow", from_mask=False)
    everything += edges
    pair: list[Any] = [f.fit for f in edges]
    for edge, truth in zip(pair, match_lines(pair, list(scene.stripe))):
        px, deg = line_error(edge, truth)
        rows.append(Row("stripe", describe_line(edge), px, deg))
    if not pair:
        rows.append(Row("stripe", "NOT FOUND", math.inf))

    lines = finder.find(frame, "line", "blue")
    everything += lines
    found_lines: list[Any] = [f.fit for f in lines]
    for line, truth in zip(found_lines, match_lines(found_lines, scene.lines)):
        px, deg = line_error(line, truth)
        rows.append(Row("line", describe_line(line), px, deg))
    for _ in range(len(scene.lines) - len(found_lines)):
        rows.append(Row("line", "NOT FOUND", math.inf))

    ellipses = finder.find(frame, "ellipse", "green")
    everything += ellipses
    ellipse_fits: list[Any] = [f.fit for f in ellipses]
    for ell in ellipse_fits:
        tx, ty, ta, tb, _ = scene.ellipse
        # a is the axis along theta, not necessarily the longer one: compare as a set.
        axes = sorted((ell["a"], ell["b"]))
        err = max(math.hypot(ell["x"] - tx, ell["y"] - ty), abs(axes[0] - min(ta, tb)), abs(axes[1] - max(ta, tb)))
        major_theta = ell["theta"] if ell["a"] >= ell["b"] else ell["theta"] + math.pi / 2
        rows.append(Row("ellipse", f"centre ({ell['x']:.1f}, {ell['y']:.1f}), axes {axes[1]:.1f} x {axes[0]:.1f}, "
                        f"{math.degrees(major_theta % math.pi):.1f} deg", err,
                        angle_error_deg(major_theta, scene.ellipse[4])))
    if not ellipses:
        rows.append(Row("ellipse", "NOT FOUND", math.inf))

    if as_json:
        print_json(everything)
    else:
        print_rows(rows, with_truth=True)
    print_stages(finder.stages, file=sys.stderr if as_json else None)
    if out is not None:
        draw_shapes(frame, *split_shapes(everything), out)
        print(f"\nwrote {out}", file=sys.stderr if as_json else None)
    return all(r.ok() for r in rows) and len(rows) == 6


def match_lines(found: list[kestrune.Line] | tuple[kestrune.Line, ...], truths: list[TrueLine]) -> list[TrueLine]:
    """For each found line, the true line it lies closest to (angle first, then distance)."""
    return [min(truths, key=lambda t: line_error(f, t)[1] * 10.0 + line_error(f, t)[0]) for f in found]


def run_image(path: Path, args: argparse.Namespace) -> int:
    from PIL import Image as PILImage, UnidentifiedImageError

    try:
        # A writable copy: the module refuses read-only arrays.
        frame: Image = np.array(PILImage.open(path).convert("RGB"), dtype=np.uint8)
    except (OSError, UnidentifiedImageError) as e:
        print(f"cannot read {path}: {e}", file=sys.stderr)
        return 1
    h, w, _ = frame.shape
    finder = Finder(h, w)
    seed_rand(args.seed)
    found: list[Found] = []
    rows: list[Row] = []
    for shape, colour in requests(args):
        these = finder.find(frame, shape, colour, args.min_r, args.max_r)
        found += these
        rows += [Row(f"{colour.name} {shape}", describe(f)) for f in these]
        if not these and shape in ("disc", "ellipse"):
            rows.append(Row(f"{colour.name} {shape}", "not found"))
    if args.json:
        print_json(found)
    else:
        print_rows(rows, with_truth=False)
    info = sys.stderr if args.json else None
    print_stages(finder.stages, file=info)
    draw_shapes(frame, *split_shapes(found), args.out)
    print(f"\nwrote {args.out}", file=info)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image", nargs="?", type=Path, help="PNG or JPEG to search (default: the built-in scene)")
    parser.add_argument("--out", type=Path, default=Path("out/find_shapes.png"), help="picture with the shapes drawn")
    parser.add_argument("--json", action="store_true", help='print only {"shapes": [...]} as JSON on stdout')
    add_shape_arguments(parser)
    args = parser.parse_args(argv)

    if not args.json:
        print_palette()
    if args.image is None:
        return 0 if run_scene(args.seed, args.out, args.json) else 1
    return run_image(args.image, args)


if __name__ == "__main__":
    sys.exit(main())
