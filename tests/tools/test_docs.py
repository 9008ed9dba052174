"""The figures the docs state that the code also knows: read from docs/tools.md and checked
against the code, so that neither can drift from the other."""

import os
import re
import unittest

import toolstest as T
from benchlib.hosts import limits, placement
from benchlib.report import compare

DOCS = os.path.join(T.SOURCE_DIR, "docs", "tools.md")


def docs_text():
    with open(DOCS) as f:
        return " ".join(f.read().split())  # lines joined: a figure may break across them


def number(text):
    return float(text.replace(",", ""))


class DocumentedFigures(unittest.TestCase):
    def setUp(self):
        self.text = docs_text()

    def find(self, pattern):
        match = re.search(pattern, self.text)
        self.assertTrue(match, "docs/tools.md no longer says %r" % pattern)
        return match.groups()

    def test_windows_a_screen_holds_and_the_largest_screens(self):
        at16, at24 = self.find(r"one screen holds at most P windows: ([\d,]+) at depth 16, "
                               r"([\d,]+) at depth 24 or 30")
        self.assertEqual((number(at16), number(at24)),
                         (placement.most_windows(16), placement.most_windows(24)))
        side16, side24 = self.find(r"The largest square is ([\d,]+) at depth 16 \(2 bytes a "
                                   r"pixel\) and ([\d,]+) at depth 24")
        self.assertEqual((number(side16), number(side24)),
                         (placement.largest_side(16), placement.largest_side(24)))
        own16, own24 = self.find(r"up to window ([\d,]+) at depth 16, ([\d,]+) at depth 24 or 30")
        for depth, highest in ((16, own16), (24, own24)):
            highest = int(number(highest))
            self.assertTrue(limits.xvfb_holds(placement.own_places_screen(highest), depth))
            self.assertFalse(limits.xvfb_holds(placement.own_places_screen(highest + 1), depth))

    def test_the_place_of_a_window_that_does_not_fit(self):
        window, own, side, drawn = self.find(
            r"Window (\d+)'s place \((\d+), \d+\) does not fit the (\d+) x \d+ screen: it is "
            r"drawn at \((\d+), \d+\)")
        window, side = int(window), int(side)
        self.assertEqual(int(own), placement.STEP * window)
        self.assertEqual(int(drawn), placement.place(window, side, side))
        places = self.find(r"\((\d+) places fit there")[0]
        self.assertEqual(int(places), placement.places_that_fit(side, side))

    def test_the_window_limit_is_the_programs_own(self):
        with open(os.path.join(T.SOURCE_DIR, "harness", "state.hpp")) as f:
            tables = re.search(r"MaxWindows = (\d+);", f.read())
        self.assertEqual(int(tables.group(1)), limits.MAX_RANKS)

    def test_memory_and_open_files_of_a_window(self):
        (process,) = self.find(r"Every window process: about ([\d,]+) MB beside its scene")
        self.assertEqual(number(process) * 1e6, limits.WINDOW_PROCESS_BYTES)
        (point,) = self.find(r"latticeglow: about ([\d,]+) bytes per point")
        self.assertEqual(number(point), limits.LATTICE_BYTES_PER_POINT)
        (launch,) = self.find(r"The launcher and the console: about ([\d,]+) MB on a host")
        self.assertEqual(number(launch) * 1e6, limits.LAUNCH_BYTES)
        own, each = self.find(r"refuses more windows than ([\d,]+) \+ ([\d,]+) a window allows")
        self.assertEqual((number(own), number(each)),
                         (limits.LAUNCHER_FILES, limits.LAUNCHER_FILES_PER_WINDOW))

    def test_the_tests_each_comparison_uses(self):
        # The name of each test (before its explanation in brackets) is in the docs.
        for used in (compare.PAIRED, compare.UNPAIRED, compare.REPEATS):
            name = re.split(r" of | \(", used)[0].replace("paired ", "")
            with self.subTest(test=name):
                self.assertTrue(name in self.text, "docs/tools.md does not name %r" % name)


if __name__ == "__main__":
    unittest.main()
