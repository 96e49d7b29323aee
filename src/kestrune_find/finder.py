"""The finder: every shape of one colour in a frame, each with a score.

For one colour and shape, a frame goes through `_native.find`, in C++ and
without the interpreter lock: the colour mask (the union of the colour's
sectors), the runs of set pixels on a spread of rows and of columns (the edge
scan, each direction on its own), and the search: proposals from the core's
fits (circle, ellipse, line, line pair) with an adaptive number of
iterations, a least-squares refinement on the proposal's own edge points, the
evidence and score, and the next proposal among the points left.
"""
from __future__ import annotations

import math
import threading
from dataclasses import dataclass
from types import MappingProxyType
from collections.abc import Iterable, Mapping
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from . import _native
from .colours import Colour, colour as resolve_colour
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
MOST_SHAPES = 10_000  # max_shapes above this is refused: no frame holds that many
DISC_ITERATIONS = 512     # samples per proposal at most (discs, lines, stripes)
ELLIPSE_ITERATIONS = 256  # samples per ellipse proposal at most
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


@dataclass(frozen=True)
class SearchOptions:
    """Everything `_native.find` is told besides the frame and the colour; it
    reads these fields by name, and has no defaults of its own for them."""

    kind: str                # disc, ellipse, line or stripe
    min_r: float             # radius (discs) or semi-axes (ellipses), pixels
    max_r: float
    min_width: float         # across a line or a stripe, pixels
    max_width: float
    min_score: float
    round_min_score: float   # ellipses: discs scoring this are found first
    stretch: float
    squeeze: float
    max_shapes: int
    seed: int                # 0 to 2**64 - 1
    row_count: int           # rows and columns the edge scan reads
    column_count: int
    max_iterations: int      # samples per proposal at most


def _number(name: str, value: Any, low: float = 0.0, high: float = math.inf) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    v = float(value)
    if not (low <= v <= high):
        raise ValueError(f"{name} must be between {low} and {high}, got {value}")
    return v


class Finder:
    """Finds shapes of one colour in frames. One Finder may be shared by
    threads: a find keeps nothing between calls but the colours' bounds, and
    runs without the interpreter lock, so threads find side by side.

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
        self._bounds: dict[Colour, list[tuple[tuple[int, ...], tuple[int, ...], tuple[int, ...]]]] = {}
        self._local = threading.local()  # each thread's timings

    @property
    def timings(self) -> dict[str, float]:
        """Milliseconds per stage (mask, edges, search, evidence) of this
        thread's last find or find_all."""
        timings: dict[str, float] = getattr(self._local, "timings", {})
        return timings

    @timings.setter
    def timings(self, value: dict[str, float]) -> None:
        self._local.timings = value

    def _scan_counts(self, height: int, width: int) -> tuple[int, int]:
        spacing = self.spacing or max(2.0, min(height, width) / 240.0)
        return scan_count(height, spacing), scan_count(width, spacing)

    def _sectors(self, colour: Colour) -> list[tuple[tuple[int, ...], tuple[int, ...], tuple[int, ...]]]:
        sectors = self._bounds.get(colour)
        if sectors is None:  # threads racing here store equal values
            sectors = self._bounds[colour] = [
                (tuple(int(v) for v in np.asarray(b.M).ravel()), tuple(int(v) for v in b.i),
                 tuple(int(v) for v in b.c))
                for b in colour.all_bounds(self.bgr)]
        return sectors

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
        if max_shapes > MOST_SHAPES:
            raise ValueError(f"max_shapes must be at most {MOST_SHAPES:_}, got {max_shapes}")
        most_stretched = _number("stretch", stretch, 1.0, MAX_STRETCH)
        most_squeezed = _number("squeeze", squeeze, 1.0, MAX_STRETCH)

        row_count, column_count = self._scan_counts(height, width)
        # Balls are ellipses too, searched for as discs first (a disc has
        # fewer free parameters: the disc's own default applies).
        explicit = min_score is not None or self.min_score is not None
        options = SearchOptions(
            kind=shape, min_r=lo_r, max_r=max(hi_r, lo_r), min_width=lo_w, max_width=max(hi_w, lo_w),
            min_score=score, round_min_score=score if explicit else MIN_SCORE["disc"], stretch=most_stretched,
            squeeze=most_squeezed, max_shapes=int(max_shapes), seed=self.seed, row_count=row_count,
            column_count=column_count,
            # Past 256 samples of five points, more found no other ellipse on
            # the generated scenes of three seeds; they only cost time.
            max_iterations=ELLIPSE_ITERATIONS if shape == "ellipse" else DISC_ITERATIONS)
        # A frame too small for the sizes asked for holds none of them.
        wanted = max_shapes > 0 and (lo_w <= hi_w if shape in ("line", "stripe") else lo_r <= hi_r)
        if wanted:
            found, self.timings = _native.find(frame, self._sectors(spec), options)
        else:
            found, self.timings = [], {"mask": 0.0, "edges": 0.0, "search": 0.0, "evidence": 0.0}
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
    one Finder per thread and setting kept (its colours' bounds are reused)."""
    finders: dict[tuple[bool, int], Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    finder = finders.get((bgr, seed))
    if finder is None:
        finder = finders[bgr, seed] = Finder(bgr=bgr, seed=seed)
    return finder.find(frame, shape, colour, **options)
