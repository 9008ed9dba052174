#!/usr/bin/python3
"""Prints how often the slow-host verdict (benchlib.report.slow_hosts) names a healthy host
slow, and how often it names slow hosts, on synthetic fleets with the frame-time spread of
real runs here.

The real runs are stepped runs kept by bench/slow_host_runs.py (--real DIR, any number): each
host's log frame times split into the run's moments (frame k's mean over the hosts) and
the host's own part against them (its offset, the healthy host-to-host spread, and its
frame-to-frame noise). A synthetic fleet of N hosts takes the moments of one real run and,
for each host, the whole part of one real window (so the hosts' spread, the frames'
correlation from one to the next and their tails are the real ones). A slow host's frame times are multiplied by --factor
(1.3: 30 % slower, its workload rate 23 % below). Each fleet is judged as bench-report judges
a stepped run (frames paired by number) and as it judges a run that was not stepped (frames
not paired, the moments then part of every host's noise).

The frames of the real runs kept with the tests (tests/tools/fixtures) are printed beside
them for comparison (they were not stepped: their moments are in their spread).

    bench/slow_host_verdicts.py --real /tmp/slow-host-runs/h4 [--real DIR ...]
                                [--fleets 1000] [--frames 20] [--factor 1.3] [--seed 1]
"""

import argparse
import glob
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from benchlib.report import slow_hosts  # noqa: E402
from benchlib.results.runs import collect_files, load_runs  # noqa: E402

FIXTURES = [os.path.join(HERE, "..", "tests", "tools", "fixtures", name)
            for name in ("openmpi-latticeglow-seconds", "openmpi-shardfall-frames")]
CASES = (  # (hosts, slow hosts)
    (3, 0), (4, 0), (8, 0), (16, 0), (3, 1), (4, 1), (8, 1), (16, 1), (6, 2), (7, 3),
    (16, 7), (6, 3))


def real_parts(folders):
    """(moments, hosts) of the real runs: [arrays of frames] each; a host's part is its log
    frame times against the moment's (frame k's mean over the run's hosts), widened by
    sqrt(n / (n - 1)) for the share of it in that mean: its offset and its noise together."""
    moments, hosts = [], []
    for folder in folders:
        runs, failures = load_runs(collect_files([folder]))
        if failures or len(runs) != 1 or not runs[0].context.get("frames"):
            print("left out (not one stepped run): %s" % folder, file=sys.stderr)
            continue
        frames = [slow_hosts._frames_of(r)[0] for r in runs[0].reports]
        fewest = min(len(f) for f in frames)
        stack = np.array([f[:fewest] for f in frames])
        moment = np.mean(stack, axis=0)
        moments.append(moment - np.median(moment))
        widen = np.sqrt(len(stack) / (len(stack) - 1))
        hosts += [(row - moment) * widen for row in stack]
    return moments, hosts


def fleet(parts, rng, hosts, slow, frames, factor):
    """[log frame times] of a synthetic fleet; its first `slow` hosts slow."""
    moments, real_hosts = parts
    moment = _stretch(moments[rng.integers(len(moments))], frames, rng)
    return [moment + _stretch(real_hosts[rng.integers(len(real_hosts))], frames, rng) +
            (np.log(factor) if h < slow else 0) for h in range(hosts)]


def _stretch(series, frames, rng):
    """`frames` values of a real series: a run of it from a random start, the series repeated
    when it is shorter."""
    reps = -(-frames // len(series)) + 1
    long = np.tile(series, reps)
    start = rng.integers(len(series))
    return long[start:start + frames]


def verdict(residuals, paired):
    found = slow_hosts.judge(residuals, paired)
    return [v[3] for v in found.verdicts]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--real", action="append", required=True)
    parser.add_argument("--fleets", type=int, default=1000)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--factor", type=float, default=1.3)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    folders = [f for d in args.real for f in sorted(glob.glob(os.path.join(d, "*")))
               if os.path.isfile(os.path.join(f, "run.json"))]
    parts = real_parts(folders)
    moments, real_hosts = parts
    offsets = [np.median(h) for h in real_hosts]
    print("real runs: %d (%d windows); a window's frames against its run's moments "
          "(robust sd of log frame time, median over windows) %.3f; its median against "
          "them (host-to-host) sd %.3f, largest %.3f; moments' spread %.3f"
          % (len(moments), len(real_hosts),
             np.median([1.4826 * np.median(np.abs(h - np.median(h))) for h in real_hosts]),
             np.std(offsets), np.max(np.abs(offsets)),
             np.median([1.4826 * np.median(np.abs(m)) for m in moments])))
    fixtures = []  # each window's residuals after the fit against its work
    for folder in FIXTURES:
        reports = load_runs(collect_files([folder]))[0][0].reports
        fixtures += slow_hosts._residuals(
            {r.window: [slow_hosts._frames_of(r)] for r in reports}, False)
    print("kept fixture runs (tests/tools/fixtures, not stepped): a window's frames' robust sd at "
          "equal work "
          "%s (windows of %s frames)" % (
              ", ".join("%.3f" % (1.4826 * np.median(np.abs(f - np.median(f))))
                        for f in fixtures), ", ".join(str(len(f)) for f in fixtures)))
    print("%d fleets a case, %d frames a host, slow hosts' frame times x %g (workload rate "
          "%+.0f%%)" % (args.fleets, args.frames, args.factor, (1 / args.factor - 1) * 100))
    print("%-22s %-9s %12s %12s %12s %12s" % ("fleet", "frames", "healthy", "all slow",
                                              "cannot tell", "mean named"))
    rng = np.random.default_rng(args.seed)
    for hosts, slow in CASES:
        for paired in (True, False):
            wrong = caught = split = named = 0
            for _ in range(args.fleets):
                verdicts = verdict(fleet(parts, rng, hosts, slow, args.frames, args.factor),
                                   paired)
                if slow_hosts.SPLIT in verdicts:
                    split += 1
                    continue
                wrong += any(v == "SLOWER" for v in verdicts[slow:])
                caught += slow > 0 and all(v == "SLOWER" for v in verdicts[:slow])
                named += sum(v == "SLOWER" for v in verdicts[:slow])
            print("%-22s %-9s %11.1f%% %11s %11.1f%% %12s" % (
                "%d of %d hosts slow" % (slow, hosts), "paired" if paired else "unpaired",
                100.0 * wrong / args.fleets,
                "%.1f%%" % (100.0 * caught / args.fleets) if slow else "-",
                100.0 * split / args.fleets,
                "%.2f" % (named / args.fleets) if slow else "-"))


if __name__ == "__main__":
    main()
