"""Which host is slow, on crafted frames: a host 30 % slower among 8 is named, equal hosts are
not, too few frames or hosts cannot decide; and the same through bench-report."""

import json
import os
import random
import shutil
import tempfile
import types
import unittest
import xml.etree.ElementTree as ET

import numpy as np

import toolstest as T
from benchlib.report.slow_hosts import SPLIT, host_verdicts, slower_than, split
from benchlib.report.verdicts import slow_host_gate
from test_html_report import Dom


def crafted_run(hosts, frames, slow=None, factor=1.3, shardfall=True, seed=7, moments=0.0):
    """A run with one window per host; frame times scatter +/-5 % around a base that grows
    with the work; the slow hosts' (a name or a list) frames take `factor` times as long.
    moments: frame k of every host is slowed alike by up to that share (a busy machine), and
    the run was stepped."""
    rng = np.random.default_rng(seed)
    slow = [slow] if isinstance(slow, str) else slow or []
    moment = 1 + rng.uniform(0, moments, frames)
    by_host = {}
    for w, host in enumerate(hosts, 1):
        steps = np.arange(1, frames + 1)
        work = 1200.0 * w * steps if shardfall else np.full(frames, 65536.0)
        times = 1e-6 * work * rng.uniform(0.95, 1.05, frames) * moment * \
            (factor if host in slow else 1)
        by_host[host] = [types.SimpleNamespace(
            times=times, quantities=work.astype(np.int64) if shardfall else None,
            vertices_per_frame=None if shardfall else 65536.0)]
    return types.SimpleNamespace(hosts=lambda: by_host,
                                 context={"frames": frames} if moments else {})


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

    def test_slow_hosts_up_to_nearly_half_the_fleet_are_named(self):
        for hosts, slow in ((6, 2), (7, 3), (3, 1)):
            names = self.HOSTS[:hosts]
            for seed in range(3):
                verdicts, undecided = host_verdicts(crafted_run(
                    names, 20, slow=names[1:1 + slow], factor=1.6, seed=seed))
                self.assertIsNone(undecided)
                self.assertEqual([v.host for v in slower_than(verdicts, 10)],
                                 names[1:1 + slow], (hosts, slow, seed))

    def test_a_fleet_in_two_halves_cannot_tell_which_is_normal(self):
        names = self.HOSTS[:6]
        verdicts, undecided = host_verdicts(crafted_run(names, 20, slow=names[3:],
                                                        factor=1.6))
        self.assertIn("two groups of hosts: node1, node2, node3 and node4, node5, node6",
                      undecided)
        self.assertEqual({v.verdict for v in verdicts}, {SPLIT})
        self.assertTrue(split(verdicts))
        self.assertEqual(slower_than(verdicts, 0), [])
        gate = slow_host_gate([("host", (verdicts, undecided))], 10)  # --fail-slow-host 10
        self.assertEqual((gate.failed, gate.findings), (True, [undecided]))
        self.assertFalse(slow_host_gate([("host", (verdicts, undecided))], None).failed)

    def test_a_stepped_run_sees_through_a_busy_machine(self):
        # Every frame k of every host slowed alike by up to 80 %: frames paired by number
        # still name the slow host, and no other; unpaired, the moments are noise.
        for seed in range(3):
            run = crafted_run(self.HOSTS[:4], 20, slow="node2", factor=1.3, seed=seed,
                              moments=0.8)
            paired = host_verdicts(run)[0]
            self.assertEqual([v.host for v in slower_than(paired, 10)], ["node2"], seed)
            run.context = {}
            unpaired = host_verdicts(run)[0]
            self.assertLess(paired[0].allowed_percent, unpaired[0].allowed_percent)

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


def write_displays_run(folder, slow=("node3", ":0.1"), factor=1.6, scale=1.0):
    """A Latticeglow run of 2 hosts x 2 displays, 2 windows a display (dealt in turn), frames
    of 20 ms x scale; the windows of display `slow` take `factor` times as long."""
    rng = random.Random(5)
    window_hosts, window_displays = {}, {}
    for w in range(1, 9):
        host, display = "node%d" % (2 + (w - 1) // 4), (":0.0", ":0.1")[(w - 1) % 2]
        window_hosts[str(w)], window_displays[str(w)] = host, display
        times = [0.02 * scale * rng.uniform(0.97, 1.03) *
                 (factor if (host, display) == slow else 1) for _ in range(15)]
        os.makedirs(folder, exist_ok=True)
        T.write_lines(folder, T.results_name("latticeglow", w, processor=host),
                      T.latticeglow_lines(w, times, 65536, processor=host))
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump({"program": "latticeglow", "status": "ok", "windows": 8,
                   "window_hosts": window_hosts, "window_displays": window_displays,
                   "hosts": [{"name": h, "displays": [{"name": ":0.0"}, {"name": ":0.1"}]}
                             for h in ("node2", "node3")]}, f)


class Displays(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-slow-displays-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_the_slow_display_of_a_host_is_named_and_fails_the_gate(self):
        write_displays_run(self.dir)
        proc = T.run_tool(T.BENCH_REPORT, "--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        lines = proc.stdout.splitlines()
        head = next(line.split() for line in lines if line.split()[:1] == ["window"])
        self.assertEqual(head[:3], ["window", "host", "display"])
        table = [line.split() for line in lines if line.split()[:1] and
                 line.split()[0] in ("1", "6", "display", "host")]
        self.assertEqual([row[:3] for row in table], [
            ["1", "node2", ":0.0"], ["6", "node3", ":0.1"],
            ["display", "node2", ":0.0"], ["display", "node2", ":0.1"], ["host", "node2", "60"],
            ["display", "node3", ":0.0"], ["display", "node3", ":0.1"], ["host", "node3", "60"]])
        self.assertIn("slow hosts: cannot decide which host is slow: 2 host(s)", proc.stdout)
        verdicts = [line.strip() for line in lines if line.startswith("  node")]
        self.assertEqual([v.split(",")[0] for v in verdicts],
                         ["node2 :0.0: fine", "node2 :0.1: fine", "node3 :0.0: fine",
                          "node3 :0.1: SLOWER"])
        self.assertRegex(verdicts[3], r"workload rate -3\d\.\d% against the median display")
        self.assertIn("verdict: PASS", proc.stdout)  # not asked: not a gate

        junit = os.path.join(self.dir, "report.xml")
        proc = T.run_tool(T.BENCH_REPORT, "--no-plots", "--fail-slow-host", "10",
                          "--junit", junit, self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("slow hosts: FAIL: SLOW DISPLAY beyond 10%: node3 :0.1 (-3", proc.stdout)
        failed = [c.get("name") for c in ET.parse(junit).getroot().iter("testcase")
                  if c.find("failure") is not None]
        self.assertEqual(failed, ["slow hosts", "display node3 :0.1"])
        with open(os.path.join(self.dir, "summary.json")) as f:
            data = json.load(f)
        self.assertEqual([w["display"] for w in data["windows"]], [":0.0", ":0.1"] * 4)
        self.assertEqual([(v["host"], v["display"], v["windows"], v["verdict"])
                          for v in data["display_verdicts"]],
                         [("node2", ":0.0", 2, "fine"), ("node2", ":0.1", 2, "fine"),
                          ("node3", ":0.0", 2, "fine"), ("node3", ":0.1", 2, "SLOWER")])
        self.assertLess(data["display_verdicts"][3]["rate_vs_median_display_percent"], -30)
        self.assertIsNone(data["display_verdict_undecided"])
        self.assertEqual(data["host_verdicts"][0]["verdict"], "cannot decide")
        self.assertEqual({h: sorted(d) for h, d in data["host_displays"].items()},
                         {"node2": [":0.0", ":0.1"], "node3": [":0.0", ":0.1"]})
        self.assertEqual(data["host_displays"]["node3"][":0.1"]["frames"], 30)

        with open(os.path.join(self.dir, "report.html"), encoding="utf-8") as f:
            page = Dom(f.read())
        self.assertIn(["Window", "Host", "Display"], [cells[:3] for _css, cells in page.rows])
        self.assertEqual([(cells[1], cells[2], cells[-1]) for cells in page.rows_of("display")],
                         [("node2", ":0.0", "fine"), ("node2", ":0.1", "fine"),
                          ("node3", ":0.0", "fine"), ("node3", ":0.1", "SLOWER")])
        self.assertIn("Display verdicts", page.texts)
        self.assertIn(" — SLOW DISPLAY beyond 10%: node3 :0.1 (-3", "".join(page.texts))

    def test_equal_displays_or_one_display_a_host(self):
        write_displays_run(self.dir, factor=1.0)
        proc = T.run_tool(T.BENCH_REPORT, "--no-plots", "--fail-slow-host", "10", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("no display significantly slower than the median display", proc.stdout)
        # The same windows with one display a host (a name repeats across hosts): no
        # display column, no display verdicts.
        with open(os.path.join(self.dir, "run.json")) as f:
            record = json.load(f)
        record["window_displays"] = {w: ":0" if h == "node2" else ":1"
                                     for w, h in record["window_hosts"].items()}
        with open(os.path.join(self.dir, "run.json"), "w") as f:
            json.dump(record, f)
        proc = T.run_tool(T.BENCH_REPORT, "--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertNotIn("display", proc.stdout.replace(self.dir, ""))
        with open(os.path.join(self.dir, "summary.json")) as f:
            data = json.load(f)
        self.assertNotIn("display_verdicts", data)
        self.assertEqual(data["windows"][0]["display"], ":0")


if __name__ == "__main__":
    unittest.main()
