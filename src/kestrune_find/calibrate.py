"""Calibration: a colour to search for, from pixels picked in one frame or
in several (samples of the object lit, shaded and pale, in frames of the
backgrounds it will be searched on).

The colour model, every quantity divided by 256 so that a full channel counts
as 1.0:  x = R - G/2 - B/2,  y = (sqrt(3)/2)(G - B),  I = (R + G + B)/3,
hue = atan2(y, x) (red 0, green 2pi/3, blue -2pi/3), chroma = hypot(x, y).
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import kestrune

from .colours import Colour, Sector
from .finder import check_frame

Pair = tuple[float, float]
Pixels = npt.NDArray[np.uint8]
Rect = tuple[int, int, int, int]
Frame = npt.NDArray[np.uint8]

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
# Calibrating on frames
# --------------------------------------------------------------------------

#: A sample with fewer pixels, or narrower or lower than MIN_SAMPLE_SIDE, is
#: warned of: its percentiles are a handful of pixels, and the JPEG blocks and
#: the blur at a ball's rim weigh as much as the ball.
MIN_SAMPLE_PIXELS = 50
MIN_SAMPLE_SIDE = 4
#: Each sample weighs alike in a sector's proposal, whatever its size: the
#: pixels of each are resampled to this many (a small far ball counts as much
#: as a large near one).
SAMPLE_WEIGHT_PIXELS = 2000
#: A sample's coloured part: its pixels of at least this share of its 90th
#: percentile of chroma.
STRONG_SHARE = 0.3
#: Samples are grouped by hue and chroma, the nearest first: a hue difference
#: of GROUP_HUE counts as far as a ratio of GROUP_CHROMA between median chromas.
GROUP_HUE = math.radians(20.0)
GROUP_CHROMA = 1.6
#: A union of sectors replaces one sector only where it pays: the score of a
#: colour is the samples' mean coverage less LEAK_WEIGHT times the frames' mean
#: rest coverage, and each extra sector (one more mask pass per frame) must add
#: SECTOR_GAIN to it.
LEAK_WEIGHT = 4.0
SECTOR_GAIN = 0.01
#: Samples whose sector takes more of the frames' rest (on average) than
#: SUSPECT_RATIO times the least taking group's, and MAX_GROUP_LEAK besides,
#: are left out.
MAX_GROUP_LEAK = 0.05
SUSPECT_RATIO = 3.0


def _call(hue_limit: Pair, chroma_limit: Pair, intensity_limit: Pair) -> str:
    def pair(p: Pair) -> str:
        return f"({p[0]:.4f}, {p[1]:.4f})"

    return f"kestrune.calculate_lch_bounds({pair(hue_limit)}, {pair(chroma_limit)}, {pair(intensity_limit)})"


@dataclass(frozen=True)
class SampleReport:
    """How the colour fares on one sample: `frame`, the index of the sample's
    frame (in the order the samples first give them); `pixels` it picks;
    `coverage`, the share of them the colour takes; `rest_coverage`, the share
    of its frame outside every sample of that frame; `warnings` about it."""

    frame: int
    pixels: int
    coverage: float
    rest_coverage: float
    warnings: tuple[str, ...] = ()


@dataclass(frozen=True)
class Calibration:
    """A calibrated colour and how it fares on the frames it came from.

    selected: how many pixels the samples pick (those left out as grey not
    counted); selection_coverage: share of them the colour takes;
    rest_coverage: share of the other pixels of the frames it takes (what
    else the finder will see as that colour); mask: the colour's mask of the
    first frame (1 where taken); warnings: what the user should know, in
    words; widening: how much of `propose`'s widening was kept (1: all of
    it; less where more of it would have taken in the background; of a union,
    the least of its sectors'); samples: one report per sample, in order.
    """

    colour: Colour
    selected: int
    selection_coverage: float
    rest_coverage: float
    mask: npt.NDArray[np.uint8]
    warnings: tuple[str, ...]
    widening: float = 1.0
    samples: tuple[SampleReport, ...] = ()

    def calls(self) -> list[str]:
        """The `kestrune.calculate_lch_bounds` call of each sector of the colour
        (one for a plain colour; the mask is the union of theirs)."""
        return [_call(s.hue_limit, s.chroma_limit, s.intensity_limit) for s in self.colour.sectors]

    def call(self) -> str:
        """The `kestrune.calculate_lch_bounds` call that gives the colour's (first sector's) bounds."""
        c = self.colour
        return _call(c.hue_limit, c.chroma_limit, c.intensity_limit)
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



@dataclass
class _Frame:
    image: Frame
    picked: npt.NDArray[np.bool_]       # inside any sample of the frame
    rest: int                           # pixels outside every sample


@dataclass
class _Sample:
    frame: int
    picked: npt.NDArray[np.bool_]
    pixels: Pixels
    warnings: list[str] = field(default_factory=list)
    grey: bool = False
    hue: float = 0.0                    # chroma-weighted mean hue
    chroma: float = 0.0                 # median chroma


@dataclass
class _Sector:
    """One sector's limits, its mask of every frame and how much of the widening it kept."""
    limits: tuple[Pair, Pair, Pair]
    taken: list[npt.NDArray[np.uint8]]
    widening: float


def _sample_of(frame_index: int, picked: npt.NDArray[np.bool_], image: Frame) -> _Sample:
    pixels = image[picked]
    sample = _Sample(frame_index, picked, pixels)
    hue, chroma, _ = colour_coordinates(pixels)
    coloured = float(np.mean(chroma >= GREY_CHROMA))
    weight = chroma + 1e-12
    sample.hue = math.atan2(float(np.sum(weight * np.sin(hue))), float(np.sum(weight * np.cos(hue))))
    # The chroma of its coloured part: black and white (a robot in front, a
    # highlight) would make a saturated ball look pale.
    strong = chroma >= STRONG_SHARE * float(np.percentile(chroma, 90.0))
    sample.chroma = max(float(np.median(chroma[strong])), 1e-3)
    if coloured < MIN_COLOURED_SHARE:
        sample.grey = True
        sample.warnings.append(f"mostly grey: {1.0 - coloured:.0%} of its pixels have almost no chroma "
                               f"(below {GREY_CHROMA}; median {float(np.median(chroma)):.3f})")
    rows, cols = np.nonzero(picked)
    height, width = int(rows.max() - rows.min()) + 1, int(cols.max() - cols.min()) + 1
    if pixels.shape[0] < MIN_SAMPLE_PIXELS or min(height, width) < MIN_SAMPLE_SIDE:
        sample.warnings.append(f"only {pixels.shape[0]} pixels ({width} x {height}): too few to trust; "
                               "pick a larger part of the object")
    return sample


def _samples(given: Any) -> tuple[list[_Frame], list[_Sample]]:
    """Frames (each once, in the order first given) and samples of the samples form."""
    if isinstance(given, (str, bytes)) or not isinstance(given, Sequence):
        raise TypeError("samples must be a sequence of (frame, rects) or (frame, mask) pairs, "
                        f"not {type(given).__name__}")
    if not given:
        raise ValueError("samples is empty: give at least one (frame, rects) or (frame, mask)")
    frames: list[_Frame] = []
    index_of: dict[int, int] = {}  # id of the given frame object -> its index
    picks: list[tuple[int, npt.NDArray[np.bool_]]] = []
    for k, item in enumerate(given):
        if not isinstance(item, Sequence) or isinstance(item, (str, bytes)) or len(item) != 2:
            raise ValueError(f"samples[{k}] must be a pair (frame, rects) or (frame, mask)")
        original, pick = item
        try:
            if id(original) not in index_of:
                index_of[id(original)] = len(frames)
                image = check_frame(original)
                frames.append(_Frame(image, np.zeros(image.shape[:2], bool), 0))
            f = index_of[id(original)]
            shape = frames[f].image.shape
            is_mask = isinstance(pick, np.ndarray) and pick.ndim >= 2 and pick.shape[:2] == shape[:2]
            picked = selection(shape, None, pick) if is_mask else selection(shape, pick)
        except (TypeError, ValueError) as e:
            raise type(e)(f"samples[{k}]: {e}") from None
        frames[f].picked |= picked
        picks.append((f, picked))
    for fr in frames:
        fr.rest = fr.picked.size - int(np.count_nonzero(fr.picked))
    return frames, [_sample_of(f, picked, frames[f].image) for f, picked in picks]


def _pool(samples: Sequence[_Sample], trim: bool = True) -> Pixels:
    """The pixels a sector is proposed on: each sample's coloured part (with
    `trim`: not the black of a robot in front of a ball, nor a highlight's
    white), each resampled to the same count, so that none outweighs the
    others by its size."""
    parts = []
    for s in samples:
        pixels = s.pixels
        if trim:
            _, chroma, _ = colour_coordinates(pixels)
            pixels = pixels[chroma >= STRONG_SHARE * float(np.percentile(chroma, 90.0))]
        parts.append(pixels)
    if len(parts) == 1:
        return parts[0]
    return np.concatenate([p[np.linspace(0, p.shape[0] - 1, SAMPLE_WEIGHT_PIXELS).round().astype(np.intp)]
                           for p in parts])


def _rest_share(taken: npt.NDArray[np.uint8], fr: _Frame) -> float:
    taken_rest = int(np.count_nonzero(taken)) - int(np.count_nonzero(taken[fr.picked]))
    return taken_rest / fr.rest if fr.rest else 0.0


def _sector(pixels: Pixels, frames: Sequence[_Frame], cap: float) -> _Sector:
    """`propose`'s sector for the pixels, widened (up to `cap`) as far as every
    frame allows: the widening is for the object's own shades, and once it
    takes in much more of the rest of a frame than the sample's own colour
    does, it has reached that frame's background (a brown table under a red
    ball, fur under a yellow one)."""
    chosen: _Sector | None = None
    own: list[float] = []
    steps = WIDENING_STEPS if cap > 0.0 else 0
    for step in range(steps + 1):
        widening = cap * step / WIDENING_STEPS
        limits = propose(pixels, widening)
        try:
            bounds = kestrune.calculate_lch_bounds(*limits, 8)
            taken = [kestrune.mask_image(fr.image, bounds) for fr in frames]
        except (ValueError, OverflowError) as e:
            if step < steps:
                continue  # too narrow to make bounds of: try wider
            if chosen is not None:
                break
            raise ValueError(f"the selection gives no usable colour: {e}") from None
        outside = [_rest_share(t, fr) for t, fr in zip(taken, frames)]
        if chosen is None:
            own = outside
        elif any(o > o0 + MAX_WIDENING_LEAK for o, o0 in zip(outside, own)):
            break
        chosen = _Sector(limits, taken, widening)
    assert chosen is not None
    return chosen


def _groupings(samples: Sequence[_Sample], max_sectors: int) -> list[list[list[int]]]:
    """Ways to split the samples into 1..max_sectors groups of like hue and
    chroma (pale apart from saturated), from merging the nearest groups first."""
    def distance(a: _Sample, b: _Sample) -> float:
        dh = abs((a.hue - b.hue + math.pi) % (2.0 * math.pi) - math.pi) / GROUP_HUE
        return max(dh, abs(math.log(a.chroma / b.chroma)) / math.log(GROUP_CHROMA))

    groups = [[k] for k in range(len(samples))]
    out = []
    while True:
        if len(groups) <= max_sectors:
            out.append([list(g) for g in groups])
        if len(groups) == 1:
            return out[::-1]
        pairs = ((max(distance(samples[i], samples[j]) for i in ga for j in gb), a, b)
                 for a, ga in enumerate(groups) for b, gb in enumerate(groups) if a < b)
        _, a, b = min(pairs)
        groups[a] += groups.pop(b)


def _leak(taken: Sequence[npt.NDArray[np.uint8]], frames: Sequence[_Frame]) -> float:
    """The mean over the frames of the share of their rest taken."""
    return float(np.mean([_rest_share(t, fr) for t, fr in zip(taken, frames)]))


def _union(sectors: Sequence[_Sector], frame_count: int) -> list[npt.NDArray[np.uint8]]:
    taken = [sectors[0].taken[f] for f in range(frame_count)]
    for s in sectors[1:]:
        taken = [np.bitwise_or(t, u) for t, u in zip(taken, s.taken)]
    return taken


def calibrate(frame_or_samples: npt.NDArray[np.uint8] | Sequence[tuple[npt.NDArray[np.uint8], Any]],
              rects: Sequence[Sequence[int]] | None = None, mask: npt.ArrayLike | None = None,
              name: str = "calibrated", *, widening: float = 1.0, max_sectors: int = 3) -> Calibration:
    """The colour of picked pixels: `calibrate(frame, rects, mask)` for the
    pixels that `rects` and/or `mask` pick in one RGB frame, or
    `calibrate(samples)` for several samples, each `(frame, rects)` or
    `(frame, mask)` (samples given the same frame object share that frame).

    The colour covers every sample and takes as little as it can of each
    frame's rest (outside every sample of it): `propose`'s widening, capped
    by `widening` in [0, 1], stops where a frame's rest grows by more than
    MAX_WIDENING_LEAK; where samples of one kind differ (pale and saturated
    balls) and one sector would take in the background, the colour is a union
    of up to `max_sectors` sectors, one per group of like samples.
    ValueError when the pick is grey (with several samples: when every
    sample is; a grey one is left out with a warning) or holds no pixel."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a string, not {type(name).__name__}")
    if isinstance(widening, bool) or not isinstance(widening, (int, float)) or not 0.0 <= widening <= 1.0:
        raise ValueError(f"widening must be a number in [0, 1], got {widening!r}")
    if isinstance(max_sectors, bool) or not isinstance(max_sectors, int) or max_sectors < 1:
        raise ValueError(f"max_sectors must be a whole number of at least 1, got {max_sectors!r}")
    single = isinstance(frame_or_samples, np.ndarray)
    if single:
        image = check_frame(frame_or_samples)
        picked = selection(image.shape, rects, mask)
        frames = [_Frame(image, picked, picked.size - int(np.count_nonzero(picked)))]
        samples = [_sample_of(0, picked, image)]
    else:
        if rects is not None or mask is not None:
            raise TypeError("rects and mask go with one frame; give each sample as (frame, rects) or (frame, mask)")
        frames, samples = _samples(frame_or_samples)
    used = [s for s in samples if not s.grey]
    if not used:
        if single:
            s = samples[0]
            _, chroma, _ = colour_coordinates(s.pixels)
            coloured = float(np.mean(chroma >= GREY_CHROMA))
            raise ValueError(f"the selection is grey: {1.0 - coloured:.0%} of its pixels have almost no chroma "
                             f"(below {GREY_CHROMA}; median {float(np.median(chroma)):.3f}) and so no hue to "
                             "calibrate on: pick the coloured part")
        raise ValueError(f"every sample is grey (pixels of chroma below {GREY_CHROMA}): no hue to calibrate on; "
                         "pick the coloured part of the object")

    sectors_of: dict[tuple[int, ...], _Sector] = {}

    def sector(key: tuple[int, ...]) -> _Sector:
        if key not in sectors_of:
            sectors_of[key] = _sector(_pool([used[k] for k in key], trim=not single), frames, widening)
        return sectors_of[key]

    # A sample whose colour, in the finest grouping, takes in much more of the
    # frames than the others' (a dark or grey ball whose sector takes the
    # floor) is left out: the colour is made of the others, and its report
    # says how little of it the colour takes.
    finest = [tuple(g) for g in _groupings(used, max_sectors)[-1]]
    leaks = {key: _leak(sector(key).taken, frames) for key in finest}
    limit = MAX_GROUP_LEAK + SUSPECT_RATIO * min(leaks.values())
    kept = sorted(k for key in finest if leaks[key] <= limit for k in key)
    # Then one sector over the samples kept, or unions over groups of like
    # ones, the best by what it takes of them against the frames' rest.
    best: tuple[float, list[_Sector], list[npt.NDArray[np.uint8]]] | None = None
    for grouping in _groupings([used[k] for k in kept], max_sectors):
        sectors = [sector(tuple(kept[k] for k in group)) for group in grouping]
        taken = _union(sectors, len(frames))
        cover = float(np.mean([taken[used[k].frame][used[k].picked].mean() for k in kept]))
        score = cover - LEAK_WEIGHT * _leak(taken, frames) - SECTOR_GAIN * (len(sectors) - 1)
        if best is None or score > best[0]:
            best = (score, sectors, taken)
    assert best is not None
    _, sectors, taken = best
    if len(sectors) == 1:
        colour = Colour(name, *sectors[0].limits)
    else:
        colour = Colour.from_sectors(name, [Sector(*s.limits) for s in sectors])
    return _report(colour, frames, samples, taken, min(s.widening for s in sectors), single)


def _report(colour: Colour, frames: Sequence[_Frame], samples: Sequence[_Sample],
            taken: Sequence[npt.NDArray[np.uint8]], widening: float, single: bool) -> Calibration:
    hit = [t.astype(bool) for t in taken]
    used_pick = [np.zeros(fr.picked.shape, bool) for fr in frames]
    for s in samples:
        if not s.grey:
            used_pick[s.frame] |= s.picked
    selected = sum(int(np.count_nonzero(p)) for p in used_pick)
    inside = sum(int(np.count_nonzero(h[p])) for h, p in zip(hit, used_pick)) / selected
    rests = [_rest_share(t, fr) for t, fr in zip(taken, frames)]
    rest_total = sum(fr.rest for fr in frames)
    outside = sum(r * fr.rest for r, fr in zip(rests, frames)) / rest_total if rest_total else 0.0
    reports, warnings = [], []
    for k, s in enumerate(samples):
        coverage = float(hit[s.frame][s.picked].mean())
        notes = list(s.warnings)
        if s.grey:
            notes[0] += "; left out"
        elif not single and coverage < WARN_SELECTION:
            notes.append(f"the colour takes only {coverage:.1%} of it")
        reports.append(SampleReport(s.frame, int(s.pixels.shape[0]), coverage, rests[s.frame], tuple(notes)))
        warnings += [note if single else f"sample {k + 1}: {note}" for note in notes]
    if inside < WARN_SELECTION:
        warnings.append(f"the colour takes only {inside:.1%} of the selected pixels: the selection holds "
                        "other colours, or pick the colour's parts in separate rectangles")
    for f, rest in enumerate(rests):
        if rest > WARN_REST:
            where = "the frame" if len(frames) == 1 else f"frame {f + 1}"
            warnings.append(f"the colour also takes {rest:.1%} of the rest of {where}: the finder will "
                            "search that too (see the mask picture)")
    return Calibration(colour, selected, inside, outside, taken[0], tuple(warnings), widening, tuple(reports))
