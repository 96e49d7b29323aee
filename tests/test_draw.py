"""Pictures of finds: a drawing colour per colour name, the built-in font,
labels and the legend, and drawing that never leaves the frame."""
from __future__ import annotations

import itertools
import math

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import kestrune_find as kf
from kestrune_find.draw import (DRAWING_PALETTE, NAMED_DRAWING_COLOURS, draw_shapes, drawing_colours, render_text,
                                short_name)

GREY = 128
BUILT_IN = list(NAMED_DRAWING_COLOURS)


def grey(height=120, width=160):
    return np.full((height, width, 3), GREY, np.uint8)


def contains(pixels, pattern):
    """Whether the boolean `pattern` appears exactly somewhere in `pixels`."""
    if pattern.shape[0] > pixels.shape[0] or pattern.shape[1] > pixels.shape[1]:
        return False
    windows = sliding_window_view(pixels, pattern.shape)
    return bool((windows == pattern).all(axis=(2, 3)).any())


# --------------------------------------------------------------------------
# drawing colours and names
# --------------------------------------------------------------------------

def test_colour_names_get_clearly_different_stable_colours():
    files = [f"colours/c{k}.json" for k in range(len(DRAWING_PALETTE))]
    colours = drawing_colours(BUILT_IN + files)
    assert min(math.dist(a, b) for a, b in itertools.combinations(colours.values(), 2)) > 60
    assert drawing_colours(BUILT_IN + files) == colours
    # A file keeps its colour whether or not built-in names are searched too.
    assert drawing_colours(files) == {f: colours[f] for f in files}
    repeated = drawing_colours(["ball.json", "red", "ball.json"])
    assert repeated == {"ball.json": DRAWING_PALETTE[0], "red": colours["red"]}
    many = drawing_colours([f"f{k}" for k in range(60)])
    assert len(set(many.values())) == 60 and all(0 <= c <= 255 for rgb in many.values() for c in rgb)


@pytest.mark.parametrize("names, error", [("red", "one string"), (["red", 3], "strings")])
def test_drawing_colours_refuse_what_is_not_names(names, error):
    with pytest.raises(TypeError, match=error):
        drawing_colours(names)


@pytest.mark.parametrize("name, shown", [
    ("red", "red"), ("ball.json", "ball"), ("/data/colours/ball.json", "ball"), ("C:\\colours\\goal.JSON", "goal"),
    ("folder/", "folder"), (".json", ".json"), ("ball", "ball"),
])
def test_colour_files_are_named_by_their_base_name(name, shown):
    assert short_name(name) == shown


# --------------------------------------------------------------------------
# the font
# --------------------------------------------------------------------------

def test_every_printable_character_has_its_own_glyph():
    glyphs = [render_text(chr(c)) for c in range(32, 127)]
    assert all(g.shape == (8, 5) for g in glyphs)
    assert not glyphs[0].any() and all(g.any() for g in glyphs[1:])
    assert len({g.tobytes() for g in glyphs}) == len(glyphs)


def test_text_is_laid_out_and_scaled():
    one, two = render_text("Ab"), render_text("Ab", 2)
    assert one.shape == (8, 11) and not one[:, 5].any()  # a blank column between characters
    assert np.array_equal(one[:, :5], render_text("A")) and np.array_equal(one[:, 6:], render_text("b"))
    assert np.array_equal(two, one.repeat(2, axis=0).repeat(2, axis=1))
    assert np.array_equal(render_text("é"), render_text("?")) and render_text("").shape == (8, 0)


# --------------------------------------------------------------------------
# labels and the legend
# --------------------------------------------------------------------------

def test_a_label_names_the_colour_and_score_above_the_find():
    frame = grey()
    draw_shapes(frame, [kf.Disc("colours/ball.json", 80.0, 70.0, 20.0, 0.934, 5)], legend=False)
    ys, xs = np.mgrid[0:120, 0:160]
    changed = (frame != GREY).any(axis=2)
    outline = np.abs(np.hypot(xs - 80, ys - 70) - 20.5) <= 3.5
    cross = (np.abs(xs - 80) <= 5) & (np.abs(ys - 70) <= 5)
    label_ys, label_xs = np.nonzero(changed & ~outline & ~cross)
    assert label_ys.max() < 70 - 20 and abs((label_xs.min() + label_xs.max()) / 2 - 80) <= 1
    box = frame[label_ys.min():label_ys.max() + 1, label_xs.min():label_xs.max() + 1]
    assert (box[2:-2, 2:-2] == DRAWING_PALETTE[0]).all(axis=2).any()
    # Magenta is dark enough for white text.
    assert np.array_equal((box[2:-2, 2:-2] == 255).all(axis=2), render_text("ball 0.93"))


@pytest.mark.parametrize("x, y", [(70.0, 10.0), (5.0, 18.0), (-6.0, -6.0)])
def test_a_label_near_the_border_is_moved_into_the_frame_whole(x, y):
    frame = grey(20, 80)
    draw_shapes(frame, [kf.Disc("ball", x, y, 15.0, 0.9, 5)], legend=False)
    assert contains((frame == 255).all(axis=2), render_text("ball 0.90"))


def test_the_legend_lists_each_colour_in_the_corner_clear_of_finds():
    frame = grey()
    shapes = [kf.Disc("red", 30.0, 30.0, 25.0, 0.9, 5), kf.Disc("red", 30.0, 95.0, 20.0, 0.8, 5)]
    draw_shapes(frame, shapes, labels=False, names=["red", "ball.json"])
    white = (frame == 255).all(axis=2)
    assert contains(white, render_text("red (2)")) and contains(white, render_text("ball (0)"))
    # Top right: the finds are on the left, bottom to top.
    changed_right = (frame[:, 60:] != GREY).any(axis=2)
    ys, xs = np.nonzero(changed_right)
    assert xs.max() == 99 and ys.min() == 0 and ys.max() < 40
    swatches = [colour for colour in drawing_colours(["red", "ball.json"]).values()]
    assert all((frame[:40, 60:] == c).all(axis=2).any() for c in swatches)


def test_a_legend_too_long_for_the_frame_says_how_many_are_left_out():
    frame = grey(50, 200)
    draw_shapes(frame, [], names=[f"c{k}.json" for k in range(10)])
    white = (frame == 255).all(axis=2)
    assert contains(white, render_text("c2 (0)")) and not contains(white, render_text("c3 (0)"))
    assert contains(white, render_text("+7 more"))


@pytest.mark.parametrize("name", BUILT_IN)
def test_an_outline_shows_on_a_ball_of_its_own_drawing_colour(name):
    frame = np.empty((80, 80, 3), np.uint8)
    frame[:] = NAMED_DRAWING_COLOURS[name]
    draw_shapes(frame, [kf.Disc(name, 40.0, 40.0, 25.0, 0.9, 5)], labels=False, legend=False)
    ys, xs = np.mgrid[0:80, 0:80]
    edge = (frame != NAMED_DRAWING_COLOURS[name]).any(axis=2) & (np.hypot(xs - 40, ys - 40) > 20)
    # The 1-pixel edge around the outline differs from the ball all round.
    sectors = (np.degrees(np.arctan2(ys[edge] - 40, xs[edge] - 40)) + 180) // 10 % 36
    assert len(set(sectors.tolist())) == 36


# --------------------------------------------------------------------------
# the frame's bounds, old calls, BGR frames, bad input
# --------------------------------------------------------------------------

def test_drawing_outlines_the_shapes_only():
    frame = np.zeros((100, 120, 3), np.uint8)
    shapes = [kf.Disc("red", 40.0, 50.0, 20.0, 1.0, 1), kf.Stripe("y", 100.0, 50.0, 1.0, 0.0, 10.0, 60.0, 1.0, 1),
              kf.Disc("red", -50.0, -50.0, 30.0, 1.0, 1)]  # outside: clipped, not an error
    draw_shapes(frame, shapes, thickness=1, labels=False, legend=False)
    ys, xs = np.nonzero(frame.any(axis=2))
    on_disc = np.abs(np.hypot(xs - 40, ys - 50) - 20) <= 2.5  # with its edge
    on_stripe = (np.abs(np.abs(xs - 100) - 5) <= 2) & (np.abs(ys - 50) <= 32)
    on_cross = (np.abs(xs - 40) <= 5) & (np.abs(ys - 50) <= 5)
    assert (on_disc | on_stripe | on_cross).all()
    assert frame[50, 20].any() and frame[30, 40].any() and frame[50, 95].any() and frame[50, 105].any()
    assert not frame[50, 100].any() and not frame[40, 40].any()  # insides stay as they were


def test_the_old_call_draws_everything_in_the_colour_given():
    frame = grey()
    shapes = [kf.Disc("red", 40.0, 60.0, 20.0, 0.9, 5), kf.Line("blue", 120.0, 60.0, 1.0, 0.0, 1.0, 80.0, 0.8, 5)]
    assert draw_shapes(frame, shapes, (0, 255, 0), 1) is frame
    drawn = frame.reshape(-1, 3)[(frame != GREY).any(axis=2).ravel()]
    assert {tuple(p) for p in drawn} <= {(0, 255, 0), (0, 0, 0), (GREY // 3,) * 3, (255, 255, 255)}
    assert (frame[60, 120] == (0, 255, 0)).all() and (frame[60, 60] == (0, 255, 0)).all()


def test_bgr_frames_get_the_same_picture_with_channels_swapped():
    shapes = [kf.Disc("red", 40.0, 60.0, 20.0, 0.9, 5), kf.Ellipse("ball.json", 110.0, 60.0, 30.0, 15.0, 0.5, 0.7, 5)]
    rgb, bgr = draw_shapes(grey(), shapes), draw_shapes(grey(), shapes, bgr=True)
    assert np.array_equal(bgr[..., ::-1], rgb) and not np.array_equal(bgr, rgb)


OFF_FRAME = [
    kf.Disc("red", -5.0, -5.0, 12.0, 0.9, 5), kf.Disc("ball.json", 36.0, 20.0, 30.0, 0.9, 5),
    kf.Ellipse("green", 20.0, 39.0, 60.0, 8.0, 0.3, 0.5, 5),
    kf.Stripe("yellow", 0.0, 20.0, 1.0, 0.0, 6.0, 500.0, 0.6, 5),
    kf.Disc("blue", 1e12, -1e12, 5.0, 0.2, 5), kf.Disc("blue", float("nan"), 3.0, 5.0, 0.2, 5),
    kf.Line("a/very/long/path/to/a/colour/file/with/a/long/name.json", 20.0, 20.0, 0.6, 0.8, 1.0, 1e9, 0.3, 5),
]


@pytest.mark.parametrize("height, width", [(1, 1), (2, 3), (7, 40), (40, 7), (40, 40), (0, 5), (300, 2100)])
def test_tiny_frames_and_shapes_off_the_frame_are_drawn_clipped(height, width):
    names = [f"c{k}.json" for k in range(30)]
    frame = np.full((height + 20, width + 20, 3), GREY, np.uint8)
    inner = frame[10:-10, 10:-10]
    assert draw_shapes(inner, OFF_FRAME, names=names) is inner
    frame[10:-10, 10:-10] = GREY
    assert (frame == GREY).all()  # nothing outside the frame drawn on


@pytest.mark.parametrize("x, y", [(-5.0, -5.0), (-8.0, 20.0), (100.0, -6.0)])
def test_labels_of_finds_at_the_top_left_stay_there(x, y):
    # A negative place must be clipped, not wrapped round to the far side.
    frame = grey(60, 200)
    draw_shapes(frame, [kf.Disc("ball", x, y, 12.0, 0.9, 5)], legend=False)
    assert (frame != GREY).any() and (frame[40:] == GREY).all() and (frame[:, 150:] == GREY).all()


@pytest.mark.parametrize("call, error, message", [
    (lambda: draw_shapes(np.zeros((5, 5), np.uint8), []), ValueError, "H x W x 3 uint8"),
    (lambda: draw_shapes(np.zeros((5, 5, 3)), []), ValueError, "H x W x 3 uint8"),
    (lambda: draw_shapes(np.broadcast_to(np.uint8(0), (5, 5, 3)), []), ValueError, "writable"),
    (lambda: draw_shapes(grey(), [], thickness=0), ValueError, "thickness"),
    (lambda: draw_shapes(grey(), [], colour=(255, 0)), ValueError, "colour must be three integers"),
    (lambda: draw_shapes(grey(), [], colour=(255, 0, 256)), ValueError, "colour must be three integers"),
    (lambda: draw_shapes(grey(), [(1, 2, 3)]), TypeError, "Disc, Ellipse, Line or Stripe"),
])
def test_bad_arguments_are_named(call, error, message):
    with pytest.raises(error, match=message):
        call()
