"""The find options: one table, checked once, resolved into one search's values."""
from __future__ import annotations

import dataclasses
import math
import re

import numpy as np
import pytest

import kestrune_find as kf
from kestrune_find.cli import build_parser
from kestrune_find.cli.common import find_options
from kestrune_find.options import MIN_SCORE, OPTIONS, FindOptions, SearchOptions
from kestrune_find.scene import render_scene
from kestrune_find.tune.session import TuneError, parse_options


@pytest.mark.parametrize("kwargs, error, message", [
    ({"min_r": -1}, ValueError, r"^min_r must be at least 0, got -1"),
    ({"max_r": math.nan}, ValueError, r"^max_r must be a finite number"),
    ({"min_width": math.inf}, ValueError, r"^min_width must be a finite number"),
    ({"max_width": 10 ** 400}, ValueError, r"^max_width must be a finite number"),
    ({"min_score": 1.5}, ValueError, r"^min_score must be from 0 to 1"),
    ({"stretch": 1.61}, ValueError, r"^stretch must be from 1 to 1.6"),
    ({"squeeze": 0.99}, ValueError, r"^squeeze must be from 1 to 1.6"),
    ({"max_shapes": 10_001}, ValueError, r"^max_shapes must be a non-negative integer up to 10000"),
    ({"max_shapes": 2 ** 70}, ValueError, r"^max_shapes .* up to 10000"),
    ({"max_shapes": -1}, ValueError, r"^max_shapes"),
    ({"max_shapes": 3.0}, TypeError, r"^max_shapes must be a non-negative integer, got 3.0"),
    ({"max_shapes": True}, TypeError, r"^max_shapes"),
    ({"stretch": True}, TypeError, r"^stretch must be a finite number, got True"),
    ({"min_r": "5"}, TypeError, r"^min_r must be a finite number, got '5'"),
    ({"min_r": 9, "max_r": 5}, ValueError, r"^min_r \(9\) must not exceed max_r \(5\)"),
    ({"min_width": 9, "max_width": 3}, ValueError, r"^min_width \(9\) must not exceed max_width \(3\)"),
    ({"max_r": 4}, ValueError, r"^max_r \(4\) is below min_r \(default 10\): give a smaller min_r too"),
])
def test_bad_options_are_refused_by_name(kwargs, error, message):
    with pytest.raises(error, match=message):
        FindOptions(**kwargs)
    # The same refusal through every door, before any frame is looked at.
    with pytest.raises(error, match=message):
        kf.Finder().find("not a frame", "disc", "red", **kwargs)
    with pytest.raises(error, match=message):
        FindOptions.of(kwargs)


@pytest.mark.parametrize("call, error, words", [
    (lambda: kf.Finder(seed=2 ** 64), ValueError, "seed"),
    (lambda: kf.Finder(seed=True), TypeError, "seed"),
    (lambda: kf.Finder(spacing=0.5), ValueError, "spacing"),
    (lambda: kf.Finder(min_score=math.nan), ValueError, "min_score"),
    (lambda: FindOptions(radius=3), TypeError, "radius"),
    (lambda: FindOptions.of({"radius": 3}), ValueError, "unknown option 'radius'"),
    (lambda: kf.Finder().find(np.zeros((8, 8, 3), np.uint8), "disc", "red", FindOptions(), min_r=3), TypeError,
     "not both"),
    (lambda: kf.find(np.zeros((8, 8, 3), np.uint8), "disc", "red", {"min_r": 3}), TypeError, "FindOptions"),
])
def test_finder_settings_and_option_shapes_are_refused(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_options_are_stored_as_plain_numbers_and_cannot_change():
    options = FindOptions(min_r=np.float32(2.5), max_shapes=np.int64(4), stretch=1)
    assert (options.min_r, options.max_shapes, options.stretch) == (2.5, 4, 1.0)
    assert type(options.min_r) is float and type(options.max_shapes) is int and type(options.stretch) is float
    with pytest.raises(dataclasses.FrozenInstanceError):
        options.min_r = 3.0  # type: ignore[misc]
    assert FindOptions.of({"min_r": None, "max_shapes": 4}) == FindOptions(max_shapes=4)
    assert FindOptions(max_shapes=64, stretch=1.2, min_r=3).given() == {"min_r": 3.0, "stretch": 1.2}


def _resolve(options, shape, height=480, width=640, **kwargs):
    return options.resolve(shape, height, width, seed=kwargs.pop("seed", 7), row_count=128, column_count=256,
                           **kwargs)


@pytest.mark.parametrize("options, shape, size, expected", [
    (FindOptions(), "disc", (480, 640), dict(min_r=10.0, max_r=240.0, min_width=0.0, max_width=math.inf,
                                             min_score=0.625, round_min_score=0.625, max_iterations=512)),
    (FindOptions(), "line", (480, 640), dict(min_width=0.0, max_width=12.0, min_score=0.75)),
    (FindOptions(), "stripe", (480, 640), dict(min_width=6.0, max_width=640.0, min_score=0.75)),
    (FindOptions(), "ellipse", (480, 640), dict(min_score=0.8, round_min_score=0.625, max_iterations=256)),
    (FindOptions(min_score=0.5), "ellipse", (480, 640), dict(min_score=0.5, round_min_score=0.5)),
    (FindOptions(max_width=30), "stripe", (480, 640), dict(min_width=6.0, max_width=30.0, max_shapes=64)),
    # Frames too small for the sizes asked for: nothing to search for.
    (FindOptions(), "disc", (16, 40), dict(min_r=10.0, max_r=10.0, max_shapes=0)),
    (FindOptions(max_width=3), "stripe", (480, 640), dict(min_width=6.0, max_width=6.0, max_shapes=0)),
    # A min_r beyond half the frame raises the default maximum to it.
    (FindOptions(min_r=30), "disc", (40, 80), dict(min_r=30.0, max_r=30.0, max_shapes=64)),
])
def test_resolve_gives_the_values_of_one_search(options, shape, size, expected):
    search = _resolve(options, shape, *size)
    assert isinstance(search, SearchOptions) and search.kind == shape
    assert (search.seed, search.row_count, search.column_count) == (7, 128, 256)
    assert {k: getattr(search, k) for k in expected} == expected


def test_a_finders_min_score_is_the_default_and_the_ellipses_disc_pass_follows_it():
    assert _resolve(FindOptions(), "ellipse", explicit_min_score=0.3).round_min_score == 0.3
    assert _resolve(FindOptions(min_score=0.9), "disc", explicit_min_score=0.3).min_score == 0.9
    with pytest.raises(ValueError, match="seed"):
        _resolve(FindOptions(), "disc", seed=-1)
    with pytest.raises(ValueError, match="shape must be one of"):
        _resolve(FindOptions(), "square")
    # Exactly the values a search reads, each of the type it reads.
    values = dataclasses.asdict(_resolve(FindOptions(), "disc"))
    ints = {"max_shapes", "seed", "row_count", "column_count", "max_iterations"}
    assert set(values) == {"kind", "min_r", "max_r", "min_width", "max_width", "min_score", "round_min_score",
                           "stretch", "squeeze", *ints}
    assert all(type(v) is (int if k in ints else str if k == "kind" else float) for k, v in values.items())


def test_the_commands_help_shows_the_tables_defaults_and_its_flags_leave_them_alone(capsys):
    parser = build_parser()
    with pytest.raises(SystemExit):
        parser.parse_args(["find", "--help"])
    text = re.sub(r"\s+", " ", capsys.readouterr().out)
    defaults = {o.name: o.unset if o.default is None else o.default for o in OPTIONS}
    for name in ("min_r", "max_shapes", "stretch", "squeeze"):
        help_text = re.search(rf" --{name.replace('_', '-')} \S+ (.*?)(?= --|$)", text)
        found = help_text and re.search(r"default (\S+)\)", help_text.group(1))
        assert found and float(found.group(1)) == defaults[name], name
    by_shape = re.search(r"default by shape: ([^)]*)\)", text)
    assert by_shape and by_shape.group(1) == ", ".join(f"{k} {v:g}" for k, v in MIN_SCORE.items())
    args = parser.parse_args(["find", "x.png", "--circle", "red"])
    assert find_options(args, parser) == FindOptions()
    args = parser.parse_args(["find", "x.png", "--circle", "red", "--max-r", "40", "--max-shapes", "3"])
    assert find_options(args, parser) == FindOptions(max_r=40, max_shapes=3)


@pytest.mark.parametrize("query, words", [
    ({"max_shapes": "20000"}, "max_shapes must be a non-negative integer up to 10000"),
    ({"min_r": "nan"}, "min_r must be a finite number"),
    ({"stretch": "x"}, "stretch must be a number"),
])
def test_the_tuning_pages_options_are_checked_by_the_table(query, words):
    with pytest.raises(TuneError, match=words) as refused:
        parse_options(query)
    assert refused.value.status == 400
    assert parse_options({"shape": "line", "max_width": "8", "squeeze": "1.5"}) == ("line", FindOptions(max_width=8))


def test_options_given_whole_find_what_their_keywords_find():
    frame = render_scene().frame
    for shape, colour in [("disc", "red"), ("ellipse", "green"), ("stripe", "yellow")]:
        given = FindOptions(min_r=12, max_shapes=2)
        assert kf.Finder(seed=3).find(frame, shape, colour, given) == kf.Finder(seed=3).find(
            frame, shape, colour, min_r=12, max_shapes=2) != []
