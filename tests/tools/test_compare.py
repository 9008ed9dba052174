"""bench-report comparing two crafted runs: a clear regression and pure noise."""

import datetime
import json
import os
import random
import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ET

import toolstest as T


def write_run(folder, seed, slowdown=1.0, windows=2, frames=12, start=T.START):
    """A Shardfall run whose frame times scatter +/-5 % around 10 ms per 600 triangles."""
    rng = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    for w in range(1, windows + 1):
        blocks = [(600 * w * a, 1e-5 / 0.6 * 600 * w * a * slowdown * rng.uniform(0.95, 1.05))
                  for a in range(1, frames + 1)]
        T.write_lines(folder, T.results_name("shardfall", w, start=start), T.shardfall_lines(
            w, blocks))


class Compare(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-compare-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.a, self.b = os.path.join(self.dir, "a"), os.path.join(self.dir, "b")

    def compare(self, *args):
        return T.run_tool(T.BENCH_REPORT, self.a, self.b, *args, timeout=120)

    def comparison(self):
        with open(os.path.join(self.b, "comparison.json")) as f:
            return json.load(f)

    def test_clear_regression_is_significant_and_fails_the_threshold(self):
        write_run(self.a, seed=1)
        write_run(self.b, seed=2, slowdown=1.2)  # every frame 20 % slower
        proc = self.compare("--fail-above", "10")
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("REGRESSION beyond 10%", proc.stdout)
        self.assertIn("Wilcoxon", proc.stdout)
        data = self.comparison()
        self.assertEqual(data["regressions"], ["total"])
        # Every frame has its twin of the same work on the other side.
        self.assertEqual([(row["pairs"], row["test"]) for row in data["windows"]],
                         [(12, data["total"]["test"])] * 2)
        self.assertEqual(data["total"]["pairs"], 24)
        for row in data["windows"] + [data["total"]]:
            self.assertTrue(row["significant"], row)
            self.assertEqual(row["verdict"], "SLOWER")
            rate = row["measures"][0]["change_percent"]
            self.assertAlmostEqual(rate, 100 * (1 / 1.2 - 1), delta=3)
            median = row["measures"][1]["change_percent"]
            self.assertAlmostEqual(median, 20, delta=5)
        self.assertEqual(T.png_size(os.path.join(self.b, "comparison.png")), (800, 500))
        # A threshold above the change passes; so does the same regression read as B -> A.
        self.assertEqual(self.compare("--fail-above", "25").returncode, 0)
        self.a, self.b = self.b, self.a
        proc = self.compare("--fail-above", "10", "--no-plots")
        self.assertEqual(proc.returncode, 0, proc.stdout)
        self.assertEqual({row["verdict"] for row in self.comparison()["windows"]}, {"faster"})

    def test_noise_alone_is_not_significant(self):
        write_run(self.a, seed=3)
        write_run(self.b, seed=4)
        proc = T.run_tool(T.BENCH_COMPARE, self.a, self.b, "--fail-above", "1", "--no-plots",
                          timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        data = self.comparison()
        self.assertEqual(data["regressions"], [])
        for row in data["windows"] + [data["total"]]:
            self.assertFalse(row["significant"], row)
            self.assertEqual(row["verdict"], "within noise")

    def test_repeated_runs_are_judged_by_their_repeats_headlines(self):
        for k in (1, 2, 3):
            start = T.START.replace(minute=k)
            write_run(os.path.join(self.a, "repeat-%d" % k), seed=k, start=start)
            write_run(os.path.join(self.b, "repeat-%d" % k), seed=10 + k, slowdown=1.2,
                      start=start)
        proc = self.compare("--fail-above", "10", "--no-plots")
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        total = self.comparison()["total"]
        self.assertIn("repeats' headlines", total["test"])
        self.assertEqual(total["verdict"], "SLOWER")
        self.assertEqual([row["pairs"] for row in self.comparison()["windows"]], [36, 36])

    def test_repeats_that_spread_more_than_the_change_cannot_tell(self):
        # Every frame of B is 5 % slower than its twin in A, but the repeats of each side
        # spread over 20 %: the windows' frames differ, the total cannot tell.
        for k, level in ((1, 1.0), (2, 1.1), (3, 0.9)):
            start = T.START.replace(minute=k)
            write_run(os.path.join(self.a, "repeat-%d" % k), seed=k, slowdown=level,
                      start=start)
            write_run(os.path.join(self.b, "repeat-%d" % k), seed=k, slowdown=level * 1.05,
                      start=start)
        proc = self.compare("--fail-above", "3", "--no-plots")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("CANNOT TELL whether it regressed beyond 3%: the repeats of", proc.stdout)
        self.assertIn("spread over 19.4% of their median, more than that", proc.stdout)
        data = self.comparison()
        self.assertEqual((data["total"]["verdict"], data["regressions"]), ("within noise", []))
        self.assertEqual({row["verdict"] for row in data["windows"]}, {"slower, not in total"})
        self.assertIn("window(s) 1, 2 differ on their own frames but the total does not: the "
                      "total decides", data["notes"])
        # A threshold the spread does not hide: no regression beyond it.
        proc = self.compare("--fail-above", "25", "--no-plots")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("no significant regression beyond 25%", proc.stdout)

    def test_a_slow_display_of_run_b_is_in_the_verdict(self):
        # B's headline is higher than A's, but one of its displays is 70 % slow.
        from test_html_report import Dom  # it imports this module
        from test_slow_hosts import write_displays_run
        write_displays_run(self.a, factor=1.0, scale=2.0)
        write_displays_run(self.b, factor=3.5)
        proc = self.compare("--no-plots")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        data = self.comparison()
        self.assertEqual(data["total"]["verdict"], "faster")
        self.assertRegex(data["verdict"], r"^faster, but run B has slow hosts: display "
                                          r"node3 :0\.1 \(-7\d")
        self.assertIn("verdict: " + data["verdict"], proc.stdout)
        with open(os.path.join(self.b, "report.html"), encoding="utf-8") as f:
            page = Dom(f.read())
        self.assertIn("SLOW HOSTS IN B", page.texts)  # the banner, not "faster"
        proc = self.compare("--no-plots", "--fail-above", "10")
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("SLOW HOSTS in run B: display node3 :0.1", proc.stdout)
        with open(os.path.join(self.b, "report.html"), encoding="utf-8") as f:
            page = Dom(f.read())
        self.assertIn("FAIL", page.texts)
        self.assertNotIn("PASS", page.texts[:page.texts.index("FAIL") + 1])

    def test_junit_cases_for_a_ci(self):
        write_run(self.a, seed=1)
        write_run(self.b, seed=2, slowdown=1.2)
        junit = os.path.join(self.dir, "report.xml")

        def cases():
            return {c.get("name"): [x.tag for x in c if x.tag != "system-out"]
                    for c in ET.parse(junit).getroot().iter("testcase")}
        proc = T.run_tool(T.BENCH_REPORT, self.a, "--no-plots", "--junit", junit, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(cases(), {"complete": [], "files": [], "window 1": [], "window 2": []})
        proc = self.compare("--fail-above", "10", "--no-plots", "--junit", junit)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(cases(), {"comparison gate beyond 10%": ["failure"]})
        self.assertIn("headline", ET.parse(junit).find(".//system-out").text)

    def test_runs_that_do_not_compare_are_refused(self):
        write_run(self.a, seed=1)
        write_run(self.a, seed=2, start=T.START + datetime.timedelta(hours=1))
        write_run(self.b, seed=3)
        proc = self.compare()
        self.assertEqual(proc.returncode, 2)
        self.assertIn("holds 2 runs", proc.stderr)
        self.assertIn("2022-09-29 11:00:00", proc.stderr)
        shutil.rmtree(self.a)
        os.makedirs(self.a)
        T.write_lines(self.a, T.results_name("latticeglow", 1),
                      T.latticeglow_lines(1, [0.5, 0.6], 65536))
        proc = self.compare()
        self.assertEqual(proc.returncode, 2)
        self.assertIn("only runs of one program compare", proc.stderr)


if __name__ == "__main__":
    unittest.main()
