"""A short three-process run of each program: the launcher matches the MPI library the
programs were built with (two windows, not three singletons), and every window ends cleanly."""

import unittest

from e2elib import L, E2ETestCase, Run, count_lines


class Smoke(E2ETestCase):
    def run_program(self, program):
        run = Run(self, program, 3, display=self.start_xvfb(depth=16))
        windows = {window: run.wait_window(window) for window in (1, 2)}
        for window, wid in windows.items():
            run.key(wid, "p")
        for window, wid in windows.items():
            run.step(window, wid)
        for wid in windows.values():
            run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0, run.stderr())
        console = run.stdout()
        self.assertEqual(console.count("Initializing . . ."), 1, "more than one rank 0")
        self.assertEqual(count_lines(console, L.SUMMARY_TIME), 2)
        self.assertEqual(len(run.results_files()), 2)
        for window in (1, 2):
            self.assertEqual(count_lines("\n".join(run.results_lines(window)), L.SUMMARY_TIME), 1)

    def test_shardfall(self):
        self.run_program("shardfall")

    def test_latticeglow(self):
        self.run_program("latticeglow")


if __name__ == "__main__":
    unittest.main()
