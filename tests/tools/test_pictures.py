"""The picture check: a stand-in GL library (standin_gl/, built here with CMake) put in front of
the programs with --wrap draws the wrong picture in some windows; bench-run must fail naming
each of them and what is wrong, bench-report must fail the run, and healthy renderers
(llvmpipe, softpipe, point smoothing off) must pass. Plain checks of the pieces come first."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import numpy

import toolstest as T
from benchlib.pictures import capture, compare, pixels
from test_run_e2e import RunnerCase


class Pieces(unittest.TestCase):
    def test_sample_spreads_over_the_windows_and_keeps_the_ends(self):
        for n in (1, capture.SAMPLE, capture.SAMPLE + 1, 4095):
            windows = list(range(1, n + 1))
            picked = capture.sample(windows)
            self.assertEqual(len(picked), min(n, capture.SAMPLE))
            self.assertEqual((picked[0], picked[-1]), (1, n))

    def test_sixteen_bit_pixels_reach_full_scale_in_each_channel(self):
        masks = (0xF800, 0x07E0, 0x001F)
        rgb = pixels.to_rgb(numpy.array([[0xFFFF, 0x0000, 0xF800]], dtype=numpy.uint32), masks)
        self.assertTrue(numpy.allclose(rgb[0, 0], 1) and numpy.allclose(rgb[0, 1], 0))
        self.assertTrue(numpy.allclose(rgb[0, 2], [1, 0, 0]))

    def test_a_tolerance_that_cannot_be_read_is_refused_with_its_name(self):
        for text, word in (("colour=x", "colour"), ("shade=3", "shade"), ("overlap=-1", "overlap")):
            with self.assertRaises(ValueError) as caught:
                compare.Tolerance.parse(text)
            self.assertIn(word, str(caught.exception))
        self.assertEqual(compare.Tolerance.parse("colour=9").colour, 9.0)

    def test_pictures_of_another_size_are_not_compared(self):
        with self.assertRaises(ValueError):
            compare.measure(numpy.zeros((32, 32, 3)), numpy.zeros((48, 32, 3)))


class Checked(RunnerCase):
    """Each case a few runs; every window's fault is its own (STANDIN_GL=window:fault)."""

    @classmethod
    def setUpClass(cls):
        if shutil.which("cmake") is None:
            raise unittest.SkipTest("cmake is not installed")
        cls.build = tempfile.mkdtemp(prefix="bench-standin-")
        source = os.path.join(T.HERE, "standin_gl")
        for step in (["cmake", "-S", source, "-B", cls.build],
                     ["cmake", "--build", cls.build]):
            subprocess.run(step, check=True, capture_output=True)
        cls.standin = os.path.join(cls.build, "libstandin_gl.so")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.build, ignore_errors=True)

    def run_checked(self, program, windows, faults, *args, env=None):
        wrap = "env LD_PRELOAD=%s STANDIN_GL_WINDOW={window} STANDIN_GL=%s" % (
            self.standin, ",".join("%d:%s" % item for item in sorted(faults.items())))
        status, out, err = self.finish(self.start(
            program, windows, "--build-dir", T.BUILD_DIR, "--no-history", "--wrap", wrap,
            *args, env=env))
        with open(os.path.join(self.out, "run.json")) as f:
            pictures = json.load(f)["pictures"]
        return status, out + err, {e["window"]: e for e in pictures["windows"]}

    def assert_named(self, text, entries, window, words):
        self.assertEqual(entries[window]["status"], "fail", text)
        self.assertRegex(text, r"window %d on [^:]+: [^;]*%s" % (window, words))
        for kind in ("picture", "reference", "difference"):
            self.assertTrue(os.path.isfile(os.path.join(self.out, entries[window][kind])))

    def test_wrong_lattices_fail_the_run_and_the_report_window_by_window(self):
        status, text, entries = self.run_checked(
            "latticeglow", 5, {2: "nothing", 3: "half", 4: "white", 5: "turned"},
            "--frames", 2, "--depth", 16)
        self.assertEqual(status, 1, text)
        self.assertEqual(entries[1]["status"], "pass", text)
        self.assert_named(text, entries, 2, "the picture is empty")
        self.assert_named(text, entries, 3, "covers \\d+% of the reference's area")
        self.assert_named(text, entries, 4, "colours differ from the reference")
        self.assert_named(text, entries, 5, "(lie elsewhere|colours differ)")
        report = T.run_tool(T.BENCH_REPORT, self.out, "--no-plots")
        self.assertEqual(report.returncode, 1, report.stdout + report.stderr)
        with open(os.path.join(self.out, "summary.json")) as f:
            gates = {g["gate"]: g for g in json.load(f)["verdict"]["gates"]}
        self.assertEqual(gates["pictures"]["result"], "FAIL")
        self.assertTrue(any("window 2 " in f for f in gates["pictures"]["findings"]))
        with open(os.path.join(self.out, "report.html")) as f:
            page = f.read()
        self.assertEqual(page.count('src="data:image/png;base64,'), 3 * 4)
        self.assert_pictures_shown(os.path.join(self.out, "report.html"))

    def assert_pictures_shown(self, page):
        """Chromium shows the pictures: black backgrounds fill a good part of the page."""
        from test_html_report import _chromium_command, chromium
        command = _chromium_command()
        if command is None:
            return
        shot = os.path.join(self.dir, "page.png")
        proc = chromium(command, "--window-size=1200,3000", "--screenshot=" + shot,
                        "file://" + page)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        shown = pixels.load_png(shot)
        self.assertGreater((shown.max(axis=-1) < 0.05).mean(), 0.1, "no pictures on the page")

    def test_half_the_triangles_fail_and_the_window_beside_passes(self):
        status, text, entries = self.run_checked("shardfall", 2, {2: "half"}, "--frames", 2)
        self.assertEqual(status, 1, text)
        self.assertEqual(entries[1]["status"], "pass", text)
        self.assertEqual(entries[2]["status"], "fail", text)
        self.assertRegex(text, r"window 2 on \S+: ")

    def test_healthy_renderers_pass_in_both_modes(self):
        for renderer, mode in (("softpipe", ("--frames", 3)), ("llvmpipe", ("--seconds", 2))):
            status, text, entries = self.run_checked(
                "latticeglow", 2, {2: "nosmooth"}, *mode, "--depth", 16,
                env={"GALLIUM_DRIVER": renderer})
            self.assertEqual(status, 0, text)
            self.assertEqual({e["status"] for e in entries.values()}, {"pass"}, text)
            report = T.run_tool(T.BENCH_REPORT, self.out, "--no-plots")
            self.assertEqual(report.returncode, 0, report.stdout + report.stderr)
            shutil.rmtree(self.out)

    def test_a_known_good_run_is_the_reference(self):
        status, text, _entries = self.run_checked("latticeglow", 2, {}, "--frames", 2,
                                                  "--depth", 16)
        self.assertEqual(status, 0, text)
        known_good = os.path.join(self.dir, "known-good")
        os.rename(self.out, known_good)
        status, text, entries = self.run_checked("latticeglow", 2, {2: "white"}, "--frames", 2,
                                                 "--depth", 16, "--picture-reference",
                                                 known_good)
        self.assertEqual(status, 1, text)
        self.assertEqual(entries[1]["status"], "pass", text)
        self.assert_named(text, entries, 2, "colours differ from the reference")

    def test_unchecked_pictures_are_said_to_be(self):
        proc = self.start("latticeglow", 1, "--build-dir", T.BUILD_DIR, "--no-history",
                          "--frames", 1, "--depth", 16, "--no-picture-check")
        status, out, err = self.finish(proc)
        self.assertEqual(status, 0, out + err)
        self.assertIn("not checked", out)
        report = T.run_tool(T.BENCH_REPORT, self.out, "--no-plots")
        self.assertIn("pictures were not checked", report.stdout)
        with open(os.path.join(self.out, "report.html")) as f:
            self.assertIn("pictures were not checked", f.read())


if __name__ == "__main__":
    unittest.main()
