"""The finder: every shape of one colour in a frame, each with a score.

For one colour and shape, a frame goes through: the colour mask
(`kestrune.mask_image`), the runs of set pixels on a spread of rows and of
columns (`kestrune.simple_edge`, each direction on its own), and the search
in `_native`: proposals from the module's fit (`ransac_circle`,
`ransac_ellipse`, `ransac_line`, `ransac_line2`) with an adaptive number of
iterations, a least-squares refinement on the proposal's own edge points, the
score, and the next proposal among the points left.
"""
from __future__ import annotations

import dataclasses
import math
import threading
import time
from collections.abc import Iterable
from typing import Any, cast

import numpy as np
import numpy.typing as npt

import kestrune

from . import _native
from .colours import Colour, colour as resolve_colour, mask_union
# The defaults live in options.py's table; these names stay importable from here.
from .options import (DISC_ITERATIONS, ELLIPSE_ITERATIONS, LINE_WIDTH, MAX_SHAPES, MAX_STRETCH, MIN_R, MIN_SCORE,
                      OPTION, SEED, SHAPES, SPACING, SQUEEZE, STRETCH, STRIPE_WIDTH, FindOptions)
from .shapes import Disc, Ellipse, Line, Shape, Stripe

Frame = npt.NDArray[np.uint8]

__all__ = [
    "DISC_ITERATIONS", "ELLIPSE_ITERATIONS", "LINE_WIDTH", "MAX_SHAPES", "MAX_STRETCH", "MIN_R", "MIN_SCORE",
    "SHAPES", "SQUEEZE", "STRETCH", "STRIPE_WIDTH", "FindOptions", "Finder", "check_frame", "find", "scan_count",
]


def scan_count(extent: int, spacing: float) -> int:
    """The power of two nearest (in ratio) to extent / spacing, at most 65536.

    The edge scan spreads its lines by bit reversal: a power of two no larger
    than the extent visits distinct, evenly spread lines; other counts visit
    some lines twice and skip others.
    """
    if extent <= 0:
        return 0
    count = 2 ** round(math.log2(max(1.0, extent / spacing)))
    while count > extent and count > 1:
        count //= 2
    return int(min(count, 65536))


def check_frame(frame: object) -> Frame:
    """The frame as the module needs it: H x W x 3 uint8, C-contiguous and
    writable (a copy only when it is not)."""
    if not isinstance(frame, np.ndarray):
        raise TypeError(f"frame must be a NumPy array, not {type(frame).__name__}")
    if frame.dtype != np.uint8 or frame.ndim != 3 or frame.shape[2] != 3:
        raise ValueError(f"frame must be an H x W x 3 uint8 array, got {frame.dtype} of shape {frame.shape}")
    if frame.shape[0] == 0 or frame.shape[1] == 0:
        raise ValueError(f"frame has no pixels (shape {frame.shape})")
    if not frame.flags.writeable:  # the module takes writable buffers only
        return cast(Frame, np.array(frame, order="C"))
    return cast(Frame, np.ascontiguousarray(frame))


def _options(options: FindOptions | None, kwargs: dict[str, Any]) -> FindOptions:
    """The options of a find, given as FindOptions or as its fields by keyword."""
    if options is None:
        return FindOptions(**kwargs)
    if kwargs:
        raise TypeError(f"give options as FindOptions or as keywords, not both (got {', '.join(kwargs)} too)")
    if not isinstance(options, FindOptions):
        raise TypeError(f"options must be FindOptions, not {type(options).__name__}")
    return options


class Finder:
    """Finds shapes of one colour in frames; buffers are kept for the last
    frame size. Not to be shared between threads: use one per thread (the
    module-level `find` does).

    bgr: frames are stored B, G, R (as OpenCV gives them).
    seed: the fits' samples follow from it: the same frame, colour, shape,
    options and seed give the same finds, whatever ran before.
    min_score: default for `find`; None: `MIN_SCORE` of the shape asked for.
    spacing: pixels between scanned rows and between scanned columns (about);
    by default 2, or more on frames larger than 480 pixels on the short side.
    """

    def __init__(self, *, bgr: bool = False, seed: int = 0, min_score: float | None = None,
                 spacing: float | None = None) -> None:
        self.bgr = bool(bgr)
        self.seed = int(SEED.check(seed))
        self.min_score = None if min_score is None else float(OPTION["min_score"].check(min_score))
        self.spacing = None if spacing is None else float(SPACING.check(spacing))
        self.timings: dict[str, float] = {}  # milliseconds per stage of the last find
        self._size: tuple[int, int] | None = None
        self._bounds: dict[Colour, Any] = {}
        self._union: npt.NDArray[np.uint8] | None = None  # a union colour's further sectors are masked here

    def _buffers(self, height: int, width: int) -> None:
        if self._size == (height, width):
            return
        spacing = self.spacing or max(2.0, min(height, width) / 240.0)
        self.row_count = scan_count(height, spacing)
        self.column_count = scan_count(width, spacing)
        self.mask = np.zeros((height, width), np.uint8)
        # Room for every run on every scanned line: at most (extent + 1) points.
        self.rows = np.zeros((self.row_count * (width + 1) + 2, 2), np.int32)
        self.columns = np.zeros((self.column_count * (height + 1) + 2, 2), np.int32)
        self._size = (height, width)

    def _scan(self, frame: Frame, colour: Colour) -> tuple[Any, Any]:
        bounds = self._bounds.get(colour)
        if bounds is None:
            bounds = self._bounds[colour] = colour.all_bounds(self.bgr)
        height, width = frame.shape[:2]
        self._buffers(height, width)
        # A union colour ORs each further sector's mask in from a second buffer, kept like the first.
        scratch = self._union
        if len(bounds) > 1 and (scratch is None or scratch.shape != self.mask.shape):
            scratch = self._union = np.zeros_like(self.mask)
        t0 = time.perf_counter()
        mask_union(frame, bounds, self.mask, scratch)
        t1 = time.perf_counter()
        n_rows = kestrune.simple_edge(self.mask, self.rows, self.row_count, 0)
        n_columns = kestrune.simple_edge(self.mask, self.columns, 0, self.column_count)
        t2 = time.perf_counter()
        self.timings = {"mask": (t1 - t0) * 1e3, "edges": (t2 - t1) * 1e3}
        return self.rows[:n_rows], self.columns[:n_columns]

    def find(self, frame: Frame, shape: str, colour: str | Colour, options: FindOptions | None = None,
             **kwargs: Any) -> list[Shape]:
        """Every `shape` ("disc", "ellipse", "line", "stripe") of `colour` (a
        built-in name, a colour file's path or a Colour) in `frame`, best score
        first: at most `max_shapes`, each scoring at least `min_score`.

        The options are a FindOptions or its fields as keywords (not both):
        min_r, max_r: radius (discs) or semi-axes (ellipses), pixels; by
        default 10 up to what the frame can hold. min_width, max_width: across a
        line (default up to 12) or a stripe (default from 6). stretch: discs
        stretched into an ellipse up to this axis ratio are discs too (r is
        the mean of its semi-axes); 1 for round ones only. squeeze: a disc
        near the frame's edges (3/4 of the way from its centre to an edge, or
        further) squeezed toward the frame's centre, its long axis across the
        line to the centre, up to this axis ratio is a disc too (a wide lens
        squeezes balls there); 1 for no more than `stretch`. Ellipses include
        balls: discs are searched for first and reported as ellipses with
        equal axes.
        """
        asked = _options(options, kwargs)
        if shape not in SHAPES:
            raise ValueError(f"shape must be one of {', '.join(SHAPES)}, got {shape!r}")
        spec = resolve_colour(colour)
        return self._find(check_frame(frame), shape, spec, asked)

    def _find(self, frame: Frame, shape: str, spec: Colour, asked: FindOptions) -> list[Shape]:
        height, width = frame.shape[:2]
        rows, columns = self._scan(frame, spec)
        search = asked.resolve(shape, height, width, seed=self.seed, row_count=self.row_count,
                               column_count=self.column_count, explicit_min_score=self.min_score)
        options = dataclasses.asdict(search)
        t0 = time.perf_counter()
        wanted = search.max_shapes > 0
        found = _native.find(frame, self.mask, rows, columns, options, kestrune) if wanted else []
        self.timings["search"] = (time.perf_counter() - t0) * 1e3
        return [_record(shape, spec.name, values, s, support) for values, s, support in found]

    def find_all(self, frame: Frame, requests: Iterable[tuple[str, str | Colour]], options: FindOptions | None = None,
                 **kwargs: Any) -> list[Shape]:
        """`find` for each (shape, colour) in turn, with the same options; the finds in that order."""
        asked = _options(options, kwargs)
        found: list[Shape] = []
        total: dict[str, float] = {}
        for shape, colour in requests:
            found += self.find(frame, shape, colour, asked)
            for stage, ms in self.timings.items():
                total[stage] = total.get(stage, 0.0) + ms
        self.timings = total
        return found


def _record(shape: str, colour: str, v: tuple[float, ...], score: float, support: int) -> Shape:
    if shape == "disc":
        return Disc(colour, v[0], v[1], v[2], score, support)
    if shape == "ellipse":
        return Ellipse(colour, v[0], v[1], v[2], v[3], v[4], score, support)
    px, py, nx, ny, width, t0, t1 = v
    # One sign for the normal whatever the samples were: ny > 0, or nx > 0 on
    # a horizontal normal (the direction along the line turns with it).
    if ny < 0 or (ny == 0 and nx < 0):
        nx, ny, t0, t1 = -nx, -ny, -t1, -t0
    # The middle of the part seen, and its length.
    mid = (t0 + t1) / 2.0
    cls = Line if shape == "line" else Stripe
    return cls(colour, px - ny * mid, py + nx * mid, nx, ny, width, t1 - t0, score, support)


_local = threading.local()


def find(frame: Frame, shape: str, colour: str | Colour, options: FindOptions | None = None, *, bgr: bool = False,
         seed: int = 0, **kwargs: Any) -> list[Shape]:
    """`Finder(bgr=bgr, seed=seed).find(frame, shape, colour, options, **kwargs)`, with
    one Finder per thread and setting kept (its buffers are reused)."""
    finders: dict[tuple[bool, int], Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    finder = finders.get((bgr, seed))
    if finder is None:
        finder = finders[bgr, seed] = Finder(bgr=bgr, seed=seed)
    return finder.find(frame, shape, colour, options, **kwargs)
