#!/usr/bin/python3
"""Prints how often the history's and the comparison's gates cry wolf on healthy runs, how
often they say CANNOT TELL, and the smallest fall they catch.

Simulated, not measured: healthy headlines are drawn around one level with a given noise,
either log-normal (a quiet machine) or Student's t with 3 degrees of freedom (a busy one:
mostly quiet, now and then far off). For each noise level:

- bench-history check: N earlier runs and one new run, judged as `check --fail-above PCT`
  judges it (benchlib.history.analysis);
- bench-compare of two `--repeat R` series: the total's gate as `bench-compare --fail-above
  PCT` applies it (Welch's t-test of the repeats' log headlines; CANNOT TELL when a side's
  repeats spread over more than a significant change, or than PCT; benchlib.report.compare).

"caught at" is the smallest true fall (in steps of 1 %) that trips the gate in at least 90 %
of the tries.

--real N measures instead: N healthy runs of `tools/bench-run latticeglow 2 --frames 20
--depth 16` one after the other into a history of their own (run it under `flock
/tmp/bench-e2e.lock`: it starts Xvfb), and each run after the first --last checked with
`bench-history check --fail-above PCT` against the runs before it.

    bench/gate_false_alarms.py [--tries 2000] [--last 10] [--repeats 3] [--seed 1]
    bench/gate_false_alarms.py --real 30 [--last 10]
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
sys.path.insert(0, TOOLS)

from benchlib.history import analysis  # noqa: E402
from benchlib.report import compare  # noqa: E402

NOISES = [("quiet, 2 %", "normal", 0.02), ("quiet, 5 %", "normal", 0.05),
          ("busy, 5 % heavy-tailed", "t3", 0.05), ("busy, 10 % heavy-tailed", "t3", 0.10)]
THRESHOLDS = (5, 10)


def draw(rng, kind, sigma, shape):
    noise = rng.normal(0, sigma, shape) if kind == "normal" else \
        rng.standard_t(3, shape) * sigma / np.sqrt(3)  # t3 scaled to the same deviation
    return 1000 * np.exp(noise)


def check_gate(earlier, new, pct):
    return analysis.judge(float(new), earlier.tolist()).gate(pct)


def compare_gate(a, b, pct):
    """Comparison.gate of the total of two repeated series, from their headlines."""
    change = (np.median(b) - np.median(a)) / np.median(a) * 100
    spread, _side = compare.repeats_spread(a.tolist(), b.tolist())
    significant = compare.welch(a, b) < compare.ALPHA
    if significant and spread > abs(change):
        return "CANNOT TELL"
    if significant and -change > pct:
        return "REGRESSION"
    return "CANNOT TELL" if spread > pct else "PASS"


def rates(gate, tries, rng, kind, sigma, pct, fall):
    """(share REGRESSION, share CANNOT TELL) over the tries, B fallen by `fall`."""
    said = [gate(rng, kind, sigma, pct, fall) for _ in range(tries)]
    return said.count("REGRESSION") / tries, said.count("CANNOT TELL") / tries


def caught_at(gate, tries, rng, kind, sigma, pct):
    for fall in range(1, 100):
        if rates(gate, tries // 4, rng, kind, sigma, pct, fall / 100)[0] >= 0.9:
            return "%d %%" % fall
    return "never"


def real_runs(count, last):
    """Runs and checks them as --real says; prints what each threshold said."""
    said = {pct: {} for pct in THRESHOLDS}
    with tempfile.TemporaryDirectory() as root:
        db = os.path.join(root, "history.sqlite")
        for i in range(count):
            out = os.path.join(root, "run-%d" % i)
            subprocess.run([os.path.join(TOOLS, "bench-run"), "latticeglow", "2", "--frames",
                            "20", "--depth", "16", "--history", db, "--out", out],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            if i < last:
                continue
            for pct in THRESHOLDS:
                proc = subprocess.run([os.path.join(TOOLS, "bench-history"), "--db", db,
                                       "check", out, "--last", str(last), "--fail-above",
                                       str(pct)], capture_output=True, text=True)
                verdict = proc.stdout.splitlines()[-1].split(":")[0]
                said[pct][verdict] = said[pct].get(verdict, 0) + 1
        from benchlib.history.store import History
        with History(db, create=False) as history:
            headlines = sorted(r["headline"] for r in history.runs())
    print("%d healthy runs, each after the first %d checked against the %d before it; "
          "headlines: median %.4g, min %.4g (%+.1f%%), max %.4g (%+.1f%%)" % (
              count, last, last, np.median(headlines), headlines[0],
              (headlines[0] / np.median(headlines) - 1) * 100, headlines[-1],
              (headlines[-1] / np.median(headlines) - 1) * 100))
    for pct in THRESHOLDS:
        print("--fail-above %d: %s" % (pct, ", ".join("%s %d" % kv
                                                      for kv in sorted(said[pct].items()))))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--tries", type=int, default=2000)
    p.add_argument("--last", type=int, default=10, help="check's earlier runs")
    p.add_argument("--repeats", type=int, default=3, help="repeats on each side of a compare")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--real", type=int, metavar="N", help="measure N real runs instead")
    args = p.parse_args()
    if args.real:
        return real_runs(args.real, args.last)
    rng = np.random.default_rng(args.seed)

    def check(rng, kind, sigma, pct, fall):
        earlier = draw(rng, kind, sigma, args.last)
        return check_gate(earlier, draw(rng, kind, sigma, 1)[0] * (1 - fall), pct)

    def comparison(rng, kind, sigma, pct, fall):
        return compare_gate(draw(rng, kind, sigma, args.repeats),
                            draw(rng, kind, sigma, args.repeats) * (1 - fall), pct)

    print("%d tries a cell; check against the last %d runs; compare of --repeat %d series"
          % (args.tries, args.last, args.repeats))
    print("%-24s %-8s %5s  %12s %12s %10s" % ("noise", "gate", "PCT", "false alarms",
                                               "cannot tell", "caught at"))
    for name, kind, sigma in NOISES:
        for label, gate in (("check", check), ("compare", comparison)):
            for pct in THRESHOLDS:
                alarms, unsure = rates(gate, args.tries, rng, kind, sigma, pct, 0.0)
                print("%-24s %-8s %4d%%  %11.2f%% %11.1f%% %10s" % (
                    name, label, pct, alarms * 100, unsure * 100,
                    caught_at(gate, args.tries, rng, kind, sigma, pct)))


if __name__ == "__main__":
    main()
