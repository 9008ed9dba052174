"""bench-run pieces that need no X display: build detection, checks, results following."""

import io
import os
import shutil
import subprocess
import tempfile
import unittest

import toolstest as T
from benchlib import results as R
from benchlib import runner


def fake_build(folder, compiler="/usr/bin/mpicxx.openmpi",
               launcher="/usr/bin/mpiexec.openmpi", script="exec sleep 600\n"):
    """A build tree whose programs are shell scripts (they never open a window)."""
    with open(os.path.join(folder, "CMakeCache.txt"), "w") as f:
        f.write("# This is the CMakeCache file.\n"
                "MPI_CXX_COMPILER:UNINITIALIZED=%s\n"
                "MPIEXEC_EXECUTABLE:FILEPATH=%s\n"
                "//ADVANCED property for variable: MPIEXEC_EXECUTABLE\n"
                "MPIEXEC_EXECUTABLE-ADVANCED:INTERNAL=1\n" % (compiler, launcher))
    for program in ("shardfall", "latticeglow"):
        os.makedirs(os.path.join(folder, program), exist_ok=True)
        path = os.path.join(folder, program, program)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(path, 0o755)
    return folder


class BuildDetection(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-run-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_library_from_launcher_and_compiler_names(self):
        self.assertEqual(runner.mpi_library_of_path("/usr/bin/mpiexec.openmpi"), "openmpi")
        self.assertEqual(runner.mpi_library_of_path("/usr/bin/mpicxx.mpich"), "mpich")
        self.assertEqual(runner.mpi_library_of_path("/usr/bin/mpiexec.hydra"), "mpich")
        self.assertEqual(runner.mpi_library_of_path("/opt/openmpi/bin/orterun"), "openmpi")
        self.assertIsNone(runner.mpi_library_of_path("/nowhere/mpiexec"))
        self.assertIsNone(runner.mpi_library_of_path(None))

    def test_cache_values(self):
        fake_build(self.dir, compiler="/usr/bin/mpicxx.mpich",
                   launcher="/usr/bin/mpiexec.mpich")
        cache = runner.read_cmake_cache(self.dir)
        self.assertEqual(cache["MPI_CXX_COMPILER"], "/usr/bin/mpicxx.mpich")
        self.assertEqual(cache["MPIEXEC_EXECUTABLE"], "/usr/bin/mpiexec.mpich")
        self.assertEqual(cache["MPIEXEC_EXECUTABLE-ADVANCED"], "1")
        self.assertIsNone(runner.read_cmake_cache(os.path.join(self.dir, "shardfall")))
        library, _ = runner.build_mpi_library(
            self.dir, os.path.join(self.dir, "shardfall", "shardfall"))
        self.assertEqual(library, "mpich")

    def test_real_build_matches_its_cache(self):
        program = os.path.join(T.BUILD_DIR, "shardfall", "shardfall")
        cache = runner.read_cmake_cache(T.BUILD_DIR)
        if cache is None or "MPI_CXX_COMPILER" not in cache or not os.path.exists(program):
            self.skipTest("no build in %s" % T.BUILD_DIR)
        expected = runner.mpi_library_of_path(cache["MPI_CXX_COMPILER"])
        self.assertEqual(runner.mpi_library_linked(program), expected)

    def test_mismatched_launcher_is_refused(self):
        fake_build(self.dir)
        out = os.path.join(self.dir, "out")
        proc = T.run_tool(T.BENCH_RUN, "shardfall", 2, "--frames", 1, "--build-dir", self.dir,
                          "--mpi", "mpich", "--out", out, timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("built against openmpi", proc.stderr)
        self.assertFalse(os.path.exists(out))

    def test_missing_program(self):
        proc = T.run_tool(T.BENCH_RUN, "latticeglow", 1, "--seconds", 1, "--build-dir",
                          self.dir, "--out", os.path.join(self.dir, "out"), timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("does not exist", proc.stderr)

    def test_output_folder_must_be_new_or_empty(self):
        fake_build(self.dir)
        out = os.path.join(self.dir, "out")
        os.makedirs(out)
        with open(os.path.join(out, "old.txt"), "w") as f:
            f.write("from an earlier run\n")
        proc = T.run_tool(T.BENCH_RUN, "shardfall", 1, "--frames", 1, "--build-dir", self.dir,
                          "--out", out, timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("not empty", proc.stderr)
        self.assertEqual(os.listdir(out), ["old.txt"])

    def test_command_line_errors(self):
        for args in (["shardfall", "2"],                                  # no mode
                     ["shardfall", "2", "--frames", "1", "--seconds", "1"],
                     ["shardfall", "0", "--frames", "1"],
                     ["shardfall", "1", "--frames", "-1"],
                     ["shardfall", "1", "--seconds", "0"],
                     ["shardfall", "1", "--frames", "1", "--depth", "8"],
                     ["nosuchprogram", "1", "--frames", "1"]):
            proc = T.run_tool(T.BENCH_RUN, *args, timeout=60)
            self.assertEqual(proc.returncode, 2, args)
            self.assertIn("usage:", proc.stderr)


class Titles(unittest.TestCase):
    def test_window_titles(self):
        self.assertEqual(R.SHARDFALL.window_title(3), "OPENGL Shardfall 64  Thread: 3")
        self.assertEqual(R.LATTICEGLOW.window_title(12), "OPENGL Latticeglow  64  Thread: 12")
        self.assertEqual(R.SHARDFALL.window_from_title("OPENGL Shardfall 64  Thread: 12"), 12)
        for other in ("OPENGL Shardfall 64  Thread: 1 ", "OPENGL Shardfall 64 Thread: 1",
                      "OPENGL Shardfall 64  Thread: 01", "OPENGL Shardfall 64  Thread: ",
                      "OPENGL Latticeglow  64  Thread: 1"):
            self.assertIsNone(R.SHARDFALL.window_from_title(other), other)

    def test_results_file_names(self):
        name = "results_latticeglow_windows @ 7 of vm @ local date 2026.12.08 time 02.43.09.txt"
        self.assertEqual(R.LATTICEGLOW.results_window(name), 7)
        self.assertIsNone(R.SHARDFALL.results_window(name))
        self.assertIsNone(R.LATTICEGLOW.results_window("console.log"))


class Numbers(unittest.TestCase):
    def test_rounding_bound_of_printed_values(self):
        self.assertEqual(R.Number.parse("60").bound, 0.5e-4)
        self.assertAlmostEqual(R.Number.parse("0.0166667").bound, 0.5e-7)
        self.assertAlmostEqual(R.Number.parse("1.23457e+06").bound, 5.0)
        self.assertAlmostEqual(R.Number.parse("1e-05").bound, 0.5e-10)
        self.assertEqual(R.Number.parse("0").bound, 0)
        self.assertEqual(R.Number.parse("-nan").bound, 0)
        self.assertEqual(R.significant_digits("0.0166667"), 6)
        self.assertEqual(R.significant_digits("1.23457e+06"), 6)
        self.assertEqual(R.significant_digits("120000"), 6)


class Follower(unittest.TestCase):
    def test_counts_complete_lines_only(self):
        folder = tempfile.mkdtemp(prefix="bench-follow-test-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        path = os.path.join(folder, T.results_name("shardfall", 1))
        follower = R.ResultsFollower(path, R.SHARDFALL)
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


class Processes(unittest.TestCase):
    def test_processes_found_by_run_id(self):
        token = "test%d" % os.getpid()
        env = dict(os.environ, **{runner.TOKEN_VARIABLE: token})
        marked = subprocess.Popen(["sleep", "60"], env=env)
        plain = subprocess.Popen(["sleep", "60"])
        try:
            found = runner.processes_with_token(token)
            self.assertIn(marked.pid, found)
            self.assertNotIn(plain.pid, found)
        finally:
            for p in (marked, plain):
                p.kill()
                p.wait()
        self.assertEqual(runner.processes_with_token(token), [])


class ProgressLines(unittest.TestCase):
    def test_plain_lines_when_not_a_terminal(self):
        stream = io.StringIO()
        progress = runner.Progress(stream)
        progress.show("waiting for windows (0 of 1) | frames: w1 -")
        progress.show("waiting for windows (0 of 1) | frames: w1 -")  # unchanged
        progress.show("stepping | frames: w1 0/2")                     # a new phase
        progress.show("stepping | frames: w1 1/2")                     # too soon
        progress.show("stepping | frames: w1 2/2", force=True)
        progress.say("note")
        self.assertEqual(stream.getvalue(), "waiting for windows (0 of 1) | frames: w1 -\n"
                         "stepping | frames: w1 0/2\nstepping | frames: w1 2/2\nnote\n")
        self.assertNotIn("\r", stream.getvalue())


if __name__ == "__main__":
    unittest.main()
