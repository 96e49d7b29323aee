"""The finder on threads and at its limits: a Finder shared by threads gives
the serial finds, a find lets other threads run Python, and the options that
reach C++ are checked there (never wrapped, never an abort)."""
from __future__ import annotations

import dataclasses
import sys
import threading
import time

import numpy as np
import pytest

import kestrune_find as kf
from kestrune_find import _native
from kestrune_find.options import SearchOptions

RED = (205, 40, 45)


def scene(seed, height=240, width=320):
    """Noise, a few red discs and a red bar: every shape kind has work."""
    rng = np.random.default_rng(seed)
    rgb = rng.normal(120.0, 6.0, (height, width, 3))
    ys, xs = np.mgrid[0:height, 0:width]
    for _ in range(3):
        x, y, r = rng.uniform(40, width - 40), rng.uniform(40, height - 40), rng.uniform(12, 35)
        rgb[(xs - x) ** 2 + (ys - y) ** 2 <= r * r] = RED
    top = int(rng.integers(10, height - 20))
    rgb[top:top + 8, 20:width - 20] = RED
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


FRAMES = [scene(seed) for seed in range(8)]
KINDS = ("disc", "ellipse", "line", "stripe")


def test_a_finder_shared_by_four_threads_gives_the_serial_finds():
    finder = kf.Finder(seed=3)
    jobs = [(frame, kind) for frame in FRAMES for kind in KINDS]
    serial = [finder.find(frame, kind, "red") for frame, kind in jobs]
    assert sum(map(len, serial)) > len(FRAMES)  # the scenes hold shapes
    results: list[list[list[kf.Shape]]] = [[] for _ in range(4)]

    def run(k):
        for _ in range(3):
            results[k].append([finder.find(frame, kind, "red") for frame, kind in jobs])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for rounds in results:
        assert rounds == [serial] * 3


def test_timings_are_per_thread():
    finder = kf.Finder()
    big = np.ascontiguousarray(np.tile(FRAMES[0], (4, 4, 1)))
    finder.find(FRAMES[0], "disc", "red")
    mine = finder.timings
    assert set(mine) == {"mask", "edges", "search", "evidence"} and all(v >= 0 for v in mine.values())
    other: dict[str, float] = {}

    def run():
        finder.find(big, "disc", "red")
        other.update(finder.timings)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    assert finder.timings is mine and other and other is not mine


def test_other_threads_run_python_during_a_find():
    # A switch interval far longer than the find: the counting thread can only
    # run while the find has let go of the interpreter lock.
    frame = np.ascontiguousarray(np.tile(scene(11, 270, 480), (4, 4, 1)))  # 1080 x 1920
    finder = kf.Finder(seed=1)
    finder.find(frame, "disc", "red")  # the colour's bounds resolved before counting
    count = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(1e-5)  # gives the lock back at once, so the find's thread takes it back

    interval = sys.getswitchinterval()
    thread = threading.Thread(target=counter)
    sys.setswitchinterval(5.0)
    try:
        thread.start()
        time.sleep(0.01)
        advanced = []
        for _ in range(3):
            before = count[0]
            finder.find(frame, "disc", "red")
            advanced.append(count[0] - before)
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    assert max(advanced) > 0


@pytest.mark.parametrize("max_shapes", [10_001, 2**31, 2**32, 2**63])
def test_max_shapes_beyond_the_cap_is_refused(max_shapes):
    with pytest.raises(ValueError, match="max_shapes must be .*up to 10000"):
        kf.Finder().find(FRAMES[0], "disc", "red", max_shapes=max_shapes)


def test_max_shapes_at_the_cap_finds_what_there_is():
    finder = kf.Finder(seed=2)
    assert finder.find(FRAMES[1], "disc", "red", max_shapes=10_000) == finder.find(FRAMES[1], "disc", "red")


@pytest.mark.parametrize("seed", [2**63 - 1, 2**63, 2**64 - 1])
def test_seeds_up_to_two_to_the_64_work_and_repeat(seed):
    first = kf.Finder(seed=seed).find(FRAMES[2], "disc", "red")
    assert first and kf.Finder(seed=seed).find(FRAMES[2], "disc", "red") == first


# Straight to C++: a valid call, then each field missing, of the wrong type, or out of range.
BOUNDS = [(tuple(int(v) for v in np.asarray(b.M).ravel()), tuple(b.i), tuple(b.c))
          for b in kf.colour("red").all_bounds()]
OPTIONS = SearchOptions(kind="disc", min_r=10.0, max_r=120.0, min_width=0.0, max_width=1e9, min_score=0.625,
                        round_min_score=0.625, stretch=1.3, squeeze=1.5, max_shapes=16, seed=0, row_count=128,
                        column_count=128, max_iterations=512)


def test_the_native_find_reports_finds_and_stage_times():
    found, timings = _native.find(FRAMES[0], BOUNDS, OPTIONS)
    assert found and all(len(values) == 3 and 0 <= score <= 1 and support > 0 for values, score, support in found)
    assert set(timings) == {"mask", "edges", "search", "evidence"}


class Partial:
    """The options with one field left out."""

    def __init__(self, missing):
        for field in dataclasses.fields(OPTIONS):
            if field.name != missing:
                setattr(self, field.name, getattr(OPTIONS, field.name))


@pytest.mark.parametrize("field", [f.name for f in dataclasses.fields(SearchOptions)])
def test_a_missing_option_is_named(field):
    with pytest.raises(TypeError, match=f"'{field}'"):
        _native.find(FRAMES[0], BOUNDS, Partial(field))


@pytest.mark.parametrize("field, value", [
    ("kind", 1), ("min_r", "10"), ("min_score", None), ("max_shapes", 16.0), ("seed", True), ("row_count", 1.5)])
def test_an_option_of_the_wrong_type_is_a_type_error(field, value):
    with pytest.raises(TypeError, match=f"options.{field}"):
        _native.find(FRAMES[0], BOUNDS, dataclasses.replace(OPTIONS, **{field: value}))


@pytest.mark.parametrize("field, value", [
    ("kind", "square"), ("min_r", -1.0), ("max_r", float("nan")), ("min_score", 1.5), ("round_min_score", -1.0),
    ("stretch", 0.5), ("max_shapes", -1), ("max_shapes", 10_001), ("max_shapes", 2**31), ("max_shapes", 2**32),
    ("max_shapes", 2**63), ("seed", -1), ("seed", 2**64), ("row_count", 65537), ("column_count", 2**40),
    ("max_iterations", 2**31)])
def test_an_option_out_of_range_is_a_value_error(field, value):
    with pytest.raises(ValueError, match=f"options.{field}"):
        _native.find(FRAMES[0], BOUNDS, dataclasses.replace(OPTIONS, **{field: value}))


@pytest.mark.parametrize("seed", [0, 2**63, 2**64 - 1])
def test_every_64_bit_seed_reaches_the_search(seed):
    found, _ = _native.find(FRAMES[3], BOUNDS, dataclasses.replace(OPTIONS, seed=seed))
    assert found == _native.find(FRAMES[3], BOUNDS, dataclasses.replace(OPTIONS, seed=seed))[0]


@pytest.mark.parametrize("frame, bounds, message", [
    (FRAMES[0][:, ::2], BOUNDS, "C-contiguous"),
    (FRAMES[0][:, :, :2].copy(), BOUNDS, "H x W x 3"),
    (FRAMES[0][:0], BOUNDS, "no pixels"),
    (FRAMES[0], [], "at least one"),
    (FRAMES[0], [(BOUNDS[0][0][:8], BOUNDS[0][1], BOUNDS[0][2])], "bounds M must hold 9"),
    (FRAMES[0], [BOUNDS[0][:2]], r"\(M, i, c\)"),
])
def test_bad_frames_and_bounds_are_refused(frame, bounds, message):
    with pytest.raises(ValueError, match=message):
        _native.find(frame, bounds, OPTIONS)


def test_a_union_colour_finds_in_every_sector():
    # Red in one sector, blue in another: the mask is their union.
    frame = scene(5)
    blue = np.zeros_like(frame) + np.array((120, 120, 120), np.uint8)
    ys, xs = np.mgrid[0:frame.shape[0], 0:frame.shape[1]]
    blue[(xs - 250) ** 2 + (ys - 120) ** 2 <= 30 ** 2] = (40, 60, 210)
    reds = [b for b in BOUNDS]
    blues = [(tuple(int(v) for v in np.asarray(b.M).ravel()), tuple(b.i), tuple(b.c))
             for b in kf.colour("blue").all_bounds()]
    (found_blue, _), (found_both, _) = (_native.find(blue, blues, OPTIONS), _native.find(blue, reds + blues, OPTIONS))
    assert len(found_blue) == 1 and found_both == found_blue
    assert _native.find(blue, reds, OPTIONS)[0] == []
