"""kestrune batch: the shapes in every image of a folder."""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections import Counter
from pathlib import Path

from .. import batch as batch_runner
from ..io import IMAGE_SUFFIXES, MAX_PIXELS
from .common import add_shape_command, describe, find_options, positive, shape_from_dict, shape_requests


def run_batch(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    wanted = shape_requests(args, parser)
    options = find_options(args, parser)
    if not args.folder.is_dir():
        parser.error(f"{args.folder} is not a folder")
    t0 = time.perf_counter()
    results = batch_runner.run(args.folder, wanted, options, seed=args.seed, workers=args.workers, dask=args.dask,
                               recursive=args.recursive, max_pixels=args.max_pixels, show_progress=not args.quiet)
    labels = [f"{c.name} {shape}" for shape, c in wanted]
    finds: Counter[str] = Counter()
    images_with: Counter[str] = Counter()
    unreadable: list[str] = []
    images = 0
    for result in results:
        images += 1
        if "error" in result:
            unreadable.append(result["image"])
            line = {"image": result["image"], "ms": 0.0, "shapes": [], "error": result["error"]}
            text = f"{result['image']}  unreadable: {result['error']}"
        else:
            shapes = [shape_from_dict(d) for d in result["shapes"]]
            these = [f"{s.colour} {s.shape}" for s in shapes]
            finds.update(these)
            images_with.update(set(these))
            line = {"image": result["image"], "ms": result["ms"], "shapes": result["shapes"]}
            found = "; ".join(f"{s.colour} {s.shape} {describe(s)} score {s.score:.2f}" for s in shapes)
            text = f"{result['image']}  {result['width']}x{result['height']}  {found or 'nothing found'}"
        print(json.dumps(line) if args.json else text, flush=args.json)
    counts = ", ".join(f"{label}: {finds[label]} in {images_with[label]} images" for label in labels)
    summary = f"{images} images; verified finds {counts}; {len(unreadable)} unreadable"
    if unreadable:
        summary += f" ({', '.join(unreadable)})"
    print(summary, file=sys.stderr if args.json else sys.stdout)
    if images == 0:
        print(f"no image files ({', '.join(IMAGE_SUFFIXES)}) in {args.folder}", file=sys.stderr)
    many = args.workers > 1
    how = (f"a Dask bag of {args.workers} process{'es' * many}" if args.dask
           else f"{args.workers} thread{'s' * many}")
    print(f"in {time.perf_counter() - t0:.2f} s on {how}", file=sys.stderr)
    return 0


def add(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """The `batch` subcommand."""
    batch = add_shape_command(
        commands, "batch", "find shapes in every image of a folder",
        description="Find shapes in every image of a folder, on threads or a Dask bag: one line per image, in "
        "the order of the paths, and a summary of the verified finds. The output is the same with any "
        "number of workers.",
        examples=["photos/ --circle red --workers 4", "photos/ --circle ball.json --json --dask"],
        target="folder", target_type=Path, target_help=f"a folder of pictures ({', '.join(IMAGE_SUFFIXES)})")
    batch.add_argument("--workers", type=positive, default=min(4, os.cpu_count() or 1), metavar="N",
                       help="threads, or processes with --dask (default: up to 4)")
    batch.add_argument("--dask", action="store_true", help="run on a Dask bag of local processes")
    batch.add_argument("--json", action="store_true",
                       help='one JSON line per image: {"image": PATH, "ms": .., "shapes": [...]}')
    batch.add_argument("--recursive", action="store_true", help="also the images in subfolders")
    batch.add_argument("--quiet", action="store_true", help="no progress on stderr")
    batch.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                       help=f"count larger images as unreadable (default {MAX_PIXELS:,})")
    batch.set_defaults(run=run_batch, parser=batch)
