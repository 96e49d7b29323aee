"""Find coloured shapes in live frames from a camera or a video file (OpenCV).

    python examples/camera.py 0 --circle red             # camera 0
    python examples/camera.py clip.mp4 --lines blue --show

Every buffer is allocated once, for the first frame's size, and reused: the RGB
frame, the mask, the point arrays and the inlier mask. Nothing is allocated per
frame by the pipeline. The frame rate is printed once a second.
"""
from __future__ import annotations

import argparse
import ctypes
import sys
import time

import numpy as np

from find_shapes import COLOURS, Finder


def main(argv: list[str] | None = None) -> int:
    import cv2  # only needed to run, not to import this file

    names = sorted(COLOURS)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", help="camera index (0, 1, ...) or a video file")
    parser.add_argument("--circle", nargs="*", default=[], choices=names, metavar="COLOUR")
    parser.add_argument("--lines", nargs="*", default=[], choices=names, metavar="COLOUR")
    parser.add_argument("--ellipse", nargs="*", default=[], choices=names, metavar="COLOUR")
    parser.add_argument("--show", action="store_true", help="show the frames with the shapes drawn")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    if not (args.circle or args.lines or args.ellipse):
        args.circle = ["red"]

    capture = cv2.VideoCapture(int(args.source) if args.source.isdigit() else args.source)
    if not capture.isOpened():
        print(f"cannot open {args.source}", file=sys.stderr)
        return 1
    ctypes.CDLL(None).srand(ctypes.c_uint(args.seed))

    ok, bgr = capture.read()
    if not ok:
        print("no frame", file=sys.stderr)
        return 1
    height, width, _ = bgr.shape
    rgb = np.empty((height, width, 3), np.uint8)
    finder = Finder(height, width)
    frames, t_last = 0, time.perf_counter()
    total, t_start = 0, t_last
    while ok:
        cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB, dst=rgb)
        overlay: list[str] = []
        for colour in args.circle:
            c = finder.circle(finder.edge_points(rgb, colour))
            if c:
                overlay.append(f"{colour} disc ({c['x']}, {c['y']}) r {c['r']}")
                if args.show:
                    cv2.circle(bgr, (c["x"], c["y"]), c["r"], (255, 255, 255), 2)
        for colour in args.lines:
            for line in finder.lines(finder.edge_points(rgb, colour)):
                overlay.append(f"{colour} line ({line['px']}, {line['py']})")
                if args.show:
                    dx, dy = -line["ny"], line["nx"]
                    k = 4 * max(width, height) / max(1.0, float(np.hypot(dx, dy)))
                    p0 = (int(line["px"] - k * dx), int(line["py"] - k * dy))
                    p1 = (int(line["px"] + k * dx), int(line["py"] + k * dy))
                    cv2.line(bgr, p0, p1, (255, 0, 255), 1)
        for colour in args.ellipse:
            e = finder.ellipse(finder.edge_points(rgb, colour))
            if e:
                overlay.append(f"{colour} ellipse ({e['x']:.0f}, {e['y']:.0f})")
                if args.show:
                    cv2.ellipse(bgr, ((e["x"], e["y"]), (2 * e["a"], 2 * e["b"]), float(np.degrees(e["theta"]))),
                                (255, 255, 255), 2)
        frames += 1
        total += 1
        now = time.perf_counter()
        if now - t_last >= 1.0:
            print(f"{frames / (now - t_last):6.1f} fps  " + "; ".join(overlay))
            frames, t_last = 0, now
        if args.show:
            cv2.imshow("kestrune", bgr)
            if cv2.waitKey(1) & 0xFF in (27, ord("q")):
                break
        ok, bgr = capture.read(bgr)  # into the same frame buffer when the size holds
    capture.release()
    elapsed = time.perf_counter() - t_start
    print(f"{total} frames in {elapsed:.2f} s: {total / elapsed:.1f} fps (decoding included)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
