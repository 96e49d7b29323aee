"""Colours to search for: built-in names, colour files and HSV boxes.

A colour is the hue sector, chroma band and intensity band of a
`kestrune.calculate_lch_bounds` call (radians; chroma and intensity in units
where a full channel, 256, counts as 1.0), or a union of several such
sectors (a pixel counts when any of them takes it). A colour file is the JSON
that `kestrune calibrate --save` writes.
"""
from __future__ import annotations

import functools
import json
import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import kestrune

Pair = tuple[float, float]

# Red stops at 11 degrees, short of orange, wood and a tabby's fur (17-30
# degrees); yellow starts at 40 degrees, past orange and ginger fur, and wants
# a strong chroma so that beige and blond stay out; green starts at 75
# degrees, so that yellow-green and foliage count as green. Orange fills the
# hues between red and yellow, where wood, skin and fur lie too: only its
# strong chroma (from 0.5) tells it from them, so a ball's deep shade is lost
# with them. Checked on the photographs bundled with scikit-image
# (tests/test_examples.py).
COLOURS: dict[str, tuple[Pair, Pair, Pair]] = {
    "red": ((math.radians(-25.0), math.radians(11.0)), (0.25, 1.2), (0.1, 0.9)),
    "orange": ((math.radians(11.0), math.radians(40.0)), (0.5, 1.2), (0.1, 0.95)),
    "yellow": ((math.radians(40.0), math.radians(75.0)), (0.3, 1.2), (0.2, 0.95)),
    "green": ((math.radians(75.0), math.radians(150.0)), (0.2, 1.2), (0.05, 0.9)),
    "blue": ((7 * math.pi / 6, 3 * math.pi / 2), (0.2, 1.2), (0.05, 0.9)),
}

MAX_RGB_BITS = 12
# Hue angles beyond two turns either way are a mistake, not a colour (and
# the sine of 1e300 radians means nothing).
MAX_ANGLE = 4 * math.pi
_INT32 = 2 ** 31


def _pair(value: object, field: str) -> Pair:
    """Two finite numbers as floats; TypeError/ValueError naming `field`."""
    if isinstance(value, np.ndarray):
        value = value.tolist() if value.ndim == 1 else None
    if not isinstance(value, (list, tuple)) or len(value) != 2:
        raise TypeError(f"{field!r} must be a pair of numbers")
    pair = []
    for v in value:
        if not isinstance(v, numbers.Real) or isinstance(v, (bool, np.bool_)):
            raise TypeError(f"{field!r} must be a pair of numbers, not hold {type(v).__name__}")
        try:
            number = float(v)
        except OverflowError:  # an integer of hundreds of digits
            raise ValueError(f"{field!r} holds a number too large for a colour") from None
        if not math.isfinite(number):
            raise ValueError(f"{field!r} must hold finite numbers")
        pair.append(number)
    return pair[0], pair[1]


def _band(value: object, field: str) -> Pair:
    low, high = _pair(value, field)
    if not 0.0 <= low < high:
        raise ValueError(f"{field!r} must be lower < upper, neither negative, got ({low:g}, {high:g})")
    return low, high


def _sector_fields(hue: object, chroma: object, intensity: object, where: str = "") -> tuple[Pair, Pair, Pair]:
    """The three limits of a sector, checked; `where` prefixes field names."""
    field = where + "hue_limit"
    hue_limit = _pair(hue, field)
    if max(abs(hue_limit[0]), abs(hue_limit[1])) > MAX_ANGLE:
        raise ValueError(f"{field!r} angles must lie within -4*pi..4*pi radians")
    width = hue_limit[1] - hue_limit[0]
    if not 0.0 < width < math.pi:
        raise ValueError(f"{field!r} must turn counter-clockwise from its first angle to its second by more than 0 "
                         f"and less than pi radians (180 degrees), got {math.degrees(width):g} degrees")
    return hue_limit, _band(chroma, where + "chroma_limit"), _band(intensity, where + "intensity_limit")


@functools.lru_cache(maxsize=1024)
def _fits_int32(sector: Sector, rgb_bits: int) -> str | None:
    """None when the sector's fixed-point bounds and every sum the pixel test
    forms fit 32-bit integers (the module's arithmetic); else the field at fault."""
    with np.errstate(all="ignore"):  # a sector a hair wide divides by a sine of almost 0
        bounds = kestrune.calculate_lch_bounds(sector.hue_limit, sector.chroma_limit, sector.intensity_limit, None)
    matrix = np.abs(np.asarray(bounds.M, np.float64).reshape(3, 3) * 2.0 ** rgb_bits) + 0.5
    # The test adds three products of a byte each, and a + b on top of that.
    if 255.0 * (matrix[0].sum() + matrix[1].sum()) >= _INT32 or 255.0 * matrix[2].sum() >= _INT32:
        return "hue_limit"
    scale = 2.0 ** (2 * rgb_bits)
    if max(abs(float(v)) for v in bounds.c) * scale >= _INT32 - 1:
        return "chroma_limit"
    if sector.intensity_limit[1] * scale >= _INT32 - 1:
        return "intensity_limit"
    return None


def _rgb_cube(step: int, first: int = 0, count: int = 256) -> npt.NDArray[np.uint8]:
    """Every step-th channel value (and 255) for red values first..first+count."""
    values = np.unique(np.r_[np.arange(0, 256, step), 255]).astype(np.uint8)
    reds = values[(values >= first) & (values < first + count)]
    r, g, b = np.meshgrid(reds, values, values, indexing="ij")
    return np.ascontiguousarray(np.stack([r, g, b], -1).reshape(-1, 1, 3))


@functools.cache
def _coarse_cube() -> npt.NDArray[np.uint8]:
    return _rgb_cube(4)


@functools.lru_cache(maxsize=1024)
def _takes_any_rgb(sector: Sector, rgb_bits: int) -> bool:
    """Whether some 8-bit RGB colour passes the sector's bounds: exact (every
    one of the 2**24 colours is tried unless a coarse grid already finds one)."""
    bounds = sector.bounds(rgb_bits)
    if kestrune.mask_image(_coarse_cube(), bounds).any():
        return True
    reds = 16  # a million pixels at a time
    return any(kestrune.mask_image(_rgb_cube(1, first, reds), bounds).any() for first in range(0, 256, reds))


@dataclass(frozen=True)
class Sector:
    """One hue sector with its chroma and intensity bands: the arguments of
    one `kestrune.calculate_lch_bounds` call. The sector runs counter-clockwise
    from hue_limit[0] to hue_limit[1], less than pi radians wide."""

    hue_limit: Pair
    chroma_limit: Pair
    intensity_limit: Pair

    def __post_init__(self) -> None:
        fields = _sector_fields(self.hue_limit, self.chroma_limit, self.intensity_limit)
        for name, value in zip(("hue_limit", "chroma_limit", "intensity_limit"), fields):
            object.__setattr__(self, name, value)

    def bounds(self, rgb_bits: int = 8, bgr: bool = False) -> kestrune.LCHBounds:
        bounds = kestrune.calculate_lch_bounds(self.hue_limit, self.chroma_limit, self.intensity_limit, rgb_bits)
        return bgr_bounds(bounds) if bgr else bounds


@dataclass(frozen=True)
class Colour:
    """A colour to search for: its name (a built-in name, the file it came
    from or an HSV box) and the arguments of its `calculate_lch_bounds` call;
    `extra_sectors` make it a union: a pixel counts when any sector takes it.

    Every field is checked on construction: ValueError (or TypeError for a
    wrong type) naming the field."""

    name: str
    hue_limit: Pair
    chroma_limit: Pair
    intensity_limit: Pair
    rgb_bits: int = 8
    extra_sectors: tuple[Sector, ...] = ()

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"'name' must be a string, not {type(self.name).__name__}")
        fields = _sector_fields(self.hue_limit, self.chroma_limit, self.intensity_limit)
        for name, value in zip(("hue_limit", "chroma_limit", "intensity_limit"), fields):
            object.__setattr__(self, name, value)
        bits = self.rgb_bits
        if (isinstance(bits, (bool, np.bool_)) or not isinstance(bits, (int, np.integer))
                or not 1 <= bits <= MAX_RGB_BITS):
            raise ValueError(f"'rgb_bits' must be an integer from 1 to {MAX_RGB_BITS}")
        object.__setattr__(self, "rgb_bits", int(bits))
        extra = self.extra_sectors
        if not isinstance(extra, (tuple, list)):
            raise TypeError(f"'extra_sectors' must be a tuple of Sector, not {type(extra).__name__}")
        for k, sector in enumerate(extra):
            if not isinstance(sector, Sector):
                raise TypeError(f"'extra_sectors[{k}]' must be a Sector, not {type(sector).__name__}")
        object.__setattr__(self, "extra_sectors", tuple(extra))
        for k, sector in enumerate(self.sectors):
            wrong = _fits_int32(sector, self.rgb_bits)
            if wrong is not None:
                where = f"extra_sectors[{k - 1}]." if k else ""
                raise ValueError(f"{where + wrong!r} is too large for the module's 32-bit arithmetic "
                                 f"(rgb_bits {self.rgb_bits})" + (": the sector is too narrow" if wrong == "hue_limit"
                                                                  else ""))
        if not any(_takes_any_rgb(sector, self.rgb_bits) for sector in self.sectors):
            named = "'hue_limit', 'chroma_limit' and 'intensity_limit'"
            raise ValueError(f"{named} take no RGB colour at all" + (" in any sector" if self.extra_sectors else "")
                             + ": no pixel has that chroma at that intensity")

    @functools.cached_property
    def sectors(self) -> tuple[Sector, ...]:
        """The first sector (this colour's own limits) and the extra ones."""
        return (Sector(self.hue_limit, self.chroma_limit, self.intensity_limit), *self.extra_sectors)

    @classmethod
    def from_sectors(cls, name: str, sectors: Sequence[Sector], rgb_bits: int = 8) -> Colour:
        """A colour taking what any of `sectors` takes."""
        if isinstance(sectors, Sector) or not isinstance(sectors, Sequence) or not sectors:
            raise ValueError("'sectors' must be a non-empty sequence of Sector")
        first, *rest = sectors
        if not isinstance(first, Sector):
            raise TypeError(f"'sectors[0]' must be a Sector, not {type(first).__name__}")
        return cls(name, first.hue_limit, first.chroma_limit, first.intensity_limit, rgb_bits, tuple(rest))

    @classmethod
    def from_hsv(cls, lower: Sequence[float], upper: Sequence[float], name: str | None = None) -> Colour:
        """The colour of this model nearest to an HSV box in 8-bit units (H
        0-179, degrees / 2; S and V 0-255), inclusive at both ends: the limits
        that disagree with the box on the fewest colours of the RGB cube. A
        hue box with H0 > H1 wraps around red. Greys (S 0) have no hue here,
        so a box that holds only greys is refused. Named "hsv:H0,S0,V0:H1,S1,V1"
        by default."""
        low, high = _hsv_triple(lower, "lower"), _hsv_triple(upper, "upper")
        for k, what in ((1, "S"), (2, "V")):
            if low[k] > high[k]:
                raise ValueError(f"lower {what} ({low[k]}) must not exceed upper {what} ({high[k]})")
        sectors = _fit_hsv_box(low, high)
        if name is None:
            name = "hsv:" + ":".join(",".join(str(v) for v in box) for box in (low, high))
        return cls.from_sectors(name, sectors)

    def bounds(self, bgr: bool = False) -> kestrune.LCHBounds:
        """The module's bounds of the first sector; `bgr=True` for frames
        stored B, G, R. A union colour has more: see `all_bounds`."""
        return self.sectors[0].bounds(self.rgb_bits, bgr)

    def all_bounds(self, bgr: bool = False) -> list[kestrune.LCHBounds]:
        """The module's bounds of every sector, the first sector's first."""
        return [sector.bounds(self.rgb_bits, bgr) for sector in self.sectors]

    def mask(self, frame: npt.NDArray[np.uint8], out: npt.NDArray[np.uint8] | None = None,
             bgr: bool = False) -> npt.NDArray[np.uint8]:
        """1 where any sector takes the pixel of the H x W x 3 `frame`, else 0;
        into `out` (an H x W uint8 array, reused) when given."""
        return mask_union(frame, self.all_bounds(bgr), out)

    def as_dict(self, **extra: Any) -> dict[str, Any]:
        """The JSON form of a colour file: the call's arguments, the bounds they
        give (for readers in other languages; ignored when read back) and `extra`.
        A union colour adds "extra_sectors", the same fields for each further sector."""
        first, *rest = self.all_bounds()
        fields = {**_sector_dict(self.sectors[0], first), "rgb_bits": self.rgb_bits}
        if rest:
            fields["extra_sectors"] = [_sector_dict(s, b) for s, b in zip(self.extra_sectors, rest)]
        return {**fields, **extra}


def _sector_dict(sector: Sector, bounds: kestrune.LCHBounds) -> dict[str, Any]:
    return {
        "hue_limit": list(sector.hue_limit),
        "chroma_limit": list(sector.chroma_limit),
        "intensity_limit": list(sector.intensity_limit),
        "bounds": {"M": [int(v) for v in bounds.M], "i": [int(v) for v in bounds.i],
                   "c": [int(v) for v in bounds.c]},
    }


def mask_union(frame: npt.NDArray[np.uint8], bounds: Sequence[kestrune.LCHBounds],
               out: npt.NDArray[np.uint8] | None = None,
               scratch: npt.NDArray[np.uint8] | None = None) -> npt.NDArray[np.uint8]:
    """The OR of `kestrune.mask_image` over `bounds`, into `out`; `scratch`
    (H x W uint8) holds each further sector's mask, so that a caller that
    keeps both buffers allocates nothing per frame."""
    out = kestrune.mask_image(frame, bounds[0], out)
    if len(bounds) > 1:
        if scratch is None:
            scratch = np.empty_like(out)
        for more in bounds[1:]:
            kestrune.mask_image(frame, more, scratch)
            np.bitwise_or(out, scratch, out=out)
    return out


def bgr_bounds(bounds: kestrune.LCHBounds) -> kestrune.LCHBounds:
    """The same bounds for pixels stored B, G, R (OpenCV's order).

    The test is M times the pixel: reversing M's columns gives exactly the
    same decision on the reversed pixel, so BGR frames need no conversion.
    """
    matrix = np.asarray(bounds.M).reshape(3, 3)[:, ::-1].flatten()
    return kestrune.LCHBounds(matrix, bounds.i, bounds.c)


# --------------------------------------------------------------------------
# HSV boxes (8-bit units: H 0-179, S and V 0-255)
# --------------------------------------------------------------------------

HSV_MAX = (179, 255, 255)
# A sector's chroma limit is a chord across it, higher at the sector's edges
# than at its middle by 1 / cos(width / 2): pieces of at most 60 degrees keep
# that within 15 percent.
_PIECE_DEGREES = 60.0
_LAYERS = 2  # a third layer removed little more disagreement on photographs, for one mask pass more


def _hsv_triple(value: object, which: str) -> tuple[int, int, int]:
    if isinstance(value, np.ndarray):
        value = value.tolist() if value.ndim == 1 else None
    if (not isinstance(value, (list, tuple)) or len(value) != 3
            or not all(isinstance(v, numbers.Real) and not isinstance(v, (bool, np.bool_)) for v in value)):
        raise ValueError(f"{which} must be three numbers H, S, V")
    triple = []
    for v, most, what in zip(value, HSV_MAX, "HSV"):
        if not (isinstance(v, numbers.Integral) or float(v).is_integer()) or not 0 <= v <= most:
            raise ValueError(f"{which} {what} must be a whole number from 0 to {most}, got {v!r:.20}")
        triple.append(int(v))
    return triple[0], triple[1], triple[2]


@functools.cache
def _hsv_tables() -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    i = np.arange(256, dtype=np.float64)
    i[0] = 1.0
    sdiv = np.rint((255 << 12) / i).astype(np.int64)
    hdiv = np.rint((180 << 12) / (6 * i)).astype(np.int64)
    sdiv[0] = hdiv[0] = 0
    return sdiv, hdiv


def rgb_to_hsv(rgb: npt.NDArray[np.uint8]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64],
                                                   npt.NDArray[np.int64]]:
    """H (0-179), S and V (0-255) of 8-bit RGB pixels (... x 3) as the common
    8-bit conversion computes them: in 12-bit fixed point from tables of
    reciprocals, rounded half up."""
    sdiv, hdiv = _hsv_tables()
    pixels = np.asarray(rgb).astype(np.int64)
    r, g, b = pixels[..., 0], pixels[..., 1], pixels[..., 2]
    v = pixels.max(-1)
    diff = v - pixels.min(-1)
    s = (diff * sdiv[v] + 2048) >> 12
    h = np.where(v == r, g - b, np.where(v == g, b - r + 2 * diff, r - g + 4 * diff))
    h = (h * hdiv[diff] + 2048) >> 12
    return np.where(h < 0, h + 180, h), s, v


def in_hsv_box(rgb: npt.NDArray[np.uint8], lower: Sequence[int], upper: Sequence[int]) -> npt.NDArray[np.bool_]:
    """Whether each pixel's HSV lies in the box, inclusive; H0 > H1 wraps around red."""
    h, s, v = rgb_to_hsv(rgb)
    hues = (h >= lower[0]) & (h <= upper[0]) if lower[0] <= upper[0] else (h >= lower[0]) | (h <= upper[0])
    return hues & (s >= lower[1]) & (s <= upper[1]) & (v >= lower[2]) & (v <= upper[2])


@functools.cache
def _cube_samples(step: int) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.float64], npt.NDArray[np.float64],
                                      npt.NDArray[np.float64]]:
    """The RGB cube at the middles of step^3 cells, with each sample's hue
    (degrees), chroma and intensity in this model's units."""
    values = np.arange(step // 2, 256, step)
    r, g, b = np.meshgrid(values, values, values, indexing="ij")
    rgb = np.stack([r, g, b], -1).reshape(-1, 3).astype(np.uint8)
    f = rgb / 256.0
    x = f[:, 0] - (f[:, 1] + f[:, 2]) / 2
    y = math.sqrt(3) / 2 * (f[:, 1] - f[:, 2])
    return rgb, np.degrees(np.arctan2(y, x)), np.hypot(x, y), f.mean(1)


def _best_limit(x: npt.NDArray[np.float64], target: npt.NDArray[np.bool_], upper: bool) -> float:
    """The strict lower (or upper) limit on x that takes the most of `target`
    and the least of the rest, among the samples the other limits take."""
    order = np.argsort(-x if upper else x, kind="stable")
    xs, ts = x[order], target[order]
    n = len(xs)
    # Cutting before sample k rejects the first k: targets rejected + the rest accepted.
    rejected = np.concatenate([[0], np.cumsum(ts)])
    accepted_rest = (n - np.arange(n + 1)) - (int(ts.sum()) - rejected)
    k = int(np.argmin(rejected + accepted_rest))
    if k == 0:
        return float(xs[0]) + (1e-6 if upper else -1e-6)
    if k == n:
        return float(xs[-1]) + (-1e-6 if upper else 1e-6)
    return float(xs[k - 1] + xs[k]) / 2


@functools.lru_cache(maxsize=256)
def _fit_hsv_box(lower: tuple[int, int, int], upper: tuple[int, int, int]) -> tuple[Sector, ...]:
    """Sectors (the hue arc cut into pieces of at most 60 degrees, one chroma
    and one intensity band) fitted to the box by coordinate descent over the
    six limits, each step exact over a sampled RGB cube."""
    for step in (8, 4):  # a small box needs the finer cube to be seen at all
        rgb, hue, chroma, intensity = _cube_samples(step)
        target = in_hsv_box(rgb, lower, upper)
        if np.count_nonzero(target & (chroma > 0)) >= 100:
            break
    if not np.any(target & (chroma > 0)):
        raise ValueError(f"lower {lower} and upper {upper} hold no colour with a hue (greys have none)")
    # The arc in degrees, its middle at 0 so that wrapping around red is no case of its own.
    lo, hi = 2.0 * lower[0] - 1.0, 2.0 * upper[0] + 1.0 + (360.0 if lower[0] > upper[0] else 0.0)
    centre = (lo + hi) / 2
    rel = (hue - centre + 180.0) % 360.0 - 180.0
    limits = [[lo - centre, hi - centre], [0.0, 0.0], [0.0, 0.0]]

    def pieces() -> int:
        return max(1, math.ceil((limits[0][1] - limits[0][0]) / _PIECE_DEGREES - 1e-9))

    def chord() -> npt.NDArray[np.float64]:
        # What the chroma limits bound: the chroma along the middle of the sample's piece.
        a, b = limits[0]
        width = (b - a) / pieces()
        middle = a + (np.clip(np.floor((rel - a) / width), 0, pieces() - 1) + 0.5) * width
        return chroma * np.cos(np.radians(rel - middle))

    values = [rel, chord(), intensity]
    for j in (1, 2):
        taken = values[j][target]
        limits[j] = [max(0.0, float(taken.min()) - 1e-6), float(taken.max()) + 1e-6]
    for _ in range(3):
        for j in range(3):
            for side in (0, 1):
                others = np.ones(len(rgb), bool)
                for k in range(3):
                    if k != j:
                        others &= (values[k] > limits[k][0]) & (values[k] < limits[k][1])
                    else:
                        others &= values[k] > limits[k][0] if side else values[k] < limits[k][1]
                limits[j][side] = _best_limit(values[j][others], target[others], side == 1)
            if j == 0:
                limits[0] = [max(limits[0][0], -179.0), min(limits[0][1], 179.0)]
                values[1] = chord()
    # Saturation is chroma over brightness: the chroma a box's S0 asks for grows
    # with intensity. Layers of intensity, each with its own chroma band, follow that.
    in_hue = (values[0] > limits[0][0]) & (values[0] < limits[0][1])
    i0, i1 = max(0.0, limits[2][0]), max(limits[2][1], limits[2][0] + 1e-3)
    edges = np.linspace(i0, i1, _LAYERS + 1)
    bands = []
    for k in range(_LAYERS):
        # Neighbouring layers overlap by less than one step of the test's intensity (85 / 65536).
        low, high = float(edges[k]), float(edges[k + 1]) + (1e-4 if k + 1 < _LAYERS else 0.0)
        layer = in_hue & (intensity > low) & (intensity < high)
        band = list(limits[1])
        for _ in range(2):
            for side in (0, 1):
                others = layer & ((values[1] > band[0]) if side else (values[1] < band[1]))
                if others.any():
                    band[side] = _best_limit(values[1][others], target[others], side == 1)
        c0 = max(0.0, band[0])
        if np.any(target[layer]):
            bands.append(((c0, max(band[1], c0 + 1e-3)), (low, high)))
    a, b = limits[0]
    n = pieces()
    width = (b - a) / n
    start = (a + centre + 180.0) % 360.0 - 180.0
    return tuple(Sector((math.radians(start + k * width), math.radians(start + (k + 1) * width)), chroma_band, band)
                 for chroma_band, band in bands for k in range(n))


def _from_dict(data: dict[str, Any], name: str) -> Colour:
    """A Colour from a colour file's fields; ValueError/TypeError naming the field."""
    rgb_bits = data.get("rgb_bits", 8)
    if isinstance(rgb_bits, bool) or not isinstance(rgb_bits, int) or not 1 <= rgb_bits <= MAX_RGB_BITS:
        raise ValueError(f"'rgb_bits' must be an integer from 1 to {MAX_RGB_BITS}")
    extra: list[Sector] = []
    if "extra_sectors" in data:
        items = data["extra_sectors"]
        if not isinstance(items, list) or not items:
            raise ValueError("'extra_sectors' must be a non-empty list of objects (one per further sector)")
        for k, item in enumerate(items):
            if not isinstance(item, dict):
                raise ValueError(f"'extra_sectors[{k}]' must be an object with hue_limit, chroma_limit and "
                                 "intensity_limit")
            fields = _sector_fields(item.get("hue_limit"), item.get("chroma_limit"), item.get("intensity_limit"),
                                    f"extra_sectors[{k}].")
            extra.append(Sector(*fields))
    return Colour(name, data.get("hue_limit"), data.get("chroma_limit"), data.get("intensity_limit"),  # type: ignore[arg-type]
                  rgb_bits, tuple(extra))


def load_colour(path: str | Path, name: str | None = None) -> Colour:
    """A Colour from a colour file; ValueError (one line) says what is wrong with it."""
    path = Path(path)
    try:
        data = json.loads(path.read_text())
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"bad colour file {path}: {e}") from None
    except RecursionError:
        raise ValueError(f"bad colour file {path}: nested too deeply to be a colour") from None
    except ValueError:  # the interpreter's limit on the digits of an integer
        raise ValueError(f"bad colour file {path}: holds a number with too many digits") from None
    if not isinstance(data, dict):
        raise ValueError(f"bad colour file {path}: not a JSON object")
    try:
        return _from_dict(data, name or str(path))
    except (ValueError, TypeError) as e:
        raise ValueError(f"bad colour file {path}: {e}") from None


def save_colour(colour: Colour, path: str | Path, **extra: Any) -> None:
    """Writes `colour` as a colour file (JSON), with `extra` keys (where it came from)."""
    Path(path).write_text(json.dumps(colour.as_dict(**extra), indent=2) + "\n")


def _hsv_spec(spec: str) -> Colour:
    """"hsv:H0,S0,V0:H1,S1,V1" as a Colour; ValueError saying what is wrong."""
    parts = spec[4:].split(":")
    if len(parts) != 2:
        raise ValueError(f"bad HSV box {spec!r}: not hsv:H0,S0,V0:H1,S1,V1")
    boxes = []
    for part, which in zip(parts, ("lower", "upper")):
        try:
            boxes.append([int(v) for v in part.split(",")])
        except ValueError:
            raise ValueError(f"bad HSV box {spec!r}: {which} must be three whole numbers H,S,V") from None
    try:
        return Colour.from_hsv(boxes[0], boxes[1], spec)
    except ValueError as e:
        raise ValueError(f"bad HSV box {spec!r}: {e}") from None


# Each built-in colour made once (a find names its colour every frame), and
# again should its entry in COLOURS be replaced. Threads racing here store
# equal colours.
_BUILT_IN: dict[str, tuple[tuple[Pair, Pair, Pair], Colour]] = {}


def _built_in(name: str) -> Colour:
    limits = COLOURS[name]
    made = _BUILT_IN.get(name)
    if made is None or made[0] is not limits:
        made = _BUILT_IN[name] = (limits, Colour(name, *limits))
    return made[1]


def colour(spec: str | Colour) -> Colour:
    """A built-in colour name, the path of a colour file or an HSV box
    "hsv:H0,S0,V0:H1,S1,V1" (see Colour.from_hsv); ValueError otherwise."""
    if isinstance(spec, Colour):
        return spec
    if not isinstance(spec, str):
        raise TypeError(f"colour must be a name, a colour file's path or a Colour, not {type(spec).__name__}")
    if spec in COLOURS:
        return _built_in(spec)
    if spec.startswith("hsv:") and not Path(spec).is_file():
        return _hsv_spec(spec)
    if Path(spec).is_file():
        return load_colour(spec, spec)
    raise ValueError(f"unknown colour {spec!r}: not one of {', '.join(COLOURS)}, "
                     "nor a colour file (kestrune calibrate --save), nor hsv:H0,S0,V0:H1,S1,V1")
