"""Arbitrary arguments to every module function.

Each call must return its documented result type or raise an ordinary argument
error (or the exception an argument's own method raised); it must not crash or
hang, and it must not write a byte of a caller's array outside the window the
function documents. Every array argument is a view placed inside a larger
sentinel-filled buffer, so a stray write anywhere around it is seen.

`make test` runs a bounded, reproducible number of examples per function;
KESTRUNE_FUZZ=1 (or KESTRUNE_FUZZ_EXAMPLES=N) runs a long, randomised search.
"""
import faulthandler
import math
import os
import subprocess
import sys
import warnings
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import kestrune
from conftest import IntRaises, IntReturns, SubInt

LONG_RUN = os.environ.get("KESTRUNE_FUZZ") == "1"
SANITIZED = os.environ.get("KESTRUNE_SANITIZED") == "1"
DEFAULT_EXAMPLES = 10_000 if LONG_RUN else (100 if SANITIZED else 150)
EXAMPLES = int(os.environ.get("KESTRUNE_FUZZ_EXAMPLES", DEFAULT_EXAMPLES))
# A call that takes this long is taken for a hang: the process stops (exit
# status 1) and leaves every thread's traceback in fuzz-hang0/traceback.txt
# under pytest's newest base temporary directory, since pytest holds the real
# stderr while a test runs.
HANG_SECONDS = 120 if SANITIZED else 30
HANG_REPORT = None  # the open report file while this module's tests run


@pytest.fixture(scope="module", autouse=True)
def hang_report(tmp_path_factory):
    global HANG_REPORT
    with open(tmp_path_factory.mktemp("fuzz-hang") / "traceback.txt", "w") as report:
        HANG_REPORT = report
        yield report
    HANG_REPORT = None


FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=not LONG_RUN and "KESTRUNE_FUZZ_EXAMPLES" not in os.environ,
    database=None,
    suppress_health_check=list(HealthCheck),
)

SENTINEL = 0xA5
MARGIN = 24  # sentinel bytes before and after every view


class Boom(Exception):
    """Raised by the arguments' own methods; must come back unchanged."""


ALLOWED = (TypeError, ValueError, IndexError, OverflowError, AttributeError, BufferError, Boom)


def needs(*names):
    missing = [n for n in names if not hasattr(kestrune, n)]
    return pytest.mark.skipif(bool(missing), reason=f"not built yet: {missing}")


# ---------------------------------------------------------------------------
# Arrays inside sentinel buffers


@dataclass
class Guarded:
    """An array view at `offset` inside `base`, with the geometry to mark any
    window of its elements as writable."""

    obj: object  # what is passed: the array, a memoryview of it, ...
    array: np.ndarray
    base: np.ndarray
    before: np.ndarray
    offset: int
    shape: tuple
    strides: tuple
    itemsize: int

    def window(self, index):
        """A boolean map of `base`: True on the bytes of array[index]."""
        allowed = np.zeros(self.base.size, np.uint8)
        if self.array.size:
            byte_view = np.ndarray(
                self.shape + (self.itemsize,),
                np.uint8,
                buffer=allowed,
                offset=self.offset,
                strides=self.strides + (1,),
            )
            byte_view[index] = 1
        return allowed.astype(bool)

    def stray_writes(self, index=None):
        """Offsets of bytes written outside array[index] (nothing, when None)."""
        changed = self.base != self.before
        if index is not None:
            changed &= ~self.window(index)
        return np.flatnonzero(changed)


def build_guarded(shape, dtype, strides, misalign, fill, readonly, wrapper):
    dtype = np.dtype(dtype)
    itemsize = dtype.itemsize
    lo = hi = 0
    for extent, stride in zip(shape, strides):
        if extent > 0:
            lo += min(0, (extent - 1) * stride)
            hi += max(0, (extent - 1) * stride)
    span = hi - lo + itemsize
    base = np.full(MARGIN + span + MARGIN + misalign, SENTINEL, np.uint8)
    offset = MARGIN + misalign - lo
    array = np.ndarray(shape, dtype, buffer=base, offset=offset, strides=strides)
    if array.size:
        fill(array)
    if readonly:
        array.flags.writeable = False
    obj = wrapper(array)
    return Guarded(obj, array, base, base.copy(), offset, tuple(shape), tuple(strides), itemsize)


def packed_strides(shape, itemsize):
    strides, step = [], itemsize
    for extent in reversed(shape):
        strides.append(step)
        step *= max(extent, 1)
    return list(reversed(strides))


def as_memoryview(array):
    return memoryview(array)


def identity(array):
    return array


@st.composite
def layouts(draw, shape, itemsize, inner_packed):
    """Byte strides for `shape`: packed, padded, reversed, zero or odd per
    axis; the innermost axis packed when `inner_packed`."""
    strides = packed_strides(shape, itemsize)
    last = len(shape) - 1
    for axis in range(len(shape)):
        if axis == last and inner_packed:
            continue
        mode = draw(st.sampled_from(["packed", "packed", "padded", "reversed", "zero", "odd"]))
        if mode == "padded":
            strides[axis] += itemsize * draw(st.integers(1, 5))
        elif mode == "reversed":
            strides[axis] = -strides[axis] - itemsize * draw(st.integers(0, 2))
        elif mode == "zero":
            strides[axis] = 0
        elif mode == "odd":
            strides[axis] = strides[axis] + draw(st.sampled_from([1, 3, -1])) if strides[axis] > 1 else 3
    return tuple(strides)


POINT_LIMITS = np.array([0, 1, -1, 2**31 - 1, -(2**31), 46341, -46341, 65535], np.int64)


def filler(kind, seed):
    rng = np.random.default_rng(seed)

    def fill(array):
        if array.dtype.kind in "iu" and kind == "points":
            values = rng.integers(-3, 60, array.shape)
            if rng.random() < 0.3:
                wild = rng.random(array.shape) < 0.2
                values = np.where(wild, rng.choice(POINT_LIMITS, array.shape), values)
            array[...] = values.astype(array.dtype, casting="unsafe")
        elif array.dtype.kind == "b":
            array[...] = rng.random(array.shape) < 0.5
        elif array.dtype.kind in "VS":
            pass  # left as sentinel bytes
        elif array.dtype.kind in "fc":
            array[...] = rng.normal(0, 100, array.shape)
        elif kind == "mask":
            array[...] = rng.choice(np.array([0, 0, 1, 2, 255]), array.shape).astype(array.dtype)
        elif kind == "plane":
            array[...] = (rng.random(array.shape) < 0.4) * rng.integers(1, 256, array.shape)
        else:
            # Colours near the red and blue corners pass the bounds below.
            palette = np.array([[200, 100, 50], [255, 128, 0], [30, 20, 10], [0, 0, 0],
                                [20, 40, 220], [255, 255, 255], [200, 200, 50]])
            picks = palette[rng.integers(0, len(palette), array.shape[:-1] or (1,))]
            noise = rng.integers(0, 256, array.shape)
            if array.shape and array.shape[-1] == 3 and array.ndim >= 2:
                array[...] = picks.reshape(array.shape).astype(array.dtype, casting="unsafe")
            else:
                array[...] = noise.astype(array.dtype, casting="unsafe")

    return fill


def extents(small, large):
    """Mostly small; sometimes long enough for the widest vector loops."""
    return st.one_of(st.integers(0, small), st.integers(0, small), st.integers(0, small), st.integers(small, large))


# Element type, expected number of axes, and the likely extents of each axis.
KINDS = {
    "image": ("u1", 3, [extents(6, 140), extents(7, 150), st.sampled_from([3, 3, 3, 3, 0, 1, 2, 4])]),
    "plane": ("u1", 2, [extents(7, 140), extents(8, 150)]),
    "points": ("<i4", 2, [extents(12, 90), st.sampled_from([2, 2, 2, 2, 0, 1, 3])]),
    "mask": ("u1", 1, [extents(14, 90)]),
}
OTHER_DTYPES = ["u1", "?", "i1", "<i2", ">u2", "<i4", ">i4", "<u4", "<i8", "<f4", "<f8", "<c8",
                "i4,i4", "V2", "V4", "S1"]


def other_extent():
    return st.integers(0, 4)


def pick(*weighted):
    """A choice among (weight, value) pairs; the first is the usual case."""
    return st.sampled_from([value for weight, value in weighted for _ in range(weight)])


@st.composite
def weighted(draw, *options):
    """A value from one of the (weight, strategy) options; the first is the usual case."""
    return draw(draw(pick(*options)))


@st.composite
def arrays(draw, kind, at_least=None):
    """A guarded array for a parameter of `kind`: mostly of the right type and
    number of axes (at least `at_least` long on its first axes, when given),
    with any layout; sometimes anything else."""
    dtype, ndim, extents = KINDS[kind]
    flaw = draw(pick((24, None), (1, "shape"), (1, "dtype"), (1, "inner"), (1, "readonly")))
    if flaw == "shape":
        shape = tuple(draw(other_extent()) for _ in range(draw(st.integers(0, 4))))
    else:
        shape = [draw(e) for e in extents]
        if at_least is not None and draw(pick((3, True), (1, False))):
            for axis, least in enumerate(at_least):
                shape[axis] = least + draw(pick((3, 0), (1, 1), (1, 2)))
        shape = tuple(shape)
    if flaw == "dtype":
        dtype = draw(st.sampled_from(OTHER_DTYPES))
    itemsize = np.dtype(dtype).itemsize
    strides = draw(layouts(shape, itemsize, flaw != "inner")) if shape else ()
    misalign = draw(pick((3, 0), (1, 1), (1, 2), (1, 3)))
    wrapper = draw(pick((6, identity), (1, as_memoryview)))
    seed = draw(st.integers(0, 2**32 - 1))
    return build_guarded(shape, dtype, strides, misalign, filler(kind, seed), flaw == "readonly", wrapper)


def first_extents(value, axes):
    """The leading extents of a guarded array (zeros for anything else)."""
    if isinstance(value, Guarded) and value.array.ndim >= axes:
        return value.array.shape[:axes]
    return (0,) * axes


class RaisingExporter:
    def __buffer__(self, flags):
        raise Boom("from __buffer__")


class WrongExporter:
    """Exports a buffer of some other shape than it claims to be."""

    def __init__(self):
        self.data = bytearray(7)

    def __buffer__(self, flags):
        return memoryview(self.data)


NOT_ARRAYS = [None, 5, 2.5, "abc", b"abcdef", bytearray(b"\x01\x00\x01"), [[1, 2], [3, 4]], (1, 2),
              object(), RaisingExporter(), WrongExporter(), np.float64(1.0), np.zeros((2, 2), object),
              memoryview(b"\x00" * 6).cast("B", shape=[2, 3])]


def array_args(kind, at_least=None):
    """A parameter of `kind`: a guarded array, None, or something that is no array."""
    return weighted((16, arrays(kind, at_least)), (1, st.just(None)), (1, st.sampled_from(NOT_ARRAYS)))


# ---------------------------------------------------------------------------
# Numbers


class IndexOnly:
    def __index__(self):
        return 3


class IndexRaises:
    def __index__(self):
        raise Boom("from __index__")


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise Boom("from __float__")


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


INT_LIMITS = [0, 1, -1, 2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**32, 2**63 - 1, 2**63, -(2**63) - 1,
              2**100, -(2**100)]
ODD_INTS = [True, False, 7.9, -7.9, math.nan, math.inf, -math.inf, 1e300, np.int8(-5), np.uint64(2**64 - 1),
            np.int64(2**40), np.float32(3.5), np.float64(math.nan), np.bool_(True), IntRaises(Boom("from __int__")),
            IntReturns("7"), IntReturns(2.5), IntReturns(SubInt(4)), IntReturns(2**31), IntReturns(None),
            IndexOnly(), IndexRaises(), IndexReturns(2.5), SubInt(9), "7", None, [1], object(), 1 + 2j]


def int_args(small=None):
    """A 32-bit integer parameter. `small` bounds the values that convert, for
    counts that set a fit's running time; larger ones must fail conversion."""
    if small is None:
        return weighted((8, st.integers(-300, 300)), (4, st.integers(-(2**31), 2**31 - 1)),
                        (1, st.sampled_from(INT_LIMITS)), (1, st.sampled_from(ODD_INTS)))
    lo, hi = small
    odd = [v for v in ODD_INTS if _converts_within(v, lo, hi) is not False]
    return weighted((24, st.integers(lo, hi)), (1, st.sampled_from([2**31, -(2**31) - 1, 2**63, 2**100])),
                    (1, st.sampled_from(odd)))


def _converts_within(value, lo, hi):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            number = int(value) if not isinstance(value, (str, list)) else None
    except Exception:
        return None
    if number is None:
        return None
    return lo <= number <= hi or not -(2**31) <= number < 2**31


DOUBLES = [0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308,
           True, 3, -(2**31), 2**2000, np.float32(0.6), np.float64(math.nan), np.int64(7), IndexOnly(),
           IndexRaises(), IndexReturns("x"), IndexReturns(2**1100), FloatRaises(), FloatReturns("x"), FloatReturns(2),
           "1.5", None, object(), 1j]


def float_args():
    return weighted((6, st.floats(-4, 4)), (2, st.floats(allow_nan=True, allow_infinity=True)),
                    (1, st.sampled_from(DOUBLES)))


# ---------------------------------------------------------------------------
# Bounds


REAL_BOUNDS = [
    # a red sector and an intensity band, as calculate_lch_bounds makes them
    {"M": [256, -256, 0, 0, 256, -256, 85, 85, 85], "i": (6554, 58982), "c": (15135, 75674)},
    {"M": [-128, 256, -128, 222, 0, -222, 85, 85, 85], "i": (0, 65536), "c": (0, 100000)},
    {"M": [2**31 - 1, -(2**31), 7, 2**30, 2**30, 2**30, 2**31 - 1, 2**31 - 1, 1], "i": (-(2**31), 2**31 - 1),
     "c": (-(2**31), 2**31 - 1)},
    {"M": [0] * 9, "i": (0, 0), "c": (0, 0)},
]


class FrozenMapping(Mapping):
    def __init__(self, data):
        self.data = dict(data)

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class LookupRaises:
    def __getitem__(self, key):
        raise Boom("from __getitem__")


class KeyErrorSub(KeyError):
    pass


class MissingRaisesSubclass:
    def __getitem__(self, key):
        raise KeyErrorSub(key)


class LenRaises:
    def __len__(self):
        raise Boom("from __len__")

    def __iter__(self):
        return iter([0, 0])


class LenLies:
    """Claims two items but yields some other number."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2

    def __iter__(self):
        return iter(self.items)


ODD_VALUES = [None, 5, "ab", b"ab", [object(), 1], [1.5, 2.5], [math.nan, 1], [math.inf, 1], [2**31, 0],
              np.array([1, 2], np.int64), LenRaises(), LenLies([1]), LenLies([1, 2, 3]), LenLies([IntRaises(Boom("from __int__")), 1]),
              (x for x in (1, 2)), {1: 2, 3: 4}, range(2)]


@st.composite
def bounds_values(draw):
    record = dict(draw(st.sampled_from(REAL_BOUNDS)))
    if draw(pick((3, False), (1, True))):
        record = {key: [draw(st.integers(-(2**31), 2**31 - 1)) for _ in value] for key, value in record.items()}
    if draw(pick((3, False), (1, True))):
        record["M"] = np.array(record["M"], draw(st.sampled_from([np.int32, np.int64, np.float64])))
    # damage: drop, add, resize or replace entries
    for _ in range(draw(pick((10, 0), (1, 1), (1, 2)))):
        action = draw(st.sampled_from(["drop", "extra", "length", "value"]))
        key = draw(st.sampled_from(["i", "c", "M"]))
        if action == "drop":
            record.pop(key, None)
        elif action == "extra":
            record[draw(st.sampled_from(["x", "m", 0, "I"]))] = 1
        elif action == "length" and isinstance(record.get(key), (list, tuple, np.ndarray)):
            record[key] = list(record[key])[: draw(st.integers(0, 10))] + [1] * draw(st.integers(0, 2))
        elif action == "value":
            record[key] = draw(st.sampled_from(ODD_VALUES))
    form = draw(pick((6, "dict"), (1, "mapping"), (1, "record")))
    if form == "mapping":
        return FrozenMapping(record)
    if form == "record" and {"M", "i", "c"} <= record.keys():
        return kestrune.LCHBounds(record["M"], record["i"], record["c"])
    return record


def bounds_args():
    return weighted((12, bounds_values()), (1, st.sampled_from([None, 5, [1, 2, 3], ("M", "i", "c"), LookupRaises(), MissingRaisesSubclass(),
                                      "imc", object()])))


# ---------------------------------------------------------------------------
# Calls


@st.composite
def call_forms(draw, names, values):
    """The arguments as positional, keyword (any order) or mixed, sometimes
    with one too many or too few."""
    split = draw(st.integers(0, len(names)))
    positional = list(values[:split])
    keywords = dict(zip(names[split:], values[split:]))
    order = draw(st.permutations(list(keywords)))
    keywords = {key: keywords[key] for key in order}
    damage = draw(pick((40, None), (1, "drop"), (1, "unknown"), (1, "repeat"), (1, "extra")))
    if damage == "drop" and keywords:
        keywords.pop(next(iter(keywords)))
    elif damage == "unknown":
        keywords["unknown"] = 1
    elif damage == "repeat" and positional:
        keywords[names[0]] = values[0]
    elif damage == "extra":
        positional.append(0)
    return positional, keywords


def unwrap(value):
    return value.obj if isinstance(value, Guarded) else value


def call(function, names, values, form, also=()):
    """Calls with the drawn form; returns (result, None) or (None, the allowed
    error). `also` adds errors that the Python-level functions pass on from
    their arguments' own methods (a dict's KeyError for a missing index)."""
    positional, keywords = form
    positional = [unwrap(v) for v in positional]
    keywords = {k: unwrap(v) for k, v in keywords.items()}
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=HANG_REPORT)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = function(*positional, **keywords)
        event("returned")
        return result, None
    except ALLOWED + tuple(also) as error:
        event(f"{type(error).__name__}: {str(error)[:40]}")
        return None, error
    finally:
        faulthandler.cancel_dump_traceback_later()


def intact(*values):
    """Arrays the function must not write at all."""
    for value in values:
        if isinstance(value, Guarded):
            assert value.stray_writes().size == 0, f"input array written at {value.stray_writes()[:8]}"


def written_only(value, index):
    if isinstance(value, Guarded):
        stray = value.stray_writes(index)
        assert stray.size == 0, f"bytes written outside {index} at base offsets {stray[:8]}"


def rows_of(value):
    if value is None:
        return 0
    return value.array.shape[0] if isinstance(value, Guarded) else None


@pytest.mark.parametrize("strides", [(8, 4), (-8, 4), (12, 4), (9, 4), (-13, 4)])
def test_guard_sees_a_write_just_outside_the_window(strides):
    # The whole suite rests on this: writes inside the window pass; one to the
    # next row, or to the byte before the view, does not.
    guarded = build_guarded((5, 2), "<i4", strides, 1, lambda a: a.fill(3), False, identity)
    guarded.array[:3] = 7
    assert guarded.stray_writes(np.s_[:3]).size == 0
    guarded.array[3, 1] = 9
    assert guarded.stray_writes(np.s_[:3]).size > 0
    before_view = guarded.offset + min(0, 4 * strides[0]) - 1
    guarded.base[before_view] ^= 0xFF
    assert before_view in guarded.stray_writes(np.s_[:]).tolist()


# ---------------------------------------------------------------------------
# The native kernels


@needs("mask_image_cy_impl", "selective_grayscale_impl")
@pytest.mark.parametrize("name", ["mask_image_cy_impl", "selective_grayscale_impl"])
@FUZZ
@given(data=st.data())
def test_masking_kernels(name, data):
    names = ["_image", "_output", "bounds"]
    image = data.draw(array_args("image"))
    values = [image, data.draw(array_args("plane", first_extents(image, 2))), data.draw(bounds_args())]
    form = data.draw(call_forms(names, values))
    result, error = call(getattr(kestrune, name), names, values, form)
    image, output = values[0], values[1]
    intact(image)
    if error is not None:
        intact(output)
        return
    assert type(result) is int
    h, w = (image.array.shape[:2] if isinstance(image, Guarded) else (0, 0))
    assert result == h * w
    written_only(output, np.s_[:h, :w])
    if name == "mask_image_cy_impl" and isinstance(output, Guarded) and h * w:
        assert set(np.unique(output.array[:h, :w])) <= {0, 1}


@needs("simple_edge", "simple_edge_hsv")
@pytest.mark.parametrize("colour", [False, True])
@FUZZ
@given(data=st.data())
def test_edge_scans(colour, data):
    if colour:
        names = ["_image", "_ps", "bounds", "row_count", "column_count"]
        values = [data.draw(array_args("image")), data.draw(array_args("points")), data.draw(bounds_args()),
                  data.draw(int_args((-3, 70_000))), data.draw(int_args((-3, 70_000)))]
        function = kestrune.simple_edge_hsv
    else:
        names = ["_image", "_ps", "row_count", "column_count"]
        values = [data.draw(array_args("plane")), data.draw(array_args("points")),
                  data.draw(int_args((-3, 70_000))), data.draw(int_args((-3, 70_000)))]
        function = kestrune.simple_edge
    form = data.draw(call_forms(names, values))
    result, error = call(function, names, values, form)
    intact(values[0])
    if error is not None:
        intact(values[1])
        return
    assert type(result) is int
    assert 0 <= result <= rows_of(values[1])
    written_only(values[1], np.s_[:result])


@needs("simple_denoise")
@FUZZ
@given(data=st.data())
def test_simple_denoise(data):
    names = ["_ps_in", "_ps_out", "min_distance"]
    ps_in = data.draw(array_args("points"))
    values = [ps_in, data.draw(array_args("points", first_extents(ps_in, 1))), data.draw(int_args())]
    form = data.draw(call_forms(names, values))
    result, error = call(kestrune.simple_denoise, names, values, form)
    intact(values[0])
    if error is not None:
        intact(values[1])
        return
    assert type(result) is int
    assert 0 <= result <= rows_of(values[0])
    assert result % 2 == 0  # whole (start, end) pairs
    written_only(values[1], np.s_[:result])


@needs("remove_inliers")
@FUZZ
@given(data=st.data())
def test_remove_inliers(data):
    names = ["_ps_in", "_ps_out", "_ms"]
    ps_in = data.draw(array_args("points"))
    rows = first_extents(ps_in, 1)
    values = [ps_in, data.draw(array_args("points", rows)), data.draw(array_args("mask", rows))]
    form = data.draw(call_forms(names, values))
    result, error = call(kestrune.remove_inliers, names, values, form)
    intact(values[0], values[2])
    if error is not None:
        intact(values[1])
        return
    assert type(result) is int
    assert 0 <= result <= rows_of(values[0])
    written_only(values[1], np.s_[:result])


FIT_COUNT = (-3, 25)  # small: the fit's running time grows with it


@needs("ransac_circle", "ransac_ellipse")
@pytest.mark.parametrize("name", ["ransac_circle", "ransac_ellipse"])
@FUZZ
@given(data=st.data())
def test_ring_fits(name, data):
    if name == "ransac_circle":
        names = ["_ps", "count", "min_r", "max_r", "delta"]
        values = [data.draw(array_args("points")), data.draw(int_args(FIT_COUNT)), data.draw(int_args()),
                  data.draw(int_args()), data.draw(int_args())]
        keys, field = ["x", "y", "r"], int
    else:
        names = ["_ps", "count", "min_r", "max_r", "ratio", "delta"]
        values = [data.draw(array_args("points")), data.draw(int_args(FIT_COUNT)), data.draw(int_args()),
                  data.draw(int_args()), data.draw(float_args()), data.draw(int_args())]
        keys, field = ["x", "y", "a", "b", "theta"], float
    form = data.draw(call_forms(names, values))
    result, error = call(getattr(kestrune, name), names, values, form)
    intact(values[0])
    if error is not None:
        return
    assert type(result) is dict and list(result) == keys
    assert all(type(v) is field for v in result.values())


LINE_KEYS = ["px", "py", "nx", "ny"]


@needs("ransac_line", "ransac_line2")
@pytest.mark.parametrize("name", ["ransac_line", "ransac_line2"])
@FUZZ
@given(data=st.data())
def test_line_fits(name, data):
    ps = data.draw(array_args("points"))
    ms = data.draw(array_args("mask", first_extents(ps, 1)))
    if name == "ransac_line":
        names = ["_ps", "_ms", "count", "delta", "slope_limit"]
        values = [ps, ms, data.draw(int_args(FIT_COUNT)), data.draw(int_args()), data.draw(float_args())]
    else:
        names = ["_ps", "_ms", "count", "ratio", "delta"]
        values = [ps, ms, data.draw(int_args(FIT_COUNT)), data.draw(float_args()), data.draw(int_args())]
    form = data.draw(call_forms(names, values))
    result, error = call(getattr(kestrune, name), names, values, form)
    intact(values[0])
    if error is not None:
        intact(values[1])
        return
    lines = [result] if name == "ransac_line" else list(result)
    if name == "ransac_line2":
        assert type(result) is tuple and len(result) == 2
    for line in lines:
        assert type(line) is dict and list(line) == LINE_KEYS
        assert all(type(v) is int for v in line.values())
    n = rows_of(values[0])
    written_only(values[1], np.s_[:n])
    if isinstance(values[1], Guarded) and n:
        assert set(np.unique(values[1].array[:n])) <= {0, 1}


# ---------------------------------------------------------------------------
# The Python-level functions


def limit_pairs():
    number = st.one_of(st.floats(-4, 4), st.integers(-3, 3), st.sampled_from([math.nan, math.inf, 0.0, 1e308]))
    return st.one_of(
        st.tuples(number, number),
        st.tuples(number, number).map(np.array),
        st.tuples(number),
        st.sampled_from([None, 5, "ab", (), ("a", "b"), (object(), 1), LookupRaises(), {0: 1, 1: 2}]),
    )


@needs("calculate_lch_bounds")
@FUZZ
@given(data=st.data())
def test_calculate_lch_bounds(data):
    names = ["hue_limit", "chroma_limit", "intensity_limit", "rgb_bits"]
    values = [data.draw(limit_pairs()), data.draw(limit_pairs()), data.draw(limit_pairs()),
              data.draw(st.one_of(st.integers(-3, 40), st.sampled_from([None, 2.0, "8", IndexOnly(), True])))]
    if data.draw(st.booleans()):
        names, values = names[:3], values[:3]  # the default
    form = data.draw(call_forms(names, values))
    result, error = call(kestrune.calculate_lch_bounds, names, values, form, also=[KeyError])
    if error is None:
        assert type(result) is kestrune.LCHBounds


def colours():
    return st.one_of(
        st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255)),
        st.lists(st.integers(-300, 300), max_size=5),
        st.sampled_from([None, "rgb", (1.5, math.nan, 2), [[1, 2, 3], [4, 5, 6]], np.zeros(3, np.uint8),
                         (object(), 1, 2)]),
    )


def as_record(bounds):
    if isinstance(bounds, dict) and {"M", "i", "c"} <= bounds.keys():
        m = bounds["M"]
        return kestrune.LCHBounds(np.asarray(m) if isinstance(m, (list, tuple)) else m, bounds["i"], bounds["c"])
    return bounds


def record_args():
    """Bounds for the Python-level functions: records, (M, i, c) tuples, others."""
    return st.one_of(
        bounds_values().map(as_record),
        st.sampled_from([tuple(REAL_BOUNDS[0].values()), (np.arange(9), (0, 1), (0, 1)), (1, 2), (1, 2, 3, 4),
                         ([0] * 9, (0, 1), (0, 1)), (np.arange(8), (0, 1), (0, 1)), None, 5]),
    )


@needs("mask_color")
@FUZZ
@given(data=st.data())
def test_mask_color(data):
    names = ["color", "bounds"]
    values = [data.draw(colours()), data.draw(record_args())]
    result, error = call(kestrune.mask_color, names, values, data.draw(call_forms(names, values)), also=[KeyError])
    if error is None:
        assert isinstance(result, (np.bool_, np.ndarray))


@needs("mask_image_py")
@FUZZ
@given(data=st.data())
def test_mask_image_py(data):
    names = ["image", "bounds"]
    values = [data.draw(array_args("image")), data.draw(record_args())]
    result, error = call(kestrune.mask_image_py, names, values, data.draw(call_forms(names, values)),
                         also=[KeyError])
    intact(values[0])
    if error is None:
        # NumPy turns the mask of a single pixel (a 1-D image) into a scalar.
        assert isinstance(result, (np.ndarray, np.uint8)) and result.dtype == np.uint8


@needs("mask_image", "selective_grayscale")
@pytest.mark.parametrize("name", ["mask_image", "selective_grayscale"])
@FUZZ
@given(data=st.data())
def test_masking_conveniences(name, data):
    names = ["image", "bounds", "buffer"]
    image = data.draw(array_args("image"))
    values = [image, data.draw(st.one_of(record_args(), bounds_args())),
              data.draw(st.one_of(st.just(None), array_args("plane", first_extents(image, 2))))]
    if data.draw(st.booleans()) and values[2] is None:
        names, values = names[:2], values[:2]
    form = data.draw(call_forms(names, values))
    result, error = call(getattr(kestrune, name), names, values, form)
    intact(image)
    positional, keywords = form
    passed = positional[2] if len(positional) > 2 else keywords.get("buffer")
    if len(values) == 3 and values[2] is not passed:
        intact(values[2])
    if error is not None:
        intact(passed)
        return
    if passed is not None:
        assert result is unwrap(passed)
    else:
        assert isinstance(result, np.ndarray) and result.dtype == np.uint8
    if isinstance(image, Guarded):
        h, w = image.array.shape[:2]
        written_only(passed, np.s_[:h, :w])


# ---------------------------------------------------------------------------
# Regressions found by fuzzing


HUGE_POINTS = """
import numpy as np, kestrune
from numpy.lib.stride_tricks import as_strided
rows = {rows}
ps = as_strided(np.arange(2, dtype=np.int32), shape=(rows, 2), strides=(0, 4))
ms = np.zeros(rows, np.uint8) if {with_mask} else None
try:
    {call}
except ValueError as error:
    print(error)
"""
HUGE_POINT_CALLS = [
    ("kestrune.ransac_circle(ps, 1, 0, 10, 1)", False),
    ("kestrune.ransac_ellipse(ps, 1, 0, 10, 2.0, 1)", False),
    ("kestrune.ransac_line(ps, ms, 1, 1, 0.5)", True),
    ("kestrune.ransac_line2(ps, ms, 1, 0.9, 1)", True),
]


@needs("ransac_circle", "ransac_ellipse", "ransac_line", "ransac_line2")
@pytest.mark.parametrize("rows", [2**32, 2**32 + 1, 2**32 + 3])
@pytest.mark.parametrize("call, with_mask", HUGE_POINT_CALLS, ids=lambda v: str(v).split("(")[0])
def test_fits_refuse_point_counts_the_sampler_cannot_draw_from(rows, call, with_mask):
    # A zero row stride lets a view claim 2**32 rows and more: the sampler's
    # 32-bit row count became 0 (division by zero) or 1 (an endless draw).
    if with_mask and SANITIZED:
        pytest.skip("a 4 GiB mask is too much for the sanitizer's shadow memory")
    code = HUGE_POINTS.format(rows=rows, with_mask=with_mask, call=call)

    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=HANG_SECONDS)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == f"_ps must have fewer than 2**31 rows (got {rows})"


# ---------------------------------------------------------------------------
# Arguments whose methods act on the call while it converts them


class Calls:
    """An integer whose __int__ first runs `action`."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __int__(self):
        self.action()
        return self.value


def bytearray_image(h, w):
    store = bytearray(h * w * 3)
    return store, memoryview(store).cast("B", [h, w, 3])


def refused_resize(store, refusals):
    def action():
        try:
            store.extend(b"\x00" * 4096)
        except BufferError:
            refusals.append(True)

    return action


@needs("mask_image_cy_impl", "simple_edge_hsv")
@pytest.mark.parametrize("name", ["mask_image_cy_impl", "simple_edge_hsv"])
def test_views_stay_held_while_later_arguments_convert(name):
    # The bounds convert after the image view is taken: code they run must not
    # be able to move the image's memory from under the kernel.
    store, image = bytearray_image(4, 5)
    refusals = []
    bounds = {"i": (0, 1), "c": (0, 1), "M": [Calls(refused_resize(store, refusals))] + [0] * 8}
    if name == "mask_image_cy_impl":
        assert kestrune.mask_image_cy_impl(image, np.zeros((4, 5), np.uint8), bounds) == 20
    else:
        assert kestrune.simple_edge_hsv(image, np.zeros((8, 2), np.int32), bounds, 4, 4) == 0
    assert refusals == [True]
    image.release()
    store.extend(b"\x00")  # and the export ends with the call


@needs("mask_image_cy_impl")
@pytest.mark.parametrize("change, message", [
    (lambda values: values.clear(), "not enough values found during array assignment, expected 9, got 1"),
    (lambda values: values.append(0), "too many values found during array assignment, expected 9"),
])
def test_bounds_list_changed_by_its_own_items(change, message):
    values = [0] * 9
    values[0] = Calls(lambda: change(values))
    with pytest.raises(IndexError) as raised:
        kestrune.mask_image_cy_impl(np.zeros((2, 2, 3), np.uint8), np.zeros((2, 2), np.uint8),
                                    {"i": (0, 1), "c": (0, 1), "M": values})
    assert str(raised.value) == message


@needs("calculate_lch_bounds")
@pytest.mark.parametrize("intensity", ["ab", ([1], [2]), (b"a", b"b"), ((0.1,), (0.9,))])
def test_sequence_limits_are_refused_not_repeated(intensity):
    # `limit * 2**(2 * rgb_bits)` repeats a sequence: with rgb_bits 20 that
    # asked for a terabyte (MemoryError, or an abort under the sanitizer).
    with pytest.raises(TypeError, match="colour limits must be numbers"):
        kestrune.calculate_lch_bounds((-0.5, 0.5), (0.1, 1.0), intensity, 20)
    # Without scaling they are passed through untouched, as before.
    assert kestrune.calculate_lch_bounds((-0.5, 0.5), (0.1, 1.0), intensity, None).i == (intensity[0], intensity[1])
