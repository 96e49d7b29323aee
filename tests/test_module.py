"""Module start-up, the namespace, the record class and the function objects."""
import ctypes
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import typing

import numpy as np
import pytest

import kestrune

TABLE = [
    ("calculate_lch_bounds", ["hue_limit", "chroma_limit", "intensity_limit", "rgb_bits"], (8,)),
    ("mask_image_py", ["image", "bounds"], None),
    ("mask_image", ["image", "bounds", "buffer"], (None,)),
    ("selective_grayscale", ["image", "bounds", "buffer"], (None,)),
    ("mask_color", ["color", "bounds"], None),
    ("mask_image_cy_impl", ["_image", "_output", "bounds"], None),
    ("selective_grayscale_impl", ["_image", "_output", "bounds"], None),
    ("simple_edge_hsv", ["_image", "_ps", "bounds", "row_count", "column_count"], None),
    ("simple_edge", ["_image", "_ps", "row_count", "column_count"], None),
    ("simple_denoise", ["_ps_in", "_ps_out", "min_distance"], None),
    ("remove_inliers", ["_ps_in", "_ps_out", "_ms"], None),
    ("ransac_circle", ["_ps", "count", "min_r", "max_r", "delta"], None),
    ("ransac_ellipse", ["_ps", "count", "min_r", "max_r", "ratio", "delta"], None),
    ("ransac_line", ["_ps", "_ms", "count", "delta", "slope_limit"], None),
    ("ransac_line2", ["_ps", "_ms", "count", "ratio", "delta"], None),
]
PRESENT = [row for row in TABLE if hasattr(kestrune, row[0])]


def test_namespace_order():
    names = [n for n in vars(kestrune) if not n.startswith("__")]
    assert names == ["np", "NamedTuple", "LCHBounds"] + [row[0] for row in TABLE]
    assert kestrune.np is np
    assert kestrune.NamedTuple is typing.NamedTuple


@pytest.mark.parametrize("name,params,defaults", PRESENT)
def test_function_objects(name, params, defaults):
    f = getattr(kestrune, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "kestrune"
    assert f.__doc__ is None
    assert f.__defaults__ == defaults
    assert not f.__annotations__
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    with_defaults = tuple(p.default for p in sig.parameters.values() if p.default is not p.empty)
    assert with_defaults == (defaults or ())
    assert pickle.loads(pickle.dumps(f)) is f
    pydoc = __import__("pydoc")
    assert f"{name}({', '.join(params)}" in pydoc.render_doc(f, renderer=pydoc.plaintext)


def test_lchbounds_record():
    cls = kestrune.LCHBounds
    assert cls._fields == ("M", "i", "c")
    assert cls.__module__ == "kestrune" and cls.__qualname__ == "LCHBounds"
    assert cls.__doc__ in (None, "LCHBounds(M, i, c)")  # namedtuple's generated text, nothing of ours
    assert [getattr(a, "__forward_arg__", a) for a in cls.__annotations__.values()] == ["np.ndarray", "tuple", "tuple"]
    assert isinstance(cls(1, 2, 3), tuple)
    assert cls(M=1, i=2, c=3) == (1, 2, 3)
    with pytest.raises(TypeError):
        cls(1, 2)


def test_reimport_gives_the_same_module_without_reseeding():
    libc = ctypes.CDLL(None)
    libc.srand(1234)
    expected = [libc.rand() for _ in range(3)]
    libc.srand(1234)
    del sys.modules["kestrune"]
    again = importlib.import_module("kestrune")
    assert again is kestrune
    assert importlib.reload(kestrune) is kestrune
    assert [libc.rand() for _ in range(3)] == expected  # no srand() on re-import


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_failed_start_is_forgotten_and_retried():
    result = run_python(
        """
        import sys, traceback
        sys.modules["numpy"] = None  # the import of numpy fails
        try:
            import kestrune
        except ImportError as e:
            print("first:", "init kestrune" in "".join(traceback.format_tb(e.__traceback__)))
        del sys.modules["numpy"]
        sys.modules.pop("kestrune", None)
        import kestrune
        print("second:", kestrune.np.__name__)
        """
    )
    assert "first: True" in result.stdout, result.stderr
    assert "second: numpy" in result.stdout


def test_processes_started_together_draw_the_same_sequence():
    # Seeded from the clock in whole seconds: two quick starts usually agree.
    code = "import ctypes, kestrune; print(ctypes.CDLL(None).rand())"
    for _ in range(3):
        a, b = run_python(code).stdout, run_python(code).stdout
        if a == b:
            break
    assert a == b and a.strip()


def test_import_is_silent_on_the_version_it_was_built_for():
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import kestrune"], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0 and not result.stderr, result.stderr
