"""The calling layer: binding, number conversion, array views, the bounds record."""
import ctypes
import warnings

import numpy as np
import pytest

import kestrune as k
from conftest import IntRaises, IntReturns, SubInt

PS = np.zeros((4, 2), np.int32)
MS = np.zeros(4, np.uint8)
IMG = np.zeros((2, 2, 3), np.uint8)
OUT = np.zeros((2, 2), np.uint8)
BOUNDS = {"i": (0, 1), "c": (0, 1), "M": (0,) * 9}


class OnlyIndex:
    def __index__(self):
        return 3


CALL_ERRORS = [
    # binding
    (lambda: k.ransac_circle(PS, 1, 2, 3), TypeError, "ransac_circle() takes exactly 5 positional arguments (4 given)"),
    (lambda: k.ransac_circle(PS, count=1), TypeError, "ransac_circle() takes exactly 5 positional arguments (2 given)"),
    (lambda: k.ransac_circle(), TypeError, "ransac_circle() takes exactly 5 positional arguments (0 given)"),
    (lambda: k.ransac_circle(PS, 1, 2, 3, 4, 5), TypeError, "ransac_circle() takes exactly 5 positional arguments (6 given)"),
    (lambda: k.ransac_circle(_ps=PS, count=1, min_r=2, max_r=3), TypeError,
     "ransac_circle() takes exactly 5 positional arguments (4 given)"),
    (lambda: k.calculate_lch_bounds(1, 2), TypeError, "calculate_lch_bounds() takes at least 3 positional arguments (2 given)"),
    (lambda: k.calculate_lch_bounds(1, 2, 3, 4, 5), TypeError,
     "calculate_lch_bounds() takes at most 4 positional arguments (5 given)"),
    (lambda: k.mask_image(IMG, BOUNDS, None, rgb=1), TypeError, "mask_image() got an unexpected keyword argument 'rgb'"),
    (lambda: k.ransac_circle(PS, 1, 2, 3, 4, delta=1), TypeError,
     "ransac_circle() got multiple values for keyword argument 'delta'"),
    (lambda: k.ransac_circle(PS, 1, 2, 3, 4, foo=1), TypeError, "ransac_circle() got an unexpected keyword argument 'foo'"),
    (lambda: k.ransac_circle(PS, 1, 2, 3, foo=1, delta=1), TypeError,
     "ransac_circle() got an unexpected keyword argument 'foo'"),
    # the missing required parameter is reported before an unknown keyword
    (lambda: k.ransac_circle(PS, 1, 2, foo=1, delta=1), TypeError,
     "ransac_circle() takes exactly 5 positional arguments (3 given)"),
    # integers
    (lambda: k.ransac_circle(PS, 2**31, 0, 0, 0), OverflowError, "value too large to convert to int"),
    (lambda: k.ransac_circle(PS, -(2**31) - 1, 0, 0, 0), OverflowError, "value too large to convert to int"),
    (lambda: k.ransac_circle(PS, 2**64, 0, 0, 0), OverflowError, "too large to convert to C long"),
    (lambda: k.ransac_circle(PS, 1e10, 0, 0, 0), OverflowError, "value too large to convert to int"),
    (lambda: k.ransac_circle(PS, "7", 0, 0, 0), TypeError, "an integer is required"),
    (lambda: k.ransac_circle(PS, None, 0, 0, 0), TypeError, "an integer is required"),
    (lambda: k.ransac_circle(PS, OnlyIndex(), 0, 0, 0), TypeError, "an integer is required"),
    (lambda: k.ransac_circle(PS, IntReturns(1.5), 0, 0, 0), TypeError, "__int__ returned non-int (type float)"),
    (lambda: k.ransac_circle(PS, IntRaises(ZeroDivisionError("from __int__")), 0, 0, 0), ZeroDivisionError, "from __int__"),
    (lambda: k.ransac_circle(PS, float("nan"), 0, 0, 0), ValueError, "NaN"),
    # doubles
    (lambda: k.ransac_line(PS, MS, 1, 1, "x"), TypeError, "must be real number, not str"),
    # array views
    (lambda: k.ransac_circle(PS.astype(np.int64), 0, 0, 0, 0), ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    (lambda: k.ransac_circle(np.zeros((2, 2, 2), np.int32), 0, 0, 0, 0), ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
    (lambda: k.ransac_circle(np.zeros((2, 5), np.int32).T, 0, 0, 0, 0), ValueError,
     "Buffer and memoryview are not contiguous in the same dimension."),
    (lambda: k.ransac_circle(PS.astype(np.float32), 0, 0, 0, 0), ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'float'"),
    (lambda: k.ransac_circle(PS.astype(np.uint32), 0, 0, 0, 0), ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    (lambda: k.ransac_circle(PS.astype(">i4"), 0, 0, 0, 0), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    (lambda: k.ransac_circle(PS.astype(np.complex128), 0, 0, 0, 0), ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'complex double'"),
    (lambda: k.ransac_circle(np.zeros((2, 2), [("a", "<i2"), ("b", "<i2")]), 0, 0, 0, 0), ValueError,
     "Buffer dtype mismatch, expected 'int' but got a struct"),
    (lambda: k.ransac_circle(PS.astype(np.float16), 0, 0, 0, 0), ValueError, "Unexpected format string character: 'e'"),
    (lambda: k.ransac_circle([[1, 2]], 0, 0, 0, 0), TypeError, ""),
    (lambda: k.mask_image_cy_impl(IMG.astype(np.int8), OUT, BOUNDS), ValueError,
     "Buffer dtype mismatch, expected 'unsigned char' but got 'signed char'"),
    (lambda: k.simple_edge_hsv(IMG.astype(np.int8), PS, BOUNDS, 1, 1), ValueError,
     "Buffer dtype mismatch, expected 'uchar' but got 'signed char'"),
    (lambda: k.ransac_line(PS, MS.astype(np.int32), 0, 0, 0.0), ValueError,
     "Buffer dtype mismatch, expected 'uint8_t' but got 'int'"),
    (lambda: k.ransac_line(PS, MS.astype(np.uint16), 0, 0, 0.0), ValueError,
     "Buffer dtype mismatch, expected 'uint8_t' but got 'unsigned short'"),
    (lambda: k.ransac_line(PS, np.zeros(8, np.uint8)[::2], 0, 0, 0.0), ValueError, "C-contiguous"),
    (lambda: k.mask_image_cy_impl(np.zeros(12, np.uint8).reshape(2, 2, 3)[:, :, ::-1].copy()[:, :, ::2], OUT, BOUNDS),
     ValueError, "Buffer and memoryview are not contiguous in the same dimension."),
    # the bounds record
    (lambda: k.mask_image_cy_impl(IMG, OUT, 5), TypeError, "Expected a mapping, got int"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, (1, 2, 3)), TypeError, "tuple indices must be integers or slices, not str"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {"i": (0, 1), "c": (0, 1)}), ValueError,
     "No value specified for struct attribute 'M'"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {"c": (0, 1), "M": (0,) * 9}), ValueError,
     "No value specified for struct attribute 'i'"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {**BOUNDS, "M": (0,) * 8}), IndexError,
     "not enough values found during array assignment, expected 9, got 8"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {**BOUNDS, "M": (0,) * 10}), IndexError,
     "too many values found during array assignment, expected 9"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {**BOUNDS, "i": iter((1, 2, 3))}), IndexError,
     "too many values found during array assignment, expected 2"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {**BOUNDS, "i": iter((1,))}), IndexError,
     "not enough values found during array assignment, expected 2, got 1"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {**BOUNDS, "i": (1, "x")}), TypeError, "an integer is required"),
    (lambda: k.mask_image_cy_impl(IMG, OUT, {**BOUNDS, "c": (0, 2**31)}), OverflowError, "value too large to convert to int"),
    # conversions run in declaration order: the image is refused first
    (lambda: k.mask_image_cy_impl([1], "out", 5), TypeError, ""),
    (lambda: k.mask_image_cy_impl(IMG, np.zeros((2, 2), np.int8), 5), ValueError, "'signed char'"),
]


@pytest.mark.parametrize("call,exc,text", CALL_ERRORS)
def test_call_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert text in str(info.value)


def test_number_conversions():
    mask = np.ones((8, 8), np.uint8)
    ps = np.zeros((64, 2), np.int32)
    n = k.simple_edge(mask, ps, 3, 0)
    assert k.simple_edge(mask, ps, 3.9, 0) == n
    assert k.simple_edge(mask, ps, np.float32(3.5), np.int64(0)) == n
    assert k.simple_edge(mask, ps, True, False) == k.simple_edge(mask, ps, 1, 0)
    assert k.simple_edge(mask, ps, -3.9, 0) == 0
    assert k.simple_edge(_image=mask, _ps=ps, row_count=3, column_count=0) == n
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type SubInt\)\.  The ability"):
        assert k.simple_edge(mask, ps, IntReturns(SubInt(3)), 0) == n
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            k.simple_edge(mask, ps, IntReturns(SubInt(3)), 0)
    # doubles: __float__ and then __index__
    assert k.ransac_line(PS, MS, 0, 1, OnlyIndex()) == {"px": 0, "py": 0, "nx": 0, "ny": 0}


def test_views_accept_row_strides_bools_and_none():
    big = np.zeros((8, 2), np.int32)
    k.ransac_circle(big[::2], 0, 0, 0, 0)  # every other row of a larger array
    k.ransac_circle(big[::-1], 0, 0, 0, 0)
    k.ransac_circle(None, 0, 0, 0, 0)
    k.ransac_line(PS, MS.astype(bool), 0, 0, 0.0)
    k.simple_edge(np.zeros((3, 3), bool), PS, 1, 1)
    k.ransac_line(PS, bytearray(4), 0, 0, 0.0)


def ctypes_copy(array):
    """A ctypes array holding the same values: it exports no strides."""
    ctype = {np.dtype(np.uint8): ctypes.c_uint8, np.dtype(np.int32): ctypes.c_int32}[array.dtype]
    for extent in reversed(array.shape):
        ctype = ctype * extent
    out = ctype()
    np.frombuffer(out, array.dtype).reshape(array.shape)[...] = array
    return out


def test_buffers_without_strides_are_packed_arrays():
    # The buffer protocol defines missing strides as C-contiguous: every kind
    # must read and write such a buffer exactly as the same NumPy array.
    rng = np.random.default_rng(4)
    bounds = k.calculate_lch_bounds((-0.6, 0.6), (0.1, 1.2), (0.05, 0.95))._asdict()
    img = rng.integers(0, 256, (5, 7, 3), dtype=np.uint8)
    img[1:4, 2:6] = (200, 30, 30)
    as_np = lambda c, like: np.frombuffer(c, like.dtype).reshape(like.shape)  # noqa: E731

    for kernel in (k.mask_image_cy_impl, k.selective_grayscale_impl):
        out, c_out = np.zeros((5, 7), np.uint8), ctypes_copy(np.full((5, 7), 9, np.uint8))
        assert kernel(ctypes_copy(img), c_out, bounds) == kernel(img, out, bounds) == 35
        np.testing.assert_array_equal(as_np(c_out, out), out)

    ps, c_ps = np.zeros((64, 2), np.int32), ctypes_copy(np.zeros((64, 2), np.int32))
    n = k.simple_edge_hsv(img, ps, bounds, 5, 7)
    assert k.simple_edge_hsv(ctypes_copy(img), c_ps, bounds, 5, 7) == n > 0
    mask = k.mask_image(img, bounds)
    assert k.simple_edge(ctypes_copy(mask), c_ps, 5, 7) == n
    np.testing.assert_array_equal(as_np(c_ps, ps)[:n], ps[:n])

    c_ms = ctypes_copy(np.zeros(n, np.uint8))
    k.ransac_line(ctypes_copy(ps[:n]), c_ms, 0, 1, 0.0)  # no line: every entry flagged
    assert as_np(c_ms, np.zeros(n, np.uint8)).all()
    ms = np.zeros(n, np.uint8)
    k.ransac_line(ps[:n], ms, 20, 1, 0.0)
    kept = k.remove_inliers(ctypes_copy(ps[:n]), c_ps, ctypes_copy(ms))
    assert kept == k.remove_inliers(ps[:n], ps, ms)
    np.testing.assert_array_equal(as_np(c_ps, ps)[:kept], ps[:kept])


@pytest.mark.parametrize(
    "call",
    [
        lambda ro: k.mask_image_cy_impl(ro(IMG), OUT, BOUNDS),  # input-only images too
        lambda ro: k.mask_image_cy_impl(IMG, ro(OUT), BOUNDS),
        lambda ro: k.simple_edge(ro(OUT), PS, 1, 1),
        lambda ro: k.ransac_circle(ro(PS), 0, 0, 0, 0),
        lambda ro: k.ransac_line(PS, ro(MS), 0, 0, 0.0),
    ],
)
def test_read_only_arrays_are_refused(call):
    def read_only(a):
        a = a.copy()
        a.flags.writeable = False
        return a

    with pytest.raises(ValueError, match="read-only"):
        call(read_only)


def test_buffers_are_released_on_every_path():
    img = np.zeros((2, 2, 3), np.uint8)
    out = np.zeros((2, 2), np.uint8)
    k.mask_image_cy_impl(img, out, BOUNDS)
    with pytest.raises(ValueError):
        k.mask_image_cy_impl(img, out, {"i": (0, 1), "c": (0, 1)})
    with pytest.raises(TypeError):
        k.mask_image_cy_impl(img, out, 5)
    img.resize((4, 4, 3), refcheck=False)
    out.resize((3, 3), refcheck=False)


def test_bounds_from_any_mapping_and_lookup_errors():
    class Mapping:
        def __init__(self, data, error=None):
            self.data, self.error = data, error

        def __getitem__(self, key):
            if key == "c" and self.error:
                raise self.error
            return self.data[key]

    img, out = IMG.copy(), OUT.copy()
    assert k.mask_image_cy_impl(img, out, Mapping(BOUNDS)) == 4
    with pytest.raises(ValueError, match="attribute 'c'"):
        k.mask_image_cy_impl(img, out, Mapping(BOUNDS, KeyError("c")))
    with pytest.raises(RuntimeError, match="boom"):
        k.mask_image_cy_impl(img, out, Mapping(BOUNDS, RuntimeError("boom")))
    # floats are truncated like every integer argument
    floats = {"i": (0.9, 1e6), "c": (-1e6, 1e6), "M": [1.9, 0, 0, 0, 1.9, 0, 1, 1, 1]}
    img[:] = 10
    k.mask_image_cy_impl(img, out, floats)
    assert out.all()


# M as a NumPy array converts as the same values in a list would (the array's
# buffer is read directly when it can be): the record, or the same error.
SIGNED_M = [1, -1, 0, 0, 1, -1, 1, 1, 1]
UNSIGNED_M = [1, 0, 0, 0, 1, 0, 1, 1, 1]
M_ARRAYS = [
    np.array(SIGNED_M, np.int32),
    *(np.array(SIGNED_M, t) for t in (np.int8, np.int16, np.int64, np.intc, np.longlong)),
    *(np.array(UNSIGNED_M, t) for t in (np.uint8, np.uint16, np.uint32, np.uint64)),
    np.array(SIGNED_M, np.int32).astype(">i4"),  # big-endian: by its items
    np.array(SIGNED_M * 2, np.int64)[::2],  # not packed
    np.array(SIGNED_M, np.int64).reshape(3, 3),  # three items, not nine
    np.array(SIGNED_M, np.float64) * 1.9,
    np.array([True] * 9),
    np.array(SIGNED_M[:8], np.int32),
    np.array(SIGNED_M + [0], np.int32),
    np.array([2**31] + SIGNED_M[1:], np.int64),
    np.array([-(2**31) - 1] + SIGNED_M[1:], np.int64),
    np.array([2**63] + UNSIGNED_M[1:], np.uint64),
    np.array([2**32 - 1] + UNSIGNED_M[1:], np.uint32),
]


def convert_bounds(M):
    """The kernel's result for bounds with this M: the 2 x 2 mask, or the error."""
    img = np.array([[[10, 20, 30], [200, 100, 50]], [[0, 0, 0], [255, 255, 255]]], np.uint8)
    out = np.full((2, 2), 7, np.uint8)
    try:
        k.mask_image_cy_impl(img, out, {"i": (-(2**31), 2**31 - 1), "c": (-(2**31), 2**31 - 1), "M": M})
    except Exception as error:  # noqa: BLE001 - the error is the result compared
        return type(error), str(error)
    return out.tolist()


@pytest.mark.parametrize("M", M_ARRAYS, ids=lambda a: f"{a.dtype.str}{list(a.shape)}")
def test_a_numpy_matrix_converts_as_its_items_do(M):
    assert convert_bounds(M) == convert_bounds(list(M))


def test_records_are_fresh_dicts_in_field_order():
    a = k.ransac_circle(PS, 0, 0, 0, 0)
    b = k.ransac_circle(PS, 0, 0, 0, 0)
    assert a == b and a is not b and list(a) == ["x", "y", "r"]
    assert list(k.ransac_ellipse(PS, 0, 0, 0, 0.0, 0)) == ["x", "y", "a", "b", "theta"]
    l1, l2 = k.ransac_line2(PS, MS, 0, 0.0, 0)
    assert list(l1) == list(l2) == ["px", "py", "nx", "ny"] and l1 is not l2


def test_keyword_names_must_be_strings():
    # Only a C caller can pass a non-string keyword name; do so through the C API.
    import ctypes

    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 3)((1, 2, 3), (None, None, None), 5)
    with pytest.raises(TypeError, match=r"^mask_color\(\) keywords must be strings$"):
        call(k.mask_color, args, 2, (7,))
    with pytest.raises(TypeError, match=r"^mask_color\(\) got an unexpected keyword argument 'x'$"):
        call(k.mask_color, args, 2, ("x",))


# Each native parameter's kind, as declared for callers; the module derives the
# conversion from the C++ entry's parameter type, so a mistyped entry shows here.
NATIVE_KINDS = {
    "mask_image_cy_impl": ["image", "plane", "bounds"],
    "selective_grayscale_impl": ["image", "plane", "bounds"],
    "simple_edge_hsv": ["uchar image", "points", "bounds", "int32", "int32"],
    "simple_edge": ["plane", "points", "int32", "int32"],
    "simple_denoise": ["points", "points", "int32"],
    "remove_inliers": ["points", "points", "mask"],
    "ransac_circle": ["points", "int32", "int32", "int32", "int32"],
    "ransac_ellipse": ["points", "int32", "int32", "int32", "double", "int32"],
    "ransac_line": ["points", "mask", "int32", "int32", "double"],
    "ransac_line2": ["points", "mask", "int32", "double", "int32"],
}
VIEWS = {  # kind: (axes, element name in messages)
    "image": (3, "unsigned char"),
    "uchar image": (3, "uchar"),
    "plane": (2, "unsigned char"),
    "points": (2, "int"),
    "mask": (1, "uint8_t"),
}


def kind_probes(kind):
    """(a value that converts, [(a value that fails, the message's tell)])."""
    if kind in VIEWS:
        axes, element = VIEWS[kind]
        return None, [(np.zeros((1,) * 5, np.uint8), f"(expected {axes}, got 5)"),
                      (np.zeros((1,) * axes, np.float64), f"expected '{element}' but got 'double'")]
    return {"int32": (0, [(object(), "an integer is required")]),
            "double": (0.0, [(object(), "must be real number, not object")]),
            "bounds": (BOUNDS, [(object(), "Expected a mapping, got object")])}[kind]


@pytest.mark.parametrize("name,position", [(n, p) for n, kinds in NATIVE_KINDS.items() for p in range(len(kinds))])
def test_parameters_convert_as_declared(name, position):
    kinds = NATIVE_KINDS[name]
    before = [kind_probes(kind)[0] for kind in kinds[:position]]
    after = [None] * (len(kinds) - position - 1)  # never reached: conversion stops at the first failure
    for probe, tell in kind_probes(kinds[position])[1]:
        with pytest.raises((TypeError, ValueError)) as info:
            getattr(k, name)(*before, probe, *after)
        assert tell in str(info.value)


def vectorcall(function, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * len(args))(*args)
    return call(function, values, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("function,args,kwnames,name", [
    (k.ransac_circle, [PS, 1, 2, 3, 4, 5], ("count", "min_r", "max_r", "delta", "count"), "count"),
    (k.ransac_circle, [PS, 1, 2, 3, 4, 5], ("count", "min_r", "max_r", "delta", "".join(["del", "ta"])), "delta"),
    (k.mask_image, [IMG, BOUNDS, OUT, OUT], ("buffer", "buffer"), "buffer"),
])
def test_a_keyword_given_twice_is_refused(function, args, kwnames, name):
    # Only a C caller can repeat a keyword name in one call; the second one
    # may be an equal string rather than the same object.
    with pytest.raises(TypeError, match=rf"^{function.__name__}\(\) got multiple values for keyword argument '{name}'$"):
        vectorcall(function, args, kwnames)


class EqualsRaisesKeyError:
    """Hashes like "i"; comparing with it raises KeyError."""

    def __hash__(self):
        return hash("i")

    def __eq__(self, other):
        raise KeyError("from __eq__")


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("mapping", [dict, DictSubclass])
def test_a_key_error_from_the_lookup_is_a_missing_field(mapping):
    bounds = mapping({EqualsRaisesKeyError(): 1, "c": (0, 1), "M": (0,) * 9})
    with pytest.raises(ValueError, match=r"^No value specified for struct attribute 'i'$"):
        k.mask_image_cy_impl(IMG, OUT.copy(), bounds)
