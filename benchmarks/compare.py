"""One table of every benchmark ratio, against the peers and the floors, and a chart.

    python benchmarks/compare.py --rerun         # runs every bench_*.py with --json (make bench)
    python benchmarks/compare.py                 # reuses out/bench/*.json, runs only missing scripts
    python benchmarks/compare.py --rerun --quick # short budgets

Each benchmarks/bench_<area>.py, run with `--json PATH`, writes its measurements to
PATH as JSON (besides printing its own tables):

    {"machine": "CPU model name",
     "rows": [{"benchmark": "mask 640x480",                    # what is measured
               "kestrune": "mask_image_cy_impl [avx2]",      # the kestrune call timed
               "kestrune_us": 95.1,                          # its median, microseconds
               "against": "OpenCV cvtColor + inRange",       # the peer or floor
               "kind": "peer",                               # "peer" or "floor"
               "other_us": 410.0}]}                          # its median; null if not installed

Other keys hold what a script measures besides times (agreement, stability),
for reading; compare.py passes over them, and a script with nothing to time
writes no rows.

For a peer the ratio is the speed-up, other / kestrune (above 1: kestrune is
faster). For a floor (a memory copy of the same bytes, a bare call) it is
kestrune / floor (how far above the floor; 1 is the floor itself). A missing
script, a script without `--json` or a missing peer shows up as a note, never
as a failure: timings never fail the run.
"""
from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent


@dataclass
class Ratio:
    script: str
    benchmark: str
    kestrune: str
    kestrune_us: float
    against: str
    kind: str
    other_us: float | None

    @property
    def value(self) -> float | None:
        if self.other_us is None or self.other_us <= 0 or self.kestrune_us <= 0:
            return None
        if self.kind == "floor":
            return self.kestrune_us / self.other_us
        return self.other_us / self.kestrune_us


def run_script(script: Path, json_path: Path, quick: bool) -> str | None:
    """Runs one bench script with --json; returns a note when it gave no JSON."""
    json_path.parent.mkdir(parents=True, exist_ok=True)
    json_path.unlink(missing_ok=True)
    cmd = [sys.executable, str(script), "--json", str(json_path)] + (["--quick"] if quick else [])
    print(f"running {' '.join(cmd[1:])}", flush=True)
    try:
        # The script's own tables go to the terminal; its errors are kept for the note.
        done = subprocess.run(cmd, stderr=subprocess.PIPE, text=True, timeout=1800)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{script.name}: {error}"
    if not json_path.exists():
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return f"{script.name}: exit {done.returncode}, no JSON written ({last[:100]})"
    return None


def load(json_path: Path) -> tuple[str, list[Ratio], str | None]:
    script = json_path.stem
    try:
        data: dict[str, Any] = json.loads(json_path.read_text())
        machine = str(data.get("machine", ""))
        ratios = []
        for row in data.get("rows", []):
            other = row.get("other_us")
            ratios.append(Ratio(script, str(row["benchmark"]), str(row.get("kestrune", "kestrune")),
                                float(row["kestrune_us"]), str(row.get("against", "?")),
                                "floor" if row.get("kind") == "floor" else "peer",
                                None if other is None else float(other)))
        return machine, ratios, None
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        return "", [], f"{json_path.name}: unreadable ({error})"


def collect(scripts: Path, json_dir: Path, rerun: bool, quick: bool) -> tuple[list[str], list[Ratio], list[str]]:
    notes: list[str] = []
    for script in sorted(scripts.glob("bench_*.py")):
        target = json_dir / (script.stem + ".json")
        if rerun or not target.exists():
            note = run_script(script, target, quick)
            if note:
                notes.append(note)
    machines: list[str] = []
    ratios: list[Ratio] = []
    for path in sorted(json_dir.glob("bench_*.json")):
        machine, rows, note = load(path)
        if note:
            notes.append(note)
        if machine and machine not in machines:
            machines.append(machine)
        ratios.extend(rows)
    return machines, ratios, notes


def format_us(us: float | None) -> str:
    if us is None:
        return "n/a"
    return f"{us:.1f}" if us < 10_000 else f"{us / 1000:.1f} ms"


def print_table(ratios: list[Ratio]) -> None:
    headers = ["benchmark", "kestrune", "us", "against", "us", "ratio"]
    table = []
    for r in ratios:
        v = r.value
        ratio = "n/a" if v is None else (f"{v:.2f}x faster" if r.kind == "peer" else f"{v:.2f}x floor")
        table.append([f"{r.script.removeprefix('bench_')}: {r.benchmark}", r.kestrune, format_us(r.kestrune_us),
                      r.against, format_us(r.other_us), ratio])
    widths = [max(len(str(row[k])) for row in [headers] + table) for k in range(len(headers))]
    numeric = {2, 4, 5}
    for row in [headers] + table:
        print("  ".join(str(c).rjust(widths[k]) if k in numeric else str(c).ljust(widths[k])
                        for k, c in enumerate(row)))


def chart(ratios: list[Ratio], path: Path, machine: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    shown = [r for r in ratios if r.value is not None]
    if not shown:
        return False
    peers = [r for r in shown if r.kind == "peer"]
    floors = [r for r in shown if r.kind == "floor"]
    panels = [(p, t) for p, t in ((peers, "speed-up over the peer (log scale; > 1: kestrune faster)"),
                                  (floors, "time over the floor (log scale; 1 = the floor)")) if p]
    height = sum(0.32 * len(p) + 1.0 for p, _ in panels)
    fig, axes = plt.subplots(len(panels), 1, figsize=(12, max(3.0, height)), squeeze=False,
                             gridspec_kw={"height_ratios": [len(p) + 2 for p, _ in panels]})
    for ax, (rows, title) in zip(axes[:, 0], panels):
        labels = [f"{r.benchmark}: {r.kestrune} vs {r.against}" for r in rows]
        values = [r.value or math.nan for r in rows]
        colours = ["#2ca02c" if (v >= 1.0) == (rows[0].kind == "peer") else "#d62728" for v in values]
        ax.barh(range(len(rows)), values, color=colours)
        ax.set_xscale("log")
        ax.margins(x=0.12)  # room for the value printed past the longest bar
        ax.axvline(1.0, color="black", lw=0.8)
        ax.set_yticks(range(len(rows)), labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_title(title, fontsize=9)
        for k, v in enumerate(values):
            ax.text(v, k, f" {v:.2f}x", va="center", fontsize=7)
    fig.suptitle(f"kestrune benchmarks{': ' + machine if machine else ''}", fontsize=10)
    # Room above the first panel's title for the figure's.
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.35 / fig.get_figheight()))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scripts", type=Path, default=HERE, help="folder of the bench_*.py scripts")
    parser.add_argument("--json-dir", type=Path, default=Path("out/bench"), help="where the scripts' JSON goes")
    parser.add_argument("--png", type=Path, default=Path("out/benchmarks.png"), help="the chart")
    parser.add_argument("--rerun", action="store_true", help="run every script even if its JSON exists")
    parser.add_argument("--quick", action="store_true", help="pass --quick to the scripts it runs")
    args = parser.parse_args(argv)

    machines, ratios, notes = collect(args.scripts, args.json_dir, args.rerun, args.quick)
    print(f"\nmachine: {'; '.join(machines) or 'unknown'}\n")
    if ratios:
        print_table(ratios)
    else:
        print("no measurements")
    for note in notes:
        print(f"note: {note}")
    if chart(ratios, args.png, "; ".join(machines)):
        print(f"\nwrote {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
