"""bench-run end to end: real runs on the runner's own Xvfb, and runs that go wrong."""

import datetime
import glob
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import toolstest as T  # first: it puts tools/ and the end-to-end helpers on the path
import e2elib
from benchlib.hosts.xvfb import Xvfb, x_authority
from benchlib.results import layout as L
from benchlib.results import run_json
from benchlib.results.parser import parse_results_file
from test_run import fake_build

RUN_TIMEOUT = 600  # seconds a whole run may take before the test gives up on it


class RunnerCase(unittest.TestCase):
    def setUp(self):
        if shutil.which("Xvfb") is None:
            self.skipTest("Xvfb is not installed")
        self.dir = tempfile.mkdtemp(prefix="bench-run-e2e-")
        self.out = os.path.join(self.dir, "out")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        # Runs after any failure too: nothing of the run may outlive the test.
        self.addCleanup(self.kill_leftovers)

    def leftovers(self):
        return T.processes_of_run(T.run_tag(self.out), self.out)

    def kill_leftovers(self):
        T.kill_processes(self.leftovers())

    def start(self, *args, out=True, cwd=None, env=None):
        return subprocess.Popen([T.BENCH_RUN] + [str(a) for a in args] +
                                (["--out", self.out] if out else []), cwd=cwd,
                                env=dict(os.environ, **(env or {})),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)

    def finish(self, proc, timeout=RUN_TIMEOUT):
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.send_signal(signal.SIGTERM)  # the runner cleans up on SIGTERM
            try:
                out, err = proc.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
            self.fail("bench-run did not finish within %d s:\n%s\n%s" % (timeout, out, err))
        return proc.returncode, out, err

    def bench_run(self, *args, timeout=RUN_TIMEOUT):
        return self.finish(self.start(*args), timeout)

    def assert_nothing_left(self):
        left = self.leftovers()
        details = []
        for pid in left:
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    details.append("%d %s" % (pid, f.read().replace(b"\0", b" ").decode()))
            except OSError:
                pass
        self.assertEqual(left, [], "processes of the run are still there: %s" % details)
        self.assertEqual(e2elib.children_of(os.getpid()), [])

    def run_json(self):
        with open(os.path.join(self.out, "run.json")) as f:
            return json.load(f)

    def wait_until_drawing(self, proc, program, windows, folder=None):
        """Until each window's results file (in folder, else the run's) holds a frame."""
        def drawing():
            files = glob.glob(os.path.join(glob.escape(folder or self.out),
                                           L.PROGRAMS[program].results_glob))
            return len(files) == windows and all(self.count_blocks(f, program)[0] > 0
                                                 for f in files)
        self.assertTrue(T.wait_until(lambda: drawing() or proc.poll() is not None, 300),
                        "the windows never drew a frame")
        self.assertIsNone(proc.poll(), "bench-run ended early")

    def results_files(self, program):
        return sorted(glob.glob(os.path.join(glob.escape(self.out),
                                             L.PROGRAMS[program].results_glob)))

    def count_blocks(self, path, program):
        """(frame blocks, summaries) in a results file, read by the strict parser."""
        parsed = parse_results_file(path)
        self.assertIs(parsed.program, L.PROGRAMS[program])
        return len(parsed.frames), int(parsed.summary is not None)


class SuccessfulRuns(RunnerCase):
    def setUp(self):
        super().setUp()
        for program in ("shardfall", "latticeglow"):
            path = os.path.join(T.BUILD_DIR, program, program)
            self.assertTrue(os.access(path, os.X_OK), "%s is not built" % path)

    def check_run(self, program, windows, frames, depth, installed=False):
        started = datetime.datetime.now().astimezone()
        args = [program, windows, "--frames", frames, "--depth", depth]
        if installed:
            # An installed program, run from elsewhere: the output goes under the current
            # directory.
            prefix = os.path.join(self.dir, "prefix")
            subprocess.run(["cmake", "--install", T.BUILD_DIR, "--prefix", prefix],
                           check=True, capture_output=True, timeout=120)
            proc = self.start(*args, "--program", os.path.join(prefix, "bin", program),
                              out=False, cwd=self.dir)
            status, out, err = self.finish(proc)
            self.out = (glob.glob(os.path.join(glob.escape(self.dir), "runs",
                                               program + "-*")) or [self.out])[0]
        else:
            history = os.path.join(self.dir, "history.sqlite")
            status, out, err = self.bench_run(*args, "--build-dir", T.BUILD_DIR,
                                              "--history", history)
            listed = T.run_tool(T.BENCH_HISTORY, "--db", history, "list")
            self.assertIn(os.path.realpath(self.out), listed.stdout, listed.stderr)
        self.assertEqual(status, 0, "stdout:\n%s\nstderr:\n%s" % (out, err))
        self.assertIn("run complete", out)
        self.assert_nothing_left()

        files = self.results_files(program)
        self.assertEqual(len(files), windows, files)
        for w, path in enumerate(files, 1):
            self.assertEqual(L.PROGRAMS[program].results_window(os.path.basename(path)), w)
            self.assertEqual(self.count_blocks(path, program), (frames, 1), path)

        with open(os.path.join(self.out, "console.log")) as f:
            console = f.read()
        self.assertIn(L.PROGRAMS[program].title_line, console)
        self.assertEqual(sorted(L.results_file_states(console.split("\n"))),
                         list(range(1, windows + 1)))

        # run.json keeps its contract, and says what really happened.
        info = self.run_json()
        self.assertEqual(run_json.problems(info), [])
        self.assertEqual(info["status"], "ok")
        if installed:
            self.assertEqual((info["program_path"], info["build_dir"]),
                             (os.path.join(prefix, "bin", program), None))
        self.assertEqual(info["launcher_status"], 0)
        context = info["context"]
        self.assertEqual(context["screen"]["depth"], depth)
        self.assertGreaterEqual(context["screen"]["width"], 100 * windows + 1440)
        for w, visual in info["window_visuals"].items():
            self.assertEqual((visual["depth"], visual["width"], visual["height"]),
                             (depth, 1440, 1440))
            self.assertEqual((visual["x"], visual["y"]), (100 * int(w), 100 * int(w)))
        start = datetime.datetime.fromisoformat(info["start_time"])
        self.assertLess(abs((start - started).total_seconds()), 120)
        self.assertLessEqual(start, datetime.datetime.fromisoformat(info["end_time"]))
        if context["git_revision"] != "unknown":
            known = subprocess.run(["git", "-C", T.SOURCE_DIR, "cat-file", "-e",
                                    context["git_revision"] + "^{commit}"])
            self.assertEqual(known.returncode, 0)
        self.assertEqual(info["frames_reported"],
                         {str(w): frames for w in range(1, windows + 1)})
        self.assertEqual(list(info["stage_seconds"])[:4],
                         ["plan", "plan checks", "facts", "host checks"])
        hosts = {os.path.basename(p).split(" of ")[1].split(" @ ")[0] for p in files}
        self.assertEqual(set(info["window_hosts"].values()), hosts)
        for w in range(1, windows + 1):
            self.assertIn("window %d: %d frame(s), summary written" % (w, frames), out)

        # The report tool agrees with what the programs wrote.
        report = T.run_tool(T.BENCH_REPORT, "--no-plots", self.out, timeout=120)
        self.assertEqual(report.returncode, 0, report.stderr)
        with open(os.path.join(self.out, "summary.json")) as f:
            summary = json.load(f)
        self.assertEqual([(w["window"], w["frames"], w["summary"]) for w in summary["windows"]],
                         [(w, frames, "ok") for w in range(1, windows + 1)])

    def test_shardfall_two_windows_two_frames(self):
        self.check_run("shardfall", 2, 2, 24)

    def test_latticeglow_two_windows_two_frames_depth_16(self):
        self.check_run("latticeglow", 2, 2, 16, installed=True)

    def test_latticeglow_for_some_seconds(self):
        seconds = 3
        status, out, err = self.bench_run("latticeglow", 2, "--seconds", seconds, "--depth", 16,
                                          "--build-dir", T.BUILD_DIR)
        self.assertEqual(status, 0, "stdout:\n%s\nstderr:\n%s" % (out, err))
        self.assert_nothing_left()
        info = self.run_json()
        # The seconds count once every window has reported a frame since r.
        self.assertEqual(sorted(info["first_frame_after_r"]), ["1", "2"])
        until_all = max(info["first_frame_after_r"].values())
        frames = {}
        for w, path in enumerate(self.results_files("latticeglow"), 1):
            parsed = parse_results_file(path)
            frames[str(w)] = len(parsed.frames)
            self.assertGreaterEqual(len(parsed.frames), 1)
            # Each window ends within one frame of the deadline: what it drew adds up to at
            # most the time it animated, its frame in flight at the deadline and a margin
            # for the keys' way through X.
            longest = max(map(float, parsed.frames.seconds))
            self.assertLessEqual(parsed.summary.total_time.value,
                                 until_all + seconds + longest + 0.5, path)
        self.assertEqual((info["status"], info["seconds"], info["frames"]), ("ok", 3, None))
        self.assertEqual(info["frames_reported"], frames)

    def test_interrupted_run_leaves_nothing_behind(self):
        proc = self.start("shardfall", 2, "--seconds", 600, "--build-dir", T.BUILD_DIR)
        try:
            # Interrupt once both windows are drawing (their results files say so).
            self.wait_until_drawing(proc, "shardfall", 2)
            proc.send_signal(signal.SIGINT)
        finally:
            status, out, err = self.finish(proc, 120)
        self.assertEqual(status, 128 + signal.SIGINT, err)
        self.assertIn("interrupted", err)
        self.assert_nothing_left()
        info = self.run_json()
        self.assertEqual(info["status"], "interrupted")
        self.assertTrue(info["end_time"])
        # The counts are the frames on disk, not what the runner had seen.
        on_disk = {str(w): self.count_blocks(path, "shardfall")[0]
                   for w, path in enumerate(self.results_files("shardfall"), 1)}
        self.assertEqual(info["frames_reported"], on_disk)
        self.assertTrue(all(on_disk.values()), on_disk)
        self.assertEqual(info["summaries_written"], {"1": False, "2": False})

    def test_repeats_into_one_folder_and_their_spread(self):
        status, out, err = self.bench_run("latticeglow", 1, "--frames", 2, "--depth", 16,
                                          "--repeat", 3, "--build-dir", T.BUILD_DIR)
        self.assertEqual(status, 0, err)
        info = self.run_json()
        self.assertEqual([(r["folder"], r["status"]) for r in info["repeats"]],
                         [("repeat-%d" % k, "ok") for k in (1, 2, 3)])
        ids = set()
        for k in (1, 2, 3):
            with open(os.path.join(self.out, "repeat-%d" % k, "run.json")) as f:
                repeat = json.load(f)
            self.assertEqual((repeat["status"], repeat["frames_reported"]), ("ok", {"1": 2}))
            ids.add(repeat["run_id"])
        self.assertEqual(len(ids), 3)  # fresh processes, a run of its own each time
        report = T.run_tool(T.BENCH_REPORT, "--no-plots", self.out)
        self.assertEqual(report.returncode, 0, report.stderr)
        self.assertIn("spread over 3 repeat(s)", report.stdout)
        with open(os.path.join(self.out, "summary.json")) as f:
            self.assertEqual(json.load(f)["spread"]["repeats"], 3)

    def start_series_until_second_repeat_draws(self):
        proc = self.start("latticeglow", 1, "--seconds", 5, "--depth", 16, "--repeat", 3,
                          "--build-dir", T.BUILD_DIR, "--no-history", "--no-picture-check")
        second = os.path.join(self.out, "repeat-2")
        self.wait_until_drawing(proc, "latticeglow", 1, second)
        return proc, second

    def test_a_series_ends_at_the_repeat_a_signal_reaches(self):
        proc, second = self.start_series_until_second_repeat_draws()
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc, 120)
        self.assertEqual(status, 128 + signal.SIGINT, err)
        info = self.run_json()
        self.assertEqual((info["status"], [r["status"] for r in info["repeats"]]),
                         ("interrupted", ["ok", "interrupted"]))
        self.assertFalse(os.path.exists(os.path.join(self.out, "repeat-3")))
        self.assert_nothing_left()
        # A runner killed (SIGKILL) at its series' second repeat takes its run along: Xvfb,
        # the launcher and the ranks end with it; the next run beside it marks the series and
        # that repeat interrupted and removes its launcher's folder and the Xvfb's cookie.
        self.out = os.path.join(self.dir, "killed")
        proc, second = self.start_series_until_second_repeat_draws()
        with open(os.path.join(second, "run.json")) as f:
            killed_run = json.load(f)
        proc.kill()
        self.finish(proc, 60)
        self.assertEqual(T.wait_until(lambda: not self.leftovers(), 60), True,
                         "left behind: %s" % self.leftovers())
        self.assertTrue(os.path.isdir(killed_run["launcher_tmpdir"]))
        killed, self.out = self.out, os.path.join(self.dir, "next")
        status, out, err = self.bench_run("latticeglow", 1, "--frames", 1, "--depth", 16,
                                          "--build-dir", T.BUILD_DIR, "--no-history")
        self.assertEqual(status, 0, err)
        self.assertIn("%s was left running by a runner that has ended" % killed, err)
        for folder in (killed, second):
            with open(os.path.join(folder, "run.json")) as f:
                self.assertEqual(json.load(f)["status"], "interrupted", folder)
        self.assertFalse(os.path.exists(killed_run["launcher_tmpdir"]))
        self.assertFalse(os.path.exists(killed_run["xauth_folder"]))

    def test_launcher_options_reach_the_launcher(self):
        status, out, err = self.finish(self.start(
            "latticeglow", 1, "--frames", 1, "--depth", 16, "--build-dir", T.BUILD_DIR,
            "--out", self.out, "--launcher-args", "--bind-to core", "--", "--report-bindings",
            out=False))
        self.assertEqual(status, 0, err)
        info = self.run_json()
        self.assertEqual(info["launcher_args"], ["--bind-to", "core", "--report-bindings"])
        with open(os.path.join(self.out, "console.log")) as f:
            self.assertRegex(f.read(), r"MCW rank 1 bound to .*core")


class FailingRuns(RunnerCase):
    def test_window_that_never_appears(self):
        build = os.path.join(self.dir, "build")
        os.makedirs(build)
        fake_build(build)  # programs that only sleep
        begun = time.monotonic()
        status, out, err = self.bench_run("shardfall", 2, "--frames", 1, "--build-dir", build,
                                          "--appear-timeout", 5, timeout=300)
        self.assertEqual(status, 1, out)
        self.assertIn("window(s) 1, 2 never appeared", err)
        self.assertIn("OPENGL Shardfall 64  Thread: 1", err)
        self.assertLess(time.monotonic() - begun, 120)
        self.assert_nothing_left()
        info = self.run_json()
        self.assertEqual(info["status"], "failed")
        self.assertIn("never appeared", info["error"])

    def test_a_window_closed_mid_run_fails_the_run(self):
        from Xlib import X, display as xdisplay, protocol

        private = os.path.join(self.dir, "private")
        os.mkdir(private, 0o700)
        proc = self.start("latticeglow", 2, "--seconds", 120, "--depth", 16,
                          "--build-dir", T.BUILD_DIR, "--no-history", env={"TMPDIR": private})
        try:
            self.wait_until_drawing(proc, "latticeglow", 2)
            info = self.run_json()
            # What a window manager sends when the user clicks the close button (a client
            # with the cookie of the run's Xvfb).
            cookie = glob.glob(os.path.join(private, "bench-xauth-*", "Xauthority"))[0]
            with x_authority(cookie):
                connection = xdisplay.Display(info["display"]["name"])
            window = connection.create_resource_object(
                "window", int(info["window_visuals"]["2"]["id"], 16))
            event = protocol.event.ClientMessage(
                window=window, client_type=connection.intern_atom("WM_PROTOCOLS"),
                data=(32, [connection.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
            window.send_event(event, event_mask=0)
            connection.sync()
            connection.close()
        finally:
            status, out, err = self.finish(proc, 120)
        self.assertEqual(status, 1, err)
        self.assertRegex(err, r"window\(s\) 2 ended [\d.]+ s into the phase \"animating\", "
                              r"before the run did: wrote its summary")
        info = self.run_json()
        self.assertEqual((info["status"], list(info["windows_ended_early"])), ("failed", ["2"]))
        self.assert_nothing_left()

    def test_a_window_that_ends_any_other_way_fails_the_run_at_once(self):
        """Destroyed by another X client (in either mode), its process killed, its display
        gone: the run fails within seconds naming the window, the window is on record as
        ended early, and nothing of the launcher's is left in /dev/shm."""
        shm_before = set(os.listdir("/dev/shm"))
        for way, mode in (("destroyed", ("--frames", 100000)), ("destroyed", ("--seconds", 600)),
                          ("killed", ("--frames", 100000)), ("display gone", ("--seconds", 600))):
            with self.subTest(way=way, mode=mode[0]):
                self.out = os.path.join(self.dir, "%s%s" % (way.replace(" ", "-"), mode[0]))
                private = tempfile.mkdtemp(dir=self.dir)
                proc = self.start("latticeglow", 2, *mode, "--depth", 16, "--build-dir",
                                  T.BUILD_DIR, "--no-history", env={"TMPDIR": private})
                try:
                    self.wait_until_drawing(proc, "latticeglow", 2)
                    info = self.run_json()
                    ended = time.monotonic()
                    self.end_window(way, info, private)
                finally:
                    status, out, err = self.finish(proc, 120)
                self.assertLess(time.monotonic() - ended, 30, err)
                self.assertEqual(status, 1, err)
                self.assertIn(" ended ", err)
                self.assertIn(socket.gethostname(), err)
                info = self.run_json()
                self.assertEqual(info["status"], "failed")
                self.assertEqual(sorted(info["windows_ended_early"]),
                                 ["1", "2"] if way == "display gone" else ["2"])
                self.assert_nothing_left()
        self.assertEqual(set(os.listdir("/dev/shm")) - shm_before, set())

    def end_window(self, way, info, private):
        if way == "display gone":
            os.kill(info["display"]["xvfb_pid"], signal.SIGKILL)
            return
        if way == "killed":
            for pid in self.leftovers():
                env = T.processes.environ_of(pid)
                if env.get("OMPI_COMM_WORLD_RANK") == "2" and os.path.basename(
                        os.readlink("/proc/%d/exe" % pid)) == "latticeglow":
                    os.kill(pid, signal.SIGKILL)
                    return
            self.fail("no process of window 2")
        cookie = glob.glob(os.path.join(private, "bench-xauth-*", "Xauthority"))[0]
        subprocess.run(["xdotool", "windowclose", info["window_visuals"]["2"]["id"]],
                       env=dict(os.environ, DISPLAY=info["display"]["name"], XAUTHORITY=cookie),
                       check=True, timeout=60)

    def test_a_wrapper_on_every_window(self):
        """--wrap "apitrace trace -o trace-{window}.trace" leaves one trace per window, each
        readable; a wrapper that exits at once fails the run naming it, a missing one is
        refused."""
        status, out, err = self.bench_run(
            "latticeglow", 2, "--frames", 1, "--depth", 16, "--build-dir", T.BUILD_DIR,
            "--no-history", "--wrap", "apitrace trace --api gl -o trace-{window}.trace")
        self.assertEqual(status, 0, err)
        self.assertEqual(self.run_json()["wrap"], "apitrace trace --api gl -o trace-{window}.trace")
        for w in (1, 2):
            dump = subprocess.run(["apitrace", "dump", "--grep=glXSwapBuffers",
                                   os.path.join(self.out, "trace-%d.trace" % w)],
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(dump.returncode, 0, dump.stderr[-2000:])
            self.assertIn("glXSwapBuffers", dump.stdout[-2000:])
        self.assertEqual(sorted(glob.glob(os.path.join(glob.escape(self.out), "*.trace"))),
                         [os.path.join(self.out, "trace-%d.trace" % w) for w in (1, 2)])
        self.out = os.path.join(self.dir, "false")
        status, out, err = self.bench_run("latticeglow", 2, "--frames", 1, "--depth", 16,
                                          "--build-dir", T.BUILD_DIR, "--no-history",
                                          "--wrap", "false", timeout=300)
        self.assertEqual(status, 1, err)
        # Named by whichever sees it first: the launcher's end or the windows' processes'.
        self.assertIn("under --wrap 'false'", err)
        self.assert_nothing_left()
        # The renderer on record is the one the wrapped windows get; a wrapper that starts
        # nothing is named within seconds, not after the appear timeout.
        self.out = os.path.join(self.dir, "softpipe")
        status, out, err = self.bench_run("latticeglow", 1, "--frames", 1, "--depth", 16,
                                          "--build-dir", T.BUILD_DIR, "--no-history",
                                          "--wrap", "env GALLIUM_DRIVER=softpipe")
        self.assertEqual(status, 0, err)
        host = self.run_json()["hosts"][0]
        self.assertEqual((host["gl_renderer"], host["displays"][0]["gl_renderer"]),
                         ("softpipe", "softpipe"))
        self.out = os.path.join(self.dir, "true")
        begun = time.monotonic()
        status, out, err = self.bench_run("latticeglow", 2, "--frames", 1, "--depth", 16,
                                          "--build-dir", T.BUILD_DIR, "--no-history",
                                          "--wrap", "true", timeout=300)
        self.assertEqual(status, 1, err)
        # Named by the driver (the windows' processes gone) or by the launcher, if it ends
        # first: either way the wrapper is named.
        self.assertRegex(err, r"(ended before its window appeared \(it ran|every window ran) "
                              r"under --wrap 'true'")
        self.assertLess(time.monotonic() - begun, 120)
        self.assertEqual(self.run_json()["hosts"][0]["gl_renderer"], "unknown under --wrap")
        self.assert_nothing_left()
        self.out = os.path.join(self.dir, "missing")
        status, out, err = self.bench_run("latticeglow", 2, "--frames", 1, "--depth", 16,
                                          "--build-dir", T.BUILD_DIR, "--no-history",
                                          "--wrap", "no-such-wrapper -x")
        self.assertEqual(status, 2, err)
        self.assertIn("the --wrap command 'no-such-wrapper' is not found", err)
        self.assertFalse(os.path.exists(self.out))

    def test_a_bad_launcher_option_fails_with_the_launchers_word(self):
        status, out, err = self.finish(self.start(
            "latticeglow", 1, "--frames", 1, "--depth", 16, "--build-dir", T.BUILD_DIR,
            "--out", self.out, "--", "--no-such-option", out=False))
        self.assertEqual(status, 1, out)
        self.assertIn("no-such-option", err)  # the launcher's own message, from console.log
        self.assert_nothing_left()
        self.assertEqual(self.run_json()["status"], "failed")

    def test_launcher_failure_is_reported(self):
        build = os.path.join(self.dir, "build")
        os.makedirs(build)
        fake_build(build, script="echo 'latticeglow: cannot open the X display' >&2\nexit 3\n")
        status, out, err = self.bench_run("latticeglow", 2, "--frames", 1, "--build-dir", build,
                                          timeout=300)
        self.assertEqual(status, 1, out)
        self.assertRegex(err, r"the launcher ended with status [1-9]\d* before window\(s\)")
        self.assertIn("cannot open the X display", err)  # the console's last lines
        self.assert_nothing_left()
        self.assertEqual(self.run_json()["status"], "failed")


class Edges(RunnerCase):
    """Refusals that need a display of the user's, and a reader that goes away."""

    def start_display(self, width, height, depth, max_clients=None):
        tag = "edges%d" % os.getpid()
        server = Xvfb(width, height, depth, max_clients=max_clients,
                      env=dict(os.environ, **{T.processes.TAG_VARIABLE: tag}))
        self.addCleanup(server.stop)
        e2elib.admit(server)  # the user's own display: bench-run gets its cookie
        return server

    def assert_refused(self, status, out, err, *words):
        self.assertEqual(status, 2, out + err)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        for word in words:
            self.assertIn(word, err)
        self.assertFalse(os.path.exists(self.out))

    def test_display_too_small_or_of_another_depth(self):
        server = self.start_display(1600, 1600, 16)
        display = server.display
        self.assert_refused(*self.bench_run("latticeglow", 2, "--frames", 1, "--display",
                                            display, "--build-dir", T.BUILD_DIR),
                            "1600x1600, too small for window(s) 1-2", "1640x1640 would keep",
                            "leave out --display", "xrandr -d %s --fb 1640x1640" % display,
                            "Virtual 1640 1640")
        # A screen the server lacks, and an authority file that is not one: refused, unread.
        self.assert_refused(*self.bench_run("latticeglow", 2, "--frames", 1, "--display",
                                            "%s.0,%s.1" % (display, display), "--build-dir",
                                            T.BUILD_DIR), "%s.1" % display, "has no screen 1")
        for authority in ("/dev/zero", os.path.join(self.dir, "fifo")):
            if authority != "/dev/zero":
                os.mkfifo(authority)
            proc = subprocess.run([T.BENCH_RUN, "latticeglow", "1", "--frames", "1",
                                   "--display", display, "--build-dir", T.BUILD_DIR, "--out",
                                   self.out], env=dict(os.environ, XAUTHORITY=authority),
                                  capture_output=True, text=True, timeout=120)
            self.assert_refused(proc.returncode, proc.stdout, proc.stderr,
                                "%s (XAUTHORITY) is not a regular file" % authority)
        self.assert_refused(*self.bench_run("latticeglow", 1, "--frames", 1, "--display",
                                            display, "--depth", 24, "--build-dir",
                                            T.BUILD_DIR),
                            "--depth 24, but the display %s has depth 16" % display)
        server.stop()
        self.assert_nothing_left()

    def test_windows_dealt_over_several_displays(self):
        """The own Xvfb with 2 screens, then two Xvfbs of the user's: each window on the
        display dealt to it in turn, as run.json and the windows themselves say; one whose
        cookie the user lacks is refused, naming it."""
        for args in (["--screens", 2], None):
            if args is None:
                servers = [self.start_display(1940, 1940, 16) for _ in range(2)]
                for server in servers:
                    e2elib.admit(server)
                args = ["--display", ",".join(s.display for s in servers)]
            self.out = os.path.join(self.dir, "out%s" % args[0])
            status, out, err = self.bench_run("latticeglow", 4, "--frames", 1, "--depth", 16,
                                              "--build-dir", T.BUILD_DIR, "--no-history", *args)
            self.assertEqual(status, 0, err)
            info = self.run_json()
            displays = [d["name"] for d in info["hosts"][0]["displays"]]
            self.assertEqual(len(displays), 2)
            dealt = {str(w): displays[(w - 1) % 2] for w in (1, 2, 3, 4)}
            self.assertEqual(info["window_displays"], dealt)
            self.assertEqual({w: v["display"] for w, v in info["window_visuals"].items()}, dealt)
        empty = os.path.join(self.dir, "no-cookies")
        open(empty, "w").close()
        self.out = os.path.join(self.dir, "refused")
        env = dict(os.environ, XAUTHORITY=empty)
        proc = subprocess.run([T.BENCH_RUN, "latticeglow", "2", "--frames", "1", "--depth", "16",
                               "--build-dir", T.BUILD_DIR, "--no-history", "--out", self.out,
                               "--display", servers[1].display], env=env, capture_output=True,
                              text=True, timeout=120)
        self.assert_refused(proc.returncode, proc.stdout, proc.stderr, "the display %s on %s "
                            "refused the connection: set XAUTHORITY to a file that holds its "
                            "cookie" % (servers[1].display, socket.gethostname()))
        self.assertNotRegex(proc.stderr, r"\bb['\"]|\\n")  # the server's words, not a bytes repr

    def test_another_user_cannot_open_the_runs_display(self):
        name = e2elib.another_user(self, "bxr")
        proc = self.start("latticeglow", 1, "--seconds", 5, "--depth", 16,
                          "--build-dir", T.BUILD_DIR, "--no-history")
        try:
            self.assertTrue(T.wait_until(lambda: self.results_files("latticeglow") or
                                         proc.poll() is not None, 300))
            display = self.run_json()["display"]["name"]
            other = subprocess.run(["runuser", "-u", name, "--", "xdpyinfo", "-display",
                                    display], capture_output=True, text=True, timeout=60,
                                   env={"PATH": os.environ["PATH"]})
        finally:
            status, out, err = self.finish(proc)
        self.assertNotEqual(other.returncode, 0, "another user opened the run's display")
        self.assertIn("unable to open display", other.stderr)
        self.assertEqual(status, 0, err)

    def test_display_that_admits_too_few_clients(self):
        # 64 clients: the server's own, the runner's and 62 windows.
        server = self.start_display(7740, 7740, 16, max_clients=64)
        self.assert_refused(*self.bench_run("latticeglow", 63, "--frames", 1, "--display",
                                            server.display, "--build-dir", T.BUILD_DIR),
                            "the display %s admits 64 X clients" % server.display,
                            "run at most 62 window(s) there")
        # A server that may open fewer files than it admits clients would leave the windows
        # beyond them waiting for a connection.
        resource.prlimit(server.pid, resource.RLIMIT_NOFILE, (24, 24))
        self.assert_refused(*self.bench_run("latticeglow", 20, "--frames", 1, "--display",
                                            server.display, "--build-dir", T.BUILD_DIR),
                            "its server's limit of open files is 24")
        server.stop()
        self.assert_nothing_left()

    def test_closed_output_pipe_ends_the_run_quietly(self):
        build = os.path.join(self.dir, "build")
        os.makedirs(build)
        fake_build(build)  # programs that only sleep: the runner waits for their windows
        proc = self.start("shardfall", 2, "--frames", 1, "--build-dir", build,
                          "--appear-timeout", 120)
        self.assertIn("shardfall: 2 window(s)", proc.stdout.readline())
        proc.stdout.close()  # as `| head -1` does
        try:
            _, err = proc.communicate(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise
        self.assertEqual((proc.returncode, err), (2, ""))
        self.assert_nothing_left()
        info = self.run_json()
        self.assertEqual((info["status"], info["error"]),
                         ("interrupted", "standard output was closed"))


if __name__ == "__main__":
    unittest.main()
