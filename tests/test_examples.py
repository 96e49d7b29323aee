"""The example programs: the demo's accuracy on its scene, the calibration
proposal, and the batch runner on threads and on a Dask bag."""
from __future__ import annotations

import math
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
