"""Find coloured shapes in live frames from a camera or a video file (OpenCV).

    python examples/camera.py 0 --circle red             # camera 0
    python examples/camera.py clip.mp4 --lines blue --show
    python examples/camera.py clip.avi --circle ball.json --every-frame

The shape options are those of find_shapes.py (--circle, --stripe, --lines,
--ellipse with colour names or files from calibrate.py --save, --min-r,
--max-r, --seed); with none, it looks for red discs. OpenCV delivers B, G, R
frames: the bounds are turned for that order (find_shapes.bgr_bounds) instead of
converting every frame. Every buffer is allocated once, for the first frame's
size, and reused; nothing is allocated per frame by the pipeline.

Prints the frame rate and the latest finds once a second (every frame's finds
with --every-frame) and, at the end, how many frames had each shape. --show
needs an OpenCV build with windows (opencv-python, not the -headless one).
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from collections import Counter
from typing import Any, cast

import numpy as np

from find_shapes import Found, Finder, Image, add_shape_arguments, describe, requests, resolve_colour, seed_rand


def window_problem(cv2: Any) -> str | None:
    """Why frames cannot be shown here, or None when they can."""
    if sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return "--show needs a display (DISPLAY is not set)"
    try:
        cv2.namedWindow("kestrune")
    except cv2.error:
        return ("--show needs an OpenCV build with windows; this one has none "
                "(opencv-python-headless?): install opencv-python, or run without --show")
    return None


def draw(cv2: Any, frame: Any, found: list[Found]) -> None:
    height, width = frame.shape[:2]
    for f in found:
        fit: Any = f.fit
        if f.shape == "disc":
            cv2.circle(frame, (fit["x"], fit["y"]), fit["r"], (255, 255, 255), 2)
        elif f.shape == "ellipse":
            cv2.ellipse(frame, ((fit["x"], fit["y"]), (2 * fit["a"], 2 * fit["b"]), float(np.degrees(fit["theta"]))),
                        (255, 255, 255), 2)
        else:
            dx, dy = -fit["ny"], fit["nx"]
            k = 4 * max(width, height) / max(1.0, float(np.hypot(dx, dy)))
            p0 = (int(fit["px"] - k * dx), int(fit["py"] - k * dy))
            p1 = (int(fit["px"] + k * dx), int(fit["py"] + k * dy))
            cv2.line(frame, p0, p1, (255, 0, 255), 1)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", help="camera index (0, 1, ...) or a video file")
    add_shape_arguments(parser)
    parser.add_argument("--show", action="store_true", help="show the frames with the shapes drawn")
    parser.add_argument("--every-frame", action="store_true", help="print every frame's finds")
    args = parser.parse_args(argv)
    if not (args.circle or args.stripe or args.lines or args.ellipse):
        args.circle = [resolve_colour("red")]

    import cv2  # only needed to run, not to import this file

    if args.show and (problem := window_problem(cv2)):
        print(problem, file=sys.stderr)
        return 2
    capture = cv2.VideoCapture(int(args.source) if args.source.isdigit() else args.source)
    if not capture.isOpened():
        print(f"cannot open {args.source}", file=sys.stderr)
        return 1
    seed_rand(args.seed)

    ok, bgr = capture.read()
    if not ok:
        print("no frame", file=sys.stderr)
        return 1
    height, width, _ = bgr.shape
    finder = Finder(height, width, bgr=True)
    wanted = requests(args)
    hits: Counter[str] = Counter()  # frames in which each "colour shape" was found
    frames, t_last = 0, time.perf_counter()
    total, t_start = 0, t_last
    while ok:
        found: list[Found] = []
        for shape, colour in wanted:
            found += finder.find(cast(Image, bgr), shape, colour, args.min_r, args.max_r)
        hits.update({f"{f.colour} {f.shape}" for f in found})
        overlay = "; ".join(f"{f.colour} {f.shape} {describe(f)}" for f in found) or "nothing found"
        frames += 1
        total += 1
        if args.every_frame:
            print(f"frame {total}: {overlay}")
        now = time.perf_counter()
        if now - t_last >= 1.0:
            if not args.every_frame:
                print(f"{frames / (now - t_last):6.1f} fps  {overlay}")
            frames, t_last = 0, now
        if args.show:
            draw(cv2, bgr, found)  # after the search: drawing must not feed the next colour's mask
            cv2.imshow("kestrune", bgr)
            if cv2.waitKey(1) & 0xFF in (27, ord("q")):
                break
        ok, bgr = capture.read(bgr)  # into the same frame buffer when the size holds
    capture.release()
    if args.show:
        cv2.destroyAllWindows()
    elapsed = time.perf_counter() - t_start
    print(f"{total} frames in {elapsed:.2f} s: {total / elapsed:.1f} fps (decoding included)")
    for shape, colour in wanted:
        label = f"{colour.name} {shape}"
        print(f"  {label}: found in {hits[label]} of {total} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main())
