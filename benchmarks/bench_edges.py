"""Edge scans and point-list passes: medians of repeated runs, printed as a table.

    python benchmarks/bench_edges.py [--quick] [--json PATH]
"""

import argparse
import math
import os
import statistics
import time
import timeit
from pathlib import Path

import numpy as np

import jsonreport
import kestrune as k

H, W = 1080, 1920
QUICK = False  # set from --quick in main()


def median_seconds(fn, number, repeat=7):
    if QUICK:
        number, repeat = max(1, number // 5), 3
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def frame():
    """A noisy grey frame with a few red discs, like a camera view of targets."""
    rng = np.random.default_rng(0)
    image = rng.integers(40, 90, (H, W, 3), dtype=np.uint8)
    yy, xx = np.mgrid[0:H, 0:W]
    for cx, cy, r in ((400, 300, 120), (1300, 700, 200), (1700, 200, 60), (900, 900, 90)):
        disc = (xx - cx) ** 2 + (yy - cy) ** 2 < r * r
        image[disc] = (200, 40, 50)
    return image


def numpy_mask(image, bounds):
    M = np.asarray(bounds["M"], np.int64).reshape(3, 3)
    v = image.astype(np.int64) @ M.T
    v = (v + 2**31) % 2**32 - 2**31
    tmp = (v[..., 0] + v[..., 1] + 2**31) % 2**32 - 2**31
    (i0, i1), (c0, c1) = bounds["i"], bounds["c"]
    inside = (v[..., 0] > 0) & (v[..., 1] > 0) & (i0 < v[..., 2]) & (v[..., 2] < i1) & (c0 < tmp) & (tmp < c1)
    return inside.astype(np.uint8)


def cache_line_ratio(n):
    """Share of the image's 64-byte lines that n spread rows and n spread columns touch."""
    def spread(i, extent):
        return (int(f"{i:016b}"[::-1], 2) * extent & 0xFFFFFFFF) >> 16

    per_row = -(-W * 3 // 64)
    rows = {spread(i, H) for i in range(n)}
    column_lines = {spread(i, W) * 3 // 64 for i in range(n)}
    touched = len(rows) * per_row + (H - len(rows)) * len(column_lines)
    return touched / (H * per_row)


def fmt_us(seconds):
    return f"{seconds * 1e6:10.1f} us"


def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short budgets, for a smoke run")
    parser.add_argument("--json", type=Path, metavar="PATH", help="also write the ratios for compare.py")
    args = parser.parse_args()
    QUICK = args.quick
    report = []
    image = frame()
    bounds = k.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.1, 0.8), (0.2, 0.8))._asdict()
    ps = np.zeros((200_000, 2), np.int32)
    mask_image = getattr(k, "mask_image", None)
    mask = mask_image(image, bounds) if mask_image else numpy_mask(image, bounds)
    plane = np.zeros((H, W), np.uint8)

    simd = os.environ.get("KESTRUNE_SIMD") or "best available"
    print(f"kestrune edge benchmarks, {W}x{H} frame, KESTRUNE_SIMD={simd}; medians of {3 if QUICK else 7} runs\n")
    print("colour scan vs whole-image path (mask_image + simple_edge)")
    print(f"{'lines':>6} {'simple_edge_hsv':>15} {'mask+edge':>14} {'pixel ratio':>12} {'time ratio':>11}"
          f" {'cache lines':>12}")
    for n in (32, 64, 128):
        t_hsv = median_seconds(lambda: k.simple_edge_hsv(image, ps, bounds, n, n), 20)
        pixel_ratio = (n * W + n * H) / (W * H)
        if mask_image:
            t_full = median_seconds(lambda: k.simple_edge(mask_image(image, bounds, plane), ps, n, n), 5)
            time_ratio = f"{t_hsv / t_full:.3f}"
        else:
            t_full, time_ratio = None, "-"
        full = fmt_us(t_full) if t_full else "(no mask_image)"
        print(f"{n:>6} {fmt_us(t_hsv):>15} {full:>14} {pixel_ratio:>12.3f} {time_ratio:>11}"
              f" {cache_line_ratio(n):>12.3f}")
        report.append(jsonreport.row(f"edges {W}x{H}, {n} rows+cols", "simple_edge_hsv", t_hsv * 1e6,
                                     "mask_image + simple_edge", "peer", t_full * 1e6 if t_full else None))
    print("(cache lines: share of the colour image's 64-byte lines the scan reads; columns read a line per pixel)")

    print("\nrow scans vs column scans, 128 lines (ns per visited pixel)")
    print(f"{'scan':>16} {'rows':>14} {'columns':>14}")
    for name, fn in (("simple_edge", lambda r, c: k.simple_edge(mask, ps, r, c)),
                     ("simple_edge_hsv", lambda r, c: k.simple_edge_hsv(image, ps, bounds, r, c))):
        t_rows = median_seconds(lambda: fn(128, 0), 20)
        t_cols = median_seconds(lambda: fn(0, 128), 20)
        print(f"{name:>16} {t_rows / (128 * W) * 1e9:>11.2f} ns {t_cols / (128 * H) * 1e9:>11.2f} ns")

    print("\npoint-list passes (million points per second)")
    rng = np.random.default_rng(1)
    n_points = 200_000
    starts = np.sort(rng.integers(0, W, n_points // 2)).astype(np.int32)
    runs = np.empty((n_points, 2), np.int32)
    runs[0::2, 0] = starts
    runs[1::2, 0] = starts + rng.integers(1, 12, n_points // 2)
    runs[:, 1] = np.repeat(rng.integers(0, 4, n_points // 2), 2)
    out = np.empty_like(runs)
    flags = (rng.random(n_points) < 0.3).astype(np.uint8)
    for name, fn in (("simple_denoise", lambda: k.simple_denoise(runs, out, 5)),
                     ("remove_inliers", lambda: k.remove_inliers(runs, out, flags))):
        t = median_seconds(fn, 20)
        print(f"{name:>16} {n_points / t / 1e6:>10.1f} Mpt/s")

    print("\nper-call overhead: simple_edge on a 1x1 mask with a (0, 2) point array")
    one = np.zeros((1, 1), np.uint8)
    empty = np.zeros((0, 2), np.int32)
    # Statements, not lambdas: a lambda's own call would blur the ratio.
    env = {"k": k, "one": one, "empty": empty}
    calls = 20_000 if QUICK else 200_000
    repeat = 3 if QUICK else 7
    t_call = min(timeit.repeat("k.simple_edge(one, empty, 1, 1)", globals=env, number=calls, repeat=repeat)) / calls
    t_floor = min(timeit.repeat("memoryview(one); memoryview(empty)", globals=env, number=calls, repeat=repeat)) / calls
    print(f"{'simple_edge':>16} {t_call * 1e9:>8.0f} ns")
    print(f"{'2x memoryview':>16} {t_floor * 1e9:>8.0f} ns")
    print(f"{'ratio':>16} {t_call / t_floor:>8.2f}   (target: within 2x)")
    report.append(jsonreport.row("call overhead, 1x1 mask", "simple_edge", t_call * 1e6,
                                 "two memoryview() calls", "floor", t_floor * 1e6))
    jsonreport.write(args.json, report)


if __name__ == "__main__":
    main()
