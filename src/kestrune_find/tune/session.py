"""The tuning page's state, free of any web framework: the sources' frames,
the samples picked on them, the colour calibrated from the samples, and the
finds of that colour. The server only turns requests into calls of `Session`.
"""
from __future__ import annotations

import io
import math
import shlex
import threading
from collections import OrderedDict
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt


from .. import batch as batch_runner
from .. import camera as camera_loop
from ..calibrate import Calibration, calibrate
from ..colours import Colour, save_colour
from ..io import IMAGE_SUFFIXES, MAX_PIXELS, ImageError, read_image, require
from ..finder import Finder
from ..options import OPTION, OPTIONS, SHAPES, FindOptions

Frame = npt.NDArray[np.uint8]
Mask = npt.NDArray[np.bool_]

#: A video is listed up to this many frames (read when shown, a few kept).
MAX_VIDEO_FRAMES = 2000
#: Decoded frames kept per video.
VIDEO_CACHE = 8
#: Image files decoded and kept at once (the rest are read again when shown).
IMAGE_CACHE = 32
#: At most this many samples; each is a mask the size of its frame.
MAX_SAMPLES = 64
#: Snapshots of a live camera kept as frames of their own.
MAX_SNAPSHOTS = 64


class TuneError(ValueError):
    """A request that cannot be met; `status` is the HTTP status it maps to."""

    def __init__(self, message: str, status: int = 400) -> None:
        super().__init__(message)
        self.status = status


# --------------------------------------------------------------------------
# Frames
# --------------------------------------------------------------------------

class FrameSource(Protocol):
    @property
    def name(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def live(self) -> bool: ...

    def image(self) -> Frame: ...


@dataclass
class StillFrame:
    """A frame held in memory: a camera snapshot."""

    name: str
    frame: Frame
    live: bool = False

    @property
    def width(self) -> int:
        return int(self.frame.shape[1])

    @property
    def height(self) -> int:
        return int(self.frame.shape[0])

    def image(self) -> Frame:
        return self.frame


class ImageCache:
    """The last few decoded image files, so that stepping back and forth
    does not decode them again."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.items: OrderedDict[Any, Frame] = OrderedDict()
        self.lock = threading.Lock()

    def get(self, key: Any, load: Any) -> Frame:
        with self.lock:
            if key in self.items:
                self.items.move_to_end(key)
                return self.items[key]
        frame: Frame = load()
        with self.lock:
            self.items[key] = frame
            while len(self.items) > self.size:
                self.items.popitem(last=False)
        return frame


_images = ImageCache(IMAGE_CACHE)


@dataclass
class FileFrame:
    """An image file, decoded when shown."""

    path: Path
    width: int
    height: int
    max_pixels: int = MAX_PIXELS
    live: bool = False

    @property
    def name(self) -> str:
        return str(self.path)

    def image(self) -> Frame:
        return _images.get(self.path, lambda: read_image(self.path, self.max_pixels))


class Video:
    """A video file opened once; frames decoded on demand (sequential reads
    are cheap, a jump seeks)."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.capture = camera_loop.capture(str(path))
        self.cv2 = camera_loop.opencv()
        self.position = 0
        self.cache = ImageCache(VIDEO_CACHE)
        self.lock = threading.Lock()
        count = int(self.capture.get(self.cv2.CAP_PROP_FRAME_COUNT))
        if count <= 0:  # unknown: count by reading, up to the cap
            count = 0
            while count < MAX_VIDEO_FRAMES and self.capture.grab():
                count += 1
            self._seek(0)
        self.count = min(count, MAX_VIDEO_FRAMES)
        first = self.read(0) if self.count else None
        if first is None:
            raise camera_loop.CameraError(f"no frame could be read from {path}")
        self.height, self.width = int(first.shape[0]), int(first.shape[1])

    def _seek(self, index: int) -> None:
        self.capture.set(self.cv2.CAP_PROP_POS_FRAMES, index)
        self.position = index

    def _decode(self, index: int) -> Frame:
        with self.lock:
            if index != self.position:
                self._seek(index)
            ok, bgr = self.capture.read()
            if not ok:
                raise TuneError(f"cannot read frame {index} of {self.path}", 500)
            self.position = index + 1
            return np.ascontiguousarray(bgr[:, :, ::-1])

    def read(self, index: int) -> Frame:
        return self.cache.get(index, lambda: self._decode(index))

    def close(self) -> None:
        self.capture.release()


@dataclass
class VideoFrame:
    video: Video
    index: int
    live: bool = False

    @property
    def name(self) -> str:
        return f"{self.video.path} frame {self.index}"

    @property
    def width(self) -> int:
        return self.video.width

    @property
    def height(self) -> int:
        return self.video.height

    def image(self) -> Frame:
        return self.video.read(self.index)


class Camera:
    """A camera read on a thread of its own; the latest frame is kept (RGB)."""

    def __init__(self, index: int) -> None:
        self.index = index
        self.capture = camera_loop.capture(index)
        self.latest: Frame | None = None
        self.count = 0
        self.stopping = threading.Event()
        self.changed = threading.Condition()
        ok, bgr = self.capture.read()
        if not ok:
            self.capture.release()
            raise camera_loop.CameraError(f"no frame could be read from camera {index}")
        self.latest = np.ascontiguousarray(bgr[:, :, ::-1])
        self.thread = threading.Thread(target=self._run, name=f"camera {index}", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stopping.is_set():
            ok, bgr = self.capture.read()
            if not ok:
                break
            with self.changed:
                self.latest = np.ascontiguousarray(bgr[:, :, ::-1])
                self.count += 1
                self.changed.notify_all()
        self.capture.release()

    def wait(self, seen: int, timeout: float = 1.0) -> int:
        """Waits for a frame newer than `seen`; the latest count."""
        with self.changed:
            self.changed.wait_for(lambda: self.count != seen or self.stopping.is_set(), timeout)
            return self.count

    def close(self) -> None:
        self.stopping.set()
        with self.changed:
            self.changed.notify_all()
        self.thread.join(2.0)


@dataclass
class LiveFrame:
    camera: Camera
    live: bool = True

    @property
    def name(self) -> str:
        return f"camera {self.camera.index} (live)"

    @property
    def width(self) -> int:
        assert self.camera.latest is not None
        return int(self.camera.latest.shape[1])

    @property
    def height(self) -> int:
        assert self.camera.latest is not None
        return int(self.camera.latest.shape[0])

    def image(self) -> Frame:
        assert self.camera.latest is not None
        return self.camera.latest


def image_size(path: Path, max_pixels: int) -> tuple[int, int]:
    """(width, height) from the file's header; ImageError when it is not a picture or too large."""
    require("PIL.Image", "reading image files")
    from PIL import Image as pil, UnidentifiedImageError

    try:
        with pil.open(path) as picture:
            width, height = picture.size
    except FileNotFoundError:
        raise ImageError(f"cannot read {path}: no such file") from None
    except (UnidentifiedImageError, OSError, ValueError, SyntaxError) as e:
        raise ImageError(f"cannot read {path}: {e}") from None
    if width * height > max_pixels:
        raise ImageError(f"{path} is {width} x {height} pixels, more than the limit of {max_pixels:,}", True)
    return int(width), int(height)


def open_sources(sources: Sequence[str], max_pixels: int = MAX_PIXELS) -> tuple[list[FrameSource], list[Any]]:
    """The frames of the SOURCE arguments, in order (a folder's images
    sorted), and what must be closed at the end (videos, cameras);
    ImageError / CameraError / TuneError naming the source that fails."""
    found: list[FrameSource] = []
    opened: list[Any] = []
    try:
        for source in sources:
            path = Path(source)
            if source.isdigit() and not path.exists():
                camera = Camera(int(source))
                opened.append(camera)
                found.append(LiveFrame(camera))
            elif path.is_dir():
                images = batch_runner.image_paths(path)
                if not images:
                    raise TuneError(f"{source}: no image files ({', '.join(IMAGE_SUFFIXES)}) in the folder")
                found += [FileFrame(p, *image_size(p, max_pixels), max_pixels) for p in images]
            elif path.suffix.lower() in IMAGE_SUFFIXES:
                found.append(FileFrame(path, *image_size(path, max_pixels), max_pixels))
            elif not path.exists():
                raise TuneError(f"cannot read {source}: no such file or folder")
            else:
                video = Video(path)
                opened.append(video)
                found += [VideoFrame(video, k) for k in range(video.count)]
    except BaseException:
        for item in opened:
            item.close()
        raise
    return found, opened


# --------------------------------------------------------------------------
# Samples and the colour
# --------------------------------------------------------------------------

@dataclass(frozen=True)
class Sample:
    """Pixels picked on a frame: a rectangle (x1, y1 exclusive) or a disc (x, y, r)."""

    frame: int
    rect: tuple[int, int, int, int] | None = None
    disc: tuple[float, float, float] | None = None

    def mask(self, height: int, width: int) -> Mask:
        picked = np.zeros((height, width), bool)
        if self.rect is not None:
            x0, y0, x1, y1 = self.rect
            picked[y0:y1, x0:x1] = True
        elif self.disc is not None:
            x, y, r = self.disc
            ys, xs = np.ogrid[:height, :width]
            picked[:] = (xs - x) ** 2 + (ys - y) ** 2 <= r * r
        return picked

    def as_dict(self) -> dict[str, Any]:
        if self.rect is not None:
            return {"frame": self.frame, "rect": list(self.rect)}
        assert self.disc is not None
        return {"frame": self.frame, "disc": list(self.disc)}


def colour_mask(colour: Colour, frame: Frame) -> Mask:
    """Where the colour takes the frame (every sector of a union colour)."""
    return colour.mask(frame).astype(bool)


def calibrate_samples(pairs: Sequence[tuple[Frame, Mask]], name: str, widening: float) -> Calibration:
    """A Calibration from (frame, mask) samples."""
    return calibrate(list(pairs), name=name, widening=widening)


@dataclass
class Settings:
    """What the page's controls set."""

    shape: str = "disc"
    widening: float = 1.0
    options: FindOptions = field(default_factory=FindOptions)


def parse_options(query: dict[str, str]) -> tuple[str, FindOptions]:
    """(shape, checked find options) from query parameters; TuneError naming a bad one."""
    shape = query.get("shape", "disc")
    if shape not in SHAPES:
        raise TuneError(f"shape must be one of {', '.join(SHAPES)}, got {shape!r}")
    options: dict[str, Any] = {}
    for option in OPTIONS:
        text = query.get(option.name)
        if text is None or text == "":
            continue
        try:
            options[option.name] = option.kind(text)
        except ValueError:
            raise TuneError(f"{option.name} must be a number, got {text!r}") from None
    unknown = sorted(set(query) - {"shape", "frame", "token", "t", *OPTION})
    if unknown:
        raise TuneError(f"unknown parameter {unknown[0]!r}: not one of shape, frame, {', '.join(OPTION)}")
    try:
        return shape, FindOptions(**options)
    except ValueError as e:
        raise TuneError(str(e)) from None


class Session:
    """The frames, the samples, the colour from them, and finds.

    Methods that change or read the samples hold a lock: the server runs
    the work on threads, so that a slow calibration does not stall a stream.
    """

    def __init__(self, frames: Sequence[FrameSource], name: str = "calibrated", closers: Sequence[Any] = ()) -> None:
        if not frames:
            raise TuneError("no frames: give image files, a folder, a video file or a camera index")
        self.frames: list[FrameSource] = list(frames)
        self.name = name
        self.closers = list(closers)
        self.samples: list[Sample] = []
        self.settings = Settings()
        self.lock = threading.RLock()
        self.finder = Finder(seed=0)
        self._calibration: Calibration | None = None
        self._error: str | None = None
        self._report: dict[str, Any] | None = None
        self.snapshots = 0
        #: The colour file's name in the commands shown: the last one saved.
        self.saved_as: str | None = None

    def close(self) -> None:
        for item in self.closers:
            item.close()

    # The frames

    def frame_list(self) -> list[dict[str, Any]]:
        return [{"index": k, "name": f.name, "width": f.width, "height": f.height, **({"live": True} if f.live else {})}
                for k, f in enumerate(self.frames)]

    def source(self, index: Any) -> FrameSource:
        if isinstance(index, bool) or not isinstance(index, int):
            raise TuneError(f"frame must be a whole number, got {index!r}")
        if not 0 <= index < len(self.frames):
            raise TuneError(f"frame {index} does not exist: there are {len(self.frames)} frames (0 to "
                            f"{len(self.frames) - 1})", 404)
        return self.frames[index]

    def image(self, index: Any) -> Frame:
        return self.source(index).image()

    def snapshot(self, index: Any) -> int:
        """A live frame's current picture kept as a frame of its own; its index."""
        with self.lock:
            source = self.source(index)
            if not source.live:
                return int(index)
            if self.snapshots >= MAX_SNAPSHOTS:
                raise TuneError(f"at most {MAX_SNAPSHOTS} snapshots; remove samples or restart", 409)
            self.snapshots += 1
            self.frames.append(StillFrame(f"{source.name.replace(' (live)', '')} snapshot {self.snapshots}",
                                          source.image().copy()))
            return len(self.frames) - 1

    # The samples

    def add_sample(self, frame: Any, rect: Any = None, disc: Any = None) -> Sample:
        with self.lock:
            if len(self.samples) >= MAX_SAMPLES:
                raise TuneError(f"at most {MAX_SAMPLES} samples: remove some first", 409)
            index = self.snapshot(frame)
            source = self.frames[index]
            width, height = source.width, source.height
            if (rect is None) == (disc is None):
                raise TuneError('give the sample as "rect": [x0, y0, x1, y1] or "disc": [x, y, r]')
            if rect is not None:
                sample = Sample(index, rect=_checked_rect(rect, width, height))
            else:
                sample = Sample(index, disc=_checked_disc(disc, width, height))
            self.samples.append(sample)
            self._changed()
            return sample

    def remove_sample(self, k: int) -> None:
        with self.lock:
            if not 0 <= k < len(self.samples):
                raise TuneError(f"sample {k} does not exist: there are {len(self.samples)} samples", 404)
            del self.samples[k]
            self._changed()

    def set_widening(self, widening: Any) -> None:
        if isinstance(widening, bool) or not isinstance(widening, (int, float)) or not 0.0 <= widening <= 1.0:
            raise TuneError(f"widening must be a number from 0 to 1, got {widening!r}")
        with self.lock:
            if float(widening) != self.settings.widening:
                self.settings.widening = float(widening)
                self._changed()

    def set_find_settings(self, shape: str, options: FindOptions) -> None:
        """The shape and find options shown (checked by parse_options): they go into the commands."""
        with self.lock:
            self.settings.shape, self.settings.options = shape, options
            self._report = None

    def _changed(self) -> None:
        self._calibration, self._error, self._report = None, None, None

    # The colour

    def calibration(self) -> Any:
        """The Calibration of the samples (None before any sample, or when they give no colour)."""
        with self.lock:
            if self._calibration is None and self._error is None and self.samples:
                frames: dict[int, Frame] = {}
                pairs = []
                for sample in self.samples:
                    if sample.frame not in frames:  # one array per frame: the samples of a frame are one frame
                        frames[sample.frame] = self.frames[sample.frame].image()
                    frame = frames[sample.frame]
                    pairs.append((frame, sample.mask(*frame.shape[:2])))
                try:
                    self._calibration = calibrate_samples(pairs, self.name, self.settings.widening)
                except ValueError as e:
                    self._error = str(e)
            return self._calibration

    @property
    def colour(self) -> Colour | None:
        calibration = self.calibration()
        colour: Colour | None = None if calibration is None else calibration.colour
        return colour

    def state(self) -> dict[str, Any]:
        """GET /api/colour: the colour file's fields, the samples with their
        coverage, the coverage overall and per frame, warnings."""
        with self.lock:
            if self._report is None:
                self._report = self._measure()
            return self._report

    def _measure(self) -> dict[str, Any]:
        calibration = self.calibration()
        samples = [{**s.as_dict(), "index": k, "name": self.frames[s.frame].name} for k, s in enumerate(self.samples)]
        report: dict[str, Any] = {"colour": None, "samples": samples, "coverage": {}, "warnings": [],
                                  "widening": self.settings.widening, "error": self._error}
        if calibration is None:
            return report
        colour: Colour = calibration.colour
        picked_all = taken_all = 0
        per_frame: list[dict[str, Any]] = []
        rests: list[float] = []
        for index in dict.fromkeys(s.frame for s in self.samples):
            frame = self.frames[index].image()
            height, width = frame.shape[:2]
            taken = colour_mask(colour, frame)
            union = np.zeros((height, width), bool)
            for k, sample in enumerate(self.samples):
                if sample.frame != index:
                    continue
                picked = sample.mask(height, width)
                union |= picked
                count = int(picked.sum())
                samples[k].update(pixels=count, coverage=float(taken[picked].mean()) if count else 0.0)
            rest = union.size - int(union.sum())
            picked_all += int(union.sum())
            taken_all += int(taken[union].sum())
            rests.append(float(taken[~union].sum()) / rest if rest else 0.0)
            per_frame.append({"frame": index, "name": self.frames[index].name, "rest": rests[-1]})
        for k, report_k in enumerate(calibration.samples):
            if k < len(samples) and report_k.warnings:
                samples[k]["warnings"] = list(report_k.warnings)
        report["colour"] = colour.as_dict()
        report["name"] = colour.name
        report["coverage"] = {"samples": taken_all / picked_all if picked_all else 0.0,
                              "rest": max(rests, default=0.0), "frames": per_frame}
        report["warnings"] = list(calibration.warnings)
        report["widening_kept"] = calibration.widening
        report["commands"] = self.commands()
        return report

    # Finds and pictures

    def finds(self, index: Any, shape: str, options: FindOptions) -> list[dict[str, Any]]:
        """The finds in a frame as `kestrune find --json` gives them, best score first."""
        frame = self.image(index)
        colour = self.colour
        if colour is None:
            raise TuneError("no colour yet: add a sample first", 409)
        try:  # a Finder may be shared by threads: finds of several requests run side by side
            found = self.finder.find(frame, shape, colour, options)
        except ValueError as e:
            raise TuneError(str(e)) from None
        return [s.as_dict() for s in sorted(found, key=lambda s: -s.score)]

    def mask_png(self, index: Any, rgb: tuple[int, int, int] = (0, 230, 255)) -> bytes:
        """The colour's mask of a frame as a PNG: `rgb` where taken, transparent elsewhere."""
        frame = self.image(index)
        colour = self.colour
        height, width = frame.shape[:2]
        overlay = np.zeros((height, width, 4), np.uint8)
        if colour is not None:
            overlay[colour_mask(colour, frame)] = (*rgb, 255)
        return encode(overlay, "PNG")

    def sample_png(self, k: int, size: int = 64) -> bytes:
        """A thumbnail of a sample: its box on the frame, at most `size` pixels across."""
        with self.lock:
            if not 0 <= k < len(self.samples):
                raise TuneError(f"sample {k} does not exist: there are {len(self.samples)} samples", 404)
            sample = self.samples[k]
        frame = self.frames[sample.frame].image()
        if sample.rect is not None:
            x0, y0, x1, y1 = sample.rect
        else:
            assert sample.disc is not None
            x, y, r = sample.disc
            x0, y0 = max(0, int(x - r)), max(0, int(y - r))
            x1, y1 = min(frame.shape[1], int(math.ceil(x + r)) + 1), min(frame.shape[0], int(math.ceil(y + r)) + 1)
        return encode(frame[y0:y1, x0:x1], "PNG", size)

    # Saving and reproducing

    def source_record(self) -> dict[str, Any]:
        return {"samples": [{"image": self.frames[s.frame].name,
                             **({"rect": list(s.rect)} if s.rect is not None else {"disc": list(s.disc or ())})}
                            for s in self.samples]}

    def save(self, path: Path, shown: str | None = None) -> None:
        """Writes the colour file; `shown` is its name in the commands (default the path)."""
        colour = self.colour
        if colour is None:
            raise TuneError("nothing to save: add a sample first", 409)
        try:
            save_colour(colour, path, source=self.source_record())
        except OSError as e:
            raise TuneError(f"cannot write {path}: {e.strerror or e}", 500) from None
        with self.lock:
            self.saved_as, self._report = shown or str(path), None

    def commands(self, save: str | None = None, shape: str | None = None,
                 options: FindOptions | None = None) -> dict[str, Any]:
        """The command lines and Python lines that reproduce the colour and the finds."""
        save = save or self.saved_as or (self.name if self.name.endswith(".json") else "colour.json")
        shape = shape or self.settings.shape
        given = (self.settings.options if options is None else options).given()
        flag = {"disc": "--circle", "ellipse": "--ellipse", "line": "--lines", "stripe": "--stripe"}[shape]
        notes: list[str] = []
        parts = ["kestrune", "calibrate"]
        first_image = None
        for s in self.samples:
            source = self.frames[s.frame]
            if not isinstance(source, FileFrame):
                notes.append(f"{source.name} is not an image file: save that frame as a picture to name it here")
                continue
            first_image = first_image or source.name
            if s.rect is not None:
                box = s.rect
            else:  # the square inside the disc: the command takes rectangles
                assert s.disc is not None
                x, y, r = s.disc
                h = r / math.sqrt(2.0)
                box = (int(round(x - h)), int(round(y - h)), int(round(x + h)) + 1, int(round(y + h)) + 1)
                notes.append(f"the disc at ({x:g}, {y:g}) is given as the square inside it")
            parts += ["--sample", source.name, *(str(v) for v in box)]
        if self.settings.widening != 1.0:
            notes.append(f"the command widens fully; the Python lines keep the widening of {self.settings.widening:g}")
        parts += ["--save", save]
        find = ["kestrune", "find", first_image or "IMAGE", flag, save]
        for key, value in given.items():
            find += ["--" + key.replace("_", "-"), f"{value:g}" if isinstance(value, float) else str(value)]
        option_text = "".join(f", {k}={v!r}" for k, v in given.items())
        python = [
            "import numpy as np",
            "import kestrune_find as kf",
            "from kestrune_find.io import read_image",
            "",
            "samples = []",
        ]
        for s in self.samples:
            source = self.frames[s.frame]
            python.append(f"frame = read_image({source.name!r})  # frame {s.frame}")
            if s.rect is not None:
                python.append(f"samples.append((frame, [{tuple(s.rect)!r}]))")
            else:
                assert s.disc is not None
                x, y, r = s.disc
                python += ["ys, xs = np.ogrid[:frame.shape[0], :frame.shape[1]]",
                           f"samples.append((frame, (xs - {x:g}) ** 2 + (ys - {y:g}) ** 2 <= {r:g} ** 2))"]
        python += [f"result = kf.calibrate(samples, name={save!r}, widening={self.settings.widening:g})",
                   f"kf.save_colour(result.colour, {save!r})",
                   f"shapes = kf.Finder().find(frame, {shape!r}, result.colour{option_text})"]
        return {"shell": [shlex.join(parts), shlex.join(find)], "python": "\n".join(python), "notes": notes}


def _checked_rect(value: Any, width: int, height: int) -> tuple[int, int, int, int]:
    if (not isinstance(value, list) or len(value) != 4
            or not all(isinstance(v, int) and not isinstance(v, bool) for v in value)):
        raise TuneError(f"rect must be four whole numbers [x0, y0, x1, y1], got {value!r}")
    x0, x1 = sorted(value[0::2])
    y0, y1 = sorted(value[1::2])
    x0, y0, x1, y1 = max(x0, 0), max(y0, 0), min(x1, width), min(y1, height)
    if x1 <= x0 or y1 <= y0:
        raise TuneError(f"rect {value} holds no pixel of the {width} x {height} frame (x1 and y1 are exclusive)")
    return x0, y0, x1, y1


def _checked_disc(value: Any, width: int, height: int) -> tuple[float, float, float]:
    if (not isinstance(value, list) or len(value) != 3
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in value)):
        raise TuneError(f"disc must be three numbers [x, y, r], got {value!r}")
    x, y, r = (float(v) for v in value)
    if not 0.5 <= r <= max(width, height):
        raise TuneError(f"disc radius must be from 0.5 to {max(width, height)}, got {r:g}")
    if not (-r < x < width + r and -r < y < height + r):
        raise TuneError(f"disc {value} holds no pixel of the {width} x {height} frame")
    return x, y, r


def encode(pixels: npt.NDArray[np.uint8], kind: str, size: int | None = None, quality: int = 88) -> bytes:
    """A picture's bytes (PNG or JPEG) from RGB or RGBA pixels, shrunk to `size` pixels across if given."""
    require("PIL.Image", "the tuning page's pictures")
    from PIL import Image as pil

    picture = pil.fromarray(np.ascontiguousarray(pixels))
    if size is not None:
        picture.thumbnail((size, size))
    out = io.BytesIO()
    if kind == "JPEG":
        picture.convert("RGB").save(out, "JPEG", quality=quality)
    else:
        picture.save(out, "PNG", compress_level=1)
    return out.getvalue()
