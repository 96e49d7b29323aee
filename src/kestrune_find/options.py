"""The options of a find: one table of names, defaults and ranges.

`FindOptions` holds what a caller may ask of a find (sizes, the least score,
how many shapes); its fields and their checks come from `OPTIONS`, the only
table of defaults in the package: the finder, the command's flags and help,
batch, camera and the tuning page all read it. `FindOptions.resolve` turns
them, for one shape and frame size, into `SearchOptions`: the concrete values
one search in `_native` needs.

The finder's own settings (seed, scan spacing) are checked from the same
table (`SEED`, `SPACING`); they stay on `Finder`, as they belong to the
finder and its buffers, not to one find.
"""
from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

SHAPES = ("disc", "ellipse", "line", "stripe")


class OptionTypeError(TypeError, ValueError):
    """An option of the wrong type: a TypeError, and a ValueError like every
    other refused option, so that one `except ValueError` takes them all."""


@dataclass(frozen=True)
class Option:
    """One option: its type, range (inclusive) and default.

    default: the field's default; None means "chosen per find", and `unset`
    says what: one value, or one per shape. help: the command's help text,
    with {low}, {high}, {default} and {by_shape} filled in (numbers as %g).
    """

    name: str
    kind: type[int] | type[float]
    low: float
    high: float
    default: float | None
    help: str
    metavar: str = "PX"
    unset: float | Mapping[str, float] | None = None

    def check(self, value: Any) -> float | int:
        """`value` as this option's type, or a one-line error naming the option."""
        # A plain int or float needs none of the abstract types' look-ups,
        # which cost more than the rest of a find's checks together.
        plain = type(value) is int or type(value) is float
        if self.kind is int:
            if type(value) is int and self.low <= value <= self.high:
                return value
            what = "a non-negative integer" if self.low == 0 else f"an integer from {int(self.low)}"
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise OptionTypeError(f"{self.name} must be {what}, got {value!r}")
            number = int(value)
            if not self.low <= number <= self.high:
                raise ValueError(f"{self.name} must be {what} up to {int(self.high)}, got {value!r}")
            return number
        if not plain and (isinstance(value, bool) or not isinstance(value, numbers.Real)):
            raise OptionTypeError(f"{self.name} must be a finite number, got {value!r}")
        try:
            real = float(value)
        except OverflowError:  # an int beyond any float
            real = math.inf
        if not math.isfinite(real):
            raise ValueError(f"{self.name} must be a finite number, got {value!r}")
        if not self.low <= real <= self.high:
            bound = f"from {self.low:g} to {self.high:g}" if self.high < math.inf else f"at least {self.low:g}"
            raise ValueError(f"{self.name} must be {bound}, got {value!r}")
        return real

    def describe(self) -> str:
        """The command's help text of this option."""
        by_shape = ", ".join(f"{k} {v:g}" for k, v in self.unset.items()) if isinstance(self.unset, Mapping) else ""
        default = self.unset if self.default is None else self.default
        return self.help.format(low=self.low, high=self.high, by_shape=by_shape,
                                default=default if isinstance(default, (int, float)) else "")


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
MAX_SHAPES = 64      # a box or a pile of balls holds 20 or more; a frame rarely more of one colour
MOST_SHAPES = 10_000  # a find reports at most this many: more is a mistake, not a wish
LINE_WIDTH = 12.0    # lines are at most this wide; stripes at least STRIPE_WIDTH
STRIPE_WIDTH = 6.0
ELLIPSE_ITERATIONS = 256  # samples per ellipse proposal at most
DISC_ITERATIONS = 512     # samples per disc, line or stripe proposal at most

OPTIONS: tuple[Option, ...] = (
    Option("min_r", float, 0.0, math.inf, None, "smallest radius or semi-axis (default {default:g})", unset=MIN_R),
    Option("max_r", float, 0.0, math.inf, None,
           "largest radius or semi-axis (default half the frame's shorter side)"),
    Option("min_width", float, 0.0, math.inf, None, "narrowest line or stripe",
           unset=MappingProxyType({"disc": 0.0, "ellipse": 0.0, "line": 0.0, "stripe": STRIPE_WIDTH})),
    Option("max_width", float, 0.0, math.inf, None, "widest line or stripe",
           unset=MappingProxyType({"line": LINE_WIDTH})),
    Option("min_score", float, 0.0, 1.0, None,
           "report only shapes scoring at least this, {low:g} to {high:g} (default by shape: {by_shape})",
           metavar="S", unset=MIN_SCORE),
    Option("max_shapes", int, 0, MOST_SHAPES, MAX_SHAPES,
           "at most this many shapes per shape and colour (default {default})", metavar="N"),
    Option("stretch", float, 1.0, MAX_STRETCH, STRETCH,
           "circles: a ball stretched into an ellipse up to this axis ratio still counts, as when smeared by motion "
           "({low:g} to {high:g}, default {default:g})", metavar="RATIO"),
    Option("squeeze", float, 1.0, MAX_STRETCH, SQUEEZE,
           "circles: near the frame's edges, a ball squeezed toward the frame's centre up to this axis ratio still "
           "counts, as a wide lens squeezes it ({low:g} to {high:g}, default {default:g})", metavar="RATIO"),
)
OPTION: Mapping[str, Option] = MappingProxyType({option.name: option for option in OPTIONS})

#: The finder's settings (see `Finder`).
SEED = Option("seed", int, 0, 2 ** 64 - 1, 0, "seed of the fits' samples: the same seed, the same finds "
              "(default {default})", metavar="N")
SPACING = Option("spacing", float, 1.0, 1024.0, None, "pixels between scanned rows and columns")


def _field(name: str) -> Any:
    return field(default=OPTION[name].default, metadata={"option": OPTION[name]})


@dataclass(frozen=True)
class SearchOptions:
    """The concrete values of one search, as `_native.find` reads them.

    max_iterations: samples per proposal at most. round_min_score: ellipses
    are searched for as discs first, down to this score (the other shapes
    have no such pass and carry their min_score). max_shapes is 0 when the frame cannot hold a shape
    of the sizes asked for.
    """

    kind: str
    min_r: float
    max_r: float
    min_width: float
    max_width: float
    min_score: float
    round_min_score: float
    stretch: float
    squeeze: float
    max_shapes: int
    seed: int
    row_count: int
    column_count: int
    max_iterations: int


@dataclass(frozen=True)
class FindOptions:
    """What a find asks for, checked once when made (ValueError naming the
    option, TypeError for a value of the wrong type). None: the default for
    the shape and frame (see `OPTIONS` and `resolve`).

    min_r, max_r: radius (discs) or semi-axes (ellipses), pixels. min_width,
    max_width: across a line or a stripe. min_score: 0 to 1. max_shapes: at
    most this many finds. stretch, squeeze: the axis ratios a disc may show
    (see `Finder.find`).
    """

    min_r: float | None = _field("min_r")
    max_r: float | None = _field("max_r")
    min_width: float | None = _field("min_width")
    max_width: float | None = _field("max_width")
    min_score: float | None = _field("min_score")
    max_shapes: int = _field("max_shapes")
    stretch: float = _field("stretch")
    squeeze: float = _field("squeeze")

    def __post_init__(self) -> None:
        for option in OPTIONS:
            value = getattr(self, option.name)
            if value is not None or option.default is not None:
                object.__setattr__(self, option.name, option.check(value))
        if self.max_r is not None and self.min_r is None and self.max_r < MIN_R:
            # Name what the caller gave, not a default they never saw.
            raise ValueError(f"max_r ({self.max_r:g}) is below min_r (default {MIN_R:g}): give a smaller min_r too")
        for low, high in (("min_r", "max_r"), ("min_width", "max_width")):
            least, most = getattr(self, low), getattr(self, high)
            if least is not None and most is not None and least > most:
                raise ValueError(f"{low} ({least:g}) must not exceed {high} ({most:g})")

    @classmethod
    def of(cls, options: FindOptions | Mapping[str, Any] | None) -> FindOptions:
        """FindOptions from itself, None (the defaults) or a mapping of option
        names (None values are left out; an unknown name is a ValueError)."""
        if options is None:
            return cls()
        if isinstance(options, FindOptions):
            return options
        if not isinstance(options, Mapping):
            raise TypeError(f"options must be FindOptions or a mapping of option names, not {type(options).__name__}")
        given = {k: v for k, v in options.items() if v is not None}
        for key in given:
            if key not in OPTION:
                raise ValueError(f"unknown option {key!r}: not one of {', '.join(OPTION)}")
        return cls(**given)

    def given(self) -> dict[str, Any]:
        """The options that differ from the defaults, in the table's order."""
        return {o.name: getattr(self, o.name) for o in OPTIONS if getattr(self, o.name) != o.default}

    def resolve(self, shape: str, height: int, width: int, *, seed: int = 0, row_count: int, column_count: int,
                explicit_min_score: float | None = None) -> SearchOptions:
        """The values of one search for `shape` in a `height` x `width` frame.

        explicit_min_score: the finder's own least score, used when these
        options have none (either makes the ellipse's disc pass use it too).
        """
        if shape not in SHAPES:
            raise ValueError(f"shape must be one of {', '.join(SHAPES)}, got {shape!r}")
        limit = min(height, width) / 2.0
        lo_r = MIN_R if self.min_r is None else self.min_r
        # A min_r beyond what the frame holds raises the default maximum to it:
        # the search then finds nothing rather than refusing the frame.
        hi_r = (limit if self.min_r is None else max(limit, lo_r)) if self.max_r is None else self.max_r
        lo_w = 0.0 if self.min_width is None else self.min_width
        hi_w = math.inf if self.max_width is None else self.max_width
        if shape == "line" and self.max_width is None:
            hi_w = LINE_WIDTH
        elif shape == "stripe":
            lo_w = STRIPE_WIDTH if self.min_width is None else lo_w
            hi_w = float(max(height, width)) if self.max_width is None else hi_w
        explicit = self.min_score if self.min_score is not None else explicit_min_score
        score = MIN_SCORE[shape] if explicit is None else explicit
        # A frame too small for the sizes asked for holds none of them.
        fits = lo_w <= hi_w if shape in ("line", "stripe") else lo_r <= hi_r
        ellipse = shape == "ellipse"
        return SearchOptions(
            kind=shape, min_r=lo_r, max_r=max(hi_r, lo_r), min_width=lo_w, max_width=max(hi_w, lo_w),
            min_score=score,
            # Balls are ellipses too, searched for as discs first (a disc has
            # fewer free parameters: the disc's own default applies).
            round_min_score=(score if explicit is not None else MIN_SCORE["disc"]) if ellipse else score,
            stretch=self.stretch, squeeze=self.squeeze, max_shapes=self.max_shapes if fits else 0,
            seed=int(SEED.check(seed)), row_count=row_count, column_count=column_count,
            # Past 256 samples of five points, more found no other ellipse on
            # the generated scenes of three seeds; they only cost time.
            max_iterations=ELLIPSE_ITERATIONS if ellipse else DISC_ITERATIONS)
