"""The results package: window titles and results file names, the numbers the programs
print, and the follower of a growing results file."""

import os
import shutil
import tempfile
import unittest

import toolstest as T
from benchlib.results import follow, numbers
from benchlib.results import layout as L


class Titles(unittest.TestCase):
    def test_window_titles(self):
        self.assertEqual(L.SHARDFALL.window_title(3), "OPENGL Shardfall 64  Thread: 3")
        self.assertEqual(L.LATTICEGLOW.window_title(12), "OPENGL Latticeglow  64  Thread: 12")
        self.assertEqual(L.SHARDFALL.window_from_title("OPENGL Shardfall 64  Thread: 12"), 12)
        for other in ("OPENGL Shardfall 64  Thread: 1 ", "OPENGL Shardfall 64 Thread: 1",
                      "OPENGL Shardfall 64  Thread: 01", "OPENGL Shardfall 64  Thread: ",
                      "OPENGL Latticeglow  64  Thread: 1"):
            self.assertIsNone(L.SHARDFALL.window_from_title(other), other)

    def test_results_file_names(self):
        name = "results_latticeglow_windows @ 7 of vm @ local date 2026.12.08 time 02.43.09.txt"
        self.assertEqual(L.LATTICEGLOW.results_window(name), 7)
        self.assertIsNone(L.SHARDFALL.results_window(name))
        self.assertIsNone(L.LATTICEGLOW.results_window("console.log"))


class Numbers(unittest.TestCase):
    def test_rounding_bound_of_printed_values(self):
        self.assertEqual(numbers.Number.parse("60").bound, 0.5e-4)
        self.assertAlmostEqual(numbers.Number.parse("0.0166667").bound, 0.5e-7)
        self.assertAlmostEqual(numbers.Number.parse("1.23457e+06").bound, 5.0)
        self.assertAlmostEqual(numbers.Number.parse("1e-05").bound, 0.5e-10)
        self.assertEqual(numbers.Number.parse("0").bound, 0)
        self.assertEqual(numbers.Number.parse("-nan").bound, 0)
        self.assertEqual(numbers.significant_digits("0.0166667"), 6)
        self.assertEqual(numbers.significant_digits("1.23457e+06"), 6)
        self.assertEqual(numbers.significant_digits("120000"), 6)


class Follower(unittest.TestCase):
    def test_counts_complete_lines_only(self):
        folder = tempfile.mkdtemp(prefix="bench-follow-test-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        path = os.path.join(folder, T.results_name("shardfall", 1))
        follower = follow.ResultsFollower(path, L.SHARDFALL)
        self.assertFalse(follower.update())  # no file yet
        text = "".join(line + "\n" for line in T.shardfall_lines(
            1, [(1200, 0.25), (2400, 0.5)], init=1.5))
        cut = text.index("It spent: 0.5")
        with open(path, "w") as f:
            f.write(text[:cut + 5])  # the second frame's time line is not complete
        self.assertTrue(follower.update())
        self.assertTrue(follower.initialised)
        self.assertEqual(follower.init_time, 1.5)
        self.assertEqual(follower.frames, 1)
        self.assertFalse(follower.update())
        with open(path, "a") as f:
            f.write(text[cut + 5:])
        self.assertTrue(follower.update())
        self.assertEqual(follower.frames, 2)
        self.assertEqual(follower.longest_frame_time, 0.5)
        self.assertTrue(follower.summary)


if __name__ == "__main__":
    unittest.main()
