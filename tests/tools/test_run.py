"""The run package without an X display: build detection, the plan and its pre-flight (plain
functions on a plan and crafted host facts, and through the command line), --out edges, the
verdict on the results files, progress lines."""

import io
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import types
import unittest

import toolstest as T
from benchlib.hosts import limits, machine
from benchlib.results import follow
from benchlib.results import layout as L
from benchlib.run import (build, command, drive, launch, orphans, plan, preflight, progress,
                          series, verify)
from benchlib.run.refusal import Refusal

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
        with self.assertRaisesRegex(Refusal, "built against mpich"):
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
        with self.assertRaisesRegex(Refusal, "not installed on PATH"):
            build.locate_program("shardfall", "/nowhere", search_path=self.dir)
        proc = T.run_tool(T.BENCH_RUN, "latticeglow", 1, "--seconds", 1, "--program",
                          os.path.join(self.dir, "nothing"), timeout=60)
        self.assertEqual(proc.returncode, 2)  # refused: nothing started
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
        preflight.check_memory("shardfall", 31, 24, 23 * GB)
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
                with self.assertRaisesRegex(preflight.Refusal, told) as caught:
                    preflight.check_memory(program, windows, depth, available * GB, xvfb)
                # Only lower depths are the way out.
                self.assertTrue(all(int(d) < depth for d in
                                    re.findall(r"--depth (\d+)", str(caught.exception))))
        # Through the command line: more shardfall windows than this machine holds.
        available = machine.meminfo_bytes("MemAvailable")
        windows = available // limits.window_bytes("shardfall", 24) + 1
        if windows > limits.MAX_WINDOWS:
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
        preflight.check_display_size(screen, [1, 2, 3], ":60")
        with self.assertRaisesRegex(preflight.Refusal, "1800x1800, too small for window.*1-5 "
                                    ".*1940x1940.*leave out --display"):
            preflight.check_display_size(screen, range(1, 6), ":60")
        preflight.check_depth(None, ":58", 16)
        preflight.check_depth(16, ":58", 16)
        with self.assertRaisesRegex(preflight.Refusal, "--depth 24, but the display :58 has "
                                    "depth 16"):
            preflight.check_depth(24, ":58", 16)

    def test_hosts_of_a_run_across_hosts_from_their_facts(self):
        """The checks of every host run on the plan and what each host said, no agent
        needed: the first host that cannot hold its windows is named with them."""
        args = command.parse(["latticeglow", "5", "--frames", "1", "--depth", "24"])
        hosts = [plan.HostPlan("node1", []), plan.HostPlan("node2", [1, 2, 3], 1740),
                 plan.HostPlan("node3", [4, 5], None)]
        run_plan = plan.Plan(args, L.LATTICEGLOW, [1, 2, 3, 4, 5], "", None, "openmpi", "",
                             os.path.join(self.dir, "out"), "", {}, hosts, across=True)
        screen_plan = run_plan
        roomy = {"mem_available": 100 * GB, "open_files": 64}
        facts = {"node1": {}, "node2": roomy, "node3": roomy}
        hosts[2].screen = 1940
        preflight.check_hosts(run_plan, facts)  # open files are the runner's launcher's alone
        facts["node2"] = dict(roomy, mem_available=2 * GB)
        with self.assertRaisesRegex(preflight.Refusal, r"^host node2 \(window\(s\) 1, 2, 3\): "
                                    r"3 latticeglow window\(s\) need about"):
            preflight.check_hosts(run_plan, facts)
        facts["node2"], hosts[2].screen = roomy, None
        with self.assertRaisesRegex(preflight.Refusal, r"^host node3 \(window\(s\) 4, 5\): 2 "
                                    r"window\(s\) numbered 4 to 5 cannot"):
            preflight.check_plan(screen_plan)
        # Displays the user named: another run's windows on one, one that refuses us.
        run_plan.displays = [":0", ":1"]
        screen = {"width": 2000, "height": 2000, "depth": 24}
        free = {"name": ":0", "windows": [1, 3], "screen": screen, "x_clients": None,
                "titles_shown": []}
        taken = dict(free, name=":1", windows=[2],
                     titles_shown=["OPENGL Latticeglow  64  Thread: 1"])
        facts["node2"] = dict(roomy, displays=[free, taken])
        facts["node3"] = dict(roomy, displays=[dict(free, windows=[4]), dict(free, windows=[5])])
        with self.assertRaisesRegex(preflight.Refusal, r"^host node2 .*the display :1 already "
                                    "shows Latticeglow window"):
            preflight.check_hosts(run_plan, facts)
        facts["node2"]["displays"][1] = {"name": ":1", "windows": [2], "error": "cannot open "
                                         "the X display :1: Authorization required"}
        with self.assertRaisesRegex(preflight.Refusal, "the display :1 on node2 refused the "
                                    "connection: set XAUTHORITY to a file that holds its "
                                    "cookie"):
            preflight.check_hosts(run_plan, facts)


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

    def test_a_folder_not_the_users_alone_is_refused_and_default_folders_are_never_shared(self):
        for name, mode, owner, why in (("shared", 0o777, None, "may be written by others"),
                                       ("theirs", 0o755, 65534, "owned by another user")):
            out = os.path.join(self.dir, name)
            os.mkdir(out)
            os.chmod(out, mode)
            if owner is not None:
                os.chown(out, owner, owner)
            self.assert_refused(self.bench_run("shardfall", 1, "--frames", 1, "--out", out), why)
            self.assertEqual(os.listdir(out), [])
        # Runs started in the same second: each default folder is a new one of its own.
        from benchlib.run.session import claim_folder
        default = os.path.join(self.dir, "runs", "shardfall-20260101-000000")
        claimed = [claim_folder(default) for _ in range(3)]
        self.assertEqual(len(set(claimed)), 3)
        self.assertTrue(all(os.path.isdir(c) and os.path.dirname(c) == os.path.dirname(default)
                            for c in claimed))

    def test_refusals_across_hosts_come_before_anything_starts(self):
        """A refusal that needs only the plan starts no launcher and no agent; --dry-run
        prints the plan and starts nothing either."""
        hostfile = os.path.join(self.dir, "hosts")
        with open(hostfile, "w") as f:
            f.write("node1 slots=1\nnode2 slots=2\n")
        started = os.path.join(self.dir, "agent-was-called")
        agent = os.path.join(self.dir, "agent")
        with open(agent, "w") as f:
            f.write("#!/bin/sh\ntouch %s\nexit 1\n" % started)
        os.chmod(agent, 0o755)
        full = os.path.join(self.dir, "full")
        os.makedirs(full)
        with open(os.path.join(full, "old.txt"), "w") as f:
            f.write("from an earlier run\n")
        across = ["--hostfile", hostfile, "--launcher-agent", agent]
        self.assert_refused(self.bench_run("latticeglow", 2, "--frames", 1, "--out", full,
                                           *across), "not empty")
        self.assert_refused(self.bench_run("latticeglow", 9, "--frames", 1, *across),
                            "9 windows and the console need 10 slots")
        new = os.path.join(self.dir, "new")
        proc = self.bench_run("latticeglow", 2, "--frames", 1, "--out", new, "--repeat", 2,
                              "--dry-run", *across)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stdout, r"host node2: window\(s\) 1-2 on an Xvfb")
        self.assertEqual(len(re.findall(r"^launch into .*repeat-\d: .*mpiexec", proc.stdout,
                                        re.M)), 2, proc.stdout)
        self.assertNotRegex(proc.stdout, r"BENCH_RUN_ID=\w")  # the run's tag goes by name
        self.assertFalse(os.path.exists(new))
        self.assertFalse(os.path.exists(started))

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
        self.assertEqual(verify.window_host(os.path.basename(path % 2)), "node7")

    def test_file_states_from_disk_and_console(self):
        folder = tempfile.mkdtemp(prefix="bench-states-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        T.write_lines(folder, T.results_name("shardfall", 1), T.shardfall_lines(1, [(1200, .3)]))
        with open(os.path.join(folder, T.results_name("shardfall", 2)), "w") as f:
            f.write("not a results file\n")
        said = {3: {"state": "not created", "error": "Permission denied", "path": "x"}}
        self.assertEqual(verify.file_states(folder, L.SHARDFALL, [1, 2, 3, 4], said), {
            "1": {"state": "complete", "error": None},
            "2": {"state": "incomplete", "error": verify.files_on_disk(
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
                             "", None, "", "", folder, "", {}, [])
        console = follow.ConsoleFollower(os.path.join(folder, "console.log"))
        lines, problems = verify.verify(run_plan, verify.read_results(run_plan, folder, console),
                                        console, [])
        self.assertEqual(lines, [
            "window 1: 2 frame(s), summary written: %s" % names[1],
            "window 2: the results file is incomplete: %s (first failed write: No space left "
            "on device); the console holds the full reports" % names[2]])
        self.assertEqual(problems, ["window 2: results file incomplete"])
        # A window that drew nothing in a run for some seconds fails it.
        T.write_lines(folder, names[1], T.shardfall_lines(1, [], init=12.5))
        run_plan.args = types.SimpleNamespace(frames=None, seconds=5)
        results = verify.read_results(run_plan, folder, console)
        self.assertEqual(verify.verify(run_plan, results, console, [])[1][0], "window 1 drew no "
                         "frame in 5 s of animation (its initialisation took 12.5 s)")


class ProgressLines(unittest.TestCase):
    def test_each_window_while_they_fit_else_their_sum(self):
        self.assertEqual(progress.progress_line("stepping", 16.4, [1, 2, 3], {1: 2, 2: 0}, 3,
                                                {1: 0.2914}, {1, 2}),
                         "stepping 16s | w1 2/3 0.291s  w2 0/3 -  w3 ...")
        windows = list(range(1, 4096))
        frames = {w: 3 if w % 2 else 1 for w in windows[:4000]}
        last = {w: 0.5 + w / 1e4 for w in windows[:4000]}
        for width in (80, 40, 12):
            line = progress.progress_line("stepping", 16.4, windows, frames, 3, last,
                                          set(windows[:4000]), width)
            self.assertLess(len(line), width)
        self.assertEqual(progress.progress_line("animating", 3, windows, frames, None, last,
                                                set(windows[:4000]), 200),
                         "animating 3s | 4095 windows: 95 waiting, 4000 drawing, 8000 frames | "
                         "slowest w4000 0.9s, fastest w1 0.5s")

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
            return lambda _width: made.append(text) or text
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


class FullDisk(unittest.TestCase):
    def test_a_disk_that_fills_up_during_the_run_is_named_at_once(self):
        from unittest import mock
        folder = tempfile.mkdtemp(prefix="bench-full-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        check = drive.make_check(types.SimpleNamespace(windows=[1], args=None),
                                  types.SimpleNamespace(poll=lambda: None),
                                  types.SimpleNamespace(update=lambda: {}))
        fleet = types.SimpleNamespace(folder=folder, phase="stepping")
        check(fleet)  # room enough
        full = os.statvfs_result((4096, 4096, 10, 0, 3, 10, 0, 0, 0, 255))
        with mock.patch.object(launch.os, "statvfs", return_value=full):
            with self.assertRaisesRegex(launch.RunError, "filled up during the run. The file "
                                        "system of %s is full \\(12288 bytes free\\)" % folder):
                check(fleet)
            with self.assertRaisesRegex(preflight.Refusal, "is full \\(12288 bytes free\\)"):
                preflight.check_out(os.path.join(folder, "out"))


class RepeatUntil(unittest.TestCase):
    def test_a_series_ends_once_its_repeats_spread_less_than_asked(self):
        from unittest import mock
        said = []
        progress = types.SimpleNamespace(say=said.append)
        for headlines, reached in (([100, 101], None), ([100, 101, 99], True),
                                   ([100, 150, 60], False), ([100, 104, None, 98], True)):
            info = {"repeats": []}
            read = []
            with mock.patch.object(series, "headline", lambda folder: read.append(folder) or
                                   headlines[int(folder.rsplit("-", 1)[1]) - 1]):
                for k, h in enumerate(headlines, 1):  # as the series calls it, repeat by repeat
                    info["repeats"].append({"folder": "repeat-%d" % k,
                                            "status": "ok" if h else "failed"})
                    result = series.spread_reached(info, "/p", 5, progress)
            self.assertEqual(result, bool(reached))
            self.assertEqual(len(read), len(set(read)))  # each repeat read once
            self.assertEqual(info.get("repeat_until", {}).get("reached"), reached)
        self.assertIn("the series ends", said[0])
        # Just above the target is not below it, and a series that ran out says so.
        info = {"repeats": [{"folder": "repeat-%d" % k, "status": "ok", "headline": h}
                            for k, h in enumerate((100, 105.02, 94.98), 1)]}
        self.assertFalse(series.spread_reached(info, "/p", 5, progress))
        self.assertIn("not below the target of 5%", said[-1])
        self.assertRegex(series.missed_line(info, 5), r"missed: after 3 repeats the headlines "
                         r"spread by 5\.0[1-9]%")


class OrphanSweep(unittest.TestCase):
    """Runs left "running" by a runner that has gone are marked and their leftovers stopped;
    nothing is touched on the word of a planted file."""

    def setUp(self):
        self.parent = tempfile.mkdtemp(prefix="bench-orphans-")
        self.addCleanup(shutil.rmtree, self.parent, ignore_errors=True)
        self.said = []
        gone = subprocess.Popen(["true"])
        identity = orphans.runner_identity()
        gone.wait()
        self.gone = dict(identity, pid=gone.pid, started=identity["started"] + 1)
        self.sleepers = []
        self.addCleanup(self.stop_sleepers)

    def stop_sleepers(self):
        for p in self.sleepers:
            p.kill()
            p.wait()

    def sleeper(self, tag):
        p = subprocess.Popen(["sleep", "60"], env=dict(os.environ, BENCH_RUN_ID=tag))
        self.sleepers.append(p)
        return p

    def run_folder(self, name, runner, tag=None, **fields):
        folder = os.path.join(self.parent, name)
        os.makedirs(folder)
        if tag:
            orphans.write_tag(folder, tag)
        info = dict({"status": "running", "run_id": name, "runner": runner}, **fields)
        with open(os.path.join(folder, "run.json"), "w") as f:
            json.dump(info, f)
        return folder

    def status(self, folder):
        with open(os.path.join(folder, "run.json")) as f:
            return json.load(f)["status"]

    def sweep(self):
        orphans.mark_orphans(self.parent, "now", self.said.append)

    def test_a_gone_runner_is_swept_and_a_planted_file_moves_nothing(self):
        live = self.sleeper("b" * 32)   # another run's processes, its tag published as run_id
        mine = self.sleeper("a" * 32)
        launcher = orphans.launcher_folder("deadrun")
        self.addCleanup(shutil.rmtree, launcher, ignore_errors=True)
        victim = tempfile.mkdtemp(prefix="bench-run-victim-", dir=self.parent)
        dead = self.run_folder("deadrun", self.gone, tag="a" * 32)
        planted = {
            # A live run's tag as its id, a runner without pid, a folder to remove elsewhere.
            "no-pid": {"host": socket.gethostname()},
            "alive": orphans.runner_identity(),
            "other-boot-unknown": dict(self.gone, boot_id=None),
        }
        for name, runner in planted.items():
            self.run_folder(name, runner, run_id="b" * 32, launcher_tmpdir=victim)
        outside = tempfile.mkdtemp(prefix="bench-orphans-outside-")
        self.addCleanup(shutil.rmtree, outside, ignore_errors=True)
        with open(os.path.join(outside, "run.json"), "w") as f:
            json.dump({"status": "running", "runner": self.gone}, f)
        os.symlink(outside, os.path.join(self.parent, "link"))
        self.sweep()
        self.assertEqual(self.status(dead), "interrupted")
        self.assertEqual(T.wait_until(lambda: mine.poll() is not None, 10), True)
        self.assertFalse(os.path.exists(launcher))
        self.assertIsNone(live.poll(), "a process of another run was stopped")
        self.assertTrue(os.path.isdir(victim))
        for name in planted:
            self.assertEqual(self.status(os.path.join(self.parent, name)), "running", name)
        self.assertEqual(self.status(outside), "running")
        self.assertEqual(len(self.said), 1, self.said)

    def test_a_killed_series_marks_every_repeat_it_began(self):
        series = self.run_folder("series", self.gone, tag="c" * 32, repeats=[
            {"folder": "repeat-1", "status": "ok"}, {"folder": "repeat-2", "status": "running"},
            {"folder": "../elsewhere", "status": "running"}])
        repeat = self.run_folder(os.path.join("series", "repeat-2"), self.gone, run_id="r2")
        launcher = orphans.launcher_folder("r2")
        self.addCleanup(shutil.rmtree, launcher, ignore_errors=True)
        self.sweep()
        self.assertEqual((self.status(series), self.status(repeat)),
                         ("interrupted", "interrupted"))
        with open(os.path.join(series, "run.json")) as f:
            self.assertEqual([r["status"] for r in json.load(f)["repeats"]],
                             ["ok", "interrupted", "interrupted"])
        self.assertFalse(os.path.exists(launcher))

    def test_a_folder_of_another_user_is_left_alone(self):
        if os.getuid() != 0:
            self.skipTest("needs root to give a folder to another user")
        folder = self.run_folder("theirs", self.gone)
        os.chown(folder, 65534, 65534)
        self.sweep()
        self.assertEqual(self.status(folder), "running")


if __name__ == "__main__":
    unittest.main()
