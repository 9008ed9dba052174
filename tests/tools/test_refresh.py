"""The note on frame times held by a display's refresh: fires on frames on several multiples
of a refresh interval, not on steady or jittering frames, nor on the kept real runs."""

import glob
import json
import os
import random
import shutil
import tempfile
import unittest

import toolstest
from benchlib.report.refresh import refresh_note, refresh_rate
from benchlib.results.parser import parse_results_file


def held(rate, intervals, jitter, rng, count=120):
    """Frame times of a window held by a refresh of `rate` Hz: each a whole number of
    intervals drawn from `intervals`, with a relative Gaussian jitter."""
    return [rng.choice(intervals) / rate * (1 + rng.gauss(0, jitter)) for _ in range(count)]


class RefreshRule(unittest.TestCase):
    def test_frames_on_two_or_more_multiples_name_their_refresh(self):
        rng = random.Random(7)
        for rate in (24, 56, 59.94, 60, 70, 144, 165, 170, 175, 360, 480):
            for intervals in ([1, 2], [1, 1, 1, 2], [2, 3, 5]):
                with self.subTest(rate=rate, intervals=intervals):
                    self.assertEqual(refresh_rate(held(rate, intervals, 0.001, rng)), rate)
                    # Timed a little short of k x T: by a constant, or by a share.
                    frames = held(rate, intervals, 0.0005, rng)
                    self.assertEqual(refresh_rate([t - 0.03 / rate for t in frames]), rate)
                    # (0.6 % short of 59.94 Hz is as near 60 Hz: either is right)
                    self.assertAlmostEqual(refresh_rate([t * 0.994 for t in frames]), rate,
                                           delta=0.1)
        self.assertEqual(refresh_note(held(59.94, [1, 2], 0.0005, rng)),
                         "frame times follow a 59.94 Hz refresh: sync to the display may be on")
        # A few slow frames (start-up, a hiccup) do not hide it; too many do, and so do
        # too few frames.
        frames = held(60, [1, 2], 0.001, rng, 100)
        slow = [rng.uniform(0.05, 0.2) for _ in range(15)]
        self.assertEqual(refresh_rate(frames[:85] + slow), 60)
        self.assertIsNone(refresh_rate(frames[:70] + slow + slow))
        self.assertIsNone(refresh_rate(held(60, [1, 2], 0.0003, rng, 7)))
        self.assertEqual(refresh_rate(held(60, [1, 2, 2, 1], 0.0003, rng, 8)), 60)

    def test_steady_or_jittering_frames_are_not_noted(self):
        # One frame time, however steady: a renderer that is not held looks the same.
        rng = random.Random(11)
        for _ in range(300):
            mean = rng.uniform(0.005, 0.04)
            for jitter in (0.0002, 0.001, 0.015):
                frames = [mean * (1 + rng.gauss(0, jitter)) for _ in range(200)]
                self.assertIsNone(refresh_note(frames), (mean, jitter))
        for mean in (1 / 60, 1 / 120, 2 / 60, 0.00834):
            self.assertIsNone(refresh_rate(held(1 / mean, [1], 0.0002, rng)), mean)
            self.assertIsNone(refresh_note([mean * (1 + rng.uniform(-0.03, 0.03))
                                            for _ in range(200)]))
        # Two steady times whose gap is no refresh interval.
        self.assertIsNone(refresh_rate([rng.choice([0.0100, 0.0137]) * (1 + rng.gauss(0, 5e-4))
                                        for _ in range(200)]))
        # Shardfall's frames grow with the triangles it adds.
        self.assertIsNone(refresh_rate([0.0095 * (1.1 ** i) for i in range(40)]))
        self.assertIsNone(refresh_rate([0.0, float("nan"), float("inf")] * 10))

    def test_kept_real_runs_are_not_noted(self):
        paths = glob.glob(os.path.join(glob.escape(toolstest.HERE), "fixtures", "*", "*.txt"))
        windows = [[float(t) for t in parse_results_file(path).frames.seconds]
                   for path in paths]
        self.assertGreaterEqual(sum(len(frames) >= 8 for frames in windows), 3)
        for path, frames in zip(paths, windows):
            self.assertIsNone(refresh_note(frames), path)


class ThroughTheReport(unittest.TestCase):
    def report(self, folder):
        proc = toolstest.run_tool(toolstest.BENCH_REPORT, "--no-plots", folder, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)  # a note, no gate
        with open(os.path.join(folder, "summary.json")) as f:
            summary = json.load(f)
        with open(os.path.join(folder, "report.html"), encoding="utf-8") as f:
            return proc, summary, f.read()

    def test_one_note_per_held_window_on_console_summary_and_page(self):
        folder = tempfile.mkdtemp(prefix="bench-refresh-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        rng = random.Random(5)
        windows = {1: held(60, [1, 2], 0.0005, rng, 40),
                   2: held(144, [1, 2], 0.0005, rng, 40),
                   3: held(59.94, [1, 3], 0.001, rng, 40),
                   4: [1 / 60 * (1 + rng.uniform(-0.03, 0.03)) for _ in range(40)]}
        for w, times in windows.items():
            toolstest.write_lines(folder, toolstest.results_name("latticeglow", w),
                                  toolstest.latticeglow_lines(w, times, 65536))
        proc, summary, page = self.report(folder)
        expected = {1: "60", 2: "144", 3: "59.94"}
        lines = ["window %d: frame times follow a %s Hz refresh: sync to the display may be on"
                 % item for item in expected.items()]
        self.assertEqual([line for line in proc.stderr.splitlines() if "refresh" in line],
                         ["bench-report: note: " + line for line in lines])
        self.assertEqual({w["window"]: w.get("refresh_note") for w in summary["windows"]},
                         {w: line.partition(": ")[2] if w in expected else None
                          for w, line in zip(windows, lines + [None])})
        self.assertEqual([n for n in summary["notes"] if "refresh" in n], lines)
        self.assertEqual(summary["verdict"]["result"], "PASS")
        for line in lines:
            self.assertIn(line, page)
        self.assertNotIn("window 4: frame times", page)

    def test_kept_real_runs_are_reported_without_a_note(self):
        for kept in ("openmpi-latticeglow-seconds", "openmpi-shardfall-frames"):
            folder = os.path.join(tempfile.mkdtemp(prefix="bench-refresh-"), "run")
            self.addCleanup(shutil.rmtree, os.path.dirname(folder), ignore_errors=True)
            shutil.copytree(os.path.join(toolstest.HERE, "fixtures", kept), folder)
            proc, summary, page = self.report(folder)
            self.assertNotIn("refresh", proc.stderr + json.dumps(summary) + page, kept)


if __name__ == "__main__":
    unittest.main()
