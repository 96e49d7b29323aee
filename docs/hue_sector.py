"""Draws docs/hue_sector.png: the region a set of colour bounds accepts, in the chroma plane.

    python docs/hue_sector.py

The chroma plane has x = R - G/2 - B/2 and y = (sqrt(3)/2)(G - B) (divided by
256). A hue sector from theta1 to theta2 and a chroma band (c_lo, c_hi) accept
the colours between the sector's two edges and between two chords that cross
the sector's bisector at exactly c_lo and c_hi.
"""
from __future__ import annotations

import math
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Polygon  # noqa: E402

THETA1, THETA2 = math.radians(20.0), math.radians(80.0)
C_LO, C_HI = 0.25, 0.7


def at(radius: float, angle: float) -> tuple[float, float]:
    return radius * math.cos(angle), radius * math.sin(angle)


def main() -> None:
    fig, ax = plt.subplots(figsize=(7.0, 6.4), dpi=100)
    half = (THETA2 - THETA1) / 2.0
    mid = (THETA1 + THETA2) / 2.0

    # The accepted region: sector edges cut by the two chords. The chords meet
    # the edges at c / cos(half), since a + b is constant along a chord.
    corners = [at(C_LO / math.cos(half), THETA1), at(C_HI / math.cos(half), THETA1),
               at(C_HI / math.cos(half), THETA2), at(C_LO / math.cos(half), THETA2)]
    ax.add_patch(Polygon(corners, closed=True, facecolor="#f4c542", alpha=0.45, edgecolor="none",
                         label="accepted colours"))

    for name, angle, colour in (("red", 0.0, "#d62728"), ("green", 2 * math.pi / 3, "#2ca02c"),
                                ("blue", -2 * math.pi / 3, "#1f77b4")):
        ax.annotate("", xy=at(1.0, angle), xytext=(0, 0),
                    arrowprops=dict(arrowstyle="->", color=colour, lw=2))
        tx, ty = at(1.1, angle)
        ax.text(tx, ty, f"{name}\n{math.degrees(angle):.0f} deg", color=colour, ha="center", va="center")

    for angle, label in ((THETA1, "hue_limit[0]"), (THETA2, "hue_limit[1]")):
        ax.plot(*zip((0.0, 0.0), at(1.0, angle)), color="black", lw=1.5)
        tx, ty = at(1.02, angle)
        ax.text(tx, ty, f"{label} = {math.degrees(angle):.0f} deg", ha="left", va="bottom", fontsize=9)
    ax.plot(*zip((0.0, 0.0), at(0.95, mid)), color="grey", lw=1, ls="--")
    ax.text(*at(0.97, mid), "bisector", color="grey", fontsize=9, rotation=math.degrees(mid), ha="left")

    for c, label in ((C_LO, "chroma_limit[0]"), (C_HI, "chroma_limit[1]")):
        ends = [at(c / math.cos(half), THETA1), at(c / math.cos(half), THETA2)]
        ax.plot(*zip(*ends), color="#8c564b", lw=1.5)
        ax.plot(*at(c, mid), marker="o", color="#8c564b")
        bx, by = at(c, mid)
        ax.text(bx + 0.05, by - 0.02, f"{label} = {c}", color="#8c564b", fontsize=9,
                bbox=dict(facecolor="white", edgecolor="none", alpha=0.8, pad=1))
        ax.add_patch(plt.Circle((0, 0), c, fill=False, ls=":", color="#8c564b", lw=0.8))

    ax.plot(0, 0, marker="o", color="black")
    ax.text(0.02, -0.06, "grey (chroma 0)", fontsize=9)
    ax.set_xlim(-1.05, 1.45)
    ax.set_ylim(-1.05, 1.25)
    ax.set_aspect("equal")
    ax.axhline(0, color="#cccccc", lw=0.5, zorder=0)
    ax.axvline(0, color="#cccccc", lw=0.5, zorder=0)
    ax.set_xlabel("x = (R - G/2 - B/2) / 256")
    ax.set_ylabel("y = (sqrt(3)/2) (G - B) / 256")
    ax.set_title(f"calculate_lch_bounds(({THETA1:.3f}, {THETA2:.3f}), ({C_LO}, {C_HI}), ...)\n"
                 "hue sector 20 to 80 deg in the chroma plane")
    ax.legend(loc="lower right", fontsize=9)
    out = Path(__file__).with_suffix(".png")
    fig.tight_layout()
    fig.savefig(out)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
