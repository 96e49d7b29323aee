"""Colour masking timings: kestrune at each instruction set, its NumPy path,
OpenCV's HSV conversion plus range test when installed, and a plain copy of the
same bytes as the memory floor. Prints tables of medians and ratios.

    python benchmarks/bench_color.py [--quick] [--json PATH]
"""
import argparse
import json
import os
import subprocess
import sys
import threading
import time
import timeit
from pathlib import Path

import numpy as np

import jsonreport
import kestrune
from jsonreport import LEVELS, active_level, cpu_levels, cpu_name

SIZES = [(480, 640), (1080, 1920)]
BOUNDS = {"M": [256, -256, 0, 0, 256, -256, 85, 85, 85], "i": (6554, 58982), "c": (15135, 75674)}
QUICK = False  # set from --quick in main()


def median_us(fn, budget_s=None, max_reps=400):
    if budget_s is None:
        budget_s = 0.1 if QUICK else 0.4
    fn()  # warm up caches and first-touch pages
    times = []
    start = time.perf_counter()
    while len(times) < max_reps and (len(times) < 5 or time.perf_counter() - start < budget_s):
        t0 = time.perf_counter_ns()
        fn()
        times.append(time.perf_counter_ns() - t0)
    times.sort()
    return times[len(times) // 2] / 1000.0


def frame(h, w, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def kernel_times():
    """mask_image_cy_impl and selective_grayscale_impl medians for each size, in
    this process's dispatch level (keys "WxH" and "grey WxH")."""
    result = {}
    for h, w in SIZES:
        image, out = frame(h, w), np.empty((h, w), np.uint8)
        result[f"{w}x{h}"] = median_us(lambda: kestrune.mask_image_cy_impl(image, out, BOUNDS))
        result[f"grey {w}x{h}"] = median_us(lambda: kestrune.selective_grayscale_impl(image, out, BOUNDS))
    return result


def level_times():
    times = {}
    for level in cpu_levels():
        env = dict(os.environ, KESTRUNE_SIMD=level)
        args = [sys.executable, __file__, "--child"] + (["--quick"] if QUICK else [])
        run = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
        times[level] = json.loads(run.stdout)
    return times


def opencv_rows(image, out):
    try:
        import cv2
    except ImportError:
        return []
    lo, hi = np.array([0, 50, 25], np.uint8), np.array([30, 255, 230], np.uint8)

    def cv_mask():
        hsv = cv2.cvtColor(image, cv2.COLOR_RGB2HSV)
        cv2.inRange(hsv, lo, hi, dst=out)

    default_threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    single = median_us(cv_mask)
    cv2.setNumThreads(default_threads)
    threaded = median_us(cv_mask)
    return [("cv2 cvtColor(HSV)+inRange, 1 thread", single),
            (f"cv2 cvtColor(HSV)+inRange, {default_threads} threads", threaded)]


def two_threads_us(h, w, calls=150):
    """Wall time per frame of one thread masking frames, and of two threads
    masking two frames at once (best of a few rounds)."""
    images = [frame(h, w, s) for s in (1, 2)]
    outs = [np.empty((h, w), np.uint8) for _ in images]

    def work(k):
        for _ in range(calls):
            kestrune.mask_image_cy_impl(images[k], outs[k], BOUNDS)

    best_one, best_two = float("inf"), float("inf")
    for _ in range(5 if not QUICK else 1):
        t0 = time.perf_counter()
        work(0)
        best_one = min(best_one, time.perf_counter() - t0)
        threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        best_two = min(best_two, time.perf_counter() - t0)
    return best_one / calls * 1e6, best_two / (2 * calls) * 1e6


def print_table(title, headers, rows):
    widths = [max(len(str(r[k])) for r in [headers] + rows) for k in range(len(headers))]
    print(f"\n{title}")
    print("  ".join(str(h).ljust(widths[k]) if k == 0 else str(h).rjust(widths[k]) for k, h in enumerate(headers)))
    for r in rows:
        print("  ".join(str(c).ljust(widths[k]) if k == 0 else str(c).rjust(widths[k]) for k, c in enumerate(r)))


def call_overhead_us():
    """One mask_image_cy_impl call on a 1x1 image, and two memoryview() calls on
    the same arrays (the cost of taking the buffers): best of a few timeit runs.
    Statements, not lambdas: a lambda's own call would blur the ratio."""
    record = kestrune.LCHBounds(np.array(BOUNDS["M"], np.int32), BOUNDS["i"], BOUNDS["c"])
    env = {"k": kestrune, "tiny": frame(1, 1), "out": np.empty((1, 1), np.uint8), "bounds": BOUNDS,
           "record": record, "asdict": record._asdict()}
    calls, repeat = (20_000, 3) if QUICK else (200_000, 7)
    per_call = {stmt: min(timeit.repeat(stmt, globals=env, number=calls, repeat=repeat)) / calls * 1e6
                for stmt in CALLS}
    return per_call


# The 1x1 calls timed by call_overhead_us(): the kernel (bounds as a dict of
# ints, or as the record's _asdict(), whose M is a NumPy array), the convenience
# entries (reused buffer or allocating, bounds as a dict or as the record), and
# the floor.
CALLS = ("k.mask_image_cy_impl(tiny, out, bounds)", "k.mask_image_cy_impl(tiny, out, asdict)",
         "k.mask_image(tiny, bounds, out)",
         "k.mask_image(tiny, record, out)", "k.mask_image(tiny, bounds)",
         "k.selective_grayscale(tiny, bounds, out)", "memoryview(tiny); memoryview(out)")


def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short budgets, for a smoke run")
    parser.add_argument("--json", type=Path, metavar="PATH", help="also write the ratios for compare.py")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    QUICK = args.quick
    if args.child:
        print(json.dumps(kernel_times()))
        return
    levels = level_times()
    here = active_level()
    kernel = f"mask_image_cy_impl [{here}]"
    print(f"CPU: {cpu_name()}; levels: {', '.join(levels)}; default level here: {here}")
    report = []
    for h, w in SIZES:
        key = f"{w}x{h}"
        image, out = frame(h, w), np.empty((h, w), np.uint8)
        copy_dst = np.empty_like(image)
        rows = [(f"mask_image_cy_impl [{lvl}]", t[key]) for lvl, t in levels.items()]
        rows += [(f"selective_grayscale_impl [{lvl}]", t[f"grey {key}"]) for lvl, t in levels.items()]
        py = median_us(lambda: kestrune.mask_image_py(image, kestrune.LCHBounds(
            np.array(BOUNDS["M"], np.int32), BOUNDS["i"], BOUNDS["c"])), budget_s=1.0, max_reps=15)
        rows += [
            ("mask_image (allocating)", median_us(lambda: kestrune.mask_image(image, BOUNDS))),
            ("mask_image (reused buffer)", median_us(lambda: kestrune.mask_image(image, BOUNDS, out))),
            ("mask_image_py", py),
        ]
        cv = opencv_rows(image, out)
        rows += cv
        floor = median_us(lambda: np.copyto(copy_dst, image))
        rows.append(("memory floor (np.copyto of the image bytes)", floor))
        best = levels[max(levels, key=LEVELS.index)][key]
        table = [(name, f"{t:.1f}", f"{t / best:.2f}", f"{t / floor:.2f}") for name, t in rows]
        print_table(f"{key} (median us; ratios to mask_image_cy_impl [{max(levels, key=LEVELS.index)}] "
                    f"and to the copy floor)", ["function", "us", "x kernel", "x copy"], table)

        t_kernel = levels[here][key]
        bench = f"mask {key}"
        report.append(jsonreport.row(bench, kernel, t_kernel, "np.copyto of the image", "floor", floor))
        report.append(jsonreport.row(f"selective grayscale {key}", f"selective_grayscale_impl [{here}]",
                                     levels[here][f"grey {key}"], "np.copyto of the image", "floor", floor))
        for name, t in cv or [("cv2 cvtColor(HSV)+inRange, 1 thread", None),
                              ("cv2 cvtColor(HSV)+inRange, default threads", None)]:
            name = name.replace("cv2 cvtColor(HSV)+inRange", "OpenCV cvtColor+inRange")
            report.append(jsonreport.row(bench, kernel, t_kernel, name, "peer", t))
        report.append(jsonreport.row(bench, kernel, t_kernel, "mask_image_py (NumPy)", "peer", py))
        for lvl in levels:
            if lvl != "scalar":
                report.append(jsonreport.row(bench, f"mask_image_cy_impl [{lvl}]", levels[lvl][key],
                                             "mask_image_cy_impl [scalar]", "peer", levels["scalar"][key]))

    for h, w in SIZES:
        # The same pixel count per round at every size, so that thread start-up weighs alike.
        one, two = two_threads_us(h, w, calls=150 * (1920 * 1080) // (w * h))
        print(f"\ntwo threads masking two {w}x{h} frames at once: {one / two:.2f}x the throughput of one "
              f"({two:.1f} us per frame against {one:.1f} us)")
        report.append(jsonreport.row(f"mask {w}x{h} per frame", "mask_image_cy_impl, 2 threads",
                                     two, "1 thread", "peer", one))

    per_call = call_overhead_us()
    views = per_call[CALLS[-1]]
    print("\nper call on a 1x1 image (best of 7 timeit runs):")
    for stmt in CALLS:
        print(f"  {stmt:44} {per_call[stmt] * 1000:6.0f} ns  {per_call[stmt] / views:5.2f}x two memoryview() calls")
        if stmt != CALLS[-1]:
            name = stmt.replace("k.", "").replace("tiny", "1x1")
            report.append(jsonreport.row("call overhead, 1x1 image", name, per_call[stmt],
                                         "two memoryview() calls", "floor", views))
    jsonreport.write(args.json, report)


if __name__ == "__main__":
    main()
