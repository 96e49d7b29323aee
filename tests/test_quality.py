"""How often the finder finds what is there, and only that, counted on seeded
scenes and on real frames: the same scenes and matching rule as the
detection benchmark, fewer of them. Counts, never times."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))

import kestrune_find as kf  # noqa: E402

# The scenes depend on what draws them: scikit-image's photographs, and JPEG
# from OpenCV or Pillow. The counts below are for scenes with all of them.
pytest.importorskip("skimage")
pytest.importorskip("PIL")
scenes = pytest.importorskip("scenes")
bench = pytest.importorskip("bench_detect")
robocup = pytest.importorskip("robocup")
cases = pytest.importorskip("cases")


def tally(items, task, colour, **options):
    """(found, missed, false finds, false finds on frames without a target)."""
    finder = kf.Finder(seed=1)
    found = missed = false = false_on_empty = 0
    for frame, truth in items:
        m = bench.match(finder.find(frame, task, colour, **options), truth, task)
        found, missed, false = found + m.found, missed + m.missed, false + m.false
        if not (truth.discs or truth.ellipses):
            false_on_empty += m.false
    return found, missed, false, false_on_empty


@pytest.mark.parametrize("colour", ["yellow", "red"])  # red: a hue sector across zero
def test_generated_scenes(colour):
    # A set of 24 frames calibrated on its first, every fourth one without a target.
    items = scenes.scene_set(colour, 24, seed=3)
    frame0, truth0 = items[0]
    calibrated = kf.calibrate(frame0, [truth0.calibration_rect()]).colour
    found, missed, false, false_on_empty = tally(items, "disc", calibrated, min_r=8, max_r=120)
    assert found >= 0.9 * (found + missed)
    assert false <= 2 and false_on_empty <= 1
    found, missed, false, _ = tally(items, "ellipse", calibrated, min_r=8, max_r=120)
    assert found >= 0.8 * (found + missed) and false <= 0.1 * found


def case_sets(case, n, n_empty, colours=("yellow", "red"), seed=5):
    """A set of a hard case per colour (a yellow and a red one unless told):
    (colour calibrated on clean balls of it, items) each."""
    for colour in colours:
        (frame0, truth0), items = cases.case_set(case, colour, n, n_empty, seed=seed)
        yield kf.calibrate(frame0, [truth0.calibration_rect()]).colour, items


def tally_case(case, n, n_empty, min_r=8, **sets):
    """tally over case_sets: (found, missed, false finds)."""
    found = missed = false = 0
    for calibrated, items in case_sets(case, n, n_empty, **sets):
        counts = tally(items, "disc", calibrated, min_r=min_r, max_r=120)
        found, missed, false = found + counts[0], missed + counts[1], false + counts[2]
    return found, missed, false


def test_balls_behind_things_of_any_brightness():
    # Bars, cables, hands and robot parts, light or dark, across balls: what
    # lies between a ball's runs on a line stands in front of it.
    found, missed, false = tally_case("hidden", 12, 6)
    # 0.44 when only dark things could hide a ball; 0.54 when a cable cut a
    # ball's blob into pieces searched apart, or a sliver of it read as a hole;
    # 0.65 when a bar between the colour's runs had to be as unlike the
    # background as a crossing, and the outline show at 0.7 of its crossings
    # (0.77 before a thing whose edge runs on past the ball could hide its side)
    assert found >= 0.78 * (found + missed)
    assert false == 0


def test_balls_behind_things_much_like_the_background():
    # Boards and bars of a grey or a brown the background has too, over a
    # ball's side: what shows the ball hidden is the thing's edge running on
    # past it. 4 of these 8 balls were found before that was read.
    found = missed = false = 0
    for (calibrated, items), frames in zip(case_sets("hidden", 5, 0, colours=("blue", "pink"), seed=1), ((2, 4), (3,))):
        for k in frames:
            frame, truth = items[k]
            m = bench.match(kf.Finder(seed=1).find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc")
            found, missed, false = found + m.found, missed + m.missed, false + m.false
    assert found + missed == 8
    assert found >= 7 and false == 0


def test_balls_whose_outline_is_partly_hidden_too():
    # A hand, a bar or a tripod across a ball hides part of the change at its
    # outline as well; with the rim around it clear, what hides the core is
    # still weighed (the benchmark's first frames of three colours).
    found, missed, false = tally_case("hidden", 5, 0, colours=("red", "green", "purple"), seed=1)
    assert found >= 0.58 * (found + missed)  # 0.52 when the outline had to show at 0.8 of its crossings
    assert false == 0


def _ball_behind_a_bar(rng, half_width, bar_colour, background=(70, 75, 80), ball=(200, 40, 40), at=0.0):
    """A shaded ball of radius 40 at (320, 240), a vertical bar `half_width`
    radii each side of `at` radii right of its centre in front of it (none
    when 0)."""
    y, x = np.mgrid[0:480, 0:640].astype(float)
    frame = np.empty((480, 640, 3))
    frame[:] = background
    frame += rng.normal(0, 6, (480, 640, 1))
    d = np.hypot(x - 320, y - 240)
    shaded = np.array(ball) * np.clip(1.0 - 0.35 * (d / 40) ** 2, 0, 1)[..., None]
    frame = np.where((d <= 40)[..., None], shaded, frame)
    if half_width:
        bar = np.array(bar_colour) + rng.normal(0, 4, (480, 640, 1))
        frame = np.where((np.abs(x - 320 - at * 40) <= half_width * 40)[..., None], bar, frame)
    return np.clip(frame, 0, 255).astype(np.uint8)


def _red_ball_colour(rng):
    """The colour calibrated on the clean red ball of _ball_behind_a_bar."""
    return kf.calibrate(_ball_behind_a_bar(rng, 0, None), [(300, 220, 340, 260)]).colour


def test_a_light_bar_across_the_middle_of_a_ball():
    # The lines along the bar see no colour at all; the lines across it see
    # the ball on both sides, which hides it for both. Where the background
    # itself shows between two halves, no ball is there.
    rng = np.random.default_rng(3)
    colour = _red_ball_colour(rng)
    finder = kf.Finder(seed=1)
    # 0.4 (half the ball) was missed while only the lines across the bar called it hidden
    for half_width in (0.2, 0.3, 0.4):
        found = finder.find(_ball_behind_a_bar(rng, half_width, (175, 178, 170)), "disc", colour, min_r=8, max_r=120)
        assert [(round(s.x), round(s.y)) for s in found] == [(320, 240)] and abs(found[0].r - 40) <= 2
    assert finder.find(_ball_behind_a_bar(rng, 0.4, (70, 75, 80)), "disc", colour, min_r=8, max_r=120) == []
    # Over its side, with the outline clear all round where it shows, what
    # the bar hides at the core's ends is hidden too: the ball scores as
    # whole (0.68-0.90 while only darker things hid it there; at 0.5, 42 %
    # hidden, it was missed).
    for at in (0.5, 0.7, 0.9):
        found = finder.find(_ball_behind_a_bar(rng, 0.4, (175, 178, 170), at=at), "disc", colour, min_r=8, max_r=120)
        assert len(found) == 1 and abs(found[0].x - 320) <= 6 and abs(found[0].r - 40) <= 4
        assert at == 0.5 or found[0].score >= 0.95


def test_balls_touching_in_piles():
    # Boxes, rows and two layers of touching balls: each its own disc, and
    # nothing on the frames without them.
    found, missed, false = tally_case("piles", 8, 4)
    # 0.17 when a pile was one blob to the search; 0.54 before the peaks that
    # failed were tried again beside their neighbours as refined; 0.58 while
    # a neighbour's rim ended at its peak's disc, short of the neck the blob
    # fills between two balls, and a peak with no neighbour of its size (two
    # layers) was not tried; 0.63 before the blob was drawn apart where the
    # frame's shading steps (the upper layer's balls, inside the blob).
    assert found >= 0.66 * (found + missed)
    assert false == 0


def test_two_layers_whose_outline_shows_no_ball():
    # 26 balls in two layers fill one blob whose outer balls all fall short
    # (their rims touch neighbours): none was found while the blob's shading
    # was read only round a ball found already.
    (calibrated, items), = case_sets("piles", 5, 0, colours=("yellow",), seed=1)
    frame, truth = items[4]
    m = bench.match(kf.Finder(seed=1).find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc")
    assert len(truth.discs) == 26
    assert m.found >= 6 and not m.false_finds


# Two layers of balls whose shading steps inside each by more than the
# creases between them, and whose circles show on a little less of their round
# than a lone ball's must (found 5 of 15 and 4 of 11 before); and balls whose
# outline steps softly against their neighbours, drawing no peak of their own
# once the blob is split, found beside the balls found (4 of 20, 3 of 16).
@pytest.mark.parametrize("seed, colour, index, balls, least", [
    (1, "orange", 3, 15, 8), (1, "purple", 3, 11, 6), (2, "green", 1, 20, 7), (2, "red", 2, 16, 5)])
def test_piles_read_by_their_shading(seed, colour, index, balls, least):
    (calibrated, items), = case_sets("piles", index + 1, 0, colours=(colour,), seed=seed)
    frame, truth = items[index]
    m = bench.match(kf.Finder(seed=1).find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc")
    assert len(truth.discs) == balls
    assert m.found >= least and not m.false_finds


def test_a_box_of_twenty_balls_is_reported_whole():
    # A box holds more balls of one colour than the finds of a frame were
    # once capped at (16); max_shapes still caps them when asked.
    (calibrated, items), = case_sets("piles", 8, 0, colours=("yellow",), seed=6)
    finder = kf.Finder(seed=1)
    full = [(frame, truth) for frame, truth in items if len(truth.discs) == 20]
    assert len(full) == 2
    for frame, truth in full:
        found = bench.match(finder.find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc").found
        assert found >= 19
        assert len(finder.find(frame, "disc", calibrated, min_r=8, max_r=120, max_shapes=16)) == 16


def test_a_reflection_is_no_ball():
    # A glossy floor mirrors each ball just below it, in a colour faded
    # toward the floor's: the ball is found, its image is not.
    found = missed = images = 0
    for calibrated, items in case_sets("reflection", 10, 0):
        finder = kf.Finder(seed=1)
        for frame, truth in items:
            m = bench.match(finder.find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc")
            found, missed = found + m.found, missed + m.missed
            images += sum(where == "reflection" for _, where in m.false_finds)
    assert found >= 0.9 * (found + missed)
    assert images <= 1  # 3 when nothing told a ball's image from a ball


def test_a_mat_cut_by_the_frame_is_no_ball():
    # A large square mat of the colour with a corner out of the frame: its
    # sides run near a circle and a square has no second harmonic, so it
    # scored 0.64-0.65 as a disc (the last frame of each set has one).
    for colour, n in [("yellow", 3), ("pink", 5)]:
        (frame0, truth0), items = cases.case_set("reflection", colour, n, 3, seed=1)
        calibrated = kf.calibrate(frame0, [truth0.calibration_rect()]).colour
        frame, truth = items[-1]
        m = bench.match(kf.Finder(seed=1).find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc")
        assert not truth.discs and m.false_finds == [], colour
    # A large pale ball cut by the frame's top, its shaded underside lost in a
    # black shirt, has as strong a fourth harmonic; its outline is an arc,
    # not straight sides, and it is still found.
    (_, items), = bench.pale_sets(34, 1, colours=("blue",))
    calibrated = kf.calibrate(items[0][0], [items[0][1].calibration_rect()]).colour
    frame, truth = items[33]
    m = bench.match(kf.Finder(seed=1).find(frame, "disc", calibrated, min_r=8, max_r=120), truth, "disc")
    assert m.found == len(truth.discs) == 2


def test_a_polygon_of_the_colour_is_no_ball():
    # Five to seven straight sides, nothing in front: too weak a fourth
    # harmonic for the square's test (a pentagon scored 0.73, a heptagon 0.92).
    rng = np.random.default_rng(3)
    colour = _red_ball_colour(rng)
    y, x = np.mgrid[0:480, 0:640].astype(float)
    finder = kf.Finder(seed=1)
    for sides in (5, 6, 7):
        for turn in (0.0, 0.3):
            inside = np.ones((480, 640), bool)
            for k in range(sides):
                a = turn + 2 * np.pi * (k + 0.5) / sides
                inside &= (x - 320) * np.cos(a) + (y - 240) * np.sin(a) <= 40 * np.cos(np.pi / sides)
            frame = np.full((480, 640, 3), (70.0, 75.0, 80.0)) + rng.normal(0, 6, (480, 640, 1))
            frame = np.where(inside[..., None], np.array((190, 40, 40)) + rng.normal(0, 5, (480, 640, 1)), frame)
            assert finder.find(np.clip(frame, 0, 255).astype(np.uint8), "disc", colour, min_r=8, max_r=120) == []


def test_small_balls_partly_hidden():
    # Balls of radius 6-10, some partly behind clutter: a small ball's outline
    # is read from few points a pixel apart and reads further from round.
    found, missed, false = tally_case("small", 12, 4, min_r=5, colours=("orange", "green"), seed=2)
    assert found >= 0.92 * (found + missed)  # 0.91 while they had to be as round as large ones
    assert false <= 1


def test_finds_keep_to_the_sizes_asked_for():
    # Placing a find moves its size by up to a pixel and the outline may read
    # it larger: specks just under min_r were reported, and balls over max_r.
    sizes = []
    for calibrated, items in case_sets("small", 12, 4):
        finder = kf.Finder(seed=1)
        for frame, _ in items:
            sizes += [d.r for d in finder.find(frame, "disc", calibrated, min_r=5, max_r=8)]
            sizes += [r for e in finder.find(frame, "ellipse", calibrated, min_r=5, max_r=8) for r in (e.a, e.b)]
    assert sizes and all(5 <= r <= 8 for r in sizes)


@pytest.mark.skipif(not (robocup.DEFAULT_DIR / "gt.json").exists(), reason="the RoboCup frames are not here")
def test_robocup_frames():
    # Every fourth frame, calibrated on the benchmark's ball: more balls found
    # than a colour mask's contours find, and few false ones.
    items = robocup.load(robocup.DEFAULT_DIR)
    name, frame0, truth0 = robocup.find_entry(items, robocup.DEFAULT_CALIBRATION)
    calibrated = kf.calibrate(frame0, [robocup.calibration_rect(truth0)]).colour
    found, missed, false, _ = tally([(f, t) for _, f, t in items[::4]], "disc", calibrated, min_r=10, max_r=130)
    assert found >= 0.5 * (found + missed)
    assert false <= 0.1 * found


@pytest.mark.skipif(not (robocup.DEFAULT_DIR / "gt.json").exists(), reason="the RoboCup frames are not here")
def test_a_clear_ball_does_not_depend_on_the_seed():
    # Frames whose ball sits in a group with clutter beside it (inner arcs, a
    # touching piece): a first random proposal on the clutter used to spend
    # the ball's outline under some seeds. A ball scoring 0.85 under any seed
    # is found under every seed.
    items = robocup.load(robocup.DEFAULT_DIR)
    name, frame0, truth0 = robocup.find_entry(items, robocup.DEFAULT_CALIBRATION)
    calibrated = kf.calibrate(frame0, [robocup.calibration_rect(truth0)]).colour
    for _, frame, truth in (items[90], items[128], items[175]):
        by_seed = [kf.Finder(seed=seed).find(frame, "disc", calibrated, min_r=10, max_r=130) for seed in range(10)]
        clear = [(t.x, t.y) for t in truth.discs
                 if any(bench.disc_matches(f, t) and f.score >= 0.85 for finds in by_seed for f in finds)]
        for x, y in clear:
            found = [any(bench.disc_matches(f, t) for f in finds for t in truth.discs if (t.x, t.y) == (x, y))
                     for finds in by_seed]
            assert all(found), f"the clear ball at ({x:.0f}, {y:.0f}) is missed under seeds " \
                f"{[s for s, ok in enumerate(found) if not ok]}"


def test_an_ellipse_whose_sheen_cuts_its_runs_is_no_squeezed_ball():
    # A pink ellipse of axis ratio 1.4 by the frame's top edge, its runs cut by
    # its sheen: weighed as a squeezed ball, the cuts read as something in
    # front (0.82), until an ellipse kept the stricter test of such cuts.
    items = scenes.scene_set("pink", 6, seed=0)
    frame0, truth0 = items[0]
    calibrated = kf.calibrate(frame0, [truth0.calibration_rect()]).colour
    frame, truth = items[5]
    finds = kf.Finder(seed=0).find(frame, "disc", calibrated, min_r=8, max_r=120)
    m = bench.match(finds, truth, "disc")
    assert [where for _, where in m.false_finds] == []
    assert m.found == len(truth.discs)
