#!/usr/bin/python3
"""Prints how long the run history takes to record a run and to draw a trend over many.

Writes RUNS (default 1,000) synthetic Shardfall run folders (two windows, two frames each,
run.json as bench-run writes it, one series), records each into a new history database,
then times `bench-history trend` over all of them: as a command (Python start-up and the
matplotlib import included) and in parts (reading the runs, the table, the plot).

    bench/history_trend.py [--runs 1000] [--dir DIR] [--db postgresql://...]

--dir is where the temporary folders and database go (default: the system's temporary
folder); a commit's cost depends on its file system, which is printed. --db URI measures a
history on a PostgreSQL server instead (an empty database).
"""

import argparse
import contextlib
import datetime
import io
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
sys.path.insert(0, TOOLS)

from benchlib.history import command, store  # noqa: E402
from benchlib.history.folder import read_run  # noqa: E402
from benchlib.history.plot import write_trend_plot  # noqa: E402
from benchlib.results import layout as L  # noqa: E402

RENDERER = "llvmpipe (LLVM 15.0.6, 256 bits)"
SERIES = ("shardfall", 2, 24, RENDERER, "frames", None)


def results_lines(window, start_rate):
    """A Shardfall results file of window `window`: two frames at about start_rate."""
    p = L.SHARDFALL
    lines = [p.title_line] + [""] * p.title_blank_lines
    lines += [L.INIT_LINE.format(window=window, host="vm", seconds=0.46), "", ""]
    total, triangles = 0.0, 0
    for step in (1, 2):
        count = 3600 * window * step
        t = float("%.6g" % (count / start_rate))
        lines += [line.format(glut_window=window, triangles=count, seconds=t,
                              angle_rate=1 / t, rate=count / t) for line in p.frame_lines]
        lines.append("")
        total, triangles = total + t, triangles + count
    lines += [line.format(seconds=total, window=window, angle_rate=2 / total,
                          rate=triangles / total) for line in p.summary_lines] + [""]
    return lines


def write_run(root, i, start, rng):
    folder = os.path.join(root, "shardfall-%04d" % i)
    os.makedirs(folder)
    files = {}
    for w in (1, 2):
        name = L.results_name("shardfall", w, "vm", start)
        with open(os.path.join(folder, name), "w") as f:
            f.write("\n".join(results_lines(w, rng.gauss(2100, 150))) + "\n")
        files[str(w)] = name
    when = start.astimezone().isoformat(timespec="seconds")
    record = {"program": "shardfall", "windows": 2, "frames": 2, "seconds": None,
              "status": "ok", "error": None, "run_id": "synthetic-%d" % i, "start_time": when,
              "end_time": when, "results_files": files, "screen_depth": 24,
              "context": {"host": "vm", "cpu_model": "synthetic", "gl_renderer": RENDERER,
                          "gl_version": "4.5", "mpi_library": "openmpi", "mpi_version": "4.1.4",
                          "screen": {"width": 1640, "height": 1640, "depth": 24},
                          "git_revision": "%040x" % rng.getrandbits(160)},
              "hosts": [{"name": "vm", "cpu_model": "synthetic", "cores": 2,
                         "memory_bytes": 8 << 30, "gl_renderer": RENDERER,
                         "mpi_library": "openmpi", "windows": [1, 2]}]}
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump(record, f)
    return folder


def file_system(path):
    proc = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "--target", path],
                          capture_output=True, text=True)
    return proc.stdout.strip() or "unknown"


def ms(seconds):
    return "%.2f ms" % (seconds * 1000)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--db", default=None,
                        help="a postgresql:// URI of an empty database to measure a server "
                             "instead (default: a new SQLite file)")
    args = parser.parse_args()
    rng = random.Random(1)
    with tempfile.TemporaryDirectory(dir=args.dir) as root:
        db = args.db or os.path.join(root, "history.sqlite")
        start = datetime.datetime(2026, 1, 1, 9)
        folders = [write_run(root, i, start + datetime.timedelta(hours=6 * i), rng)
                   for i in range(args.runs)]
        print("%d synthetic runs in %s (%s)" % (args.runs, root, file_system(root)))

        reading, writing = [], []
        for folder in folders:
            t0 = time.perf_counter()
            entry = read_run(folder)
            t1 = time.perf_counter()
            with store.History(db) as history:
                history.record(entry)
            t2 = time.perf_counter()
            reading.append(t1 - t0)
            writing.append(t2 - t1)
        both = [a + b for a, b in zip(reading, writing)]
        print("recording one run: median %s (reading the folder %s, opening the database and "
              "writing it %s), max %s" % (ms(statistics.median(both)),
                                          ms(statistics.median(reading)),
                                          ms(statistics.median(writing)), ms(max(both))))
        if not args.db:
            print("database: %d bytes" % os.path.getsize(db))

        t0 = time.perf_counter()
        with store.History(db, create=False) as history:
            rows = history.runs(store.Where(program="shardfall"))
        t1 = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            command.main(["--db", db, "trend", "--no-plot"])
        t2 = time.perf_counter()
        write_trend_plot(SERIES, rows, os.path.join(root, "a.png"))
        t3 = time.perf_counter()
        write_trend_plot(SERIES, rows, os.path.join(root, "b.png"))
        t4 = time.perf_counter()
        print("trend over %d runs, in parts: reading them %s, reading and the table %s, the "
              "plot %s (first, with the matplotlib import) and %s (again)"
              % (len(rows), ms(t1 - t0), ms(t2 - t1), ms(t3 - t2), ms(t4 - t3)))

        times = []
        for _ in range(3):
            t0 = time.perf_counter()
            subprocess.run([os.path.join(TOOLS, "bench-history"), "--db", db, "trend",
                            "--out", os.path.join(root, "trend.png")],
                           stdout=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - t0)
        print("bench-history trend over %d runs (table and plot, as a command): median of 3 "
              "%s, min %s" % (args.runs, ms(statistics.median(times)), ms(min(times))))


if __name__ == "__main__":
    main()
