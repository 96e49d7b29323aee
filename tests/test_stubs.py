"""The type stubs shipped with the wheel agree with the module: every function's
parameters by name and order, every runtime name present in the stubs."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "kestrune-stubs" / "__init__.pyi"


@pytest.mark.skipif(os.environ.get("KESTRUNE_SANITIZED") == "1", reason="slow under the sanitizers")
def test_stubs_match_the_runtime_module(tmp_path):
    pytest.importorskip("mypy.stubtest")
    # The working copy's stubs, found before any installed copy.
    shutil.copy(STUB, tmp_path / "kestrune.pyi")
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kestrune", "--allowlist",
         str(ROOT / "tests" / "stubtest_allowlist.txt")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def documented_typing_example():
    text = (ROOT / "docs" / "module.md").read_text()
    section = text.split("**type-only names**", 1)[1]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


def test_documented_typing_example_runs_and_type_checks(tmp_path):
    # The type-only names must be reachable the documented way, and only
    # that way: the example runs (no ImportError) and passes mypy --strict.
    code = documented_typing_example()
    scope: dict[str, object] = {}
    exec(compile(code, "docs/module.md", "exec"), scope)
    import numpy as np

    disc = scope["largest_disc"](np.array([[10, 0], [0, 10], [-10, 0]], np.int32))  # type: ignore[operator]
    assert disc == {"x": 0, "y": 0, "r": 10}
    with pytest.raises(ImportError):
        exec("from kestrune import Circle", {})

    if os.environ.get("KESTRUNE_SANITIZED") == "1":
        pytest.skip("mypy is slow under the sanitizers")
    pytest.importorskip("mypy")
    shutil.copy(STUB, tmp_path / "kestrune.pyi")
    (tmp_path / "example.py").write_text(code)
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "example.py"],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
