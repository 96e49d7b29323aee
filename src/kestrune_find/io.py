"""Files and optional packages: reading and writing image files (Pillow,
the `image` extra), and importing the optional packages with a one-line
message naming the extra that brings a missing one.
"""
from __future__ import annotations

import importlib
from pathlib import Path
from types import ModuleType

import numpy as np
import numpy.typing as npt

Frame = npt.NDArray[np.uint8]

#: Images larger than this are refused by default (a small file can claim
#: billions of pixels and take all memory when decoded).
MAX_PIXELS = 50_000_000

#: File name suffixes the batch runner takes for images.
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp")

# What each optional package is needed for, and the extra that brings it.
_EXTRAS = {"PIL": ("Pillow", "image"), "cv2": ("OpenCV", "camera"), "dask": ("Dask", "dask"),
           "aiohttp": ("aiohttp", "tune")}


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
            # An RGB picture is read as it is: converting it would copy it
            # once more, holding the interpreter lock that batch's threads share.
            return np.array(picture if picture.mode == "RGB" else picture.convert("RGB"), dtype=np.uint8)
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
