"""The library under the command: the batch runner, the camera's tracker with
its region of interest, and reading image files."""
from __future__ import annotations

import json
import math
import pickle
import zlib
from struct import pack

import numpy as np
import pytest

import kestrune_find as kf
from kestrune_find import batch, camera
from kestrune_find.io import ImageError, read_image, save_image
from kestrune_find.scene import render_scene


def disc_frame(x, y, r=30, height=240, width=320):
    frame = np.full((height, width, 3), 100, np.uint8)
    ys, xs = np.mgrid[0:height, 0:width]
    frame[(xs - x) ** 2 + (ys - y) ** 2 <= r * r] = (210, 40, 40)
    return frame


# --------------------------------------------------------------------------
# batch
# --------------------------------------------------------------------------

@pytest.fixture
def folder(tmp_path):
    pytest.importorskip("PIL")
    for k, (x, y) in enumerate([(60, 50), (200, 120), (100, 180), (250, 60), (160, 100)]):
        save_image(disc_frame(x, y), tmp_path / f"d{k}.png")
    save_image(disc_frame(40, 40)[:60, :80], tmp_path / "deeper" / "tiny.png")
    (tmp_path / "broken.jpg").write_bytes(b"\xff\xd8 not really")
    return tmp_path


def test_analyse_returns_plain_values(folder):
    result = batch.analyse(folder / "d1.png", [("disc", kf.colour("red")), ("line", "blue")], {"min_r": 10}, seed=4)
    assert pickle.loads(pickle.dumps(result)) == result == json.loads(json.dumps(result))
    assert (result["width"], result["height"]) == (320, 240) and result["ms"] > 0
    (disc,) = result["shapes"]
    assert disc["shape"] == "disc" and abs(disc["x"] - 200) < 0.5 and abs(disc["r"] - 30) < 0.5
    assert batch.analyse(folder / "broken.jpg", [("disc", "red")])["error"].startswith("cannot read")
    # A smallest radius beyond what the image holds: no find, not an error.
    assert batch.analyse(folder / "deeper" / "tiny.png", [("disc", "red")], {"min_r": 50})["shapes"] == []


def test_run_gives_the_same_in_path_order_with_any_workers(folder):
    def results(workers):
        found = list(batch.run(folder, [("disc", "red")], seed=9, workers=workers, recursive=True))
        for r in found:
            r.pop("ms", None)
        return found

    one = results(1)
    assert [r["image"] for r in one] == ["broken.jpg", "d0.png", "d1.png", "d2.png", "d3.png", "d4.png",
                                         "deeper/tiny.png"]
    assert results(3) == one
    assert [len(r["shapes"]) for r in one[1:]] == [1, 1, 1, 1, 1, 1]
    assert [r["image"] for r in batch.run(folder, [("disc", "red")])][-1] == "d4.png"  # not recursive


@pytest.mark.parametrize("options, message", [
    ({"min_r": 30, "max_r": 20}, "min_r (30) must not exceed max_r (20)"),
    ({"min_width": -1}, "min_width must be at least 0"),
    ({"min_score": 1.2}, "min_score must be from 0 to 1"),
    ({"stretch": 1.7}, "stretch must be from 1 to 1.6"),
    ({"squeeze": 0.9}, "squeeze must be from 1 to 1.6"),
    ({"max_shapes": 2.0}, "max_shapes must be a non-negative integer"),
    ({"max_r": float("inf")}, "max_r must be a finite number"),
    ({"radius": 3}, "unknown option 'radius'"),
])
def test_run_refuses_bad_options_before_reading(tmp_path, options, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        batch.run(tmp_path / "not-there", [("disc", "red")], options)


@pytest.mark.parametrize("requests, kwargs, error, message", [
    ([("circle", "red")], {}, ValueError, "shape must be one of"),
    ([("disc", "purple")], {}, ValueError, "unknown colour"),
    ([("disc", "red")], {"workers": 0}, ValueError, "workers must be a positive integer"),
    ("disc", {}, TypeError, "requests must be a sequence"),
])
def test_run_refuses_bad_requests(tmp_path, requests, kwargs, error, message):
    with pytest.raises(error, match=message):
        batch.run(tmp_path, requests, **kwargs)


# --------------------------------------------------------------------------
# camera: the tracker
# --------------------------------------------------------------------------

def test_the_tracker_follows_a_moving_disc_in_a_region():
    tracker = camera.Tracker([("disc", "red")], seed=1, full_every=10)
    regional = []
    for k in range(25):
        x, y = 80 + 6 * k, 100 + 2 * k
        (disc,) = tracker.find(disc_frame(x, y, height=480, width=640))
        assert math.hypot(disc.x - x, disc.y - y) < 0.5 and abs(disc.r - 30) < 0.5
        regional.append(tracker.regional)
    # The whole frame first and every tenth frame; a region in between.
    assert regional == [0 if k % 10 == 0 else 1 for k in range(25)]
    assert "crop" in tracker.timings and set(tracker.timings) >= {"mask", "edges", "search"}


def test_the_tracker_searches_everywhere_when_the_region_loses_a_find():
    tracker = camera.Tracker([("disc", "red")], seed=1, full_every=1000)
    tracker.find(disc_frame(60, 60, height=480, width=640))
    (disc,) = tracker.find(disc_frame(560, 400, height=480, width=640))  # jumped out of the region
    assert abs(disc.x - 560) < 0.5 and abs(disc.y - 400) < 0.5 and tracker.regional == 0
    assert tracker.find(np.full((480, 640, 3), 100, np.uint8)) == []


def test_the_tracker_reuses_its_buffers():
    tracker = camera.Tracker([("disc", "red"), ("ellipse", "green")], bgr=True, seed=0)
    scene = np.ascontiguousarray(render_scene().frame[..., ::-1])
    tracker.find(scene)
    crop = tracker._crop
    for k in range(1, 40):
        assert len(tracker.find(np.ascontiguousarray(np.roll(scene, k, axis=1)))) == 2
    assert tracker._crop is crop and len(tracker._regions) <= camera.REGION_FINDERS


def test_region_is_inside_the_frame_and_holds_the_shape():
    disc = kf.Disc("red", 10.0, 470.0, 20.0, 1.0, 100)
    x0, y0, x1, y1 = camera.region([disc], 480, 640, margin=24)
    assert 0 <= x0 and x1 <= 640 and 0 <= y0 and y1 <= 480
    assert (x1 - x0) % camera.REGION_STEP == 0 and (y1 - y0) % camera.REGION_STEP == 0
    assert x0 == 0 and y1 == 480  # pushed into the corner it lies in
    line = kf.Line("blue", 100.0, 50.0, 0.0, 1.0, 2.0, 40.0, 1.0, 50)  # horizontal, x from 80 to 120
    assert camera.region([line], 480, 640, 0)[0] <= 80 and camera.region([line], 480, 640, 0)[2] >= 120
    moved = camera.shifted(line, 5, 7)
    assert (moved.px, moved.py, moved.length) == (105.0, 57.0, 40.0)


def test_tracker_refuses_bad_arguments():
    with pytest.raises(ValueError, match="full_every"):
        camera.Tracker([("disc", "red")], full_every=0)
    with pytest.raises(ValueError, match="min_r"):
        camera.Tracker([("disc", "red")], options={"min_r": 5, "max_r": 1})
    with pytest.raises(ValueError, match="frame"):
        camera.Tracker([("disc", "red")]).find(np.zeros((10, 10), np.uint8))


# --------------------------------------------------------------------------
# reading and writing images
# --------------------------------------------------------------------------

def test_reading_images_refuses_what_cannot_be_decoded_or_is_too_large(tmp_path):
    pytest.importorskip("PIL")
    save_image(disc_frame(50, 50), tmp_path / "ok.png")
    frame = read_image(tmp_path / "ok.png")
    assert frame.shape == (240, 320, 3) and frame.flags.writeable and frame.flags.c_contiguous
    with pytest.raises(ImageError) as raised:
        read_image(tmp_path / "ok.png", max_pixels=1000)
    assert raised.value.too_large and "320 x 240 pixels" in str(raised.value)

    def chunk(kind, data):
        return pack(">I", len(data)) + kind + data + pack(">I", zlib.crc32(kind + data))

    (tmp_path / "bomb.png").write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", pack(">IIBBBBB", 90000, 90000, 8, 2, 0, 0, 0))
                                        + chunk(b"IEND", b""))
    with pytest.raises(ImageError, match="claims more pixels"):
        read_image(tmp_path / "bomb.png")
    (tmp_path / "text.png").write_text("hello")
    with pytest.raises(ImageError, match="not an image file"):
        read_image(tmp_path / "text.png")
    with pytest.raises(ValueError, match="max_pixels"):
        read_image(tmp_path / "ok.png", max_pixels=0)
    with pytest.raises(ValueError, match="cannot write pictures of type '.txt'"):
        save_image(frame, tmp_path / "picture.txt")
