"""The annotated RoboCup frames (608x800 JPEG, yellow balls) as frames and truth.

    frames = robocup.load(Path("../shared/realdata/robocup_msl_ball"))

Each item is (name, frame RGB uint8, Truth): the balls whose box touches the
border ("truncated") are don't-care, every other ball is a target; a target is
clean (for centre and radius errors) when its box is nearly square. The frames
are read from the folder, never copied.
"""
from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np

from scenes import Disc, DontCare, Truth

DEFAULT_DIR = Path(__file__).resolve().parents[2] / "shared" / "realdata" / "robocup_msl_ball"

# The ball to calibrate on by default, and one per recording set (different
# halls, cameras and balls) for the robustness table: clear, whole, typical
# balls of radius 25 px or more, picked by eye.
DEFAULT_CALIBRATION = "images/20220716_r2_cam0_20220716_063357.jpg"
CALIBRATIONS = (
    "images/20190606_r4_cam0_20190606_212527.jpg",
    "images/20220715_r7_cam2_20220715_171331.jpg",
    "images/20220716_r2_cam0_20220716_063357.jpg",
    "images/20230709_r5_cam0_20230709_152521.jpg",
    "images/20240222_r15_cam0_20240222_201031.jpg",
)


def read_rgb(path: Path) -> np.ndarray:
    try:
        import cv2

        bgr = cv2.imread(str(path), cv2.IMREAD_COLOR)
        if bgr is None:
            raise OSError(f"cannot read {path}")
        return np.ascontiguousarray(bgr[:, :, ::-1])
    except ImportError:
        from PIL import Image

        return np.asarray(Image.open(path).convert("RGB")).copy()


def recording_set(name: str) -> str:
    """The recording day of a frame: the first part of its file name."""
    return Path(name).name.split("_", 1)[0]


def truth_of(entry: dict) -> Truth:
    truth = Truth(colour="yellow", kind="robocup", size=(entry["height"], entry["width"]),
                  background=entry["file"])
    for o in entry["objects"]:
        if o["truncated"]:
            truth.dont_care.append(DontCare(o["x"], o["y"], o["r"], tuple(o["box"])))
        else:
            clean = 0.87 < o["aspect"] < 1.15
            truth.discs.append(Disc(o["x"], o["y"], o["r"], clean))
    return truth


def load(folder: Path, names: list[str] | None = None) -> list[tuple[str, np.ndarray, Truth]]:
    """Every annotated frame (or those named), in the order of gt.json."""
    gt = json.loads((folder / "gt.json").read_text())
    wanted = None if names is None else set(names)
    out = []
    for entry in gt["images"]:
        if wanted is not None and entry["file"] not in wanted:
            continue
        out.append((entry["file"], read_rgb(folder / entry["file"]), truth_of(entry)))
    return out


def find_entry(items, name: str):
    """The item whose file is `name` (a path as in gt.json, or its base name)."""
    for item in items:
        if item[0] == name or Path(item[0]).name == Path(name).name:
            return item
    raise KeyError(f"{name} is not an annotated frame")


def calibration_rect(truth: Truth) -> tuple[int, int, int, int]:
    """A square well inside the frame's largest whole ball, as a user would draw it:
    half the radius around the centre (the boxes are often a little generous)."""
    ball = max(truth.discs, key=lambda d: d.r, default=None)
    if ball is None:
        raise ValueError("no whole ball in this frame to calibrate on")
    h = 0.5 * ball.r
    return (math.ceil(ball.x - h), math.ceil(ball.y - h), math.floor(ball.x + h) + 1, math.floor(ball.y + h) + 1)
