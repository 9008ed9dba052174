#!/usr/bin/python3
"""Real runs on the simulated cluster for the slow-host verdict: how often a healthy run names
a host slow, and what a healthy fleet's hosts look like (their gaps, frame to frame and host
to host).

Each run starts a fresh simulated cluster of --hosts hosts (tests/cluster/simcluster.py), runs

    tools/bench-run latticeglow W --frames F --depth 16 --hostfile ... (the console on node1,
                                                                       a window on each other)

from node1, keeps the run folder in --keep, and stops the cluster. The cluster and the run
hold --lock (default the shared e2e lock) one run at a time, so others get the machine
between runs. --throttle HOST:SHARE holds a host to a share of a core (a CPU cgroup), as the
cluster test does. Then every kept run (also those of earlier calls: --judge-only) is judged
by benchlib.report.slow_hosts and the figures are printed.

    bench/slow_host_runs.py --runs 30 --keep /tmp/slow-host-runs [--hosts 4] [--frames 20]
                            [--throttle node3:0.3] [--lock FILE]
    bench/slow_host_runs.py --judge-only --keep /tmp/slow-host-runs
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "cluster"))
import simcluster  # noqa: E402
from benchlib.report import slow_hosts  # noqa: E402
from benchlib.results.runs import collect_files, load_runs  # noqa: E402

ROOT_ENV = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
            "LP_NUM_THREADS": "1"}


def one_run(args, name):
    """Runs bench-run once on a fresh cluster; returns its exit status."""
    cluster = simcluster.Cluster(args.hosts).start()
    try:
        if args.throttle:
            host, share = args.throttle.split(":")
            cluster.throttle(host, float(share))
        out = os.path.join(cluster.workdir, "run")
        argv = [os.path.join(SOURCE, "tools", "bench-run"), "latticeglow",
                str(args.hosts - 1), "--frames", str(args.frames), "--depth", "16",
                "--hostfile", os.path.join(cluster.dir, "hostfile.openmpi"),
                "--launcher-agent", cluster.agent, "--no-history", "--out", out,
                "--program", os.path.join(args.build_dir, "latticeglow", "latticeglow")]
        env = dict(os.environ, **ROOT_ENV)
        env.pop("DISPLAY", None)
        with open(os.path.join(cluster.workdir, "console.txt"), "wb") as console:
            process = cluster.popen(cluster.names[0], argv, env=env, stdout=console,
                                    stderr=subprocess.STDOUT)
            status = process.wait(timeout=600)
        if os.path.isdir(out):
            shutil.copytree(out, os.path.join(args.keep, name))
        else:
            os.makedirs(os.path.join(args.keep, name))
        shutil.copy(os.path.join(cluster.workdir, "console.txt"),
                    os.path.join(args.keep, name, "bench-run.console"))
        return status
    finally:
        cluster.stop()


def locked(args):
    """Re-runs this script for one run under flock."""
    return subprocess.run(["flock", args.lock, sys.executable, os.path.abspath(__file__),
                           "--one", "--keep", args.keep, "--hosts", str(args.hosts),
                           "--frames", str(args.frames), "--build-dir", args.build_dir] +
                          (["--throttle", args.throttle] if args.throttle else [])).returncode


def judge(keep):
    """Prints every kept run's verdicts and the totals."""
    named, judged, gaps = 0, 0, []
    for folder in sorted(glob.glob(os.path.join(keep, "*"))):
        if not os.path.isfile(os.path.join(folder, "run.json")):
            continue
        runs, failures = load_runs(collect_files([folder]))
        if failures or len(runs) != 1:
            print("%s: cannot be read: %s" % (folder, failures))
            continue
        verdicts, undecided = slow_hosts.host_verdicts(runs[0])
        judged += 1
        slower = [v.label for v in verdicts if v.slower]
        named += bool(slower or undecided)
        gaps += [v.gap_percent for v in verdicts if v.gap_percent is not None]
        print("%-28s %s%s" % (os.path.basename(folder), "  ".join(
            "%s %+5.1f%% %s" % (v.host, v.gap_percent or 0, v.verdict) for v in verdicts),
            "  " + undecided if undecided else ""))
    if judged:
        print("%d run(s) judged; %d named a host slow or could not decide (%.1f%%)"
              % (judged, named, 100.0 * named / judged))
        print("hosts' gaps to the fleet: largest %.1f%%, mean |gap| %.1f%%" % (
            max(abs(g) for g in gaps), sum(abs(g) for g in gaps) / len(gaps)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=0)
    parser.add_argument("--keep", required=True)
    parser.add_argument("--hosts", type=int, default=4)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--throttle")
    parser.add_argument("--lock", default="/tmp/tarnwick-e2e.lock")
    parser.add_argument("--build-dir", default=os.path.join(SOURCE, "build", "default"))
    parser.add_argument("--judge-only", action="store_true")
    parser.add_argument("--one", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    os.makedirs(args.keep, exist_ok=True)
    if args.one:
        name = time.strftime("%Y%m%d-%H%M%S") + ("-throttled" if args.throttle else "")
        status = one_run(args, name)
        print("%s: bench-run status %d" % (name, status), flush=True)
        return
    if not args.judge_only:
        if simcluster.skip_reason():
            sys.exit("the simulated cluster cannot run here: %s" % simcluster.skip_reason())
        for _ in range(args.runs):
            locked(args)
    judge(args.keep)


if __name__ == "__main__":
    main()
