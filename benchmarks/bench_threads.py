"""Finding on threads: the RoboCup frames found on one thread, on two (each its
own Finder), and by one Finder shared by four threads; threads take the next
frame not yet taken, so that none waits on a slower share; and `kestrune batch`
over the frames' folder with one worker and with two (reading the files included).

    python benchmarks/bench_threads.py [--quick] [--json PATH] [--rounds N] [--robocup DIR] [--calibrate-on FILE]

Calibrated as bench_detect.py does (one ball of one frame; discs of radius
10-130). Prints the best of N rounds of each, the speed-up of two threads
over one, and whether the threads' finds equal the serial ones. --json writes
each threaded way as a row against one thread (us per frame), batch's two
workers against one, and the frames whose finds differ from the serial ones.
"""

import argparse
import os
import threading
import time
from pathlib import Path

import kestrune_find as kf
from kestrune_find import batch

import jsonreport
import robocup

MIN_R, MAX_R = 10, 130  # bench_detect.py's RANGE_ROBOCUP


class Queue:
    """The frames' indices, handed out once each to whichever thread asks."""

    def __init__(self, n):
        self._next = iter(range(n))
        self._lock = threading.Lock()

    def __iter__(self):
        while True:
            with self._lock:
                k = next(self._next, None)
            if k is None:
                return
            yield k


def find_each(finder, colour, frames, out, queue, stages=None):
    for k in queue:
        out[k] = finder.find(frames[k], "disc", colour, min_r=MIN_R, max_r=MAX_R)
        if stages is not None:  # this thread's own stages
            for stage, ms in finder.timings.items():
                stages[stage] = stages.get(stage, 0.0) + ms


def on_threads(jobs) -> float:
    """Runs each job (a callable) on its own thread; the wall time in seconds."""
    threads = [threading.Thread(target=job) for job in jobs]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - t0


def batch_seconds(folder: Path, colour, workers: int) -> float:
    """Wall time of `kestrune batch` (batch.run) over every image of the folder."""
    t0 = time.perf_counter()
    for _ in batch.run(folder, [("disc", colour)], workers=workers):
        pass
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="2 rounds unless --rounds says otherwise")
    ap.add_argument("--json", type=Path, metavar="PATH", help="also write the rows for compare.py")
    ap.add_argument("--rounds", type=int, help="rounds of each; the best is kept (default 5)")
    ap.add_argument("--robocup", type=Path, default=robocup.DEFAULT_DIR, help="the annotated RoboCup folder")
    ap.add_argument("--calibrate-on", default=robocup.DEFAULT_CALIBRATION,
                    help="the RoboCup frame whose largest whole ball gives the colour")
    args = ap.parse_args()
    rounds = args.rounds or (2 if args.quick else 5)

    items = robocup.load(args.robocup)
    _, frame0, truth0 = robocup.find_entry(items, args.calibrate_on)
    colour = kf.calibrate(frame0, [robocup.calibration_rect(truth0)])
    colour = getattr(colour, "colour", colour)
    frames = [f for _, f, _ in items]
    n = len(frames)
    print(f"{n} RoboCup frames, {os.cpu_count()} CPUs")

    serial: list = [None] * n
    split: list = [None] * n
    shared: list = [None] * n
    shared_finder = kf.Finder(seed=1)

    stages: dict = {}

    def one_job():
        stages.clear()
        return [lambda: find_each(kf.Finder(seed=1), colour, frames, serial, Queue(n), stages)]

    def two_jobs():
        queue = Queue(n)
        return [lambda: find_each(kf.Finder(seed=1), colour, frames, split, queue) for _ in range(2)]

    def shared_jobs():
        queue = Queue(n)
        return [lambda: find_each(shared_finder, colour, frames, shared, queue) for _ in range(4)]

    # Rounds interleave the three, so that a burst of other work on the
    # machine slows all of them alike; the best round of each is kept.
    one = two = four = float("inf")
    for _ in range(rounds):
        one = min(one, on_threads(one_job()))
        two = min(two, on_threads(two_jobs()))
        four = min(four, on_threads(shared_jobs()))

    print(f"1 thread                        {one * 1e3 / n:7.2f} ms/frame   (last round: "
          + ", ".join(f"{stage} {ms / n:.2f}" for stage, ms in stages.items()) + " ms/frame)")
    print(f"2 threads, a Finder each        {two * 1e3 / n:7.2f} ms/frame   {one / two:.2f}x one thread")
    print(f"4 threads, one shared Finder    {four * 1e3 / n:7.2f} ms/frame   {one / four:.2f}x one thread")
    differ_two = sum(a != b for a, b in zip(serial, split))
    differ_shared = sum(a != b for a, b in zip(serial, shared))
    print(f"2 threads' finds equal the serial ones: {differ_two == 0} ({differ_two} of {n} frames differ)")
    print(f"shared Finder's finds equal the serial ones: {differ_shared == 0} ({differ_shared} of {n} frames differ)")

    # kestrune batch on the frames' folder: reading the JPEG files included.
    folder = args.robocup / "images"
    batch_one = batch_two = float("inf")
    for _ in range(rounds):
        batch_one = min(batch_one, batch_seconds(folder, colour, 1))
        batch_two = min(batch_two, batch_seconds(folder, colour, 2))
    print(f"batch, --workers 1              {batch_one * 1e3 / n:7.2f} ms/image (reading the file included)")
    print(f"batch, --workers 2              {batch_two * 1e3 / n:7.2f} ms/image   {batch_one / batch_two:.2f}x --workers 1")

    bench = "find per RoboCup frame"
    rows = [jsonreport.row(bench, "2 threads, a Finder each", two * 1e6 / n, "1 thread", "peer", one * 1e6 / n),
            jsonreport.row(bench, "4 threads, one shared Finder", four * 1e6 / n, "1 thread", "peer", one * 1e6 / n),
            jsonreport.row("batch per RoboCup image", "batch --workers 2", batch_two * 1e6 / n, "--workers 1", "peer",
                           batch_one * 1e6 / n)]
    jsonreport.write(args.json, rows, frames=n, rounds=rounds,
                     frames_differing={"2 threads, a Finder each": differ_two,
                                       "4 threads, one shared Finder": differ_shared})


if __name__ == "__main__":
    main()
