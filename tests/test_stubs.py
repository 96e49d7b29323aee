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
