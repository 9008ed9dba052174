"""bench-report on damaged and hostile input: a sound report or one clear line, never a
traceback, a hang, "ok" for damage, or a write through a planted link."""

import json
import os
import shutil
import sys
import tempfile
import unittest

import toolstest as T

TIMES = [0.0213337, 0.0401234, 0.0612345]
VERTICES = 65536


def strict_json(path):
    def refuse(constant):
        raise ValueError("%s in %s" % (constant, path))
    with open(path) as f:
        return json.load(f, parse_constant=refuse)


class DamagedInputs(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-damage-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.run_dir = os.path.join(self.dir, "run")
        os.mkdir(self.run_dir)
        self.names = {w: T.results_name("latticeglow", w) for w in (1, 2)}
        for w in (1, 2):
            self.write_window(w, T.latticeglow_lines(w, TIMES, VERTICES))
        self.write("run.json", json.dumps({"program": "latticeglow", "status": "ok",
                                           "context": {"cores": 2, "cpu_model": "Test CPU"}}))

    def write(self, name, text):
        with open(os.path.join(self.run_dir, name), "w") as f:
            f.write(text)

    def write_window(self, w, lines, name=None):
        T.write_lines(self.run_dir, name or self.names[w], lines)

    def replace_line(self, w, old, new):
        lines = T.latticeglow_lines(w, TIMES, VERTICES)
        index = next(i for i, line in enumerate(lines) if old in line)
        lines[index] = new
        self.write_window(w, lines)

    def report(self, *args):
        proc = T.run_tool(T.BENCH_REPORT, *args, timeout=60)
        self.assertNotIn("Traceback", proc.stderr)
        for name in ("summary.json", "comparison.json"):
            path = os.path.join(self.run_dir, name)
            if os.path.exists(path):
                strict_json(path)
        return proc

    def test_damaged_figures_and_files(self):
        fifo = lambda name: os.mkfifo(os.path.join(self.run_dir, name))  # noqa: E731
        cases = [
            # (what, damage, exit status, text the output must hold)
            ("a nan vertex rate", lambda: self.replace_line(
                1, "Vertex/sec.", "It was: nan Vertex/sec."), 1, "BAD VALUES"),
            ("a negative initialisation time", lambda: self.replace_line(
                1, "Window 1@", "Window 1@ NODE7 spent: -3.5 Secs to Initialize."), 1,
             "the initialisation time -3.5 cannot be right"),
            ("an infinite frame time", lambda: self.replace_line(
                2, "The system spent", "The system spent: inf Secs. "), 1, "BAD VALUES"),
            ("a huge frame time", lambda: self.write_window(
                1, T.latticeglow_lines(1, [1e308, 1e308], VERTICES)), 1, "window"),
            ("a FIFO as console.log", lambda: fifo("console.log"), 0, "not a regular file"),
            ("a FIFO as a results file", lambda: fifo(T.results_name("latticeglow", 3)), 1,
             "not a regular file"),
            ("run.json leading to /dev/zero", lambda: (
                os.unlink(os.path.join(self.run_dir, "run.json")),
                os.symlink("/dev/zero", os.path.join(self.run_dir, "run.json"))), 0,
             "not a regular file"),
            ("run.json of wrong types", lambda: self.write("run.json", json.dumps(
                {"status": 5, "context": {"cores": "two", "screen": [1], "host": None},
                 "hosts": [None, {"windows": [[[[1]]]]}]})), 0, "context.cores is not a whole"),
            ("run.json nested without end", lambda: self.write(
                "run.json", "[" * 100000 + "]" * 100000), 0, "nested too deeply"),
            ("run.json with a text that is no Unicode", lambda: self.write(
                "run.json", '{"context": {"host": "a\\ud800b"}}'), 0, "a\\ud800b"),
            ("run.json with NaN", lambda: self.write(
                "run.json", '{"status": "ok", "context": {"memory_bytes": NaN}}'), 0,
             "context.memory_bytes is not a whole number (NaN)"),
        ]
        for what, damage, status, text in cases:
            with self.subTest(what):
                self.setUp()
                damage()
                proc = self.report("--no-plots", self.run_dir)
                self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
                self.assertIn(text, proc.stdout + proc.stderr)
                if status == 0:
                    self.assertNotIn("BAD VALUES", proc.stdout)

    def test_a_400_digit_triangle_count_is_rejected_in_one_line(self):
        lines = T.shardfall_lines(1, [(1200, 0.02)])
        lines = [("It drew %s Triangles." % ("9" * 400)) if line.startswith("It drew") else line
                 for line in lines]
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines)
        proc = self.report(os.path.join(self.dir, T.results_name("shardfall", 1)))
        self.assertEqual(proc.returncode, 1)
        self.assertIn("more than a 64-bit counter holds", proc.stderr)

    def test_a_sparse_results_file_of_2_gib_is_refused_by_its_size(self):
        with open(os.path.join(self.run_dir, T.results_name("latticeglow", 3)), "wb") as f:
            f.truncate(2 << 30)
        # The largest a child of this fresh interpreter grew: bench-report, which must not
        # read the file to learn that it is too large.
        measure = ("import resource, subprocess, sys\n"
                   "proc = subprocess.run(sys.argv[1:], capture_output=True, text=True)\n"
                   "print(proc.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
                   "\nprint(proc.stdout + proc.stderr)")
        proc = T.run_tool(sys.executable, "-c", measure, T.BENCH_REPORT, "--no-plots",
                          self.run_dir, timeout=60)
        status, kib = proc.stdout.split("\n", 1)[0].split()
        self.assertEqual(status, "1", proc.stdout)
        self.assertIn("larger than", proc.stdout)
        self.assertNotIn("Traceback", proc.stdout)
        self.assertLess(int(kib), 300 << 10)

    def test_a_name_that_is_not_utf8_is_shown_escaped(self):
        name = os.fsdecode(os.fsencode(T.results_name("latticeglow", 1)).replace(
            b"NODE7", b"node\xff"))
        os.unlink(os.path.join(self.run_dir, self.names[1]))
        self.write_window(1, T.latticeglow_lines(1, TIMES, VERTICES), name=name)
        proc = self.report(self.run_dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(os.path.join(self.run_dir, "frames.csv")) as f:
            self.assertIn("node\\xff", f.read())

    def test_links_planted_in_the_output_folder_are_replaced_not_followed(self):
        elsewhere = os.path.join(self.dir, "precious")
        with open(elsewhere, "w") as f:
            f.write("keep me\n")
        for name in ("frames.csv", "summary.json", "vertex_rate.png"):
            os.symlink(elsewhere, os.path.join(self.run_dir, name))
        proc = self.report(self.run_dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(elsewhere) as f:
            self.assertEqual(f.read(), "keep me\n")
        for name in ("frames.csv", "summary.json", "vertex_rate.png"):
            self.assertFalse(os.path.islink(os.path.join(self.run_dir, name)), name)

    def test_a_json_file_is_replaced_never_written_through_a_planted_link(self):
        from benchlib.results.files import replace_json
        elsewhere = os.path.join(self.dir, "precious")
        with open(elsewhere, "w") as f:
            f.write("keep me\n")
        path = os.path.join(self.run_dir, "run.json")
        for name in ("run.json.tmp", "run.json"):
            if os.path.lexists(os.path.join(self.run_dir, name)):
                os.unlink(os.path.join(self.run_dir, name))
            os.symlink(elsewhere, os.path.join(self.run_dir, name))
        replace_json(path, {"status": "ok"})
        with open(elsewhere) as f:
            self.assertEqual(f.read(), "keep me\n")
        self.assertFalse(os.path.islink(path))
        self.assertEqual(strict_json(path), {"status": "ok"})
        self.assertEqual([n for n in os.listdir(self.run_dir) if n.endswith(".tmp")],
                         ["run.json.tmp"])  # the planted link, and no attempt left behind

    def test_a_linked_report_folder_is_refused(self):
        # Files of two runs: each is reported in a report-... folder the report makes.
        later = T.START.replace(hour=T.START.hour + 1)
        for w in (1, 2):
            self.write_window(w, T.latticeglow_lines(w, TIMES, VERTICES),
                              name=T.results_name("latticeglow", w, start=later))
        target = os.path.join(self.dir, "target")
        os.mkdir(target)
        os.symlink(target, os.path.join(self.run_dir, "report-latticeglow-20220929-100000"))
        proc = self.report("--no-plots", self.run_dir)
        self.assertEqual(proc.returncode, 2)
        self.assertIn("symbolic link", proc.stderr)
        self.assertEqual(os.listdir(target), [])

    def test_comparisons_that_cannot_pass_the_gate(self):
        empty = os.path.join(self.dir, "empty")
        os.mkdir(empty)
        T.write_lines(empty, T.results_name("latticeglow", 1),
                      T.latticeglow_lines(1, [], VERTICES))
        proc = self.report(self.run_dir, empty, "--fail-above", "5", "--no-plots")
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("run B has no frames", proc.stdout)
        proc = self.report("--compare", self.run_dir, self.run_dir + "/")
        self.assertEqual(proc.returncode, 2)
        self.assertIn("the same run", proc.stderr)


if __name__ == "__main__":
    unittest.main()
