"""Calibration: the proposal's sector on every side of the hue circle, the
selection from rectangles and masks together, and what is refused."""
from __future__ import annotations

import math

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
