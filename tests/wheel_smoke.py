"""Run by `make wheel` in a fresh venv with only the built wheel installed."""
import ctypes
import importlib.metadata
import math
import pathlib
import sys
import warnings

import numpy as np

with warnings.catch_warnings():
    warnings.simplefilter("error")  # the version check must stay quiet
    import kestrune

dist = importlib.metadata.distribution("kestrune")
files = {str(f) for f in dist.files}
assert pathlib.Path(kestrune.__file__).is_relative_to(sys.prefix), kestrune.__file__
assert dist.metadata["License-Expression"] == "MIT", dist.metadata["License-Expression"]
assert any(f.endswith(".dist-info/licenses/LICENSE") for f in files), sorted(files)
assert "kestrune-stubs/__init__.pyi" in files

frame = np.zeros((120, 160, 3), np.uint8)
yy, xx = np.ogrid[:120, :160]
frame[(xx - 70) ** 2 + (yy - 60) ** 2 <= 30**2] = (200, 30, 30)
red = kestrune.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.25, 1.2), (0.1, 0.9))
mask = kestrune.mask_image(frame, red)
points = np.zeros((4000, 2), np.int32)
n = kestrune.simple_edge(mask, points, 120, 160)
ctypes.CDLL(None).srand(1)
disc = kestrune.ransac_circle(points[:n], 300, 10, 60, 2)
assert abs(disc["x"] - 70) <= 1 and abs(disc["y"] - 60) <= 1 and abs(disc["r"] - 30) <= 1, disc
print(f"wheel ok on Python {sys.version.split()[0]}: {pathlib.Path(kestrune.__file__).name}, circle {disc}")

# The finder and its command come in the same wheel, without the C++ sources.
import subprocess  # noqa: E402

import kestrune_find as kf  # noqa: E402

assert "kestrune_find/py.typed" in files and not any(f.endswith((".cpp", ".hpp")) for f in files), sorted(files)
(found,) = kf.Finder().find(frame, "disc", "red")
assert abs(found.x - 70) < 0.5 and abs(found.y - 60) < 0.5 and abs(found.r - 30) < 0.5, found
command = pathlib.Path(sys.executable).with_name("kestrune")
version = subprocess.run([str(command), "--version"], capture_output=True, text=True, check=True).stdout
print(f"kestrune_find ok: {found}; {version.strip()}")
