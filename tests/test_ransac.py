"""Shape fits: worked examples, exact agreement with a small model of the
algorithm, reproducibility through the C library's generator, and argument
checks."""
import ctypes
import math
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import kestrune
from conftest import wrap32 as w32

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))

from sampler import Sampler  # noqa: E402

libc = ctypes.CDLL(None)
libc.rand.restype = ctypes.c_int
libc.srand.argtypes = [ctypes.c_uint]


def next_rand(seed):
    """The value the next fit will take as its sampling state after srand(seed)."""
    libc.srand(seed)
    value = libc.rand()
    libc.srand(seed)
    return value


# ---------------------------------------------------------------- the model


def trunc32(v):
    return int(v) if -2147483649.0 < v < 2147483648.0 else -(2**31)


def band(line, delta):
    px, py, nx, ny = line
    c2 = w32(-w32(nx * px + ny * py))
    length = math.sqrt(float(w32(nx * nx + ny * ny)))
    hi = w32(c2 + trunc32(delta * length))
    lo = w32(c2 + trunc32(w32(-delta) * length))
    return nx, ny, hi, lo


def in_band(ps, b):
    e = b[0] * ps[:, 0].astype(np.int64) + b[1] * ps[:, 1].astype(np.int64)
    return (w32(e + b[2]) >= 0) & (w32(e + b[3]) <= 0)


def to_line(p0, p1):
    if p0[0] == p1[0] and p0[1] == p1[1]:
        return None
    return (int(p0[0]), int(p0[1]), w32(int(p1[1]) - int(p0[1])), w32(int(p0[0]) - int(p1[0])))


def model_line(ps, r, count, delta, slope_limit):
    n, best, best_score = len(ps), (0, 0, 0, 0), 0
    s = Sampler(r, n)
    for _ in range(count if n >= 2 else 0):
        i = s.draw(2)
        line = to_line(ps[i[0]], ps[i[1]])
        if line is None:
            continue
        nx, ny = line[2], line[3]
        if slope_limit * slope_limit * float(w32(nx * nx + ny * ny)) >= float(w32(nx * nx)):
            continue
        score = int(in_band(ps, band(line, delta)).sum())
        if score > best_score:
            best, best_score = line, score
    return best, in_band(ps, band(best, delta)).astype(np.uint8)


def model_line2(ps, r, count, ratio, delta):
    n, best, best_score = len(ps), ((0, 0, 0, 0), (0, 0, 0, 0)), 0
    s = Sampler(r, n)
    for _ in range(count if n >= 4 else 0):
        i = s.draw(4)
        l1, l2 = to_line(ps[i[0]], ps[i[1]]), to_line(ps[i[2]], ps[i[3]])
        if l1 is None or l2 is None:
            continue
        ncos = w32(l1[2] * l2[2] + l1[3] * l2[3])
        n1, n2 = w32(l1[2] ** 2 + l1[3] ** 2), w32(l2[2] ** 2 + l2[3] ** 2)
        if ratio * ratio * float(n1) * float(n2) > float(ncos * ncos):
            continue
        score = int((in_band(ps, band(l1, delta)) != in_band(ps, band(l2, delta))).sum())
        if score > best_score:
            best, best_score = (l1, l2), score
    mask = in_band(ps, band(best[0], delta)) | in_band(ps, band(best[1], delta))
    return best, mask.astype(np.uint8)


def to_circle(p):
    (x0, y0), (x1, y1), (x2, y2) = ((int(a), int(b)) for a, b in p)
    c1, c2, c3 = x0 * x0 + y0 * y0, x1 * x1 + y1 * y1, x2 * x2 + y2 * y2
    A = x0 * (y1 - y2) + y0 * (x2 - x1) + x1 * y2 - x2 * y1
    if A == 0:
        return None
    B = c1 * (y2 - y1) + c2 * (y0 - y2) + c3 * (y1 - y0)
    C = c1 * (x1 - x2) + c2 * (x2 - x0) + c3 * (x0 - x1)

    def tdiv(a, b):  # C division, truncating toward zero
        q = abs(a) // abs(b)
        return q if (a >= 0) == (b > 0) else -q

    x, y = tdiv(-B, 2 * A), tdiv(-C, 2 * A)
    if not (-(2**31) <= x < 2**31 and -(2**31) <= y < 2**31):
        return None
    # The radius from the exact centre, in doubles, in this order.
    xc, yc = -float(B) / float(2 * A), -float(C) / float(2 * A)
    dx, dy = float(x0) - xc, float(y0) - yc
    r = math.sqrt(dx * dx + dy * dy)
    return (x, y, int(r)) if r < 2**31 else None


def model_circle(ps, r, count, min_r, max_r, delta):
    n, best, best_score = len(ps), (0, 0, 0), 0
    s = Sampler(r, n)
    q = ps.astype(np.int64)
    for _ in range(count if n >= 3 else 0):
        c = to_circle(ps[s.draw(3)])
        if c is None or c[2] > max_r or c[2] < min_r:
            continue
        d2 = (q[:, 0] - c[0]) ** 2 + (q[:, 1] - c[1]) ** 2
        score = int(((d2 >= (c[2] - delta) ** 2) & (d2 <= (c[2] + delta) ** 2)).sum())
        if score > best_score:
            best, best_score = c, score
    return best


def solve(m):
    for i in range(5):
        for j in range(i + 1, 5):
            if m[i][i] == 0 or (m[j][i] > m[i][i] and m[j][i] != 0):
                m[i], m[j] = m[j], m[i]
        if m[i][i] == 0.0:
            return None
        pivot = m[i][i]
        m[i] = m[i][:i] + [v / pivot for v in m[i][i:]]
        for j in range(i + 1, 5):
            f = m[j][i]
            m[j] = m[j][:i] + [m[j][k] - m[i][k] * f for k in range(i, 6)]
    sol = [0.0] * 5
    sol[4] = m[4][5]
    for i in range(3, -1, -1):
        v = m[i][5]
        for k in range(4, i, -1):
            v = v - m[i][k] * sol[k]
        sol[i] = v
    return sol


def to_ellipse(p):
    m = [[float(w32(x * x)), float(w32(x * y)), float(w32(y * y)), float(x), float(y), 1.0]
         for x, y in ((int(a), int(b)) for a, b in p)]
    sol = solve(m)
    if sol is None:
        return None
    A, B, C, D, E = sol
    det = B * B - 4 * A * C
    if det >= 0:
        return None
    dnt = math.sqrt((A - C) * (A - C) + B * B)
    t1 = 2 * (A * (E * E) + C * (D * D) - B * D * E - det)
    rad_a, rad_b = t1 * (A + C + dnt), t1 * (A + C - dnt)
    if rad_a < 0 or rad_b < 0:
        return "no axes"
    a, b = -math.sqrt(rad_a) / det, -math.sqrt(rad_b) / det
    theta = math.atan((C - A - dnt) / B) if B != 0 else (0.0 if A < C else math.pi / 2)
    return [(2 * C * D - B * E) / det, (2 * A * E - B * D) / det, a, b, theta]


def conic(x, y, a, b, sn, cs):
    c0 = (a * sn) * (a * sn) + (b * cs) * (b * cs)
    c1 = 2 * (b * b - a * a) * sn * cs
    c2 = (a * cs) * (a * cs) + (b * sn) * (b * sn)
    c3 = -2 * c0 * x - c1 * y
    c4 = -c1 * x - 2 * c2 * y
    c5 = c0 * (x * x) + c1 * x * y + c2 * (y * y) - (a * a) * (b * b)
    return c0, c1, c2, c3, c4, c5


def conic_eval(ps, c):
    px, py = ps[:, 0].astype(np.float64), ps[:, 1].astype(np.float64)
    return c[0] * (px * px) + c[1] * px * py + c[2] * (py * py) + c[3] * px + c[4] * py + c[5]


def model_ellipse(ps, r, count, min_r, max_r, ratio, delta):
    n, best, best_score = len(ps), [0.0] * 5, 0
    s = Sampler(r, n)
    for _ in range(count if n >= 5 else 0):
        e = to_ellipse(ps[s.draw(5)])
        if e is None or e == "no axes":
            continue
        x, y, a, b, theta = e
        if b > ratio * a or a > max_r or a < min_r or b > max_r or b < min_r:
            continue
        sn, cs = math.sin(theta), math.cos(theta)
        a1, b1 = a - delta, b - delta
        a2, b2 = a1 + float(2 * delta), b1 + float(2 * delta)
        inside = (conic_eval(ps, conic(x, y, a1, b1, sn, cs)) >= 0) & (conic_eval(ps, conic(x, y, a2, b2, sn, cs)) <= 0)
        score = int(inside.sum())
        if score > best_score:
            best, best_score = [x, y, a2 - delta, b2 - delta, theta], score
    return best


# ---------------------------------------------------------------- builders


def noisy(rng, pts, noise, outliers, extent=(640, 480)):
    pts = np.asarray(pts, np.float64) + rng.normal(0, noise, (len(pts), 2))
    junk = rng.uniform(0, 1, (outliers, 2)) * extent
    allp = np.vstack([pts, junk])
    rng.shuffle(allp)
    return np.rint(allp).astype(np.int32)


def line_points(rng, n, p0, p1):
    t = rng.uniform(0, 1, n)[:, None]
    return np.asarray(p0) + t * (np.asarray(p1) - np.asarray(p0))


def ellipse_points(rng, n, cx, cy, a, b, theta):
    t = rng.uniform(0, 2 * np.pi, n)
    u, v = a * np.cos(t), b * np.sin(t)
    return np.column_stack([cx + u * np.cos(theta) - v * np.sin(theta), cy + u * np.sin(theta) + v * np.cos(theta)])


def as_line(d):
    return (d["px"], d["py"], d["nx"], d["ny"])


# ---------------------------------------------------------------- worked examples


def test_sampler_model_worked_example():
    s = Sampler(123456789, 5)
    assert s.draw(3) == [4, 2, 0]
    assert s.state == 1475571481


@pytest.mark.parametrize("direction, kept", [((4, 3), False), ((3, 4), True)])
def test_slope_limit_equality_rejects(direction, kept):
    ps = np.array([[10, 10], [10 + direction[0], 10 + direction[1]]], np.int32)
    ms = np.zeros(2, np.uint8)
    line = kestrune.ransac_line(ps, ms, 5, 1, 0.6)
    assert (line["nx"] != 0) == kept
    assert list(ms) == [1, 1]
    if kept:
        assert abs(line["nx"]) == 4 and abs(line["ny"]) == 3


@pytest.mark.parametrize(
    "pts, delta, want",
    [
        ([[10, 0], [0, 10], [-10, 0]], 1, {"x": 0, "y": 0, "r": 10}),
        # the centre is truncated, the radius measured from the exact centre
        ([[174, 271], [187, 267], [166, 267]], 10, {"x": 176, "y": 256, "r": 15}),
        ([[1, 5], [9, 5], [30, 5]], 10, {"x": 0, "y": 0, "r": 0}),
    ],
)
def test_circle_examples(pts, delta, want):
    got = kestrune.ransac_circle(np.array(pts, np.int32), 3, 0, 100, delta)
    assert got == want and list(got) == ["x", "y", "r"]


@pytest.mark.parametrize("min_r, max_r, found", [(10, 10, True), (11, 20, False), (0, 10, True), (20, 10, False)])
def test_circle_radius_range_inclusive(min_r, max_r, found):
    ps = np.array([[10, 0], [0, 10], [-10, 0]], np.int32)
    assert (kestrune.ransac_circle(ps, 3, min_r, max_r, 1)["r"] == 10) == found


ELLIPSE_5 = np.array([[280, 154], [221, 189], [136, 174], [142, 122], [230, 113]], np.int32)


def test_ellipse_example_numbers():
    e = kestrune.ransac_ellipse(ELLIPSE_5, 1, 10, 100, 2.5, 3)
    assert list(e) == ["x", "y", "a", "b", "theta"]
    want = [200.0079, 150.1022, 40.1773, 80.2905, -1.56335]
    assert [e[k] for k in e] == pytest.approx(want, abs=1e-4)


@pytest.mark.parametrize(
    "pts, ratio, found",
    [
        (ELLIPSE_5, 1.5, False),
        (ELLIPSE_5, 2.5, True),
        ([[10, 10], [20, 5], [5, 20], [25, 4], [4, 25]], 10.0, False),  # hyperbola
        ([[1, 1], [2, 2], [3, 3], [4, 4], [5, 5]], 10.0, False),  # collinear
    ],
)
def test_ellipse_rejections(pts, ratio, found):
    e = kestrune.ransac_ellipse(np.array(pts, np.int32), 1, 1, 100, ratio, 3)
    assert (e["a"] != 0.0) == found
    if not found:
        assert all(v == 0.0 for v in e.values())


# ---------------------------------------------------------------- the model, exactly


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_line_matches_model(seed):
    rng = np.random.default_rng(seed)
    ps = noisy(rng, np.vstack([line_points(rng, 120, (100, 20), (180, 400)), line_points(rng, 60, (0, 300), (600, 250))]), 1.0, 80)
    ms = np.full(len(ps), 9, np.uint8)
    want, want_mask = model_line(ps, next_rand(seed), 150, 2, 0.3)
    assert as_line(kestrune.ransac_line(ps, ms, 150, 2, 0.3)) == want
    np.testing.assert_array_equal(ms, want_mask)
    assert want != (0, 0, 0, 0) and ms.sum() >= 100


@pytest.mark.parametrize("seed", [4, 5])
def test_line2_matches_model(seed):
    rng = np.random.default_rng(seed)
    stripe = np.vstack([line_points(rng, 100, (50, 100), (500, 160)), line_points(rng, 100, (50, 140), (500, 200))])
    ps = noisy(rng, stripe, 0.7, 60)
    ms = np.zeros(len(ps), np.uint8)
    want, want_mask = model_line2(ps, next_rand(seed), 400, 0.95, 2)
    got = kestrune.ransac_line2(ps, ms, 400, 0.95, 2)
    assert isinstance(got, tuple) and (as_line(got[0]), as_line(got[1])) == want
    np.testing.assert_array_equal(ms, want_mask)
    assert want_mask.sum() >= 150


@pytest.mark.parametrize("seed", [6, 7])
def test_circle_matches_model(seed):
    rng = np.random.default_rng(seed)
    ps = noisy(rng, ellipse_points(rng, 150, 320, 240, 60, 60, 0), 0.8, 100)
    want = model_circle(ps, next_rand(seed), 200, 20, 100, 2)
    assert tuple(kestrune.ransac_circle(ps, 200, 20, 100, 2).values()) == want
    assert abs(want[0] - 320) <= 3 and abs(want[2] - 60) <= 3


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**31 - 1), n=st.integers(3, 12), span=st.sampled_from([50, 2000, 10**6, 2**30]))
def test_circle_matches_model_on_small_sets(seed, n, span):
    # Coordinates far from the origin too, where the radius comes from a
    # centre far from the sample.
    rng = np.random.default_rng(seed)
    ps = rng.integers(-span, span, (n, 2)).astype(np.int32)
    want = model_circle(ps, next_rand(seed), 20, 0, 2**31 - 1, 3)
    assert tuple(kestrune.ransac_circle(ps, 20, 0, 2**31 - 1, 3).values()) == want


@pytest.mark.parametrize("seed", [8, 9])
def test_ellipse_matches_model(seed):
    rng = np.random.default_rng(seed)
    ps = noisy(rng, ellipse_points(rng, 150, 300, 200, 90, 45, 0.4), 0.6, 60)
    want = model_ellipse(ps, next_rand(seed), 300, 20, 120, 2.5, 2)
    assert list(kestrune.ransac_ellipse(ps, 300, 20, 120, 2.5, 2).values()) == want
    assert want[0] == pytest.approx(300, abs=4)


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**31 - 1), n=st.integers(2, 40), delta=st.integers(-2, 6),
       slope=st.sampled_from([0.0, 0.2, 0.7, float("nan")]))
def test_line_matches_model_on_small_sets(seed, n, delta, slope):
    rng = np.random.default_rng(seed)
    ps = rng.integers(-50, 50, (n, 2)).astype(np.int32)
    ms = np.zeros(n, np.uint8)
    want, want_mask = model_line(ps, next_rand(seed), 30, delta, slope)
    assert as_line(kestrune.ransac_line(ps, ms, 30, delta, slope)) == want
    np.testing.assert_array_equal(ms, want_mask)


# ---------------------------------------------------------------- the generator


def fits(ps, ms):
    return [
        lambda: kestrune.ransac_line(ps, ms, 3, 2, 0.1),
        lambda: kestrune.ransac_line2(ps, ms, 3, 0.5, 2),
        lambda: kestrune.ransac_circle(ps, 3, 0, 100, 2),
        lambda: kestrune.ransac_ellipse(ps, 3, 0, 100, 2.0, 2),
    ]


@pytest.mark.parametrize("rows", [0, 1, 3, 30])
@pytest.mark.parametrize("which", range(4))
def test_exactly_one_rand_per_call(rows, which):
    ps = np.random.default_rng(rows).integers(0, 100, (rows, 2)).astype(np.int32)
    fit = fits(ps, np.zeros(rows, np.uint8))[which]
    libc.srand(17)
    libc.rand()
    second = libc.rand()
    libc.srand(17)
    first_result = fit()
    assert libc.rand() == second
    libc.srand(17)
    assert fit() == first_result  # same seed, same answer


def test_zero_count_and_too_few_points():
    ps = np.array([[1, 2], [3, 4], [5, 9]], np.int32)
    for count, pts in [(0, ps), (-5, ps), (10, ps[:1])]:
        ms = np.zeros(len(pts), np.uint8)
        assert kestrune.ransac_line(pts, ms, count, 2, 0.0) == {"px": 0, "py": 0, "nx": 0, "ny": 0}
        assert ms.all()
    ms = np.zeros(3, np.uint8)
    assert kestrune.ransac_line2(ps, ms, 10, 0.5, 2) == ({"px": 0, "py": 0, "nx": 0, "ny": 0},) * 2
    assert ms.all()
    assert kestrune.ransac_circle(ps[:2], 10, 0, 100, 2) == {"x": 0, "y": 0, "r": 0}
    assert kestrune.ransac_ellipse(ps, 10, 0, 100, 2.0, 2) == dict.fromkeys("x y a b theta".split(), 0.0)
    assert kestrune.ransac_line(None, None, 5, 2, 0.0)["nx"] == 0


# ---------------------------------------------------------------- pipelines


@pytest.mark.parametrize("centre", [(120, 120), (960, 540), (1700, 900), (1840, 1000)])
def test_disc_found_anywhere_in_a_1080p_frame(centre):
    # A radius taken from the truncated centre is off by about |centre| / r,
    # so discs far from the origin used to be missed or mis-sized.
    cx, cy = centre
    yy, xx = np.ogrid[:1080, :1920]
    frame = np.full((1080, 1920, 3), 90, np.uint8)
    frame[(xx - cx) ** 2 + (yy - cy) ** 2 <= 60 * 60] = (200, 30, 30)
    red = kestrune.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.25, 1.2), (0.1, 0.9))
    points = np.zeros((4096, 2), np.int32)
    n = kestrune.simple_edge(kestrune.mask_image(frame, red), points, 240, 320)
    clean = np.zeros_like(points)
    m = kestrune.simple_denoise(points[:n], clean, 3)
    found = 0
    for seed in range(8):
        libc.srand(seed)
        d = kestrune.ransac_circle(clean[:m], 400, 10, 200, 2)
        found += math.hypot(d["x"] - cx, d["y"] - cy) <= 2 and abs(d["r"] - 60) <= 2
    assert found == 8


def test_line2_finds_two_parallel_rows():
    xs = np.arange(20, 400, 7)
    ps = np.vstack([np.column_stack([xs, np.full_like(xs, 10)]), np.column_stack([xs, np.full_like(xs, 50)])]).astype(np.int32)
    ms = np.zeros(len(ps), np.uint8)
    l1, l2 = kestrune.ransac_line2(ps, ms, 300, 0.9, 2)
    assert {l1["py"], l2["py"]} == {10, 50} and l1["nx"] == 0 and l2["nx"] == 0
    assert ms.all()


def drop_inliers(ps, ms):
    if hasattr(kestrune, "remove_inliers"):
        out = np.empty_like(ps)
        return out[: kestrune.remove_inliers(ps, out, ms)]
    return ps[ms == 0]


def test_three_lines_one_after_another():
    rng = np.random.default_rng(12)
    segments = [((100, 10), (130, 400)), ((300, 20), (250, 450)), ((500, 30), (520, 420))]
    ps = noisy(rng, np.vstack([line_points(rng, 90, a, b) for a, b in segments]), 0.5, 0)
    found = []
    for _ in range(3):
        ms = np.zeros(len(ps), np.uint8)
        line = kestrune.ransac_line(ps, ms, 200, 2, 0.5)
        found.append(line)
        assert ms.sum() >= 80
        ps = drop_inliers(ps, ms)
    assert len(ps) < 20
    xs_at_200 = sorted(l["px"] - l["ny"] * (200 - l["py"]) / l["nx"] for l in found)  # x where y = 200
    assert xs_at_200 == pytest.approx([115, 277, 510], abs=4)


# ---------------------------------------------------------------- arrays and checks


def strided_copies(ps):
    wide = np.zeros((len(ps) * 2, 2), np.int32)
    wide[::2] = ps
    rev = np.ascontiguousarray(ps[::-1])[::-1]
    return [wide[::2], rev]


@pytest.mark.parametrize("which", range(4))
def test_strided_rows_give_the_packed_result(which):
    rng = np.random.default_rng(which)
    ps = noisy(rng, ellipse_points(rng, 60, 200, 200, 50, 40, 0.2), 0.5, 20)
    ms0 = np.zeros(len(ps), np.uint8)
    libc.srand(5)
    want = fits(ps, ms0)[which]()
    for view in strided_copies(ps):
        ms = np.zeros(len(ps), np.uint8)
        libc.srand(5)
        assert fits(view, ms)[which]() == want
        np.testing.assert_array_equal(ms, ms0)


@pytest.mark.parametrize("fit", [kestrune.ransac_line, kestrune.ransac_line2])
@pytest.mark.parametrize("mask", [None, np.zeros(4, np.uint8)])
def test_short_mask_is_refused_before_rand(fit, mask):
    ps = np.arange(10, dtype=np.int32).reshape(5, 2)
    libc.srand(3)
    first = libc.rand()
    libc.srand(3)
    with pytest.raises(ValueError, match="_ms must have at least as many entries as _ps has rows"):
        fit(ps, mask, 5, 0.5, 2)
    assert libc.rand() == first


@pytest.mark.parametrize("which", range(4))
def test_point_columns_checked_first(which):
    ps = np.zeros((4, 3), np.int32)
    with pytest.raises(ValueError, match=r"_ps must have exactly 2 columns \(got 3\)"):
        fits(ps, None)[which]()  # columns come before the mask length
    empty = np.zeros((0, 3), np.int32)
    assert fits(empty, None)[which]() is not None
