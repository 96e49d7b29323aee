"""Pictures: reading image files, drawing found shapes, writing pictures.

Drawing is NumPy only (outlines set into the frame's pixels), so that the
camera loop can draw into OpenCV's frames; reading and writing files needs
Pillow (the `image` extra).
"""
from __future__ import annotations

import importlib
import math
from pathlib import Path
from types import ModuleType
from typing import Iterable

import numpy as np
import numpy.typing as npt

from .shapes import Band, Disc, Ellipse, Shape

Frame = npt.NDArray[np.uint8]

#: Images larger than this are refused by default (a small file can claim
#: billions of pixels and take all memory when decoded).
MAX_PIXELS = 50_000_000

#: File name suffixes the batch runner takes for images.
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp")

# What each optional package is needed for, and the extra that brings it.
_EXTRAS = {"PIL": ("Pillow", "image"), "cv2": ("OpenCV", "camera"), "dask": ("Dask", "dask")}


class MissingExtra(ImportError):
    """An optional package that a function needs is not installed; the
    message names it and the extra that installs it."""


def require(module: str, purpose: str) -> ModuleType:
    """`import module`, or MissingExtra saying what needs it and how to get it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package, extra = _EXTRAS.get(module.split(".")[0], (module, None))
        how = f"pip install 'kestrune[{extra}]'" if extra else f"pip install {package}"
        raise MissingExtra(f"{purpose} needs {package}, which is not installed: {how}") from None


class ImageError(OSError):
    """An image file that cannot be read, or (too_large) has more pixels than allowed."""

    def __init__(self, message: str, too_large: bool = False) -> None:
        super().__init__(message)
        self.too_large = too_large


def read_image(path: str | Path, max_pixels: int = MAX_PIXELS) -> Frame:
    """The image file at `path` as an H x W x 3 RGB uint8 array (a writable
    copy); ImageError when it cannot be read or has more than `max_pixels`
    pixels (checked on the header, before decoding)."""
    if isinstance(max_pixels, bool) or not isinstance(max_pixels, int) or max_pixels < 1:
        raise ValueError(f"max_pixels must be a positive integer, got {max_pixels!r}")
    require("PIL.Image", "reading image files")
    from PIL import Image as pil, UnidentifiedImageError

    # Pillow's own guard stops at twice its limit; ours applies first, so that
    # limit only has to stay out of the way of a larger one asked for here.
    if pil.MAX_IMAGE_PIXELS is not None and pil.MAX_IMAGE_PIXELS < max_pixels:
        pil.MAX_IMAGE_PIXELS = max_pixels
    try:
        with pil.open(path) as picture:
            width, height = picture.size
            if width * height > max_pixels:
                raise ImageError(f"{path} is {width} x {height} pixels, more than the limit of {max_pixels:,}", True)
            return np.array(picture.convert("RGB"), dtype=np.uint8)
    except ImageError:
        raise
    except pil.DecompressionBombError:
        raise ImageError(f"{path} claims more pixels than the limit of {max_pixels:,}", True) from None
    except FileNotFoundError:
        raise ImageError(f"cannot read {path}: no such file") from None
    except IsADirectoryError:
        raise ImageError(f"cannot read {path}: it is a folder") from None
    except UnidentifiedImageError:
        raise ImageError(f"cannot read {path}: not an image file that Pillow knows") from None
    except (OSError, ValueError, SyntaxError, EOFError) as e:
        reason = str(e) or type(e).__name__
        if isinstance(e, OSError) and e.strerror:
            reason = e.strerror
        raise ImageError(f"cannot read {path}: {reason}") from None


def check_writable(path: str | Path) -> None:
    """ValueError unless Pillow can write a picture in the format that the
    path's suffix names (MissingExtra without Pillow)."""
    require("PIL.Image", "writing pictures")
    from PIL import Image as pil

    suffix = Path(path).suffix.lower()
    kind = pil.registered_extensions().get(suffix)
    if kind is None or kind not in pil.SAVE:
        common = [ext for ext in (".png", ".jpg", ".bmp", ".tif", ".webp")
                  if pil.registered_extensions().get(ext) in pil.SAVE]
        raise ValueError(f"cannot write pictures of type {suffix or '(no suffix)'!r} ({path}); "
                         f"use one of {', '.join(common)}")


def save_image(frame: Frame, path: str | Path) -> None:
    """Writes an RGB frame as a picture (its folder is made when missing);
    ImageError when that fails."""
    check_writable(path)
    from PIL import Image as pil

    path = Path(path)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        pil.fromarray(frame).save(path)
    except (OSError, ValueError, KeyError) as e:
        raise ImageError(f"cannot write {path}: {e}") from None


def _plot(frame: Frame, xs: npt.NDArray[np.float64], ys: npt.NDArray[np.float64],
          colour: tuple[int, int, int]) -> None:
    ix, iy = np.rint(xs).astype(np.intp), np.rint(ys).astype(np.intp)
    keep = (ix >= 0) & (ix < frame.shape[1]) & (iy >= 0) & (iy < frame.shape[0])
    frame[iy[keep], ix[keep]] = colour


def _ellipse(frame: Frame, x: float, y: float, a: float, b: float, theta: float,
             colour: tuple[int, int, int], thickness: int) -> None:
    # Half a pixel between samples along the largest outline drawn.
    n = max(16, int(math.ceil(4.0 * math.pi * (max(a, b) + thickness))))
    t = np.linspace(0.0, 2.0 * math.pi, n, endpoint=False)
    c, s = math.cos(theta), math.sin(theta)
    for k in range(thickness):
        u, v = (a + k) * np.cos(t), (b + k) * np.sin(t)
        _plot(frame, x + c * u - s * v, y + s * u + c * v, colour)
    for d in range(-4, 5):  # the centre, as a small cross
        _plot(frame, np.array([x + d, x]), np.array([y, y + d]), colour)


def _segment(frame: Frame, p: tuple[float, float], q: tuple[float, float], colour: tuple[int, int, int]) -> None:
    n = max(2, int(math.ceil(2.0 * math.hypot(q[0] - p[0], q[1] - p[1]))) + 1)
    t = np.linspace(0.0, 1.0, n)
    _plot(frame, p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1]), colour)


def _band(frame: Frame, band: Band, colour: tuple[int, int, int], thickness: int) -> None:
    (x0, y0), (x1, y1) = band.ends
    # A line is drawn along its middle, a stripe along both its edges.
    offsets = [0.0] if band.shape == "line" else [-band.width / 2.0, band.width / 2.0]
    for offset in offsets:
        for k in range(thickness):
            d = offset + (k - (thickness - 1) / 2.0)
            dx, dy = band.nx * d, band.ny * d
            _segment(frame, (x0 + dx, y0 + dy), (x1 + dx, y1 + dy), colour)


def draw_shapes(frame: Frame, shapes: Iterable[Shape], colour: tuple[int, int, int] = (255, 255, 255),
                thickness: int = 2) -> Frame:
    """Draws the outlines of `shapes` into `frame` (H x W x 3 uint8, RGB or
    BGR alike), in place, and returns it: discs and ellipses with a cross at
    the centre, lines along their middle, stripes along both edges, each only
    over the part seen. Thin lines are drawn in magenta over the colour given."""
    if not isinstance(frame, np.ndarray) or frame.dtype != np.uint8 or frame.ndim != 3 or frame.shape[2] != 3:
        raise ValueError("frame must be an H x W x 3 uint8 array")
    if isinstance(thickness, bool) or not isinstance(thickness, int) or thickness < 1:
        raise ValueError(f"thickness must be a positive integer, got {thickness!r}")
    for shape in shapes:
        if isinstance(shape, Disc):
            _ellipse(frame, shape.x, shape.y, shape.r, shape.r, 0.0, colour, thickness)
        elif isinstance(shape, Ellipse):
            _ellipse(frame, shape.x, shape.y, shape.a, shape.b, shape.theta, colour, thickness)
        elif isinstance(shape, Band):
            _band(frame, shape, (255, 0, 255) if shape.shape == "line" else colour, thickness)
        else:
            raise TypeError(f"shapes must hold Disc, Ellipse, Line or Stripe records, not {type(shape).__name__}")
    return frame
