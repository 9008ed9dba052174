"""Texts from outside (a renderer, a CPU model, a host name) are inert wherever the tools show
them: every sink gets the same hostile set."""

import contextlib
import csv
import io
import json
import os
import shutil
import sys
import tempfile
import unicodedata
import unittest

import toolstest as T
from benchlib.results.files import write_json
from benchlib.results.texts import for_console, for_csv, for_html, for_plot, inert_console
from benchlib.run.progress import Progress

HOSTILE = ("$\\foo{$ llvmpipe \u202eMiB 0 :seroc 8\u202c \x1b[31mred\x1b]0;title\x07 "
           "\x00nul \x08\x0b\x0c\r\x7f \x85\x9b C1 \u2066isolate\u2069 \u200f \u2028 "
           "\udcff byte \ud800 lone =SUM(A1) \t tab")


def inert(text):
    """No character left that acts instead of showing: controls (but line end and tab),
    format characters (bidirectional ones among them), separators, surrogates."""
    return not [c for c in text if c not in "\n\t" and
                unicodedata.category(c) in ("Cc", "Cf", "Cs", "Zl", "Zp")]


class Sinks(unittest.TestCase):
    def test_each_sink_shows_the_hostile_set_as_visible_escapes(self):
        for sink in (for_console, for_html, for_plot, for_csv):
            shown = sink(HOSTILE)
            self.assertTrue(inert(shown), (sink.__name__, shown))
            shown.encode("utf-8")
            for escape in ("\\u202e", "\\x1b[31m", "\\x00", "\\x9b", "\\xff", "\\ud800"):
                self.assertIn(escape, shown, sink.__name__)
        self.assertTrue(for_csv("=SUM(A1)").startswith("'"))

    def test_plots_draw_it(self):
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib import pyplot as plt
        fig, ax = plt.subplots()
        self.addCleanup(plt.close, fig)
        text = for_plot(HOSTILE)
        fig.suptitle(text)
        ax.set_title(text)
        ax.plot([1, 2], [1, 2], label=text)
        ax.set_xticks([1])
        ax.set_xticklabels([text])
        ax.legend()
        for form in ("png", "svg"):
            fig.savefig(io.BytesIO(), format=form)
        # Shown as given: the $ signs and the backslash stay.
        self.assertEqual(ax.title.get_text(), text)
        self.assertIn("$\\foo{$", ax.title._preprocess_math(text)[0])

    def test_csv_json_and_the_console_keep_it_in_its_place(self):
        out = io.StringIO()
        csv.writer(out).writerow(["node1", for_csv(HOSTILE)])
        self.assertEqual(len(list(csv.reader(io.StringIO(out.getvalue())))), 1)
        out = io.StringIO()
        write_json(out, {"gl_renderer": HOSTILE})
        self.assertTrue(out.getvalue().isascii())
        self.assertEqual(json.loads(out.getvalue()), {"gl_renderer": HOSTILE})
        @inert_console
        def command():
            print(HOSTILE)
            print(HOSTILE, file=sys.stderr)
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            command()
        bench_run = io.StringIO()
        Progress(bench_run).say("node2: %s" % HOSTILE)  # an agent's note
        for text in (out.getvalue(), err.getvalue(), bench_run.getvalue()):
            self.assertTrue(inert(text), text)
            self.assertIn("\\x1b[31m", text)


class Tools(unittest.TestCase):
    """bench-report and bench-history with a run whose run.json holds the hostile set."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-texts-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.run = os.path.join(self.dir, "run")
        os.mkdir(self.run)
        for w in (1, 2):
            T.write_lines(self.run, T.results_name("latticeglow", w),
                          T.latticeglow_lines(w, [0.5, 0.25], 1000))
        with open(os.path.join(self.run, "run.json"), "w") as f:
            json.dump({"program": "latticeglow", "status": "ok", "run_id": "hostile-texts",
                       "start_time": "2022-09-29T10:00:00+00:00",
                       "context": {"host": HOSTILE, "cpu_model": HOSTILE,
                                   "gl_renderer": HOSTILE, "cores": 8}}, f)

    def test_bench_report_makes_its_report(self):
        proc = T.run_tool(T.BENCH_REPORT, self.run, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertNotIn("Traceback", proc.stderr)
        self.assertTrue(inert(proc.stdout + proc.stderr), proc.stdout)
        self.assertIn("$\\foo{$", proc.stdout)
        with open(os.path.join(self.run, "report.html"), encoding="utf-8") as f:
            page = f.read()
        self.assertTrue(inert(page))
        self.assertIn("\\u202e", page)
        with open(os.path.join(self.run, "frames.csv"), encoding="utf-8") as f:
            self.assertTrue(inert(f.read()))
        self.assertTrue(os.path.getsize(os.path.join(self.run, "frame_time.png")))

    def test_bench_history_lists_and_plots_it_inert(self):
        db = os.path.join(self.dir, "history.sqlite")
        proc = T.run_tool(T.BENCH_HISTORY, "add", "--db", db, self.run)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        proc = T.run_tool(T.BENCH_HISTORY, "list", "--db", db)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("\\x1b[31m", proc.stdout)
        self.assertTrue(inert(proc.stdout + proc.stderr), proc.stdout)
        plot = os.path.join(self.dir, "trend.png")
        proc = T.run_tool(T.BENCH_HISTORY, "trend", "--db", db, "--out", plot)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertTrue(inert(proc.stdout + proc.stderr), proc.stdout)
        self.assertTrue(os.path.getsize(plot))


if __name__ == "__main__":
    unittest.main()
