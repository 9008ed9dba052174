#!/usr/bin/python3
"""Prints shardfall's "Secs to Initialize" of one window next to the naive fill alone.

Each round runs the naive fill once (malloc + the scalar glibc loop into fresh memory, from
fill_benchmark --naive-once) and then shardfall with one window (mpirun -np 2) on an Xvfb of
its own, reads the window's initialisation time from the
console and ends the window with Esc. A few seconds of rest come before every run, so that each
meets memory as cold as a program started afresh (see fill_benchmark). Medians of the rounds,
then a verdict.

    bench/init_time.py [--rounds 3] [--rest 3] [BUILD_DIR]
"""

import argparse
import os
import re
import statistics
import subprocess
import time

from rig import Launch, display, wait_for

GOAL = 0.35
INIT_LINE = re.compile(r"^Window 1@ .* spent: (\S+) Secs to Initialize\.$", re.M)


def naive_fill_seconds(build_dir):
    result = subprocess.run([os.path.join(build_dir, "bench", "fill_benchmark"), "--naive-once"],
                            capture_output=True, text=True, check=True, timeout=120)
    return float(result.stdout)


def shardfall_initialisation(build_dir, display_name):
    with Launch(build_dir, "shardfall", 2, display_name) as run:
        match = wait_for(lambda: INIT_LINE.search(run.console()), "the initialisation line")
        run.key(run.window(1), "Escape")
        status = run.wait()
        if status != 0:
            raise AssertionError(f"shardfall ended with status {status}")
        return float(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rest", type=float, default=3.0)
    parser.add_argument("build_dir", nargs="?",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "build", "default"))
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)

    naive, init = [], []
    with display() as name:
        print(f"{'round':<6} {'naive fill s':>13} {'Secs to Initialize':>19} {'ratio':>7}")
        for round_number in range(1, args.rounds + 1):
            time.sleep(args.rest)
            naive.append(naive_fill_seconds(build_dir))
            time.sleep(args.rest)
            init.append(shardfall_initialisation(build_dir, name))
            print(f"{round_number:<6} {naive[-1]:>13.3f} {init[-1]:>19.3f} "
                  f"{init[-1] / naive[-1]:>7.3f}")
    ratio = statistics.median(init) / statistics.median(naive)
    print(f"{'median':<6} {statistics.median(naive):>13.3f} {statistics.median(init):>19.3f} "
          f"{ratio:>7.3f}")
    print(f"goal: Secs to Initialize <= {GOAL:.2f}x naive fill: {ratio:.3f}x  "
          f"{'met' if ratio <= GOAL else 'MISSED'}")


if __name__ == "__main__":
    main()
