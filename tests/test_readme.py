"""The README runs as written: every Python block, every `kestrune` command
(in a folder holding the files the README names: photo.png, photos/,
clip.avi), and the demo output it shows is what `kestrune demo` prints.
Install and make commands are what CI itself runs (make test, make wheel);
the camera-with-a-window command is named in the README as the exception."""
from __future__ import annotations

import json
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import scene_clip

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = [(m.group(1), m.group(2), README.read_text()[:m.start()].count("\n") + 1)
          for m in re.finditer(r"```(\w*)\n(.*?)```", README.read_text(), re.S)]
PYTHON_BLOCKS = [(body, line) for lang, body, line in BLOCKS if lang == "python"]
COMMANDS = [(cmd.split("#")[0].strip(), line) for lang, body, line in BLOCKS if lang == ""
            for cmd in body.splitlines() if cmd.startswith("kestrune ")]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """photo.png (the built-in scene), photos/ (three pictures), clip.avi (ten frames)."""
    pil = pytest.importorskip("PIL.Image")
    from kestrune_find.scene import render_scene

    root = tmp_path_factory.mktemp("readme")
    frame = render_scene().frame
    pil.fromarray(frame).save(root / "photo.png")
    (root / "photos").mkdir()
    for k in range(3):
        pil.fromarray(render_scene(seed=k).frame).save(root / "photos" / f"frame{k}.png")
    scene_clip(root / "clip.avi", frames=10, shift=3)
    return root


def test_the_readme_has_what_this_test_runs():
    assert len(PYTHON_BLOCKS) >= 4 and len(COMMANDS) >= 6


@pytest.mark.parametrize("code, line", PYTHON_BLOCKS, ids=[f"line {line}" for _, line in PYTHON_BLOCKS])
def test_python_block_runs(code, line, folder):
    result = subprocess.run([sys.executable, "-c", code], cwd=folder, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"README line {line}:\n{result.stderr}"


@pytest.mark.parametrize("command, line", COMMANDS, ids=[c for c, _ in COMMANDS])
def test_command_runs(command, line, folder):
    args = shlex.split(command)
    result = subprocess.run([sys.executable, "-m", "kestrune_find", *args[1:]], cwd=folder, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, f"README line {line}: {command}\n{result.stderr}"
    assert "Traceback" not in result.stderr


def test_the_demo_output_shown_is_what_the_demo_prints(folder):
    shown = next(body for lang, body, _ in BLOCKS if lang == "" and "\nshape " in body)
    printed = subprocess.run([sys.executable, "-m", "kestrune_find", "demo", "--out", "demo.png"], cwd=folder,
                             capture_output=True, text=True, timeout=120).stdout
    assert shown.strip() in printed


def test_the_json_shown_has_the_fields_find_prints(folder):
    shown = json.loads(next(body for lang, body, _ in BLOCKS if body.startswith('{"shapes"')))
    printed = json.loads(subprocess.run([sys.executable, "-m", "kestrune_find", "find", "photo.png", "--circle", "red",
                                         "--json"], cwd=folder, capture_output=True, text=True, timeout=120).stdout)
    assert [list(s) for s in shown["shapes"]] == [list(s) for s in printed["shapes"]]
    for a, b in zip(shown["shapes"], printed["shapes"]):
        assert a["shape"] == b["shape"] and abs(a["x"] - b["x"]) < 0.05 and abs(a["r"] - b["r"]) < 0.05
