"""Colour masking timings: kestrune at each instruction set, its NumPy path,
OpenCV's HSV conversion plus range test when installed, and a plain copy of the
same bytes as the memory floor. Prints tables of medians and ratios.

    python benchmarks/bench_color.py [--quick]
"""
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np

import kestrune

SIZES = [(480, 640), (1080, 1920)]
BOUNDS = {"M": [256, -256, 0, 0, 256, -256, 85, 85, 85], "i": (6554, 58982), "c": (15135, 75674)}
LEVELS = ["scalar", "sse41", "avx2", "avx512"]
QUICK = "--quick" in sys.argv


def median_us(fn, budget_s=0.4 if not QUICK else 0.1, max_reps=400):
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


def cpu_levels():
    """The levels this CPU has, from /proc/cpuinfo (the env var only lowers the choice)."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), [])
    except OSError:
        return ["scalar"]
    levels = ["scalar"]
    if "sse4_1" in flags:
        levels.append("sse41")
        if "avx2" in flags:
            levels.append("avx2")
            if all(f in flags for f in ("avx512f", "avx512bw", "avx512vl", "avx512dq")):
                levels.append("avx512")
    return levels


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            return next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    except OSError:
        return "?"


def kernel_times():
    """mask_image_cy_impl medians for each size, in this process's dispatch level."""
    result = {}
    for h, w in SIZES:
        image, out = frame(h, w), np.empty((h, w), np.uint8)
        result[f"{w}x{h}"] = median_us(lambda: kestrune.mask_image_cy_impl(image, out, BOUNDS))
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


def two_threads_ratio(h, w, calls=150):
    """Throughput of two threads masking two frames at once over one thread."""
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
    return (2 * calls / best_two) / (calls / best_one)


def print_table(title, headers, rows):
    widths = [max(len(str(r[k])) for r in [headers] + rows) for k in range(len(headers))]
    print(f"\n{title}")
    print("  ".join(str(h).ljust(widths[k]) if k == 0 else str(h).rjust(widths[k]) for k, h in enumerate(headers)))
    for r in rows:
        print("  ".join(str(c).ljust(widths[k]) if k == 0 else str(c).rjust(widths[k]) for k, c in enumerate(r)))


def main():
    if "--child" in sys.argv:
        print(json.dumps(kernel_times()))
        return
    levels = level_times()
    print(f"CPU: {cpu_name()}; levels: {', '.join(levels)}; default level here: {cpu_levels()[-1]}")
    for h, w in SIZES:
        key = f"{w}x{h}"
        image, out = frame(h, w), np.empty((h, w), np.uint8)
        copy_dst = np.empty_like(image)
        rows = [(f"mask_image_cy_impl [{lvl}]", t[key]) for lvl, t in levels.items()]
        rows += [
            ("mask_image (allocating)", median_us(lambda: kestrune.mask_image(image, BOUNDS))),
            ("mask_image (reused buffer)", median_us(lambda: kestrune.mask_image(image, BOUNDS, out))),
            ("selective_grayscale_impl", median_us(lambda: kestrune.selective_grayscale_impl(image, out, BOUNDS))),
            ("mask_image_py", median_us(lambda: kestrune.mask_image_py(image, kestrune.LCHBounds(
                np.array(BOUNDS["M"], np.int32), BOUNDS["i"], BOUNDS["c"])), budget_s=1.0, max_reps=15)),
        ]
        rows += opencv_rows(image, out)
        floor = median_us(lambda: np.copyto(copy_dst, image))
        rows.append(("memory floor (np.copyto of the image bytes)", floor))
        best = levels[max(levels, key=LEVELS.index)][key]
        table = [(name, f"{t:.1f}", f"{t / best:.2f}", f"{t / floor:.2f}") for name, t in rows]
        print_table(f"{key} (median us; ratios to mask_image_cy_impl [{max(levels, key=LEVELS.index)}] "
                    f"and to the copy floor)", ["function", "us", "x kernel", "x copy"], table)

    h, w = SIZES[-1]
    print(f"\ntwo threads masking two {w}x{h} frames at once: {two_threads_ratio(h, w):.2f}x the throughput of one")
    tiny, tiny_out = frame(1, 1), np.empty((1, 1), np.uint8)
    call = median_us(lambda: kestrune.mask_image_cy_impl(tiny, tiny_out, BOUNDS), max_reps=20000)
    views = median_us(lambda: (memoryview(tiny), memoryview(tiny_out)), max_reps=20000)
    print(f"per call on a 1x1 image: mask_image_cy_impl {call * 1000:.0f} ns, "
          f"two memoryview() calls {views * 1000:.0f} ns ({call / views:.2f}x)")


if __name__ == "__main__":
    main()
