"""Calibrate a colour on part of a frame, save it, and search with it.

    python examples/calibrate.py out/ball.json

The built-in scene's red disc is sampled in one rectangle; the colour file
written is what `kestrune calibrate IMAGE --rect ... --save PATH` writes, and
any COLOUR option of the command takes it.
"""
from __future__ import annotations

import sys
from pathlib import Path

import kestrune_find as kf
from kestrune_find.calibrate import calibrate
from kestrune_find.scene import render_scene


def main(path: Path) -> int:
    frame = render_scene().frame
    result = calibrate(frame, rects=[(110, 100, 190, 180)], name=str(path))
    print(result.call())
    print(f"takes {result.selection_coverage:.1%} of the selection, {result.rest_coverage:.1%} of the rest")
    for warning in result.warnings:
        print("warning:", warning)
    path.parent.mkdir(parents=True, exist_ok=True)
    kf.save_colour(result.colour, path)
    discs = kf.find(frame, "disc", kf.load_colour(path))
    print(discs[0] if discs else "no disc")
    return 0 if discs else 1


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1] if len(sys.argv) > 1 else "out/ball.json")))
