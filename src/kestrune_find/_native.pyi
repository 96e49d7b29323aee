# The finder's search, in C++ (kestrune_find/_native): see finder.py.
from typing import Any

import numpy as np
import numpy.typing as npt

Found = tuple[tuple[float, ...], float, int]

def find(_frame: npt.NDArray[np.uint8], _mask: npt.NDArray[np.uint8], _rows: npt.NDArray[np.int32], _columns: npt.NDArray[np.int32],
         options: dict[str, Any], fits: Any) -> list[Found]: ...
