import ctypes
import mmap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import kestrune as k
from conftest import colour_test

IDX_MSG = r"^Out of bounds on buffer access \(axis {}\)$"
SENTINEL = -77


def points(n, cols=2):
    return np.full((n, cols), SENTINEL, np.int32)


def line_pos(i, extent):
    r = int(f"{i:016b}"[::-1], 2)
    return (r * extent & 0xFFFFFFFF) >> 16


def model_scan(mask, capacity, row_count, column_count):
    """Straight reading of the scan rules, one pixel at a time."""
    h, w = mask.shape
    if h == 0 or w == 0:
        return []
    lines = [(mask[y, :], lambda t, y=y: (t, y)) for y in (line_pos(i, h) for i in range(max(row_count, 0)))]
    lines += [(mask[:, x], lambda t, x=x: (x, t)) for x in (line_pos(i, w) for i in range(max(column_count, 0)))]
    out = []
    for line, at in lines:
        flag = False
        for t, v in enumerate(line):
            if bool(v) != flag:
                if len(out) >= capacity:
                    return out
                out.append(at(t))
                flag = not flag
        if flag:
            if len(out) >= capacity:
                return out
            out.append(at(len(line) - 1))
    return out


def colour_mask(image, bounds):
    return colour_test(image, bounds)[0].astype(np.uint8)


ALL_NONBLACK = {"i": (-1, 1), "c": (0, 2000), "M": [1, 1, 1, 1, 1, 1, 0, 0, 0]}
MIXED = {"i": (300, 600), "c": (0, 1000), "M": [1, 0, 0, 0, 1, 0, 1, 1, 1]}
NOTHING = {"i": (0, 0), "c": (-(2**31), 2**31 - 1), "M": [1] * 9}


def scan(mask, ps, rc, cc):
    n = k.simple_edge(mask, ps, rc, cc)
    return n, [tuple(p) for p in ps[:n].tolist()]


# --- simple_edge / simple_edge_hsv -------------------------------------------------


def test_block_4x4_worked_example():
    mask = np.zeros((4, 4), np.uint8)
    mask[1:3, 1:3] = 1
    ps = points(10)
    assert scan(mask, ps, 4, 4) == (8, [(1, 2), (3, 2), (1, 1), (3, 1), (2, 1), (2, 3), (1, 1), (1, 3)])
    assert (ps[8:] == SENTINEL).all()


@pytest.mark.parametrize("second_run_to_end", [False, True])
def test_capacity_cut_mid_row_gives_odd_count(second_run_to_end):
    mask = np.zeros((1, 9), np.uint8)
    mask[0, 1:3] = 7
    mask[0, 5:] = 255
    if not second_run_to_end:
        mask[0, 8] = 0
    ps = points(5)
    assert k.simple_edge(mask, ps[:3], 1, 9) == 3
    assert ps[:3].tolist() == [[1, 0], [3, 0], [5, 0]]
    assert (ps[3:] == SENTINEL).all()


@pytest.mark.parametrize(
    "row, expected",
    [
        ([1, 1, 1, 1], [(0, 0), (3, 0)]),  # run to the end closes on the last pixel
        ([0, 0, 0, 1], [(3, 0), (3, 0)]),  # one pixel at the end: same point twice
        ([0, 1, 0, 0], [(1, 0), (2, 0)]),  # end point is the first unset pixel
        ([0, 0, 0, 0], []),
    ],
)
def test_run_end_points(row, expected):
    assert scan(np.array([row], np.uint8), points(4), 1, 0) == (len(expected), expected)


def test_every_position_of_a_lone_pixel_in_a_long_row():
    # Long rows are searched several bytes at a time; each offset must come out exact.
    for x in range(150):
        row = np.zeros((1, 150), np.uint8)
        row[0, x] = 1
        assert scan(row, points(4), 1, 0)[1] == [(x, 0), (min(x + 1, 149), 0)]
        run = np.ones((1, 150), np.uint8)
        run[0, x:] = 0
        assert scan(run, points(4), 1, 0)[1] == ([(0, 0), (x, 0)] if x else [])


@pytest.mark.parametrize("h, count, rows", [(4, 8, [0, 2, 1, 3, 0, 2, 1, 3]), (3, 3, [0, 1, 0])])
def test_counts_above_extent_repeat_lines(h, count, rows):
    mask = np.ones((h, 1), np.uint8)
    n, pts = scan(mask, points(2 * count), count, 0)
    assert n == 2 * count and [y for _, y in pts[::2]] == rows


@settings(max_examples=60, deadline=None)
@given(
    mask=hnp.arrays(np.uint8, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=40),
                    elements=st.sampled_from([0] * 6 + [1, 200])),
    rc=st.integers(-2, 12), cc=st.integers(-2, 12), capacity=st.integers(0, 60),
)
def test_scan_matches_model(mask, rc, cc, capacity):
    ps = points(capacity + 1)
    n, pts = scan(mask, ps[:capacity], rc, cc)
    assert pts == model_scan(mask, capacity, rc, cc)
    assert (ps[n:] == SENTINEL).all()


def random_case(seed, shape=None):
    rng = np.random.default_rng(seed)
    h, w = shape or rng.integers(1, 150, 2)
    image = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    bounds = {"i": (-200000, 200000), "c": (-300000, 300000), "M": rng.integers(-1000, 1001, 9).tolist()}
    return image, bounds, int(rng.integers(0, 18)), int(rng.integers(0, 18))


# Tall narrow images put whole 64-pixel blocks on the last column.
@pytest.mark.parametrize(
    "seed, shape", [(s, None) for s in range(10)] + [(10, (130, 2)), (11, (200, 3)), (12, (70, 1))]
)
def test_colour_scan_equals_mask_scan_at_every_capacity(seed, shape):
    image, bounds, rc, cc = random_case(seed, shape)
    mask = colour_mask(image, bounds)
    assert (k.mask_image(image, bounds) != 0).tolist() == mask.astype(bool).tolist()
    total = k.simple_edge(mask, points(4000), rc, cc)
    for capacity in range(total + 2):
        a, b = points(capacity + 1), points(capacity + 1)
        assert k.simple_edge_hsv(image, a[:capacity], bounds, rc, cc) == k.simple_edge(mask, b[:capacity], rc, cc)
        assert (a == b).all()


def test_colour_limits_are_strict():
    bounds = {"i": (10, 20), "c": (30, 40), "M": [1, 0, 0, 0, 1, 0, 0, 0, 1]}  # v0=R, v1=G, v2=B
    on_limits = [(15, 20, 10), (15, 20, 20), (10, 20, 15), (20, 20, 15), (0, 35, 15), (35, 0, 15)]
    pattern = [p for q in on_limits for p in ((15, 20, 15), q)]
    image = np.array([pattern * 10], np.uint8)  # 120 pixels: whole blocks and a tail
    ps = points(300)
    n = k.simple_edge_hsv(image, ps, bounds, 1, 0)
    assert ps[:n, 0].tolist() == [x for x in range(0, 120, 2) for x in (x, x + 1)]


def test_colour_scan_of_all_and_nothing():
    image = np.full((5, 6, 3), 9, np.uint8)
    ps = points(40)
    n = k.simple_edge_hsv(image, ps, ALL_NONBLACK, 2, 2)
    assert ps[:n].tolist() == [[0, 0], [5, 0], [0, 2], [5, 2], [0, 0], [0, 4], [3, 0], [3, 4]]
    assert k.simple_edge_hsv(image, ps, NOTHING, 5, 6) == 0


@pytest.mark.parametrize("fn", ["mask", "colour"])
@pytest.mark.parametrize("image_shape, ps", [((0, 4), points(4)), ((4, 0), points(4)), (None, points(4)),
                                              ((4, 4), None), ((4, 4), points(0)), ((4, 4), points(0, 3))])
def test_empty_inputs_yield_nothing(fn, image_shape, ps):
    if image_shape is None:
        image = None
    else:
        image = np.ones(image_shape + ((3,) if fn == "colour" else ()), np.uint8)
    if fn == "mask":
        assert k.simple_edge(image, ps, 4, 4) == 0
    else:
        assert k.simple_edge_hsv(image, ps, ALL_NONBLACK, 4, 4) == 0


@pytest.mark.parametrize("sl", [np.s_[2:19, 3:27], np.s_[::-1], np.s_[:, ::-1], np.s_[::2, ::3]])
def test_strided_views_equal_packed_copies(sl):
    image = np.random.default_rng(3).integers(0, 256, (23, 31, 3), dtype=np.uint8)
    bounds = MIXED
    mask = colour_mask(image, bounds)
    cases = [(k.simple_edge_hsv, image[sl], (bounds,))]
    if mask[sl].strides[1] == 1:  # planes must have packed columns
        cases.append((k.simple_edge, mask[sl], ()))
    for fn, view, args in cases:
        big_ps = points(400)
        n = fn(view, big_ps[::2], *args, 9, 9)
        packed = points(200)
        assert fn(np.ascontiguousarray(view), packed, *args, 9, 9) == n > 0
        assert (big_ps[::2] == packed).all() and (big_ps[1::2] == SENTINEL).all()


_keep_alive = []


def fenced(shape, at_end):
    """A writable array touching an inaccessible page: reading past it faults."""
    nbytes = int(np.prod(shape))
    page = mmap.PAGESIZE
    body = -(-nbytes // page) * page
    buf = mmap.mmap(-1, body + 2 * page)
    base = ctypes.addressof(ctypes.c_char.from_buffer(buf))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
    assert libc.mprotect(base, page, 0) == 0 and libc.mprotect(base + page + body, page, 0) == 0
    _keep_alive.append(buf)
    offset = page + (body - nbytes if at_end else 0)
    arr = np.frombuffer(buf, np.uint8, nbytes, offset).reshape(shape)
    arr[...] = np.random.default_rng(nbytes).integers(0, 256, shape, dtype=np.uint8)
    return arr


@pytest.mark.parametrize("at_end", [False, True])
@pytest.mark.parametrize("shape", [(70, 2), (130, 67), (3, 200), (1, 64)])
def test_scans_read_only_inside_the_image(shape, at_end):
    image = fenced(shape + (3,), at_end)
    mask = fenced(shape, at_end)
    mask &= 1
    for view in (np.s_[:, :], np.s_[::-1], np.s_[:, ::-1], np.s_[::-1, ::-1]):
        k.simple_edge_hsv(image[view], points(10_000), MIXED, 256, 256)
        if mask[view].strides[1] == 1 or shape[1] == 1:
            k.simple_edge(mask[view], points(10_000), 256, 256)


@pytest.mark.parametrize("which", [0, 1])
def test_line_counts_above_65536_refused(which):
    counts = [65536, 65536]
    k.simple_edge(np.zeros((2, 2), np.uint8), points(4), *counts)  # the limit itself is fine
    counts[which] = 65537
    name = ["row_count", "column_count"][which]
    with pytest.raises(ValueError, match=name):
        k.simple_edge(np.zeros((2, 2), np.uint8), points(4), *counts)
    with pytest.raises(ValueError, match=name):
        k.simple_edge_hsv(np.zeros((2, 2, 3), np.uint8), points(4), NOTHING, *counts)


def test_images_of_2_31_pixels_refused():
    row = np.zeros(32768, np.uint8)
    huge = np.lib.stride_tricks.as_strided(row, (65536, 32768), (0, 1), writeable=True)
    with pytest.raises(ValueError, match="pixels"):
        k.simple_edge(huge, points(4), 1, 1)
    just_below = np.lib.stride_tricks.as_strided(row, (2**31 - 1, 1), (0, 1), writeable=True)
    assert k.simple_edge(just_below, points(4), 1, 0) == 0
    huge3 = np.lib.stride_tricks.as_strided(np.zeros(3 * 32768, np.uint8), (65536, 32768, 3), (0, 3, 1),
                                            writeable=True)
    with pytest.raises(ValueError, match="pixels"):
        k.simple_edge_hsv(huge3, points(4), NOTHING, 1, 1)


def test_shape_checks():
    with pytest.raises(ValueError, match="3 channels"):
        k.simple_edge_hsv(np.zeros((2, 2, 4), np.uint8), points(4), NOTHING, 1, 1)
    assert k.simple_edge_hsv(np.zeros((0, 2, 4), np.uint8), points(4), NOTHING, 1, 1) == 0
    for fn, image in ((k.simple_edge_hsv, np.ones((2, 2, 3), np.uint8)), (k.simple_edge, np.ones((2, 2), np.uint8))):
        args = (ALL_NONBLACK,) if fn is k.simple_edge_hsv else ()
        for cols in (1, 3):
            ps = points(4, cols)
            with pytest.raises(ValueError, match="_ps must have exactly 2 columns"):
                fn(image, ps, *args, 1, 1)
            assert (ps == SENTINEL).all()


# --- simple_denoise ---------------------------------------------------------------


def denoise(rows, min_distance, out_rows=None):
    ps_in = np.array(rows, np.int32).reshape(-1, 2)
    out = points(len(ps_in) if out_rows is None else out_rows)
    n = k.simple_denoise(ps_in, out, min_distance)
    assert (out[n:] == SENTINEL).all()
    return out[:n].tolist()


@pytest.mark.parametrize(
    "rows, min_distance, expected",
    [
        ([10, 5, 20, 5, 22, 5, 30, 5, 50, 5, 52, 5, 60, 5, 62, 5], 5, [[10, 5], [30, 5]]),
        ([0, 0, 4, 0, 9, 0, 12, 0], 5, []),  # a gap of exactly 5 does not join
        ([0, 0, 4, 0, 8, 0, 12, 0], 5, [[0, 0], [12, 0]]),  # gap 4 joins, open segment written
        ([0, 0, 4, 0, 9, 0, 14, 0], 5, [[9, 0], [14, 0]]),  # exactly 5 long is written
        ([3, 7, 3, 20], 13, [[3, 7], [3, 20]]),  # a lone column pair
        ([3, 7, 3, 20, 99, 99], 14, []),  # odd last row unused
        ([100, 120, 100, 130, 100, 10, 100, 240], 5, [[100, 120], [100, 240]]),  # joins across lines
        ([4, 1, 4, 1], 0, [[4, 1], [4, 1]]),  # zero-length segment kept only for min_distance <= 0
        ([4, 1, 4, 1], 1, []),
        ([-20, 0, -10, 0, 2**31 - 1, 0, -15, 0], 5, [[-20, 0], [-15, 0]]),  # 32-bit differences wrap
        ([7, 7], 0, []),
    ],
)
def test_denoise_examples(rows, min_distance, expected):
    assert denoise(rows, min_distance) == expected


def test_denoise_in_place_and_strided():
    rng = np.random.default_rng(8)
    base = np.sort(rng.integers(0, 60, 40)).astype(np.int32)
    rows = np.stack([base, np.zeros_like(base)], axis=1)
    expected = denoise(rows.ravel().tolist(), 4)
    big = points(80)
    big[::2] = rows
    n = k.simple_denoise(big[::2], big[::2], 4)
    assert big[::2][:n].tolist() == expected and (big[1::2] == SENTINEL).all()
    assert (big[::2][n:] == rows[n:]).all()


@pytest.mark.parametrize(
    "ps_in, ps_out, axis",
    [
        (points(2), None, 1),
        (points(2), points(0), 0),
        (points(2), points(3, 0), 1),
        (points(2, 0), points(2), 1),
        (points(2, 0), None, 1),
    ],
)
def test_denoise_index_errors(ps_in, ps_out, axis):
    with pytest.raises(IndexError, match=IDX_MSG.format(axis)):
        k.simple_denoise(ps_in, ps_out, 3)


def test_denoise_size_rules():
    for ps_in in (None, points(0), points(0, 5)):
        assert k.simple_denoise(ps_in, None, 3) == 0
    assert k.simple_denoise(points(1), points(1)[:1], 3) == 0
    with pytest.raises(ValueError, match="_ps_in must have exactly 2 columns"):
        k.simple_denoise(points(4, 3), points(4), 3)
    out = points(3)
    with pytest.raises(ValueError, match="_ps_out must have at least as many rows"):
        k.simple_denoise(np.zeros((4, 2), np.int32), out, -5)
    assert (out == SENTINEL).all()


# --- remove_inliers ---------------------------------------------------------------


@pytest.mark.parametrize(
    "mask, expected",
    [([1, 0, 1, 0], [[2, 2], [4, 4]]), ([0, 0, 0, 0], [[1, 1], [2, 2], [3, 3], [4, 4]]),
     ([2, 255, 1, 9, 0], []), ([0, 255, 0, 2], [[1, 1], [3, 3]])],
)
def test_remove_inliers_examples(mask, expected):
    ps_in = np.array([[1, 1], [2, 2], [3, 3], [4, 4]], np.int32)
    out = points(4)
    n = k.remove_inliers(ps_in, out, np.array(mask, np.uint8))
    assert out[:n].tolist() == expected and (out[n:] == SENTINEL).all()


def test_remove_inliers_in_place_and_strided():
    big = points(20)
    big[::2] = np.arange(20).reshape(10, 2)
    mask = np.array([1, 0, 0, 1, 0, 1, 1, 0, 0, 0], np.uint8)
    before = big.copy()
    n = k.remove_inliers(big[::2], big[::2], mask)
    kept = before[::2][mask == 0]
    assert n == len(kept) and (big[::2][:n] == kept).all()
    assert (big[::2][n:] == before[::2][n:]).all() and (big[1::2] == SENTINEL).all()


@pytest.mark.parametrize(
    "ps_in, ps_out, ms, axis",
    [
        (points(0), None, None, 0),
        (points(0), points(2), np.zeros(0, np.uint8), 0),
        (points(2, 0), points(2), np.zeros(2, np.uint8), 1),
        (points(2), None, np.zeros(2, np.uint8), 1),
        (points(2), points(0), np.zeros(2, np.uint8), 0),
    ],
)
def test_remove_inliers_index_errors(ps_in, ps_out, ms, axis):
    with pytest.raises(IndexError, match=IDX_MSG.format(axis)):
        k.remove_inliers(ps_in, ps_out, ms)


def test_remove_inliers_size_rules():
    assert k.remove_inliers(None, None, np.zeros(1, np.uint8)) == 0
    out = points(4)
    with pytest.raises(ValueError, match="_ms must have an entry for every row"):
        k.remove_inliers(np.zeros((4, 2), np.int32), out, np.zeros(3, np.uint8))
    with pytest.raises(ValueError, match="_ps_out must have a row for every kept point"):
        k.remove_inliers(np.zeros((4, 2), np.int32), out[:2], np.array([0, 1, 0, 0], np.uint8))
    assert (out == SENTINEL).all()
    # Only the kept rows need room; extra mask entries are ignored.
    assert k.remove_inliers(np.ones((4, 2), np.int32), out[:1], np.array([1, 1, 0, 1, 0], np.uint8)) == 1
    with pytest.raises(ValueError, match="_ps_out must have exactly 2 columns"):
        k.remove_inliers(points(2), points(2, 3), np.zeros(2, np.uint8))
