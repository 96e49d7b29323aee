"""Find coloured shapes in a frame with kestrune.

With no argument it renders a built-in 640x480 scene (a red disc, a yellow
stripe, two blue lines, a green ellipse on a grey gradient with sensor noise),
finds every shape, prints the shapes with their error against the true ones and
the time of each stage, and writes out/find_shapes.png with the shapes drawn.

    python examples/find_shapes.py                      # built-in scene
    python examples/find_shapes.py photo.jpg --circle red --lines blue
    python examples/find_shapes.py --seed 7 --out out/seven.png

The pipeline for one colour: calculate_lch_bounds -> mask_image (or straight to
edge points with simple_edge_hsv) -> simple_edge -> simple_denoise -> a fit.
"""
from __future__ import annotations

import argparse
import ctypes
import math
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, TypeVar

import numpy as np
import numpy.typing as npt

import kestrune

Image = npt.NDArray[np.uint8]
Points = npt.NDArray[np.int32]
T = TypeVar("T")

# Hue sectors in radians from the red direction toward green; chroma and
# intensity bands in units where a full channel (256) counts as 1.0.
COLOURS: dict[str, tuple[tuple[float, float], tuple[float, float], tuple[float, float]]] = {
    "red": ((-math.pi / 6, math.pi / 6), (0.25, 1.2), (0.1, 0.9)),
    "yellow": ((math.pi / 6, math.pi / 2), (0.25, 1.2), (0.2, 0.95)),
    "green": ((math.pi / 2, 5 * math.pi / 6), (0.2, 1.2), (0.05, 0.9)),
    "blue": ((7 * math.pi / 6, 3 * math.pi / 2), (0.2, 1.2), (0.05, 0.9)),
}

# How many rows and columns the edge scans visit (spread over the frame by
# bit reversal, so any count covers the whole frame evenly).
ROW_COUNT = 240
COLUMN_COUNT = 320
MIN_RUN = 3  # simple_denoise: join runs closer than this, drop shorter ones


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


class Finder:
    """Reusable buffers for one frame size: one mask and three point arrays."""

    def __init__(self, height: int, width: int) -> None:
        capacity = 4 * (ROW_COUNT * width // 8 + COLUMN_COUNT * height // 8) + 4096
        self.mask: Image = np.zeros((height, width), np.uint8)
        self.points: Points = np.zeros((capacity, 2), np.int32)
        self.clean: Points = np.zeros((capacity, 2), np.int32)
        self.rest: Points = np.zeros((capacity, 2), np.int32)
        self.inliers = np.zeros(capacity, np.uint8)
        self.bounds: dict[str, kestrune.LCHBounds] = {}
        self.stages = Stages()

    def edge_points(self, frame: Image, colour: str, from_mask: bool = True) -> Points:
        """Edge points of one colour, runs joined and short runs dropped."""
        bounds = self.bounds.get(colour)
        if bounds is None:
            bounds = self.stages.run("bounds", lambda: kestrune.calculate_lch_bounds(*COLOURS[colour]))
            self.bounds[colour] = bounds
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
        # 400 samples of 3 points; inliers within 2 px of the circle.
        found = self.stages.run("fit", lambda: kestrune.ransac_circle(points, 400, min_r, max_r, 2))
        return found if found["r"] > 0 else None

    def stripe(self, points: Points) -> tuple[kestrune.Line, kestrune.Line] | None:
        if len(points) < 4:
            return None
        # The two edges may differ by 5.7 degrees at most (|cos| >= 0.995); the
        # inlier mask needs one entry per point.
        l1, l2 = self.stages.run(
            "fit", lambda: kestrune.ransac_line2(points, self.inliers[:len(points)], 1500, 0.995, 2))
        return (l1, l2) if l1["nx"] or l1["ny"] else None

    def lines(self, points: Points, max_lines: int = 4, min_support: int = 40) -> list[kestrune.Line]:
        """Lines one after another: fit, drop the line's inliers, fit again."""
        found: list[kestrune.Line] = []
        rest = self.rest[:len(points)]
        rest[:] = points
        while len(found) < max_lines and len(rest) >= min_support:
            ms = self.inliers[:len(rest)]
            # slope_limit 0.3 skips lines within 17.5 degrees of horizontal
            # (sin(angle) <= 0.3); use 0 to accept every slope but exactly flat.
            line = self.stages.run("fit", lambda: kestrune.ransac_line(rest, ms, 600, 2, 0.3))
            support = int(ms.sum())
            if support < min_support or not (line["nx"] or line["ny"]):
                break
            found.append(line)
            # Compacts the list in place: rest is a view of self.rest.
            n = self.stages.run("fit", lambda: kestrune.remove_inliers(rest, self.rest, ms))
            rest = self.rest[:n]
        return found

    def ellipse(self, points: Points, min_r: int = 10, max_r: int = 200) -> kestrune.Ellipse | None:
        if len(points) < 5:
            return None
        # ratio 3.0 bounds b / a; since a is often the shorter semi-axis, that
        # allows ellipses up to three times as long as wide.
        found = self.stages.run(
            "fit", lambda: kestrune.ransac_ellipse(points, 1500, min_r, max_r, 3.0, 2))
        return found if found["a"] > 0 else None


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


def print_stages(stages: Stages) -> None:
    total = sum(stages.ms.values())
    print("\nstage      ms")
    for stage, ms in stages.ms.items():
        print(f"{stage:<8} {ms:6.2f}")
    print(f"{'total':<8} {total:6.2f}")


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


def run_scene(seed: int, out: Path | None) -> bool:
    scene = render_scene()
    h, w, _ = scene.frame.shape
    finder = Finder(h, w)
    print_colour_summary(finder, scene.frame)
    seed_rand(seed)
    rows: list[Row] = []
    circles: list[kestrune.Circle] = []
    lines: list[kestrune.Line] = []
    ellipses: list[kestrune.Ellipse] = []

    disc = finder.circle(finder.edge_points(scene.frame, "red"))
    if disc:
        circles.append(disc)
        tx, ty, tr = scene.disc
        err = max(math.hypot(disc["x"] - tx, disc["y"] - ty), abs(disc["r"] - tr))
        rows.append(Row("disc", f"centre ({disc['x']}, {disc['y']}), r {disc['r']}", err))
    else:
        rows.append(Row("disc", "NOT FOUND", math.inf))

    pair = finder.stripe(finder.edge_points(scene.frame, "yellow", from_mask=False))
    if pair:
        lines.extend(pair)
        for edge, truth in zip(pair, match_lines(pair, list(scene.stripe))):
            px, deg = line_error(edge, truth)
            rows.append(Row("stripe", describe_line(edge), px, deg))
    else:
        rows.append(Row("stripe", "NOT FOUND", math.inf))

    found_lines = finder.lines(finder.edge_points(scene.frame, "blue"))
    lines.extend(found_lines)
    for line, truth in zip(found_lines, match_lines(found_lines, scene.lines)):
        px, deg = line_error(line, truth)
        rows.append(Row("line", describe_line(line), px, deg))
    for _ in range(len(scene.lines) - len(found_lines)):
        rows.append(Row("line", "NOT FOUND", math.inf))

    ell = finder.ellipse(finder.edge_points(scene.frame, "green"))
    if ell:
        ellipses.append(ell)
        tx, ty, ta, tb, _ = scene.ellipse
        # a is the axis along theta, not necessarily the longer one: compare as a set.
        axes = sorted((ell["a"], ell["b"]))
        err = max(math.hypot(ell["x"] - tx, ell["y"] - ty), abs(axes[0] - min(ta, tb)), abs(axes[1] - max(ta, tb)))
        major_theta = ell["theta"] if ell["a"] >= ell["b"] else ell["theta"] + math.pi / 2
        rows.append(Row("ellipse", f"centre ({ell['x']:.1f}, {ell['y']:.1f}), axes {axes[1]:.1f} x {axes[0]:.1f}, "
                        f"{math.degrees(major_theta % math.pi):.1f} deg", err,
                        angle_error_deg(major_theta, scene.ellipse[4])))
    else:
        rows.append(Row("ellipse", "NOT FOUND", math.inf))

    print_rows(rows, with_truth=True)
    print_stages(finder.stages)
    if out is not None:
        draw_shapes(scene.frame, circles, lines, ellipses, out)
        print(f"\nwrote {out}")
    return all(r.ok() for r in rows) and len(rows) == 6


def match_lines(found: list[kestrune.Line] | tuple[kestrune.Line, ...], truths: list[TrueLine]) -> list[TrueLine]:
    """For each found line, the true line it lies closest to (angle first, then distance)."""
    return [min(truths, key=lambda t: line_error(f, t)[1] * 10.0 + line_error(f, t)[0]) for f in found]


def run_image(path: Path, args: argparse.Namespace) -> None:
    from PIL import Image as PILImage

    # A writable copy: the module refuses read-only arrays.
    frame: Image = np.array(PILImage.open(path).convert("RGB"), dtype=np.uint8)
    h, w, _ = frame.shape
    finder = Finder(h, w)
    seed_rand(args.seed)
    rows: list[Row] = []
    circles: list[kestrune.Circle] = []
    lines: list[kestrune.Line] = []
    ellipses: list[kestrune.Ellipse] = []
    for colour in args.circle:
        c = finder.circle(finder.edge_points(frame, colour), args.min_r, args.max_r)
        if c:
            circles.append(c)
        rows.append(Row(f"{colour} disc", f"centre ({c['x']}, {c['y']}), r {c['r']}" if c else "not found"))
    for colour in args.stripe:
        pair = finder.stripe(finder.edge_points(frame, colour))
        lines.extend(pair or ())
        rows.extend(Row(f"{colour} stripe", describe_line(edge)) for edge in pair or ())
    for colour in args.lines:
        found = finder.lines(finder.edge_points(frame, colour))
        lines.extend(found)
        rows.extend(Row(f"{colour} line", describe_line(line)) for line in found)
    for colour in args.ellipse:
        e = finder.ellipse(finder.edge_points(frame, colour), args.min_r, args.max_r)
        if e:
            ellipses.append(e)
        rows.append(Row(f"{colour} ellipse", f"centre ({e['x']:.1f}, {e['y']:.1f}), axes {e['a']:.1f}, {e['b']:.1f}, "
                        f"theta {e['theta']:.3f}" if e else "not found"))
    print_rows(rows, with_truth=False)
    print_stages(finder.stages)
    draw_shapes(frame, circles, lines, ellipses, args.out)
    print(f"\nwrote {args.out}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image", nargs="?", type=Path, help="PNG or JPEG to search (default: the built-in scene)")
    parser.add_argument("--seed", type=int, default=1, help="seed for the C generator the fits draw from")
    parser.add_argument("--out", type=Path, default=Path("out/find_shapes.png"), help="picture with the shapes drawn")
    names = sorted(COLOURS)
    parser.add_argument("--circle", nargs="*", default=[], choices=names, metavar="COLOUR", help="colours of discs")
    parser.add_argument("--stripe", nargs="*", default=[], choices=names, metavar="COLOUR", help="colours of stripes")
    parser.add_argument("--lines", nargs="*", default=[], choices=names, metavar="COLOUR", help="colours of lines")
    parser.add_argument("--ellipse", nargs="*", default=[], choices=names, metavar="COLOUR", help="colours of ellipses")
    parser.add_argument("--min-r", type=int, default=10, help="smallest radius or semi-axis, pixels")
    parser.add_argument("--max-r", type=int, default=200, help="largest radius or semi-axis, pixels")
    args = parser.parse_args(argv)

    print_palette()
    if args.image is None:
        return 0 if run_scene(args.seed, args.out) else 1
    run_image(args.image, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
