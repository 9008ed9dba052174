#!/usr/bin/python3
"""Times bench-report on a synthetic run at the programs' scale: WINDOWS results files of
FRAMES frames each, written as the programs write them (latticeglow or shardfall), reported
ROUNDS times with and without plots; prints the median time and the peak memory.

    bench/report_scale.py [--windows 4095] [--frames 500] [--program latticeglow]
                          [--rounds 3] [--compare] [--keep DIR]
"""

import argparse
import datetime
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from benchlib.results import layout as L  # noqa: E402
from benchlib.results.numbers import cxx_double, ieee_divide  # noqa: E402

REPORT = os.path.join(HERE, "..", "tools", "bench-report")
START = datetime.datetime(2026, 12, 8, 9, 0, 0)


def window_text(program, window, frames, rng, slowdown=1.0):
    """One results file's text: frame times scatter around a base that grows with the
    work (shardfall: 3,600 x window x step indices, a third of them triangles)."""
    host = "node%d" % (1 + window // 64)
    out = [program.title_line] + [""] * program.title_blank_lines
    out += [L.INIT_LINE.format(window=window, host=host, seconds=0.35), "", ""]
    total, quantity = 0.0, 0
    for step in range(1, frames + 1):
        if program is L.SHARDFALL:
            count = 1200 * window * step
            t = float(cxx_double(1e-6 * count * slowdown * rng.uniform(0.9, 1.1)))
            values = dict(glut_window=1, triangles=count)
        else:
            count = 65536
            t = float(cxx_double(0.02 * slowdown * rng.uniform(0.9, 1.1)))
            values = dict(window=window, host=host)
        values.update(seconds=t, angle_rate=ieee_divide(1, t), rate=ieee_divide(count, t))
        out += [line.format(**values) for line in program.frame_lines] + [""]
        total += t
        quantity += count
    values = dict(seconds=total, window=window, angle_rate=ieee_divide(frames, total),
                  rate=ieee_divide(quantity, total))
    out += [line.format(**values) for line in program.summary_lines] + [""]
    return "\n".join(out) + "\n"


def make_run(folder, program, windows, frames, seed=1, slowdown=1.0):
    rng = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    for w in range(1, windows + 1):
        name = L.results_name(program.name, w, "node%d" % (1 + w // 64), START)
        with open(os.path.join(folder, name), "w") as f:
            f.write(window_text(program, w, frames, rng, slowdown))


def measure(argv, rounds):
    """Median time and the peak memory over rounds, each in a child process of its own."""
    results = []
    for _ in range(rounds):
        code = ("import resource, subprocess, sys, time\n"
                "t = time.monotonic()\n"
                "p = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
                "stderr=subprocess.DEVNULL)\n"
                "print(time.monotonic() - t, "
                "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, p.returncode)\n")
        out = subprocess.run([sys.executable, "-c", code] + argv, capture_output=True,
                             text=True, check=True).stdout.split()
        results.append((float(out[0]), int(out[1]) / 1024, int(out[2])))
    return (statistics.median(r[0] for r in results), max(r[1] for r in results),
            results[-1][2])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--windows", type=int, default=4095)
    p.add_argument("--frames", type=int, default=500)
    p.add_argument("--program", choices=sorted(L.PROGRAMS), default="latticeglow")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--compare", action="store_true", help="also time bench-report A B")
    p.add_argument("--keep", metavar="DIR", help="make the runs here and keep them")
    args = p.parse_args()
    program = L.PROGRAMS[args.program]
    base = args.keep or tempfile.mkdtemp(prefix="report-scale-")
    try:
        a, b = os.path.join(base, "a"), os.path.join(base, "b")
        started = time.monotonic()
        if not os.path.isdir(a):
            make_run(a, program, args.windows, args.frames)
        size = sum(os.path.getsize(os.path.join(a, n)) for n in os.listdir(a))
        print("synthetic run: %d %s windows x %d frames, %.0f MB, made in %.1f s"
              % (args.windows, program.name, args.frames, size / 1e6,
                 time.monotonic() - started))
        cases = [("report, no plots", [REPORT, "--no-plots", a]),
                 ("report with plots", [REPORT, a])]
        if args.compare:
            if not os.path.isdir(b):
                make_run(b, program, args.windows, args.frames, seed=2, slowdown=1.05)
            cases.append(("compare A B, no plots", [REPORT, "--no-plots", a, b]))
        print("%-24s %10s %10s %7s" % ("what", "median s", "peak MB", "status"))
        for what, argv in cases:
            seconds, peak, status = measure(argv, args.rounds)
            print("%-24s %10.1f %10.0f %7d" % (what, seconds, peak, status))
    finally:
        if not args.keep:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
