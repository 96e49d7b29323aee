"""Type stubs for kestrune: fast colour masks, edge points and RANSAC shape fits.

The caller owns every array. Images are H x W x 3 ``uint8`` (C-contiguous), masks
and grey planes H x W ``uint8`` (``bool`` is accepted wherever ``uint8`` is), point
lists N x 2 ``int32`` (rows of x, y) and point masks 1-D contiguous ``uint8``.
None in place of an array is an empty array. The records below are returned as
plain dicts.

Type-only names: ``Line``, ``Circle``, ``Ellipse`` and ``BoundsMapping`` exist for
type checkers only; the module has no such attributes at run time, so
``from kestrune import Circle`` type-checks and then fails with ImportError when
run. Import them under ``typing.TYPE_CHECKING`` and annotate lazily::

    from __future__ import annotations
    from typing import TYPE_CHECKING
    if TYPE_CHECKING:
        from kestrune import Circle
"""

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple as NamedTuple, TypedDict, TypeVar, overload, type_check_only

import numpy as np
import numpy.typing as npt

_Image = npt.NDArray[np.uint8]
_Plane = npt.NDArray[np.uint8] | npt.NDArray[np.bool_]
_Points = npt.NDArray[np.int32]
_PointMask = npt.NDArray[np.uint8] | npt.NDArray[np.bool_]
_Pair = Sequence[float] | npt.NDArray[Any]
_Colour = Sequence[float] | npt.NDArray[Any]
_PlaneT = TypeVar("_PlaneT", npt.NDArray[np.uint8], npt.NDArray[np.bool_])

class LCHBounds(NamedTuple):
    """Colour bounds from calculate_lch_bounds.

    M: the 3 x 3 matrix flattened (rows: hue coordinate a, hue coordinate b,
    intensity); int32 in fixed point, float64 when rgb_bits is None.
    i: (lower, upper) intensity bound. c: (lower, upper) bound on a + b.
    """

    M: npt.NDArray[Any]
    i: tuple[Any, Any]
    c: tuple[Any, Any]

@type_check_only  # not a run-time name: import under TYPE_CHECKING
class Line(TypedDict):
    """A line through (px, py) with normal (nx, ny), not normalised; all zero: none found."""

    px: int
    py: int
    nx: int
    ny: int

@type_check_only  # not a run-time name: import under TYPE_CHECKING
class Circle(TypedDict):
    """Centre (x, y) and radius r in whole pixels; all zero: none found."""

    x: int
    y: int
    r: int

@type_check_only  # not a run-time name: import under TYPE_CHECKING
class Ellipse(TypedDict):
    """Centre (x, y), semi-axis a along theta (radians from the x axis), b across it.

    a is not necessarily the longer axis. All zero: none found.
    """

    x: float
    y: float
    a: float
    b: float
    theta: float

# The bounds in mapping form, as the native kernels take them: LCHBounds._asdict()
# or any mapping with the keys "i", "c" and "M". Type-only, like the TypedDicts.
BoundsMapping = Mapping[str, Any]

def calculate_lch_bounds(
    hue_limit: _Pair, chroma_limit: _Pair, intensity_limit: _Pair, rgb_bits: int | None = 8
) -> LCHBounds:
    """Bounds for a hue sector (radians, counter-clockwise from hue_limit[0] to
    hue_limit[1], red = 0, green = 2pi/3), a chroma band and an intensity band
    (units where a full channel counts as 1.0). Fixed point with rgb_bits
    fractional bits, or floats when rgb_bits is None."""

def mask_image_py(image: npt.NDArray[Any], bounds: LCHBounds | tuple[Any, Any, Any]) -> npt.NDArray[np.uint8]:
    """Mask by NumPy array arithmetic: a new H x W uint8 array of 255 and 0."""

@overload
def mask_image(image: _Image, bounds: LCHBounds | BoundsMapping, buffer: None = None) -> npt.NDArray[np.uint8]: ...
@overload
def mask_image(image: _Image, bounds: LCHBounds | BoundsMapping, buffer: _PlaneT) -> _PlaneT:
    """Mask of 1 (inside the bounds) and 0 into buffer (allocated when None); returns
    the buffer. Releases the GIL for the pixel loop."""

@overload
def selective_grayscale(
    image: _Image, bounds: LCHBounds | BoundsMapping, buffer: None = None
) -> npt.NDArray[np.uint8]: ...
@overload
def selective_grayscale(image: _Image, bounds: LCHBounds | BoundsMapping, buffer: _PlaneT) -> _PlaneT:
    """Grey value floor(85 (R + G + B) / 256) inside the bounds, 0 outside, into
    buffer (allocated when None); returns the buffer. Releases the GIL for the
    pixel loop."""

def mask_color(color: _Colour, bounds: LCHBounds | tuple[Any, Any, Any]) -> np.bool_:
    """Whether one (R, G, B) colour lies inside the bounds."""

def mask_image_cy_impl(_image: _Image | None, _output: _Plane | None, bounds: BoundsMapping) -> int:
    """Writes 1 or 0 per pixel into _output (at least H x W, packed); returns H * W.
    Releases the GIL for the pixel loop."""

def selective_grayscale_impl(_image: _Image | None, _output: _Plane | None, bounds: BoundsMapping) -> int:
    """Writes the grey value or 0 per pixel into _output; returns H * W.
    Releases the GIL for the pixel loop."""

def simple_edge_hsv(
    _image: _Image | None, _ps: _Points | None, bounds: BoundsMapping, row_count: int, column_count: int
) -> int:
    """simple_edge on the pixels of a colour image that pass the bounds, with no
    mask built; writes points into _ps and returns how many."""

def simple_edge(_image: _Plane | None, _ps: _Points | None, row_count: int, column_count: int) -> int:
    """Scans row_count rows, then column_count columns (spread by bit reversal) of a
    mask and stores two points per run of nonzero pixels into _ps: its first pixel
    and the first pixel after it (or the line's last pixel). Returns how many points
    were stored; stops when _ps is full."""

def simple_denoise(_ps_in: _Points | None, _ps_out: _Points | None, min_distance: int) -> int:
    """Joins runs separated by fewer than min_distance pixels and writes the
    segments at least min_distance long into _ps_out as (start, end) pairs;
    returns the number of rows written. _ps_out may be _ps_in."""

def remove_inliers(_ps_in: _Points | None, _ps_out: _Points | None, _ms: _PointMask | None) -> int:
    """Copies the rows of _ps_in whose _ms entry is 0 into _ps_out, in order;
    returns how many. _ps_out may be _ps_in."""

def ransac_circle(_ps: _Points | None, count: int, min_r: int, max_r: int, delta: int) -> Circle:
    """Circle with min_r <= r <= max_r that has the most points within delta of it,
    over count random samples of three points. The centre is the exact centre of
    the sample's circle truncated toward zero; r is the truncated distance of the
    sample's first point from the exact centre."""

def ransac_ellipse(_ps: _Points | None, count: int, min_r: int, max_r: int, ratio: float, delta: int) -> Ellipse:
    """Ellipse with both semi-axes in [min_r, max_r] and b <= ratio * a that has the
    most points within delta of it, over count random samples of five points."""

def ransac_line(_ps: _Points | None, _ms: _PointMask | None, count: int, delta: int, slope_limit: float) -> Line:
    """Line with the most points within delta of it, over count random samples of
    two points; lines whose angle to the x axis has a sine of at most |slope_limit|
    are skipped. Writes 1 into _ms for the line's inliers and 0 elsewhere."""

def ransac_line2(_ps: _Points | None, _ms: _PointMask | None, count: int, ratio: float, delta: int) -> tuple[Line, Line]:
    """Pair of lines whose angle has |cos| >= |ratio| (a stripe's two borders),
    scored by the points within delta of exactly one of them. Writes 1 into _ms
    for the points near either line and 0 elsewhere."""
