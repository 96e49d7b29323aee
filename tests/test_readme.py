"""The README and docs/*.md run as written: every Python block, every `kestrune`
command (in a folder holding the files they name: photo.png, photos/,
clip.avi), and every output they show is what the command prints. Install and
make commands are what CI itself runs (make test, make wheel); the
camera-with-a-window command is named in the docs as the exception, and
`kestrune tune` (a server that runs until stopped) is tested with the tuning
page. Every relative link points at a file and heading that exist."""
from __future__ import annotations

import json
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import scene_clip

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]


def name(page: Path) -> str:
    return page.relative_to(ROOT).as_posix()


def fenced_blocks(page: Path) -> list[tuple[str, str, int]]:
    """(language, body, line of the opening fence) of every fenced block."""
    text = page.read_text()
    return [(m.group(1), m.group(2), text[:m.start()].count("\n") + 1)
            for m in re.finditer(r"^```(\w*)\n(.*?)^```", text, re.S | re.M)]


def said_to_print(page: Path, body: str) -> str:
    """What the text right after a block says it prints ("prints `...`"), or ""."""
    after = page.read_text().split(body, 1)[1].removeprefix("```")
    said = re.match(r"\s*prints `([^`]+)`", after)
    return said.group(1) if said else ""


BLOCKS = [(page, lang, body, line) for page in PAGES for lang, body, line in fenced_blocks(page)]
PYTHON_BLOCKS = [(body, said_to_print(page, body), f"{name(page)}:{line}") for page, lang, body, line in BLOCKS
                 if lang == "python"]
# The tuning server does not stop on its own; its own tests start and stop each such line.
COMMANDS = [(cmd.split("#")[0].strip(), f"{name(page)}:{line + k + 1}") for page, lang, body, line in BLOCKS
            if lang == "" for k, cmd in enumerate(body.splitlines())
            if cmd.startswith("kestrune ") and not cmd.startswith("kestrune tune")]


def shown_outputs() -> list[tuple[str, str, str]]:
    """(command, output shown, where) for each block showing a table of finds: the
    demo's when it has errors against the truth, else the last `kestrune find` line
    shown before it."""
    found = []
    for page in PAGES:
        blocks = fenced_blocks(page)
        for k, (lang, body, line) in enumerate(blocks):
            if lang or not body.startswith("shape "):
                continue
            finds = [c.split("#")[0].strip() for _, b, _ in blocks[:k] for c in b.splitlines()
                     if c.startswith("kestrune find ")]
            if "px err" in body.splitlines()[0]:
                command = "kestrune demo --out demo.png"
            else:
                assert finds, f"{name(page)}:{line}: no `kestrune find` before the output shown"
                command = finds[-1]
            found.append((command, body, f"{name(page)}:{line}"))
    return found


OUTPUTS = shown_outputs()


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


def run_command(command: str, folder: Path) -> subprocess.CompletedProcess[str]:
    args = shlex.split(command)
    return subprocess.run([sys.executable, "-m", "kestrune_find", *args[1:]], cwd=folder, capture_output=True,
                          text=True, timeout=300)


def test_the_docs_have_what_this_test_runs():
    assert len(PYTHON_BLOCKS) >= 4 and len(COMMANDS) >= 8 and len(OUTPUTS) >= 3
    assert any(said for _, said, _ in PYTHON_BLOCKS)
    assert len(README.read_text().splitlines()) < 320, "README.md: keep it short, move the details to docs/"


@pytest.mark.parametrize("code, said, where", PYTHON_BLOCKS, ids=[where for _, _, where in PYTHON_BLOCKS])
def test_python_block_runs(code, said, where, folder):
    result = subprocess.run([sys.executable, "-c", code], cwd=folder, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"{where}:\n{result.stderr}"
    assert said in result.stdout, f"{where}: the text says it prints {said!r}, it printed\n{result.stdout}"


@pytest.mark.parametrize("command, where", COMMANDS, ids=[f"{where} {c}" for c, where in COMMANDS])
def test_command_runs(command, where, folder):
    result = run_command(command, folder)
    assert result.returncode == 0, f"{where}: {command}\n{result.stderr}"
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("command, shown, where", OUTPUTS, ids=[where for _, _, where in OUTPUTS])
def test_the_output_shown_is_what_the_command_prints(command, shown, where, folder):
    printed = run_command(command, folder).stdout
    assert shown.strip() in printed, f"{where}: {command} printed\n{printed}"


def test_the_json_shown_has_the_fields_find_prints(folder):
    shown = [json.loads(body) for _, _, body, _ in BLOCKS if body.startswith('{"shapes"')]
    assert shown
    printed = json.loads(run_command("kestrune find photo.png --circle red --json", folder).stdout)
    for one in shown:
        assert [list(s) for s in one["shapes"]] == [list(s) for s in printed["shapes"]]
        for a, b in zip(one["shapes"], printed["shapes"]):
            assert a["shape"] == b["shape"] and abs(a["x"] - b["x"]) < 0.05 and abs(a["r"] - b["r"]) < 0.05


def anchor(heading: str) -> str:
    """The anchor the renderer gives a heading: lowercase, spaces to '-', other
    punctuation than '-' and '_' dropped."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(page: Path) -> set[str]:
    text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.S | re.M)
    seen: dict[str, int] = {}
    out = set()
    for heading in re.findall(r"^#{1,6} (.+)$", text, re.M):
        base = anchor(heading)
        # A repeated heading gets -1, -2, ... in order.
        out.add(base if base not in seen else f"{base}-{seen[base]}")
        seen[base] = seen.get(base, 0) + 1
    return out


def relative_links(page: Path) -> list[tuple[Path, str, int]]:
    """(page, target, line) of every link that is not a URL, outside code."""
    text = re.sub(r"^```.*?^```", lambda m: "\n" * m.group(0).count("\n"), page.read_text(), flags=re.S | re.M)
    text = re.sub(r"`[^`\n]*`", "", text)
    return [(page, m.group(1), text[:m.start()].count("\n") + 1) for m in re.finditer(r"\]\(([^)\s]+)\)", text)
            if not re.match(r"[a-z]+:", m.group(1))]


LINKS = [link for page in PAGES for link in relative_links(page)]


@pytest.mark.parametrize("page, target, line", LINKS, ids=[f"{name(p)}:{line} {t}" for p, t, line in LINKS])
def test_relative_link_points_at_what_exists(page, target, line):
    path, _, fragment = target.partition("#")
    file = (page.parent / path).resolve() if path else page
    assert file.exists(), f"{name(page)}:{line}: {target}: no such file"
    if fragment:
        assert file.suffix == ".md" and fragment in anchors(file), f"{name(page)}:{line}: {target}: no such heading"


@pytest.mark.parametrize("heading, expected", [
    ("Colours: built-in names and calibration", "colours-built-in-names-and-calibration"),
    ("Finding shapes: `kestrune_find`", "finding-shapes-kestrune_find"),
    ("Set the colour by looking: `kestrune tune`", "set-the-colour-by-looking-kestrune-tune"),
    ("The module `kestrune`", "the-module-kestrune"),
])
def test_anchors_follow_the_renderers_rule(heading, expected):
    assert anchor(heading) == expected
