"""How close Colour.from_hsv comes to an HSV box: the share of pixels where
its mask and OpenCV's (cv2.inRange on cv2.cvtColor(..., COLOR_RGB2HSV); two
ranges for a box that wraps around red) disagree, on scikit-image's
photographs and on the whole RGB cube, for a few typical boxes; and what a
box costs to fit. Prints a table; the numbers are for reading, nothing fails.

    python benchmarks/bench_hsv.py [--json PATH]

--json writes the table's numbers under "boxes" and no timing rows: the fit
has no peer to be timed against.
"""
import argparse
import time
from pathlib import Path

import numpy as np

import jsonreport
import kestrune_find as kf
from kestrune_find.colours import _fit_hsv_box

try:
    import cv2
    from skimage import data
except ImportError as e:
    raise SystemExit(f"bench_hsv needs OpenCV and scikit-image ({e.name} is missing): "
                     "pip install opencv-python-headless scikit-image")

BOXES = {
    "orange ball": ((5, 120, 100), (22, 255, 255)),
    "yellow": ((22, 100, 100), (35, 255, 255)),
    "green": ((40, 60, 40), (85, 255, 255)),
    "blue": ((100, 120, 50), (130, 255, 255)),
    "red (wraps)": ((170, 120, 70), (10, 255, 255)),
}
PHOTOS = ("astronaut", "coffee", "chelsea", "rocket", "logo", "colorwheel", "immunohistochemistry")


def opencv_mask(rgb, lower, upper):
    hsv = cv2.cvtColor(rgb, cv2.COLOR_RGB2HSV)
    if lower[0] <= upper[0]:
        return cv2.inRange(hsv, np.array(lower), np.array(upper)) > 0
    return ((cv2.inRange(hsv, np.array(lower), np.array((179, *upper[1:]))) > 0)
            | (cv2.inRange(hsv, np.array((0, *lower[1:])), np.array(upper)) > 0))


def cube():
    v = np.arange(256, dtype=np.uint8)
    r, g, b = np.meshgrid(v, v, v, indexing="ij")
    return np.stack([r, g, b], -1).reshape(4096, 4096, 3)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="the same run, a second or two (for compare.py --quick)")
    ap.add_argument("--json", type=Path, metavar="PATH", help="also write the table's numbers")
    args = ap.parse_args()
    images = {name: np.ascontiguousarray(getattr(data, name)()[..., :3]) for name in PHOTOS}
    images["RGB cube"] = cube()
    print("disagreement, % of the pixels (and % of the box's pixels in that image)\n")
    names = list(images)
    print(f"{'box':<13} {'fit ms':>6} {'sectors':>7}  " + "  ".join(f"{n[:15]:>15}" for n in names))
    boxes = []
    for label, (lower, upper) in BOXES.items():
        _fit_hsv_box.cache_clear()
        t0 = time.perf_counter()
        colour = kf.Colour.from_hsv(lower, upper)
        ms = (time.perf_counter() - t0) * 1e3
        cells, record = [], {}
        for name, image in images.items():
            theirs = opencv_mask(image, lower, upper)
            ours = colour.mask(image).astype(bool)
            wrong = np.count_nonzero(theirs ^ ours)
            share = 100.0 * wrong / theirs.size
            box_share = 100.0 * wrong / max(1, np.count_nonzero(theirs))
            of_box = f"({box_share:.0f})"
            cells.append(f"{share:9.2f} {of_box:>5}")
            record[name] = {"pixels_pct": round(share, 3), "box_pixels_pct": round(box_share, 3)}
        print(f"{label:<13} {ms:6.1f} {len(colour.sectors):7d}  " + "  ".join(cells))
        boxes.append({"box": label, "lower": lower, "upper": upper, "fit_ms": round(ms, 3),
                      "sectors": len(colour.sectors), "disagreement": record})
    jsonreport.write(args.json, [], boxes=boxes)


if __name__ == "__main__":
    main()
