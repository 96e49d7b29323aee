"""The `kestrune` command: find, calibrate, camera, batch, tune and demo.

Every failure is one line on stderr and a non-zero exit: 2 for arguments
refused before any work (argparse's usage errors), 1 for what fails while
working (a file that cannot be read, a missing optional package).
"""
from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Sequence

from .. import camera as camera_loop
from ..io import ImageError, MissingExtra
from . import batch, calibrate, camera, demo, find, tune
from .common import PROG, Failure, Formatter, Parser

__all__ = ["build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, formatter_class=Formatter,
        description="Find one-colour shapes (balls, tape stripes, lines, ellipses) in pictures, "
        "folders of them, cameras and video files.")
    try:
        from importlib.metadata import version

        parser.add_argument("--version", action="version", version=f"%(prog)s {version('kestrune')}")
    except Exception:  # running from a source tree that is not installed
        pass
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    for command in (find, calibrate, camera, batch, demo, tune):
        command.add(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    # Images over the limit are refused with a message of ours.
    warnings.filterwarnings("ignore", message=".*decompression bomb.*")
    name = f"{PROG} {args.command}"
    try:
        code: int = args.run(args, args.parser)
        return code
    except Failure as e:
        print(f"{name}: error: {e}", file=sys.stderr)
        return e.code
    except ImageError as e:
        hint = "; --max-pixels raises the limit" if e.too_large else ""
        print(f"{name}: error: {e}{hint}", file=sys.stderr)
        return 1
    except (MissingExtra, camera_loop.CameraError) as e:
        print(f"{name}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as e:  # a bug: still one line, not a traceback
        print(f"{name}: error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
