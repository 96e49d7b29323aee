"""Reference and memory hygiene: repeated calls, on success and on every kind of
failure, leave their arguments' reference counts as they were, keep the process
memory flat, and end every buffer export they take. A test session leaves no
file behind and no file open.

KESTRUNE_HYGIENE_CALLS sets the number of calls per case (default 2,000; the
long run uses 100,000).
"""
import gc
import os
import subprocess
import sys
import tracemalloc
import warnings
from pathlib import Path

import numpy as np
import pytest

import kestrune

CALLS = int(os.environ.get("KESTRUNE_HYGIENE_CALLS", 2000))
SANITIZED = os.environ.get("KESTRUNE_SANITIZED") == "1"
WARMUP = 200

BOUNDS_ARGS = ((-0.5, 0.5), (0.1, 1.0), (0.1, 0.9))
RECORD = kestrune.calculate_lch_bounds(*BOUNDS_ARGS)
MAPPING = {"i": tuple(RECORD.i), "c": tuple(RECORD.c), "M": [int(v) for v in RECORD.M]}
SHORT_M = {"i": (0, 1), "c": (0, 1), "M": [1] * 8}
NO_M = {"i": (0, 1), "c": (0, 1)}

RING = [(int(40 + 30 * np.cos(t)), int(40 + 30 * np.sin(t))) for t in np.linspace(0, 6.2, 40)]
LINE = [(x, 2 * x + 1) for x in range(30)]


class Numpy:
    """Arrays as NumPy arrays."""

    def image(self, h, w, c=3):
        rng = np.random.default_rng(h * 100 + w)
        return rng.integers(0, 256, (h, w, c), dtype=np.uint8)

    def plane(self, h, w, fill=0):
        plane = np.full((h, w), fill, np.uint8)
        plane[h // 3 : 2 * h // 3, w // 4 : 3 * w // 4] = 1
        return plane

    def points(self, rows, dtype=np.int32):
        return np.array(rows, dtype).reshape(-1, 2).copy()  # owns its data, so it can be resized

    def mask(self, n, dtype=np.uint8):
        mask = np.zeros(n, dtype)
        mask[::3] = 1
        return mask


class Views(Numpy):
    """The same arrays as memoryviews over bytearrays: an export that is not
    ended shows as an error when the view is released or the bytearray resized."""

    def __init__(self):
        self.made = []

    def wrap(self, array):
        fmt = {np.dtype(np.uint8): "B", np.dtype(np.int32): "i", np.dtype(np.int64): "q"}[array.dtype]
        store = bytearray(array.tobytes())
        view = memoryview(store) if array.size == 0 else memoryview(store).cast("B").cast(fmt, list(array.shape))
        self.made.append((store, view))
        return view

    def image(self, h, w, c=3):
        return self.wrap(super().image(h, w, c))

    def plane(self, h, w, fill=0):
        return self.wrap(super().plane(h, w, fill))

    def points(self, rows, dtype=np.int32):
        return self.wrap(super().points(rows, dtype))

    def mask(self, n, dtype=np.uint8):
        return self.wrap(super().mask(n, dtype))


# (function, arguments built from an array maker, exception expected or None)
CASES = {
    "mask_image_cy_impl ok": ("mask_image_cy_impl", lambda m: [m.image(5, 7), m.plane(5, 7), MAPPING], None),
    "mask_image_cy_impl short M": ("mask_image_cy_impl", lambda m: [m.image(5, 7), m.plane(5, 7), SHORT_M],
                                   IndexError),
    "mask_image_cy_impl small output": ("mask_image_cy_impl", lambda m: [m.image(5, 7), m.plane(4, 7), MAPPING],
                                        ValueError),
    "selective_grayscale_impl ok": ("selective_grayscale_impl",
                                    lambda m: [m.image(6, 3), m.plane(6, 3), MAPPING], None),
    "selective_grayscale_impl no M": ("selective_grayscale_impl",
                                      lambda m: [m.image(6, 3), m.plane(6, 3), NO_M], ValueError),
    "selective_grayscale_impl four channels": ("selective_grayscale_impl",
                                               lambda m: [m.image(6, 3, 4), m.plane(6, 3), MAPPING], ValueError),
    "mask_image ok": ("mask_image", lambda m: [m.image(4, 9), RECORD, m.plane(4, 9)], None),
    "mask_image allocates": ("mask_image", lambda m: [m.image(4, 9), RECORD], None),
    "mask_image wrong buffer": ("mask_image", lambda m: [m.image(4, 9), RECORD, m.points(LINE)], ValueError),
    "mask_image allocates, kernel refuses": ("mask_image", lambda m: [m.image(4, 9, 4), RECORD], ValueError),
    "selective_grayscale allocates": ("selective_grayscale", lambda m: [m.image(4, 9), RECORD], None),
    "selective_grayscale ok": ("selective_grayscale", lambda m: [m.image(4, 9), MAPPING, m.plane(4, 9)], None),
    "selective_grayscale bad bounds": ("selective_grayscale", lambda m: [m.image(4, 9), 5, m.plane(4, 9)],
                                       TypeError),
    "simple_edge ok": ("simple_edge", lambda m: [m.plane(9, 11), m.points([0] * 40), 8, 8], None),
    "simple_edge full": ("simple_edge", lambda m: [m.plane(9, 11), m.points([0] * 6), 8, 8], None),
    "simple_edge long ints": ("simple_edge", lambda m: [m.plane(9, 11), m.points([0] * 6, np.int64), 8, 8],
                              ValueError),
    "simple_edge count": ("simple_edge", lambda m: [m.plane(9, 11), m.points([0] * 6), 70000, 8], ValueError),
    "simple_edge_hsv ok": ("simple_edge_hsv", lambda m: [m.image(9, 11), m.points([0] * 40), MAPPING, 8, 8],
                           None),
    "simple_edge_hsv record": ("simple_edge_hsv", lambda m: [m.image(9, 11), m.points([0] * 40), RECORD, 8, 8],
                               TypeError),
    "simple_denoise ok": ("simple_denoise", lambda m: [m.points(LINE), m.points([0] * 60), 3], None),
    "simple_denoise no output": ("simple_denoise", lambda m: [m.points(LINE), None, 3], IndexError),
    "simple_denoise short output": ("simple_denoise", lambda m: [m.points(LINE), m.points([0] * 8), 3],
                                    ValueError),
    "remove_inliers ok": ("remove_inliers", lambda m: [m.points(LINE), m.points([0] * 60), m.mask(30)], None),
    "remove_inliers empty mask": ("remove_inliers", lambda m: [m.points(LINE), m.points([0] * 60), m.mask(0)],
                                  IndexError),
    "remove_inliers short mask": ("remove_inliers", lambda m: [m.points(LINE), m.points([0] * 60), m.mask(20)],
                                  ValueError),
    "ransac_circle ok": ("ransac_circle", lambda m: [m.points(RING), 20, 5, 60, 2], None),
    "ransac_circle bad count": ("ransac_circle", lambda m: [m.points(RING), "20", 5, 60, 2], TypeError),
    "ransac_ellipse ok": ("ransac_ellipse", lambda m: [m.points(RING), 10, 5, 60, 1.5, 2], None),
    "ransac_ellipse bad ratio": ("ransac_ellipse", lambda m: [m.points(RING), 10, 5, 60, "x", 2], TypeError),
    "ransac_line ok": ("ransac_line", lambda m: [m.points(LINE), m.mask(30), 20, 1, 0.5], None),
    "ransac_line short mask": ("ransac_line", lambda m: [m.points(LINE), m.mask(29), 20, 1, 0.5], ValueError),
    "ransac_line2 ok": ("ransac_line2", lambda m: [m.points(LINE + RING), m.mask(70), 20, 0.9, 2], None),
    "ransac_line2 big delta": ("ransac_line2", lambda m: [m.points(LINE), m.mask(30), 20, 0.9, 2**31],
                               OverflowError),
    "calculate_lch_bounds ok": ("calculate_lch_bounds", lambda m: list(BOUNDS_ARGS), None),
    "calculate_lch_bounds bad bits": ("calculate_lch_bounds", lambda m: [*BOUNDS_ARGS, "8"], TypeError),
    "calculate_lch_bounds short hue": ("calculate_lch_bounds", lambda m: [(0.5,), (0.1, 1.0), (0.1, 0.9)],
                                       IndexError),
    "mask_color ok": ("mask_color", lambda m: [(200, 100, 50), RECORD], None),
    "mask_color two items": ("mask_color", lambda m: [(200, 100, 50), RECORD[:2]], ValueError),
    "mask_image_py ok": ("mask_image_py", lambda m: [m.image(4, 5), RECORD], None),
    "mask_image_py dict": ("mask_image_py", lambda m: [m.image(4, 5), MAPPING], AttributeError),
}

# The functions that take buffer exports themselves.
VIEW_CASES = [name for name, (function, _, _) in CASES.items()
              if function not in ("calculate_lch_bounds", "mask_color", "mask_image_py")]


def available(name):
    function = CASES[name][0]
    return pytest.param(name, marks=pytest.mark.skipif(not hasattr(kestrune, function),
                                                       reason=f"{function} not built yet"))


def run_case(function, args, expected):
    if expected is None:
        return function(*args)
    try:
        function(*args)
    except expected:
        return None
    raise AssertionError(f"{function.__name__} did not raise {expected.__name__}")


def tracked(args):
    """Every object the call could take a reference to, nested ones included."""
    objects = []
    for arg in args:
        objects.append(arg)
        if isinstance(arg, dict):
            objects.extend(arg.values())
        elif isinstance(arg, tuple):
            objects.extend(arg)
    return objects


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", [available(n) for n in CASES])
def test_repeated_calls_keep_references_and_memory(name):
    function_name, build, expected = CASES[name]
    function = getattr(kestrune, function_name)
    args = build(Numpy())
    objects = tracked(args)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(WARMUP):
            run_case(function, args, expected)
        gc.collect()
        counts = [sys.getrefcount(o) for o in objects]
        rss_before = rss_bytes()
        tracemalloc.start()
        try:
            traced_before = tracemalloc.get_traced_memory()[0]
            for _ in range(CALLS):
                run_case(function, args, expected)
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        finally:
            tracemalloc.stop()
        rss_growth = rss_bytes() - rss_before
    assert [sys.getrefcount(o) for o in objects] == counts
    # A leak of one small object per call would be CALLS * 16 bytes or more; the
    # floor absorbs one-off caches (an error path formats and keeps ~17 kB once).
    assert traced_growth < max(12 * CALLS, 24576), f"traced memory grew by {traced_growth} bytes"
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory back
        assert rss_growth < 4 * 2**20 + 64 * CALLS, f"RSS grew by {rss_growth} bytes"


@pytest.mark.parametrize("name", [available(n) for n in VIEW_CASES])
def test_every_export_ends_with_the_call(name):
    function_name, build, expected = CASES[name]
    views = Views()
    args = build(views)
    run_case(getattr(kestrune, function_name), args, expected)
    for store, view in views.made:
        view.release()  # BufferError while an export is still held
        store.extend(b"\x00")  # likewise for the bytearray under it


@pytest.mark.parametrize("name", [available(n) for n in VIEW_CASES])
def test_numpy_arrays_can_be_resized_after_the_call(name):
    function_name, build, expected = CASES[name]
    args = build(Numpy())
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    run_case(getattr(kestrune, function_name), args, expected)
    del args
    while arrays:
        array = arrays.pop()
        # With refcheck the resize fails while anything, an export included,
        # still refers to the array.
        array.resize(array.size + 8, refcheck=True)


def test_a_test_session_leaves_no_file_and_closes_what_it_opens(tmp_path):
    # Every test module imported, and a fuzz test run (it keeps a hang report
    # open), with an empty temporary directory of its own: a passing session
    # must leave it empty and warn of no unclosed file.
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    env = dict(os.environ, TMPDIR=str(tmp), KESTRUNE_FUZZ_EXAMPLES="5")
    run = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error::ResourceWarning", "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "-o", "tmp_path_retention_policy=failed", "-k", "test_fuzz and test_simple_denoise", "."],
        cwd=Path(__file__).parent, env=env, capture_output=True, text=True, timeout=600,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "1 passed" in run.stdout
    assert "ResourceWarning" not in run.stdout + run.stderr
    assert [str(p.relative_to(tmp)) for p in tmp.rglob("*") if not p.is_dir()] == []
