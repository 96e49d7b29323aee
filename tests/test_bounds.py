"""Colour bounds and the one-colour test."""
import math
import warnings

import numpy as np
import pytest

import kestrune
from kestrune import LCHBounds, calculate_lch_bounds, mask_color

RED_YELLOW = ((0, math.pi / 3), (0.2, 1.0), (0.1, 0.9))
ACROSS_RED = ((-math.pi / 6, math.pi / 6), (0.1, 0.8), (0.2, 0.8))


@pytest.mark.parametrize(
    "args,M,i,c",
    [
        (RED_YELLOW, [256, -256, 0, 0, 256, -256, 85, 85, 85], (6554, 58982), (15135, 75674)),
        (ACROSS_RED, [148, -296, 148, 148, 148, -296, 85, 85, 85], (13107, 52429), (7567, 60540)),
        (((0, 1), (0.2, 1.0), (0, 1.0)), None, (0, 65536), None),  # int angles: true division
    ],
)
def test_fixed_point_bounds(args, M, i, c):
    b = calculate_lch_bounds(*args)
    assert type(b) is LCHBounds
    assert b.M.dtype == np.int32 and b.M.shape == (9,)
    if M is not None:
        assert b.M.tolist() == M
    assert b.i == i and all(type(v) is int for v in b.i + b.c)
    if c is not None:
        assert b.c == c


def test_float_bounds_keep_the_unscaled_values():
    b = calculate_lch_bounds(*RED_YELLOW, rgb_bits=None)
    assert b.M.dtype == np.float64
    np.testing.assert_allclose(b.M, [1, -1, 0, 0, 1, -1, 1 / 3, 1 / 3, 1 / 3], atol=1e-15)
    assert b.i == (0.1, 0.9)
    assert all(type(v) is np.float64 for v in b.c)
    assert b.c == (0.2 / np.cos(math.pi / 6), 1.0 / np.cos(math.pi / 6))


def test_zero_bits_rounds_the_float_matrix():
    b = calculate_lch_bounds(*RED_YELLOW, rgb_bits=0)
    assert b.M.tolist() == [1, -1, 0, 0, 1, -1, 0, 0, 0]
    assert b.c == (0, 1) and b.i == (0, 1)


def test_swapped_angles_swap_rows_and_keep_limits():
    a = calculate_lch_bounds(*RED_YELLOW)
    (t1, t2), ch, it = RED_YELLOW
    b = calculate_lch_bounds((t2, t1), ch, it)
    assert b.M[:3].tolist() == a.M[3:6].tolist() and b.M[3:6].tolist() == a.M[:3].tolist()
    assert (b.i, b.c) == (a.i, a.c)


def test_order_of_evaluation_and_errors_pass_through():
    class Loud:
        def __init__(self, name, log):
            self.name, self.log = name, log

        def __getitem__(self, k):
            self.log.append((self.name, k))
            return (0.0, 1.0)[k]

    log = []
    calculate_lch_bounds(Loud("h", log), Loud("c", log), Loud("i", log))
    assert log == [("h", 0), ("h", 1), ("c", 0), ("c", 1), ("i", 0), ("i", 1)]
    with pytest.raises(TypeError):
        calculate_lch_bounds(5, None, None)  # hue fails before chroma is read
    with pytest.raises(IndexError):
        calculate_lch_bounds((0.0,), (0.1, 1.0), (0, 1))
    with pytest.raises(TypeError):
        calculate_lch_bounds((0.0, 1.0), (0.1, 1.0), (0, 1), 8.0)
    with pytest.raises(ValueError, match="negative shift count"):
        calculate_lch_bounds((0.0, 1.0), (0.1, 1.0), (0, 1), -1)


@pytest.mark.parametrize(
    "args",
    [
        ((0.5, 0.5), (0.1, 1.0), (0, 1)),  # empty sector
        ((0.0, 1.0), (0.1, float("inf")), (0, 1)),  # limit not finite
        ((0.0, 1.0), (0.1, 1.0), (0, float("nan"))),
        ((0.0, math.pi), (0.1, 1.0), (0, 1)),  # sine ~1e-16: matrix far outside int32
        # whatever the numeric type: complex, NumPy's widths
        ((0.5 + 0j, 0.5 + 0j), (0.1, 0.5), (0.1, 0.9), None),
        ((0.5 + 0j, 0.5 + 0j), (0.1, 0.5), (0.1, 0.9)),
        ((np.float32(0.5), np.float32(0.5)), (0.1, 0.5), (0.1, 0.9), None),
        ((0, 1), (complex("nan"), 0.5), (0.1, 0.9), None),
        ((0, 1), (0.1, 0.5), (0.1, np.complex64(complex(0, math.inf))), None),
        ((0, 1), (0.1, 0.5), (np.float32("nan"), 0.9)),
        ((0, np.longdouble("inf")), (0.1, 0.5), (0.1, 0.9), None),
        ((0j, complex(math.inf, 0)), (0.1, 0.5), (0.1, 0.9), None),
    ],
)
def test_degenerate_sectors_and_limits_are_refused(args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(ValueError, match="degenerate"):
            calculate_lch_bounds(*args)


def test_limits_outside_int32_are_returned_and_fail_on_conversion():
    b = calculate_lch_bounds((0, 1), (0.1, 1.0), (0, 40000.0))
    assert b.i[1] == 40000 * 65536
    if hasattr(kestrune, "mask_image_cy_impl"):
        img = np.zeros((1, 1, 3), np.uint8)
        with pytest.raises(OverflowError, match="value too large to convert to int"):
            kestrune.mask_image_cy_impl(img, np.zeros((1, 1), np.uint8), b._asdict())


B = calculate_lch_bounds(*RED_YELLOW)


@pytest.mark.parametrize(
    "color,inside",
    [
        ((200, 100, 50), True),
        ((255, 128, 0), True),
        ((200, 200, 50), False),  # on the hue edge: v0 == 0
        ((30, 20, 10), False),  # too dark
        ([200.9, 100.2, 50.7], True),  # truncated towards zero
        (np.array([200, 100, 50], np.uint8), True),
    ],
)
def test_mask_color_examples(color, inside):
    result = mask_color(color, B)
    assert type(result) is np.bool_ and bool(result) is inside
    assert bool(mask_color(color, tuple(B))) is inside


def test_mask_color_limits_are_strict():
    M = np.array([0, 0, 0, 0, 0, 0, 1, 1, 1], np.int32)
    v = (1, 1, 1)  # v0 = v1 = 0 fails first; give the hue rows something positive
    M[0] = M[4] = 1
    assert mask_color(v, (M, (2, 4), (1, 3)))  # v2 = 3, tmp = 2
    assert not mask_color(v, (M, (3, 4), (1, 3)))  # v2 == i[0]
    assert not mask_color(v, (M, (2, 3), (1, 3)))  # v2 == i[1]
    assert not mask_color(v, (M, (2, 4), (2, 3)))  # tmp == c[0]
    assert not mask_color(v, (M, (2, 4), (1, 2)))  # tmp == c[1]


@pytest.mark.parametrize(
    "bounds,exc,text",
    [
        ((1, 2), ValueError, "need more than 2 values to unpack"),
        ((1,), ValueError, "need more than 1 value to unpack"),
        ((1, 2, 3, 4), ValueError, r"too many values to unpack \(expected 3\)"),
        (iter([1, 2]), ValueError, "need more than 2 values to unpack"),
        (B._asdict(), AttributeError, "reshape"),  # unpacks the keys
        (5, TypeError, "not iterable"),
    ],
)
def test_mask_color_bad_bounds(bounds, exc, text):
    with pytest.raises(exc, match=text):
        mask_color((1, 2, 3), bounds)


@pytest.mark.parametrize("color", [[[1, 2, 3], [4, 5, 6]], [1, 2, 3, 4], 7])
def test_mask_color_takes_one_colour(color):
    with pytest.raises(ValueError):
        mask_color(color, B)


def test_mask_color_agrees_with_wrapping_32_bit_test():
    rng = np.random.default_rng(5)
    for _ in range(200):
        M = rng.integers(-(2**31), 2**31, 9, dtype=np.int64).astype(np.int32)
        i = tuple(sorted(int(v) for v in rng.integers(-(2**31), 2**31, 2)))
        c = tuple(sorted(int(v) for v in rng.integers(-(2**31), 2**31, 2)))
        rgb = rng.integers(0, 256, 3)
        with np.errstate(over="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            got = bool(mask_color(rgb, (M, i, c)))
        v = [int(np.dot(M[k * 3 : k * 3 + 3].astype(np.int64), rgb)) for k in range(3)]
        wrap = lambda x: (x + 2**31) % 2**32 - 2**31
        v = [wrap(x) for x in v]
        tmp = wrap(v[0] + v[1])
        expected = v[0] > 0 and v[1] > 0 and i[0] < v[2] < i[1] and c[0] < tmp < c[1]
        assert got == expected
