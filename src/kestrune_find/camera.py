"""Finding shapes in live frames: a region of interest that follows the
finds, and the loop over an OpenCV capture (a camera or a video file).

`Tracker` needs only NumPy: give it frames, get finds. After a verified
find it searches only a region around the last finds, which is much smaller
than the frame; it searches the whole frame again when the region loses a
find and every `full_every` frames, so that new shapes are picked up.
"""
from __future__ import annotations

import dataclasses
import math
import os
import time
from collections import Counter, OrderedDict
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .batch import Options, check_requests
from .colours import Colour
from .io import require
from .finder import Finder, check_frame
from .options import FindOptions
from .shapes import Band, Disc, Ellipse, Shape

Frame = npt.NDArray[np.uint8]
Box = tuple[int, int, int, int]  # x0, y0, x1, y1; x1 and y1 exclusive

#: Regions are rounded up to multiples of this, so that a few finders (one
#: per region size, each with its buffers) serve every region.
REGION_STEP = 64
#: At most this many region sizes keep their finder.
REGION_FINDERS = 8


class CameraError(RuntimeError):
    """A source that cannot be opened or read."""


def extent(shape: Shape) -> tuple[float, float, float, float]:
    """The box (x0, y0, x1, y1) around a found shape, the part seen of a band."""
    if isinstance(shape, Disc):
        return shape.x - shape.r, shape.y - shape.r, shape.x + shape.r, shape.y + shape.r
    if isinstance(shape, Ellipse):
        c, s = math.cos(shape.theta), math.sin(shape.theta)
        hw = math.hypot(shape.a * c, shape.b * s)
        hh = math.hypot(shape.a * s, shape.b * c)
        return shape.x - hw, shape.y - hh, shape.x + hw, shape.y + hh
    (x0, y0), (x1, y1) = shape.ends
    half = shape.width / 2.0
    return min(x0, x1) - half, min(y0, y1) - half, max(x0, x1) + half, max(y0, y1) + half


def shifted(shape: Shape, dx: float, dy: float) -> Shape:
    """The same shape moved by (dx, dy): from region to frame coordinates."""
    if isinstance(shape, Band):
        return dataclasses.replace(shape, px=shape.px + dx, py=shape.py + dy)
    return dataclasses.replace(shape, x=shape.x + dx, y=shape.y + dy)


def region(shapes: Sequence[Shape], height: int, width: int, margin: float) -> Box:
    """The box around `shapes`, grown by `margin` pixels and by half the
    shapes' size (room to move between frames), its sides rounded up to
    REGION_STEP and kept inside the frame."""
    boxes = [extent(s) for s in shapes]
    x0, y0 = min(b[0] for b in boxes), min(b[1] for b in boxes)
    x1, y1 = max(b[2] for b in boxes), max(b[3] for b in boxes)
    grow = margin + 0.5 * max(x1 - x0, y1 - y0)
    w = min(width, REGION_STEP * math.ceil((x1 - x0 + 2.0 * grow) / REGION_STEP))
    h = min(height, REGION_STEP * math.ceil((y1 - y0 + 2.0 * grow) / REGION_STEP))
    left = int(round((x0 + x1) / 2.0 - w / 2.0))
    top = int(round((y0 + y1) / 2.0 - h / 2.0))
    left, top = min(max(left, 0), width - w), min(max(top, 0), height - h)
    return left, top, left + w, top + h


@dataclass
class Tracker:
    """Finds `requests` ((shape, colour) pairs) in frame after frame.

    bgr: frames are B, G, R (as OpenCV gives them). seed: as for Finder: the
    same frames give the same finds. full_every: frames between searches of
    the whole frame while finds are followed in a region. margin: pixels
    around the last finds that the region adds. options: FindOptions, or a
    mapping of its fields.
    """

    requests: Sequence[tuple[str, Colour | str]]
    bgr: bool = False
    seed: int = 0
    full_every: int = 30
    margin: float = 24.0
    options: Options = None
    #: ms per stage of the last frame, summed over the requests.
    timings: dict[str, float] = field(default_factory=dict, init=False)
    #: how many requests the last frame searched in a region only.
    regional: int = field(default=0, init=False)

    def __post_init__(self) -> None:
        self._requests = check_requests(self.requests)
        self._options = FindOptions.of(self.options)
        if isinstance(self.full_every, bool) or not isinstance(self.full_every, int) or self.full_every < 1:
            raise ValueError(f"full_every must be a positive integer, got {self.full_every!r}")
        if not isinstance(self.margin, (int, float)) or not 0 <= self.margin < math.inf:
            raise ValueError(f"margin must be a non-negative number, got {self.margin!r}")
        self._full = Finder(bgr=self.bgr, seed=self.seed)
        self._regions: OrderedDict[tuple[int, int], Finder] = OrderedDict()
        self._last: list[list[Shape]] = [[] for _ in self._requests]
        self._crop: npt.NDArray[np.uint8] | None = None
        self._count = 0

    def _region_finder(self, height: int, width: int) -> Finder:
        finder = self._regions.pop((height, width), None)
        if finder is None:
            # The whole frame's scan spacing, so that a region sees the rows
            # and columns density the full search does.
            finder = Finder(bgr=self.bgr, seed=self.seed, spacing=self._spacing)
            if len(self._regions) >= REGION_FINDERS:
                self._regions.popitem(last=False)
        self._regions[height, width] = finder
        return finder

    def _search(self, finder: Finder, frame: Frame, shape: str, colour: Colour) -> list[Shape]:
        found = finder.find(frame, shape, colour, self._options)
        for stage, ms in finder.timings.items():
            self.timings[stage] = self.timings.get(stage, 0.0) + ms
        return found

    def find(self, frame: Frame) -> list[Shape]:
        """The finds in one frame, in the order of the requests."""
        frame = check_frame(frame)
        height, width = frame.shape[:2]
        if self._crop is None or self._crop.size < frame.size:
            self._crop = np.empty(frame.size, np.uint8)
            self._spacing = max(2.0, min(height, width) / 240.0)
        full_now = self._count % self.full_every == 0
        self._count += 1
        self.timings = {}
        self.regional = 0
        found: list[Shape] = []
        for k, (shape, colour) in enumerate(self._requests):
            last = self._last[k]
            these: list[Shape] | None = None
            if last and not full_now:
                x0, y0, x1, y1 = region(last, height, width, self.margin)
                if (x1 - x0) * (y1 - y0) < 0.6 * height * width:
                    t0 = time.perf_counter()
                    crop = self._crop[:(y1 - y0) * (x1 - x0) * 3].reshape(y1 - y0, x1 - x0, 3)
                    np.copyto(crop, frame[y0:y1, x0:x1])
                    self.timings["crop"] = self.timings.get("crop", 0.0) + (time.perf_counter() - t0) * 1e3
                    these = [shifted(s, x0, y0) for s in
                             self._search(self._region_finder(y1 - y0, x1 - x0), crop, shape, colour)]
                    if len(these) < len(last):
                        these = None  # lost one: look everywhere
                    else:
                        self.regional += 1
            if these is None:
                these = self._search(self._full, frame, shape, colour)
            self._last[k] = these
            found += these
        return found


@dataclass
class Summary:
    """What a run saw: frames, seconds, and per request ("colour shape") the
    verified finds and the frames with at least one."""

    frames: int = 0
    seconds: float = 0.0
    finds: Counter[str] = field(default_factory=Counter)
    frames_with: Counter[str] = field(default_factory=Counter)
    regional: int = 0      # searches made in a region only
    searches: int = 0      # searches in all
    timings: dict[str, float] = field(default_factory=dict)  # ms per stage, all frames

    def add(self, found: Sequence[Shape], tracker: Tracker) -> None:
        self.frames += 1
        labels = [f"{s.colour} {s.shape}" for s in found]
        self.finds.update(labels)
        self.frames_with.update(set(labels))
        self.regional += tracker.regional
        self.searches += len(tracker.requests)
        for stage, ms in tracker.timings.items():
            self.timings[stage] = self.timings.get(stage, 0.0) + ms


def opencv() -> Any:
    """The cv2 module, quiet: a source that cannot be opened is our one-line
    message, not OpenCV's and FFmpeg's warnings (MissingExtra without OpenCV)."""
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    return require("cv2", "reading cameras and video files")


def capture(source: str | int) -> Any:
    """An opened OpenCV VideoCapture: a camera index (int, or a string of
    digits) or a video file; CameraError when it cannot be opened."""
    cv2 = opencv()
    if isinstance(source, str) and source.isdigit():
        source = int(source)
    elif isinstance(source, str) and not Path(source).exists():
        raise CameraError(f"cannot open {source}: no such file")
    opened = cv2.VideoCapture(source)
    if not opened.isOpened():
        opened.release()
        raise CameraError(f"cannot open {source}")
    return opened


def frames(opened: Any) -> Iterator[Frame]:
    """The frames of an opened capture, B, G, R, each read into the same
    buffer while the size holds: a frame is valid until the next is read."""
    ok, buffer = opened.read()
    while ok:
        yield buffer
        ok, buffer = opened.read(buffer)


def run(source: str | int, requests: Sequence[tuple[str, Colour | str]], options: Options = None, *,
        seed: int = 0, full_every: int = 30, max_frames: int | None = None,
        on_frame: Callable[[int, Frame, list[Shape], Tracker], bool | None] | None = None) -> Summary:
    """Finds `requests` in every frame of a camera or video file until it
    ends (or `max_frames`). on_frame(index, frame, finds, tracker) is called
    after each frame (frame in B, G, R; drawing into it is safe); returning
    False stops. Ctrl-C stops too; the summary counts the frames seen."""
    tracker = Tracker(requests, bgr=True, seed=seed, full_every=full_every, options=options)
    if max_frames is not None and (isinstance(max_frames, bool) or not isinstance(max_frames, int) or max_frames < 1):
        raise ValueError(f"max_frames must be a positive integer, got {max_frames!r}")
    opened = capture(source)
    summary = Summary()
    t0 = time.perf_counter()
    try:
        for index, frame in enumerate(frames(opened)):
            found = tracker.find(frame)
            summary.add(found, tracker)
            if on_frame is not None and on_frame(index, frame, found, tracker) is False:
                break
            if max_frames is not None and summary.frames >= max_frames:
                break
    except KeyboardInterrupt:
        pass
    finally:
        opened.release()
        summary.seconds = time.perf_counter() - t0
    if summary.frames == 0:
        raise CameraError(f"no frame could be read from {source}")
    return summary
