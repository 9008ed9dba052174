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

from ..results.layout import PROGRAMS
from . import limits, placement, processes
from .channel import SECRET_VARIABLE, ChannelClosed, connect, proof
from .driver import DriveError, Timeouts, WindowDriver
from .machine import host_facts
from .xvfb import Xvfb, XvfbError
from .xwindows import WindowWatcher, XDisplayError

RANK_VARIABLES = ("OMPI_COMM_WORLD_RANK", "PMI_RANK", "SLURM_PROCID")
REPORT_EVERY = 0.5
FAILURES = (DriveError, XDisplayError, XvfbError)


class Stop(Exception):
    pass


def display_file(token):
    """Where a host keeps its display for the run's ranks (the host's own /tmp)."""
    return "/tmp/bench-run-%s.display" % token


def marker_name(token):
    """A file the runner puts in the run folder: an agent that sees it shares the folder."""
    return ".bench-run-%s" % token


def agent_index(environ):
    for name in RANK_VARIABLES:
        if environ.get(name, "").isdigit():
            return int(environ[name])
    return None


class HostWindows:
    """The display and the windows of one host. config: program, out, display, depth,
    timeouts and the host's windows. check(driver) is called on every tick of the driver."""

    def __init__(self, config, stack, reporter, check, xvfb_log="xvfb.log", xvfb_env=None):
        self.config = config
        self.stack = stack
        self.reporter = reporter
        self.check = check
        self.windows = config["windows"]
        self.xvfb_log = xvfb_log
        self.xvfb_env = xvfb_env
        self.xvfb = None
        self.watcher = None
        self.driver = None

    def open(self):
        """Starts or opens the display; returns the host's facts."""
        c = self.config
        display = c["display"]
        if self.windows and not display:
            size = placement.own_screen(self.windows, c["depth"] or 24)
            log = self.stack.enter_context(open(os.path.join(c["out"], self.xvfb_log), "wb"))
            self.xvfb = self.stack.enter_context(
                Xvfb(size, size, c["depth"] or 24, env=self.xvfb_env, log=log,
                     max_clients=limits.xvfb_max_clients(len(self.windows))))
            display = self.xvfb.display
            # This process's X clients (the watcher, glxinfo) and the launcher it starts show
            # the server's cookie.
            os.environ.update(self.xvfb.client_env)
        if display:
            self.watcher = self.stack.enter_context(WindowWatcher(display))
            self.driver = WindowDriver(self.watcher, PROGRAMS[c["program"]], c["out"],
                                       self.windows, self.reporter, Timeouts(*c["timeouts"]),
                                       self.check)
        facts = host_facts(display, self.watcher.screen_size() if self.watcher else None)
        facts["xvfb_pid"] = self.xvfb.pid if self.xvfb else None
        facts["x_clients"] = self.watcher.clients() if self.watcher else None
        return facts

    def titles_shown(self):
        """Titles of the program's windows that the display already shows (another run)."""
        program = PROGRAMS[self.config["program"]]
        return sorted(t for t in self.watcher.existing_titles().values()
                      if program.window_from_title(t) is not None)

    def perform(self, command):
        """One phase the runner ordered; returns the reply."""
        d = self.driver
        phase = command["do"]
        reply = {"done": phase}
        if d is None:
            return reply
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
        d.show(force=True)
        return reply

    def results_files(self):
        program = PROGRAMS[self.config["program"]]
        files = {}
        for name in sorted(os.listdir(self.config["out"])):
            if program.results_window(name) in self.windows:
                with open(os.path.join(self.config["out"], name), "rb") as f:
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
    def __init__(self, channel, config, stack):
        self.channel = channel
        self.host = HostWindows(config, stack, ChannelReporter(channel), self.check,
                                xvfb_log="xvfb-%s.log" % socket.gethostname())
        self.shared = True
        self.pending = []

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

    def run(self):
        c = self.host.config
        os.makedirs(c["out"], exist_ok=True)
        self.shared = os.path.exists(os.path.join(c["out"], marker_name(c["token"])))
        facts = self.host.open()
        path = display_file(c["token"])
        with open(path, "w") as f:
            f.write((facts["display"] or "") + "\n" + os.environ.get("XAUTHORITY", "") + "\n")
        self.host.stack.callback(os.unlink, path)
        self.channel.send({"ready": facts, "shared": self.shared})
        while True:
            command = self.next_command()
            reply = self.collect() if command["do"] == "collect" else \
                self.host.perform(command)
            self.channel.send(reply)

    def next_command(self):
        while not self.pending:
            if self.host.driver is not None:
                self.host.driver.tick(0.2)
            else:
                message = self.channel.wait(0.2)
                if message is not None:
                    self.pending.append(message)
        message = self.pending.pop(0)
        if "stop" in message:
            raise Stop()
        return message


def main(argv=None):
    p = argparse.ArgumentParser(prog="bench-agent",
                                description="bench-run's helper on each host of a run across "
                                            "hosts (started by bench-run itself).")
    p.add_argument("--connect", required=True, metavar="HOST:PORT")
    args = p.parse_args(argv)
    index = agent_index(os.environ)
    secret = os.environ.pop(SECRET_VARIABLE, "")  # not passed on to what the agent starts
    limits.raise_file_limit()  # for its Xvfb, a file for every window's connection
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
            Agent(channel, config, stack).run()
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
