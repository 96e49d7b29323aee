"""Count the red discs in every image of a folder, on four threads.

    python examples/batch.py photos/

`kestrune batch` does this with every option (JSON lines, a Dask bag,
progress); the results are the same with any number of workers.
"""
from __future__ import annotations

import sys

from kestrune_find import batch


def main(folder: str) -> int:
    for result in batch.run(folder, [("disc", "red")], {"min_r": 10}, seed=0, workers=4):
        if "error" in result:
            print(f"{result['image']}: {result['error']}")
        else:
            print(f"{result['image']}: {len(result['shapes'])} red discs in {result['ms']:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
