"""What the bench_*.py scripts share: the machine's name and dispatch level, and
the --json file that compare.py reads (its docstring gives the format)."""
from __future__ import annotations

import json
import os
import platform
from pathlib import Path

LEVELS = ["scalar", "sse41", "avx2", "avx512bw", "avx512", "neon"]  # neon on aarch64 only


def cpu_flags() -> list[str]:
    try:
        with open("/proc/cpuinfo") as f:
            return next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), [])
    except OSError:
        return []


def cpu_levels() -> list[str]:
    """The levels this CPU has, lowest first (the env var only lowers the choice)."""
    if platform.machine().lower() in ("aarch64", "arm64"):
        return ["scalar", "neon"]  # NEON is part of every aarch64 CPU
    flags = cpu_flags()
    levels = ["scalar"]
    if "sse4_1" in flags:
        levels.append("sse41")
        if "avx2" in flags:
            levels.append("avx2")
            if all(f in flags for f in ("avx512f", "avx512bw", "avx512vl", "avx512dq")):
                levels.append("avx512bw")  # AVX-512 without VBMI and VNNI
                if "avx512vbmi" in flags and "avx512_vnni" in flags:
                    levels.append("avx512")
    return levels


def active_level() -> str:
    """The level kestrune picks in this process: the CPU's best, lowered by KESTRUNE_SIMD."""
    levels = cpu_levels()
    wanted = os.environ.get("KESTRUNE_SIMD", "")
    return wanted if wanted in levels else levels[-1]


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            return next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    except OSError:
        return "?"


def machine() -> str:
    return f"{cpu_name()}, {os.cpu_count()} cores, {active_level()}"


def row(benchmark: str, kestrune: str, kestrune_us: float, against: str, kind: str,
        other_us: float | None) -> dict:
    assert kind in ("peer", "floor")
    return {"benchmark": benchmark, "kestrune": kestrune, "kestrune_us": round(kestrune_us, 3),
            "against": against, "kind": kind, "other_us": None if other_us is None else round(other_us, 3)}


def write(path: Path | str | None, rows: list[dict], **results) -> None:
    """The --json file: the machine, the rows, and under other keys what the
    script measures besides times (compare.py reads only the rows)."""
    if path is None:
        return
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"machine": machine(), "rows": rows, **results}, indent=1) + "\n")
