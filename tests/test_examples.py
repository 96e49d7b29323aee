"""The example programs: the demo's accuracy on its scene, the calibration
proposal and colour files, the batch runner on threads and on a Dask bag, the
camera loop on a clip, the documented commands run as subprocesses, BGR
bounds, thick lines, and the built-in colours on bundled photographs."""
from __future__ import annotations

import functools
import json
import math
import os
import re
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "benchmarks"))

import kestrune  # noqa: E402

find_shapes = pytest.importorskip("find_shapes")
calibrate = pytest.importorskip("calibrate")


@pytest.mark.parametrize("seed", [1, 5, 11])
def test_demo_finds_every_shape_within_tolerance(seed, capsys):
    # The whole pipeline end to end: bounds, masks, both edge scans, denoising,
    # the four fits and inlier removal must agree with the rendered truth.
    assert find_shapes.run_scene(seed, None)
    printed = capsys.readouterr().out
    assert "NOT FOUND" not in printed and "off" not in printed


def rgb_of(hue, chroma, intensity):
    """The RGB colour (0..255) with the given hue, chroma and intensity (units of 256)."""
    x, y = chroma * math.cos(hue) * 256, chroma * math.sin(hue) * 256
    i = intensity * 256
    # Invert x = R - (G + B)/2, y = (sqrt(3)/2)(G - B), I = (R + G + B)/3.
    r = i + 2 * x / 3
    g = i - x / 3 + y / math.sqrt(3)
    b = i - x / 3 - y / math.sqrt(3)
    return [r, g, b]


def patch(centre_hue, rng, n=400):
    """Pixels with hues spread +-0.2 rad around centre_hue, with noise."""
    hues = centre_hue + rng.uniform(-0.2, 0.2, n)
    chromas = rng.uniform(0.3, 0.45, n)
    intensities = rng.uniform(0.35, 0.5, n)
    px = np.array([rgb_of(h, c, i) for h, c, i in zip(hues, chromas, intensities)])
    return np.clip(np.rint(px), 0, 255).astype(np.uint8)


@pytest.mark.parametrize("centre_hue", [0.0, math.pi, -math.pi + 0.05, 2 * math.pi / 3, -2.0])
def test_calibration_covers_the_colour_and_not_its_opposite(centre_hue):
    # Hue 0 straddles the red direction (negative lower limit); hue +-pi is
    # where atan2 wraps: a proposal that ignores the wrap spans the whole circle.
    rng = np.random.default_rng(3)
    target = patch(centre_hue, rng)
    proposal = calibrate.propose(target)
    lo, hi = proposal.hue_limit
    assert 0 < hi - lo < math.pi
    bounds = proposal.bounds()
    image = np.ascontiguousarray(target.reshape(1, -1, 3))
    assert kestrune.mask_image(image, bounds).mean() >= 0.95
    others = np.ascontiguousarray(patch(centre_hue + math.pi, rng).reshape(1, -1, 3))
    assert kestrune.mask_image(others, bounds).sum() == 0
    greys = np.repeat(np.arange(0, 256, 5, dtype=np.uint8)[:, None], 3, axis=1).reshape(1, -1, 3)
    assert kestrune.mask_image(np.ascontiguousarray(greys), bounds).sum() == 0


def test_calibration_chroma_band_is_measured_on_the_projection():
    # The test bounds a + b, which shrinks toward the sector's edges for the
    # same chroma: a band chosen on the chroma itself misses the edge hues.
    hues = np.linspace(0.5, 1.5, 200)
    target = np.array([rgb_of(h, 0.4, 0.45) for h in hues])
    target = np.clip(np.rint(target), 0, 255).astype(np.uint8)
    proposal = calibrate.propose(target, spread=0.0, chroma_margin=0.0)
    image = np.ascontiguousarray(target.reshape(1, -1, 3))
    assert kestrune.mask_image(image, proposal.bounds()).mean() >= 0.9


def write_disc_images(folder, pil_image, discs):
    for k, (x, y, r) in enumerate(discs):
        ys, xs = np.mgrid[0:120, 0:160]
        frame = np.full((120, 160, 3), 90, np.uint8)
        frame[(xs - x) ** 2 + (ys - y) ** 2 <= r * r] = (200, 30, 30)
        pil_image.fromarray(frame).save(folder / f"frame{k}.png")
    (folder / "notes.txt").write_text("not an image")


DISCS = [(50, 60, 20), (100, 40, 25), (80, 70, 30), (120, 80, 18)]


@pytest.fixture
def disc_folder(tmp_path):
    pil = pytest.importorskip("PIL.Image")
    write_disc_images(tmp_path, pil, DISCS)
    return tmp_path


def check_results(results, folder):
    assert [Path(r["path"]).name for r in results] == [f"frame{k}.png" for k in range(len(DISCS))]
    for r, (x, y, rad) in zip(results, DISCS):
        c = r["circle"]
        assert c is not None and (r["width"], r["height"]) == (160, 120)
        assert abs(c["x"] - x) <= 2 and abs(c["y"] - y) <= 2 and abs(c["r"] - rad) <= 2


def test_batch_on_threads(disc_folder):
    batch = pytest.importorskip("batch")
    paths = batch.image_paths(disc_folder)
    check_results(batch.run_threads(paths, "red", workers=3), disc_folder)


def test_batch_on_a_dask_bag(disc_folder):
    pytest.importorskip("dask.bag")
    batch = pytest.importorskip("batch")
    paths = batch.image_paths(disc_folder)
    # Local worker processes: analyse travels to them pickled by reference.
    check_results(batch.run_dask(paths, "red", scheduler="processes"), disc_folder)


def test_camera_imports_without_opencv(monkeypatch):
    monkeypatch.setitem(sys.modules, "cv2", None)  # makes `import cv2` fail
    monkeypatch.delitem(sys.modules, "camera", raising=False)
    import camera

    assert callable(camera.main)


def test_camera_runs_on_a_video_file(tmp_path, capsys):
    cv2 = pytest.importorskip("cv2")
    camera = pytest.importorskip("camera")
    frame = find_shapes.render_scene().frame
    path = str(tmp_path / "clip.avi")
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 30, (frame.shape[1], frame.shape[0]))
    if not writer.isOpened():
        pytest.skip("no MJPG writer in this OpenCV build")
    for k in range(5):
        writer.write(cv2.cvtColor(np.roll(frame, k, axis=1), cv2.COLOR_RGB2BGR))
    writer.release()
    assert camera.main([path, "--circle", "red", "--lines", "blue", "--ellipse", "green"]) == 0
    assert "5 frames in" in capsys.readouterr().out


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
json.dump({"machine": "test cpu", "rows": rows}, open(path, "w"))
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


def test_readme_pipeline_example_runs():
    # The README's pipeline, run as written: it must find its disc.
    text = (ROOT / "README.md").read_text()
    code = text.split("```python\n", 1)[1].split("```", 1)[0]
    scope: dict[str, object] = {}
    exec(compile(code, "README.md", "exec"), scope)
    disc = scope["disc"]
    assert isinstance(disc, dict) and list(disc) == ["x", "y", "r"]
    assert abs(disc["x"] - 320) <= 2 and abs(disc["y"] - 240) <= 2 and abs(disc["r"] - 50) <= 2


@pytest.fixture
def scene_png(tmp_path):
    pil = pytest.importorskip("PIL.Image")
    path = tmp_path / "scene.png"
    pil.fromarray(find_shapes.render_scene().frame).save(path)
    return path


def test_find_shapes_on_an_image_file(scene_png, capsys):
    # The file path: a decoded image is read-only until copied, which the
    # module refuses, so this also guards the example's copy.
    out = scene_png.with_name("found.png")
    code = find_shapes.main([str(scene_png), "--circle", "red", "--stripe", "yellow", "--lines", "blue",
                             "--ellipse", "green", "--out", str(out), "--seed", "3"])
    printed = capsys.readouterr().out
    assert code == 0 and out.stat().st_size > 0
    assert "red disc      centre (150, 140)" in printed or "red disc      centre (151, 140)" in printed
    assert printed.count("yellow stripe") == 2 and printed.count("blue line") == 2
    assert "not found" not in printed


def test_calibrate_prints_a_call_that_pastes(scene_png, capsys):
    assert calibrate.main([str(scene_png), "--rect", "110", "100", "190", "180"]) == 0
    printed = capsys.readouterr().out.splitlines()
    bounds = eval(printed[0], {"kestrune": kestrune})  # the line as a user pastes it
    assert isinstance(bounds, kestrune.LCHBounds)
    assert printed[1].startswith("covers 100.0% of the selected pixels")
    from PIL import Image

    mask = np.asarray(Image.open(scene_png.with_name("scene_mask.png")))
    assert mask[140, 150] == 255 and mask[10, 10] == 0  # disc centre in, background out
    assert set(np.unique(mask)) <= {0, 255}


def test_calibrate_from_a_mask_image(scene_png, capsys):
    from PIL import Image

    selection = np.zeros((480, 640), np.uint8)
    selection[330:370, 440:500] = 255  # inside the green ellipse
    Image.fromarray(selection).save(scene_png.with_name("sel.png"))
    assert calibrate.main([str(scene_png), "--mask", str(scene_png.with_name("sel.png"))]) == 0
    call = capsys.readouterr().out.splitlines()[0]
    capture = types.SimpleNamespace(calculate_lch_bounds=lambda *limits: limits)
    hue, _, _ = eval(call, {"kestrune": capture})
    green = math.atan2(math.sqrt(3) / 2 * (170 - 60), 40 - 170 / 2 - 60 / 2)  # the ellipse's colour
    assert hue[0] < green < hue[1] and hue[1] - hue[0] < 1.0

    Image.fromarray(selection[:100]).save(scene_png.with_name("small.png"))
    with pytest.raises(SystemExit):  # a mask of another size is refused
        calibrate.main([str(scene_png), "--mask", str(scene_png.with_name("small.png"))])


# --------------------------------------------------------------------------
# The documented commands, run as a user runs them
# --------------------------------------------------------------------------

def run(*args, cwd=ROOT, env=None, timeout=120):
    """`python ARGS` from the repo root, as the README shows it."""
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


def test_demo_command_finds_every_shape():
    pytest.importorskip("PIL")  # for its picture
    done = run("examples/find_shapes.py")
    assert done.returncode == 0, done.stderr
    assert "NOT FOUND" not in done.stdout and "<-- off" not in done.stdout
    assert done.stdout.count("\nstripe ") == 2 and done.stdout.count("\nline ") == 2


def shapes_of(done):
    """The JSON document of a --json run: stdout must hold nothing else."""
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)["shapes"]


def test_find_shapes_json_on_an_image(scene_png):
    done = run("examples/find_shapes.py", scene_png, "--circle", "red", "--lines", "blue", "--stripe", "yellow",
               "--json", "--out", scene_png.with_name("drawn.png"))
    shapes = shapes_of(done)
    assert [s["shape"] for s in shapes] == ["disc", "stripe", "stripe", "line", "line"]
    disc = shapes[0]
    assert set(disc) == {"shape", "colour", "x", "y", "r", "support"} and disc["colour"] == "red"
    assert abs(disc["x"] - 150) <= 2 and abs(disc["y"] - 140) <= 2 and abs(disc["r"] - 70) <= 2
    for line in shapes[1:]:
        assert set(line) == {"shape", "colour", "px", "py", "nx", "ny", "support"}
    # Each shape has most of its own edge points: the disc's rim gives two points
    # on each scanned line crossing it.
    assert all(s["support"] >= 80 for s in shapes)
    assert "total" in done.stderr and "wrote" in done.stderr  # timings and the picture: stderr only


def test_calibrated_colour_file_drives_the_search(scene_png, tmp_path):
    saved = tmp_path / "b.json"
    done = run("examples/calibrate.py", scene_png, "--rect", 110, 100, 190, 180, "--save", saved)
    assert done.returncode == 0, done.stderr
    data = json.loads(saved.read_text())
    bounds = kestrune.calculate_lch_bounds(data["hue_limit"], data["chroma_limit"], data["intensity_limit"],
                                           data["rgb_bits"])
    assert list(bounds.M) == data["bounds"]["M"] and list(bounds.c) == data["bounds"]["c"]
    assert done.stdout.splitlines()[0].startswith("kestrune.calculate_lch_bounds(")  # as without --save

    shapes = shapes_of(run("examples/find_shapes.py", scene_png, "--circle", saved, "--json",
                           "--out", tmp_path / "drawn.png"))
    assert len(shapes) == 1 and shapes[0]["colour"] == str(saved)
    assert abs(shapes[0]["x"] - 150) <= 2 and abs(shapes[0]["y"] - 140) <= 2


@pytest.mark.parametrize("contents, message", [
    (None, "unknown colour 'purple'"),
    ("not json", "bad colour file"),
    ('{"hue_limit": [0, 1], "chroma_limit": [0.2, 1]}', "'intensity_limit' must be a list of two numbers"),
    ('{"hue_limit": [0, 1], "chroma_limit": [0.2, 1], "intensity_limit": [0.1, "x"]}', "'intensity_limit'"),
    ('{"hue_limit": [0, 1], "chroma_limit": [0.2, 1], "intensity_limit": [0.1, 0.9], "rgb_bits": null}',
     "'rgb_bits' must be an integer"),
    ('{"hue_limit": [1, 1], "chroma_limit": [0.2, 1], "intensity_limit": [0.1, 0.9]}', "degenerate"),
    ("[1, 2]", "not a JSON object"),
])
def test_a_bad_colour_is_a_usage_error(tmp_path, capsys, contents, message):
    spec = "purple"
    if contents is not None:
        spec = str(tmp_path / "colour.json")
        (tmp_path / "colour.json").write_text(contents)
    for main in (find_shapes.main, pytest.importorskip("batch").main):
        args = ["--circle", spec] if main is find_shapes.main else [str(tmp_path), "--colour", spec]
        with pytest.raises(SystemExit) as exit_:
            main(args)
        assert exit_.value.code == 2
        assert message in capsys.readouterr().err


@pytest.fixture
def disc_folder_with_a_broken_file(disc_folder):
    (disc_folder / "broken.png").write_bytes(b"not a picture")
    return disc_folder


@pytest.mark.parametrize("extra", [[], ["--dask"]], ids=["threads", "dask"])
def test_batch_command(disc_folder_with_a_broken_file, extra):
    if extra:
        pytest.importorskip("dask.bag")
    done = run("examples/batch.py", disc_folder_with_a_broken_file, "--colour", "red", *extra)
    assert done.returncode == 0, done.stderr
    assert "unreadable" in done.stdout.splitlines()[0]  # broken.png sorts first
    found = re.findall(r"^frame(\d)\.png +160x120 +centre \((\d+), (\d+)\)", done.stdout, re.M)
    assert [int(k) for k, _, _ in found] == list(range(len(DISCS)))  # fits draw unseeded samples: +-2 px
    assert all(abs(int(x) - tx) <= 2 and abs(int(y) - ty) <= 2 for (_, x, y), (tx, ty, _) in zip(found, DISCS))
    assert done.stdout.splitlines()[-1].startswith("5 images: 4 with a disc, 1 unreadable, in ")
    assert ("100% Completed" if extra else "5/5 images") in done.stderr


@pytest.fixture
def clip(tmp_path):
    cv2 = pytest.importorskip("cv2")
    frame = find_shapes.render_scene().frame
    path = tmp_path / "clip.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (frame.shape[1], frame.shape[0]))
    if not writer.isOpened():
        pytest.skip("no MJPG writer in this OpenCV build")
    for k in range(3):
        writer.write(cv2.cvtColor(np.roll(frame, 2 * k, axis=1), cv2.COLOR_RGB2BGR))
    writer.release()
    return path


def test_camera_command_every_frame(clip):
    done = run("examples/camera.py", clip, "--circle", "red", "--stripe", "yellow", "--every-frame")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    for k in range(3):
        # The BGR frames meet the turned bounds: the red disc, not a blue one.
        assert lines[k].startswith(f"frame {k + 1}: red disc centre (15")
        assert lines[k].count("yellow stripe") == 2
    assert "red disc: found in 3 of 3 frames" in done.stdout
    assert "yellow stripe: found in 3 of 3 frames" in done.stdout


@pytest.mark.parametrize("display", [None, ":99"], ids=["no display", "no GUI in OpenCV"])
def test_camera_show_without_windows_says_so(clip, display):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    if display is not None:
        if not re.search(r"GUI: +NONE", pytest.importorskip("cv2").getBuildInformation()):
            pytest.skip("this OpenCV has windows")
        env["DISPLAY"] = display  # gets past the display check to OpenCV's own refusal
    done = run("examples/camera.py", clip, "--show", env=env)
    assert done.returncode != 0
    assert "--show needs" in done.stderr and "Traceback" not in done.stderr


# --------------------------------------------------------------------------
# BGR frames through turned bounds
# --------------------------------------------------------------------------

def some_bounds():
    rng = np.random.default_rng(7)
    limits = list(find_shapes.COLOURS.values())
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
        turned = find_shapes.bgr_bounds(bounds)
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
        truths.append(find_shapes.TrueLine(px, py, a))
    return frame, truths


@pytest.mark.parametrize("width", [6, 8, 10])
@pytest.mark.parametrize("angle", [60, 120, 75])
def test_a_thick_line_is_reported_once_through_its_middle(width, angle):
    frame, (truth,) = render_lines([width], angle, [0])
    finder = find_shapes.Finder(*frame.shape[:2])
    find_shapes.seed_rand(width + angle)
    found = finder.find(frame, "line", "blue")
    assert len(found) == 1
    px, deg = find_shapes.line_error(found[0].fit, truth)
    assert px <= 1.0 and deg <= 1.0
    assert found[0].support >= 400  # both edges' points


def test_parallel_lines_further_apart_stay_apart():
    frame, truths = render_lines([3, 3], 70, [-20, 20])
    finder = find_shapes.Finder(*frame.shape[:2])
    find_shapes.seed_rand(2)
    found = [f.fit for f in finder.find(frame, "line", "blue")]
    assert len(found) == 2
    for line, truth in zip(found, find_shapes.match_lines(found, truths)):
        assert find_shapes.line_error(line, truth)[0] <= 1.5
    assert {id(t) for t in find_shapes.match_lines(found, truths)} == {id(t) for t in truths}


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
])
def test_built_in_colours_on_photographs(name, colour, rect, low, high):
    image = photo(name)
    if rect is not None:
        x0, y0, x1, y1 = rect
        image = np.ascontiguousarray(image[y0:y1, x0:x1])
    bounds = kestrune.calculate_lch_bounds(*find_shapes.COLOURS[colour])
    percent = 100.0 * np.count_nonzero(kestrune.mask_image(image, bounds)) / (image.shape[0] * image.shape[1])
    assert low <= percent <= high


@pytest.mark.parametrize("rgb, expected", [
    ((220, 20, 60), "red"), ((178, 34, 34), "red"), ((128, 0, 0), "red"), ((210, 40, 40), "red"),
    ((255, 165, 0), None), ((255, 140, 0), None), ((160, 78, 36), None),  # orange, wood
    ((255, 255, 0), "yellow"), ((255, 215, 0), "yellow"), ((230, 210, 30), "yellow"),
    ((154, 205, 50), "green"), ((107, 142, 35), "green"), ((34, 139, 34), "green"), ((0, 255, 0), "green"),
    ((0, 0, 128), "blue"), ((65, 105, 225), "blue"), ((0, 0, 255), "blue"),
    ((128, 128, 128), None), ((250, 250, 250), None), ((20, 20, 20), None), ((212, 176, 150), None),  # greys, skin
])
def test_named_colours_fall_into_one_built_in_colour(rgb, expected):
    hits = [name for name, limits in find_shapes.COLOURS.items()
            if kestrune.mask_color(rgb, kestrune.calculate_lch_bounds(*limits))]
    assert hits == ([expected] if expected else [])
