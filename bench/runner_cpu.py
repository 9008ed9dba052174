#!/usr/bin/python3
"""Prints how much CPU bench-run itself takes at a number of windows.

For every window count given (default 8, 64 and 128) it runs

    tools/bench-run latticeglow N --frames 3 --depth 16 --out <new folder> --no-history

--repeats times (default 3), one run after the other, reads `runner_cpu` from each run's
run.json (the runner's own CPU time from the launch to the end, beside the wall time) and
prints each run's share of a core and the median per window count. A run that fails is
printed with its status and left out of the median.

    bench/runner_cpu.py [--repeats 3] [--frames 3] [--lock FILE] [--bench-run PATH]
                        [--program PATH] [N ...]

--lock FILE runs each bench-run under `flock FILE` (released between runs), for a machine
shared with others; --bench-run names another bench-run (another checkout's), --program the
latticeglow it runs.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def one_run(args, windows):
    """(share, cpu seconds, wall seconds, run seconds) of one run, or None with a note."""
    out = tempfile.mkdtemp(prefix="runner-cpu-")
    try:
        folder = os.path.join(out, "run")
        command = [args.bench_run, "latticeglow", str(windows), "--frames", str(args.frames),
                   "--depth", "16", "--out", folder, "--no-history"]
        if args.program:
            command += ["--program", args.program]
        if args.lock:
            command = ["flock", args.lock] + command
        started = time.monotonic()
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        took = time.monotonic() - started
        if result.returncode != 0:
            last = (result.stderr.strip().splitlines() or ["(nothing on standard error)"])[-1]
            print("  %4d windows: status %d: %s" % (windows, result.returncode, last[:200]))
            return None
        with open(os.path.join(folder, "run.json")) as f:
            cpu = json.load(f)["runner_cpu"]
        return cpu["share"], cpu["seconds"], cpu["wall_seconds"], took
    finally:
        shutil.rmtree(out, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("windows", nargs="*", type=int, default=[8, 64, 128])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--frames", type=int, default=3)
    parser.add_argument("--lock", metavar="FILE")
    parser.add_argument("--bench-run", default=os.path.join(ROOT, "tools", "bench-run"))
    parser.add_argument("--program", metavar="PATH")
    args = parser.parse_args()
    print("bench-run: %s, latticeglow --depth 16 --frames %d"
          % (os.path.realpath(args.bench_run), args.frames))
    medians = {}
    for windows in args.windows:
        shares = []
        for _ in range(args.repeats):
            measured = one_run(args, windows)
            if measured is None:
                continue
            share, cpu, wall, took = measured
            shares.append(share)
            print("  %4d windows: runner %.2f s CPU over %.1f s = %.2f%% of a core "
                  "(the run took %.0f s)" % (windows, cpu, wall, 100 * share, took))
            sys.stdout.flush()
        if shares:
            medians[windows] = statistics.median(shares)
    print("%8s  %s" % ("windows", "runner CPU, median share of a core"))
    for windows, share in medians.items():
        print("%8d  %.2f%%" % (windows, 100 * share))


if __name__ == "__main__":
    main()
