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

import math
import threading
import time
from types import MappingProxyType
from collections.abc import Iterable, Mapping
from typing import Any, cast

import numpy as np
import numpy.typing as npt

import kestrune

from . import _native
from .colours import Colour, colour as resolve_colour, mask_union
from .shapes import Disc, Ellipse, Line, Shape, Stripe

Frame = npt.NDArray[np.uint8]

SHAPES = ("disc", "ellipse", "line", "stripe")

#: Shapes scoring below these are not reported; see the README for how they were chosen.
#: An ellipse, with two more free parameters, fits clutter more easily than a disc
#: and needs more evidence for the same trust.
MIN_SCORE: Mapping[str, float] = MappingProxyType({"disc": 0.625, "ellipse": 0.8, "line": 0.75, "stripe": 0.75})
MIN_R = 10.0         # discs and ellipses: smallest radius or semi-axis; smaller ones are too easily specks
#: Discs: the longer over the shorter axis a ball may show and still be a disc
#: (a ball near the edge of a wide lens, or smeared by motion, is an ellipse).
STRETCH = 1.3
#: Discs near the frame's edges: the axis ratio a ball squeezed toward the
#: frame's centre may show, as a wide lens's distortion squeezes it.
SQUEEZE = 1.5
MAX_STRETCH = 1.6    # beyond, a circle lies too far off an ellipse to start it from: search for ellipses
MAX_SHAPES = 16
ELLIPSE_ITERATIONS = 256  # samples per ellipse proposal at most (discs: 512)
LINE_WIDTH = 12.0    # lines are at most this wide; stripes at least STRIPE_WIDTH
STRIPE_WIDTH = 6.0


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


def _number(name: str, value: Any, low: float = 0.0, high: float = math.inf) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    v = float(value)
    if not (low <= v <= high):
        raise ValueError(f"{name} must be between {low} and {high}, got {value}")
    return v


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
        if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or not 0 <= seed < 2 ** 64:
            raise ValueError(f"seed must be an integer from 0 to 2**64 - 1, got {seed!r}")
        self.seed = int(seed)
        self.min_score = None if min_score is None else _number("min_score", min_score, 0.0, 1.0)
        self.spacing = None if spacing is None else _number("spacing", spacing, 1.0, 1024.0)
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

    def find(self, frame: Frame, shape: str, colour: str | Colour, *, min_r: float | None = None,
             max_r: float | None = None, min_width: float | None = None, max_width: float | None = None,
             min_score: float | None = None, max_shapes: int = MAX_SHAPES,
             stretch: float = STRETCH, squeeze: float = SQUEEZE) -> list[Shape]:
        """Every `shape` ("disc", "ellipse", "line", "stripe") of `colour` (a
        built-in name, a colour file's path or a Colour) in `frame`, best score
        first: at most `max_shapes`, each scoring at least `min_score`.

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
        if shape not in SHAPES:
            raise ValueError(f"shape must be one of {', '.join(SHAPES)}, got {shape!r}")
        spec = resolve_colour(colour)
        frame = check_frame(frame)
        height, width = frame.shape[:2]
        limit = min(height, width) / 2.0
        lo_r = MIN_R if min_r is None else _number("min_r", min_r)
        hi_r = limit if max_r is None else _number("max_r", max_r)
        if max_r is not None and lo_r > hi_r:
            if min_r is None:  # name what the caller gave, not a default they never saw
                raise ValueError(f"max_r ({hi_r:g}) is below min_r (default {MIN_R:g}): give a smaller min_r too")
            raise ValueError(f"min_r ({lo_r:g}) must not exceed max_r ({hi_r:g})")
        lo_w = 0.0 if min_width is None else _number("min_width", min_width)
        hi_w = math.inf if max_width is None else _number("max_width", max_width)
        if min_width is not None and max_width is not None and lo_w > hi_w:
            raise ValueError(f"min_width ({lo_w:g}) must not exceed max_width ({hi_w:g})")
        if shape == "line" and max_width is None:
            hi_w = LINE_WIDTH
        elif shape == "stripe":
            lo_w = STRIPE_WIDTH if min_width is None else lo_w
            hi_w = float(max(height, width)) if max_width is None else hi_w
        if min_score is not None:
            score = _number("min_score", min_score, 0.0, 1.0)
        else:
            score = MIN_SCORE[shape] if self.min_score is None else self.min_score
        if isinstance(max_shapes, bool) or not isinstance(max_shapes, (int, np.integer)) or max_shapes < 0:
            raise ValueError(f"max_shapes must be a non-negative integer, got {max_shapes!r}")
        most_stretched = _number("stretch", stretch, 1.0, MAX_STRETCH)
        most_squeezed = _number("squeeze", squeeze, 1.0, MAX_STRETCH)

        rows, columns = self._scan(frame, spec)
        options = {
            "kind": shape, "min_r": lo_r, "max_r": max(hi_r, lo_r), "min_width": lo_w, "max_width": max(hi_w, lo_w),
            "min_score": score, "max_shapes": int(max_shapes), "seed": self.seed,
            "row_count": self.row_count, "column_count": self.column_count, "stretch": most_stretched,
            "squeeze": most_squeezed,
        }
        if shape == "ellipse":
            # Past 256 samples of five points, more found no other ellipse on
            # the generated scenes of three seeds; they only cost time.
            options["max_iterations"] = ELLIPSE_ITERATIONS
            # Balls are ellipses too, searched for as discs first (a disc has
            # fewer free parameters: the disc's own default applies).
            explicit = min_score is not None or self.min_score is not None
            options["round_min_score"] = score if explicit else MIN_SCORE["disc"]
        t0 = time.perf_counter()
        # A frame too small for the sizes asked for holds none of them.
        wanted = max_shapes > 0 and (lo_w <= hi_w if shape in ("line", "stripe") else lo_r <= hi_r)
        found = _native.find(frame, self.mask, rows, columns, options, kestrune) if wanted else []
        self.timings["search"] = (time.perf_counter() - t0) * 1e3
        return [_record(shape, spec.name, values, s, support) for values, s, support in found]

    def find_all(self, frame: Frame, requests: Iterable[tuple[str, str | Colour]], **options: Any) -> list[Shape]:
        """`find` for each (shape, colour) in turn; the finds in that order."""
        found: list[Shape] = []
        total: dict[str, float] = {}
        for shape, colour in requests:
            found += self.find(frame, shape, colour, **options)
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


def find(frame: Frame, shape: str, colour: str | Colour, *, bgr: bool = False, seed: int = 0,
         **options: Any) -> list[Shape]:
    """`Finder(bgr=bgr, seed=seed).find(frame, shape, colour, **options)`, with
    one Finder per thread and setting kept (its buffers are reused)."""
    finders: dict[tuple[bool, int], Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    finder = finders.get((bgr, seed))
    if finder is None:
        finder = finders[bgr, seed] = Finder(bgr=bgr, seed=seed)
    return finder.find(frame, shape, colour, **options)
