"""bench-run pieces that need no X display: build detection, pre-flight refusals, --out
edges, console lines about results files, progress lines, tagged processes."""

import io
import os
import re
import shutil
import subprocess
import tempfile
import types
import unittest

import toolstest as T
from benchlib.hosts import limits, processes
from benchlib.hosts import placement as P
from benchlib.results import follow, numbers
from benchlib.results import layout as L
from benchlib.run import build, plan, preflight, progress, record, session

GB = 10 ** 9


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


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-run-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.build = fake_build(self.dir)

    def bench_run(self, *args):
        return T.run_tool(T.BENCH_RUN, *args, "--build-dir", self.build, timeout=60)

    def assert_refused(self, proc, *words):
        self.assertEqual(proc.returncode, 2, proc.stderr)
        lines = proc.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, proc.stderr)
        self.assertTrue(lines[0].startswith("bench-run: "), lines[0])
        for word in words:
            self.assertIn(word, lines[0])
        self.assertNotIn("Traceback", proc.stderr)


class BuildDetection(Folder):
    def test_library_from_names_and_cache(self):
        self.assertEqual(build.mpi_library_of_path("/usr/bin/mpiexec.openmpi"), "openmpi")
        self.assertEqual(build.mpi_library_of_path("/usr/bin/mpiexec.hydra"), "mpich")
        self.assertIsNone(build.mpi_library_of_path("/nowhere/mpiexec"))
        fake_build(self.dir, compiler="/usr/bin/mpicxx.mpich", launcher="/usr/bin/mpiexec.mpich")
        program = os.path.join(self.dir, "shardfall", "shardfall")
        self.assertEqual(build.choose_mpi(program, self.dir, None),
                         ("mpich", "/usr/bin/mpiexec.mpich"))
        with self.assertRaisesRegex(build.BuildError, "built against mpich"):
            build.choose_mpi(program, self.dir, "openmpi")

    def test_real_build_matches_its_cache(self):
        program = os.path.join(T.BUILD_DIR, "shardfall", "shardfall")
        cache = build.read_cmake_cache(T.BUILD_DIR)
        if cache is None or "MPI_CXX_COMPILER" not in cache or not os.path.exists(program):
            self.skipTest("no build in %s" % T.BUILD_DIR)
        self.assertEqual(build.mpi_library_linked(program),
                         build.mpi_library_of_path(cache["MPI_CXX_COMPILER"]))

    def test_program_from_option_build_or_path(self):
        script = os.path.join(self.build, "shardfall", "shardfall")
        self.assertEqual(build.locate_program("shardfall", "/nowhere", program=script),
                         (script, None))
        self.assertEqual(build.locate_program("shardfall", "/nowhere", build_dir=self.build),
                         (script, self.build))
        # No build in the checkout: the installed program on PATH.
        self.assertEqual(build.locate_program(
            "shardfall", "/nowhere", search_path=os.path.dirname(script)), (script, None))
        with self.assertRaisesRegex(build.BuildError, "not installed on PATH"):
            build.locate_program("shardfall", "/nowhere", search_path=self.dir)
        proc = T.run_tool(T.BENCH_RUN, "latticeglow", 1, "--seconds", 1, "--program",
                          os.path.join(self.dir, "nothing"), timeout=60)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("does not exist", proc.stderr)

    def test_command_line_errors(self):
        seconds = ["shardfall", "1", "--seconds"]
        frames = ["shardfall", "1", "--frames", "1"]
        for args in (["shardfall", "2"], ["shardfall", "2", "--frames", "1", "--seconds", "1"],
                     ["shardfall", "0", "--frames", "1"], seconds + ["0"],
                     frames + ["--depth", "8"], seconds + ["nan"], seconds + ["inf"],
                     seconds + ["1e400"], seconds + ["1e9"], frames + ["--appear-timeout", "nan"],
                     frames + ["--stall-timeout", "inf"], frames + ["--exit-timeout", "-1"],
                     frames[:-1] + ["0"], frames[:-1] + ["99999999999999999999"],
                     frames[:-1] + ["1e20"]):
            proc = T.run_tool(T.BENCH_RUN, *args, timeout=60)
            self.assertEqual(proc.returncode, 2, args)
            self.assertIn("usage:", proc.stderr)
            self.assertNotIn("Traceback", proc.stderr)

    def test_launcher_options_for_the_launcher_that_starts_the_ranks(self):
        out = os.path.join(self.dir, "out")
        self.assert_refused(self.bench_run("latticeglow", 1, "--frames", 1, "--out", out,
                                           "--srun-args", "-p debug"), "--srun-args is for runs")
        self.assertFalse(os.path.exists(out))

    def test_a_working_directory_that_is_gone(self):
        gone = os.path.join(self.dir, "gone")
        os.mkdir(gone)
        script = 'cd "$1" && rmdir "$1" && shift && exec "$@"'
        proc = subprocess.run(["sh", "-c", script, "sh", gone, T.BENCH_RUN, "latticeglow", "1",
                               "--frames", "1", "--build-dir", self.build], capture_output=True,
                              text=True, timeout=60)
        self.assert_refused(proc, "current directory")


class PreflightRefusals(Folder):
    def test_too_many_windows(self):
        out = os.path.join(self.dir, "out")
        self.assert_refused(self.bench_run("shardfall", 4096, "--frames", 1, "--out", out),
                            "4096 windows", "at most 4095")
        self.assertFalse(os.path.exists(out))

    def test_hostfiles_that_cannot_hold_the_run(self):
        out = os.path.join(self.dir, "out")
        hostfile = os.path.join(self.dir, "hosts")
        for text, words in (("node1:2\n", ["line 1", "'node1:2'", "HOST [slots=N]"]),
                            ("node1 slots=99999999999999999999\n", ["at most 4096"]),
                            ("node1 slots=1\nnode2 slots=1\n",
                             ["2 windows and the console need 3 slots", "give 2"])):
            with open(hostfile, "w") as f:
                f.write(text)
            self.assert_refused(self.bench_run("latticeglow", 2, "--frames", 1, "--out", out,
                                               "--hostfile", hostfile), *words)
        self.assert_refused(self.bench_run("latticeglow", 2, "--frames", 1, "--out", out,
                                           "--hostfile", hostfile + "-missing"),
                            "cannot read hostfile")
        self.assertFalse(os.path.exists(out))

    def test_memory_estimates_and_the_way_out(self):
        # Not below what bench/window_memory.py measured under llvmpipe: what one more window
        # adds to a run, up to 74.7 MB at depth 16, 1.83 GB at depth 24, 726 MB for shardfall.
        for program, depth, measured in (("latticeglow", 16, 74.7e6),
                                         ("latticeglow", 24, 1.83e9), ("shardfall", 24, 726e6)):
            self.assertGreaterEqual(limits.window_bytes(program, depth), measured)
        limits.check_memory("shardfall", 31, 24, 23 * GB)
        screen = limits.framebuffer_bytes(32740, 32740, 16)
        for program, windows, depth, available, xvfb, told in (
                ("shardfall", 40, 24, 23, 0, r"734 MB each.*: run at most 31 window\(s\), or "
                 r"spread the windows over more hosts \(--hostfile\)$"),
                ("shardfall", 1, 24, 0.5, 0, r": free memory first or use more hosts"),
                ("latticeglow", 1, 30, 23, 0, r"113 GB for the 1,073,741,824 points.*: use a "
                 r"screen of depth 24 \(--depth 24\), where it fits$"),
                ("latticeglow", 40, 24, 23, 0, r"run at most 12 window\(s\), or use a screen of "
                 r"depth 16 \(--depth 16\), where all 40 fit$"),
                ("latticeglow", 400, 30, 23, 0, r": use a screen of depth 24 .*where 12 fit, or "
                 r"use a screen of depth 16 .*where 298 fit, or spread the windows over"),
                ("latticeglow", 313, 16, 22.8, screen, r"with the Xvfb's screen\).*: run at "
                 r"most 268 window\(s\), or spread"),
                ("latticeglow", 2, 16, 0.1, 0, r": free memory first or use more hosts "
                 r"\(--hostfile\)$")):
            with self.subTest(program=program, windows=windows, depth=depth):
                with self.assertRaisesRegex(limits.Refusal, told) as caught:
                    limits.check_memory(program, windows, depth, available * GB, xvfb)
                # Only lower depths are the way out.
                self.assertTrue(all(int(d) < depth for d in
                                    re.findall(r"--depth (\d+)", str(caught.exception))))
        # Through the command line: more shardfall windows than this machine holds.
        available = limits.mem_available()
        windows = available // limits.window_bytes("shardfall", 24) + 1
        if windows > preflight.MAX_WINDOWS:
            self.skipTest("more memory than 4,095 windows need")
        self.assert_refused(self.bench_run("shardfall", windows, "--frames", 1, "--out",
                                           os.path.join(self.dir, "out")),
                            "MemAvailable", "run at most")

    def test_more_windows_than_a_screen_holds(self):
        self.assert_refused(self.bench_run("latticeglow", 512, "--frames", 1, "--depth", 16,
                                           "--out", os.path.join(self.dir, "out")),
                            "512 window", "at most 327 window")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out")))

    def test_display_size_and_depth(self):
        screen = {"width": 1800, "height": 1800, "depth": 16}
        P.check_display(screen, [1, 2, 3], ":60")
        with self.assertRaisesRegex(limits.Refusal, "1800x1800, too small for window.*1-5 .*"
                                    "1940x1940.*leave out --display"):
            P.check_display(screen, range(1, 6), ":60")
        limits.check_depth(None, ":58", 16)
        limits.check_depth(16, ":58", 16)
        with self.assertRaisesRegex(limits.Refusal, "--depth 24, but the display :58 has "
                                    "depth 16"):
            limits.check_depth(24, ":58", 16)


class OutEdges(Folder):
    def test_existing_file_full_folder_and_file_parent(self):
        existing = os.path.join(self.dir, "notes.txt")
        with open(existing, "w") as f:
            f.write("keep me\n")
        full = os.path.join(self.dir, "full")
        os.makedirs(full)
        with open(os.path.join(full, "old.txt"), "w") as f:
            f.write("from an earlier run\n")
        for out, words in ((existing, ("is a file",)), (full, ("not empty",)),
                           (os.path.join(existing, "sub"), ("under the file",))):
            self.assert_refused(self.bench_run("shardfall", 1, "--frames", 1, "--out", out),
                                *words)
        with open(existing) as f:
            self.assertEqual(f.read(), "keep me\n")
        self.assertEqual(os.listdir(full), ["old.txt"])

    def test_unwritable_place(self):
        locked = os.path.join(self.dir, "locked")
        os.makedirs(locked, mode=0o555)
        if os.access(locked, os.W_OK):
            self.skipTest("permission bits do not stop this user (root)")
        self.assert_refused(self.bench_run("shardfall", 1, "--frames", 1, "--out",
                                           os.path.join(locked, "out")), "not writable")

    def test_read_only_file_system(self):
        if shutil.which("unshare") is None:
            self.skipTest("no unshare")
        ro = os.path.join(self.dir, "ro")
        os.makedirs(ro)
        script = ('mount -t tmpfs -o ro tmpfs "$1" || exit 77; shift; exec "$@"')
        proc = subprocess.run(["unshare", "--mount", "--map-root-user", "sh", "-c", script, "sh",
                               ro, T.BENCH_RUN, "shardfall", "1", "--frames", "1", "--out",
                               os.path.join(ro, "out"), "--build-dir", self.build],
                              capture_output=True, text=True, timeout=60)
        if proc.returncode == 77 or "unshare:" in proc.stderr:
            self.skipTest("cannot mount a read-only file system here: %s" % proc.stderr)
        self.assert_refused(proc, "--out", "read-only file system")


class ConsoleLines(unittest.TestCase):
    def test_results_file_complaints(self):
        path = "/runs/x/results_shardfall_windows @ %d of node7 @ local date 2026.12.08 time " \
               "07.00.00.txt"
        lines = [
            "window: 1",
            "The results file is incomplete: %s (first failed write: No space left on device);"
            " the console holds the full reports." % (path % 2),
            "The results file was not created: %s (Permission denied); the console holds the "
            "full reports." % (path % 3),
            'shardfall: window 4: writing the results file "%s" failed: Input/output error; '
            "the console keeps every report" % os.path.basename(path % 4),
            'shardfall: window 5: cannot create the results file "%s" in /runs/x: Read-only '
            "file system; the reports go to the console only" % os.path.basename(path % 5),
            "Results have been saved in a file and you can find it at: %s" % (path % 1),
        ]
        states = follow.console_states(lines)
        self.assertEqual({w: (s["state"], s["error"]) for w, s in states.items()},
                         {2: ("incomplete", "No space left on device"),
                          3: ("not created", "Permission denied"),
                          4: ("incomplete", "Input/output error"),
                          5: ("not created", "Read-only file system")})
        self.assertEqual(record.window_host(os.path.basename(path % 2)), "node7")

    def test_file_states_from_disk_and_console(self):
        folder = tempfile.mkdtemp(prefix="bench-states-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        T.write_lines(folder, T.results_name("shardfall", 1), T.shardfall_lines(1, [(1200, .3)]))
        with open(os.path.join(folder, T.results_name("shardfall", 2)), "w") as f:
            f.write("not a results file\n")
        said = {3: {"state": "not created", "error": "Permission denied", "path": "x"}}
        self.assertEqual(record.file_states(folder, L.SHARDFALL, [1, 2, 3, 4], said), {
            "1": {"state": "complete", "error": None},
            "2": {"state": "incomplete", "error": record.files_on_disk(
                folder, L.SHARDFALL, [2])[2][2]},
            "3": {"state": "not created", "error": "Permission denied"},
            "4": {"state": "not created", "error": None}})

    def test_verdict_names_the_window_whose_file_is_incomplete(self):
        folder = tempfile.mkdtemp(prefix="bench-verdict-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        names = {w: T.results_name("shardfall", w) for w in (1, 2)}
        for w in (1, 2):
            T.write_lines(folder, names[w], T.shardfall_lines(w, [(1200, .3), (2400, .5)]))
        with open(os.path.join(folder, "console.log"), "w") as f:
            f.write("The results file is incomplete: %s/%s (first failed write: No space left on "
                    "device); the console holds the full reports.\n" % (folder, names[2]))
        run_plan = plan.Plan(types.SimpleNamespace(frames=2, seconds=None), L.SHARDFALL, [1, 2],
                             "", None, "", "", folder, "", {})
        console = follow.ConsoleFollower(os.path.join(folder, "console.log"))
        lines, problems = session.verify(run_plan, console, [])
        self.assertEqual(lines, [
            "window 1: 2 frame(s), summary written: %s" % names[1],
            "window 2: the results file is incomplete: %s (first failed write: No space left "
            "on device); the console holds the full reports" % names[2]])
        self.assertEqual(problems, ["window 2: results file incomplete"])
        # A window that drew nothing in a run for some seconds fails it.
        T.write_lines(folder, names[1], T.shardfall_lines(1, [], init=12.5))
        run_plan.args = types.SimpleNamespace(frames=None, seconds=5)
        self.assertEqual(session.verify(run_plan, console, [])[1][0], "window 1 drew no frame in "
                         "5 s of animation (its initialisation took 12.5 s)")


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


class ProgressLines(unittest.TestCase):
    def test_counts_elapsed_and_last_frame_time(self):
        counts = progress.window_counts([1, 2, 3], {1: 2, 2: 0}, 3, {1: 0.2914}, {1: 1, 2: 2})
        self.assertEqual(progress.progress_line("stepping", 16.4, counts),
                         "stepping 16s | w1 2/3 0.291s  w2 0/3 -  w3 ...")

    def test_plain_lines_when_not_a_terminal(self):
        stream = io.StringIO()
        p = progress.Progress(stream)
        p.show("waiting", "waiting 0s | w1 ...")
        p.show("waiting", "waiting 1s | w1 ...")     # same phase, too soon
        p.show("stepping", "stepping 1s | w1 0/2 -")  # a new phase
        p.show("stepping", "stepping 2s | w1 2/2 0.3s", force=True)
        p.say("note")
        self.assertEqual(stream.getvalue(), "waiting 0s | w1 ...\nstepping 1s | w1 0/2 -\n"
                         "stepping 2s | w1 2/2 0.3s\nnote\n")

    def test_a_line_is_made_only_when_it_may_be_shown(self):
        made = []

        def maker(text):
            return lambda: made.append(text) or text
        plain = progress.Progress(io.StringIO())
        plain.show_made("waiting", 1, maker("waiting 0s"))
        plain.show_made("waiting", 2, maker("waiting 1s"))  # same phase, too soon
        terminal = io.StringIO()
        terminal.isatty = lambda: True
        tty = progress.Progress(terminal)
        tty.show_made("stepping", 1, maker("stepping 1s"))
        tty.show_made("stepping", 1, maker("stepping 1s again"))  # nothing changed
        tty.say("note")
        tty.show_made("stepping", 1, maker("stepping 1s after the note"))
        self.assertEqual(made, ["waiting 0s", "stepping 1s", "stepping 1s after the note"])
        self.assertTrue(terminal.getvalue().endswith("note\n\rstepping 1s after the note"))


class TaggedProcesses(unittest.TestCase):
    def test_found_and_stopped_by_tag(self):
        tag = "test%d" % os.getpid()
        marked = subprocess.Popen(["sleep", "60"], env=dict(os.environ, TEST_TAG=tag))
        plain = subprocess.Popen(["sleep", "60"])
        self.addCleanup(plain.wait)
        self.addCleanup(plain.kill)
        found = processes.tagged_processes(tag, "TEST_TAG")
        self.assertEqual(found, [marked.pid])
        self.assertEqual(processes.stop_tagged(tag, "TEST_TAG", grace=5), [])
        self.assertEqual(marked.wait(timeout=10), -15)
        self.assertIsNone(plain.poll())


if __name__ == "__main__":
    unittest.main()
