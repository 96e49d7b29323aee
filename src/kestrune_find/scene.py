"""The built-in scene of `kestrune demo`, with its true shapes, and how far
found shapes lie from them.

The scene: a red disc, a yellow stripe, two thin blue lines and a green
ellipse on a grey gradient with a faint warm tint and sensor noise, 640 x 480.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np
import numpy.typing as npt

from .shapes import Band, Disc, Ellipse, Shape

Frame = npt.NDArray[np.uint8]


@dataclass(frozen=True)
class TrueLine:
    """A straight line through (px, py) at `angle` radians from the x axis."""

    px: float
    py: float
    angle: float

    def distance(self, band: Band) -> float:
        """Distance of this line's anchor from a found band's centre line."""
        return band.distance(self.px, self.py)


@dataclass(frozen=True)
class Scene:
    frame: Frame
    disc: tuple[float, float, float]                   # x, y, r
    stripe: tuple[TrueLine, float]                     # centre line, width
    lines: tuple[TrueLine, ...]                        # the blue lines' centres
    ellipse: tuple[float, float, float, float, float]  # x, y, a, b, theta (a >= b)


#: (shape, colour, how many) of the scene's shapes, in the order of the demo's table.
CONTENTS = (("disc", "red", 1), ("stripe", "yellow", 1), ("line", "blue", 2), ("ellipse", "green", 1))


def render_scene(seed: int = 2024, height: int = 480, width: int = 640) -> Scene:
    """The scene, with noise drawn from `seed`."""
    rng = np.random.default_rng(seed)
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    # A smooth grey gradient with a faint warm tint: chroma far below every band.
    grey = 60.0 + 110.0 * xs / width + 40.0 * ys / height
    rgb = np.stack([grey + 6.0, grey + 2.0, grey - 2.0], axis=-1)

    def band(line: TrueLine, half_width: float) -> npt.NDArray[np.bool_]:
        dist = (xs - line.px) * math.sin(line.angle) - (ys - line.py) * math.cos(line.angle)
        return np.asarray(np.abs(dist) <= half_width)

    disc = (150.0, 140.0, 70.0)
    rgb[(xs - disc[0]) ** 2 + (ys - disc[1]) ** 2 <= disc[2] ** 2] = (210, 40, 40)

    stripe = TrueLine(330.0, 240.0, math.radians(75.0))
    half = 22.0
    rgb[band(stripe, half) & (ys >= 40) & (ys < 440)] = (230, 210, 30)

    lines = (TrueLine(470.0, 110.0, math.radians(62.0)), TrueLine(580.0, 110.0, math.radians(118.0)))
    for line in lines:
        rgb[band(line, 0.75) & (ys >= 10) & (ys < 220)] = (40, 60, 200)

    ellipse = (470.0, 350.0, 95.0, 55.0, 0.35)
    ex, ey, ea, eb, et = ellipse
    u = (xs - ex) * math.cos(et) + (ys - ey) * math.sin(et)
    v = -(xs - ex) * math.sin(et) + (ys - ey) * math.cos(et)
    rgb[(u / ea) ** 2 + (v / eb) ** 2 <= 1.0] = (40, 170, 60)

    rgb += rng.normal(0.0, 3.0, rgb.shape)
    frame = np.clip(np.rint(rgb), 0, 255).astype(np.uint8)
    return Scene(frame, disc, (stripe, 2.0 * half), lines, ellipse)


def angle_error(a: float, b: float) -> float:
    """Degrees between two directions, either way round (modulo pi)."""
    d = abs(a - b) % math.pi
    return math.degrees(min(d, math.pi - d))


@dataclass(frozen=True)
class Error:
    """How far a found shape lies from the truth: the largest error in
    pixels (centre, radius or axes, distance, width) and in degrees."""

    px: float
    deg: float = 0.0


def error(scene: Scene, found: Shape, truth: TrueLine | None = None) -> Error:
    """The error of a shape found in the scene; lines are compared with
    `truth` (one of scene.lines), or the nearest of them."""
    if isinstance(found, Disc):
        x, y, r = scene.disc
        return Error(max(math.hypot(found.x - x, found.y - y), abs(found.r - r)))
    if isinstance(found, Ellipse):
        x, y, a, b, theta = scene.ellipse
        return Error(max(math.hypot(found.x - x, found.y - y), abs(found.a - a), abs(found.b - b)),
                     angle_error(found.theta, theta))
    if found.shape == "stripe":
        line, width = scene.stripe
        return Error(max(line.distance(found), abs(found.width - width)), angle_error(found.angle, line.angle))
    line = truth or nearest_line(found, scene.lines)
    return Error(line.distance(found), angle_error(found.angle, line.angle))


def nearest_line(found: Band, truths: Sequence[TrueLine]) -> TrueLine:
    """The true line a found one lies closest to: direction first, then distance."""
    return min(truths, key=lambda t: angle_error(found.angle, t.angle) * 10.0 + t.distance(found))
