#!/usr/bin/python3
"""Prints how much CPU the console process (rank 0) takes while the windows run.

Rank 0 prints its banner and then waits for the run to end. For each MPI build given (default:
build/default with OpenMPI and build/mpich with MPICH, where present) it starts two animating
latticeglow windows on a depth-16 Xvfb, reads rank 0's CPU time over the measuring interval
from /proc, then ends the windows with Esc.

    bench/rank0_cpu.py [--seconds 20] [BUILD_DIR ...]
"""

import argparse
import contextlib
import io
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import e2elib  # noqa: E402


class Cleanups:
    """Stands in for a test case. The end-to-end helpers leave each run's console on stderr
    when they clean up, for a failing test to show: kept back here unless something failed,
    so that a good measurement prints only its figures."""

    def __init__(self):
        self.actions = []

    def addCleanup(self, action, *args):
        self.actions.append((action, args))

    def run(self, failed=False):
        captured = io.StringIO()
        with contextlib.redirect_stderr(captured):
            for action, args in reversed(self.actions):
                action(*args)
        if failed:
            sys.stderr.write(captured.getvalue())

    @contextlib.contextmanager
    def around(self):
        """Runs every cleanup when the block ends; the consoles are shown only on an error."""
        try:
            yield self
        except BaseException:
            self.run(failed=True)
            raise
        self.run()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def launcher_of(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("MPIEXEC_EXECUTABLE:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit(f"{build_dir}: no MPIEXEC_EXECUTABLE in CMakeCache.txt")


def measure(build_dir, seconds):
    e2elib.BUILD_DIR = build_dir
    with Cleanups().around() as cleanups:
        tag = "rank0-" + str(os.getpid())
        server = e2elib.start_xvfb(tag, depth=16)
        cleanups.addCleanup(server.stop)
        cleanups.addCleanup(e2elib.kill_tagged, tag)
        run = e2elib.Run(cleanups, "latticeglow", 3, display=server.display,
                         launcher=launcher_of(build_dir))
        windows = [run.wait_window(w) for w in (1, 2)]
        for w in (1, 2):
            e2elib.wait_for(lambda: run.frame_count(w) > 0, f"window {w} to report")
        console = e2elib.wait_for(lambda: run.rank_pid(0), "rank 0")
        before, started = cpu_seconds(console), time.monotonic()
        time.sleep(seconds)
        used, elapsed = cpu_seconds(console) - before, time.monotonic() - started
        for wid in windows:
            run.key(wid, "Escape")
        status = run.wait_exit()
        return used, elapsed, status


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
        print(f"{os.path.relpath(build_dir, root):<40} {os.path.basename(launcher_of(build_dir)):<28} "
              f"{used:>9.2f} s {100 * used / elapsed:>9.2f}% {status:>7}")


if __name__ == "__main__":
    main()
