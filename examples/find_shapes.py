"""Find coloured shapes in a frame with kestrune.

Run with no argument to use the built-in scene.
"""
from __future__ import annotations

import math

import kestrune

# Hue sectors in radians from the red direction toward green; chroma and
# intensity bands in units where a full channel (256) counts as 1.0.
COLOURS: dict[str, tuple[tuple[float, float], tuple[float, float], tuple[float, float]]] = {
    "red": ((-math.pi / 6, math.pi / 6), (0.25, 1.2), (0.1, 0.9)),
    "yellow": ((math.pi / 6, math.pi / 2), (0.25, 1.2), (0.2, 0.95)),
    "green": ((math.pi / 2, 5 * math.pi / 6), (0.2, 1.2), (0.05, 0.9)),
    "blue": ((7 * math.pi / 6, 3 * math.pi / 2), (0.2, 1.2), (0.05, 0.9)),
}

PALETTE: dict[str, tuple[int, int, int]] = {
    "crimson": (220, 20, 60),
    "tomato": (255, 99, 71),
    "gold": (255, 215, 0),
    "olive": (128, 128, 0),
    "lime": (50, 205, 50),
    "forest": (34, 139, 34),
    "navy": (0, 0, 128),
    "royal blue": (65, 105, 225),
    "grey": (128, 128, 128),
    "white": (255, 255, 255),
    "black": (0, 0, 0),
}


def named_bounds() -> dict[str, kestrune.LCHBounds]:
    return {name: kestrune.calculate_lch_bounds(*spec) for name, spec in COLOURS.items()}


def print_palette(bounds: dict[str, kestrune.LCHBounds]) -> None:
    print(f"{'colour':<12} {'RGB':<16} sector")
    for name, rgb in PALETTE.items():
        hits = [sector for sector, b in bounds.items() if kestrune.mask_color(rgb, b)]
        print(f"{name:<12} {str(rgb):<16} {', '.join(hits) or '-'}")


def main() -> None:
    bounds = named_bounds()
    print_palette(bounds)


if __name__ == "__main__":
    main()
