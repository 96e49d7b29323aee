"""Threads: masking on four threads while the main thread scans and fits gives
the serial results, and only the two pixel loops let other threads run."""
import ctypes
import sys
import threading
import time

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import kestrune

NEEDED = ["mask_image", "selective_grayscale", "mask_image_cy_impl", "simple_edge", "simple_edge_hsv",
          "simple_denoise", "remove_inliers", "ransac_circle", "ransac_ellipse", "ransac_line", "ransac_line2"]
pytestmark = pytest.mark.skipif(not all(hasattr(kestrune, n) for n in NEEDED), reason="functions not built yet")

libc = ctypes.CDLL(None)
BOUNDS = kestrune.calculate_lch_bounds((-0.5, 0.5), (0.1, 1.0), (0.1, 0.9))
MAPPING = kestrune.LCHBounds._asdict(BOUNDS)


def scene(seed, h=96, w=128):
    """Noise with a red disc and a red bar, so every stage finds something."""
    rng = np.random.default_rng(seed)
    image = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    y, x = np.mgrid[:h, :w]
    image[(y - h // 2) ** 2 + (x - w // 3) ** 2 < (h // 4) ** 2] = (200, 60, 40)
    image[h // 8 : h // 8 + 4, w // 2 :] = (230, 90, 30)
    return image


IMAGES = [scene(seed) for seed in range(4)]


def masking_results(image):
    return kestrune.mask_image(image, BOUNDS), kestrune.selective_grayscale(image, BOUNDS)


def scans_and_fits(image):
    """The main thread's pipeline: edge points from the mask and from the colour
    image, then the shape fits (one rand() each)."""
    mask = kestrune.mask_image(image, BOUNDS)
    ps = np.zeros((600, 2), np.int32)
    n = kestrune.simple_edge(mask, ps, 48, 64)
    hsv = np.zeros((600, 2), np.int32)
    n_hsv = kestrune.simple_edge_hsv(image, hsv, MAPPING, 48, 64)
    points = ps[:n]
    clean = np.zeros_like(points)
    n_clean = kestrune.simple_denoise(points, clean, 2)
    ms = np.zeros(n, np.uint8)
    line = kestrune.ransac_line(points, ms, 40, 2, 0.2)
    rest = np.zeros_like(points)
    n_rest = kestrune.remove_inliers(points, rest, ms)
    pair = kestrune.ransac_line2(points, ms.copy(), 40, 0.9, 2)
    circle = kestrune.ransac_circle(rest[:n_rest], 40, 5, 80, 2)
    ellipse = kestrune.ransac_ellipse(rest[:n_rest], 40, 5, 80, 2.0, 2)
    return (n, ps.tobytes(), n_hsv, hsv.tobytes(), n_clean, clean.tobytes(), line, ms.tobytes(), n_rest,
            rest.tobytes(), pair, circle, ellipse)


def test_masking_threads_and_main_thread_fits_match_serial_runs():
    expected_masks = [masking_results(image) for image in IMAGES]
    libc.srand(2024)
    expected_fits = [scans_and_fits(image) for image in IMAGES]

    stop = threading.Event()
    mismatches, rounds = [], [0] * 4

    def worker(k):
        image = IMAGES[k]
        mask_out, grey_out = np.empty(image.shape[:2], np.uint8), np.empty(image.shape[:2], np.uint8)
        while not stop.is_set() or rounds[k] < 20:
            mask, grey = masking_results(image)
            kestrune.mask_image(image, BOUNDS, mask_out)
            kestrune.selective_grayscale(image, MAPPING, grey_out)
            for got, want in ((mask, 0), (grey, 1), (mask_out, 0), (grey_out, 1)):
                if not np.array_equal(got, expected_masks[k][want]):
                    mismatches.append((k, want))
            rounds[k] += 1

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    try:
        for _ in range(5):
            libc.srand(2024)
            got = [scans_and_fits(image) for image in IMAGES]
            assert got == expected_fits
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert not mismatches
    assert min(rounds) >= 20


class Observer:
    """A thread that stamps the time (at most once a millisecond) whenever it
    holds the interpreter lock while `watching` is set."""

    def __init__(self):
        self.watching = False
        self.stamps = []
        self.stop = False
        self.thread = threading.Thread(target=self.run)

    def run(self):
        last = 0.0
        while not self.stop:
            if self.watching:
                now = time.perf_counter()
                if now - last >= 0.001:
                    self.stamps.append(now)
                    last = now

    def __enter__(self):
        self.interval = sys.getswitchinterval()
        sys.setswitchinterval(0.0005)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()
        sys.setswitchinterval(self.interval)

    def stamps_during(self, call):
        """Runs `call`; returns its duration, the stamps taken well inside it,
        and the longest stretch of it in which the observer took none."""
        self.stamps.clear()
        self.watching = True
        start = time.perf_counter()
        call()
        end = time.perf_counter()
        self.watching = False
        margin = 0.05
        inside = [t for t in self.stamps if start + margin < t < end - margin]
        times = [start] + [t for t in self.stamps if start < t < end] + [end]
        silence = max(b - a for a, b in zip(times, times[1:]))
        return end - start, inside, silence


def long_enough(make_call, target=0.4, size=64, most=2**19):
    """Grows the workload until one call takes `target` seconds or more."""
    while True:
        call = make_call(size)
        start = time.perf_counter()
        call()
        if time.perf_counter() - start >= target or size >= most:
            return call
        size *= 2


def big_masking(size):
    # A large image and output that reuse one row of memory (zero row strides).
    row = np.tile(np.array([200, 60, 40], np.uint8), 4096)
    image = as_strided(row, shape=(size, 4096, 3), strides=(0, 3, 1))
    output = as_strided(np.zeros(4096, np.uint8), shape=(size, 4096), strides=(0, 1))
    return lambda: kestrune.mask_image_cy_impl(image, output, MAPPING)


def big_circle_fit(size):
    t = np.linspace(0, 2 * np.pi, 4000, endpoint=False)
    points = np.stack([500 + 300 * np.cos(t), 500 + 300 * np.sin(t)], axis=1).astype(np.int32)
    return lambda: kestrune.ransac_circle(points, size, 10, 1000, 2)


def big_edge_scan(size):
    # An empty mask: every spread row and column is read to its end.
    plane = as_strided(np.zeros(4096, np.uint8), shape=(size, 4096), strides=(0, 1))
    ps = np.zeros((4, 2), np.int32)
    return lambda: kestrune.simple_edge(plane, ps, 65536, 65536)


def test_other_threads_run_during_the_pixel_loop():
    call = long_enough(big_masking)
    with Observer() as observer:
        duration, inside, _ = observer.stamps_during(call)
    assert duration > 0.12  # leaves a stretch inside the margins
    assert inside, "no other thread ran while the pixel loop ran"


@pytest.mark.parametrize("make_call", [big_circle_fit, big_edge_scan], ids=["ransac_circle", "simple_edge"])
def test_no_other_thread_runs_during_a_fit_or_scan(make_call):
    # A fit's iterations are cheap on wide vectors: it may take more of them
    # than a scan takes rows to last long enough.
    call = long_enough(make_call, most=2**23 if make_call is big_circle_fit else 2**19)
    with Observer() as observer:
        duration, _, silence = observer.stamps_during(call)
    assert duration > 0.12
    # The observer may slip in just before the call starts or just after it
    # ends (the more so on a busy machine), but never during it: one silent
    # stretch covers most of the call.
    assert silence > 0.6 * duration, f"another thread ran during the call ({silence:.3f} s of {duration:.3f} s silent)"
