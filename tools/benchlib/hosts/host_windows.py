"""One host's share of a run: HostWindows starts the host's display (an Xvfb as large as its
windows need, ready once a client has connected) unless the run names one, records the
host's facts, and drives the host's windows with a WindowDriver through the phases the
runner orders (start, step or animate and animate_for, end), checking their pictures. The
runner holds one in its own process for a run on its own machine; on every host of a run
across hosts a bench-agent (agent.py) holds one."""

import base64
import os

from ..pictures.capture import PictureTaker
from ..pictures.compare import Tolerance
from ..results.files import create_new
from ..results.layout import PROGRAMS
from . import limits
from .driver import DriveError, Timeouts, WindowDriver
from .gpu import gpus
from .machine import display_facts, machine_facts
from .displays import deal_windows
from .picture_check import HostCheck
from .references import lone_env
from .watchers import DisplayWatchers
from .window_processes import WindowProcesses
from .xvfb import Xvfb, XvfbError, x_authority
from .xwindows import WindowWatcher, XDisplayError

# Names the display file: the runner passes it to the agents and the ranks in their
# environment and publishes it nowhere (run.json names the run, not this).
DISPLAY_TAG_VARIABLE = "BENCH_DISPLAY_TAG"
FAILURES = (DriveError, XDisplayError, XvfbError)



def display_file(tag):
    """Where a host keeps its display for the run's ranks (the host's own /tmp, shared with
    every user): named by the run's display tag, which no other user can know."""
    return "/tmp/bench-run-%s.display" % tag


def write_display_file(path, display, xauthority=""):
    """The display and its authority file, a line each, in a file made new for this user
    alone: a name planted there (a link, a FIFO) is an error, never followed or waited on."""
    with create_new(path, 0o600) as f:
        f.write(os.fsencode(display + "\n" + xauthority + "\n"))


def marker_name(run_id):
    """A file the runner puts in the run folder: an agent that sees it shares the folder."""
    return ".bench-run-%s" % run_id


class HostWindows:
    """The displays and the windows of one host. config: program, token, displays (the ones the
    user named, or None for an Xvfb of the host's own), screens (of that Xvfb), depth,
    screen (the side of its screens), the windows' rendering variables (env), their --wrap
    command (wrap, or None: their GL facts are read under it), timeouts, the host's windows,
    dealt over the displays in turn, and pictures (None when they are not checked: see
    picture_check). check(driver) is called on every tick of the driver."""

    def __init__(self, config, stack, reporter, check, xvfb_log="xvfb.log", env=None):
        self.config = config
        self.env = os.environ if env is None else env
        self.stack = stack
        self.reporter = reporter
        self.check = check
        self.windows = config["windows"]
        self.xvfb_log = xvfb_log
        self.xvfb = None
        self.watchers = {}      # display -> WindowWatcher
        self.watcher = None     # all of them as one, for the driver
        self.driver = None
        self.folder = None      # the folder of the run in hand
        self.displays = None    # the displays of the windows, once open
        self.pictures = None    # the PictureTaker of the run in hand

    @property
    def display(self):
        """The first display (or the own Xvfb's): what the launcher's DISPLAY names."""
        if self.xvfb:
            return self.xvfb.display
        return self.displays[0] if self.displays else None

    def windows_env(self, display):
        """The environment the host's windows get: the one their GL facts are read with."""
        env = dict(self.env, **self.config.get("env", {}))
        if display:
            env["DISPLAY"] = display
        return env

    def dealt(self):
        """{display: [windows]} in display order."""
        by_display = {d: [] for d in self.displays}
        for w, d in deal_windows(self.windows, self.displays).items():
            by_display[d].append(w)
        return by_display

    def watch(self, display):
        if display not in self.watchers:
            self.watchers[display] = self.stack.enter_context(WindowWatcher(display))
        return self.watchers[display]

    def facts(self):
        """What the host says about itself before anything starts; with displays the user
        named, what each holds (or why it would not let us in)."""
        facts = machine_facts()
        named = self.config.get("displays")
        if named and self.windows:
            self.displays = list(named)
            facts["displays"] = []
            for display, windows in self.dealt().items():
                fact = {"name": display, "windows": windows}
                try:
                    watcher = self.watch(display)
                except XDisplayError as e:
                    fact["error"] = str(e)
                else:
                    fact.update(screen=watcher.screen_size(), x_clients=watcher.clients(),
                                titles_shown=self.titles_shown(watcher))
                facts["displays"].append(fact)
        return facts

    def open(self, log_folder):
        """The displays of the windows, an Xvfb started unless the user named them (its log
        into log_folder); returns what the run records of them, GL read as the windows see
        it, display by display."""
        c = self.config
        if self.watcher is None and self.windows:
            if not c.get("displays"):
                log = self.stack.enter_context(create_new(os.path.join(log_folder,
                                                                       self.xvfb_log)))
                self.xvfb = self.stack.enter_context(
                    Xvfb(c["screen"], c["screen"], c["depth"], env=self.windows_env(None),
                         log=log, max_clients=limits.xvfb_max_clients(len(self.windows)),
                         screens=c.get("screens", 1)))
                self.displays = self.xvfb.displays if len(self.xvfb.displays) > 1 \
                    else [self.xvfb.display]
                # The windows, and this process's own X clients, show the server's cookie.
                self.env = dict(self.env, **self.xvfb.client_env)
            with x_authority(self.windows_env(None).get("XAUTHORITY")):
                self.watcher = DisplayWatchers([self.watch(d) for d in self.displays])
        env = self.windows_env(self.display)
        wrap = c.get("wrap")
        displays = []
        for display, windows in (self.dealt().items() if self.watcher else ()):
            screen = self.watchers[display].screen_size()
            displays.append(dict(display_facts(display, screen, self.windows_env(display),
                                               wrap, windows[0] if windows else None),
                                 name=display, windows=windows))
        first = {k: v for k, v in displays[0].items() if k not in ("name", "windows")} \
            if displays else display_facts(None, None, env)
        return dict(first, displays=displays, display=self.display, gpus=gpus(env),
                    xvfb_pid=self.xvfb.pid if self.xvfb else None,
                    xauth_folder=self.xvfb.folder if self.xvfb else None,
                    rendering_env=dict(self.config.get("env", {})))

    def begin(self, folder):
        """A driver for the windows of one run, writing into folder."""
        c = self.config
        started = WindowProcesses(c.get("token"), c.get("wrap"))

        def check(driver):
            started.check(driver)
            self.check(driver)
        checked = (c.get("pictures") or {}).get("windows")
        self.pictures = PictureTaker(self.watcher, checked) if checked and self.watcher \
            else None
        self.driver = WindowDriver(self.watcher, PROGRAMS[c["program"]], folder, self.windows,
                                   self.reporter, Timeouts(*c["timeouts"]), check,
                                   self.pictures) if self.watcher else None
        self.folder = folder

    def titles_shown(self, watcher):
        """Titles of the program's windows that a display already shows (another run)."""
        program = PROGRAMS[self.config["program"]]
        return sorted(t for t in watcher.existing_titles().values()
                      if program.window_from_title(t) is not None)

    def perform(self, command):
        """One phase the runner ordered; returns the reply."""
        d = self.driver
        phase = command["do"]
        reply = {"done": phase}
        if d is None:
            return reply
        if phase == "pictures":
            reply["pictures"] = self.picture_check()
            return reply
        try:
            self._perform(d, phase, command, reply)
        except XDisplayError as e:  # a key or a look at the windows found the display gone
            d.display_lost(e)
            raise
        d.show(force=True)
        return reply

    @staticmethod
    def _perform(d, phase, command, reply):
        if phase == "start":
            d.wait_for_windows()
            reply["visuals"] = {str(w): d.geometry[w] for w in d.windows}
            d.wait_for_initialisation()
            d.settle()
        elif phase == "step":
            reply["too_many"] = d.step_frames(command["frames"])
        elif phase == "animate":
            reply["first_frames"] = {str(w): s for w, s in d.start_animation().items()}
        elif phase == "animate_for":
            d.animate_for(command["seconds"])
        elif phase == "end":
            d.end_windows()

    def picture_check(self):
        """The entries of the host's checked windows (pictures.check). config["pictures"]:
        windows (the checked ones of this host), program_path, shim (libbench-rank.so or
        None), env (what the reference process needs besides the rendering variables),
        tolerance, source (a known-good run's folder, or None), host (its name)."""
        if self.pictures is None:
            return []
        p = self.config["pictures"]
        env = lone_env(self.windows_env(None), p.get("env", {}))
        return HostCheck(self.config["program"], p["program_path"], p.get("shim"), env,
                         self.folder,
                         Tolerance(**p.get("tolerance", {})), p["host"],
                         p.get("source")).run(self.pictures.taken, self.pictures.missed)

    def picture_files(self, entries):
        """{name under the run folder: base64} of the PNGs the entries name."""
        names = {e[k] for e in entries for k in ("picture", "reference", "difference")
                 if e.get(k) and not os.path.isabs(e[k])}
        files = {}
        for name in sorted(names):
            with open(os.path.join(self.folder, name), "rb") as f:
                files[name] = base64.b64encode(f.read()).decode()
        return files

    def results_files(self):
        program = PROGRAMS[self.config["program"]]
        files = {}
        for name in sorted(os.listdir(self.folder)):
            if program.results_window(name) in self.windows:
                with open(os.path.join(self.folder, name), "rb") as f:
                    files[name] = base64.b64encode(f.read()).decode()
        return files
