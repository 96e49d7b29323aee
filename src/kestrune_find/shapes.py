"""What the finder reports: plain records in floating point.

Coordinates are pixels with pixel centres at integers: (0, 0) is the centre
of the top-left pixel, x grows to the right and y downwards.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, ClassVar, Union


@dataclass(frozen=True)
class Disc:
    """A filled disc: centre (x, y), radius r."""

    colour: str
    x: float
    y: float
    r: float
    score: float
    support: int
    shape: ClassVar[str] = "disc"

    def as_dict(self) -> dict[str, Any]:
        return {"shape": self.shape, "colour": self.colour, "x": self.x, "y": self.y, "r": self.r,
                "score": self.score, "support": self.support}


@dataclass(frozen=True)
class Ellipse:
    """A filled ellipse: centre (x, y), semi-axes a >= b, `theta` the direction
    of a in radians from the x axis toward y, in (-pi/2, pi/2]."""

    colour: str
    x: float
    y: float
    a: float
    b: float
    theta: float
    score: float
    support: int
    shape: ClassVar[str] = "ellipse"

    def as_dict(self) -> dict[str, Any]:
        return {"shape": self.shape, "colour": self.colour, "x": self.x, "y": self.y, "a": self.a, "b": self.b,
                "theta": self.theta, "score": self.score, "support": self.support}


@dataclass(frozen=True)
class Band:
    """A band of colour `width` pixels across: its centre line passes through
    (px, py), the middle of the part seen, with unit normal (nx, ny); `length`
    is the part seen, along the direction (-ny, nx)."""

    colour: str
    px: float
    py: float
    nx: float
    ny: float
    width: float
    length: float
    score: float
    support: int
    shape: ClassVar[str] = "band"

    @property
    def angle(self) -> float:
        """Direction of the line in radians, in [0, pi)."""
        return math.atan2(self.nx, -self.ny) % math.pi

    @property
    def ends(self) -> tuple[tuple[float, float], tuple[float, float]]:
        """The two ends of the part seen."""
        dx, dy = -self.ny * self.length / 2, self.nx * self.length / 2
        return (self.px - dx, self.py - dy), (self.px + dx, self.py + dy)

    def distance(self, x: float, y: float) -> float:
        """Distance of a point from the centre line."""
        return abs((x - self.px) * self.nx + (y - self.py) * self.ny)

    def as_dict(self) -> dict[str, Any]:
        return {"shape": self.shape, "colour": self.colour, "px": self.px, "py": self.py, "nx": self.nx,
                "ny": self.ny, "width": self.width, "length": self.length, "score": self.score,
                "support": self.support}


@dataclass(frozen=True)
class Line(Band):
    """A thin line of colour (a cable, a painted line)."""

    shape: ClassVar[str] = "line"


@dataclass(frozen=True)
class Stripe(Band):
    """A wide band of colour with two parallel edges (tape on a floor);
    `width` is the distance between the edges."""

    shape: ClassVar[str] = "stripe"


Shape = Union[Disc, Ellipse, Line, Stripe]
