"""Colours: unions of sectors, colour files and their refusals, HSV boxes."""
import json
import math
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import kestrune
import kestrune_find as kf
from kestrune_find.colours import _fit_hsv_box, rgb_to_hsv

RED, YELLOW = kf.Sector(*kf.COLOURS["red"]), kf.Sector(*kf.COLOURS["yellow"])
BLUE = kf.Sector(*kf.COLOURS["blue"])
GOOD = {"hue_limit": [0.0, 1.0], "chroma_limit": [0.2, 1.0], "intensity_limit": [0.1, 0.9]}


def random_frame(seed, shape=(37, 53)):
    return np.random.default_rng(seed).integers(0, 256, (*shape, 3), dtype=np.uint8)


# --------------------------------------------------------------------------
# Unions
# --------------------------------------------------------------------------

@pytest.mark.parametrize("bgr", [False, True])
@pytest.mark.parametrize("sectors", [[RED], [RED, YELLOW], [RED, YELLOW, BLUE]])
def test_mask_is_the_or_of_every_sector_into_the_buffer_given(sectors, bgr):
    frame = random_frame(len(sectors))
    colour = kf.Colour.from_sectors("u", sectors)
    each = [kestrune.mask_image(frame, kf.bgr_bounds(b) if bgr else b) for b in (s.bounds() for s in sectors)]
    out = np.full(frame.shape[:2], 7, np.uint8)
    assert colour.mask(frame, out, bgr=bgr) is out
    assert np.array_equal(out, np.bitwise_or.reduce(each))
    assert colour.bounds().c == RED.bounds().c and len(colour.all_bounds()) == len(sectors)


def test_finder_finds_both_colours_of_a_union():
    frame = np.full((240, 320, 3), 90, np.uint8)
    ys, xs = np.mgrid[0:240, 0:320]
    frame[(xs - 80) ** 2 + (ys - 120) ** 2 <= 30 ** 2] = (220, 20, 30)
    frame[(xs - 230) ** 2 + (ys - 120) ** 2 <= 30 ** 2] = (240, 220, 20)
    finder = kf.Finder()
    union = kf.Colour.from_sectors("red or yellow", [RED, YELLOW])
    assert sorted(round(d.x) for d in finder.find(frame, "disc", union)) == [80, 230]
    assert [round(d.x) for d in finder.find(frame, "disc", "red")] == [80]  # the cache keeps colours apart


def test_union_file_round_trip_and_older_files(tmp_path):
    union = kf.Colour.from_sectors("u", [RED, YELLOW])
    kf.save_colour(union, tmp_path / "u.json", source="test")
    data = json.loads((tmp_path / "u.json").read_text())
    assert data["source"] == "test" and len(data["extra_sectors"]) == 1 and "bounds" in data["extra_sectors"][0]
    assert kf.load_colour(tmp_path / "u.json", "u") == union
    (tmp_path / "old.json").write_text(json.dumps({**GOOD, "source": "x"}))
    assert kf.load_colour(tmp_path / "old.json").sectors == (kf.Sector(*GOOD.values()),)


# --------------------------------------------------------------------------
# Refusals
# --------------------------------------------------------------------------

@pytest.mark.parametrize("change, field", [
    ({"hue_limit": [0, math.pi]}, "'hue_limit'"),
    ({"hue_limit": [1, 0.5]}, "'hue_limit'"),
    ({"hue_limit": [0, 1e-9]}, "'hue_limit'"),  # its matrix overflows 32 bits
    ({"hue_limit": [0, 1e300]}, "'hue_limit'"),
    ({"chroma_limit": [0.5, 0.5]}, "'chroma_limit'"),
    ({"chroma_limit": [-0.1, 0.5]}, "'chroma_limit'"),
    ({"intensity_limit": [0.1, 1e300]}, "'intensity_limit'"),
    ({"intensity_limit": [0.1, 10 ** 400]}, "'intensity_limit'"),
    ({"intensity_limit": [0.1, "0.9"]}, "'intensity_limit'"),
    ({"intensity_limit": [0.1, True]}, "'intensity_limit'"),
    ({"intensity_limit": [0.1]}, "'intensity_limit'"),
    ({"rgb_bits": 13}, "'rgb_bits'"),
    ({"rgb_bits": 12, "intensity_limit": [0.1, 200]}, "'intensity_limit'"),  # fits 8 bits, not 12
    ({"extra_sectors": []}, "'extra_sectors'"),
    ({"extra_sectors": {"hue_limit": [0, 1]}}, "'extra_sectors'"),
    ({"extra_sectors": [GOOD, 3]}, "'extra_sectors[1]'"),
    ({"extra_sectors": [GOOD, {**GOOD, "chroma_limit": [1, 0.2]}]}, "'extra_sectors[1].chroma_limit'"),
    ({"chroma_limit": [1.1, 1.2]}, "no RGB colour"),  # brighter than any pixel
    ({"chroma_limit": [0.9, 1.2], "intensity_limit": [0.05, 0.15]}, "no RGB colour"),
])
def test_bad_colour_files_are_refused_in_one_line_naming_the_field(tmp_path, change, field):
    path = tmp_path / "ball.json"
    path.write_text(json.dumps({**GOOD, **change}).replace("1e+300", "1e300"))
    with pytest.raises(ValueError) as e:
        kf.load_colour(path)
    assert str(e.value).startswith(f"bad colour file {path}: ") and field in str(e.value)
    assert "\n" not in str(e.value)


@pytest.mark.parametrize("text, words", [
    ("[" * 100_000, "nested"), ('{"hue_limit": [0, ' + "9" * 5000 + "]}", "digits"), ("{", "bad colour file"),
    ("[1, 2]", "not a JSON object"), ('{"hue_limit": [0, Infinity]}', "finite"), ('{"hue_limit": [0, NaN]}', "finite"),
])
def test_unparseable_colour_files(tmp_path, text, words):
    (tmp_path / "c.json").write_text(text)
    with pytest.raises(ValueError, match=words):
        kf.load_colour(tmp_path / "c.json")


def test_an_empty_sector_next_to_a_good_one_is_allowed_and_the_check_is_cached():
    empty = kf.Sector((0.0, 1.0), (1.1, 1.2), (0.1, 0.9))
    with pytest.raises(ValueError, match="no RGB colour"):
        kf.Colour.from_sectors("e", [empty])
    assert len(kf.Colour.from_sectors("e", [empty, RED]).sectors) == 2
    start = time.perf_counter()
    for _ in range(20):
        kf.Colour.from_sectors("e", [RED, empty])
    assert (time.perf_counter() - start) / 20 < 0.005


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-10 ** 30, 10 ** 30) | st.floats() | st.text(max_size=4),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.sampled_from(list(GOOD) + ["rgb_bits"]), inner),
    max_leaves=12)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.sampled_from(list(GOOD) + ["rgb_bits", "extra_sectors"]), json_values), st.data())
def test_fuzzed_colour_files_and_colours_fail_only_with_one_line(tmp_path_factory, fields, data):
    path = tmp_path_factory.mktemp("fuzz") / "c.json"
    path.write_text(json.dumps({**GOOD, **fields}))
    try:
        kf.load_colour(path)
    except ValueError as e:
        assert "\n" not in str(e)
    args = [fields.get(k, v) for k, v in GOOD.items()]
    try:
        kf.Colour("c", *args, rgb_bits=data.draw(st.integers(-2, 14) | st.floats()))
    except (ValueError, TypeError) as e:
        assert "\n" not in str(e) and "'" in str(e)


def test_max_r_below_the_default_min_r_names_max_r():
    with pytest.raises(ValueError, match=r"^max_r \(5\) is below min_r \(default 10\)"):
        kf.Finder().find(np.zeros((50, 50, 3), np.uint8), "disc", "red", max_r=5)
    with pytest.raises(ValueError, match=r"^max_r \(5\) is below min_r \(default 10\)"):
        kf.FindOptions.of({"max_r": 5})
    assert kf.FindOptions.of({"max_r": 5, "min_r": 2}) == kf.FindOptions(max_r=5, min_r=2)


# --------------------------------------------------------------------------
# HSV boxes
# --------------------------------------------------------------------------

def reference_hsv(rgb):
    """The 8-bit RGB to HSV conversion: 12-bit reciprocal tables, half up."""
    p = rgb.astype(np.int64)
    v, low = p.max(-1), p.min(-1)
    diff = v - low
    count = np.arange(256)
    s_table = np.r_[0, np.rint((255 << 12) / count[1:])].astype(np.int64)
    h_table = np.r_[0, np.rint((180 << 12) / (6.0 * count[1:]))].astype(np.int64)
    r, g, b = p[..., 0], p[..., 1], p[..., 2]
    sextant = np.select([v == r, v == g], [g - b, b - r + 2 * diff], r - g + 4 * diff)
    h = (sextant * h_table[diff] + (1 << 11)) >> 12
    return h % 180, (diff * s_table[v] + (1 << 11)) >> 12, v


def reference_box(rgb, lower, upper):
    h, s, v = reference_hsv(rgb)
    hue = (h >= lower[0]) & (h <= upper[0]) if lower[0] <= upper[0] else (h >= lower[0]) | (h <= upper[0])
    return hue & (s >= lower[1]) & (s <= upper[1]) & (v >= lower[2]) & (v <= upper[2])


def test_reference_hsv_matches_the_package_and_opencv():
    rgb = np.stack(np.meshgrid(*[np.arange(0, 256, 3)] * 3, indexing="ij"), -1).reshape(-1, 1, 3).astype(np.uint8)
    assert all(np.array_equal(a, b) for a, b in zip(reference_hsv(rgb), rgb_to_hsv(rgb)))
    cv2 = pytest.importorskip("cv2")
    assert np.array_equal(np.stack(reference_hsv(rgb), -1), cv2.cvtColor(rgb, cv2.COLOR_RGB2HSV))


BOXES = [((5, 120, 100), (22, 255, 255)), ((22, 100, 100), (35, 255, 255)), ((40, 60, 40), (85, 255, 255)),
         ((100, 120, 50), (130, 255, 255)), ((170, 120, 70), (10, 255, 255))]


@pytest.mark.parametrize("lower, upper", BOXES)
def test_hsv_boxes_agree_with_the_conversion_on_photographs(lower, upper):
    data = pytest.importorskip("skimage.data")
    images = [np.ascontiguousarray(getattr(data, n)()[..., :3]) for n in ("astronaut", "coffee", "logo", "colorwheel")]
    colour = kf.Colour.from_hsv(lower, upper)
    wrong = sum(np.count_nonzero(reference_box(im, lower, upper) ^ colour.mask(im).astype(bool)) for im in images)
    total = sum(im.shape[0] * im.shape[1] for im in images)
    assert wrong / total < 0.02  # measured: 1.7% at most, for the orange box (benchmarks/bench_hsv.py)


def test_hsv_box_fit_is_fast_and_named_and_wraps_around_red():
    _fit_hsv_box.cache_clear()
    start = time.perf_counter()
    red = kf.colour("hsv:170,120,70:10,255,255")
    assert time.perf_counter() - start < 0.2
    assert red.name == "hsv:170,120,70:10,255,255" and kf.Colour.from_hsv((1, 2, 3), (9, 200, 255), "x").name == "x"
    assert all(s.hue_limit[0] < 0 < s.hue_limit[1] for s in red.sectors)
    assert red.mask(np.array([[[200, 10, 10], [10, 200, 10]]], np.uint8)).tolist() == [[1, 0]]


@pytest.mark.parametrize("lower, upper, words", [
    ((0, 0), (10, 255, 255), "lower"), ((0, 0, 0), (180, 255, 255), "upper H"),
    ((0, 200, 0), (10, 100, 255), "lower S"), ((0, 0, 10), (10, 255, 5), "lower V"),
    ((0, 0, 0), (10, 0, 255), "no colour with a hue"), ((0, 0.5, 0), (10, 255, 255), "lower S"),
    ("0,0,0", (10, 255, 255), "lower"), ((0, 0, 0), (10, 255, 10 ** 400), "upper V"),
])
def test_bad_hsv_boxes(lower, upper, words):
    with pytest.raises(ValueError, match=words):
        kf.Colour.from_hsv(lower, upper)


@pytest.mark.parametrize("spec", ["hsv:1,2:3,4,5", "hsv:a,b,c:1,2,3", "hsv:1,2,3", "hsv:0,0,0:200,255,255"])
def test_bad_hsv_specs_say_so(spec):
    with pytest.raises(ValueError, match=r"^bad HSV box"):
        kf.colour(spec)
