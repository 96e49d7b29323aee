"""Finding shapes in every image of a folder, on threads or on a Dask bag.

Each image's finds depend only on the image, the requests, the options and
the seed (every worker thread has its own Finder with that seed), so a run
gives the same results with any number of workers. `analyse` is a plain
module-level function of plain values: a Dask bag pickles it by reference and
each worker process imports it by name.
"""
from __future__ import annotations

import contextlib
import sys
import threading
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

from .colours import Colour, colour as resolve_colour
from .finder import Finder
from .io import IMAGE_SUFFIXES, MAX_PIXELS, ImageError, read_image, require
from .options import SEED, SHAPES, FindOptions

T = TypeVar("T")
Request = tuple[str, Colour]

#: Options as FindOptions, or a mapping of its field names (None values mean the defaults).
Options = FindOptions | Mapping[str, Any] | None

_local = threading.local()


def check_requests(requests: Sequence[tuple[str, Colour | str]]) -> list[Request]:
    """(shape, Colour) pairs; ValueError/TypeError naming what is wrong."""
    if isinstance(requests, (str, bytes)) or not isinstance(requests, Sequence):
        raise TypeError(f"requests must be a sequence of (shape, colour) pairs, not {type(requests).__name__}")
    checked: list[Request] = []
    for item in requests:
        try:
            shape, colour = item
        except (TypeError, ValueError):
            raise TypeError(f"requests must hold (shape, colour) pairs, got {item!r}") from None
        if shape not in SHAPES:
            raise ValueError(f"shape must be one of {', '.join(SHAPES)}, got {shape!r}")
        checked.append((shape, resolve_colour(colour)))
    if not checked:
        raise ValueError("requests must name at least one (shape, colour)")
    return checked


def _finder(seed: int) -> Finder:
    finders: dict[int, Finder] = getattr(_local, "finders", {})
    _local.finders = finders
    if seed not in finders:
        finders[seed] = Finder(seed=seed)
    return finders[seed]


def analyse(path: str | Path, requests: Sequence[tuple[str, Colour | str]], options: Options = None,
            seed: int = 0, max_pixels: int = MAX_PIXELS) -> dict[str, Any]:
    """The shapes in one image file: {"image": path, "width", "height", "ms"
    (the finding itself, on this thread; reading the file not included), "shapes":
    [shape.as_dict(), ...] in the order of `requests`, each request's best
    first}; an image that cannot be read gives {"image": path, "error": why}.

    requests: (shape, colour) pairs; options: FindOptions, or a mapping of its fields.
    """
    asked = FindOptions.of(options)
    try:
        frame = read_image(path, max_pixels)
    except ImageError as e:
        return {"image": str(path), "error": str(e)}
    height, width = frame.shape[:2]
    finder = _finder(seed)
    # This thread's own time: the workers run side by side, and a clock on the
    # wall would also count the time the others held the interpreter or the cores.
    t0 = time.thread_time()
    shapes = finder.find_all(frame, requests, asked)
    ms = (time.thread_time() - t0) * 1e3
    return {"image": str(path), "width": width, "height": height, "ms": ms,
            "shapes": [shape.as_dict() for shape in shapes]}


def image_paths(folder: str | Path, recursive: bool = False) -> list[Path]:
    """The image files in a folder (by suffix: IMAGE_SUFFIXES), sorted by
    their path relative to it."""
    root = Path(folder)
    if not root.is_dir():
        raise NotADirectoryError(f"{folder} is not a folder")
    found = root.rglob("*") if recursive else root.iterdir()
    return sorted((p for p in found if p.suffix.lower() in IMAGE_SUFFIXES and p.is_file()),
                  key=lambda p: p.relative_to(root).as_posix())


def progress(items: Iterable[T], total: int) -> Iterator[T]:
    """Yields the items, showing on stderr how many have passed: a tqdm bar
    on a terminal when tqdm is installed, else a counter (in place on a
    terminal, about twenty lines in a log)."""
    tty = sys.stderr.isatty()
    if tty:
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            yield from tqdm(items, total=total, unit="image", file=sys.stderr)
            return
    step = 1 if tty else max(1, total // 20)
    done = 0
    for done, item in enumerate(items, 1):
        if done % step == 0 or done == total:
            print(f"\r{done}/{total} images" if tty else f"{done}/{total} images", end="" if tty else "\n",
                  file=sys.stderr, flush=True)
        yield item
    if done and tty:
        print(file=sys.stderr)


def run(folder: str | Path, requests: Sequence[tuple[str, Colour | str]], options: Options = None,
        *, seed: int = 0, workers: int = 4, dask: bool = False, recursive: bool = False,
        max_pixels: int = MAX_PIXELS, show_progress: bool = False) -> Iterator[dict[str, Any]]:
    """`analyse` of every image in `folder`, yielded in the order of their
    paths, each with "image" relative to the folder: on `workers` threads, or
    with dask=True on a Dask bag of `workers` local processes. Arguments are
    checked before any image is read."""
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    SEED.check(seed)
    if isinstance(max_pixels, bool) or not isinstance(max_pixels, int) or max_pixels < 1:
        raise ValueError(f"max_pixels must be a positive integer, got {max_pixels!r}")
    checked = check_requests(requests)
    find_options = FindOptions.of(options)
    root = Path(folder)
    paths = image_paths(root, recursive)
    require("PIL.Image", "reading image files")
    if dask:
        require("dask.bag", "running on a Dask bag")
    return _run(root, paths, checked, find_options, seed, workers, dask, max_pixels, show_progress)


def _run(root: Path, paths: list[Path], requests: list[Request], options: FindOptions, seed: int, workers: int,
         dask: bool, max_pixels: int, show_progress: bool) -> Iterator[dict[str, Any]]:
    names = [str(p) for p in paths]
    with contextlib.ExitStack() as stack:
        results: Iterable[dict[str, Any]]
        if not names:
            results = []
        elif dask:
            results = _run_dask(names, requests, options, seed, workers, max_pixels, show_progress)
        else:
            pool = stack.enter_context(ThreadPoolExecutor(max_workers=workers))
            stack.callback(pool.shutdown, cancel_futures=True)  # when the caller stops early
            results = pool.map(lambda p: analyse(p, requests, options, seed, max_pixels), names)
            if show_progress:
                results = progress(results, len(names))
        for path, result in zip(paths, results):
            yield {**result, "image": path.relative_to(root).as_posix()}


def _run_dask(paths: list[str], requests: list[Request], options: FindOptions, seed: int, workers: int,
              max_pixels: int, show_progress: bool) -> list[dict[str, Any]]:
    import dask.bag as db
    from dask.diagnostics.progress import ProgressBar

    bag = db.from_sequence(paths, npartitions=min(len(paths), 4 * workers)).map(
        analyse, requests, options, seed, max_pixels)
    with ProgressBar(out=sys.stderr) if show_progress else contextlib.nullcontext():
        results: list[dict[str, Any]] = bag.compute(scheduler="processes", num_workers=workers)
    return results
