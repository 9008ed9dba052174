"""A program run by hand for the measuring scripts: an Xvfb of its own, the build's launcher,
the windows found by title and sent keys through X, everything stopped at the end."""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from benchlib.hosts import processes  # noqa: E402
from benchlib.hosts.xvfb import Xvfb, x_authority  # noqa: E402
from benchlib.hosts.xwindows import WindowWatcher  # noqa: E402
from benchlib.results.follow import ResultsFollower  # noqa: E402
from benchlib.results.layout import PROGRAMS  # noqa: E402
from benchlib.run.build import OPENMPI_ENV  # noqa: E402

DEADLINE = 120.0


def launcher_of(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("MPIEXEC_EXECUTABLE:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit(f"{build_dir}: no MPIEXEC_EXECUTABLE in CMakeCache.txt")


def wait_for(condition, what, timeout=DEADLINE):
    """Polls condition() until it returns a true value, which is returned."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise RuntimeError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.05)


@contextlib.contextmanager
def server(depth=24, size=1800):
    """An Xvfb of the script's own, its processes tagged."""
    tag = uuid.uuid4().hex
    xvfb = Xvfb(size, size, depth, env=dict(os.environ, **{processes.TAG_VARIABLE: tag}))
    try:
        with x_authority(xvfb.xauthority):  # for the launches made meanwhile
            yield xvfb
    finally:
        xvfb.stop()


@contextlib.contextmanager
def display(depth=24, size=1800):
    """The name of an Xvfb of the script's own."""
    with server(depth, size) as xvfb:
        yield xvfb.display


class Launch:
    """One program under the build's launcher on a display, in a folder of its own."""

    def __init__(self, build_dir, program, ranks, display_name, env=None):
        self.program = PROGRAMS[program]
        self.tag = uuid.uuid4().hex
        self.folder = tempfile.mkdtemp(prefix="bench-")
        self.console_path = os.path.join(self.folder, "console.log")
        env = dict(os.environ, DISPLAY=display_name, **OPENMPI_ENV,
                   **{processes.TAG_VARIABLE: self.tag}, **(env or {}))
        with open(self.console_path, "wb") as console:
            self.process = subprocess.Popen(
                [launcher_of(build_dir), "-n", str(ranks),
                 os.path.join(build_dir, program, program)],
                cwd=self.folder, env=env, stdin=subprocess.DEVNULL, stdout=console,
                stderr=subprocess.STDOUT, start_new_session=True)
        self.watcher = WindowWatcher(display_name)
        self.followers = {}

    def __enter__(self):
        return self

    def __exit__(self, failed, *_):
        processes.stop_tagged(self.tag, session=self.process.pid)
        self.watcher.close()
        if failed:
            sys.stderr.write(self.console())
        shutil.rmtree(self.folder, ignore_errors=True)

    def console(self):
        with open(self.console_path, errors="replace") as f:
            return f.read()

    def frames(self, w):
        """Frames window w has reported in its results file so far."""
        if w not in self.followers:
            name = next((n for n in os.listdir(self.folder)
                         if self.program.results_window(n) == w), None)
            if name is None:
                return 0
            self.followers[w] = ResultsFollower(os.path.join(self.folder, name), self.program)
        self.followers[w].update()
        return self.followers[w].frames

    def window(self, w):
        """The X window of window w, once it has appeared."""
        title = self.program.window_title(w)
        return wait_for(lambda: next((i for i, t in self.watcher.existing_titles().items()
                                      if t == title), None), f"window {w} to appear")

    def rank_pid(self, rank):
        """The program process of a rank, once it runs."""
        def find():
            for pid in processes.tagged_processes(self.tag):
                env = processes.environ_of(pid)
                if str(rank) in (env.get("OMPI_COMM_WORLD_RANK"), env.get("PMI_RANK")):
                    return pid
            return None
        return wait_for(find, f"rank {rank}")

    def key(self, window_id, key):
        self.watcher.send_key(window_id, key)

    def wait(self, timeout=DEADLINE):
        return self.process.wait(timeout=timeout)
