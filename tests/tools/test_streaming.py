"""The report read the quick way gives what it always gave: the outputs of runs kept from
before (real runs of both kinds, crafted files cut short or without frames) byte for byte,
and the quick and the careful way of reading a file agree."""

import filecmp
import os
import shutil
import tempfile
import unittest

import toolstest as T
from benchlib.results.parser import _parse_exact, parse_results_file

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")


class KeptRuns(unittest.TestCase):
    def test_outputs_are_the_same_byte_for_byte(self):
        for name in sorted(os.listdir(FIXTURES)):
            with self.subTest(name):
                out = tempfile.mkdtemp(prefix="bench-kept-")
                self.addCleanup(shutil.rmtree, out, ignore_errors=True)
                proc = T.run_tool(T.BENCH_REPORT, "--no-plots", "--out", out,
                                  os.path.join(FIXTURES, name))
                # A run in which no window drew a frame measured nothing: it fails.
                self.assertEqual(proc.returncode, 1 if name.endswith("no-frames") else 0,
                                 proc.stderr)
                for output in ("summary.json", "frames.csv"):
                    self.assertTrue(filecmp.cmp(os.path.join(out, output), os.path.join(
                        FIXTURES, name, "expected", output), shallow=False), output)

    def test_the_quick_and_the_careful_way_agree(self):
        for folder, _dirs, files in os.walk(FIXTURES):
            for name in files:
                if name.startswith("results_"):
                    path = os.path.join(folder, name)
                    with self.subTest(name):
                        # As text: a nan is not equal to itself.
                        self.assertEqual(repr(parse_results_file(path)),
                                         repr(parse_results_file(path, quick_way=False)))
                        if "openmpi-" in folder:  # as the programs write: the quick way
                            with open(path) as f:
                                self.assertIsNotNone(_parse_exact(path, f.read()))


if __name__ == "__main__":
    unittest.main()
