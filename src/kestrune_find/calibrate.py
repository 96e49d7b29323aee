"""Calibration: a colour to search for, from pixels picked in a frame.

The colour model, every quantity divided by 256 so that a full channel counts
as 1.0:  x = R - G/2 - B/2,  y = (sqrt(3)/2)(G - B),  I = (R + G + B)/3,
hue = atan2(y, x) (red 0, green 2pi/3, blue -2pi/3), chroma = hypot(x, y).
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import kestrune

from .colours import Colour
from .finder import check_frame

Pair = tuple[float, float]
Pixels = npt.NDArray[np.uint8]
Rect = tuple[int, int, int, int]

#: A selection needs at least this share of its pixels with a chroma of at
#: least GREY_CHROMA: grey pixels have no hue to calibrate on. (A grey wall
#: under sensor noise stays below 0.05; a pale ball's shaded side is ~0.1.)
MIN_COLOURED_SHARE = 0.2
GREY_CHROMA = 0.08
#: Warn when the colour takes more than this share of the frame outside the selection.
WARN_REST = 0.05
#: Warn when the colour takes less than this share of the selection.
WARN_SELECTION = 0.8
#: The widening stops where it would take more than this share of the rest of
#: the frame beyond what the sample's own colour takes.
MAX_WIDENING_LEAK = 0.03
#: How finely the widening is tried, from none to all of it.
WIDENING_STEPS = 8

_SQRT3_2 = math.sqrt(3.0) / 2.0


def colour_coordinates(pixels: Pixels) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64],
                                                 npt.NDArray[np.float64]]:
    """Hue (radians), chroma and intensity of RGB pixels (any shape ending in 3)."""
    rgb = np.asarray(pixels).reshape(-1, 3).astype(np.float64) / 256.0
    r, g, b = rgb[:, 0], rgb[:, 1], rgb[:, 2]
    x = r - g / 2.0 - b / 2.0
    y = _SQRT3_2 * (g - b)
    return np.arctan2(y, x), np.hypot(x, y), (r + g + b) / 3.0


# --------------------------------------------------------------------------
# The proposal: how far one sample is widened
# --------------------------------------------------------------------------

HUE_MARGIN = math.radians(12.0)     # added beyond the 5th and 95th percentiles
MIN_HUE_SIDE = math.radians(35.0)   # the sector reaches at least this far each side
MAX_SECTOR = math.radians(170.0)    # sectors of pi or more match nothing
CHROMA_FLOOR = (0.04, 0.12)         # clamp for half the 5th percentile of chroma
INTENSITY_LIMIT = (0.05, 0.99)


def propose(pixels: Pixels, widening: float = 1.0) -> tuple[Pair, Pair, Pair]:
    """(hue_limit, chroma_limit, intensity_limit) covering the pixels (N x 3
    RGB uint8) of one sample of a colour, widened so that the same object's
    lit and shaded sides and paler ones of its kind under other light are
    covered too.

    Hue: the chroma-weighted circular mean (grey pixels have an arbitrary
    hue), widened past the spread of the offsets from it; measured from the
    mean, a colour where atan2 wraps (cyan) is handled like any other.
    Chroma: from half the weakest pixels' chroma up. Intensity: nearly all.
    `widening` in [0, 1] scales how far the hue sector and the chroma floor
    reach beyond what the sample itself spans (0: the sample's own spread).
    """
    if not 0.0 <= widening <= 1.0:
        raise ValueError(f"widening must be in [0, 1], got {widening!r}")
    hue, chroma, _ = colour_coordinates(pixels)
    if hue.size == 0:
        raise ValueError("pixels must not be empty")
    weight = chroma + 1e-12
    centre = math.atan2(float(np.sum(weight * np.sin(hue))), float(np.sum(weight * np.cos(hue))))
    offset = (hue - centre + math.pi) % (2.0 * math.pi) - math.pi
    # The spread of the hue among the pixels that have one: a near-grey
    # pixel's hue is noise, and a few of them would open the sector wide.
    coloured = chroma >= max(GREY_CHROMA / 2, 0.3 * float(np.median(chroma)))
    p5, p95 = (float(v) for v in np.percentile(offset[coloured] if coloured.any() else offset, [5.0, 95.0]))
    own_lo, own_hi = p5 - HUE_MARGIN, p95 + HUE_MARGIN
    lo = own_lo + widening * (min(own_lo, -MIN_HUE_SIDE) - own_lo)
    hi = own_hi + widening * (max(own_hi, MIN_HUE_SIDE) - own_hi)
    if hi - lo > MAX_SECTOR:
        scale = MAX_SECTOR / (hi - lo)  # both sides shrink alike; the mean stays inside
        lo, hi = lo * scale, hi * scale
    weakest = float(np.percentile(chroma[coloured] if coloured.any() else chroma, 5.0))
    own_floor = max(0.5 * weakest, CHROMA_FLOOR[0])
    floor = own_floor + widening * (min(own_floor, CHROMA_FLOOR[1]) - own_floor)
    return (centre + lo, centre + hi), (floor, 2.0), INTENSITY_LIMIT


# --------------------------------------------------------------------------
# Calibrating on a frame
# --------------------------------------------------------------------------

@dataclass(frozen=True)
class Calibration:
    """A calibrated colour and how it fares on the frame it came from.

    selection_coverage: share of the selected pixels the colour takes;
    rest_coverage: share of the other pixels of the frame it takes (what
    else the finder will see as that colour); mask: the colour's mask of the
    frame (1 where taken); warnings: what the user should know, in words;
    widening: how much of `propose`'s widening was kept (1: all of it; less
    where more of it would have taken in the background).
    """

    colour: Colour
    selected: int
    selection_coverage: float
    rest_coverage: float
    mask: npt.NDArray[np.uint8]
    warnings: tuple[str, ...]
    widening: float = 1.0

    def call(self) -> str:
        """The `kestrune.calculate_lch_bounds` call that gives the colour's bounds."""
        def pair(p: Pair) -> str:
            return f"({p[0]:.4f}, {p[1]:.4f})"

        c = self.colour
        return (f"kestrune.calculate_lch_bounds({pair(c.hue_limit)}, {pair(c.chroma_limit)}, "
                f"{pair(c.intensity_limit)})")


def _rect(value: Any, index: int, height: int, width: int) -> Rect:
    try:
        x0, y0, x1, y1 = value
    except (TypeError, ValueError):
        raise ValueError(f"rects[{index}] must be four numbers x0, y0, x1, y1, got {value!r}") from None
    if not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in (x0, y0, x1, y1)):
        raise ValueError(f"rects[{index}] must be four integers x0, y0, x1, y1, got {value!r}")
    x0, x1 = sorted((int(x0), int(x1)))
    y0, y1 = sorted((int(y0), int(y1)))
    cx0, cy0, cx1, cy1 = max(x0, 0), max(y0, 0), min(x1, width), min(y1, height)
    if cx1 <= cx0 or cy1 <= cy0:
        raise ValueError(f"rects[{index}] ({x0}, {y0}, {x1}, {y1}) holds no pixel of the "
                         f"{width} x {height} frame (x1 and y1 are exclusive)")
    return cx0, cy0, cx1, cy1


def selection(frame_shape: tuple[int, ...], rects: Sequence[Sequence[int]] | None = None,
              mask: npt.ArrayLike | None = None) -> npt.NDArray[np.bool_]:
    """The pixels picked by rectangles (x0, y0, x1, y1; x1 and y1 exclusive)
    and a mask (nonzero where picked, the frame's height and width), together."""
    height, width = frame_shape[:2]
    if rects is None and mask is None:
        raise ValueError("give rects or mask (or both) to say which pixels hold the colour")
    picked = np.zeros((height, width), bool)
    if rects is not None:
        if isinstance(rects, (str, bytes)) or not isinstance(rects, Sequence):
            raise TypeError(f"rects must be a sequence of (x0, y0, x1, y1), not {type(rects).__name__}")
        for k, value in enumerate(rects):
            x0, y0, x1, y1 = _rect(value, k, height, width)
            picked[y0:y1, x0:x1] = True
    if mask is not None:
        marks = np.asarray(mask)
        if marks.ndim == 3 and marks.shape[2] in (1, 3, 4):
            marks = marks.any(axis=2)
        if marks.shape != (height, width):
            raise ValueError(f"mask must be {width} x {height} like the frame, got shape {marks.shape}")
        picked |= marks != 0
    if not picked.any():
        raise ValueError("the selection is empty: the mask marks no pixel")
    return picked


def calibrate(frame: npt.NDArray[np.uint8], rects: Sequence[Sequence[int]] | None = None,
              mask: npt.ArrayLike | None = None, name: str = "calibrated") -> Calibration:
    """The colour of the pixels that `rects` and/or `mask` pick in an RGB
    `frame`, widened by `propose` as far as the frame allows (see
    MAX_WIDENING_LEAK); ValueError when the pick holds no colour (it is
    grey) or no pixel."""
    frame = check_frame(frame)
    if not isinstance(name, str):
        raise TypeError(f"name must be a string, not {type(name).__name__}")
    picked = selection(frame.shape, rects, mask)
    pixels = frame[picked]
    _, chroma, _ = colour_coordinates(pixels)
    coloured = float(np.mean(chroma >= GREY_CHROMA))
    if coloured < MIN_COLOURED_SHARE:
        raise ValueError(f"the selection is grey: {1.0 - coloured:.0%} of its pixels have almost no chroma "
                         f"(below {GREY_CHROMA}; median {float(np.median(chroma)):.3f}) and so no hue to "
                         "calibrate on: pick the coloured part")
    # Widen as far as the frame allows: the widening is for the object's own
    # shades, and once it takes in much more of the rest of the frame than the
    # sample's own colour does, it has reached the background (a brown table
    # under a red ball, fur under a yellow one).
    rest_count = picked.size - int(np.count_nonzero(picked))
    chosen: tuple[Colour, npt.NDArray[np.uint8], float, float] | None = None
    own = 0.0
    for step in range(WIDENING_STEPS + 1):
        widening = step / WIDENING_STEPS
        colour = Colour(name, *propose(pixels, widening))
        try:
            taken = kestrune.mask_image(frame, colour.bounds())
        except (ValueError, OverflowError) as e:
            if step < WIDENING_STEPS:
                continue  # too narrow to make bounds of: try wider
            if chosen is not None:
                break
            raise ValueError(f"the selection gives no usable colour: {e}") from None
        taken_rest = int(np.count_nonzero(taken)) - int(np.count_nonzero(taken[picked]))
        outside = taken_rest / rest_count if rest_count else 0.0
        if chosen is None:
            own = outside
        elif outside > own + MAX_WIDENING_LEAK:
            break
        chosen = (colour, taken, outside, widening)
    assert chosen is not None
    colour, taken, outside, widening = chosen
    hit = taken.astype(bool)
    inside = float(hit[picked].mean())
    warnings = []
    if inside < WARN_SELECTION:
        warnings.append(f"the colour takes only {inside:.1%} of the selected pixels: the selection holds "
                        "other colours, or pick the colour's parts in separate rectangles")
    if outside > WARN_REST:
        warnings.append(f"the colour also takes {outside:.1%} of the rest of the frame: the finder will "
                        "search that too (see the mask picture)")
    return Calibration(colour, int(picked.sum()), inside, outside, taken, tuple(warnings), widening)
