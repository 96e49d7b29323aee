"""kestrune camera: the shapes in live frames of a camera or a video file."""
from __future__ import annotations

import argparse
import os
import re
import sys
import time
from typing import Any

from .. import camera as camera_loop
from ..draw import draw_shapes
from ..shapes import Shape
from .common import (PROG, Failure, add_shape_command, add_timings, describe, find_options, positive,
                     shape_requests)


def window_problem(cv2: Any) -> str | None:
    """Why frames cannot be shown here, or None when they can."""
    if sys.platform.startswith("linux") and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return "--show needs a display (DISPLAY is not set); run without --show"
    if re.search(r"GUI: +NONE", cv2.getBuildInformation()) or not _can_open_window(cv2):
        return ("--show needs an OpenCV build with windows, and this one has none (opencv-python-headless?): "
                "install opencv-python, or run without --show")
    return None


def _can_open_window(cv2: Any) -> bool:
    try:
        cv2.namedWindow(PROG)
    except cv2.error:
        return False
    return True


def run_camera(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    wanted = shape_requests(args, parser)
    options = find_options(args, parser)
    cv2 = camera_loop.opencv()
    if args.show and (problem := window_problem(cv2)):
        raise Failure(problem, 2)
    start, frames, stage_ms = time.perf_counter(), 0, dict[str, float]()

    def on_frame(index: int, frame: Any, found: list[Shape], tracker: camera_loop.Tracker) -> bool:
        nonlocal start, frames, stage_ms
        words = "; ".join(f"{s.colour} {s.shape} {describe(s)} score {s.score:.2f}" for s in found)
        words = words or "nothing found"
        frames += 1
        add_timings(stage_ms, tracker.timings)
        if args.every_frame:
            stages = ""
            if args.timings:
                stages = ("  [" + " ".join(f"{k} {v:.2f}" for k, v in tracker.timings.items())
                          + f" ms; {tracker.regional} of {len(wanted)} in a region]")
            print(f"frame {index + 1}: {words}{stages}", flush=True)
        now = time.perf_counter()
        if now - start >= 1.0:
            if not args.every_frame:
                stages = ""
                if args.timings:
                    stages = "  [" + " ".join(f"{k} {v / frames:.2f}" for k, v in stage_ms.items()) + " ms per frame]"
                print(f"{frames / (now - start):6.1f} fps  {words}{stages}", flush=True)
            start, frames, stage_ms = now, 0, {}
        if args.show:
            # After the search: drawings are not searched. OpenCV's frames are B, G, R.
            cv2.imshow(PROG, draw_shapes(frame, found, bgr=True, names=[c.name for _, c in wanted]))
            return bool(cv2.waitKey(1) & 0xFF not in (27, ord("q")))
        return True

    try:
        summary = camera_loop.run(args.source, wanted, options, seed=args.seed, full_every=args.full_every,
                                  max_frames=args.max_frames, on_frame=on_frame)
    finally:
        if args.show:
            cv2.destroyAllWindows()
    print(f"{summary.frames} frames in {summary.seconds:.2f} s: {summary.frames / max(summary.seconds, 1e-9):.1f} fps "
          "(decoding included)")
    for shape, colour in wanted:
        label = f"{colour.name} {shape}"
        print(f"  {label}: {summary.finds[label]} verified finds, in {summary.frames_with[label]} of "
              f"{summary.frames} frames")
    print(f"  searched in a region: {summary.regional} of {summary.searches} searches")
    if args.timings:
        per_frame = {k: v / summary.frames for k, v in summary.timings.items()}
        print("  ms per frame: " + ", ".join(f"{k} {v:.2f}" for k, v in per_frame.items())
              + f", total {sum(per_frame.values()):.2f}")
    return 0


def add(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """The `camera` subcommand."""
    camera = add_shape_command(
        commands, "camera", "find shapes in live frames of a camera or a video file",
        description="Find shapes in every frame of a camera or video file (OpenCV). After a find, only a region "
        "around it is searched, and the whole frame again when it is lost and every --full-every frames. "
        "Prints the frame rate once a second and a summary at the end.",
        examples=["0 --circle red --timings", "clip.avi --lines blue --show"],
        target="source", target_help="camera index (0, 1, ...) or a video file")
    camera.add_argument("--show", action="store_true", help="show the frames with the shapes drawn (q or Esc stops)")
    camera.add_argument("--every-frame", action="store_true", help="print every frame's finds")
    camera.add_argument("--timings", action="store_true", help="print the time of each stage")
    camera.add_argument("--full-every", type=positive, default=30, metavar="N",
                        help="search the whole frame at least every N frames (default 30)")
    camera.add_argument("--max-frames", type=positive, metavar="N", help="stop after N frames")
    camera.set_defaults(run=run_camera, parser=camera)
