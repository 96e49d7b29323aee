"""The `kestrune` command run as a user runs it: each subcommand's output, and
every refusal as one line on stderr with its exit status, never a traceback."""
from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import zlib
from pathlib import Path
from struct import pack

import numpy as np
import pytest

import kestrune_find as kf
from kestrune_find.io import save_image
from conftest import scene_clip
from kestrune_find.scene import render_scene


def kestrune(*args, cwd=None, env=None, timeout=180):
    """`python -m kestrune_find ARGS` (the installed `kestrune`, as a module)."""
    return subprocess.run([sys.executable, "-m", "kestrune_find", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


def refused(done, code, message):
    """Exit `code`, and `message` as the one and only line on stderr."""
    assert done.returncode == code, (done.stdout, done.stderr)
    assert "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert message in done.stderr


def without(tmp_path, *modules):
    """An environment in which `import MODULE` fails, as when it is not installed."""
    fake = tmp_path / "not-installed"
    for module in modules:
        (fake / module).mkdir(parents=True)
        (fake / module / "__init__.py").write_text(f"raise ImportError('no {module} here')\n")
    return {**os.environ, "PYTHONPATH": os.pathsep.join([str(fake), os.environ.get("PYTHONPATH", "")])}


def png_claiming(path, width, height):
    """A tiny PNG whose header claims width x height pixels."""
    def chunk(kind, data):
        return pack(">I", len(data)) + kind + data + pack(">I", zlib.crc32(kind + data))

    header = pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64))
                     + chunk(b"IEND", b""))
    return path


@pytest.fixture
def scene_png(tmp_path):
    pytest.importorskip("PIL")
    path = tmp_path / "photos" / "scene.png"
    save_image(render_scene().frame, path)
    return path


def test_the_installed_command_and_the_module_are_the_same():
    script = Path(sys.executable).with_name("kestrune")
    if not script.exists():
        pytest.skip("kestrune_find is not installed with its script here")
    done = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout == kestrune("--help").stdout
    for command in ("find", "calibrate", "camera", "batch", "demo"):
        assert command in done.stdout
    refused(kestrune(), 2, "required: COMMAND")


# --------------------------------------------------------------------------
# demo
# --------------------------------------------------------------------------

def test_demo_finds_every_shape_and_draws_them(tmp_path):
    pytest.importorskip("PIL")
    done = kestrune("demo", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = [line.split()[0] for line in done.stdout.splitlines()
            if line.split() and line.split()[0] in ("disc", "stripe", "line", "ellipse")]
    assert rows == ["disc", "stripe", "line", "line", "ellipse"]
    assert "NOT FOUND" not in done.stdout and "<--" not in done.stdout
    assert re.search(r"^total +\d+\.\d\d$", done.stdout, re.M)
    assert (tmp_path / "out" / "find_shapes.png").stat().st_size > 0


def test_demo_without_pillow_skips_only_the_picture(tmp_path):
    done = kestrune("demo", cwd=tmp_path, env=without(tmp_path, "PIL"))
    assert done.returncode == 0
    assert "NOT FOUND" not in done.stdout
    assert "needs Pillow" in done.stderr and "pip install 'kestrune[image]'" in done.stderr
    assert "Traceback" not in done.stderr and not (tmp_path / "out").exists()


# --------------------------------------------------------------------------
# find
# --------------------------------------------------------------------------

def test_find_json_is_only_the_shapes_best_first(scene_png):
    done = kestrune("find", scene_png, "--circle", "red", "--lines", "blue", "--ellipse", "green", "--json")
    assert done.returncode == 0 and done.stderr == ""
    shapes = json.loads(done.stdout)["shapes"]  # nothing else on stdout
    assert sorted(s["shape"] for s in shapes) == ["disc", "ellipse", "line", "line"]
    assert [s["score"] for s in shapes] == sorted((s["score"] for s in shapes), reverse=True)
    disc = next(s for s in shapes if s["shape"] == "disc")
    assert list(disc) == ["shape", "colour", "x", "y", "r", "score", "support"] and disc["colour"] == "red"
    assert all(isinstance(disc[k], float) for k in ("x", "y", "r", "score"))
    assert abs(disc["x"] - 150) < 0.5 and abs(disc["y"] - 140) < 0.5 and abs(disc["r"] - 70) < 0.5
    line = next(s for s in shapes if s["shape"] == "line")
    assert set(line) == {"shape", "colour", "px", "py", "nx", "ny", "width", "length", "score", "support"}


def test_find_table_has_a_row_per_request_and_draws(scene_png, tmp_path):
    out = tmp_path / "drawn" / "found.jpg"
    done = kestrune("find", scene_png, "--circle", "red", "--stripe", "blue", "--lines", "green", "--out", out)
    assert done.returncode == 0, done.stderr
    assert re.search(r"^red disc +centre \(150\.0, 140\.0\), r 70\.0 +0\.9\d$", done.stdout, re.M)
    assert re.search(r"^blue stripe +not found$", done.stdout, re.M)
    assert re.search(r"^green line +not found$", done.stdout, re.M)
    assert done.stdout.startswith("built-in colours: ")
    assert out.stat().st_size > 0


@pytest.mark.parametrize("args, message", [
    ([], "say what to find: --circle, --ellipse, --lines or --stripe"),
    (["--circle", "red", "--min-r", "100", "--max-r", "50"], "--min-r (100) must not exceed --max-r (50)"),
    (["--circle", "red", "--min-width", "9", "--max-width", "3"], "--min-width (9) must not exceed --max-width (3)"),
    (["--circle", "red", "--min-r", "-3"], "argument --min-r: must be at least 0"),
    (["--circle", "red", "--max-r", "nan"], "argument --max-r"),
    (["--circle", "red", "--min-score", "1.5"], "argument --min-score: must be from 0 to 1"),
    (["--circle", "red", "--stretch", "0.5"], "argument --stretch: must be from 1 to 1.6"),
    (["--circle", "red", "--squeeze", "2"], "argument --squeeze: must be from 1 to 1.6"),
    (["--circle", "red", "--max-shapes", "0"], "argument --max-shapes: must be at least 1"),
    (["--circle", "purple"], "unknown colour 'purple'"),
    (["--circle"], "expected at least one argument"),
    (["--circle", "red", "--out", "x.jpgx"], "cannot write pictures of type '.jpgx'"),
])
def test_find_refuses_impossible_arguments_before_reading_the_image(tmp_path, args, message):
    # The image does not exist: a refusal that names the argument shows it
    # was checked before the image was looked at.
    if "--out" in args:
        pytest.importorskip("PIL")  # which formats can be written is Pillow's to say
    refused(kestrune("find", tmp_path / "missing.png", *args), 2, message)
    assert not (Path.cwd() / "x.jpgx").exists()


def test_find_refuses_unreadable_and_oversized_images(tmp_path):
    pytest.importorskip("PIL")
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not a picture")
    refused(kestrune("find", tmp_path / "missing.png", "--circle", "red"), 1, "missing.png: no such file")
    refused(kestrune("find", broken, "--circle", "red"), 1, "cannot read")
    refused(kestrune("find", tmp_path, "--circle", "red"), 1, "it is a folder")
    # Past Pillow's own bomb guard, and under it but past ours.
    refused(kestrune("find", png_claiming(tmp_path / "bomb.png", 60000, 60000), "--circle", "red"), 1,
            "claims more pixels than the limit of 50,000,000; --max-pixels raises the limit")
    big = png_claiming(tmp_path / "big.png", 8000, 8000)
    refused(kestrune("find", big, "--circle", "red"), 1, "8000 x 8000 pixels, more than the limit")
    # Raised, the header passes and the truncated data is what fails.
    refused(kestrune("find", big, "--circle", "red", "--max-pixels", "70000000"), 1, "cannot read")


# --------------------------------------------------------------------------
# calibrate
# --------------------------------------------------------------------------

def test_calibrate_saves_a_colour_that_find_uses(scene_png, tmp_path):
    saved = tmp_path / "ball.json"
    done = kestrune("calibrate", scene_png, "--rect", 110, 100, 190, 180, "--save", saved)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("kestrune.calculate_lch_bounds((")
    assert "covers 100.0% of the 6400 selected pixels" in done.stdout
    assert kf.load_colour(saved).hue_limit[0] < 0 < kf.load_colour(saved).hue_limit[1]
    assert json.loads(saved.read_text())["source"]["rects"] == [[110, 100, 190, 180]]
    assert sorted(p.name for p in scene_png.parent.iterdir()) == ["scene.png"]  # nothing beside the photo

    shapes = json.loads(kestrune("find", scene_png, "--circle", saved, "--json").stdout)["shapes"]
    assert [s["colour"] for s in shapes] == [str(saved)]
    assert abs(shapes[0]["x"] - 150) < 0.5 and abs(shapes[0]["r"] - 70) < 0.5
    table = kestrune("find", scene_png, "--circle", saved).stdout
    assert "built-in colours" not in table and f"{saved} disc" in table


def test_calibrate_writes_masks_into_the_out_dir_and_warns(scene_png, tmp_path):
    photo_jpg = scene_png.with_suffix(".jpg")
    save_image(render_scene().frame, photo_jpg)
    out = tmp_path / "masks"
    for photo in (scene_png, photo_jpg):
        # Disc and background together: the colour takes much of the rest.
        done = kestrune("calibrate", photo, "--rect", 60, 40, 240, 240, "--rect", 300, 200, 340, 230,
                        "--out-dir", out)
        assert done.returncode == 0, done.stderr
        assert "warning: the colour also takes" in done.stderr
    assert sorted(p.name for p in out.iterdir()) == ["scene.jpg.mask.png", "scene.png.mask.png"]
    assert sorted(p.name for p in scene_png.parent.iterdir()) == ["scene.jpg", "scene.png"]


def test_calibrate_from_a_mask_picture(scene_png, tmp_path):
    marks = np.zeros((480, 640, 3), np.uint8)
    marks[330:370, 440:500] = 255  # inside the green ellipse
    save_image(marks, tmp_path / "marks.png")
    done = kestrune("calibrate", scene_png, "--mask", tmp_path / "marks.png")
    assert done.returncode == 0, done.stderr
    assert "of the 2400 selected pixels" in done.stdout
    save_image(marks[:100], tmp_path / "small.png")
    refused(kestrune("calibrate", scene_png, "--mask", tmp_path / "small.png"), 2, "mask must be 640 x 480")


@pytest.mark.parametrize("image, args, code, message", [
    ("nothere.png", ["--rect", "110", "100", "190", "180"], 1, "nothere.png: no such file"),
    ("scene.png", ["--mask", "{tmp}/nomask.png"], 1, "nomask.png: no such file"),
    ("broken.png", ["--rect", "110", "100", "190", "180"], 1, "cannot read"),
    ("scene.png", ["--rect", "0", "0", "60", "60"], 2, "the selection is grey"),  # the background
    ("scene.png", [], 2, "--rect X0 Y0 X1 Y1 (one or more) or --mask MASK"),
    ("scene.png", ["--rect", "700", "500", "800", "600"], 2, "holds no pixel of the 640 x 480 frame"),
    ("scene.png", ["--rect", "1", "2", "3"], 2, "argument --rect: expected 4 arguments"),
    ("scene.png", ["--rect", "110", "100", "190", "180", "--out-dir", "{tmp}/photos/scene.png"], 2, "not a folder"),
])
def test_calibrate_refusals(scene_png, tmp_path, image, args, code, message):
    (scene_png.parent / "broken.png").write_bytes(b"\x89PNG but not really")
    before = sorted(tmp_path.rglob("*"))
    args = [a.format(tmp=tmp_path) for a in args]
    refused(kestrune("calibrate", scene_png.parent / image, *args, "--save", tmp_path / "ball.json"), code, message)
    assert sorted(tmp_path.rglob("*")) == before  # no colour file, no side file


def test_calibrate_refuses_to_save_into_a_missing_folder(scene_png, tmp_path):
    refused(kestrune("calibrate", scene_png, "--rect", 1, 1, 9, 9, "--save", tmp_path / "no" / "ball.json"), 2,
            f"--save: the folder {tmp_path / 'no'} does not exist")


# --------------------------------------------------------------------------
# batch
# --------------------------------------------------------------------------

@pytest.fixture
def folder(tmp_path):
    pytest.importorskip("PIL")
    frame = render_scene().frame
    photos = tmp_path / "photos"
    for k in range(6):
        shifted = np.ascontiguousarray(np.roll(np.roll(frame, 37 * k, axis=1), 11 * k, axis=0))
        save_image(shifted, photos / f"frame{k}.{'jpg' if k % 2 else 'png'}")
    save_image(frame[:100, :150], photos / "sub" / "small.png")
    (photos / "broken.png").write_bytes(b"not a picture")
    (photos / "notes.txt").write_text("not an image")
    return photos


def without_ms(stdout):
    lines = [json.loads(line) for line in stdout.splitlines()]
    for line in lines:
        line.pop("ms")
    return lines


def test_batch_output_is_the_same_with_any_number_of_workers(folder):
    shapes = ["--circle", "red", "--lines", "blue", "--ellipse", "green", "--seed", "3"]
    one = kestrune("batch", folder, *shapes, "--workers", "1", "--json")
    four = kestrune("batch", folder, *shapes, "--workers", "4", "--json")
    assert one.returncode == 0 and four.returncode == 0, four.stderr
    assert without_ms(one.stdout) == without_ms(four.stdout)
    lines = without_ms(one.stdout)
    assert [line["image"] for line in lines] == ["broken.png"] + [f"frame{k}.{'jpg' if k % 2 else 'png'}"
                                                                  for k in range(6)]
    assert "error" in lines[0] and all(line["shapes"] for line in lines[1:])
    text = [kestrune("batch", folder, *shapes, "--workers", n, "--recursive").stdout for n in ("1", "4")]
    assert text[0] == text[1]
    assert "sub/small.png  150x100  nothing found" in text[0]


def test_batch_summary_counts_verified_finds_and_names_unreadable_files(folder):
    done = kestrune("batch", folder, "--circle", "red", "--stripe", "blue", "--workers", "2")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == ("7 images; verified finds red disc: 6 in 6 images, "
                                            "blue stripe: 0 in 0 images; 1 unreadable (broken.png)")
    assert "7/7 images" in done.stderr  # the progress counter, off a terminal


def test_batch_on_a_dask_bag_gives_what_threads_give(folder):
    pytest.importorskip("dask.bag")
    shapes = ["--circle", "red", "--ellipse", "green", "--json"]
    bag = kestrune("batch", folder, *shapes, "--dask", "--workers", "2")
    assert bag.returncode == 0, bag.stderr
    assert without_ms(bag.stdout) == without_ms(kestrune("batch", folder, *shapes).stdout)
    assert "100% Completed" in bag.stderr


def test_batch_refusals(folder, tmp_path):
    refused(kestrune("batch", folder, "--circle", "red", "--workers", "0"), 2, "argument --workers: must be at least 1")
    refused(kestrune("batch", tmp_path / "nofolder", "--circle", "red"), 2, "nofolder is not a folder")
    refused(kestrune("batch", folder), 2, "say what to find")
    refused(kestrune("batch", folder, "--circle", "red", "--min-r", "9", "--max-r", "3"), 2, "--min-r (9)")
    refused(kestrune("batch", folder, "--circle", "red", "--dask", env=without(tmp_path, "dask")), 1,
            "needs Dask, which is not installed: pip install 'kestrune[dask]'")


# --------------------------------------------------------------------------
# camera
# --------------------------------------------------------------------------

@pytest.fixture
def clip(tmp_path):
    return scene_clip(tmp_path / "clip.avi", frames=4, shift=2)


def test_camera_every_frame_and_its_summary(clip):
    done = kestrune("camera", clip, "--circle", "red", "--stripe", "yellow", "--every-frame", "--timings")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    for k in range(4):
        # BGR frames through turned bounds: the red disc, moving 2 px a frame.
        match = re.match(rf"frame {k + 1}: red disc centre \((\d+\.\d), 1(39\.\d|40\.\d)\), r 70\.\d score", lines[k])
        assert match and abs(float(match[1]) - (150 + 2 * k)) <= 1.0, lines[k]
        assert lines[k].count("yellow stripe") == 1 and "ms;" in lines[k]
    assert "of 2 in a region" in lines[1]
    assert "  red disc: 4 verified finds, in 4 of 4 frames" in lines
    assert "  yellow stripe: 4 verified finds, in 4 of 4 frames" in lines
    assert any(line.startswith("  ms per frame: mask") for line in lines)


def test_camera_refusals(clip, tmp_path):
    headless = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    refused(kestrune("camera", clip, "--circle", "red", "--show", env=headless), 2, "--show needs a display")
    if re.search(r"GUI: +NONE", pytest.importorskip("cv2").getBuildInformation()):
        # A display, but an OpenCV without windows.
        refused(kestrune("camera", clip, "--circle", "red", "--show", env={**headless, "DISPLAY": ":99"}), 2,
                "--show needs an OpenCV build with windows")
    refused(kestrune("camera", tmp_path / "none.avi", "--circle", "red"), 1, "none.avi: no such file")
    refused(kestrune("camera", clip), 2, "say what to find")
    refused(kestrune("camera", clip, "--circle", "red", "--full-every", "0"), 2, "argument --full-every")
    refused(kestrune("camera", clip, "--circle", "red", env=without(tmp_path, "cv2")), 1,
            "needs OpenCV, which is not installed: pip install 'kestrune[camera]'")
