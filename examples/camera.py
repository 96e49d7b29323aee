"""Follow red discs in a camera or a video file with OpenCV.

    python examples/camera.py 0           # camera 0
    python examples/camera.py clip.avi

`kestrune camera` does this with every option; here is the loop a program of
your own would run. OpenCV gives B, G, R frames: the tracker takes them as
they come (bgr=True) and searches a region around the last finds.
"""
from __future__ import annotations

import sys

import kestrune_find as kf
from kestrune_find.camera import Tracker, capture, frames


def main(source: str) -> int:
    tracker = Tracker([("disc", "red")], bgr=True, seed=0)
    opened = capture(source)
    try:
        for index, frame in enumerate(frames(opened)):
            found = tracker.find(frame)
            where = ", ".join(f"({d.x:.1f}, {d.y:.1f}) r {d.r:.1f}" for d in found if isinstance(d, kf.Disc)) or "-"
            print(f"frame {index + 1}: {where}  ({tracker.regional} searched in a region)")
    finally:
        opened.release()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "0"))
