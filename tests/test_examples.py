"""The examples, run as a user runs them, and what the package's tests do not
cover elsewhere: BGR bounds, thick lines, the built-in colours on bundled
photographs, the benchmark comparison and the module's documented pipeline."""
from __future__ import annotations

import functools
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kestrune
import kestrune_find as kf
from conftest import scene_clip
from kestrune_find.scene import TrueLine, angle_error, render_scene

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))


def run_example(name, *args, cwd=None):
    return subprocess.run([sys.executable, str(ROOT / "examples" / name), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def test_find_shapes_example_finds_the_scene():
    done = run_example("find_shapes.py")
    assert done.returncode == 0, done.stderr
    shapes = [line for line in done.stdout.splitlines() if line.startswith("{'shape'")]
    assert [eval(line)["shape"] for line in shapes] == ["disc", "stripe", "line", "line", "ellipse"]


def test_calibrate_example_writes_a_colour_that_finds_the_disc(tmp_path):
    done = run_example("calibrate.py", tmp_path / "out" / "ball.json")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("kestrune.calculate_lch_bounds(") and "Disc(" in done.stdout
    assert kf.load_colour(tmp_path / "out" / "ball.json").chroma_limit[1] == 2.0


def test_batch_example(tmp_path):
    pytest.importorskip("PIL")
    from kestrune_find.io import save_image

    save_image(render_scene().frame, tmp_path / "scene.png")
    (tmp_path / "broken.png").write_bytes(b"no")
    done = run_example("batch.py", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1].startswith("scene.png: 1 red discs in ")
    assert done.stdout.startswith("broken.png: cannot read")


def test_camera_example_on_a_clip(tmp_path):
    path = scene_clip(tmp_path / "clip.avi", frames=3, shift=3)
    done = run_example("camera.py", path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and all(line.startswith("frame ") and ") r 70." in line for line in lines)


BENCH_WITH_JSON = '''
import json, sys
path = sys.argv[sys.argv.index("--json") + 1]
rows = [
    {"benchmark": "mask 640x480", "kestrune": "mask_image", "kestrune_us": 100.0,
     "against": "numpy", "kind": "peer", "other_us": 400.0},
    {"benchmark": "mask 640x480", "kestrune": "mask_image", "kestrune_us": 100.0,
     "against": "memory copy", "kind": "floor", "other_us": 50.0},
    {"benchmark": "mask 640x480", "kestrune": "mask_image", "kestrune_us": 100.0,
     "against": "OpenCV", "kind": "peer", "other_us": None},
]
with open(path, "w") as f:
    json.dump({"machine": "test cpu", "rows": rows}, f)
'''


def test_compare_tabulates_ratios_and_survives_scripts_without_json(tmp_path, capsys):
    compare = pytest.importorskip("compare")
    scripts = tmp_path / "benchmarks"
    scripts.mkdir()
    (scripts / "bench_good.py").write_text(BENCH_WITH_JSON)
    (scripts / "bench_plain.py").write_text("print('a table, no JSON')\n")
    (scripts / "bench_broken.py").write_text("raise SystemExit(3)\n")
    png = tmp_path / "chart.png"
    assert compare.main(["--scripts", str(scripts), "--json-dir", str(tmp_path / "json"), "--png", str(png)]) == 0
    out = capsys.readouterr().out
    assert "test cpu" in out
    assert "4.00x faster" in out  # peer: other / kestrune
    assert "2.00x floor" in out  # floor: kestrune / floor
    assert "n/a" in out  # a peer that is not installed
    assert "bench_plain.py: exit 0, no JSON written" in out
    assert "bench_broken.py: exit 3, no JSON written" in out
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert png.stat().st_size > 0


def test_every_bench_script_takes_json_and_quick():
    # compare.py runs each with --json PATH, and --quick with its own: without
    # them a script only leaves a note.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    for script in sorted((ROOT / "benchmarks").glob("bench_*.py")):
        done = subprocess.run([sys.executable, str(script), "--help"], capture_output=True, text=True, timeout=120,
                              env=env)
        if done.returncode != 0 and "pip install" in done.stderr:
            continue  # a peer it cannot run without is missing
        assert done.returncode == 0, (script.name, done.stderr)
        usage = done.stdout.split("\n\n")[0]  # argparse's, before the description
        assert "[--json " in usage and "[--quick]" in usage, script.name


def test_documented_pipeline_example_runs():
    # The pipeline in docs/module.md, run as written: it must find its disc.
    text = (ROOT / "docs" / "module.md").read_text()
    code = next(block.split("```", 1)[0] for block in text.split("```python\n")[1:] if "ransac_circle" in block)
    scope: dict[str, object] = {}
    exec(compile(code, "docs/module.md", "exec"), scope)
    disc = scope["disc"]
    assert isinstance(disc, dict) and list(disc) == ["x", "y", "r"]
    assert abs(disc["x"] - 320) <= 2 and abs(disc["y"] - 240) <= 2 and abs(disc["r"] - 50) <= 2


# --------------------------------------------------------------------------
# BGR frames through turned bounds
# --------------------------------------------------------------------------

def some_bounds():
    rng = np.random.default_rng(7)
    limits = list(kf.COLOURS.values())
    for _ in range(4):
        start = rng.uniform(-math.pi, math.pi)
        limits.append(((start, start + rng.uniform(0.1, 2.5)), (rng.uniform(0, 0.3), rng.uniform(0.4, 1.2)),
                       (rng.uniform(0, 0.3), rng.uniform(0.5, 1.0))))
    return [kestrune.calculate_lch_bounds(*lim) for lim in limits]


@pytest.mark.parametrize("shape", [(48, 64), (37, 53), (1, 1)])
def test_bgr_bounds_on_bgr_frames_equal_bounds_on_rgb_frames(shape):
    rng = np.random.default_rng(shape[1])
    # Mostly saturated colours, so that every bound sees pixels on both sides.
    rgb = rng.integers(0, 256, (*shape, 3), dtype=np.uint8)
    rgb[::3, ::2, rng.integers(0, 3)] //= 8
    bgr = np.ascontiguousarray(rgb[..., ::-1])
    points = np.zeros((4096, 2), np.int32)
    points_bgr = np.zeros_like(points)
    for bounds in some_bounds():
        turned = kf.bgr_bounds(bounds)
        assert turned.M.dtype == bounds.M.dtype and turned.i == bounds.i and turned.c == bounds.c
        mask = kestrune.mask_image(rgb, bounds)
        assert kestrune.mask_image(bgr, turned).tobytes() == mask.tobytes()
        assert (kestrune.selective_grayscale(bgr, turned).tobytes()
                == kestrune.selective_grayscale(rgb, bounds).tobytes())
        n = kestrune.simple_edge_hsv(rgb, points, bounds._asdict(), 64, 64)
        assert kestrune.simple_edge_hsv(bgr, points_bgr, turned._asdict(), 64, 64) == n
        assert np.array_equal(points[:n], points_bgr[:n])
    assert any(kestrune.mask_image(rgb, b).any() for b in some_bounds())


# --------------------------------------------------------------------------
# Lines
# --------------------------------------------------------------------------

def render_lines(widths, angle_deg, offsets, height=480, width=640):
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    a = math.radians(angle_deg)
    frame = np.full((height, width, 3), 120, np.uint8)
    truths = []
    for w, offset in zip(widths, offsets):
        px, py = 320 + offset * math.sin(a), 240 - offset * math.cos(a)
        distance = (xs - px) * math.sin(a) - (ys - py) * math.cos(a)
        frame[np.abs(distance) <= w / 2] = (40, 60, 200)
        truths.append(TrueLine(px, py, a))
    return frame, truths


@pytest.mark.parametrize("width", [6, 8, 10])
@pytest.mark.parametrize("angle", [60, 120, 75])
def test_a_thick_line_is_reported_once_through_its_middle(width, angle):
    frame, (truth,) = render_lines([width], angle, [0])
    found = kf.Finder(seed=width + angle).find(frame, "line", "blue")
    assert len(found) == 1
    assert truth.distance(found[0]) <= 0.5 and angle_error(found[0].angle, truth.angle) <= 0.5
    assert abs(found[0].width - width) <= 1.0


def test_parallel_lines_further_apart_stay_apart():
    frame, truths = render_lines([3, 3], 70, [-20, 20])
    found = kf.Finder(seed=2).find(frame, "line", "blue")
    assert len(found) == 2
    assert sorted(min(t.distance(line) for line in found) for t in truths)[-1] <= 1.0


# --------------------------------------------------------------------------
# The built-in colours on photographs (scikit-image's bundled ones)
# --------------------------------------------------------------------------

@functools.cache
def photo(name):
    data = pytest.importorskip("skimage.data")
    try:
        return np.ascontiguousarray(getattr(data, name)()[..., :3])
    except Exception as e:  # a photo that needs a download, or a data module without it
        pytest.skip(f"skimage.data.{name} does not load: {e}")


# Percent of the pixels of a photo (or of a rectangle x0, y0, x1, y1 of it)
# that a built-in colour takes: what a person calls that colour fires, wood,
# fur, orange and skin do not.
@pytest.mark.parametrize("name, colour, rect, low, high", [
    ("chelsea", "red", None, 0.0, 0.1),  # a tabby: brown fur, a pink nose
    ("chelsea", "yellow", None, 0.0, 0.5),  # ginger fur is not yellow (the eyes may be)
    ("coffee", "red", (0, 0, 60, 400), 0.0, 0.5),  # the wooden table, left
    ("coffee", "red", (470, 250, 600, 400), 0.0, 0.5),  # the table, bottom right
    ("coffee", "red", (60, 280, 420, 400), 20.0, 60.0),  # the red saucer on it
    ("coffee", "yellow", None, 0.0, 0.1),  # crema and wood are brown
    ("astronaut", "red", (0, 0, 40, 300), 15.0, 60.0),  # the flag's stripes
    ("astronaut", "blue", (0, 0, 40, 100), 5.0, 60.0),  # the flag's canton
    ("astronaut", "yellow", None, 0.0, 0.5),  # an orange suit, blond hair
    ("rocket", "red", None, 0.0, 0.1),  # a night sky, sodium lamps
    ("immunohistochemistry", "red", None, 0.0, 0.1),  # brown stain
    ("logo", "green", None, 25.0, 50.0),  # a yellow-green half
    ("logo", "red", None, 0.0, 0.1),  # and an orange one
    ("logo", "yellow", None, 0.0, 0.1),
    ("colorwheel", "green", None, 5.0, 20.0),  # every colour fires on its own hues
    ("colorwheel", "red", None, 5.0, 20.0),
    ("astronaut", "orange", (40, 250, 130, 450), 40.0, 90.0),  # the suit (its reddest folds are red)
    ("astronaut", "orange", (180, 90, 260, 160), 0.0, 0.5),  # skin
    ("astronaut", "orange", (150, 20, 300, 80), 0.0, 0.5),  # blond hair
    ("coffee", "orange", (0, 0, 60, 400), 0.0, 10.0),  # wood
    ("coffee", "orange", (470, 250, 600, 400), 0.0, 10.0),
    ("coffee", "orange", (220, 100, 350, 170), 50.0, 100.0),  # crema is orange to this model
    ("chelsea", "orange", None, 0.0, 0.5),  # fur
    ("immunohistochemistry", "orange", None, 0.0, 0.5),  # brown stain
    ("rocket", "orange", None, 0.0, 1.0),
    ("logo", "orange", None, 20.0, 35.0),  # the orange half
])
def test_built_in_colours_on_photographs(name, colour, rect, low, high):
    image = photo(name)
    if rect is not None:
        x0, y0, x1, y1 = rect
        image = np.ascontiguousarray(image[y0:y1, x0:x1])
    bounds = kf.colour(colour).bounds()
    percent = 100.0 * np.count_nonzero(kestrune.mask_image(image, bounds)) / (image.shape[0] * image.shape[1])
    assert low <= percent <= high


@pytest.mark.parametrize("rgb, expected", [
    ((220, 20, 60), "red"), ((178, 34, 34), "red"), ((128, 0, 0), "red"), ((210, 40, 40), "red"),
    ((255, 165, 0), "orange"), ((255, 140, 0), "orange"), ((204, 85, 0), "orange"), ((160, 78, 36), None),  # wood
    ((255, 255, 0), "yellow"), ((255, 215, 0), "yellow"), ((230, 210, 30), "yellow"),
    ((154, 205, 50), "green"), ((107, 142, 35), "green"), ((34, 139, 34), "green"), ((0, 255, 0), "green"),
    ((0, 0, 128), "blue"), ((65, 105, 225), "blue"), ((0, 0, 255), "blue"),
    ((128, 128, 128), None), ((250, 250, 250), None), ((20, 20, 20), None), ((212, 176, 150), None),  # greys, skin
])
def test_named_colours_fall_into_one_built_in_colour(rgb, expected):
    hits = [name for name, limits in kf.COLOURS.items()
            if kestrune.mask_color(rgb, kestrune.calculate_lch_bounds(*limits))]
    assert hits == ([expected] if expected else [])


def test_orange_takes_an_orange_ball_where_lit_but_not_its_shade():
    ys, xs = np.mgrid[-60:60, -60:60] / 50.0
    inside = xs ** 2 + ys ** 2 <= 1
    light = np.clip(0.25 + 0.9 * (0.6 * np.sqrt(np.clip(1 - xs ** 2 - ys ** 2, 0, 1)) - 0.5 * xs - 0.6 * ys), 0.15, 1.2)
    ball = np.clip(np.array([255.0, 120.0, 10.0]) * light[..., None], 0, 255).astype(np.uint8)
    ball[~inside] = (90, 110, 90)
    taken = kf.colour("orange").mask(ball).astype(bool)
    assert not taken[~inside].any() and 0.5 <= taken[inside].mean() <= 0.8  # measured 0.55
    assert taken[inside & (light >= 0.65)].all() and not taken[inside & (light < 0.6)].any()  # two thirds lit
