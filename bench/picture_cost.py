#!/usr/bin/python3
"""Prints what bench-run's picture check costs: the same runs with it and with
--no-picture-check, their wall time, the check's own stage time ("pictures" in run.json's
stage_seconds) and its share of the run's wall time.

Runs: latticeglow at depth 16 with 2 and 64 windows (--frames 3), shardfall with 2 windows
(--frames 2). Run it under `flock /tmp/tarnwick-e2e.lock`: it starts Xvfb and the programs.

    bench/picture_cost.py [--build-dir build/default] [--rounds 1]
"""

import argparse
import json
import os
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH_RUN = os.path.join(HERE, "..", "tools", "bench-run")
RUNS = [("latticeglow", 2, ["--frames", "3", "--depth", "16"]),
        ("latticeglow", 64, ["--frames", "3", "--depth", "16"]),
        ("shardfall", 2, ["--frames", "2"])]


def one_run(build_dir, program, windows, options, checked, folder):
    out = os.path.join(folder, "run")
    start = time.monotonic()
    proc = subprocess.run([BENCH_RUN, program, str(windows), "--build-dir", build_dir,
                           "--no-history", "--out", out] + options +
                          ([] if checked else ["--no-picture-check"]),
                          capture_output=True, text=True)
    wall = time.monotonic() - start
    if proc.returncode != 0:
        raise SystemExit("bench-run failed (%d): %s" % (proc.returncode, proc.stderr[-2000:]))
    with open(os.path.join(out, "run.json")) as f:
        info = json.load(f)
    shutil.rmtree(out)
    checked_windows = sum(e["status"] == "pass" for e in
                          (info.get("pictures") or {}).get("windows", []))
    return wall, info.get("stage_seconds", {}).get("pictures", 0.0), checked_windows


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build", "default"))
    p.add_argument("--rounds", type=int, default=1)
    args = p.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    print("%-12s %7s %14s %14s %12s %8s %8s" % ("program", "windows", "wall, checked",
                                               "wall, not", "check stage", "share", "checked"))
    with tempfile.TemporaryDirectory() as folder:
        for program, windows, options in RUNS:
            for _ in range(args.rounds):
                wall, stage, count = one_run(build_dir, program, windows, options, True, folder)
                bare, _stage, _n = one_run(build_dir, program, windows, options, False, folder)
                print("%-12s %7d %13.1fs %13.1fs %11.1fs %7.1f%% %8d" % (
                    program, windows, wall, bare, stage, 100 * stage / wall, count), flush=True)


if __name__ == "__main__":
    main()
