"""Detection benchmark: kestrune_find against OpenCV pipelines, side by side in
one run, on generated scenes and on the annotated RoboCup frames.

    python benchmarks/bench_detect.py [--quick] [--json PATH] [--scenes N] [--seed S]
                                      [--robocup DIR] [--calibrate-on FILE] [--calibration-only]
                                      [--cases LIST] [--cases-only] [--case-frames N] [--case-empty N]

Quality: recall, precision, F1, false finds per empty frame, centre and radius
error (median, 90th percentile) on clean targets, and ms per frame, for

  kestrune_find        kf.calibrate on the rectangle, Finder(seed=1).find(...)
  OpenCV contours      cvtColor to HSV, inRange, (open, close), findContours
                       (external), minEnclosingCircle, radius range, fill test
  OpenCV HoughCircles  grey frame, Gaussian blur, HoughCircles, colour check
  OpenCV fitEllipse    the contours pipeline with fitEllipse (ellipse task)

Every detector takes its colour from the same rectangle inside one clear
target, as a user would draw it: on the first frame of each generated set, on
one ball of one RoboCup frame (--calibrate-on). The OpenCV settings were chosen
by a grid search for the best mean F1 over 96 generated frames of another seed
and the RoboCup frames calibrated on each of the five balls of the robustness
table, then frozen (HOUGH_GRADIENT_ALT beat HOUGH_GRADIENT everywhere; the
morphology did not pay); the run prints them. The radius range given to every
detector is a little wider than the targets': 8-120 px at 640x480 (discs of
10-90), 18-250 at 1920x1080, 10-130 on the RoboCup frames (below 10 px a ball
there is as likely a speck).

A find matches an unmatched target (greedily, best score first) when its
centre is within max(3 px, 0.35 r) and its radius within 30 %; ellipses: centre
within max(3, 0.35 b), both semi-axes within 30 %, the angle within 15 degrees
when a >= 1.2 b. Any other find is false. In the disc task ellipses are not
targets; in the ellipse task discs are. RoboCup balls cut by the border are
don't-care (a second line counts them as targets).

The hard cases (cases.py: balls partly hidden by other objects, piles of
touching balls, balls held in a hand or touching an object of their hue, balls
over their reflection on a glossy floor, balls of radius 6-10) have a row each
(set "case <name>"): 40 frames and 20 without balls per case, shared among the
8 colours, each colour calibrated on a frame of clean balls of its own, the
disc task (radii 5-120 sought for the small balls). Balls hidden more than
half are don't-care, as cut RoboCup balls are. --cases-only runs just these.

Timing rows (--json, for compare.py) hold medians of ms per frame, one thread,
taken only over the frames where the peer gave the right answer (every target
found, nothing false); a peer never right has no time. Timings never fail the run.
"""
from __future__ import annotations

import argparse
import inspect
import json
import math
import statistics
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import cases  # noqa: E402
import jsonreport  # noqa: E402
import robocup  # noqa: E402
import scenes  # noqa: E402
from scenes import Disc, Ellipse, Truth  # noqa: E402

try:
    import cv2
except ImportError:  # the OpenCV rows are left out
    cv2 = None


def import_finder():
    """kestrune_find if it imports (installed, or from src/ of this tree) with
    calibrate and Finder, and why not otherwise: the benchmark runs without it."""
    try:
        import kestrune_find as module
    except ImportError as error:
        module, reason = None, str(error)
        src = HERE.parent / "src"
        if (src / "kestrune_find").is_dir() and str(src) not in sys.path:
            sys.path.append(str(src))  # after site-packages: the installed kestrune stays first
            try:
                import kestrune_find as module
            except ImportError as error:
                reason = str(error)
    if module is None:
        return None, reason
    if not (hasattr(module, "calibrate") and hasattr(module, "Finder")):
        return None, "it has no calibrate or no Finder yet"
    return module, ""


kf, KF_MISSING = import_finder()


# ---------------------------------------------------------------- matching


@dataclass
class Match:
    """What one frame's finds did against its truth."""
    found: int = 0
    missed: int = 0
    false: int = 0
    dont_care: int = 0
    pairs: list = field(default_factory=list)        # (target, find) for every target; find None when missed
    false_finds: list = field(default_factory=list)  # (find, where it landed)

    @property
    def right(self) -> bool:
        return self.missed == 0 and self.false == 0


def _axes(obj) -> tuple[float, float, float]:
    """(a, b, theta) of a disc or an ellipse, truth or find."""
    if hasattr(obj, "a") and getattr(obj, "a", None) is not None:
        return float(obj.a), float(obj.b), float(getattr(obj, "theta", 0.0))
    return float(obj.r), float(obj.r), 0.0


def disc_matches(find, t) -> bool:
    return (math.hypot(find.x - t.x, find.y - t.y) <= max(3.0, 0.35 * t.r)
            and abs(find.r - t.r) <= 0.3 * t.r)


def ellipse_matches(find, t) -> bool:
    fa, fb, ft = _axes(find)
    ta, tb, tt = _axes(t)
    if math.hypot(find.x - t.x, find.y - t.y) > max(3.0, 0.35 * min(ta, tb)):
        return False
    (f_small, f_big), (t_small, t_big) = sorted((fa, fb)), sorted((ta, tb))
    if abs(f_big - t_big) > 0.3 * t_big or abs(f_small - t_small) > 0.3 * t_small:
        return False
    if t_big >= 1.2 * t_small:
        major_f = ft if fa >= fb else ft + math.pi / 2
        major_t = tt if ta >= tb else tt + math.pi / 2
        diff = abs((major_f - major_t + math.pi / 2) % math.pi - math.pi / 2)
        return math.degrees(diff) <= 15.0
    return True


def _inside(x, y, obj, grow=0.0) -> bool:
    a, b, th = _axes(obj)
    c, s = math.cos(th), math.sin(th)
    u, v = (x - obj.x) * c + (y - obj.y) * s, -(x - obj.x) * s + (y - obj.y) * c
    return (u / (a + grow)) ** 2 + (v / (b + grow)) ** 2 <= 1.0


def _where(find, truth: Truth, task: str, targets, matched) -> str:
    """Where a false find landed, for the breakdown."""
    test = disc_matches if task == "disc" else ellipse_matches
    if any(matched[k] and test(find, t) for k, t in enumerate(targets)):
        return "duplicate"
    if any(_inside(find.x, find.y, t) for t in targets):
        return "wrong size"
    if task == "disc" and any(_inside(find.x, find.y, e) for e in truth.ellipses):
        return "ellipse"
    near = [(math.hypot(find.x - d.x, find.y - d.y), d) for d in truth.distractors
            if math.hypot(find.x - d.x, find.y - d.y) <= d.extent + 3]
    if near:
        d = min(near, key=lambda p: p[0])[1]
        return d.kind
    return "background"


def match(finds, truth: Truth, task: str = "disc", truncated: str = "dont-care") -> Match:
    """Counts found, missed and false finds of one frame. `finds` in the detector's
    order (best first), with .x .y .r (disc) or .x .y .a .b .theta (ellipse).
    task "disc": the discs are the targets, ellipses are not; task "ellipse":
    discs and ellipses are. truncated="dont-care": a find on a don't-care object
    (it matches it, or its centre is within the box grown by r) is neither true
    nor false; truncated="target": those objects are targets like the others."""
    if task not in ("disc", "ellipse"):
        raise ValueError("task is 'disc' or 'ellipse'")
    targets: list = list(truth.discs) + (list(truth.ellipses) if task == "ellipse" else [])
    dont_care = list(truth.dont_care)
    if truncated == "target":
        targets += [Disc(d.x, d.y, d.r, False) for d in dont_care]
        dont_care = []
    test = disc_matches if task == "disc" else ellipse_matches
    matched: list = [None] * len(targets)
    out = Match()
    for find in finds:
        best, best_d = -1, math.inf
        for k, t in enumerate(targets):
            if matched[k] is None and test(find, t):
                d = math.hypot(find.x - t.x, find.y - t.y)
                if d < best_d:
                    best, best_d = k, d
        if best >= 0:
            matched[best] = find
            continue
        if any(test(find, d) or (d.box[0] - d.r <= find.x <= d.box[2] + d.r
                                 and d.box[1] - d.r <= find.y <= d.box[3] + d.r) for d in dont_care):
            out.dont_care += 1
            continue
        out.false += 1
        out.false_finds.append((find, _where(find, truth, task, targets, matched)))
    out.pairs = list(zip(targets, matched))
    out.found = sum(m is not None for m in matched)
    out.missed = len(targets) - out.found
    return out


# ---------------------------------------------------------------- OpenCV pipelines


@dataclass(frozen=True)
class Found:
    x: float
    y: float
    r: float
    score: float


@dataclass(frozen=True)
class FoundEllipse:
    x: float
    y: float
    a: float
    b: float
    theta: float
    score: float


# Tuned once (other seeds than the benchmark's, and the RoboCup frames), then frozen.
HSV_SETTINGS = {"hue_margin_deg": 20, "hue_percentiles": (2, 98), "sat_floor": 0.55, "sat_min": 60,
                "val_floor": 0.45, "val_min": 35}
CONTOUR_SETTINGS = {"open_kernel": 0, "close_kernel": 0, "fill_min": 0.7, "radius_offset": 0.5}
HOUGH_SETTINGS = {"method": "gradient_alt", "blur_sigma": 1.0, "dp": 1.5, "min_dist": 10, "canny": 300, "votes": 0.85,
                  "colour_min": 0.4}
ELLIPSE_SETTINGS = {"open_kernel": 0, "close_kernel": 0, "fill_min": 0.9, "axis_offset": 0.25, "min_points": 8}


def hsv_ranges(frame: np.ndarray, rect, hue_margin_deg, hue_percentiles, sat_floor, sat_min, val_floor,
               val_min) -> list[tuple[np.ndarray, np.ndarray]]:
    """OpenCV HSV inRange bounds from a rectangle's pixels: the hue band that holds
    the middle of them, widened by a margin; floors for saturation and value below
    the rectangle's low percentiles (shaded sides are darker and paler)."""
    x0, y0, x1, y1 = rect
    px = np.ascontiguousarray(frame[y0:y1, x0:x1]).reshape(-1, 1, 3)
    hsv = cv2.cvtColor(px, cv2.COLOR_RGB2HSV).reshape(-1, 3).astype(np.float64)
    ang = hsv[:, 0] * (2 * math.pi / 180)
    centre = (math.atan2(np.sin(ang).mean(), np.cos(ang).mean()) * 180 / (2 * math.pi)) % 180
    dev = (hsv[:, 0] - centre + 90) % 180 - 90
    margin = hue_margin_deg / 2  # OpenCV's hue is in units of 2 degrees
    lo = centre + np.percentile(dev, hue_percentiles[0]) - margin
    hi = centre + np.percentile(dev, hue_percentiles[1]) + margin
    s_lo = max(sat_min, np.percentile(hsv[:, 1], 5) * sat_floor)
    v_lo = max(val_min, np.percentile(hsv[:, 2], 5) * val_floor)
    lo, hi = math.floor(lo), math.ceil(hi)
    if hi - lo >= 179:
        spans = [(0, 179)]
    elif lo < 0:
        spans = [(0, hi), (lo + 180, 179)]
    elif hi > 179:
        spans = [(lo, 179), (0, hi - 180)]
    else:
        spans = [(lo, hi)]
    return [(np.array([a, s_lo, v_lo], np.uint8), np.array([b, 255, 255], np.uint8)) for a, b in spans]


def colour_mask(frame: np.ndarray, ranges) -> np.ndarray:
    hsv = cv2.cvtColor(frame, cv2.COLOR_RGB2HSV)
    mask = cv2.inRange(hsv, ranges[0][0], ranges[0][1])
    for lo, hi in ranges[1:]:
        mask |= cv2.inRange(hsv, lo, hi)
    return mask


def _disc_fill(mask, x, y, r) -> float:
    """Share of the disc's pixels (within the frame) that are in colour."""
    h, w = mask.shape
    x0, x1 = max(0, int(x - r)), min(w, int(x + r) + 2)
    y0, y1 = max(0, int(y - r)), min(h, int(y + r) + 2)
    if x0 >= x1 or y0 >= y1:
        return 0.0
    yy, xx = np.ogrid[y0:y1, x0:x1]
    inside = (xx - x) ** 2 + (yy - y) ** 2 <= r * r
    n = int(inside.sum())
    return float(np.count_nonzero(mask[y0:y1, x0:x1][inside])) / n if n else 0.0


def _kernel(size):
    return cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (size, size)) if size > 1 else None


def clean_mask(mask, open_kernel, close_kernel):
    """Open (drops specks and thin lines), then close (fills highlights, seams and
    JPEG holes inside a ball)."""
    if open_kernel is not None:
        mask = cv2.morphologyEx(mask, cv2.MORPH_OPEN, open_kernel)
    if close_kernel is not None:
        mask = cv2.morphologyEx(mask, cv2.MORPH_CLOSE, close_kernel)
    return mask


def contour_circles(ranges, min_r, max_r, open_kernel, close_kernel, fill_min, radius_offset):
    kopen, kclose = _kernel(open_kernel), _kernel(close_kernel)
    min_area = fill_min * math.pi * max(min_r - radius_offset, 1.0) ** 2 * 0.8

    def find(frame):
        mask = clean_mask(colour_mask(frame, ranges), kopen, kclose)
        contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        out = []
        for c in contours:
            if len(c) < 3 or cv2.contourArea(c) < min_area:
                continue
            (x, y), r = cv2.minEnclosingCircle(c)
            r += radius_offset  # contour points are pixel centres, inside the edge
            if not min_r <= r <= max_r:
                continue
            fill = _disc_fill(mask, x, y, r)
            if fill >= fill_min:
                out.append(Found(float(x), float(y), float(r), fill))
        out.sort(key=lambda f: -f.score)
        return out

    return find


def hough_circles(ranges, min_r, max_r, method, blur_sigma, dp, min_dist, canny, votes, colour_min):
    mode = {"gradient": cv2.HOUGH_GRADIENT, "gradient_alt": cv2.HOUGH_GRADIENT_ALT}[method]

    def find(frame):
        grey = cv2.cvtColor(frame, cv2.COLOR_RGB2GRAY)
        grey = cv2.GaussianBlur(grey, (0, 0), blur_sigma)
        circles = cv2.HoughCircles(grey, mode, dp, min_dist, param1=canny, param2=votes,
                                   minRadius=int(min_r), maxRadius=int(math.ceil(max_r)))
        if circles is None:
            return []
        mask = colour_mask(frame, ranges)
        out = []
        for x, y, r in circles[0]:
            share = _disc_fill(mask, float(x), float(y), float(r))
            if share >= colour_min:
                out.append(Found(float(x), float(y), float(r), share))
        return out  # HoughCircles' order: the strongest first

    return find


def contour_ellipses(ranges, min_r, max_r, open_kernel, close_kernel, fill_min, axis_offset, min_points):
    kopen, kclose = _kernel(open_kernel), _kernel(close_kernel)
    min_area = fill_min * math.pi * max(min_r - axis_offset, 1.0) ** 2 * 0.8

    def find(frame):
        mask = clean_mask(colour_mask(frame, ranges), kopen, kclose)
        contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
        h, w = mask.shape
        out = []
        for c in contours:
            if len(c) < min_points or cv2.contourArea(c) < min_area:
                continue
            (x, y), (dw, dh), ang = cv2.fitEllipse(c)
            a, b = dw / 2 + axis_offset, dh / 2 + axis_offset
            if not (min_r <= min(a, b) and max(a, b) <= max_r) or not (0 <= x < w and 0 <= y < h):
                continue
            # The fill test on the ellipse's box only: a whole-frame stencil per contour costs more than the rest.
            ext = int(max(a, b)) + 2
            x0, y0 = max(0, int(x) - ext), max(0, int(y) - ext)
            roi = mask[y0:min(h, int(y) + ext + 1), x0:min(w, int(x) + ext + 1)]
            stencil = np.zeros_like(roi)
            cv2.ellipse(stencil, ((x - x0, y - y0), (2 * a, 2 * b), ang), 255, -1)
            n = cv2.countNonZero(stencil)
            fill = cv2.countNonZero(roi & stencil) / n if n else 0.0
            if fill >= fill_min:
                out.append(FoundEllipse(float(x), float(y), float(a), float(b), math.radians(ang), fill))
        out.sort(key=lambda f: -f.score)
        return out

    return find


# ---------------------------------------------------------------- detectors


@dataclass(frozen=True)
class Detector:
    name: str
    task: str
    prepare: Callable  # (frame, rect, min_r, max_r) -> find(frame) -> list of finds
    peer: bool = True


def kf_detector(task: str, name: str | None = None, **options) -> Detector:
    """kestrune_find calibrated on the rectangle, with these options of find."""
    def kf_prepare(frame, rect, min_r, max_r):
        colour = kf.calibrate(frame, [tuple(int(v) for v in rect)])
        colour = getattr(colour, "colour", colour)  # a Colour, or a calibration report holding one
        finder = kf.Finder(seed=1)
        return lambda f: finder.find(f, task, colour, min_r=min_r, max_r=max_r, **options)
    return Detector(name or f"kestrune_find {task}", task, kf_prepare, peer=False)


def detectors(task: str) -> list[Detector]:
    out = []
    if kf is not None:
        out.append(kf_detector(task))
    if cv2 is not None:
        if task == "disc":
            out.append(Detector("OpenCV contours", task, lambda fr, rect, lo, hi: contour_circles(
                hsv_ranges(fr, rect, **HSV_SETTINGS), lo, hi, **CONTOUR_SETTINGS)))
            out.append(Detector("OpenCV HoughCircles", task, lambda fr, rect, lo, hi: hough_circles(
                hsv_ranges(fr, rect, **HSV_SETTINGS), lo, hi, **HOUGH_SETTINGS)))
        else:
            out.append(Detector("OpenCV fitEllipse", task, lambda fr, rect, lo, hi: contour_ellipses(
                hsv_ranges(fr, rect, **HSV_SETTINGS), lo, hi, **ELLIPSE_SETTINGS)))
    return out


# ---------------------------------------------------------------- running


@dataclass
class Tally:
    """Sums over the frames of one set, for one detector and one way of counting."""
    frames: int = 0
    empty_frames: int = 0
    found: int = 0
    missed: int = 0
    false: int = 0
    false_on_empty: int = 0
    dont_care: int = 0
    centre: list = field(default_factory=list)
    radius: list = field(default_factory=list)   # signed: found - true (disc); mean of the semi-axes (ellipse)
    big_centre: list = field(default_factory=list)   # the same for clean targets of r >= 15
    big_radius: list = field(default_factory=list)
    ms: list = field(default_factory=list)
    right: list = field(default_factory=list)    # per frame: every target found, nothing false
    by_condition: dict = field(default_factory=dict)  # condition -> [found, total]
    false_where: Counter = field(default_factory=Counter)

    def add(self, m: Match, truth: Truth, task: str, ms: float) -> None:
        self.frames += 1
        is_empty = not truth.discs and not truth.ellipses and not truth.dont_care
        self.empty_frames += is_empty
        self.found += m.found
        self.missed += m.missed
        self.false += m.false
        self.false_on_empty += m.false if is_empty else 0
        self.dont_care += m.dont_care
        self.ms.append(ms)
        self.right.append(m.right)
        for where in (w for _, w in m.false_finds):
            self.false_where[where] += 1
        for t, f in m.pairs:
            for cond in conditions(t):
                c = self.by_condition.setdefault(cond, [0, 0])
                c[0] += f is not None
                c[1] += 1
            if f is None or not getattr(t, "clean", False):
                continue
            ce = math.hypot(f.x - t.x, f.y - t.y)
            if task == "disc":
                re = float(f.r) - t.r
                size = t.r
            else:
                fa, fb, _ = _axes(f)
                ta, tb, _ = _axes(t)
                re = (sum(sorted((fa, fb))) - sum(sorted((ta, tb)))) / 2
                size = min(ta, tb)
            self.centre.append(ce)
            self.radius.append(re)
            if size >= 15:
                self.big_centre.append(ce)
                self.big_radius.append(re)

    @property
    def recall(self):
        n = self.found + self.missed
        return self.found / n if n else math.nan

    @property
    def precision(self):
        n = self.found + self.false
        return self.found / n if n else math.nan

    @property
    def f1(self):
        p, r = self.precision, self.recall
        if math.isnan(p) or math.isnan(r):
            return math.nan
        return 2 * p * r / (p + r) if p + r else 0.0

    def summary(self) -> dict:
        return {"frames": self.frames, "targets": self.found + self.missed, "found": self.found,
                "missed": self.missed, "false": self.false, "dont_care": self.dont_care,
                "empty_frames": self.empty_frames,
                "false_per_empty": _r(self.false_on_empty / self.empty_frames) if self.empty_frames else None,
                "recall": _r(self.recall), "precision": _r(self.precision), "f1": _r(self.f1),
                "centre_median": _r(_pct(self.centre, 50)), "centre_p90": _r(_pct(self.centre, 90)),
                "radius_median": _r(_pct(self.radius, 50)), "radius_p90": _r(_pct(np.abs(self.radius), 90)),
                "clean_r15": len(self.big_centre),
                "clean_r15_centre_median": _r(_pct(self.big_centre, 50)),
                "clean_r15_radius_median": _r(_pct(self.big_radius, 50)),
                "ms_per_frame": _r(statistics.median(self.ms)) if self.ms else None,
                "recall_by_condition": {k: [v[0], v[1]] for k, v in sorted(self.by_condition.items())},
                "false_by_place": dict(self.false_where.most_common())}


def conditions(t) -> list[str]:
    if isinstance(t, Ellipse):
        return ["ellipse"]
    out = ["disc"]
    if getattr(t, "clean", False):
        out.append("clean")
    if t.r < 10:
        out.append("r<10")
    if getattr(t, "touching", False):
        out.append("touching")
    elif getattr(t, "occluded", 0.0) > 0.01:
        out.append("occluded")
    if getattr(t, "border", False):
        out.append("border")
    return out


def _pct(values, q):
    return float(np.percentile(values, q)) if len(values) else math.nan


def _r(v, nd=4):
    return None if v is None or (isinstance(v, float) and math.isnan(v)) else round(float(v), nd)


def evaluate(items, dets: list[Detector], calib_frame, rect, min_r, max_r, repeat: int,
             countings=("dont-care",)) -> dict[tuple[str, str], Tally]:
    """Runs every detector on every frame, interleaved (one frame, all detectors,
    the order turning from frame to frame), repeat times each; the first call's
    finds are matched and the median time kept. items: (frame, truth)."""
    finders = []
    for d in dets:
        try:
            finders.append((d, d.prepare(calib_frame, rect, min_r, max_r)))
        except Exception as error:
            if d.peer:
                raise
            print(f"note: {d.name} failed to calibrate ({error!r}); left out")
    tallies = {(d.name, c): Tally() for d, _ in finders for c in countings}
    broken: set[str] = set()
    for i, (frame, truth) in enumerate(items):
        k = i % max(1, len(finders))
        for d, find in finders[k:] + finders[:k]:
            if d.name in broken:
                continue
            times, finds = [], None
            try:
                for _ in range(repeat):
                    t0 = time.perf_counter()
                    out = find(frame)
                    times.append((time.perf_counter() - t0) * 1000)
                    finds = out if finds is None else finds
            except Exception as error:
                if d.peer:
                    raise
                # The detector under development may still fail: say so, keep the peers' rows.
                print(f"note: {d.name} failed on frame {i} ({error!r}); left out")
                broken.add(d.name)
                continue
            ms = statistics.median(times)
            for c in countings:
                tallies[(d.name, c)].add(match(finds, truth, d.task, c), truth, d.task, ms)
    return {key: t for key, t in tallies.items() if key[0] not in broken}


# ---------------------------------------------------------------- printing


def fmt(v, nd=3):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    return f"{v:.{nd}f}"


def print_table(headers, rows, numeric_from=2):
    widths = [max(len(str(r[k])) for r in [headers] + rows) for k in range(len(headers))]
    for r in [headers] + rows:
        print("  ".join(str(c).rjust(widths[k]) if k >= numeric_from else str(c).ljust(widths[k])
                        for k, c in enumerate(r)))


QUALITY_HEADERS = ["set", "detector", "frames", "targets", "recall", "precision", "F1", "false/empty",
                   "ctr med", "ctr p90", "rad med", "rad p90", "ms/frame"]


def quality_row(set_name, det_name, s: dict):
    return [set_name, det_name, s["frames"], s["targets"], fmt(s["recall"]), fmt(s["precision"]), fmt(s["f1"]),
            fmt(s["false_per_empty"]), fmt(s["centre_median"], 2), fmt(s["centre_p90"], 2),
            fmt(s["radius_median"], 2), fmt(s["radius_p90"], 2), fmt(s["ms_per_frame"], 2)]


def timing_rows(set_name, benchmark, tallies, counting, kf_name, peers):
    """compare.py rows: kestrune_find against each peer over the frames the peer got right."""
    rows, printed = [], []
    if (kf_name, counting) not in tallies:
        return rows, printed
    mine = tallies[(kf_name, counting)]
    for peer in peers:
        if (peer, counting) not in tallies:
            continue
        other = tallies[(peer, counting)]
        keep = [i for i, ok in enumerate(other.right) if ok]
        k_ms = statistics.median([mine.ms[i] for i in keep]) if keep else statistics.median(mine.ms)
        o_ms = statistics.median([other.ms[i] for i in keep]) if keep else None
        rows.append(jsonreport.row(benchmark, kf_name, k_ms * 1000, peer, "peer",
                                   None if o_ms is None else o_ms * 1000))
        printed.append([set_name, kf_name, peer, f"{len(keep)}/{other.frames}", fmt(k_ms, 2), fmt(o_ms, 2),
                        "-" if o_ms is None else f"{o_ms / k_ms:.2f}x"])
    return rows, printed


# ---------------------------------------------------------------- the sets


GENERATED_COLOURS = ("yellow", "orange", "red", "green", "blue", "pink", "purple", "cyan")
RANGE_640 = (8, 120)     # the discs drawn have radii 10..90
RANGE_1080 = (18, 250)   # 22..190
RANGE_ROBOCUP = (10, 130)  # annotated balls: 3.6..99; below 10 px a ball is as likely a speck


def generated_sets(total: int, seed: int, size=(480, 640), colours=GENERATED_COLOURS, empty_every=4):
    per = max(2, math.ceil(total / len(colours)))
    return [(c, scenes.scene_set(c, per, seed, size, empty_every)) for c in colours]


def run_generated(label, sets, task, min_r, max_r, repeat):
    """Every set calibrated on its first frame; tallies summed over the sets."""
    return run_calibrated(label, [(colour, items[0], items) for colour, items in sets], task, min_r, max_r, repeat)


def run_calibrated(label, sets, task, min_r, max_r, repeat):
    """Sets of (colour, (frame, truth) to calibrate on, items), each calibrated on
    the largest clean disc of its frame; tallies summed over the sets."""
    dets = detectors(task)
    total: dict[tuple[str, str], Tally] = {}
    for colour, (frame0, truth0), items in sets:
        rect = truth0.calibration_rect()
        if rect is None:
            print(f"note: {label} {colour}: no clean disc to calibrate on; set skipped")
            continue
        part = evaluate(items, dets, frame0, rect, min_r, max_r, repeat)
        for key, t in part.items():
            total.setdefault(key, Tally())
            merge(total[key], t)
    return total


def merge(into: Tally, t: Tally) -> None:
    for name in ("frames", "empty_frames", "found", "missed", "false", "false_on_empty", "dont_care"):
        setattr(into, name, getattr(into, name) + getattr(t, name))
    for name in ("centre", "radius", "big_centre", "big_radius", "ms", "right"):
        getattr(into, name).extend(getattr(t, name))
    for k, v in t.by_condition.items():
        c = into.by_condition.setdefault(k, [0, 0])
        c[0] += v[0]
        c[1] += v[1]
    into.false_where.update(t.false_where)


def composition(sets) -> str:
    """What the generated frames hold, in one line."""
    truths = [t for _, items in sets for _, t in items]
    discs = [d for t in truths for d in t.discs]
    kinds = Counter(d.kind for t in truths for d in t.distractors)
    return (f"  {len(truths)} frames ({sum(not t.discs and not t.ellipses for t in truths)} without targets): "
            f"{len(discs)} discs ({sum(d.clean for d in discs)} clean, {sum(d.r < 10 for d in discs)} of r < 10, "
            f"{sum(d.occluded > 0.01 and not d.touching for d in discs)} occluded, {sum(d.touching for d in discs)} "
            f"in touching pairs, {sum(d.border for d in discs)} cut by the border), "
            f"{sum(len(t.ellipses) for t in truths)} ellipses; distractors: "
            + ", ".join(f"{k} {v}" for k, v in kinds.most_common()))


def settings_text() -> list[str]:
    return [f"HSV bounds from the rectangle: {HSV_SETTINGS}",
            f"contours: {CONTOUR_SETTINGS}",
            f"HoughCircles: {HOUGH_SETTINGS} (canny: param1, votes: param2)",
            f"fitEllipse: {ELLIPSE_SETTINGS}"]


# ---------------------------------------------------------------- the hard cases


CASE_FRAMES, CASE_EMPTY = 40, 20  # per case, shared among the 8 colours
CASE_RANGES = {"small": (5, 120)}  # whoever expects balls of 6 px asks for them; the others: RANGE_640


def case_sets(case: str, n: int, n_empty: int, seed: int, colours=GENERATED_COLOURS):
    """(colour, (frame, truth) to calibrate on, items) per colour: n frames of the
    case and n_empty without balls in all, shared among the colours."""
    per, per_empty = max(1, math.ceil(n / len(colours))), math.ceil(n_empty / len(colours))
    return [(c, *cases.case_set(case, c, per, per_empty, seed)) for c in colours]


def case_composition(case, sets) -> str:
    """What one case's frames hold, in one line."""
    truths = [t for _, _, items in sets for _, t in items]
    discs = [d for t in truths for d in t.discs]
    return (f"  {case}: {len(truths)} frames ({sum(not t.discs and not t.dont_care for t in truths)} without balls): "
            f"{len(discs)} balls ({sum(d.occluded > 0.01 for d in discs)} partly hidden, "
            f"{sum(d.touching for d in discs)} touching another, {sum(d.r < 10 for d in discs)} of r < 10), "
            f"{sum(len(t.dont_care) for t in truths)} don't care")


def run_cases(names, n, n_empty, seed, repeat) -> dict[str, dict]:
    """The disc task on each case's sets: {case: tallies}."""
    out = {}
    for case in names:
        t0 = time.perf_counter()
        sets = case_sets(case, n, n_empty, seed)
        print(case_composition(case, sets) + f"; drawn in {time.perf_counter() - t0:.1f} s")
        out[case] = run_calibrated(f"case {case}", sets, "disc", *CASE_RANGES.get(case, RANGE_640), repeat)
    return out


def case_breakdown(results) -> list[list]:
    """Per case and detector: balls found (all, partly hidden, touching), finds
    on don't-care balls, and where the false finds landed."""
    rows = []
    for case, tallies in results.items():
        for (det, counting), t in tallies.items():
            if counting != "dont-care":
                continue
            got = [f"{t.by_condition.get(c, [0, 0])[0]}/{t.by_condition.get(c, [0, 0])[1]}"
                   for c in ("disc", "occluded", "touching")]
            places = ", ".join(f"{k} {v}" for k, v in t.false_where.most_common()) or "-"
            rows.append([case, det] + got + [t.dont_care, fmt(t.false_on_empty / t.empty_frames if t.empty_frames
                                                              else None), places])
    return rows


CASE_HEADERS = ["case", "detector", "found", "hidden found", "touching found", "on don't-care", "false/empty",
                "false finds"]


def selected_cases(text: str) -> list[str]:
    names = [] if text == "none" else list(cases.CASES) if text == "all" else [c.strip() for c in text.split(",")]
    unknown = [c for c in names if c not in cases.CASES]
    if unknown:
        raise SystemExit(f"unknown case(s) {unknown}; the cases: {', '.join(cases.CASES)}, all or none")
    return names


# ---------------------------------------------------------------- calibration from several samples


SAMPLE_FRAMES = 5
PALE = 0.45  # the pale balls' saturation, as a share of the saturated ones'


def shows_its_colour(frame, rect) -> bool:
    """Whether most of a rectangle shows a colour, as a user drawing it would
    see: not a ball in deep shadow, washed out or behind a robot."""
    x0, y0, x1, y1 = rect
    px = frame[y0:y1, x0:x1].reshape(-1, 3).astype(np.float64) / 256
    r, g, b = px[:, 0], px[:, 1], px[:, 2]
    chroma = np.hypot(r - g / 2 - b / 2, math.sqrt(3) / 2 * (g - b))
    intensity = px.mean(axis=1)
    return float(np.mean((chroma >= 0.08) & (intensity > 0.1) & (intensity < 0.9))) >= 0.8


def spread_samples(items, groups=None, n=SAMPLE_FRAMES, min_r=15.0):
    """(index, rectangle) of the largest clean ball of n frames spread over the
    items (frame, truth): per group of consecutive indices (RoboCup's recording
    sets; by default n equal parts), the frame nearest the group's middle that
    has a clean ball of radius >= min_r whose rectangle shows its colour."""
    if groups is None:
        bounds = [round(k * len(items) / n) for k in range(n + 1)]
        groups = [list(range(a, b)) for a, b in zip(bounds, bounds[1:]) if b > a]
    out = []
    for group in groups:
        middle = (len(group) - 1) / 2
        for pos in sorted(range(len(group)), key=lambda p: (abs(p - middle), p)):
            rect = items[group[pos]][1].calibration_rect(min_r)
            if rect is not None and shows_its_colour(items[group[pos]][0], rect):
                out.append((group[pos], rect))
                break
    return out


def kf_samples_detector(task, samples, name, info, **calibrate_options) -> Detector:
    """kestrune_find calibrated on several samples (frame, [rect]) at once; what the
    calibration made of them (sectors, widening) goes into `info`."""
    def prepare(frame, rect, min_r, max_r):
        cal = kf.calibrate(samples, **calibrate_options)
        info.update(sectors=len(getattr(cal.colour, "sectors", (cal.colour,))), widening=cal.widening)
        finder = kf.Finder(seed=1)
        return lambda f: finder.find(f, task, cal.colour, min_r=min_r, max_r=max_r)
    return Detector(name, task, prepare, peer=False)


def calibration_rows(label, sets, min_r, max_r, sample_groups=None, singles=()):
    """Rows of the calibration table for sets of (frame, truth) items, summed over
    the sets: the colour from the first frame's ball (or each of `singles`, one
    (set index, frame index) each), from five balls of frames spread over the set,
    and the same five in one sector only."""
    kinds = [("one ball", None)] if not singles else [(f"one ball: {name}", (s, k)) for name, s, k in singles]
    kinds += [(f"{SAMPLE_FRAMES} balls", "spread"), (f"{SAMPLE_FRAMES} balls, one sector", "spread1")]
    rows = []
    for kind, how in kinds:
        total, infos = Tally(), []
        for s, items in enumerate(sets):
            pairs = [(f, t) for f, t in items]
            info: dict = {}
            if how in ("spread", "spread1"):
                picks = spread_samples(pairs, None if sample_groups is None else sample_groups[s])
                samples = [(pairs[k][0], [rect]) for k, rect in picks]
                det = kf_samples_detector("disc", samples, kind, info, max_sectors=1 if how == "spread1" else 3)
                frame, rect = None, None
            else:
                k = 0 if how is None else how[1]
                if how is not None and how[0] != s:
                    continue
                rect = pairs[k][1].calibration_rect()
                if rect is None:
                    continue
                det = kf_samples_detector("disc", [(pairs[k][0], [rect])], kind, info)
                frame = pairs[k][0]
            part = evaluate(pairs, [det], frame, rect, min_r, max_r, 1)
            if (kind, "dont-care") in part:
                merge(total, part[(kind, "dont-care")])
                infos.append(info)
        s = total.summary()
        sectors = "/".join(str(i.get("sectors", "-")) for i in infos)
        widening = "/".join(f"{i['widening']:.2f}" for i in infos if "widening" in i)
        rows.append([label, kind, sectors if len(infos) <= 8 else f"{max(i.get('sectors', 1) for i in infos)} max",
                     widening if len(infos) <= 1 else "-", s["frames"], s["targets"], fmt(s["recall"]),
                     fmt(s["precision"]), fmt(s["f1"]), fmt(total.false / max(total.frames, 1)),
                     fmt(s["false_per_empty"])])
    return rows


def pale_sets(total: int, seed: int, colours=("yellow", "orange", "green", "blue")):
    """Sets of one colour whose balls are, frame by frame, saturated or pale
    (a worn or differently dyed ball of the same kind): the first frame's is
    saturated."""
    per = max(2, math.ceil(total / len(colours)))
    out = []
    for c in colours:
        rng = np.random.default_rng([seed, 99, scenes.KINDS.index("mixed"), list(scenes.COLOURS).index(c)])
        rgb = scenes.set_colour(c, rng)
        h, s, v = scenes._hsv_of(rgb)
        pale = tuple(float(x) for x in scenes.hsv_rgb(h, s * PALE, min(1.0, v * 1.05)))
        base = int(rng.integers(2**31))
        items = [scenes.make_scene(base + i, "empty" if i % 4 == 3 else "mixed", (480, 640),
                                   pale if i % 2 else rgb, calibration=(i == 0)) for i in range(per)]
        out.append((c, items))
    return out


def run_calibration(args, n_scenes) -> list[list]:
    """The calibration table: one ball against five on RoboCup and generated sets."""
    rows = []
    if (args.robocup / "gt.json").exists():
        items = robocup.load(args.robocup)
        pairs = [(f, t) for _, f, t in items]
        days = sorted({robocup.recording_set(n) for n, _, _ in items})
        groups = [[k for k, (n, _, _) in enumerate(items) if robocup.recording_set(n) == d] for d in days]
        singles = [(robocup.recording_set(c), 0, next(k for k, (n, _, _) in enumerate(items) if n == c))
                   for c in robocup.CALIBRATIONS]
        picks = spread_samples(pairs, groups)
        print("RoboCup samples: " + ", ".join(f"{Path(items[k][0]).name} {rect}" for k, rect in picks))
        rows += calibration_rows("RoboCup", [pairs], *RANGE_ROBOCUP, [groups], singles)
    t0 = time.perf_counter()
    gen = generated_sets(n_scenes, args.seed)
    pale = pale_sets(max(16, n_scenes // 2), args.seed)
    print(f"generated {sum(len(s) for _, s in gen + pale)} frames in {time.perf_counter() - t0:.1f} s")
    rows += calibration_rows("generated 640x480", [items for _, items in gen], *RANGE_640)
    rows += calibration_rows("generated, pale and saturated", [items for _, items in pale], *RANGE_640)
    return rows


CALIBRATION_HEADERS = ["set", "calibrated on", "sectors", "widening", "frames", "targets", "recall", "precision",
                       "F1", "false/frame", "false/empty"]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer scenes and repeats (well under a minute)")
    ap.add_argument("--json", type=Path, help="write the rows for compare.py and the quality tables here")
    ap.add_argument("--scenes", type=int, help="generated 640x480 frames, shared among 8 colours (default 320, "
                    "--quick 48)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the generated scenes")
    ap.add_argument("--robocup", type=Path, default=robocup.DEFAULT_DIR, help="the annotated RoboCup folder")
    ap.add_argument("--calibrate-on", default=robocup.DEFAULT_CALIBRATION,
                    help="the RoboCup frame whose largest whole ball gives the colour")
    ap.add_argument("--calibration-only", action="store_true",
                    help="only the calibration table: one ball against five (kestrune_find, no timings)")
    ap.add_argument("--cases", default="all", help="the hard cases to run, comma-separated: "
                    f"{', '.join(cases.CASES)}; all (default) or none")
    ap.add_argument("--cases-only", action="store_true", help="only the hard cases' rows")
    ap.add_argument("--case-frames", type=int, help=f"frames per case, shared among 8 colours (default {CASE_FRAMES}, "
                    "--quick 16)")
    ap.add_argument("--case-empty", type=int, help=f"frames per case without balls (default {CASE_EMPTY}, --quick 8)")
    args = ap.parse_args(argv)
    n_scenes = args.scenes or (48 if args.quick else 320)
    repeat = 1 if args.quick else 3
    case_names = selected_cases(args.cases)
    n_case = args.case_frames if args.case_frames is not None else 16 if args.quick else CASE_FRAMES
    n_case_empty = args.case_empty if args.case_empty is not None else 8 if args.quick else CASE_EMPTY
    if cv2 is not None:
        cv2.setNumThreads(1)
    if args.calibration_only:
        if kf is None:
            print(f"kestrune_find does not import ({KF_MISSING})")
            return 1
        print_table(CALIBRATION_HEADERS, run_calibration(args, n_scenes))
        return 0

    print(f"machine: {jsonreport.machine()}")
    if kf is None:
        print(f"note: kestrune_find does not import ({KF_MISSING}); OpenCV rows only")
    if cv2 is None:
        print("note: OpenCV is not installed; no peer rows")
    print("OpenCV settings (frozen):")
    for line in settings_text():
        print(f"  {line}")
    print("match: centre within max(3, 0.35 r), radius within 30 %; ellipses: axes within 30 %, angle 15 deg\n")

    quality: list[dict] = []
    rows: list[dict] = []
    timing_printed: list[list] = []
    table: list[list] = []
    kf_disc, kf_ell = "kestrune_find disc", "kestrune_find ellipse"

    def record(set_name, tallies, counting="dont-care", label=None):
        for (det, c), t in tallies.items():
            if c != counting:
                continue
            s = t.summary()
            quality.append({"set": label or set_name, "detector": det, **s})
            table.append(quality_row(label or set_name, det, s))

    def hard_cases():
        """The hard cases' rows; their breakdown, for printing after the quality table."""
        if not case_names:
            return []
        print(f"hard cases, 640x480 (seed {args.seed}; each colour calibrated on a frame of clean balls):")
        results = run_cases(case_names, n_case, n_case_empty, args.seed, repeat)
        for case, tallies in results.items():
            record(f"case {case}", tallies)
        return case_breakdown(results)

    if args.cases_only:
        breakdown = hard_cases()
        print()
        print_table(QUALITY_HEADERS, table)
        print("\nhard cases, disc task: balls found, finds on don't-care balls, false finds by where they landed")
        print_table(CASE_HEADERS, breakdown)
        write_json(args.json, [], quality)
        return 0

    # Generated scenes, 640x480: the disc task and the ellipse task on the same frames.
    t0 = time.perf_counter()
    sets = generated_sets(n_scenes, args.seed)
    print(f"generated {sum(len(s) for _, s in sets)} frames 640x480 in {time.perf_counter() - t0:.1f} s "
          f"({len(sets)} colours, every 4th frame empty, seed {args.seed})")
    print(composition(sets))
    gen = run_generated("generated", sets, "disc", *RANGE_640, repeat)
    record("generated 640x480", gen)
    r, p = timing_rows("generated 640x480", "detect 640x480 ms/frame", gen, "dont-care", kf_disc,
                       ["OpenCV contours", "OpenCV HoughCircles"])
    rows += r
    timing_printed += p
    gen_ell = run_generated("generated", sets, "ellipse", *RANGE_640, repeat)
    record("generated 640x480 ellipse task", gen_ell)
    r, p = timing_rows("generated 640x480 ellipses", "detect ellipse 640x480 ms/frame", gen_ell, "dont-care",
                       kf_ell, ["OpenCV fitEllipse"])
    rows += r
    timing_printed += p

    # 1920x1080 frames, for the speed rows (and their answers).
    n_big = 2 if args.quick else 4
    big = generated_sets(n_big * 4, args.seed + 1000, (1080, 1920), ("yellow", "red", "green", "blue"), empty_every=0)
    gen_big = run_generated("generated 1080p", big, "disc", *RANGE_1080, repeat)
    record("generated 1920x1080", gen_big)
    r, p = timing_rows("generated 1920x1080", "detect 1920x1080 ms/frame", gen_big, "dont-care", kf_disc,
                       ["OpenCV contours", "OpenCV HoughCircles"])
    rows += r
    timing_printed += p

    breakdown = hard_cases()

    # RoboCup frames, calibrated once on one ball.
    robustness: list[list] = []
    if (args.robocup / "gt.json").exists():
        items = robocup.load(args.robocup)
        name, frame0, truth0 = robocup.find_entry(items, args.calibrate_on)
        rect = robocup.calibration_rect(truth0)
        print(f"RoboCup: {len(items)} frames from {args.robocup}, calibrated on {name} rectangle {rect}")
        dets = detectors("disc")
        if kf is not None and "stretch" in inspect.signature(kf.Finder.find).parameters:
            # The robots' wide lenses stretch balls near the frame's edges: what a user of such a camera sets.
            dets.insert(1, kf_detector("disc", "kestrune_find disc, stretch 1.5", stretch=1.5))
        pairs = [(f, t) for _, f, t in items]
        rc = evaluate(pairs, dets, frame0, rect, *RANGE_ROBOCUP, repeat, countings=("dont-care", "target"))
        record("RoboCup", rc, "dont-care", "RoboCup (truncated: don't care)")
        record("RoboCup", rc, "target", "RoboCup (truncated = targets)")
        r, p = timing_rows("RoboCup 608x800", "detect RoboCup 608x800 ms/frame", rc, "dont-care", kf_disc,
                           ["OpenCV contours", "OpenCV HoughCircles"])
        rows += r
        timing_printed += p
        # The same with the colour taken from one ball of each recording set.
        sub = pairs[::6] if args.quick else pairs
        for cal in robocup.CALIBRATIONS:
            cname, cframe, ctruth = robocup.find_entry(items, cal)
            crect = robocup.calibration_rect(ctruth)
            res = evaluate(sub, dets, cframe, crect, *RANGE_ROBOCUP, 1)
            row = [robocup.recording_set(cname), Path(cname).name, str(crect)]
            for d in dets:
                if (d.name, "dont-care") not in res:
                    row.append("failed")
                    continue
                s = res[(d.name, "dont-care")].summary()
                row.append(fmt(s["f1"]))
                quality.append({"set": f"RoboCup calibrated on {cname}", "detector": d.name, **s})
            robustness.append(row)
        robust_headers = ["set", "calibrated on", "rectangle"] + [f"F1 {d.name}" for d in dets]
        robust_note = f"{len(sub)} frames" + (" (every 6th, --quick)" if args.quick else "")
    else:
        print(f"note: no RoboCup frames at {args.robocup}; skipped")

    print()
    print_table(QUALITY_HEADERS, table)
    print("\nctr: centre error (px), rad: radius error (px; median signed, p90 of |error|), over clean targets; "
          "ms/frame: median, one thread")

    # Where the generated discs were missed and the false finds landed.
    print("\ngenerated 640x480, disc task: recall by kind of target / false finds by where they landed")
    conds = ["clean", "r<10", "occluded", "touching", "border"]
    det_names = [d for d, c in gen if c == "dont-care"]
    brows = []
    for det in det_names:
        t = gen[(det, "dont-care")]
        rec = [f"{t.by_condition.get(c, [0, 0])[0]}/{t.by_condition.get(c, [0, 0])[1]}" for c in conds]
        places = ", ".join(f"{k} {v}" for k, v in t.false_where.most_common()) or "-"
        brows.append([det] + rec + [places])
    print_table(["detector"] + conds + ["false finds"], brows, numeric_from=1)

    print("\nclean targets of radius >= 15 px (generated 640x480, disc task)")
    arows = []
    for det in det_names:
        t = gen[(det, "dont-care")]
        arows.append([det, len(t.big_centre), fmt(_pct(t.big_centre, 50), 2), fmt(_pct(t.big_centre, 90), 2),
                      fmt(_pct(t.big_radius, 50), 2), fmt(_pct(np.abs(t.big_radius), 90), 2)])
    print_table(["detector", "discs", "ctr med", "ctr p90", "rad med", "rad p90"], arows, numeric_from=1)

    if breakdown:
        print("\nhard cases, disc task: balls found, finds on don't-care balls, false finds by where they landed")
        print_table(CASE_HEADERS, breakdown)

    if robustness:
        print(f"\nRoboCup F1 by calibration ball ({robust_note}; truncated balls don't care)")
        print_table(robust_headers, robustness, numeric_from=3)

    if kf is not None:
        print("\nkestrune_find calibrated on one ball or on five (largest clean ball of five frames spread over "
              "the set; RoboCup: one per recording set); truncated balls don't care")
        print_table(CALIBRATION_HEADERS, run_calibration(args, n_scenes))

    if timing_printed:
        print("\nspeed, one thread: median ms/frame over the frames the peer got right")
        print_table(["set", "kestrune", "peer", "frames", "ms", "peer ms", "peer/kestrune"], timing_printed,
                    numeric_from=3)

    write_json(args.json, rows, quality)
    return 0


def write_json(path, rows, quality) -> None:
    if not path:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"machine": jsonreport.machine(), "rows": rows, "quality": quality,
                                "settings": {"hsv": HSV_SETTINGS, "contours": CONTOUR_SETTINGS,
                                             "hough": HOUGH_SETTINGS, "ellipse": ELLIPSE_SETTINGS}},
                               indent=1, default=str))
    print(f"\nwrote {path}")


if __name__ == "__main__":
    sys.exit(main())
