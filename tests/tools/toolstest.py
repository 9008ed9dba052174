"""Helpers shared by the tests of tools/bench-run and tools/bench-report."""

import datetime
import os
import signal
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("BENCH_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
BUILD_DIR = os.environ.get("BENCH_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "default")
TOOLS_DIR = os.path.join(SOURCE_DIR, "tools")
BENCH_RUN = os.path.join(TOOLS_DIR, "bench-run")
BENCH_REPORT = os.path.join(TOOLS_DIR, "bench-report")
BENCH_COMPARE = os.path.join(TOOLS_DIR, "bench-compare")
BENCH_HISTORY = os.path.join(TOOLS_DIR, "bench-history")

for folder in (TOOLS_DIR, os.path.join(SOURCE_DIR, "tests", "e2e")):
    if folder not in sys.path:
        sys.path.insert(0, folder)
from benchlib.hosts import processes  # noqa: E402
from benchlib.results import layout as L  # noqa: E402
from benchlib.results.numbers import cxx_double as cxx  # noqa: E402,F401  (for the tests)
from benchlib.results.numbers import ieee_divide as divide  # noqa: E402

START = datetime.datetime(2022, 9, 29, 10, 0, 0)


def results_name(program, window, processor="NODE7", start=START, variant=1):
    return L.results_name(program, window, processor, start, variant)


def results_lines(program, window, frames, host, init, summary=True, vertices=None):
    """The lines of a results file as the program writes them (without line ends).
    Shardfall frames are (triangles, frame time); Latticeglow frames are frame times, each
    drawing `vertices`."""
    lines = [program.title_line] + [""] * program.title_blank_lines
    lines += [L.INIT_LINE.format(window=window, host=host, seconds=float(init)), "", ""]
    total, quantity = 0.0, 0
    for frame in frames:
        if program is L.SHARDFALL:
            count, t = frame
            values = dict(glut_window=1, triangles=count)
        else:
            count, t = vertices, frame
            values = dict(window=window, host=host)
        values.update(seconds=float(t), angle_rate=divide(1, t), rate=divide(count, t))
        lines += [line.format(**values) for line in program.frame_lines] + [""]
        total += t
        quantity += count
    if summary:
        values = dict(seconds=float(total), window=window,
                      angle_rate=divide(len(frames), total), rate=divide(quantity, total))
        lines += [line.format(**values) for line in program.summary_lines] + [""]
    return lines


def shardfall_lines(window, frames, processor="NODE7", init=3.52178, summary=True):
    """The lines of a Shardfall results file; frames are (triangles, exact frame time)."""
    return results_lines(L.SHARDFALL, window, frames, processor, init, summary)


def latticeglow_lines(window, times, vertices, processor="NODE7", init=0.35, summary=True):
    """The lines of a Latticeglow results file drawing `vertices` per frame."""
    return results_lines(L.LATTICEGLOW, window, times, processor, init, summary, vertices)


def write_lines(folder, name, lines):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("".join(line + "\n" for line in lines))
    return path


def png_size(path):
    """(width, height) from a PNG's IHDR chunk; fails for anything that is not a PNG."""
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError("%s is not a PNG file" % path)
    return struct.unpack(">II", head[16:24])


def run_tool(tool, *args, timeout=300, **kwargs):
    return subprocess.run([tool] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


# ---------------------------------------------------------------- processes of a run

def run_tag(folder):
    """The secret tag every process of the run in `folder` carries, or None."""
    try:
        with open(os.path.join(folder, ".bench-run-tag")) as f:
            return f.read().strip()
    except OSError:
        return None


def processes_of_run(tag=None, folder=None):
    """Live processes carrying a run's tag in their environment or working in its folder."""
    return processes.tagged_processes(tag, folder=folder)


def wait_until(condition, timeout, interval=0.1):
    """Polls until condition() is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def kill_processes(pids):
    processes.signal_all(pids, signal.SIGKILL)
