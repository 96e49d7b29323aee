"""Shape-fit timings: kestrune against a NumPy version of the same algorithm
and, when installed, scikit-image's ransac at the same number of trials.

    python benchmarks/bench_ransac.py [--quick] [--json PATH]

Point tests per second = (candidates scored) * n / median time, where the
scored share (samples that pass the model and shape checks) is taken from the
NumPy version, which draws the same samples. Timings never fail the run.

Every fit's answer is checked against the shape the scene holds before it is
timed: a kestrune fit that misses is marked "(missed)", and a peer that never
finds the shape is reported as failed, with no time, since a fast wrong answer
is not a comparison.
"""
import argparse
import contextlib
import ctypes
import math
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import jsonreport
import kestrune
from sampler import Sampler

try:
    from skimage.measure import CircleModel, EllipseModel, LineModelND, ransac as sk_ransac

    class EllipseModelGuarded(EllipseModel):
        """A sample whose conic has complex eigenvalues makes the estimate
        raise TypeError; count it as a failed estimate, as the loop expects."""

        @classmethod
        def from_estimate(cls, data):
            try:
                return super().from_estimate(data)
            except TypeError:
                return None

except ImportError:  # optional peer
    sk_ransac = None


def eig_always_complex():
    """NumPy 2.5's linalg.eig returns complex arrays even for real eigenvalues."""
    return np.iscomplexobj(np.linalg.eig(np.eye(2))[0])


@contextlib.contextmanager
def real_eigenvalues():
    """With eig_always_complex(), scikit-image 0.26's EllipseModel compares
    complex eigenvectors and raises TypeError on every sample (its issue
    8235), so it never scores a candidate. Its fix, applied here for its
    timing only: real arrays when every imaginary part is zero."""
    eig = np.linalg.eig

    def real_eig(a):
        w, v = eig(a)
        if np.iscomplexobj(w) and not np.any(w.imag) and not np.any(v.imag):
            return w.real, v.real
        return w, v

    np.linalg.eig = real_eig
    try:
        yield
    finally:
        np.linalg.eig = eig


libc = ctypes.CDLL(None)  # the fits draw from its rand(): seeded for the answer checks


# ---------------------------------------------------------------- data


def scene(kind, n, rng):
    """Half the points on the shape (a little noise), half scattered over 640x480."""
    k = n // 2
    if kind == "line":
        t = rng.uniform(0, 1, k)[:, None]
        shape = np.array([120, 40]) + t * np.array([200, 400])
    elif kind == "line2":
        t = rng.uniform(0, 1, k)[:, None]
        side = (rng.uniform(0, 1, k) < 0.5)[:, None] * np.array([0, 40])
        shape = np.array([40, 200]) + t * np.array([560, 60]) + side
    else:
        a, b, th = (70, 70, 0.0) if kind == "circle" else (100, 50, 0.4)
        t = rng.uniform(0, 2 * np.pi, k)
        u, v = a * np.cos(t), b * np.sin(t)
        shape = np.column_stack([320 + u * np.cos(th) - v * np.sin(th), 240 + u * np.sin(th) + v * np.cos(th)])
    shape = shape + rng.normal(0, 0.7, shape.shape)
    junk = rng.uniform(0, 1, (n - k, 2)) * (640, 480)
    pts = np.vstack([shape, junk])
    rng.shuffle(pts)
    return np.ascontiguousarray(np.rint(pts).astype(np.int32))


# The shape each scene holds: (kind, parameters) for found_right().
TRUTH = {
    "line": ((120, 40), (200, 400)),                      # a point and the direction
    "circle": (320, 240, 70),                             # centre and radius
    "ellipse": (320, 240, 100, 50, 0.4),                  # centre, semi-axes, angle
}


def line_is(point, direction, truth, px=3.0, deg=2.0):
    (tx, ty), (dx, dy) = truth
    angle = abs(math.atan2(direction[1], direction[0]) - math.atan2(dy, dx)) % math.pi
    angle = math.degrees(min(angle, math.pi - angle))
    norm = math.hypot(direction[0], direction[1])
    dist = abs((tx - point[0]) * direction[1] - (ty - point[1]) * direction[0]) / norm
    return angle <= deg and dist <= px


def circle_is(x, y, r, truth, px=3.0):
    tx, ty, tr = truth
    return math.hypot(x - tx, y - ty) <= px and abs(r - tr) <= px


def ellipse_is(x, y, a, b, truth, px=4.0):
    tx, ty, ta, tb, _ = truth
    axes, taxes = sorted((abs(a), abs(b))), sorted((ta, tb))
    return math.hypot(x - tx, y - ty) <= px and all(abs(u - v) <= px for u, v in zip(axes, taxes))


def kestrune_found(kind, result):
    """Whether a kestrune fit found the scene's shape (line2: both stripe edges)."""
    if kind == "line":
        return line_is((result["px"], result["py"]), (-result["ny"], result["nx"]), TRUTH["line"])
    if kind == "line2":
        edges = [((40, 200 + off), (560, 60)) for off in (0, 40)]
        l1, l2 = result
        got = [((l["px"], l["py"]), (-l["ny"], l["nx"])) for l in (l1, l2)]
        return any(line_is(*got[0], edges[i]) and line_is(*got[1], edges[1 - i]) for i in (0, 1))
    if kind == "circle":
        return circle_is(result["x"], result["y"], result["r"], TRUTH["circle"])
    return ellipse_is(result["x"], result["y"], result["a"], result["b"], TRUTH["ellipse"])


def skimage_found(kind, model):
    """Whether scikit-image's fitted model is the scene's shape."""
    if model is None:
        return False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        params = [np.asarray(p, dtype=float).ravel() for p in (model.params if kind == "line" else [model.params])]
    if kind == "line":
        return line_is(params[0], params[1], TRUTH["line"])
    p = params[0]
    if kind == "circle":
        return circle_is(p[0], p[1], p[2], TRUTH["circle"])
    return ellipse_is(p[0], p[1], p[2], p[3], TRUTH["ellipse"])


# ---------------------------------------------------------------- NumPy version


def np_band(x, y, nx, ny, px, py, delta):
    w = int(delta * math.sqrt(nx * nx + ny * ny))
    e = nx * x + ny * y - (nx * px + ny * py)
    return (e >= -w) & (e <= w)


def np_line(ps, count, delta, slope, seed):
    x, y = ps[:, 0].astype(np.int64), ps[:, 1].astype(np.int64)
    s, best, best_score, scored = Sampler(seed, len(ps)), None, 0, 0
    for _ in range(count):
        i, j = s.draw(2)
        (x0, y0), (x1, y1) = ps[i].tolist(), ps[j].tolist()
        nx, ny = y1 - y0, x0 - x1
        if (nx == 0 and ny == 0) or slope * slope * (nx * nx + ny * ny) >= nx * nx:
            continue
        scored += 1
        score = int(np.count_nonzero(np_band(x, y, nx, ny, x0, y0, delta)))
        if score > best_score:
            best, best_score = (x0, y0, nx, ny), score
    return best, scored


def np_line2(ps, count, ratio, delta, seed):
    x, y = ps[:, 0].astype(np.int64), ps[:, 1].astype(np.int64)
    s, best, best_score, scored = Sampler(seed, len(ps)), None, 0, 0
    for _ in range(count):
        q = [ps[i].tolist() for i in s.draw(4)]
        l1 = (q[0][0], q[0][1], q[1][1] - q[0][1], q[0][0] - q[1][0])
        l2 = (q[2][0], q[2][1], q[3][1] - q[2][1], q[2][0] - q[3][0])
        if (l1[2] == 0 and l1[3] == 0) or (l2[2] == 0 and l2[3] == 0):
            continue
        ncos = l1[2] * l2[2] + l1[3] * l2[3]
        if ratio * ratio * (l1[2] ** 2 + l1[3] ** 2) * (l2[2] ** 2 + l2[3] ** 2) > ncos * ncos:
            continue
        f1 = np_band(x, y, l1[2], l1[3], l1[0], l1[1], delta)
        f2 = np_band(x, y, l2[2], l2[3], l2[0], l2[1], delta)
        scored += 1
        score = int(np.count_nonzero(f1 != f2))
        if score > best_score:
            best, best_score = (l1, l2), score
    return best, scored


def np_circle(ps, count, min_r, max_r, delta, seed):
    x, y = ps[:, 0].astype(np.int64), ps[:, 1].astype(np.int64)
    s, best, best_score, scored = Sampler(seed, len(ps)), None, 0, 0
    for _ in range(count):
        (x0, y0), (x1, y1), (x2, y2) = (ps[i].tolist() for i in s.draw(3))
        a = x0 * (y1 - y2) + y0 * (x2 - x1) + x1 * y2 - x2 * y1
        if a == 0:
            continue
        c1, c2, c3 = x0 * x0 + y0 * y0, x1 * x1 + y1 * y1, x2 * x2 + y2 * y2
        b = c1 * (y2 - y1) + c2 * (y0 - y2) + c3 * (y1 - y0)
        c = c1 * (x1 - x2) + c2 * (x2 - x0) + c3 * (x0 - x1)
        cx, cy = int(-b / (2 * a)), int(-c / (2 * a))
        xc, yc = -float(b) / float(2 * a), -float(c) / float(2 * a)
        r = int(math.sqrt((x0 - xc) ** 2 + (y0 - yc) ** 2))
        if r > max_r or r < min_r:
            continue
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        scored += 1
        score = int(np.count_nonzero((d2 >= (r - delta) ** 2) & (d2 <= (r + delta) ** 2)))
        if score > best_score:
            best, best_score = (cx, cy, r), score
    return best, scored


def np_ellipse(ps, count, min_r, max_r, ratio, delta, seed):
    x, y = ps[:, 0].astype(np.float64), ps[:, 1].astype(np.float64)
    xx, yy, xy = x * x, y * y, x * y
    s, best, best_score, scored = Sampler(seed, len(ps)), None, 0, 0
    for _ in range(count):
        q = ps[s.draw(5)].astype(np.float64)
        m = np.column_stack([q[:, 0] ** 2, q[:, 0] * q[:, 1], q[:, 1] ** 2, q[:, 0], q[:, 1]])
        try:
            A, B, C, D, E = np.linalg.solve(m, np.ones(5))
        except np.linalg.LinAlgError:
            continue
        det = B * B - 4 * A * C
        if det >= 0:
            continue
        dnt = math.sqrt((A - C) ** 2 + B * B)
        t1 = 2 * (A * E * E + C * D * D - B * D * E - det)
        if t1 * (A + C + dnt) < 0 or t1 * (A + C - dnt) < 0:
            continue
        a, b = -math.sqrt(t1 * (A + C + dnt)) / det, -math.sqrt(t1 * (A + C - dnt)) / det
        if b > ratio * a or not (min_r <= a <= max_r and min_r <= b <= max_r):
            continue
        cx, cy = (2 * C * D - B * E) / det, (2 * A * E - B * D) / det
        th = math.atan((C - A - dnt) / B) if B != 0 else (0.0 if A < C else math.pi / 2)
        sn, cs = math.sin(th), math.cos(th)

        def coeffs(a, b):
            c0 = (a * sn) ** 2 + (b * cs) ** 2
            c1 = 2 * (b * b - a * a) * sn * cs
            c2 = (a * cs) ** 2 + (b * sn) ** 2
            return c0, c1, c2, -2 * c0 * cx - c1 * cy, -c1 * cx - 2 * c2 * cy, c0 * cx * cx + c1 * cx * cy + c2 * cy * cy - a * a * b * b

        i1, i2 = coeffs(a - delta, b - delta), coeffs(a + delta, b + delta)
        v1 = i1[0] * xx + i1[1] * xy + i1[2] * yy + i1[3] * x + i1[4] * y + i1[5]
        v2 = i2[0] * xx + i2[1] * xy + i2[2] * yy + i2[3] * x + i2[4] * y + i2[5]
        scored += 1
        score = int(np.count_nonzero((v1 >= 0) & (v2 <= 0)))
        if score > best_score:
            best, best_score = (cx, cy, a, b, th), score
    return best, scored


# ---------------------------------------------------------------- timing


def median_time(fn, budget, max_runs=51, min_runs=3):
    times = []
    start = time.perf_counter()
    while len(times) < min_runs or (len(times) < max_runs and time.perf_counter() - start < budget):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def skimage_call(kind, ps, trials, delta):
    """A call of scikit-image's ransac at `trials` trials at most, the number
    of trials it runs, and None; or (None, 0, why) when it does not find the
    scene's shape, whose time would not count. It stops early once its best
    inlier share makes an outlier-free sample likely, so the timing is scaled
    by the trials run."""
    model, k = {"line": (LineModelND, 2), "circle": (CircleModel, 3), "ellipse": (EllipseModelGuarded, 5)}[kind]
    data = ps.astype(np.float64)
    executed = 0

    def count_trial(*_):  # called once per trial, before the estimate
        nonlocal executed
        executed += 1
        return True

    def call(seed):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return sk_ransac(data, model, k, delta, max_trials=trials, rng=seed, is_data_valid=count_trial)

    why = "no shape found"
    for seed in range(5):
        executed = 0
        try:
            fitted, _ = call(seed)
        except Exception as e:  # noqa: BLE001 - any failure of the peer is a failed row
            why = f"raised {type(e).__name__}"
            continue
        if skimage_found(kind, fitted):
            return (lambda: call(seed)), executed, None
        why = "wrong shape" if fitted is not None else "no shape found"
    return None, 0, why


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="short budgets, for a smoke run")
    ap.add_argument("--json", type=Path, metavar="PATH", help="also write the ratios for compare.py")
    args = ap.parse_args()
    report = []
    budget = 0.05 if args.quick else 0.3
    # A quick run times scikit-image at fewer trials: it is slow.
    sk_trials = 20 if args.quick else 1000
    rng = np.random.default_rng(0)
    seed = 12345
    kinds = {
        "line": (lambda ps, ms, c: kestrune.ransac_line(ps, ms, c, 2, 0.1), lambda ps, c: np_line(ps, c, 2, 0.1, seed)),
        "line2": (lambda ps, ms, c: kestrune.ransac_line2(ps, ms, c, 0.95, 2), lambda ps, c: np_line2(ps, c, 0.95, 2, seed)),
        "circle": (lambda ps, ms, c: kestrune.ransac_circle(ps, c, 20, 200, 2), lambda ps, c: np_circle(ps, c, 20, 200, 2, seed)),
        "ellipse": (lambda ps, ms, c: kestrune.ransac_ellipse(ps, c, 20, 200, 3.0, 2),
                    lambda ps, c: np_ellipse(ps, c, 20, 200, 3.0, 2, seed)),
    }
    patch_eig = sk_ransac is not None and eig_always_complex()
    print(f"kestrune shape fits, one core; SIMD level from KESTRUNE_SIMD (unset = best available)")
    print(f"scikit-image: {'not installed' if sk_ransac is None else f'at most {sk_trials} trials; time per trial run x count'}")
    if patch_eig:
        print("scikit-image EllipseModel: NumPy's eig returns complex arrays here, which makes it fail on every "
              "sample; timed with real eigenvalues restored (its own fix)")
    print("a time counts only when that fit found the scene's shape: '(missed)' marks a kestrune fit that did "
          "not, 'failed' a peer that did not")
    head = f"{'fit':8} {'n':>6} {'count':>6} {'kestrune ms':>12} {'tests/s':>9} {'scored':>6} {'numpy ms':>10} {'x numpy':>8} {'skimage ms':>11} {'x skimage':>10}"
    print(head)
    print("-" * len(head))
    for kind, (fit, numpy_fit) in kinds.items():
        for n in (500, 2000, 10000):
            ps = scene(kind, n, rng)
            ms = np.zeros(n, np.uint8)
            for count in (100, 1000):
                libc.srand(seed)
                hit = kestrune_found(kind, fit(ps, ms, count))
                t_k = median_time(lambda: fit(ps, ms, count), budget)
                np_count = count if not args.quick else min(count, 100)
                t_np = median_time(lambda: numpy_fit(ps, np_count), budget, max_runs=3, min_runs=1) * count / np_count
                # Only accepted candidates are scored: count the point tests
                # actually made (the NumPy version draws the same samples).
                scored = numpy_fit(ps, np_count)[1] * count / np_count
                bench, name = f"{kind} n={n} count={count}", f"ransac_{kind}" + ("" if hit else " (missed)")
                scaled = "" if np_count == count else f" ({np_count} trials, scaled)"
                report.append(jsonreport.row(bench, name, t_k * 1e6, f"NumPy version{scaled}",
                                             "peer", t_np * 1e6))
                sk = "-"
                ratio_sk = "-"
                if kind != "line2":
                    # Its ellipse residuals take milliseconds per trial: fewer trials, scaled.
                    trials = min(count, sk_trials if kind != "ellipse" else min(sk_trials, 50))
                    t_sk = None
                    model = {"line": "LineModelND", "circle": "CircleModel", "ellipse": "EllipseModel"}[kind]
                    label = f"scikit-image {model}"
                    if sk_ransac is not None:
                        fixed = patch_eig and kind == "ellipse"
                        with real_eigenvalues() if fixed else contextlib.nullcontext():
                            call, ran, why = skimage_call(kind, ps, trials, 2.0)
                            if call is None:
                                sk = "failed"
                                label += f" (failed: {why})"
                            else:
                                t_sk = median_time(call, budget, max_runs=3, min_runs=1) * count / ran
                                sk, ratio_sk = f"{t_sk * 1e3:11.1f}", f"{t_sk / t_k:9.0f}x"
                                notes = ([f"{ran} trials run, scaled"] if ran != count else []) + (
                                    ["real eigenvalues restored"] if fixed else [])
                                label += f" ({', '.join(notes)})" if notes else ""
                    report.append(jsonreport.row(bench, name, t_k * 1e6, label, "peer", t_sk and t_sk * 1e6))
                missed = "" if hit else " (missed)"
                print(f"{kind:8} {n:6d} {count:6d} {t_k * 1e3:12.3f}{missed} {scored * n / t_k:9.2e} {scored / count:6.0%} "
                      f"{t_np * 1e3:10.1f} {t_np / t_k:7.0f}x {sk:>11} {ratio_sk:>10}")
            sys.stdout.flush()
    jsonreport.write(args.json, report)


if __name__ == "__main__":
    main()
