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
from collections.abc import Iterable
from collections.abc import Callable
from typing import Any, TypeVar, cast

import numpy as np
import numpy.typing as npt

from . import _native
from .colours import Colour, colour as resolve_colour
# The defaults live in options.py's table; these names stay importable from here.
from .options import (DISC_ITERATIONS, ELLIPSE_ITERATIONS, LINE_WIDTH, MAX_SHAPES, MAX_STRETCH, MIN_R, MIN_SCORE,
                      OPTION, SEED, SHAPES, SPACING, SQUEEZE, STRETCH, STRIPE_WIDTH, FindOptions, SearchOptions)
from .shapes import Disc, Ellipse, Line, Shape, Stripe

Frame = npt.NDArray[np.uint8]

_T = TypeVar("_T")

_MOST_KEPT = 256  # options kept made or resolved, at most (then a cache starts afresh)


def _kept(cache: dict[tuple[Any, ...], _T], key: tuple[Any, ...], make: Callable[[], _T]) -> _T:
    """make(), kept in `cache` under `key`; made anew and not kept when the
    key holds something unhashable (making it then says what is wrong with
    it). Threads racing here store equal values."""
    try:
        value = cache.get(key)
    except TypeError:
        return make()
    if value is None:
        value = make()
        if len(cache) >= _MOST_KEPT:
            cache.clear()
        cache[key] = value
    return value

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


# FindOptions made from keywords lately, by the keywords' names, values and
# types (True equals 1 but is refused where 1 is not).
_ASKED: dict[tuple[Any, ...], FindOptions] = {}


def _options(options: FindOptions | None, kwargs: dict[str, Any]) -> FindOptions:
    """The options of a find, given as FindOptions or as its fields by keyword."""
    if options is None:
        return _kept(_ASKED, (*kwargs.items(), *map(type, kwargs.values())), lambda: FindOptions(**kwargs))
    if kwargs:
        raise TypeError(f"give options as FindOptions or as keywords, not both (got {', '.join(kwargs)} too)")
    if not isinstance(options, FindOptions):
        raise TypeError(f"options must be FindOptions, not {type(options).__name__}")
    return options


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
        self.seed = int(SEED.check(seed))
        self.min_score = None if min_score is None else float(OPTION["min_score"].check(min_score))
        self.spacing = None if spacing is None else float(SPACING.check(spacing))
        self._bounds: dict[Colour, list[tuple[tuple[int, ...], tuple[int, ...], tuple[int, ...]]]] = {}
        # The search options of each (options, shape, frame size, settings)
        # seen lately: a video's frames resolve the same ones.
        self._searches: dict[tuple[Any, ...], SearchOptions] = {}
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

    def _search_options(self, asked: FindOptions, shape: str, height: int, width: int) -> SearchOptions:
        # The settings' types too: True equals 1, but is no seed.
        seed, min_score = self.seed, self.min_score

        def resolve() -> SearchOptions:
            row_count, column_count = self._scan_counts(height, width)
            return asked.resolve(shape, height, width, seed=seed, row_count=row_count, column_count=column_count,
                                 explicit_min_score=min_score)

        key = (asked, shape, height, width, seed, type(seed), min_score, type(min_score), self.spacing)
        return _kept(self._searches, key, resolve)

    def _find(self, frame: Frame, shape: str, spec: Colour, asked: FindOptions) -> list[Shape]:
        height, width = frame.shape[:2]
        search = self._search_options(asked, shape, height, width)
        if search.max_shapes > 0:
            found, self.timings = _native.find(frame, self._sectors(spec), search)
        else:  # a frame too small for the sizes asked for holds none of them
            found, self.timings = [], {"mask": 0.0, "edges": 0.0, "search": 0.0, "evidence": 0.0}
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
    one Finder per thread and setting kept (its colours' bounds are reused)."""
    finders: dict[tuple[bool, int], Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    finder = finders.get((bgr, seed))
    if finder is None:
        finder = finders[bgr, seed] = Finder(bgr=bgr, seed=seed)
    return finder.find(frame, shape, colour, options, **kwargs)
