"""Find the shapes of the built-in scene, or of an image file, with the library.

    python examples/find_shapes.py                  # the built-in scene
    python examples/find_shapes.py photo.jpg red    # red discs in a picture (needs Pillow)

The same as `kestrune demo` and `kestrune find photo.jpg --circle red`, as a
program of your own would do it.
"""
from __future__ import annotations

import sys

import kestrune_find as kf
from kestrune_find.io import read_image
from kestrune_find.scene import render_scene


def main(argv: list[str]) -> int:
    finder = kf.Finder(seed=0)  # one per thread; its buffers are reused frame after frame
    if argv:
        frame = read_image(argv[0])
        found = finder.find(frame, "disc", argv[1] if len(argv) > 1 else "red")
    else:
        frame = render_scene().frame
        found = finder.find_all(frame, [("disc", "red"), ("stripe", "yellow"), ("line", "blue"),
                                        ("ellipse", "green")])
    for shape in found:
        print(shape.as_dict())
    print("ms per stage:", {stage: round(ms, 2) for stage, ms in finder.timings.items()})
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
