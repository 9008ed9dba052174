"""bench-run: run Shardfall or Latticeglow under MPI on an X display and collect the results.

The launcher starts N+1 processes: rank 0 keeps the console, ranks 1..N each
open a window and write a results file into the output folder. The runner
drives the windows with key presses sent through X:

  --frames F   each window is paused (p) the moment its window exists, then
               stepped with c, one frame at a time and one window at a time,
               until its results file holds F frame blocks; the frames are
               therefore measured one at a time, not competing with each other.
  --seconds S  the windows animate freely; S seconds after the last window
               has finished initialising they are all ended.

Every window is then ended with Escape and the runner waits for the launcher.
Progress is read from the results files, which the windows write line by
line (the console does not tell the windows' Shardfall reports apart).

The output folder receives the results files, console.log (everything the
launcher printed), xvfb.log (when the runner started its own Xvfb) and
run.json (what ran, where and how it ended).

Exit status: 0 when every window reported its frames and wrote its summary
and the launcher ended cleanly; 1 when the run failed (the message says why);
2 for a bad command line; 130/143 when interrupted. The launcher, every
process it started and the runner's own Xvfb are stopped in every case.
"""

import argparse
import datetime
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time
import uuid

from . import results as R
from .xclient import WindowWatcher, XDisplayError

TOKEN_VARIABLE = "BENCH_RUN_ID"
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
LAUNCHERS = {"openmpi": "/usr/bin/mpiexec.openmpi", "mpich": "/usr/bin/mpiexec.mpich"}
OPENMPI_ENV = {
    "OMPI_ALLOW_RUN_AS_ROOT": "1",
    "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
    "OMPI_MCA_rmaps_base_oversubscribe": "1",
}


class RunError(Exception):
    pass


class Interrupted(Exception):
    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


# ---------------------------------------------------------------- build and MPI

def read_cmake_cache(build_dir):
    values = {}
    path = os.path.join(build_dir, "CMakeCache.txt")
    try:
        with open(path, errors="replace") as f:
            for line in f:
                m = re.match(r"([A-Za-z0-9_.-]+):[A-Z]+=(.*)$", line.rstrip("\n"))
                if m:
                    values[m.group(1)] = m.group(2)
    except FileNotFoundError:
        return None
    return values


def mpi_library_of_path(path):
    """openmpi or mpich for a launcher or compiler wrapper path, None when unclear."""
    if not path:
        return None
    real = os.path.realpath(path)
    for candidate in (os.path.basename(path), os.path.basename(real), real):
        lowered = candidate.lower()
        if "openmpi" in lowered or "orterun" in lowered or "prterun" in lowered:
            return "openmpi"
        if "mpich" in lowered or "hydra" in lowered:
            return "mpich"
    return None


def mpi_library_linked(program_path):
    """The MPI library a program is linked against (from ldd), None when it cannot be told."""
    try:
        out = subprocess.run(["ldd", program_path], capture_output=True, text=True,
                             timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    if re.search(r"libmpich|libmpi\.so\.12\b", out):
        return "mpich"
    if re.search(r"libmpi\.so\.40\b|libopen-rte|libopen-pal", out):
        return "openmpi"
    return None


def build_mpi_library(build_dir, program_path):
    cache = read_cmake_cache(build_dir) or {}
    from_cache = (mpi_library_of_path(cache.get("MPI_CXX_COMPILER"))
                  or mpi_library_of_path(cache.get("MPIEXEC_EXECUTABLE")))
    linked = mpi_library_linked(program_path)
    return linked or from_cache, cache


def launcher_version(launcher, env):
    try:
        proc = subprocess.run([launcher, "--version"], capture_output=True, text=True,
                              timeout=60, env=env)
    except (OSError, subprocess.SubprocessError) as e:
        return {"version_line": None, "version": None, "error": str(e)}
    text = (proc.stdout or "") + (proc.stderr or "")
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    first = lines[0] if lines else None
    version = None
    m = re.search(r"\(Open(?:RTE|MPI|PRRTE)\)\s+(\S+)", text) or \
        re.search(r"^\s*Version:\s+(\S+)", text, re.M)
    if m:
        version = m.group(1)
    return {"version_line": first, "version": version}


def git_revision(source_dir):
    try:
        proc = subprocess.run(["git", "-C", source_dir, "rev-parse", "HEAD"],
                              capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    rev = proc.stdout.strip()
    return rev if proc.returncode == 0 and re.fullmatch(r"[0-9a-f]{40,64}", rev) else "unknown"


def glx_info(env):
    info = {"vendor": None, "renderer": None, "version": None, "direct_rendering": None}
    try:
        proc = subprocess.run(["glxinfo", "-B"], capture_output=True, text=True, timeout=60,
                              env=env)
    except (OSError, subprocess.SubprocessError) as e:
        info["error"] = str(e)
        return info
    keys = {"OpenGL vendor string": "vendor", "OpenGL renderer string": "renderer",
            "OpenGL version string": "version", "direct rendering": "direct_rendering"}
    for line in proc.stdout.splitlines():
        key, _, value = line.partition(":")
        if key.strip() in keys:
            info[keys[key.strip()]] = value.strip()
    if proc.returncode != 0:
        info["error"] = (proc.stderr.strip().splitlines() or ["glxinfo failed"])[-1]
    try:
        best = subprocess.run(["glxinfo", "-b"], capture_output=True, text=True, timeout=60,
                              env=env)
        if best.returncode == 0 and best.stdout.strip().isdigit():
            info["best_visual"] = hex(int(best.stdout.strip()))
    except (OSError, subprocess.SubprocessError):
        pass
    return info


def window_info(env, window_id):
    """Depth, visual and geometry of one window, or of the root window for None (xwininfo)."""
    which = ["-root"] if window_id is None else ["-id", str(window_id)]
    try:
        proc = subprocess.run(["xwininfo"] + which, capture_output=True,
                              text=True, timeout=30, env=env)
    except (OSError, subprocess.SubprocessError):
        return None
    fields = {}
    for line in proc.stdout.splitlines():
        key, sep, value = line.strip().partition(":")
        if sep:
            fields[key.strip()] = value.strip()
    if proc.returncode != 0:
        return None
    result = {"id": hex(window_id)} if window_id is not None else {}
    for key, name in (("Depth", "depth"), ("Visual", "visual"), ("Visual Class", "class"),
                      ("Width", "width"), ("Height", "height"),
                      ("Absolute upper-left X", "x"), ("Absolute upper-left Y", "y")):
        if key in fields:
            value = fields[key]
            result[name] = int(value) if re.fullmatch(r"-?\d+", value) else value
    return result


# ---------------------------------------------------------------- processes

def _proc_stat(pid):
    """(state, session id) of a process, None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    fields = stat[stat.rfind(")") + 2:].split()
    return fields[0], int(fields[3])


def processes_with_token(token, session=None, exclude=()):
    """Live processes whose environment carries the token or that belong to a session."""
    needle = ("%s=%s" % (TOKEN_VARIABLE, token)).encode() + b"\0"
    found = []
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        if pid == me or pid in exclude:
            continue
        stat = _proc_stat(pid)
        if stat is None or stat[0] in ("Z", "X"):
            continue
        if session is not None and stat[1] == session:
            found.append(pid)
            continue
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                environ = f.read()
        except OSError:
            continue
        if needle in environ or environ.endswith(needle[:-1]):
            found.append(pid)
    return found


def _signal_all(pids, signum):
    for pid in pids:
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


# ---------------------------------------------------------------- progress

class Progress:
    """One updating line on a terminal; plain lines, at most every few seconds, otherwise."""

    def __init__(self, stream=sys.stdout):
        self.stream = stream
        self.tty = stream.isatty()
        self.last_text = None
        self.last_time = 0.0
        self.width = 0

    def show(self, text, force=False):
        now = time.monotonic()
        if text == self.last_text and not force:
            return
        if self.tty:
            pad = max(0, self.width - len(text))
            self.stream.write("\r" + text + " " * pad)
            self.stream.flush()
            self.width = len(text)
        else:
            # A new phase is always shown; within a phase a line every few seconds.
            same_phase = self.last_text is not None and \
                text.split()[:1] == self.last_text.split()[:1]
            if not force and same_phase and now - self.last_time < 2.0:
                return
            self.stream.write(text + "\n")
            self.stream.flush()
        self.last_text = text
        self.last_time = now

    def say(self, text):
        """A message of its own, on its own line."""
        self.end_line()
        self.stream.write(text + "\n")
        self.stream.flush()

    def end_line(self):
        if self.tty and self.width:
            self.stream.write("\n")
            self.stream.flush()
            self.width = 0
            self.last_text = None


# ---------------------------------------------------------------- the run

class Run:
    def __init__(self, args):
        self.args = args
        self.program = R.PROGRAMS[args.program]
        self.n = args.windows
        self.token = uuid.uuid4().hex
        self.progress = Progress()
        self.xvfb = None
        self.xvfb_log = None
        self.launcher = None
        self.console = None
        self.watcher = None
        self.display = args.display
        self.window_ids = {}        # window index -> X window id
        self.appeared_at = {}       # window index -> monotonic time
        self.paused_early = {}      # window index -> p sent before the window's loop started
        self.followers = {}         # window index -> ResultsFollower
        self.last_change = {}       # window index -> monotonic time of its last new line
        self.expect_launcher_exit = False
        self.ending = False
        self.info = {}
        self.described = False  # run.json has been started
        self.cleaned = False

    # -- setup -------------------------------------------------------------------
    def prepare(self):
        a = self.args
        self.build_dir = os.path.abspath(a.build_dir or os.path.join(SOURCE_DIR, "build",
                                                                     "default"))
        self.program_path = os.path.join(self.build_dir, a.program, a.program)
        if not os.path.isfile(self.program_path) or not os.access(self.program_path, os.X_OK):
            raise RunError("the program %s does not exist or cannot be run (build it first: "
                           "cmake --preset default && cmake --build --preset default)"
                           % self.program_path)
        built_with, cache = build_mpi_library(self.build_dir, self.program_path)
        if a.mpi:
            if built_with and a.mpi != built_with:
                raise RunError("%s is built against %s; %s's launcher would start %d "
                               "unrelated single-process runs. Use the matching build "
                               "(--build-dir) or leave out --mpi."
                               % (self.program_path, built_with, a.mpi, self.n + 1))
            self.mpi = a.mpi
        elif built_with:
            self.mpi = built_with
        else:
            raise RunError("cannot tell which MPI library %s uses (no CMakeCache.txt with "
                           "MPI_CXX_COMPILER in %s): say it with --mpi openmpi|mpich"
                           % (self.program_path, self.build_dir))
        cached = cache.get("MPIEXEC_EXECUTABLE")
        if cached and mpi_library_of_path(cached) == self.mpi and os.access(cached, os.X_OK):
            self.launcher_path = cached
        else:
            self.launcher_path = LAUNCHERS[self.mpi]
        if not os.access(self.launcher_path, os.X_OK):
            raise RunError("the %s launcher %s is not installed" % (self.mpi,
                                                                   self.launcher_path))

        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        self.out = os.path.abspath(a.out or os.path.join(SOURCE_DIR, "runs",
                                                         "%s-%s" % (a.program, stamp)))
        if os.path.isdir(self.out) and os.listdir(self.out):
            raise RunError("the output folder %s is not empty; name a new one with --out"
                           % self.out)
        os.makedirs(self.out, exist_ok=True)

        self.env = dict(os.environ)
        self.env[TOKEN_VARIABLE] = self.token
        if self.mpi == "openmpi":
            self.env.update(OPENMPI_ENV)

    def start_display(self):
        if self.display:
            self.screen = None
            return
        size = 100 * self.n + 1440
        self.screen = {"width": size, "height": size, "depth": self.args.depth}
        read_fd, write_fd = os.pipe()
        self.xvfb_log = open(os.path.join(self.out, "xvfb.log"), "wb")
        try:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                 "%dx%dx%d" % (size, size, self.args.depth), "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=self.xvfb_log, stderr=subprocess.STDOUT,
                pass_fds=(write_fd,), start_new_session=True, env=self.env)
        except OSError as e:
            os.close(read_fd)
            raise RunError("cannot start Xvfb: %s" % e) from None
        finally:
            os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 60
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise RunError("Xvfb did not report its display within 60 s")
                ready, _, _ = select.select([read_fd], [], [], min(left, 0.5))
                if ready:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        break
                    number += chunk
                elif self.xvfb.poll() is not None:
                    break
        finally:
            os.close(read_fd)
        if not number.strip().isdigit():
            raise RunError("Xvfb failed to start (status %s).%s"
                           % (self.xvfb.returncode, self._tail("xvfb.log")))
        self.display = ":%d" % int(number)

    def open_display(self):
        self.env["DISPLAY"] = self.display
        try:
            self.watcher = WindowWatcher(self.display, on_named=self._on_named,
                                         on_lost=self._on_display_lost)
        except XDisplayError as e:
            raise RunError(str(e)) from None
        except OSError as e:
            raise RunError("cannot load libX11: %s" % e) from None
        clashes = sorted(t for t in self.watcher.existing_titles().values()
                         if self.program.window_from_title(t) is not None)
        if clashes:
            raise RunError("the display %s already shows %s window(s) (%s): another run? Use "
                           "the runner's own Xvfb (leave out --display)"
                           % (self.display, self.program.display_name, clashes[0]))
        root = window_info(self.env, None)
        if self.screen is None:
            self.screen = {"width": None, "height": None, "depth": None}
            if root:
                self.screen.update(width=root.get("width"), height=root.get("height"),
                                   depth=root.get("depth"))
            need = 100 * self.n + 1440
            if root and isinstance(root.get("width"), int) and (
                    root["width"] < need or root["height"] < need):
                self.progress.say("warning: the screen of %s is %sx%s; %d windows need %dx%d "
                                  "to be fully on it" % (self.display, root["width"],
                                                         root["height"], self.n, need, need))

    def describe(self):
        a = self.args
        self.info = {
            "program": a.program,
            "windows": self.n,
            "frames": a.frames,
            "seconds": a.seconds,
            "status": "running",
            "error": None,
            "run_id": self.token,
            "mpi": dict(library=self.mpi, launcher=self.launcher_path,
                        **launcher_version(self.launcher_path, self.env)),
            "display": {"name": self.display, "own_xvfb": self.xvfb is not None,
                        "xvfb_pid": self.xvfb.pid if self.xvfb else None},
            "screen": self.screen,
            "screen_depth": self.screen.get("depth"),
            "glx": glx_info(self.env),
            "window_visuals": {},
            "host": socket.gethostname(),
            "start_time": self.started.isoformat(timespec="seconds"),
            "end_time": None,
            "git_revision": git_revision(SOURCE_DIR),
            "source_dir": SOURCE_DIR,
            "build_dir": self.build_dir,
            "program_path": self.program_path,
            "output_folder": self.out,
            "command": [sys.argv[0]] + list(self.argv),
            "launcher_command": self.launch_command(),
            "launcher_status": None,
            "results_files": {},
            "frames_reported": {},
            "summaries_written": {},
        }
        self.info["renderer"] = self.info["glx"].get("renderer")
        self.described = True
        self.write_info()

    def write_info(self):
        path = os.path.join(self.out, "run.json")
        with open(path + ".tmp", "w") as f:
            json.dump(self.info, f, indent=2)
            f.write("\n")
        os.replace(path + ".tmp", path)

    def launch_command(self):
        return [self.launcher_path, "-n", str(self.n + 1), self.program_path]

    def launch(self):
        self.console = open(os.path.join(self.out, "console.log"), "wb")
        try:
            self.launcher = subprocess.Popen(
                self.launch_command(), cwd=self.out, env=self.env, stdin=subprocess.DEVNULL,
                stdout=self.console, stderr=subprocess.STDOUT, start_new_session=True)
        except OSError as e:
            raise RunError("cannot start %s: %s" % (self.launcher_path, e)) from None
        self.launched_at = time.monotonic()

    # -- watching ------------------------------------------------------------------
    def _on_named(self, window_id, title):
        w = self.program.window_from_title(title)
        if w is None or not 1 <= w <= self.n or w in self.window_ids:
            return
        if self.args.frames is not None:
            self.watcher.send_key(window_id, "p")
        self.window_ids[w] = window_id
        self.appeared_at[w] = time.monotonic()
        self.last_change[w] = self.appeared_at[w]
        follower = self._follower(w)
        if follower is not None:
            follower.update()
        # When the window had not finished initialising as the key arrived, the key waits
        # in its queue and is handled before the first animated frame.
        self.paused_early[w] = follower is not None and not follower.initialised

    def _on_display_lost(self):
        self.progress.end_line()
        sys.stderr.write("bench-run: error: lost the connection to the X display %s\n"
                         % self.display)
        self.watcher = None
        self.cleanup()
        if self.described:
            self.info["status"] = "failed"
            self.info["error"] = "lost the connection to the X display %s" % self.display
            self.info["end_time"] = datetime.datetime.now().astimezone().isoformat(
                timespec="seconds")
            try:
                self.write_info()
            except OSError:
                pass
        sys.stderr.flush()

    def _follower(self, w):
        if w in self.followers:
            return self.followers[w]
        for name in sorted(os.listdir(self.out)):
            if self.program.results_window(name) == w:
                self.followers[w] = R.ResultsFollower(os.path.join(self.out, name),
                                                      self.program)
                self.info.setdefault("results_files", {})[str(w)] = name
                return self.followers[w]
        return None

    def frames(self, w):
        f = self.followers.get(w)
        return f.frames if f else 0

    def tick(self, timeout=0.1):
        """Handles X events, reads new results lines and checks on the launcher."""
        self.watcher.poll(timeout)
        now = time.monotonic()
        for w in range(1, self.n + 1):
            follower = self._follower(w)
            if follower is not None and follower.update():
                self.last_change[w] = now
        may_exit = self.expect_launcher_exit or (
            self.ending and all(f.summary for f in self.followers.values())
            and len(self.followers) == self.n)
        if self.launcher.poll() is not None and not may_exit:
            missing = [w for w in range(1, self.n + 1) if w not in self.window_ids]
            what = ("before window(s) %s appeared" % _list(missing)) if missing \
                else "while the windows were running"
            raise RunError("the launcher ended with status %d %s.%s"
                           % (self.launcher.returncode, what, self._console_tail()))

    def stall_limit(self, w):
        f = self.followers.get(w)
        longest = f.longest_frame_time if f else 0.0
        return max(self.args.stall_timeout, 4 * longest)

    def _tail(self, name, lines=12):
        """The last lines of a file in the output folder, indented, for an error message."""
        try:
            with open(os.path.join(self.out, name), errors="replace") as f:
                text = f.read().strip().splitlines()
        except OSError:
            return " (there is no %s)" % name
        if not text:
            return " (%s is empty)" % name
        return " Last lines of %s:\n    %s" % (name, "\n    ".join(text[-lines:]))

    def _console_tail(self):
        if self.console:
            self.console.flush()
        return self._tail("console.log")

    def show_counts(self, phase):
        parts = []
        for w in range(1, self.n + 1):
            if w not in self.window_ids:
                parts.append("w%d -" % w)
            elif self.args.frames is not None:
                parts.append("w%d %d/%d" % (w, self.frames(w), self.args.frames))
            else:
                parts.append("w%d %d" % (w, self.frames(w)))
        self.progress.show("%s | frames: %s" % (phase, "  ".join(parts)))

    # -- phases --------------------------------------------------------------------
    def wait_for_windows(self):
        deadline = self.launched_at + self.args.appear_timeout
        while len(self.window_ids) < self.n:
            self.tick()
            self.show_counts("waiting for windows (%d of %d)" % (len(self.window_ids),
                                                                  self.n))
            if time.monotonic() > deadline:
                missing = [w for w in range(1, self.n + 1) if w not in self.window_ids]
                raise RunError("window(s) %s never appeared on %s within %g s (looked for "
                               "titles like \"%s\")."
                               "%s" % (_list(missing), self.display, self.args.appear_timeout,
                                       self.program.window_title(missing[0]),
                                       self._console_tail()))
        for w in range(1, self.n + 1):
            self.info["window_visuals"][str(w)] = window_info(self.env, self.window_ids[w])
        self.show_counts("windows up")

    def wait_for_initialisation(self):
        while True:
            self.tick()
            waiting = [w for w in range(1, self.n + 1)
                       if not (self._follower(w) and self._follower(w).initialised)]
            if not waiting:
                return
            self.show_counts("initialising")
            now = time.monotonic()
            late = [w for w in waiting if now - self.appeared_at[w] > self.args.appear_timeout]
            if late:
                raise RunError("window(s) %s did not finish initialising within %g s of "
                               "appearing (no \"Secs to Initialize.\" line in the results "
                               "file)." % (_list(late), self.args.appear_timeout))

    def settle(self):
        """Waits until every paused window has stopped reporting frames."""
        for w in range(1, self.n + 1):
            self.last_change[w] = time.monotonic()
        started = time.monotonic()
        while True:
            self.tick()
            now = time.monotonic()
            busy = []
            for w in range(1, self.n + 1):
                f = self.followers[w]
                if self.paused_early[w] and f.frames == 0:
                    quiet = 0.3
                else:
                    # The loop may have been running before the key came: wait out a frame
                    # in flight (a first frame costs about what building the scene did).
                    quiet = max(1.0, 3 * f.longest_frame_time, f.init_time or 0.0)
                if now - self.last_change[w] < quiet:
                    busy.append(w)
            if not busy:
                return
            self.show_counts("pausing")
            if now - started > max(self.stall_limit(w) for w in busy):
                raise RunError("window(s) %s kept reporting frames after p (pause) was sent"
                               % _list(busy))

    def step_frames(self):
        target = self.args.frames
        early = {w: self.frames(w) for w in range(1, self.n + 1)}
        too_many = [w for w, k in early.items() if k > target]
        if any(early.values()):
            self.progress.say("note: frames reported before the pause took effect: %s"
                              % ", ".join("window %d: %d" % (w, k) for w, k in early.items()
                                          if k))
        for frame in range(1, target + 1):
            for w in range(1, self.n + 1):
                if self.frames(w) >= frame:
                    continue
                before = self.frames(w)
                self.watcher.send_key(self.window_ids[w], "c")
                sent = time.monotonic()
                while self.frames(w) <= before:
                    self.tick()
                    self.show_counts("stepping")
                    if time.monotonic() - sent > self.stall_limit(w):
                        raise RunError("window %d did not report frame %d within %g s of "
                                       "being stepped (c)" % (w, frame, self.stall_limit(w)))
                if self.frames(w) > before + 1:
                    raise RunError("window %d reported %d frames for one step (c); it is not "
                                   "paused" % (w, self.frames(w) - before))
        self.show_counts("stepped")
        return too_many

    def animate(self):
        start = time.monotonic()
        for w in range(1, self.n + 1):
            self.last_change[w] = max(self.last_change.get(w, start), start)
        while True:
            self.tick(0.2)
            now = time.monotonic()
            elapsed = now - start
            self.show_counts("animating %.0f/%g s" % (min(elapsed, self.args.seconds),
                                                       self.args.seconds))
            if elapsed >= self.args.seconds:
                return
            for w in range(1, self.n + 1):
                if now - self.last_change[w] > self.stall_limit(w):
                    raise RunError("window %d stopped reporting: no frame for %.0f s"
                                   % (w, now - self.last_change[w]))

    def end_windows(self):
        # A window that closes uncovers the windows below it, which then redraw and report
        # their angle step once more. Ending them from the bottom of the stack up, each after
        # the one below has written its summary, uncovers none.
        stack = self.watcher.stacking_order()
        order = sorted(range(1, self.n + 1),
                       key=lambda w: stack.index(self.window_ids[w])
                       if self.window_ids[w] in stack else -1)
        self.ending = True
        for w in order:
            self.watcher.send_key(self.window_ids[w], "Escape")
            sent = time.monotonic()
            while not self.followers[w].summary:
                self.tick()
                self.show_counts("ending")
                if time.monotonic() - sent > self.stall_limit(w):
                    raise RunError("window %d did not write a summary within %g s of Escape"
                                   % (w, self.stall_limit(w)))
        self.expect_launcher_exit = True
        deadline = time.monotonic() + self.args.exit_timeout
        while self.launcher.poll() is None:
            self.tick(0.2)
            self.show_counts("waiting for the launcher")
            if time.monotonic() > deadline:
                raise RunError("the launcher did not end within %g s after every window "
                               "had ended" % self.args.exit_timeout)
        self.info["launcher_status"] = self.launcher.returncode
        if self.launcher.returncode != 0:
            raise RunError("the launcher ended with status %d.%s"
                           % (self.launcher.returncode, self._console_tail()))

    def verify(self):
        problems = []
        for w in range(1, self.n + 1):
            path = self.followers[w].path
            try:
                rf = R.parse_results_file(path)
            except R.ParseError as e:
                problems.append(str(e))
                continue
            self.info["frames_reported"][str(w)] = len(rf.frames)
            self.info["summaries_written"][str(w)] = rf.summary is not None
            if rf.summary is None:
                problems.append("window %d: no summary in %s" % (w, rf.name))
            if self.args.frames is not None and len(rf.frames) != self.args.frames:
                problems.append("window %d reported %d frames, not %d"
                                % (w, len(rf.frames), self.args.frames))
        return problems

    # -- the whole run -------------------------------------------------------------
    def run(self, argv):
        self.argv = argv
        self.started = datetime.datetime.now().astimezone()
        self.prepare()
        self.start_display()
        self.open_display()
        self.describe()
        a = self.args
        mode = ("%d frame(s) per window" % a.frames) if a.frames is not None \
            else ("%g s of animation" % a.seconds)
        self.progress.say("%s: %d window(s), %s, %s launcher %s, display %s%s, output %s"
                          % (a.program, self.n, mode, self.mpi, self.launcher_path,
                             self.display, " (own Xvfb, depth %d)" % a.depth if self.xvfb
                             else "", self.out))
        self.launch()
        self.wait_for_windows()
        self.wait_for_initialisation()
        too_many = []
        if a.frames is not None:
            self.settle()
            too_many = self.step_frames()
        else:
            self.animate()
        self.end_windows()
        self.progress.end_line()
        problems = self.verify()
        if too_many:
            problems.insert(0, "window(s) %s drew frames before the pause (p) took effect, "
                            "more than --frames %d" % (_list(too_many), a.frames))
        if problems:
            raise RunError("; ".join(problems))
        for w in range(1, self.n + 1):
            print("window %d: %d frame(s), summary written: %s"
                  % (w, self.info["frames_reported"][str(w)],
                     self.info["results_files"][str(w)]))
        print("run complete: %s (tools/bench-report %s for the report)"
              % (self.out, self.out))

    def cleanup(self):
        """Stops the launcher, everything it started and the runner's Xvfb."""
        if self.cleaned:
            return
        self.cleaned = True
        if self.watcher is not None:
            try:
                self.watcher.close()
            except Exception:
                pass
            self.watcher = None
        exclude = {self.xvfb.pid} if self.xvfb else set()
        session = self.launcher.pid if self.launcher else None
        for signum, wait in ((signal.SIGTERM, 5.0), (signal.SIGKILL, 5.0)):
            pids = processes_with_token(self.token, session, exclude)
            if not pids:
                break
            _signal_all(pids, signum)
            deadline = time.monotonic() + wait
            while time.monotonic() < deadline:
                if self.launcher is not None:
                    self.launcher.poll()
                if not processes_with_token(self.token, session, exclude):
                    break
                time.sleep(0.05)
        if self.launcher is not None:
            try:
                self.launcher.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
            if self.described and self.info.get("launcher_status") is None:
                self.info["launcher_status"] = self.launcher.returncode
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(timeout=10)
        for f in (self.console, self.xvfb_log):
            if f is not None:
                f.close()


def _list(numbers):
    return ", ".join(str(n) for n in numbers)


def _positive(kind):
    def convert(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a number: %r" % text) from None
        if value <= 0:
            raise argparse.ArgumentTypeError("must be more than 0: %r" % text)
        return value
    return convert


def _not_negative(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: %r" % text)
    return value


def build_parser():
    p = argparse.ArgumentParser(
        prog="bench-run", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Run Shardfall or Latticeglow with N windows under MPI and collect their "
                    "results files.", epilog=__doc__.split("\n", 2)[2])
    p.add_argument("program", choices=sorted(R.PROGRAMS))
    p.add_argument("windows", type=_positive(int), metavar="N",
                   help="number of windows (the launcher starts N+1 processes)")
    mode = p.add_mutually_exclusive_group(required=True)
    mode.add_argument("--frames", type=_not_negative, metavar="F",
                      help="exactly F frames per window, stepped one at a time")
    mode.add_argument("--seconds", type=_positive(float), metavar="S",
                      help="animate for S seconds, then end every window")
    p.add_argument("--mpi", choices=sorted(LAUNCHERS),
                   help="MPI library, which must be the one the build uses "
                        "(default: the build's, from its CMakeCache.txt and the program)")
    p.add_argument("--build-dir", metavar="DIR",
                   help="build tree holding <program>/<program> (default: build/default)")
    p.add_argument("--display", metavar=":N",
                   help="use this X display instead of starting an Xvfb")
    p.add_argument("--depth", type=int, choices=(16, 24, 30), default=24,
                   help="colour depth of the runner's Xvfb (default 24)")
    p.add_argument("--out", metavar="DIR",
                   help="output folder, new or empty (default: runs/<program>-<timestamp>)")
    p.add_argument("--appear-timeout", type=_positive(float), default=300.0, metavar="S",
                   help="how long the windows may take to appear and to initialise "
                        "(default 300)")
    p.add_argument("--stall-timeout", type=_positive(float), default=120.0, metavar="S",
                   help="how long a window may go without reporting a frame it owes; four "
                        "times its longest frame so far when that is longer (default 120)")
    p.add_argument("--exit-timeout", type=_positive(float), default=60.0, metavar="S",
                   help="how long the launcher may take to end after the last window "
                        "(default 60)")
    return p


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(argv)
    run = Run(args)

    def on_signal(signum, _frame):
        raise Interrupted(signum)

    # Ctrl-C stops the run even when the runner was started with SIGINT ignored (as a
    # background job of a script is).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    status = 0
    try:
        run.run(argv)
        run.info["status"] = "ok"
    except RunError as e:
        run.progress.end_line()
        print("bench-run: error: %s" % e, file=sys.stderr)
        run.info["status"] = "failed"
        run.info["error"] = str(e)
        status = 1
    except (KeyboardInterrupt, Interrupted) as e:
        run.progress.end_line()
        signum = e.signum if isinstance(e, Interrupted) else signal.SIGINT
        print("bench-run: interrupted (%s); stopping the run" % signal.Signals(signum).name,
              file=sys.stderr)
        run.info["status"] = "interrupted"
        run.info["error"] = "interrupted by %s" % signal.Signals(signum).name
        status = 128 + signum
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        run.cleanup()
        if run.described:
            run.info["end_time"] = datetime.datetime.now().astimezone().isoformat(
                timespec="seconds")
            try:
                run.write_info()
            except OSError:
                pass
    return status
