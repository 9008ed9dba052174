"""Helpers shared by the tests of tools/bench-run and tools/bench-report."""

import math
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

if TOOLS_DIR not in sys.path:
    sys.path.insert(0, TOOLS_DIR)
from benchlib import processes  # noqa: E402

SHARDFALL_TITLE = ("Tarnwick :: Oxbrindle Benchmark Graphics Shardfall for Windows on x86 "
                   "64bit system 2022.09.29.")
LATTICEGLOW_TITLE = ("Tarnwick :: Oxbrindle Benchmark Graphics Latticeglow for Windows on x86 "
                     "64bit system 2022.09.29.")


def cxx(value):
    """A double the way the programs' C++ streams print it (default format, 6 digits)."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return "%g" % value


def divide(a, b):
    """IEEE division as the programs do it (0/0 gives the -nan of x86)."""
    if b == 0:
        return -math.nan if a == 0 else math.copysign(math.inf, a)
    return a / b


def results_name(program, window, processor="NODE7", stamp="2022.09.29 time 10.00.00"):
    return "results_%s_windows @ %d of %s @ local date %s.txt" % (program, window, processor,
                                                                  stamp)


def shardfall_lines(window, frames, processor="NODE7", init=3.52178, summary=True):
    """The lines of a Shardfall results file; frames are (triangles, exact frame time)."""
    lines = [SHARDFALL_TITLE, "", "",
             "Window %d@ %s spent: %s Secs to Initialize." % (window, processor, cxx(init)),
             "", ""]
    total, triangles = 0.0, 0
    for count, t in frames:
        lines += ["window: 1", "It drew %d Triangles." % count,
                  "It spent: %s Secs. " % cxx(t),
                  "It was: %s Angles/sec." % cxx(divide(1, t)),
                  "It was: %s Triangles/sec." % cxx(divide(count, t)), ""]
        total += t
        triangles += count
    if summary:
        lines += ["Total running time:  %s Secs. @ window: %d" % (cxx(total), window),
                  "Average Angles/Sec: %s Angles/Sec." % cxx(divide(len(frames), total)),
                  "Average Triangles/Sec: %s Triangles/Sec." % cxx(divide(triangles, total)),
                  ""]
    return lines


def latticeglow_lines(window, times, vertices, processor="NODE7", init=0.35, summary=True):
    """The lines of a Latticeglow results file drawing `vertices` per frame."""
    lines = [LATTICEGLOW_TITLE, "",
             "Window %d@ %s spent: %s Secs to Initialize." % (window, processor, cxx(init)),
             "", ""]
    total = 0.0
    for t in times:
        lines += ["window: %d @ %s" % (window, processor),
                  "The system spent: %s Secs. " % cxx(t),
                  "It was: %s Angles/sec." % cxx(divide(1, t)),
                  "It was: %s Vertex/sec." % cxx(divide(vertices, t)), ""]
        total += t
    if summary:
        n = len(times)
        lines += ["Total running time:  %s Secs. @ window: %d" % (cxx(total), window),
                  "Average Angles/Sec: %s Angles/Sec." % cxx(divide(n, total)),
                  "Average Vertex/Sec: %s Vertex/Sec." % cxx(divide(vertices * n, total)),
                  ""]
    return lines


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

def processes_of_run(run_id=None, folder=None):
    """Live processes carrying a run's id in their environment or working in its folder."""
    return processes.tagged_processes(run_id, folder=folder)


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
