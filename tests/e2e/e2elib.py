"""Helpers for end-to-end tests: an Xvfb of our own, the real MPI launcher, xdotool input.

Every process a test starts carries a tag in its environment; cleanup kills whatever still
carries it, so a failed test leaves nothing behind.
"""

import atexit
import glob
import os
import pwd
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

import psutil

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from benchlib.hosts import processes  # noqa: E402
from benchlib.hosts.xvfb import Xvfb, XvfbError  # noqa: E402
from benchlib.results import layout as L  # noqa: E402
from benchlib.results.parser import parse_results_file  # noqa: E402

TAG_VARIABLE = "E2E_TAG"
BUILD_DIR = os.environ.get("E2E_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/default"))
MPIEXEC = os.environ.get("E2E_MPIEXEC", "mpiexec")
DEADLINE = float(os.environ.get("E2E_DEADLINE", "120"))

TITLES = {name: p.window_title_prefix + "{}" for name, p in L.PROGRAMS.items()}


def count_lines(text, line):
    """How many lines of a text are the layout line `line` (a layout.Line)."""
    return sum(1 for t in text.split("\n") if line.match(t) is not None)


def program_path(program):
    return os.path.join(BUILD_DIR, program, program)


def wait_for(condition, what, timeout=DEADLINE, interval=0.05):
    """Polls condition() until it returns a true value, which is returned."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def kill_tagged(tag, variable=TAG_VARIABLE, attempts=3):
    """SIGKILL at once to every process whose environment carries the tag; a process started
    by one that was being killed is caught by the next attempt. Returns the pids still there."""
    for _ in range(attempts):
        pids = processes.tagged_processes(tag, variable) if tag else []
        if not pids:
            return []
        processes.signal_all(pids, signal.SIGKILL)
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline and any(processes.alive(pid) for pid in pids):
            time.sleep(0.02)
    return processes.tagged_processes(tag, variable)


def children_of(pid):
    """The live child processes of a process."""
    try:
        children = psutil.Process(pid).children()
    except psutil.Error:
        return []
    return [c.pid for c in children if processes.alive(c.pid)]


_AUTHORITY = []  # the authority file of this test process, once it has one


def admit(server):
    """Lets this process and what it starts from now on (launchers, bench-run, xdotool,
    python-xlib) show the cookie of an Xvfb of the tests' own. One authority file holds the
    cookies of every server a test keeps; it goes when the process ends."""
    if not _AUTHORITY:
        folder = tempfile.mkdtemp(prefix="e2e-xauth-")
        atexit.register(shutil.rmtree, folder, True)
        _AUTHORITY.append(os.path.join(folder, "Xauthority"))
    subprocess.run(["xauth", "-q", "-f", _AUTHORITY[0], "merge", server.xauthority],
                   check=True, capture_output=True)
    os.environ["XAUTHORITY"] = _AUTHORITY[0]


def start_xvfb(tag, width=1800, height=1800, depth=24, attempts=20):
    """An X server of the test's own, tagged, on a display number picked at random from a
    range nothing else here uses; ready once a client has connected."""
    env = dict(os.environ, **{TAG_VARIABLE: tag})
    for _ in range(attempts):
        number = random.randrange(300, 900)
        if os.path.exists("/tmp/.X%d-lock" % number) or \
                os.path.exists("/tmp/.X11-unix/X%d" % number):
            continue
        try:
            server = Xvfb(width, height, depth, env=env, number=number, timeout=30)
        except XvfbError:
            continue
        admit(server)
        return server
    raise XvfbError("could not start Xvfb on a free display")


def launcher_folder(test, user=None):
    """The variables that put OpenMPI's session files and shared-memory segments into a
    folder of the test's own (left in /dev/shm and /tmp, a killed run's stay for ever),
    removed after the test; `user` (a name) owns it when the launcher runs as another."""
    folder = tempfile.mkdtemp(prefix="e2e-mpi-",
                              dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    test.addCleanup(shutil.rmtree, folder, ignore_errors=True)  # after the run's own clean-up
    env = {"TMPDIR": folder, "OMPI_MCA_orte_tmpdir_base": folder,
           "OMPI_MCA_btl_vader_backing_directory": folder}
    if user is not None:
        entry = pwd.getpwnam(user)
        os.chown(folder, entry.pw_uid, entry.pw_gid)
        if os.environ.get("XAUTHORITY"):  # the display's cookie, readable by that user
            env["XAUTHORITY"] = os.path.join(folder, "Xauthority")
            shutil.copyfile(os.environ["XAUTHORITY"], env["XAUTHORITY"])
            os.chown(env["XAUTHORITY"], entry.pw_uid, entry.pw_gid)
    return env


class Run:
    """One launch of a program under the MPI launcher, in a folder of its own."""

    def __init__(self, test, program, processes, display=None, workdir=None, env_extra=None,
                 command=None, launcher=None, wrap_rank=None, wrapper=None, raw_command=None,
                 keep_workdir=False, launcher_user=None):
        self.tag = uuid.uuid4().hex
        self.program = program
        self.workdir = workdir or tempfile.mkdtemp(prefix=f"e2e-{program}-")
        self.keep_workdir = keep_workdir or workdir is not None
        self.display = display
        env = dict(os.environ)
        env.update(E2E_TAG=self.tag, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                   OMPI_MCA_rmaps_base_oversubscribe="1", LP_NUM_THREADS="1")
        env.update(launcher_folder(test, launcher_user))
        if display is None:
            env.pop("DISPLAY", None)
        else:
            env["DISPLAY"] = display
        env.update(env_extra or {})
        self.env = env
        # Named per run: runs may share a working directory.
        self.stdout_path = os.path.join(self.workdir, f"console-{self.tag}.out")
        self.stderr_path = os.path.join(self.workdir, f"console-{self.tag}.err")
        command = command or [program_path(program)]
        if wrap_rank is not None:
            command = [self.rank_wrapper(wrap_rank, wrapper)] + command
        argv = raw_command or [launcher or MPIEXEC, "-n", str(processes)] + command
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(argv, cwd=self.workdir, env=env, stdout=out,
                                            stderr=err, stdin=subprocess.DEVNULL,
                                            start_new_session=True)
        test.addCleanup(self.cleanup)

    def rank_wrapper(self, rank, wrapper):
        """A script that runs one rank's program under `wrapper` (a command prefix)."""
        path = os.path.join(self.workdir, "wrap-rank.sh")
        prefix = " ".join(shlex.quote(word) for word in wrapper)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n"
                    'rank="${OMPI_COMM_WORLD_RANK:-${PMI_RANK:-}}"\n'
                    f'if [ "$rank" = "{rank}" ]; then exec {prefix} "$@"; fi\n'
                    'exec "$@"\n')
        os.chmod(path, 0o755)
        return path

    def rank_pid(self, rank):
        """The program process of a rank (not a wrapper around it), or None."""
        for pid in processes.tagged_processes(self.tag, TAG_VARIABLE):
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/exe")) != self.program:
                    continue
            except OSError:
                continue
            env = processes.environ_of(pid)
            if str(rank) in (env.get("OMPI_COMM_WORLD_RANK"), env.get("PMI_RANK")):
                return pid
        return None

    def cleanup(self):
        # CTest shows a test's output only when it fails: leave the run's console there.
        for label, path in (("stdout", self.stdout_path), ("stderr", self.stderr_path)):
            try:
                with open(path, errors="replace") as f:
                    lines = [l for l in f.read().split("\n") if "XGetInputFocus" not in l]
            except OSError:
                continue
            print(f"--- {self.program} run {self.tag[:8]} {label} (last 25 lines) ---\n"
                  + "\n".join(lines[-25:]), file=sys.stderr)
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        kill_tagged(self.tag)
        self.process.wait()
        if os.environ.get("E2E_KEEP") is None and not self.keep_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    # Console and files
    def stdout(self):
        with open(self.stdout_path, errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def results_files(self):
        pattern = L.PROGRAMS[self.program].results_glob
        return sorted(glob.glob(os.path.join(glob.escape(self.workdir), pattern)))

    def results_file(self, window):
        files = [f for f in self.results_files()
                 if L.PROGRAMS[self.program].results_window(os.path.basename(f)) == window]
        return files[0] if len(files) == 1 else None

    def results_lines(self, window):
        path = self.results_file(window)
        if path is None:
            return []
        with open(path, errors="replace") as f:
            return f.read().split("\n")

    def parsed(self, window):
        """A window's results file read by the tools' strict parser (every line as the layout
        says, or a ParseError naming the line)."""
        return parse_results_file(self.results_file(window))

    def frame_count(self, window):
        """Complete frame blocks in a window's results file."""
        rate_line = L.PROGRAMS[self.program].frame_rate_line
        return sum(1 for line in self.results_lines(window) if rate_line.match(line))

    def initialised(self, window):
        """Whether a window's results file holds its initialisation line."""
        return any(L.INIT_LINE.match(line) for line in self.results_lines(window))

    def wait_exit(self, timeout=DEADLINE):
        wait_for(lambda: self.process.poll() is not None, "the launcher to exit", timeout)
        return self.process.returncode

    # Windows and input
    def xdotool(self, *args, check=True):
        env = dict(self.env)
        result = subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True,
                                timeout=60)
        if check and result.returncode != 0:
            raise AssertionError(f"xdotool {' '.join(args)} failed: {result.stderr}")
        return result

    def visible_window(self, window):
        title = "^" + re.escape(TITLES[self.program].format(window)) + "$"
        result = self.xdotool("search", "--onlyvisible", "--name", title, check=False)
        ids = result.stdout.split()
        return ids[0] if ids else None

    def wait_window(self, window, timeout=DEADLINE):
        def appeared():
            if self.process.poll() is not None:
                raise AssertionError(f"launcher ended ({self.process.returncode}) before window "
                                     f"{window} appeared:\n{self.stderr()}")
            return self.visible_window(window)
        return wait_for(appeared, f"window {window} to appear", timeout)

    def key(self, wid, key):
        # Escape ends the window on the key press; sending the release then fails harmlessly.
        self.xdotool("key", "--window", wid, key, check=key != "Escape")

    def click(self, wid, x, y, button):
        self.xdotool("mousemove", "--window", wid, str(x), str(y), "click", str(button))

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", wid).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def step(self, window, wid):
        """Presses C once and waits for the frame it reports."""
        before = self.frame_count(window)
        self.key(wid, "c")
        wait_for(lambda: self.frame_count(window) >= before + 1, f"a report from window {window}")
        return self.frame_count(window)

    def longest_frame(self, window):
        longest = 0.0
        time_line = L.PROGRAMS[self.program].frame_time_line
        for line in self.results_lines(window):
            fields = time_line.match(line)
            if fields:
                longest = max(longest, float(fields["seconds"]))
        return longest

    def wait_quiet(self, window, quiet_for=1.5):
        """Waits until a window's results file has not grown for quiet_for seconds, or for
        three of its longest frames if that is longer (a frame in flight still reports)."""
        state = {"count": self.frame_count(window), "since": time.monotonic()}

        def quiet():
            count = self.frame_count(window)
            if count != state["count"]:
                state.update(count=count, since=time.monotonic())
            needed = max(quiet_for, 3 * self.longest_frame(window))
            return time.monotonic() - state["since"] >= needed
        wait_for(quiet, f"window {window} to stop reporting")
        return state["count"]


class E2ETestCase(unittest.TestCase):
    def start_xvfb(self, **kwargs):
        tag = uuid.uuid4().hex
        server = start_xvfb(tag, **kwargs)
        self.addCleanup(server.stop)
        self.addCleanup(kill_tagged, tag)
        return server.display


def another_user(test, prefix):
    """A local user made for the test (another one than whoever runs it), removed after it
    whatever happens; the test is skipped where users cannot be made."""
    if os.geteuid() != 0 or not shutil.which("useradd"):
        test.skipTest("making another local user needs root and useradd")
    name = "%s%d" % (prefix, os.getpid())
    subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                    name], check=True, capture_output=True)
    test.addCleanup(subprocess.run, ["userdel", name], capture_output=True)
    return name
