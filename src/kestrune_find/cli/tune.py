"""kestrune tune: the tuning page."""
from __future__ import annotations

import argparse
from pathlib import Path

from ..io import MAX_PIXELS
from .common import PROG, Failure, Formatter, number, positive


def run_tune(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from ..tune import TuneError, serve

    try:
        return serve(args.source, save=args.save, host=args.host, port=args.port, open_browser=not args.no_browser,
                     max_pixels=args.max_pixels)
    except TuneError as e:
        raise Failure(str(e), 2 if e.status == 400 else 1) from None


def add(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """The `tune` subcommand."""
    tune = commands.add_parser(
        "tune", help="set a colour by looking: a page in the browser", formatter_class=Formatter,
        description="Serve a page on this machine that shows the frames of the sources with the colour's mask and "
        "finds: drag a rectangle (or click) on the object to add a sample, watch the colour and the finds change, "
        "and save the colour file. Prints the page's address; Ctrl-C stops.",
        epilog=f"example:\n  {PROG} tune photos/ --save ball.json\n  {PROG} tune clip.avi --port 0 --no-browser\n"
        f"  {PROG} tune 0 --host 0.0.0.0")
    tune.add_argument("source", nargs="+", metavar="SOURCE",
                      help="image files, a folder of them, a video file or a camera index (0, 1, ...)")
    tune.add_argument("--save", type=Path, metavar="FILE",
                      help="where the page's Save writes the colour file (without it, the page asks for a name)")
    tune.add_argument("--port", type=number(int, 0, 65535, what="a port number"), default=8731, metavar="N",
                      help="port to listen on (default 8731; 0 picks a free one)")
    tune.add_argument("--host", default="127.0.0.1", metavar="H",
                      help="address to listen on (default 127.0.0.1, this machine only; any other needs the "
                      "printed token)")
    tune.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    tune.add_argument("--max-pixels", type=positive, default=MAX_PIXELS, metavar="N",
                      help=f"refuse larger images (default {MAX_PIXELS:,})")
    tune.set_defaults(run=run_tune, parser=tune)
