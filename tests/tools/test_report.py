"""bench-report on results files written here, in both programs' layouts."""

import csv
import datetime
import json
import os
import random
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

import toolstest as T
from benchlib.results import layout as L


class ReportCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-report-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def report(self, *args):
        return T.run_tool(T.BENCH_REPORT, *args, timeout=120)

    def summary(self):
        with open(os.path.join(self.dir, "summary.json")) as f:
            return json.load(f)

    def frames_csv(self):
        with open(os.path.join(self.dir, "frames.csv"), newline="") as f:
            return list(csv.DictReader(f))


class ShardfallReport(ReportCase):
    FRAMES_1 = [(1200, 0.0213337), (2400, 0.0401234), (3600, 0.0612345)]
    FRAMES_2 = [(2400, 0.05), (4800, 0.0987654), (7200, 0.151111)]

    def write_run(self):
        T.write_lines(self.dir, T.results_name("shardfall", 1),
                      T.shardfall_lines(1, self.FRAMES_1, init=3.52178))
        T.write_lines(self.dir, T.results_name("shardfall", 2),
                      T.shardfall_lines(2, self.FRAMES_2, init=4.01))

    def test_run_folder_gives_csv_json_table_and_plots(self):
        self.write_run()
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)

        rows = self.frames_csv()
        self.assertEqual(len(rows), 6)
        self.assertEqual(list(rows[0]), ["window", "host", "frame", "frame_time_s",
                                         "angle_rate", "quantity", "quantity_rate"])
        self.assertEqual({r["host"] for r in rows}, {"NODE7"})
        self.assertEqual([(r["window"], r["frame"], r["quantity"]) for r in rows[:3]],
                         [("1", "1", "1200"), ("1", "2", "2400"), ("1", "3", "3600")])
        self.assertEqual(rows[3]["frame_time_s"], "0.05")
        self.assertEqual(rows[3]["angle_rate"], "20")
        self.assertEqual(rows[3]["quantity_rate"], "48000")

        data = self.summary()
        self.assertEqual(data["program"], "shardfall")
        first, second = data["windows"]
        self.assertEqual(first["window"], 1)
        self.assertEqual(first["frames"], 3)
        self.assertAlmostEqual(first["initialisation_time_s"], 3.52178)
        self.assertAlmostEqual(first["total_time_s"], 0.1226916, places=9)
        self.assertEqual(first["summary"], "ok")
        self.assertEqual(first["agreement"], {"total_time": True, "average_angle_rate": True,
                                              "average_quantity_rate": True})
        self.assertAlmostEqual(first["recomputed_averages"]["average_angle_rate"],
                               3 / 0.1226916, places=6)
        self.assertAlmostEqual(first["recomputed_averages"]["average_quantity_rate"],
                               7200 / 0.1226916, places=3)
        self.assertAlmostEqual(first["file_averages"]["average_angle_rate"],
                               float(T.cxx(3 / 0.1226916)))
        stats = first["frame_time_s"]
        self.assertEqual((stats["min"], stats["median"], stats["max"]),
                         (0.0213337, 0.0401234, 0.0612345))
        self.assertEqual(stats["p95"], 0.0612345)
        # Slowest by triangles/s: 14400 / 0.2998764 s against 7200 / 0.1226916 s.
        across = data["across_windows"]
        self.assertEqual(across["slowest_window"], 2)
        self.assertEqual(across["frames"], 6)
        self.assertAlmostEqual(across["headline_rate"], 7200 / 0.1226916 + 14400 / 0.2998764,
                               places=6)
        self.assertEqual(data["hosts"]["NODE7"]["frames"], 6)

        # The table: a header, one row per window and a total row.
        out = proc.stdout.splitlines()
        header = next(line for line in out if line.lstrip().startswith("window"))
        self.assertIn("triangles/s", header)
        rows = [line.split() for line in out if line.split() and line.split()[0] in
                ("1", "2", "total")]
        self.assertEqual([r[0] for r in rows], ["1", "2", "total"])
        self.assertEqual(rows[0][3], "3")
        self.assertEqual(rows[0][-1], "ok")
        self.assertEqual(rows[2][1], "6")  # frames summed over the windows
        self.assertEqual(rows[2][3], "%.6g" % (7200 / 0.1226916 + 14400 / 0.2998764))
        self.assertIn("slowest window: 2", proc.stdout)

    def test_plots_are_pngs_of_the_documented_size(self):
        self.write_run()
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for name in ("frame_time.png", "triangle_rate.png"):
            path = os.path.join(self.dir, name)
            self.assertTrue(os.path.isfile(path), name)
            self.assertGreater(os.path.getsize(path), 5000, name)
            self.assertEqual(T.png_size(path), (800, 500), name)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "vertex_rate.png")))

    def test_no_plots_and_output_elsewhere(self):
        self.write_run()
        out = os.path.join(self.dir, "elsewhere")
        files = sorted(os.path.join(self.dir, n) for n in os.listdir(self.dir))
        proc = self.report("--no-plots", "--out", out, *files)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(sorted(os.listdir(out)), ["frames.csv", "report.html", "summary.json"])

    def test_rounding_of_many_frames_is_tolerated(self):
        # The total of many frames printed to six digits drifts from the printed total; the
        # check has to allow for it without letting real differences through.
        # Every frame time is printed almost half a unit of its sixth digit too low.
        rng = random.Random(7)
        frames = [(1200 * (i + 1), round(rng.uniform(0.0100001, 0.0199999), 7) + 4.9e-8)
                  for i in range(400)]
        lines = T.shardfall_lines(1, frames)
        printed_sum = sum(float(T.cxx(t)) for _, t in frames)
        printed_total = float(T.cxx(sum(t for _, t in frames)))
        self.assertNotEqual(T.cxx(printed_sum), T.cxx(printed_total),
                            "the data does not exercise the rounding allowance")
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(self.summary()["windows"][0]["summary"], "ok")

    def test_summary_disagreeing_with_frames_is_an_error(self):
        lines = T.shardfall_lines(1, self.FRAMES_1)
        index = next(i for i, line in enumerate(lines) if line.startswith("Average Angles"))
        lines[index] = "Average Angles/Sec: 24.5 Angles/Sec."  # frames give 24.4516
        path = T.write_lines(self.dir, T.results_name("shardfall", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1)
        # The error names the summary's first line, the one before (index is 0-based).
        self.assertIn("%s:%d:" % (path, index), proc.stderr)
        self.assertIn("average angle rate 24.5", proc.stderr)
        self.assertIn("disagrees", proc.stderr)
        window = self.summary()["windows"][0]
        self.assertEqual(window["summary"], "MISMATCH")
        self.assertEqual(window["agreement"]["average_angle_rate"], False)
        self.assertEqual(window["agreement"]["total_time"], True)
        self.assertIn("MISMATCH", proc.stdout)

    def test_total_time_off_in_the_sixth_digit_is_an_error(self):
        lines = T.shardfall_lines(1, self.FRAMES_1)
        index = next(i for i, line in enumerate(lines) if line.startswith("Total running"))
        self.assertEqual(lines[index], "Total running time:  0.122692 Secs. @ window: 1")
        lines[index] = "Total running time:  0.122694 Secs. @ window: 1"
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("total running time 0.122694", proc.stderr)

    def test_frame_rate_that_does_not_match_its_frame_time_is_an_error(self):
        lines = T.shardfall_lines(1, self.FRAMES_1)
        index = lines.index("It was: %s Triangles/sec." % T.cxx(2400 / 0.0401234))
        lines[index] = "It was: 59000 Triangles/sec."
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("frame 2: triangle rate 59000", proc.stderr)

    def test_truncated_file_is_accepted_and_the_missing_summary_reported(self):
        lines = T.shardfall_lines(1, self.FRAMES_1)
        cut = lines.index("It drew 3600 Triangles.") + 1  # inside the third block
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines[:cut])
        T.write_lines(self.dir, T.results_name("shardfall", 2),
                      T.shardfall_lines(2, self.FRAMES_2))
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("summary missing", proc.stderr)
        self.assertIn("frame block 3", proc.stderr)
        first, second = self.summary()["windows"]
        self.assertEqual(first["frames"], 2)
        self.assertEqual(first["summary"], "missing")
        self.assertIsNone(first["file_averages"])
        self.assertAlmostEqual(first["recomputed_averages"]["average_angle_rate"],
                               2 / (0.0213337 + 0.0401234), places=6)
        self.assertEqual(second["summary"], "ok")
        self.assertEqual(len(self.frames_csv()), 5)

    def test_file_cut_before_any_frame(self):
        lines = T.shardfall_lines(1, self.FRAMES_1)
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines[:4])
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 1, proc.stderr)  # it measured nothing
        window = self.summary()["windows"][0]
        self.assertEqual((window["frames"], window["summary"]), (0, "missing"))
        self.assertEqual(T.png_size(os.path.join(self.dir, "frame_time.png")), (800, 500))

    def test_no_frames_and_nan_averages(self):
        T.write_lines(self.dir, T.results_name("shardfall", 1), T.shardfall_lines(1, []))
        with open(os.path.join(self.dir, T.results_name("shardfall", 1))) as f:
            text = f.read()
        self.assertIn("Total running time:  0 Secs. @ window: 1\n"
                      "Average Angles/Sec: -nan Angles/Sec.\n", text)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn("no window drew a frame", proc.stdout)
        window = self.summary()["windows"][0]
        self.assertEqual((window["summary"], window["state"]), ("ok", "NO FRAMES"))
        self.assertIn("window 1 is not ok: NO FRAMES", proc.stderr)
        self.assertEqual(window["recomputed_averages"]["average_angle_rate"], "nan")
        self.assertIsNone(self.summary()["across_windows"]["slowest_window"])

    def test_nan_summary_after_frames_is_an_error(self):
        lines = T.shardfall_lines(1, self.FRAMES_1)
        index = next(i for i, line in enumerate(lines) if line.startswith("Average Triangles"))
        lines[index] = "Average Triangles/Sec: nan Triangles/Sec."
        T.write_lines(self.dir, T.results_name("shardfall", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("average triangle rate nan", proc.stderr)


class MalformedFiles(ReportCase):
    def check_rejected(self, lines, line_number, *fragments, raw=None):
        name = T.results_name("shardfall", 1)
        if raw is None:
            path = T.write_lines(self.dir, name, lines)
        else:
            path = os.path.join(self.dir, name)
            with open(path, "w") as f:
                f.write(raw)
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("%s:%d:" % (path, line_number), proc.stderr)
        for fragment in fragments:
            self.assertIn(fragment, proc.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "summary.json")))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "frames.csv")))

    def test_bad_number(self):
        lines = T.shardfall_lines(1, [(1200, 0.02), (1200, 0.03)])
        lines[14] = "It spent: 0.0x3 Secs. "
        self.check_rejected(lines, 15, "expected \"It spent: <seconds> Secs. \"", "0.0x3")

    def test_missing_trailing_blank(self):
        lines = T.shardfall_lines(1, [(1200, 0.02)])
        self.assertEqual(lines[8], "It spent: 0.02 Secs. ")
        lines[8] = "It spent: 0.02 Secs."
        self.check_rejected(lines, 9, "It spent: <seconds> Secs. ")

    def test_unknown_title(self):
        lines = T.shardfall_lines(1, [(1200, 0.02)])
        lines[0] = "Some other benchmark"
        self.check_rejected(lines, 1, "title line")

    def test_stray_line_between_blocks(self):
        lines = T.shardfall_lines(1, [(1200, 0.02), (1200, 0.03)])
        lines.insert(12, "hello")
        self.check_rejected(lines, 13, "a frame block", "'hello'")

    def test_summary_of_another_window(self):
        lines = T.shardfall_lines(2, [(1200, 0.02)])
        lines[12] = lines[12].replace("@ window: 2", "@ window: 3")
        self.check_rejected(lines, 13, "names window 3")

    def test_too_many_digits(self):
        lines = T.shardfall_lines(1, [(1200, 0.02)])
        lines[9] = "It was: 50.00001 Angles/sec."
        self.check_rejected(lines, 10, "more than six significant digits")

    def test_text_after_the_summary(self):
        lines = T.shardfall_lines(1, [(1200, 0.02)]) + ["", "window: 1"]
        self.check_rejected(lines, len(lines), "nothing but empty lines after the summary")

    def test_every_bad_file_is_named(self):
        good = T.shardfall_lines(2, [(1200, 0.02)])
        T.write_lines(self.dir, T.results_name("shardfall", 2), good)
        bad = list(good)
        bad[3] = "Window 3@ NODE7 spent: soon"
        path = T.write_lines(self.dir, T.results_name("shardfall", 3), bad)
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("%s:4:" % path, proc.stderr)
        self.assertIn("1 of 2 file(s) rejected", proc.stderr)


class LatticeglowReport(ReportCase):
    TIMES = [0.5, 0.498765, 0.512345, 0.47]

    def test_vertices_per_frame_recovered_and_summary_checked(self):
        T.write_lines(self.dir, T.results_name("latticeglow", 1),
                      T.latticeglow_lines(1, self.TIMES, 65536))
        T.write_lines(self.dir, T.results_name("latticeglow", 2),
                      T.latticeglow_lines(2, [t * 2 for t in self.TIMES], 65536))
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = self.summary()
        self.assertEqual(data["program"], "latticeglow")
        self.assertEqual(data["quantity"], "vertices")
        first, second = data["windows"]
        self.assertEqual(first["recomputed_averages"]["vertices_per_frame"], 65536)
        self.assertEqual(first["summary"], "ok")
        self.assertAlmostEqual(first["recomputed_averages"]["average_quantity_rate"],
                               65536 * 4 / sum(self.TIMES), places=3)
        self.assertEqual(data["across_windows"]["slowest_window"], 2)
        rows = self.frames_csv()
        self.assertEqual(len(rows), 8)
        self.assertEqual({r["quantity"] for r in rows}, {"65536"})
        self.assertEqual(rows[0]["quantity_rate"], "131072")
        self.assertIn("vertices/s", proc.stdout)
        path = os.path.join(self.dir, "vertex_rate.png")
        self.assertEqual(T.png_size(path), (800, 500))
        self.assertGreater(os.path.getsize(path), 5000)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "triangle_rate.png")))

    def test_vertex_summary_off_is_an_error(self):
        lines = T.latticeglow_lines(1, self.TIMES, 65536)
        index = next(i for i, line in enumerate(lines) if line.startswith("Average Vertex"))
        lines[index] = "Average Vertex/Sec: 131200 Vertex/Sec."
        T.write_lines(self.dir, T.results_name("latticeglow", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("average vertex rate 131200", proc.stderr)

    def test_changing_vertex_count_is_an_error(self):
        lines = T.latticeglow_lines(1, self.TIMES, 65536)
        index = lines.index("It was: %s Vertex/sec." % T.cxx(65536 / 0.512345))
        lines[index] = "It was: %s Vertex/sec." % T.cxx(70000 / 0.512345)
        T.write_lines(self.dir, T.results_name("latticeglow", 1), lines)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("not constant", proc.stderr)

    def test_frame_block_of_another_window_is_rejected(self):
        lines = T.latticeglow_lines(1, self.TIMES, 65536)
        lines[5] = "window: 2 @ NODE7"
        path = T.write_lines(self.dir, T.results_name("latticeglow", 1), lines)
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("%s:6:" % path, proc.stderr)

    def test_truncated_inside_summary(self):
        lines = T.latticeglow_lines(1, self.TIMES, 65536)
        T.write_lines(self.dir, T.results_name("latticeglow", 1), lines[:-2])
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("inside the summary", proc.stderr)
        self.assertEqual(self.summary()["windows"][0]["summary"], "missing")
        self.assertEqual(self.summary()["windows"][0]["frames"], 4)


class RunsAndStates(ReportCase):
    FRAMES = [(1200, 0.02), (2400, 0.04), (3600, 0.06)]

    def test_partial_last_line_is_left_out_with_a_note(self):
        text = "".join(line + "\n" for line in T.shardfall_lines(1, self.FRAMES))
        path = os.path.join(self.dir, T.results_name("shardfall", 1))
        with open(path, "w") as f:
            f.write(text[:text.index("It spent: 0.06") + 12])  # "It spent: 0." of frame 3
        T.write_lines(self.dir, T.results_name("shardfall", 2), T.shardfall_lines(2, self.FRAMES))
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("line 21) is cut short (no line end): it is left out", proc.stderr)
        first, second = self.summary()["windows"]
        self.assertEqual((first["frames"], first["state"]), (2, "no summary"))
        self.assertEqual((second["frames"], second["state"]), (3, "ok"))

    def test_runs_and_programs_in_one_folder_are_reported_apart(self):
        later = T.START + datetime.timedelta(minutes=30)
        for w in (1, 2):
            T.write_lines(self.dir, T.results_name("shardfall", w),
                          T.shardfall_lines(w, self.FRAMES))
        for w in (1, 2, 3):  # window 3 alone would fit the first run: its start time says no
            T.write_lines(self.dir, T.results_name("shardfall", w, start=later),
                          T.shardfall_lines(w, self.FRAMES[:1]))
        T.write_lines(self.dir, T.results_name("latticeglow", 1),
                      T.latticeglow_lines(1, [0.5], 65536))
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("the files hold 3 runs", proc.stderr)
        found = {}
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("report-"):
                with open(os.path.join(self.dir, name, "summary.json")) as f:
                    data = json.load(f)
                found[name] = [(w["window"], w["frames"]) for w in data["windows"]]
        self.assertEqual(found, {
            "report-latticeglow-20220929-100000": [(1, 1)],
            "report-shardfall-20220929-100000": [(1, 3), (2, 3)],
            "report-shardfall-20220929-103000": [(1, 1), (2, 1), (3, 1)]})

    def test_windows_on_two_hosts_get_host_totals(self):
        for w, host in ((1, "n1"), (2, "n2"), (3, "n2")):
            T.write_lines(self.dir, T.results_name("latticeglow", w, processor=host),
                          T.latticeglow_lines(w, [0.5, 0.25], 1000, processor=host))
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        hosts = {line.split()[1]: line.split() for line in proc.stdout.splitlines()
                 if line.split()[:1] == ["host"]}
        self.assertEqual(hosts["n1"][2:5], ["2", "0.75", "%g" % (2000 / 0.75)])
        self.assertEqual(hosts["n2"][2:5], ["4", "1.5", "%g" % (4000 / 0.75)])
        self.assertEqual(self.summary()["hosts"]["n2"]["windows"], 2)
        self.assertEqual([r["host"] for r in self.frames_csv()], ["n1"] * 2 + ["n2"] * 4)

    def test_incomplete_and_missing_files_are_marked_not_ok(self):
        for w in (1, 2):
            T.write_lines(self.dir, T.results_name("shardfall", w),
                          T.shardfall_lines(w, self.FRAMES))
        path = os.path.join(self.dir, T.results_name("shardfall", 1))
        T.write_lines(self.dir, "console.log", [
            L.RESULTS_INCOMPLETE.format(path=path, error="No space left on device"),
            L.RESULTS_SAVED.format(path=os.path.join(self.dir, T.results_name("shardfall", 2)))])
        with open(os.path.join(self.dir, "run.json"), "w") as f:
            json.dump({"program": "shardfall", "status": "ok",
                       "context": {"cpu_model": "Test CPU 9000", "cores": 2},
                       "results_file_states": {"3": {"state": "not created",
                                                     "error": "Permission denied"}}}, f)
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("Test CPU 9000, 2 cores", proc.stdout)
        rows = {line.split()[0]: line for line in proc.stdout.splitlines()
                if line.split() and line.split()[0] in ("1", "2", "3")}
        self.assertTrue(rows["1"].endswith("INCOMPLETE FILE"), rows["1"])
        self.assertTrue(rows["2"].endswith("ok"), rows["2"])
        self.assertTrue(rows["3"].endswith("NOT CREATED"), rows["3"])
        data = self.summary()
        self.assertEqual(data["across_windows"]["not_ok"], [1, 3])
        self.assertEqual(data["windows"][0]["file_state"]["error"], "No space left on device")


class Completeness(ReportCase):
    """Complete means complete: a failed run, a window that ended early, a file cut short."""
    FRAMES = [(1200, 0.02), (2400, 0.04), (3600, 0.06)]

    def write_run_json(self, folder, **fields):
        with open(os.path.join(folder, "run.json"), "w") as f:
            json.dump(dict({"program": "latticeglow", "status": "ok"}, **fields), f)

    def test_a_failed_run_fails_unless_reported_anyway(self):
        for w in (1, 2):
            T.write_lines(self.dir, T.results_name("shardfall", w),
                          T.shardfall_lines(w, self.FRAMES, summary=w == 1))
        self.write_run_json(self.dir, program="shardfall", status="failed",
                            error="window 2 stopped reporting",
                            results_file_states={"1": {"state": "complete"},
                                                 "2": {"state": "complete"}})
        proc = self.report("--no-plots", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn("the run failed: window 2 stopped reporting", proc.stdout)
        self.assertIn("verdict: FAIL (complete)", proc.stdout)
        states = self.summary()["results_file_states"]
        self.assertEqual((states["1"]["state"], states["2"]["state"], states["2"]["run_said"]),
                         ("complete", "cut short", "complete"))
        proc = self.report("--no-plots", "--allow-failed", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("the run failed: window 2 stopped reporting; reported anyway",
                      proc.stdout)
        self.assertEqual(self.summary()["verdict"]["result"], "PASS")

    def test_a_window_that_ended_early_fails_and_judges_no_host(self):
        # node3's window drew only in the busy first seconds: slow frames, left out.
        rng = random.Random(5)
        for w in range(1, 5):
            host = "node%d" % w
            times = [0.02 * rng.uniform(0.97, 1.03) * (1.6 if w == 3 else 1)
                     for _ in range(5 if w == 3 else 20)]
            T.write_lines(self.dir, T.results_name("latticeglow", w, processor=host),
                          T.latticeglow_lines(w, times, 65536, processor=host))
        self.write_run_json(self.dir, windows_ended_early={
            "3": {"after_seconds": 5.8, "how": "closed by the window manager"}})
        proc = self.report("--no-plots", "--fail-slow-host", "10", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("window 3 ended early (closed by the window manager), 5.8 s into the "
                      "run", proc.stdout)
        data = self.summary()
        self.assertEqual([w["state"] for w in data["windows"]],
                         ["ok", "ok", "ENDED EARLY", "ok"])
        verdicts = {v["host"]: v for v in data["host_verdicts"]}
        self.assertEqual((verdicts["node3"]["frames"], verdicts["node3"]["verdict"]),
                         (0, "cannot decide"))
        gates = {g["gate"]: g["result"] for g in data["verdict"]["gates"]}
        self.assertEqual((gates["complete"], gates["slow hosts"]), ("FAIL", "PASS"))

    def test_repeats_reported_elsewhere_and_their_spread_of_the_ok_ones(self):
        parent = os.path.join(self.dir, "series")
        for k, frame_time in ((1, 0.5), (2, 0.25), (3, 0.52), (4, 0.3)):
            folder = os.path.join(parent, "repeat-%d" % k)
            os.makedirs(folder)
            T.write_lines(folder, T.results_name("latticeglow", 1),
                          T.latticeglow_lines(1, [frame_time] * 4, 65536))
        self.write_run_json(os.path.join(parent, "repeat-2"), status="failed")
        self.write_run_json(parent, repeats=[{"folder": "repeat-1", "status": "ok"},
                                             {"folder": "repeat-3", "status": "ok"}])
        out = os.path.join(self.dir, "out")
        junit = os.path.join(self.dir, "report.xml")
        proc = self.report("--no-plots", "--out", out, "--junit", junit, parent)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn("repeats: FAIL: 2 of 4 repeat(s) did not end ok", proc.stdout)
        # Each repeat's cases apart; the repeats' own gate fails.
        cases = {(c.get("classname"), c.get("name")): c.find("failure") is not None
                 for c in ET.parse(junit).getroot().iter("testcase")}
        self.assertTrue(cases[("latticeglow gates", "repeats")])
        self.assertEqual(len({(classname, name) for classname, name in cases
                              if name == "window 1"}), 4)
        proc = self.report("--no-plots", "--allow-failed", "--out", out, parent)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("repeat(s) 2 (failed), 4 (status unknown) did not end ok: left out of "
                      "the spread", proc.stderr)
        with open(os.path.join(out, "summary.json")) as f:
            data = json.load(f)
        self.assertEqual(data["spread"]["repeats"], 2)
        self.assertAlmostEqual(data["spread"]["max"], 65536 / 0.5, places=3)
        self.assertEqual([r["in_spread"] for r in data["repeats"]], [True, False, True, False])
        self.assertIn("left out of the spread", data["notes"][0])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "repeat-2"))),
                         ["frames.csv", "report.html", "summary.json"])
        self.assertEqual(sorted(os.listdir(os.path.join(parent, "repeat-1"))),
                         [T.results_name("latticeglow", 1)])


class LayoutLines(unittest.TestCase):
    def test_results_file_states_from_console_lines(self):
        folder = "/work/a (copy)"
        names = {w: T.results_name("latticeglow", w, processor="node 7") for w in (1, 2, 3)}
        console = "\n".join([
            "window: 1 @ node 7",
            L.RESULTS_SAVED.format(path=os.path.join(folder, names[1])),
            L.RESULTS_INCOMPLETE.format(path=os.path.join(folder, names[2]),
                                        error="No space left on device"),
            L.RESULTS_NOT_CREATED.format(path=os.path.join(folder, names[3]),
                                         error="Permission denied") + "\r"])
        states = L.results_file_states(console.split("\n"))
        self.assertEqual({w: (s["state"], s["error"]) for w, s in states.items()},
                         {1: ("complete", None), 2: ("incomplete", "No space left on device"),
                          3: ("not created", "Permission denied")})
        self.assertEqual(states[2]["path"], os.path.join(folder, names[2]))

    def test_results_names_round_trip(self):
        start = T.START + datetime.timedelta(seconds=9)
        name = L.results_name("shardfall", 12, "node-3 @ rack", start, variant=2)
        self.assertEqual(name, "results_shardfall_windows @ 12 of node-3 @ rack @ local date "
                               "2022.09.29 time 10.00.09-2.txt")
        parsed = L.parse_results_name(name)
        self.assertEqual((parsed.program, parsed.window, parsed.host, parsed.start,
                          parsed.variant), ("shardfall", 12, "node-3 @ rack", start, 2))
        self.assertIsNone(L.parse_results_name(name.replace("shardfall", "other")))


class CommandLine(ReportCase):
    def test_closed_pipe_and_unusable_output_places_end_in_one_line(self):
        T.write_lines(self.dir, T.results_name("shardfall", 1),
                      T.shardfall_lines(1, [(1200, 0.02)]))
        read_end, write_end = os.pipe()
        os.close(read_end)  # the reader is gone before the tool writes a line
        proc = subprocess.run([T.BENCH_REPORT, "--no-plots", self.dir], stdout=write_end,
                              stderr=subprocess.PIPE, text=True, timeout=120)
        os.close(write_end)
        self.assertEqual((proc.returncode, proc.stderr), (2, ""))
        a_file = os.path.join(self.dir, "frames.csv")
        for out in (a_file, os.path.join(a_file, "below")):
            proc = self.report("--no-plots", "--out", out, self.dir)
            self.assertEqual(proc.returncode, 2, out)
            self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
            self.assertIn(out, proc.stderr)

    def test_folder_without_results(self):
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 2)
        self.assertIn("no results files", proc.stderr)


if __name__ == "__main__":
    unittest.main()
