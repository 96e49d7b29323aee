"""How often a disc is found across a 1080p frame: a red disc of radius 60 at
several positions, the pipeline of the README (mask, edge scan, denoise,
ransac_circle with 400 samples), 40 seeds each. Counts, not times.

    python benchmarks/disc_positions.py [--seeds N]

A fit counts as found when its centre and radius are both within 2 px.
"""
import argparse
import ctypes
import math

import numpy as np

import kestrune

H, W, R = 1080, 1920, 60
POSITIONS = [(120, 120), (960, 540), (1700, 160), (200, 940), (1700, 900), (1840, 1000)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=int, default=40)
    args = ap.parse_args()
    libc = ctypes.CDLL(None)
    red = kestrune.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.25, 1.2), (0.1, 0.9))
    yy, xx = np.ogrid[:H, :W]
    mask = np.zeros((H, W), np.uint8)
    points = np.zeros((100_000, 2), np.int32)
    clean = np.zeros_like(points)
    print(f"disc r={R} in a {W}x{H} frame, {args.seeds} seeds: found = centre and radius within 2 px")
    for cx, cy in POSITIONS:
        frame = np.full((H, W, 3), 90, np.uint8)
        frame[(xx - cx) ** 2 + (yy - cy) ** 2 <= R * R] = (200, 30, 30)
        kestrune.mask_image(frame, red, mask)
        n = kestrune.simple_edge(mask, points, 240, 320)
        m = kestrune.simple_denoise(points[:n], clean, 3)
        hits, worst = 0, 0.0
        for seed in range(args.seeds):
            libc.srand(seed)
            d = kestrune.ransac_circle(clean[:m], 400, 10, 200, 2)
            err = max(math.hypot(d["x"] - cx, d["y"] - cy), abs(d["r"] - R))
            worst = max(worst, err)
            hits += err <= 2
        print(f"centre ({cx:4d}, {cy:4d}): {m:3d} edge points, found {hits:2d}/{args.seeds}, worst error {worst:.1f} px")


if __name__ == "__main__":
    main()
