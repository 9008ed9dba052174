"""The workloads' figures as users read them: triangles and vertices per frame, their rates
and the run summary, checked against each other in the console and the results files."""

import time
import unittest

from e2elib import L, E2ETestCase, Run, count_lines, program_path, wait_for

# Report lines carry six significant digits: products and quotients of two of them agree
# to about one part in 10^5.
PRECISION = 2e-5


def summary(parsed):
    """(total time, average angle rate, average workload rate) of a parsed results file."""
    s = parsed.summary
    return (s.total_time.value, s.average_angle_rate.value, s.average_quantity_rate.value)


class WorkloadReports(E2ETestCase):
    def assertClose(self, got, want, what):
        self.assertLessEqual(abs(got - want), PRECISION * abs(want), f"{what}: {got} vs {want}")

    def stepped_run(self, program, depth, steps):
        run = Run(self, program, 3, display=self.start_xvfb(depth=depth))
        windows = {w: run.wait_window(w) for w in (1, 2)}
        for wid in windows.values():
            run.key(wid, "p")
        for window, wid in windows.items():
            wait_for(lambda: run.initialised(window), "initialisation")
            start = run.wait_quiet(window)
            for n in range(steps):
                self.assertEqual(run.step(window, wid), start + n + 1)
        for wid in windows.values():
            run.key(wid, "Escape")
        self.assertEqual(run.wait_exit(), 0)
        return run

    def test_shardfall_triangles_grow_with_window_and_angle_step(self):
        run = self.stepped_run("shardfall", 24, 3)
        first = L.SHARDFALL.frame_lines[0]
        for w in (1, 2):
            # Its first frame line is GLUT's window identifier, 1 in every process.
            self.assertEqual({first.match(line)["glut_window"] for line in
                              run.results_lines(w) if first.match(line)}, {"1"})
            parsed = run.parsed(w)
            self.assertGreaterEqual(len(parsed.frames), 3)
            steps, total_triangles, total_time = [], 0, 0.0
            f = parsed.frames
            for triangles, *printed in zip(f.triangles, f.seconds, f.angle_rates, f.rates):
                frame_time, angle_rate, triangle_rate = map(float, printed)
                self.assertEqual(triangles % (600 * w), 0, printed)
                steps.append(triangles // (600 * w))
                self.assertClose(angle_rate * frame_time, 1, "angle rate x frame time")
                self.assertClose(triangle_rate * frame_time, triangles, "triangle rate x time")
                total_triangles += triangles
                total_time += frame_time
            # One angle step per C press, 600 x w x a triangles. A window redrawn because
            # another stopped covering it reports its angle step again.
            distinct = [a for i, a in enumerate(steps) if i == 0 or a != steps[i - 1]]
            self.assertEqual(distinct, list(range(distinct[0], distinct[0] + len(distinct))))
            self.assertGreaterEqual(len(distinct), 3)
            self.assertGreaterEqual(steps[0], 1)
            total, angles, average = summary(parsed)
            self.assertClose(total, total_time, "total time")
            self.assertClose(angles, len(parsed.frames) / total, "average angle rate")
            self.assertClose(average, total_triangles / total, "average triangle rate")
        # The console carries the same reports.
        console = run.stdout()
        self.assertEqual(count_lines(console, L.SHARDFALL.frame_lines[1]),
                         sum(len(run.parsed(w).frames) for w in (1, 2)))

    def test_latticeglow_reports_the_lattice_of_a_depth_16_screen(self):
        run = self.stepped_run("latticeglow", 16, 3)
        for w in (1, 2):
            parsed = run.parsed(w)
            self.assertEqual(parsed.window, w)
            self.assertGreaterEqual(len(parsed.frames), 3)
            total_time = 0.0
            f = parsed.frames
            for printed in zip(f.seconds, f.angle_rates, f.rates):
                frame_time, angle_rate, vertex_rate = map(float, printed)
                self.assertClose(angle_rate * frame_time, 1, "angle rate x frame time")
                self.assertClose(vertex_rate * frame_time, 65536, "vertex rate x frame time")
                total_time += frame_time
            total, angles, average = summary(parsed)
            self.assertClose(total, total_time, "total time")
            self.assertClose(angles, len(parsed.frames) / total, "average angle rate")
            self.assertClose(average, 65536 * len(parsed.frames) / total, "average vertex rate")

    def test_shardfall_without_memory_for_its_buffer(self):
        limit_kb = 400 * 1024
        command = ["sh", "-c", f'ulimit -v {limit_kb} && exec "$0" "$@"', program_path("shardfall")]
        started = time.monotonic()
        run = Run(self, "shardfall", 3, display=self.start_xvfb(), command=command)
        self.assertNotEqual(run.wait_exit(timeout=60), 0)
        self.assertLess(time.monotonic() - started, 60)
        messages = [line for line in run.stderr().split("\n") if line.startswith("shardfall: ")]
        self.assertTrue(messages, run.stderr())
        for line in messages:
            self.assertEqual(line, "shardfall: cannot allocate the scene buffer of 663,580,800 "
                                   "bytes (82,947,600 doubles)")
        self.assertEqual(run.results_files(), [])
        self.assertNotIn("Initializing", run.stdout())


if __name__ == "__main__":
    unittest.main()
