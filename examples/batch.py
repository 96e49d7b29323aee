"""Find a coloured disc in every image of a folder, on a thread pool or a Dask bag.

    python examples/batch.py photos/ --colour red            # threads on this machine
    python examples/batch.py photos/ --colour red --dask     # a Dask bag

The masking loop releases the GIL, so threads overlap on it; the rest of each
image's work is short. `analyse` is a plain module-level function of a path and
plain values, so it pickles by reference: to run the bag on a cluster, make this
file and find_shapes.py importable on the workers (for example with
`client.upload_file`).
"""
from __future__ import annotations

import argparse
import ctypes
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TypedDict

import numpy as np

import kestrune
from find_shapes import COLOURS, Finder

SUFFIXES = {".png", ".jpg", ".jpeg"}


class Result(TypedDict):
    path: str
    width: int
    height: int
    circle: kestrune.Circle | None


# One Finder (its mask and point buffers) per thread and frame size, reused.
_local = threading.local()


def _finder(height: int, width: int) -> Finder:
    finders: dict[tuple[int, int], Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    if (height, width) not in finders:
        finders[height, width] = Finder(height, width)
    return finders[height, width]


def analyse(path: str, colour: str = "red", min_r: int = 10, max_r: int = 200, seed: int | None = None) -> Result:
    """The disc of one colour in one image (None when there is none)."""
    from PIL import Image as PILImage

    if seed is not None:
        # rand() is process-wide: a seed makes a one-worker run reproducible.
        ctypes.CDLL(None).srand(ctypes.c_uint(seed))
    with PILImage.open(path) as picture:
        frame = np.array(picture.convert("RGB"), dtype=np.uint8)
    height, width, _ = frame.shape
    finder = _finder(height, width)
    circle = finder.circle(finder.edge_points(frame, colour), min_r, max_r)
    return Result(path=path, width=width, height=height, circle=circle)


def image_paths(folder: Path) -> list[str]:
    return sorted(str(p) for p in folder.iterdir() if p.suffix.lower() in SUFFIXES)


def run_threads(paths: list[str], colour: str = "red", workers: int = 4) -> list[Result]:
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(lambda p: analyse(p, colour), paths))


def run_dask(paths: list[str], colour: str = "red", scheduler: str = "processes") -> list[Result]:
    import dask.bag as db

    bag = db.from_sequence(paths, npartitions=max(1, min(len(paths), 8))).map(analyse, colour)
    results: list[Result] = bag.compute(scheduler=scheduler)
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path)
    parser.add_argument("--colour", default="red", choices=sorted(COLOURS))
    parser.add_argument("--workers", type=int, default=4, help="threads (default 4)")
    parser.add_argument("--dask", action="store_true", help="run on a Dask bag (local processes)")
    args = parser.parse_args(argv)

    paths = image_paths(args.folder)
    t0 = time.perf_counter()
    results = run_dask(paths, args.colour) if args.dask else run_threads(paths, args.colour, args.workers)
    elapsed = time.perf_counter() - t0
    for r in results:
        c = r["circle"]
        found = f"centre ({c['x']}, {c['y']}), r {c['r']}" if c else "none"
        print(f"{Path(r['path']).name:<32} {r['width']}x{r['height']:<6} {found}")
    print(f"{len(results)} images in {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
