"""Which host is slow, on crafted frames: a host 30 % slower among 8 is named, equal hosts are
not, too few frames or hosts cannot decide; and the same through bench-report."""

import json
import os
import random
import shutil
import tempfile
import types
import unittest

import numpy as np

import toolstest as T
from benchlib.report.slow_hosts import host_verdicts, slower_than


def crafted_run(hosts, frames, slow=None, factor=1.3, shardfall=True, seed=7):
    """A run with one window per host; frame times scatter +/-5 % around a base that grows
    with the work; the slow host's frames take `factor` times as long."""
    rng = np.random.default_rng(seed)
    by_host = {}
    for w, host in enumerate(hosts, 1):
        steps = np.arange(1, frames + 1)
        work = 1200.0 * w * steps if shardfall else np.full(frames, 65536.0)
        times = 1e-6 * work * rng.uniform(0.95, 1.05, frames) * (factor if host == slow else 1)
        by_host[host] = [types.SimpleNamespace(
            times=times, quantities=work.astype(np.int64) if shardfall else None,
            vertices_per_frame=None if shardfall else 65536.0)]
    return types.SimpleNamespace(hosts=lambda: by_host)


class Verdicts(unittest.TestCase):
    HOSTS = ["node%d" % i for i in range(1, 9)]

    def test_a_host_30_percent_slower_among_8_is_named(self):
        for shardfall in (True, False):
            verdicts, undecided = host_verdicts(crafted_run(self.HOSTS, 20, slow="node5",
                                                            shardfall=shardfall))
            self.assertIsNone(undecided)
            slow = slower_than(verdicts, 10)
            self.assertEqual([v.host for v in slow], ["node5"])
            self.assertAlmostEqual(slow[0].gap_percent, (1 / 1.3 - 1) * 100, delta=5)
            self.assertEqual({v.verdict for v in verdicts if v.host != "node5"}, {"fine"})

    def test_equal_hosts_are_not_flagged(self):
        # Significant at 5 % family-wise by chance now and then, but never by much.
        for seed in range(5):
            verdicts, _ = host_verdicts(crafted_run(self.HOSTS, 20, seed=seed))
            self.assertEqual(slower_than(verdicts, 10), [], seed)
            self.assertLess(max(abs(v.gap_percent) for v in verdicts), 5, seed)

    def test_too_few_frames_or_hosts_cannot_decide(self):
        for hosts, frames in ((self.HOSTS, 3), (self.HOSTS[:2], 20)):
            verdicts, undecided = host_verdicts(crafted_run(hosts, frames, slow=hosts[0]))
            self.assertIn("cannot decide", undecided)
            self.assertEqual(slower_than(verdicts, 0), [])


class ThroughTheReport(unittest.TestCase):
    def test_fail_slow_host_gives_status_1_and_summary_holds_the_verdicts(self):
        folder = tempfile.mkdtemp(prefix="bench-slow-hosts-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        rng = random.Random(3)
        for w in range(1, 5):
            host = "node%d" % w
            times = [0.02 * rng.uniform(0.97, 1.03) * (1.5 if w == 3 else 1) for _ in range(15)]
            T.write_lines(folder, T.results_name("latticeglow", w, processor=host),
                          T.latticeglow_lines(w, times, 65536, processor=host))
        proc = T.run_tool(T.BENCH_REPORT, "--no-plots", "--fail-slow-host", "10", folder)
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("SLOW HOST beyond 10%: node3", proc.stdout)
        with open(os.path.join(folder, "summary.json")) as f:
            data = json.load(f)
        self.assertEqual([v["verdict"] for v in data["host_verdicts"]],
                         ["fine", "fine", "SLOWER", "fine"])


if __name__ == "__main__":
    unittest.main()
