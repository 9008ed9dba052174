"""One host's share of a run, and bench-agent, which serves it to the runner over TCP.

HostWindows is what a run does on a host: it starts the host's display (an Xvfb as large as
its windows need, ready once a client has connected) unless the run names one, records the
host's facts, and drives the host's windows with a WindowDriver through the phases the
runner orders (start, step or animate and animate_for, end). The runner holds one in its own
process for a run on its own machine; on every host of a run across hosts a bench-agent
holds one.

bench-agent is started through the same launcher as the benchmark (ssh-started daemons,
hydra or srun), connects back to the runner (--connect HOST:PORT) and gets its host's
windows. Without a shared file system it sends its windows' results files back. Whatever it
leaves at the end (its Xvfb, ranks of the run) it stops.

Protocol (one JSON object a line): the runner sends a {"challenge"}, the agent says
{"hello"} with its proof of the run's secret (see channel.py), the runner answers with the
configuration; the agent says {"ready"} with the host's facts, then {"progress"} while it
works and {"done": phase} after each phase; {"error"} ends it.
"""

import argparse
import base64
import contextlib
import os
import socket
import sys
import time

from ..results.files import create_new
from ..results.layout import PROGRAMS
from . import limits, processes
from .channel import SECRET_VARIABLE, ChannelClosed, connect, proof
from .driver import DriveError, Timeouts, WindowDriver
from .gpu import gpus
from .machine import display_facts, machine_facts, raise_file_limit
from .displays import deal_windows
from .watchers import DisplayWatchers
from .window_processes import WindowProcesses
from .xvfb import Xvfb, XvfbError, x_authority
from .xwindows import WindowWatcher, XDisplayError

# Names the display file: the runner passes it to the agents and the ranks in their
# environment and publishes it nowhere (run.json names the run, not this).
DISPLAY_TAG_VARIABLE = "BENCH_DISPLAY_TAG"
REPORT_EVERY = 0.5
FAILURES = (DriveError, XDisplayError, XvfbError)


class Stop(Exception):
    pass


def display_file(tag):
    """Where a host keeps its display for the run's ranks (the host's own /tmp, shared with
    every user): named by the run's display tag, which no other user can know."""
    return "/tmp/bench-run-%s.display" % tag


def write_display_file(path, display, xauthority=""):
    """The display and its authority file, a line each, in a file made new for this user
    alone: a name planted there (a link, a FIFO) is an error, never followed or waited on."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(display + "\n" + xauthority + "\n")


def marker_name(run_id):
    """A file the runner puts in the run folder: an agent that sees it shares the folder."""
    return ".bench-run-%s" % run_id


class HostWindows:
    """The displays and the windows of one host. config: program, token, displays (the ones the
    user named, or None for an Xvfb of the host's own), screens (of that Xvfb), depth,
    screen (the side of its screens), the windows' rendering variables (env), their --wrap
    command (wrap, or None: their GL facts are read under it), timeouts and the host's
    windows, dealt over the displays in turn. check(driver) is called on every
    tick of the driver."""

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
        self.driver = WindowDriver(self.watcher, PROGRAMS[c["program"]], folder, self.windows,
                                   self.reporter, Timeouts(*c["timeouts"]), check) \
            if self.watcher else None
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

    def results_files(self):
        program = PROGRAMS[self.config["program"]]
        files = {}
        for name in sorted(os.listdir(self.folder)):
            if program.results_window(name) in self.windows:
                with open(os.path.join(self.folder, name), "rb") as f:
                    files[name] = base64.b64encode(f.read()).decode()
        return files


# ---------------------------------------------------------------- bench-agent

class ChannelReporter:
    """The driver's reporter on a remote host: sends the windows' state at most every half
    second and on every change of phase."""

    def __init__(self, channel):
        self.channel = channel
        self.last = 0.0
        self.last_phase = None
        self.state = None

    def show(self, phase, state, force=False):
        now = time.monotonic()
        if not force and phase == self.last_phase and now - self.last < REPORT_EVERY:
            return
        self.last, self.last_phase = now, phase
        if state != self.state or force:
            self.state = state
            self.channel.send({"progress": dict(state, phase=phase)})

    def say(self, text):
        self.channel.send({"note": text})


class Agent:
    def __init__(self, channel, config, stack, display_tag):
        self.channel = channel
        self.display_tag = display_tag
        self.host = HostWindows(config, stack, ChannelReporter(channel), self.check,
                                xvfb_log="xvfb-%s.log" % socket.gethostname())
        self.shared = True
        self.pending = []
        self.failed = False  # a phase failed: the windows are no longer driven

    def check(self, _driver):
        """Called on every tick of the driver: a stop ends the agent at once, other
        commands wait for the phase in hand to end."""
        messages = self.channel.receive()
        if any("stop" in m for m in messages):
            raise Stop()
        for message in messages:
            # Files are sent back at once, whatever phase the agent is in (after a failure
            # the runner wants what the windows wrote so far).
            if message.get("do") == "collect":
                self.channel.send(self.collect())
            else:
                self.pending.append(message)

    def collect(self):
        files = {} if self.shared or self.host.driver is None else self.host.results_files()
        return {"done": "collect", "files": files}

    def open(self, command):
        """A run into command["folder"]: the display started on the first (its log into
        command["log_folder"]), a driver for the run's windows."""
        folder = command["folder"]
        os.makedirs(folder, exist_ok=True)
        self.shared = os.path.exists(os.path.join(folder, os.path.basename(command["marker"])))
        first = self.host.watcher is None
        facts = self.host.open(command["log_folder"] if self.shared else folder)
        if first and self.display_tag:
            path = display_file(self.display_tag)
            write_display_file(path, facts["display"] or "",
                               self.host.windows_env(None).get("XAUTHORITY", ""))
            self.host.stack.callback(os.unlink, path)
        self.host.begin(folder)
        return {"done": "open", "facts": facts, "shared": self.shared}

    def run(self):
        """Serves the runner's commands until it says stop. A phase that fails is reported
        (the runner then stops the run), and the agent stays to send back what the windows
        wrote until then."""
        self.channel.send({"ready": self.host.facts()})
        while True:
            try:  # the windows are driven while the next command is awaited, too
                command = self.next_command()
                do = command["do"]
                reply = self.collect() if do == "collect" else self.open(command) \
                    if do == "open" else self.host.perform(command)
            except FAILURES as e:
                self.failed = True
                reply = {"error": "%s: %s" % (socket.gethostname(), e)}
            self.channel.send(reply)

    def next_command(self):
        while not self.pending:
            if self.host.driver is not None and not self.failed:
                self.host.driver.tick(0.2)
            else:
                message = self.channel.wait(0.2)
                if message is not None:
                    self.pending.append(message)
        message = self.pending.pop(0)
        if "stop" in message:
            raise Stop()
        return message


def build_parser():
    p = argparse.ArgumentParser(prog="bench-agent",
                                description="bench-run's helper on each host of a run across "
                                            "hosts (started by bench-run itself).")
    p.add_argument("--connect", required=True, metavar="HOST:PORT",
                   help="the runner to connect to, which sends what to start")
    return p


def main(argv=None):
    args = build_parser().parse_args(argv)
    index = processes.launcher_rank(os.environ)
    secret = os.environ.pop(SECRET_VARIABLE, "")  # not passed on to what the agent starts
    display_tag = os.environ.pop(DISPLAY_TAG_VARIABLE, "")
    raise_file_limit()  # for its Xvfb, a file for every window's connection
    try:
        channel = connect(args.connect)
    except OSError as e:
        print("bench-agent on %s: cannot reach the runner at %s: %s"
              % (socket.gethostname(), args.connect, e), file=sys.stderr)
        return 1
    token = None
    try:
        challenge = channel.wait(60)
        if challenge is None or not isinstance(challenge.get("challenge"), str):
            return 1
        channel.send({"hello": index, "host": socket.gethostname(), "pid": os.getpid(),
                      "proof": proof(secret, challenge["challenge"])})
        config = channel.wait(120)
        if config is None or "config" not in config:
            return 1
        config = config["config"]
        token = config["token"]
        with contextlib.ExitStack() as stack:
            Agent(channel, config, stack, display_tag).run()
        return 0
    except Stop:
        return 0
    except FAILURES + (OSError,) as e:
        with contextlib.suppress(ChannelClosed):
            channel.send({"error": "%s: %s" % (socket.gethostname(), e)})
        return 1
    except ChannelClosed:
        return 1
    finally:
        # The run's ranks on this host, whatever happened (they carry the run's tag).
        if token:
            processes.stop_tagged(token, grace=3.0)
        channel.close()
