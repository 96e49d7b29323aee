"""Find a coloured disc in every image of a folder, on a thread pool or a Dask bag.

    python examples/batch.py photos/ --colour red            # threads on this machine
    python examples/batch.py photos/ --colour red --dask     # a Dask bag
    python examples/batch.py photos/ --colour ball.json      # a colour from calibrate.py --save

Prints one line per image and a summary (images, images with a disc, images
that could not be read, time); the progress goes to stderr (a tqdm bar when
tqdm is installed and stderr is a terminal, else a counter; Dask's own bar with
--dask).

The masking loop releases the GIL, so threads overlap on it; the rest of each
image's work is short. `analyse` is a plain module-level function of a path and
plain values, and the bag maps it as `batch.analyse`, imported by name even when
this file runs as a script, so it pickles by reference: the workers import this
file (the folder of the script is on their path). To run the bag on a cluster,
make this file and find_shapes.py importable on the workers (for example with
`client.upload_file`).
"""
from __future__ import annotations

import argparse
import ctypes
import sys
import threading
import time
from collections.abc import Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TypedDict, TypeVar

import numpy as np

import kestrune
from find_shapes import Colour, Finder, colour_argument, resolve_colour

SUFFIXES = {".png", ".jpg", ".jpeg"}
T = TypeVar("T")


class Result(TypedDict):
    path: str
    width: int
    height: int
    circle: kestrune.Circle | None
    error: str | None  # why the image could not be read; None when it was


# One Finder (its mask and point buffers) per thread and frame size, reused.
_local = threading.local()


def _finder(height: int, width: int) -> Finder:
    finders: dict[tuple[int, int], Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    if (height, width) not in finders:
        finders[height, width] = Finder(height, width)
    return finders[height, width]


def analyse(path: str, colour: Colour | str = "red", min_r: int = 10, max_r: int = 200,
            seed: int | None = None) -> Result:
    """The disc of one colour in one image (None when there is none)."""
    from PIL import Image as PILImage, UnidentifiedImageError

    if seed is not None:
        # rand() is process-wide: a seed makes a one-worker run reproducible.
        ctypes.CDLL(None).srand(ctypes.c_uint(seed))
    try:
        with PILImage.open(path) as picture:
            frame = np.array(picture.convert("RGB"), dtype=np.uint8)
    except (OSError, UnidentifiedImageError) as e:
        return Result(path=path, width=0, height=0, circle=None, error=str(e) or type(e).__name__)
    height, width, _ = frame.shape
    finder = _finder(height, width)
    circle = finder.circle(finder.edge_points(frame, colour), min_r, max_r)
    return Result(path=path, width=width, height=height, circle=circle, error=None)


def image_paths(folder: Path) -> list[str]:
    return sorted(str(p) for p in folder.iterdir() if p.suffix.lower() in SUFFIXES)


def progress(items: Iterable[T], total: int, show: bool = True) -> Iterator[T]:
    """Yields the items, showing how many have passed on stderr."""
    if not show:
        yield from items
        return
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            yield from tqdm(items, total=total, unit="image", file=sys.stderr)
            return
    # In place on a terminal; else (a log file) about twenty lines for any folder.
    tty = sys.stderr.isatty()
    step = 1 if tty else max(1, total // 20)
    done = 0
    for done, item in enumerate(items, 1):
        if done % step == 0 or done == total:
            print(f"\r{done}/{total} images" if tty else f"{done}/{total} images", end="" if tty else "\n",
                  file=sys.stderr, flush=True)
        yield item
    if done and tty:
        print(file=sys.stderr)


def run_threads(paths: list[str], colour: Colour | str = "red", workers: int = 4,
                show_progress: bool = False) -> list[Result]:
    spec = colour if isinstance(colour, Colour) else resolve_colour(colour)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(progress(pool.map(lambda p: analyse(p, spec), paths), len(paths), show_progress))


def run_dask(paths: list[str], colour: Colour | str = "red", scheduler: str = "processes",
             show_progress: bool = False) -> list[Result]:
    import contextlib

    import dask.bag as db
    from dask.diagnostics.progress import ProgressBar

    # Run as a script, this file is __main__, which cloudpickle ships by value,
    # module globals (the thread-local) included; under its own name it is
    # pickled by reference and imported by each worker.
    import batch

    spec = colour if isinstance(colour, Colour) else resolve_colour(colour)
    if not paths:
        return []
    bag = db.from_sequence(paths, npartitions=min(len(paths), 32)).map(batch.analyse, spec)
    with ProgressBar(out=sys.stderr) if show_progress else contextlib.nullcontext():
        results: list[Result] = bag.compute(scheduler=scheduler)
    return results


def summary(results: list[Result], elapsed: float) -> str:
    discs = sum(r["circle"] is not None for r in results)
    failed = sum(r["error"] is not None for r in results)
    return f"{len(results)} images: {discs} with a disc, {failed} unreadable, in {elapsed:.2f} s"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path)
    parser.add_argument("--colour", default="red", type=colour_argument,
                        help="a colour name or a colour file from calibrate.py --save (default red)")
    parser.add_argument("--workers", type=int, default=4, help="threads (default 4)")
    parser.add_argument("--dask", action="store_true", help="run on a Dask bag (local processes)")
    parser.add_argument("--quiet", action="store_true", help="no progress on stderr")
    args = parser.parse_args(argv)
    if not args.folder.is_dir():
        parser.error(f"{args.folder} is not a folder")
    colour = args.colour if isinstance(args.colour, Colour) else resolve_colour(args.colour)

    paths = image_paths(args.folder)
    t0 = time.perf_counter()
    if args.dask:
        results = run_dask(paths, colour, show_progress=not args.quiet)
    else:
        results = run_threads(paths, colour, args.workers, show_progress=not args.quiet)
    elapsed = time.perf_counter() - t0
    for r in results:
        c = r["circle"]
        if r["error"] is not None:
            found = f"unreadable: {r['error']}"
        else:
            found = f"centre ({c['x']}, {c['y']}), r {c['r']}" if c else "none"
        print(f"{Path(r['path']).name:<32} {r['width']}x{r['height']:<6} {found}")
    print(summary(results, elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
