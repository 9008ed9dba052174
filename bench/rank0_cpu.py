#!/usr/bin/python3
"""Prints how much CPU the console process (rank 0) takes while the windows run.

Rank 0 prints its banner and then waits for the run to end. For each MPI build given (default:
build/default with OpenMPI and build/mpich with MPICH, where present) it starts two animating
latticeglow windows on a depth-16 Xvfb, reads rank 0's CPU time over the measuring interval
from /proc, then ends the windows with Esc.

    bench/rank0_cpu.py [--seconds 20] [BUILD_DIR ...]
"""

import argparse
import os
import time

from rig import Launch, display, launcher_of, wait_for


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(build_dir, seconds):
    with display(depth=16) as name, Launch(build_dir, "latticeglow", 3, name) as run:
        windows = [run.window(w) for w in (1, 2)]
        for w in (1, 2):
            wait_for(lambda: run.frames(w) > 0, f"window {w} to report")
        console = run.rank_pid(0)
        before, started = cpu_seconds(console), time.monotonic()
        time.sleep(seconds)
        used, elapsed = cpu_seconds(console) - before, time.monotonic() - started
        for wid in windows:
            run.key(wid, "Escape")
        return used, elapsed, run.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("build_dirs", nargs="*")
    args = parser.parse_args()
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    dirs = args.build_dirs or [d for d in (os.path.join(root, "build", "default"),
                                           os.path.join(root, "build", "mpich"))
                               if os.path.isdir(d)]
    print(f"{'build':<40} {'launcher':<28} {'rank 0 CPU':>12} {'of a core':>10} {'status':>7}")
    for build_dir in dirs:
        used, elapsed, status = measure(os.path.abspath(build_dir), args.seconds)
        launcher = os.path.basename(launcher_of(build_dir))
        print(f"{os.path.relpath(build_dir, root):<40} {launcher:<28} "
              f"{used:>9.2f} s {100 * used / elapsed:>9.2f}% {status:>7}")


if __name__ == "__main__":
    main()
