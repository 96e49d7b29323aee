"""Colours to search for: four built-in names and colour files.

A colour is the hue sector, chroma band and intensity band of a
`kestrune.calculate_lch_bounds` call (radians; chroma and intensity in units
where a full channel, 256, counts as 1.0). A colour file is the JSON that
`kestrune calibrate --save` writes.
"""
from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import kestrune

Pair = tuple[float, float]

# Red stops at 11 degrees, short of orange, wood and a tabby's fur (17-30
# degrees); yellow starts at 40 degrees, past orange and ginger fur, and wants
# a strong chroma so that beige and blond stay out; green starts at 75
# degrees, so that yellow-green and foliage count as green. Checked on the
# photographs bundled with scikit-image (tests/test_examples.py).
COLOURS: dict[str, tuple[Pair, Pair, Pair]] = {
    "red": ((math.radians(-25.0), math.radians(11.0)), (0.25, 1.2), (0.1, 0.9)),
    "yellow": ((math.radians(40.0), math.radians(75.0)), (0.3, 1.2), (0.2, 0.95)),
    "green": ((math.radians(75.0), math.radians(150.0)), (0.2, 1.2), (0.05, 0.9)),
    "blue": ((7 * math.pi / 6, 3 * math.pi / 2), (0.2, 1.2), (0.05, 0.9)),
}


@dataclass(frozen=True)
class Colour:
    """A colour to search for: its name (a built-in name or the file it came
    from) and the arguments of its `calculate_lch_bounds` call."""

    name: str
    hue_limit: Pair
    chroma_limit: Pair
    intensity_limit: Pair
    rgb_bits: int = 8

    def bounds(self, bgr: bool = False) -> kestrune.LCHBounds:
        """The module's bounds; `bgr=True` for frames stored B, G, R."""
        bounds = kestrune.calculate_lch_bounds(self.hue_limit, self.chroma_limit, self.intensity_limit,
                                               self.rgb_bits)
        return bgr_bounds(bounds) if bgr else bounds

    def as_dict(self, **extra: Any) -> dict[str, Any]:
        """The JSON form of a colour file: the call's arguments, the bounds they
        give (for readers in other languages; ignored when read back) and `extra`."""
        bounds = self.bounds()
        return {
            "hue_limit": list(self.hue_limit),
            "chroma_limit": list(self.chroma_limit),
            "intensity_limit": list(self.intensity_limit),
            "rgb_bits": self.rgb_bits,
            "bounds": {"M": [int(v) for v in bounds.M], "i": [int(v) for v in bounds.i],
                       "c": [int(v) for v in bounds.c]},
            **extra,
        }


def bgr_bounds(bounds: kestrune.LCHBounds) -> kestrune.LCHBounds:
    """The same bounds for pixels stored B, G, R (OpenCV's order).

    The test is M times the pixel: reversing M's columns gives exactly the
    same decision on the reversed pixel, so BGR frames need no conversion.
    """
    matrix = np.asarray(bounds.M).reshape(3, 3)[:, ::-1].flatten()
    return kestrune.LCHBounds(matrix, bounds.i, bounds.c)


def _number_pair(data: dict[str, Any], key: str, path: Path) -> Pair:
    value = data.get(key)
    if (not isinstance(value, list) or len(value) != 2
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in value)):
        raise ValueError(f"bad colour file {path}: {key!r} must be a list of two numbers")
    return float(value[0]), float(value[1])


def load_colour(path: str | Path, name: str | None = None) -> Colour:
    """A Colour from a colour file; ValueError says what is wrong with it."""
    path = Path(path)
    try:
        data = json.loads(path.read_text())
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"bad colour file {path}: {e}") from None
    if not isinstance(data, dict):
        raise ValueError(f"bad colour file {path}: not a JSON object")
    rgb_bits = data.get("rgb_bits", 8)
    if not isinstance(rgb_bits, int) or isinstance(rgb_bits, bool) or not 1 <= rgb_bits <= 12:
        raise ValueError(f"bad colour file {path}: 'rgb_bits' must be an integer from 1 to 12")
    colour = Colour(name or str(path), _number_pair(data, "hue_limit", path), _number_pair(data, "chroma_limit", path),
                    _number_pair(data, "intensity_limit", path), rgb_bits)
    try:
        colour.bounds()
    except (ValueError, OverflowError) as e:  # a degenerate sector, limits out of range
        raise ValueError(f"bad colour file {path}: {e}") from None
    return colour


def save_colour(colour: Colour, path: str | Path, **extra: Any) -> None:
    """Writes `colour` as a colour file (JSON), with `extra` keys (where it came from)."""
    Path(path).write_text(json.dumps(colour.as_dict(**extra), indent=2) + "\n")


def colour(spec: str | Colour) -> Colour:
    """A built-in colour name or the path of a colour file; ValueError otherwise."""
    if isinstance(spec, Colour):
        return spec
    if not isinstance(spec, str):
        raise TypeError(f"colour must be a name, a colour file's path or a Colour, not {type(spec).__name__}")
    if spec in COLOURS:
        return Colour(spec, *COLOURS[spec])
    if Path(spec).is_file():
        return load_colour(spec, spec)
    raise ValueError(f"unknown colour {spec!r}: not one of {', '.join(sorted(COLOURS))}, "
                     "nor a colour file (kestrune calibrate --save)")
