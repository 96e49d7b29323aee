"""Propose calculate_lch_bounds arguments for a colour picked in an image.

Give the image and either a rectangle that covers the target colour or a mask
image whose nonzero pixels mark it. The script measures hue, chroma and
intensity of those pixels, proposes a hue sector, a chroma band and an
intensity band that cover them (robust percentiles plus margins), prints the
call ready to paste and writes the resulting mask beside the image.

    python examples/calibrate.py photo.png --rect 120 80 200 150
    python examples/calibrate.py photo.png --mask target.png
    python examples/calibrate.py photo.png --rect 120 80 200 150 --save ball.json

With --save the proposal is also written as a colour file, which every example
takes wherever it takes a colour name (find_shapes.py --circle ball.json).

The colour model, all quantities divided by 256 so that a full channel counts
as 1.0:  x = R - G/2 - B/2,  y = (sqrt(3)/2)(G - B),  I = (R + G + B)/3,
hue = atan2(y, x) (red 0, green 2pi/3, blue -2pi/3), chroma = |(x, y)|.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import kestrune
from find_shapes import Colour, colour_file_data

SQRT3_2 = math.sqrt(3.0) / 2.0


@dataclass
class Proposal:
    hue_limit: tuple[float, float]
    chroma_limit: tuple[float, float]
    intensity_limit: tuple[float, float]

    def call(self) -> str:
        def pair(p: tuple[float, float]) -> str:
            return f"({p[0]:.4f}, {p[1]:.4f})"

        return (f"kestrune.calculate_lch_bounds({pair(self.hue_limit)}, {pair(self.chroma_limit)}, "
                f"{pair(self.intensity_limit)})")

    def bounds(self) -> kestrune.LCHBounds:
        return kestrune.calculate_lch_bounds(self.hue_limit, self.chroma_limit, self.intensity_limit)

    def save(self, path: Path, **source: Any) -> None:
        """The colour file the examples read (find_shapes.load_colour_file)."""
        colour = Colour(str(path), self.hue_limit, self.chroma_limit, self.intensity_limit)
        path.write_text(json.dumps(colour_file_data(colour, source=source), indent=2) + "\n")


def colour_coordinates(pixels: npt.NDArray[np.uint8]) -> tuple[npt.NDArray[np.float64], ...]:
    """Hue (radians), chroma and intensity of N x 3 RGB pixels, in units of 256."""
    rgb = pixels.reshape(-1, 3).astype(np.float64) / 256.0
    r, g, b = rgb[:, 0], rgb[:, 1], rgb[:, 2]
    x = r - g / 2.0 - b / 2.0
    y = SQRT3_2 * (g - b)
    return np.arctan2(y, x), np.hypot(x, y), (r + g + b) / 3.0


def propose(pixels: npt.NDArray[np.uint8], spread: float = 2.0, hue_margin: float = 0.08,
            chroma_margin: float = 0.25, intensity_margin: float = 0.06) -> Proposal:
    """Bounds covering the pixels between the `spread` and 100 - `spread` percentiles.

    Hue: angles are measured from their circular mean, so a colour around hue
    +-pi (cyan), where atan2 wraps, is handled like any other.
    Chroma: the test bounds a + b, the chroma vector's projection onto the
    sector's bisector divided by cos(half the sector), so the band is chosen on
    that projection, not on the chroma itself.
    """
    hue, chroma, intensity = colour_coordinates(pixels)
    if hue.size == 0:
        raise ValueError("no pixels selected")
    # Weight by chroma: near-grey pixels have an arbitrary hue.
    weight = chroma + 1e-9
    centre = math.atan2(float(np.sum(weight * np.sin(hue))), float(np.sum(weight * np.cos(hue))))
    offset = (hue - centre + math.pi) % (2.0 * math.pi) - math.pi
    lo, hi = np.percentile(offset, [spread, 100.0 - spread])
    width = float(hi - lo)
    lo_h = float(lo) - hue_margin - 0.1 * width
    hi_h = float(hi) + hue_margin + 0.1 * width
    # The sector must stay narrower than pi (wider sectors match nothing).
    if hi_h - lo_h > 0.9 * math.pi:
        mid = (lo_h + hi_h) / 2.0
        lo_h, hi_h = mid - 0.45 * math.pi, mid + 0.45 * math.pi
    hue_limit = (centre + lo_h, centre + hi_h)

    bisector = (hue_limit[0] + hue_limit[1]) / 2.0
    projection = chroma * np.cos(hue - bisector)
    c_lo, c_hi = (float(v) for v in np.percentile(projection, [spread, 100.0 - spread]))
    chroma_limit = (max(c_lo * (1.0 - chroma_margin), 0.0), c_hi * (1.0 + chroma_margin) + 0.02)

    i_lo, i_hi = (float(v) for v in np.percentile(intensity, [spread, 100.0 - spread]))
    intensity_limit = (max(i_lo - intensity_margin, 0.0), min(i_hi + intensity_margin, 1.0))
    return Proposal(hue_limit, chroma_limit, intensity_limit)


def selection_from_rect(shape: tuple[int, ...], rect: list[int]) -> npt.NDArray[np.bool_]:
    x0, y0, x1, y1 = rect
    selected = np.zeros(shape[:2], bool)
    selected[min(y0, y1):max(y0, y1), min(x0, x1):max(x0, x1)] = True
    return selected


def main(argv: list[str] | None = None) -> int:
    from PIL import Image as PILImage

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image", type=Path)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--rect", nargs=4, type=int, metavar=("X0", "Y0", "X1", "Y1"),
                       help="rectangle covering the colour (x1, y1 exclusive)")
    where.add_argument("--mask", type=Path, help="image whose nonzero pixels mark the colour")
    parser.add_argument("--spread", type=float, default=2.0, help="percentile trimmed at each end (default 2)")
    parser.add_argument("--save", type=Path, metavar="PATH", help="also write the proposal as a colour file (JSON)")
    args = parser.parse_args(argv)

    # A writable copy: the module refuses read-only arrays.
    frame = np.array(PILImage.open(args.image).convert("RGB"), dtype=np.uint8)
    if args.rect:
        selected = selection_from_rect(frame.shape, args.rect)
    else:
        selected = np.asarray(PILImage.open(args.mask).convert("L")) > 0
        if selected.shape != frame.shape[:2]:
            parser.error(f"mask is {selected.shape[1]}x{selected.shape[0]}, image {frame.shape[1]}x{frame.shape[0]}")
    if not selected.any():
        parser.error("the selection is empty")

    proposal = propose(frame[selected], args.spread)
    mask = kestrune.mask_image(frame, proposal.bounds())
    hit = mask.astype(bool)
    print(proposal.call())
    print(f"covers {hit[selected].mean():.1%} of the selected pixels and "
          f"{hit[~selected].mean() if (~selected).any() else 0.0:.1%} of the others")
    out = args.image.with_name(args.image.stem + "_mask.png")
    PILImage.fromarray(mask * np.uint8(255)).save(out)
    print(f"wrote {out}")
    if args.save:
        picked: dict[str, Any] = {"rect": args.rect} if args.rect else {"mask": str(args.mask)}
        proposal.save(args.save, image=str(args.image), **picked)
        print(f"wrote {args.save}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
