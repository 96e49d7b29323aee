"""Calibration: the proposal's sector on every side of the hue circle, the
selection from rectangles and masks together, samples over several frames
(the widening held back by every frame, a union of sectors for pale and
saturated balls, per-sample reports), the command's --sample form, and what
is refused."""
from __future__ import annotations

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import kestrune
import kestrune_find as kf
from kestrune_find.calibrate import MIN_HUE_SIDE, calibrate, propose
from kestrune_find.scene import render_scene


def rgb_of(hue, chroma, intensity):
    """RGB (0..255) of a hue, chroma and intensity in units of 256."""
    x, y, i = chroma * math.cos(hue) * 256, chroma * math.sin(hue) * 256, intensity * 256
    return [i + 2 * x / 3, i - x / 3 + y / math.sqrt(3), i - x / 3 - y / math.sqrt(3)]


def patch(hue, rng, n=400, spread=0.2, chroma=(0.3, 0.45)):
    hues = hue + rng.uniform(-spread, spread, n)
    px = [rgb_of(h, c, i) for h, c, i in zip(hues, rng.uniform(*chroma, n), rng.uniform(0.35, 0.5, n))]
    return np.clip(np.rint(px), 0, 255).astype(np.uint8)


def covered(pixels, colour):
    return kestrune.mask_image(np.ascontiguousarray(pixels.reshape(1, -1, 3)), colour.bounds()).mean()


@pytest.mark.parametrize("hue", [0.0, math.pi, -math.pi + 0.05, 2 * math.pi / 3, -2.0])
def test_the_proposal_covers_the_colour_and_not_its_opposite(hue):
    # Around 0 the sector straddles red (a negative lower limit); around +-pi
    # atan2 wraps, where a proposal that ignores the wrap spans the circle.
    rng = np.random.default_rng(3)
    target = patch(hue, rng)
    limits = propose(target)
    lo, hi = limits[0]
    assert 2 * MIN_HUE_SIDE - 1e-9 <= hi - lo < math.pi
    colour = kf.Colour("c", *limits)
    assert covered(target, colour) >= 0.95
    assert covered(patch(hue + math.pi, rng), colour) == 0
    greys = np.repeat(np.arange(0, 256, 5, dtype=np.uint8)[:, None], 3, axis=1)
    assert covered(greys, colour) == 0


def test_the_proposal_widens_a_narrow_sample_and_keeps_a_wide_one_below_pi():
    rng = np.random.default_rng(5)
    narrow = propose(patch(1.0, rng, spread=0.01))
    assert narrow[0] == pytest.approx((1.0 - MIN_HUE_SIDE, 1.0 + MIN_HUE_SIDE), abs=0.02)
    assert narrow[1] == (0.12, 2.0) and narrow[2] == (0.05, 0.99)  # saturated: the chroma floor's top
    wide = propose(patch(1.0, rng, spread=1.4))
    assert wide[0][1] - wide[0][0] < math.pi and wide[0][0] < 1.0 < wide[0][1]
    pale = propose(patch(1.0, rng, chroma=(0.05, 0.07)))
    assert pale[1][0] == pytest.approx(0.04)  # half the weakest chroma, but not below 0.04


def shaded_ball():
    """A yellow ball lit on the left, shaded on the right, on grey."""
    frame = np.full((120, 160, 3), 110, np.uint8)
    ys, xs = np.mgrid[0:120, 0:160]
    inside = (xs - 80) ** 2 + (ys - 60) ** 2 <= 40 ** 2
    frame[inside & (xs < 80)] = (235, 215, 40)
    frame[inside & (xs >= 80)] = (120, 105, 25)
    return frame


def test_rectangles_and_a_mask_are_combined():
    frame = shaded_ball()
    lit, shaded = (55, 50, 70, 70), (90, 50, 105, 70)
    marks = np.zeros((120, 160), bool)
    marks[40:45, 75:85] = True
    result = calibrate(frame, rects=[lit, shaded], mask=marks, name="ball")
    assert result.selected == 2 * 15 * 20 + 50
    assert result.colour.name == "ball" and result.selection_coverage == 1.0
    assert result.widening == 1.0  # nothing but the ball to take in
    ys, xs = np.mgrid[0:120, 0:160]
    ball = (xs - 80) ** 2 + (ys - 60) ** 2 <= 40 ** 2
    assert result.mask[ball].all() and not result.mask[~ball].any()  # both sides, nothing else
    assert result.rest_coverage == pytest.approx((ball.sum() - result.selected) / (120 * 160 - result.selected))
    # The rest of this ball is a quarter of the frame: worth a warning.
    assert [w for w in result.warnings if "of the rest of the frame" in w] == list(result.warnings)


def red_balls_on_wood(rng):
    """Three red balls, lit from the top left, on brown planks whose hue lies
    within the proposal's widest sector around red but not around the balls'
    own hues."""
    h, w = 240, 320
    ys, xs = np.mgrid[0:h, 0:w]
    plank = (xs // 40) % 3
    grain = 12 * np.sin(ys / 7.0 + plank * 2.0)[..., None]
    wood = np.array([[150, 92, 52], [135, 78, 48], [160, 100, 60]], float)[plank] + grain
    frame = wood + rng.normal(0, 3, (h, w, 3))
    balls = [(80, 70, 30), (220, 90, 24), (170, 180, 34)]
    for x, y, r in balls:
        d2 = (xs - x) ** 2 + (ys - y) ** 2
        inside = d2 <= r * r
        shade = np.clip(1.0 - 0.45 * ((xs - x + 0.5 * r) ** 2 + (ys - y + 0.5 * r) ** 2) / (2.2 * r * r), 0.45, 1.0)
        frame[inside] = (np.array([215.0, 28.0, 34.0]) * shade[..., None])[inside]
    return np.clip(np.rint(frame), 0, 255).astype(np.uint8), balls


def test_the_widening_stops_before_it_takes_in_the_background():
    frame, balls = red_balls_on_wood(np.random.default_rng(2))
    x, y, r = balls[0]
    sample = (x - r // 2, y - r // 2, x + r // 2, y + r // 2)
    full = kf.Colour("wide", *propose(frame[sample[1]:sample[3], sample[0]:sample[2]].reshape(-1, 3)))
    assert kestrune.mask_image(frame, full.bounds()).mean() > 0.5  # the whole widening takes the planks
    result = calibrate(frame, rects=[sample])
    assert 0.0 <= result.widening < 1.0
    assert result.rest_coverage < 0.15  # about the other balls and the sample's own ball
    found = kf.find(frame, "disc", result.colour)
    assert sorted((round(d.x), round(d.y)) for d in found) == sorted((bx, by) for bx, by, _ in balls)
    with pytest.raises(ValueError, match="widening"):
        propose(frame[:4, :4].reshape(-1, 3), 1.5)


def test_a_selection_taking_much_of_the_rest_is_warned_of():
    frame = render_scene().frame
    result = calibrate(frame, rects=[(60, 40, 240, 240)])  # the disc and the grey around it
    assert any("of the rest of the frame" in w for w in result.warnings)
    assert any("only" in w and "of the selected pixels" in w for w in result.warnings)


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, ValueError, "give rects or mask"),
    ({"rects": [(0, 0, 30, 30)]}, ValueError, "the selection is grey"),
    ({"rects": [(200, 150, 300, 200)]}, ValueError, "rects[0] (200, 150, 300, 200) holds no pixel"),
    ({"rects": [(1, 2, 3)]}, ValueError, "rects[0] must be four numbers"),
    ({"rects": [(1.5, 2, 3, 4)]}, ValueError, "rects[0] must be four integers"),
    ({"rects": (55, 50, 70, 70)}, ValueError, "rects[0] must be four numbers"),
    ({"rects": "55 50 70 70"}, TypeError, "rects must be a sequence"),
    ({"mask": np.ones((10, 10), bool)}, ValueError, "mask must be 160 x 120 like the frame"),
    ({"mask": np.zeros((120, 160), bool)}, ValueError, "the selection is empty"),
])
def test_what_calibrate_refuses(kwargs, error, message):
    with pytest.raises(error) as raised:
        calibrate(shaded_ball(), **kwargs)
    assert message in str(raised.value)


def test_a_bad_frame_is_refused_naming_it():
    with pytest.raises(ValueError, match="frame"):
        calibrate(np.zeros((10, 10), np.uint8), rects=[(0, 0, 5, 5)])


# --------------------------------------------------------------------------
# Several samples
# --------------------------------------------------------------------------

def balls_on(wall, balls, size=(120, 160)):
    """A frame of one wall colour with shaded balls (x, y, r, rgb): lit at the
    top left, down to 55 % on the far side."""
    h, w = size
    ys, xs = np.mgrid[0:h, 0:w]
    frame = np.zeros((h, w, 3)) + np.asarray(wall, float)
    for x, y, r, rgb in balls:
        inside = (xs - x) ** 2 + (ys - y) ** 2 <= r * r
        shade = 1.0 - 0.45 * np.clip(((xs - x + r) ** 2 + (ys - y + r) ** 2) / (8 * r * r), 0, 1)
        frame[inside] = (np.asarray(rgb, float) * shade[..., None])[inside]
    return np.clip(np.rint(frame), 0, 255).astype(np.uint8)


def centre(x, y, r):
    return (x - r // 2, y - r // 2, x + r // 2, y + r // 2)


def test_every_frame_holds_the_widening_back():
    # A red ball on grey widens fully; the wood of a second frame lies within
    # that widening. Sampled in both frames, the wood must stay out.
    grey = balls_on((110, 110, 110), [(80, 60, 30, (215, 28, 34))])
    wood, balls = red_balls_on_wood(np.random.default_rng(2))
    alone = calibrate(grey, rects=[centre(80, 60, 30)])
    assert alone.widening == 1.0 and kf.Colour("w", alone.colour.hue_limit, alone.colour.chroma_limit,
                                                 alone.colour.intensity_limit).mask(wood).mean() > 0.5
    x, y, r = balls[1]
    result = calibrate([(grey, [centre(80, 60, 30)]), (wood, [centre(x, y, r)])])
    assert result.widening < 1.0 and len(result.samples) == 2
    assert [s.frame for s in result.samples] == [0, 1] and all(s.coverage == 1.0 for s in result.samples)
    assert result.samples[1].rest_coverage < 0.15
    assert sorted((round(d.x), round(d.y)) for d in kf.find(wood, "disc", result.colour)) == \
        sorted((bx, by) for bx, by, _ in balls)


def test_samples_of_one_frame_share_its_rest_and_reports_count_right():
    frame = shaded_ball()
    lit, shaded = (55, 50, 70, 70), (90, 50, 105, 70)
    result = calibrate([(frame, [lit]), (frame, [shaded])], name="ball")
    ys, xs = np.mgrid[0:120, 0:160]
    ball = (xs - 80) ** 2 + (ys - 60) ** 2 <= 40 ** 2
    rest = (ball.sum() - 600) / (120 * 160 - 600)  # both samples are outside the rest
    assert [(s.frame, s.pixels, s.coverage) for s in result.samples] == [(0, 300, 1.0), (0, 300, 1.0)]
    assert all(s.rest_coverage == pytest.approx(rest) for s in result.samples)
    assert result.selected == 600 and result.rest_coverage == pytest.approx(rest)
    assert result.mask[ball].all() and not result.mask[~ball].any()
    # The same frame's pixels in a second array are a second frame, with its own rest.
    two = calibrate([(frame, [lit]), (frame.copy(), [shaded])])
    assert [s.frame for s in two.samples] == [0, 1]


PALE_WALL = rgb_of(math.radians(25), 0.07, 0.5)
SATURATED, PALE = rgb_of(0.0, 0.45, 0.42), rgb_of(math.radians(70), 0.1, 0.6)


def test_pale_and_saturated_balls_make_a_union_that_leaves_the_wall_out():
    # One sector from red to yellow with a chroma floor low enough for the pale
    # balls takes the pale orange wall; a red sector and a pale yellow one do not.
    frames = [balls_on(PALE_WALL, [(45, 60, 25, SATURATED), (115, 60, 25, PALE)]),
              balls_on(PALE_WALL, [(40, 50, 22, PALE), (110, 70, 28, SATURATED)])]
    samples = [(frames[0], [centre(45, 60, 25)]), (frames[1], [centre(40, 50, 22)])]
    wall = (frames[0] == frames[0][0, 0]).all(axis=2)
    one = calibrate(samples, max_sectors=1)
    assert len(one.colour.sectors) == 1 and one.colour.mask(frames[0])[wall].all()
    union = calibrate(samples)
    assert len(union.colour.sectors) == 2 and not union.colour.mask(frames[0])[wall].any()
    assert all(s.coverage == 1.0 for s in union.samples)
    for frame in frames:
        assert len(kf.find(frame, "disc", union.colour)) == 2
    assert len(union.calls()) == 2 and union.call() == union.calls()[0]


def test_a_grey_or_tiny_sample_is_warned_of_and_a_grey_one_left_out():
    frame = shaded_ball()
    result = calibrate([(frame, [(0, 0, 30, 30)]), (frame, [(55, 50, 70, 70)]), (frame, [(95, 60, 98, 63)])])
    grey, good, tiny = result.samples
    assert "mostly grey" in grey.warnings[0] and "left out" in grey.warnings[0]
    assert good.warnings == () and good.coverage == 1.0
    assert any("too few to trust" in w for w in tiny.warnings)
    assert result.selected == 300 + 9  # the grey sample does not count
    assert [w.split(":")[0] for w in result.warnings if w.startswith("sample")] == ["sample 1", "sample 3"]


@pytest.mark.parametrize("samples, kwargs, error, message", [
    ([], {}, ValueError, "samples is empty"),
    ("frame", {}, TypeError, "samples must be a sequence"),
    ([(None,)], {}, ValueError, "samples[0] must be a pair"),
    (["grey"], {}, ValueError, "samples[0] must be a pair"),
    ([("f", [(55, 50, 70, 70)])], {}, TypeError, "samples[0]: frame must be a NumPy array"),
    ([("F", [(55, 50, 70, 70)]), ("F", [(1, 2, 3)])], {}, ValueError, "samples[1]: rects[0] must be four numbers"),
    ([("F", [(0, 0, 30, 30)]), ("F", [(130, 0, 160, 20)])], {}, ValueError, "every sample is grey"),
    ([("F", [(55, 50, 70, 70)])], {"rects": [(1, 1, 5, 5)]}, TypeError, "rects and mask go with one frame"),
    ([("F", [(55, 50, 70, 70)])], {"widening": 2}, ValueError, "widening must be"),
    ([("F", [(55, 50, 70, 70)])], {"max_sectors": 0}, ValueError, "max_sectors must be"),
])
def test_what_calibrate_refuses_of_samples(samples, kwargs, error, message):
    frame = shaded_ball()
    given = [tuple(frame if v == "F" else v for v in item) if isinstance(item, tuple) else item for item in samples] \
        if isinstance(samples, list) else samples
    with pytest.raises(error) as raised:
        calibrate(given, **kwargs)
    assert message in str(raised.value)


# --------------------------------------------------------------------------
# kestrune calibrate --sample
# --------------------------------------------------------------------------

def command(*args, cwd):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-m", "kestrune_find", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=180)


def test_the_command_calibrates_on_samples_of_several_images_and_finds_with_the_file(tmp_path):
    from kestrune_find.io import save_image
    pytest.importorskip("PIL")
    save_image(balls_on(PALE_WALL, [(45, 60, 25, SATURATED), (115, 60, 25, PALE)]), tmp_path / "a.png")
    save_image(balls_on(PALE_WALL, [(40, 50, 22, PALE), (110, 70, 28, SATURATED)]), tmp_path / "b.png")
    done = command("calibrate", "--sample", "a.png", 33, 48, 58, 73, "--sample", "b.png", 29, 39, 52, 62,
                    "--sample", "a.png", 103, 48, 128, 73, "--save", "ball.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [line.startswith("kestrune.calculate_lch_bounds(") for line in lines[:3]] == [True, True, False]
    assert [line.split(":")[0] for line in lines if line.startswith("sample")] == ["sample 1", "sample 2", "sample 3"]
    assert "sample 2: b.png 29 39 52 62: covers 100.0% of its 529 pixels" in done.stdout
    saved = json.loads((tmp_path / "ball.json").read_text())
    assert saved["source"] == {"samples": [{"image": "a.png", "rect": [33, 48, 58, 73]},
                                           {"image": "b.png", "rect": [29, 39, 52, 62]},
                                           {"image": "a.png", "rect": [103, 48, 128, 73]}]}
    assert len(saved["extra_sectors"]) == 1
    for image in ("a.png", "b.png"):
        found = json.loads(command("find", image, "--circle", "ball.json", "--json", cwd=tmp_path).stdout)
        assert len(found["shapes"]) == 2


@pytest.mark.parametrize("args, code, message", [
    (["--sample", "a.png", 1, 2, 3, "x"], 2, "--sample 1 (a.png 1 2 3 x): X0 Y0 X1 Y1 must be whole numbers"),
    (["--sample", "a.png", 1, 2, 3], 2, "argument --sample: expected 5 arguments"),
    (["--sample", "none.png", 1, 2, 30, 30], 1, "none.png: no such file"),
    (["--sample", "a.png", 500, 2, 600, 30], 2, "--sample a.png 500 2 600 30: (500, 2, 600, 30) holds no pixel"),
    (["--sample", "a.png", 0, 0, 10, 10], 2, "every sample is grey"),
    (["--rect", 1, 2, 30, 30], 2, "--rect and --mask pick pixels of IMAGE"),
    (["a.png", "--sample", "a.png", 33, 48, 58, 73], 2, "say which pixels of a.png hold the colour"),
])
def test_the_command_refuses_bad_samples(tmp_path, args, code, message):
    from kestrune_find.io import save_image
    pytest.importorskip("PIL")
    save_image(balls_on(PALE_WALL, [(45, 60, 25, SATURATED)]), tmp_path / "a.png")
    done = command("calibrate", *args, "--save", "ball.json", cwd=tmp_path)
    assert done.returncode == code and "Traceback" not in done.stderr, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and message in done.stderr, done.stderr
    assert not (tmp_path / "ball.json").exists()
