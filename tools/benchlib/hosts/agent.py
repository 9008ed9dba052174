"""bench-agent, which serves one host's share of a run (host_windows.HostWindows) to the
runner over TCP.

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
import contextlib
import os
import socket
import sys
import time

from . import processes
from .channel import SECRET_VARIABLE, ChannelClosed, connect, proof
from .host_windows import (DISPLAY_TAG_VARIABLE, FAILURES, HostWindows, display_file,
                           write_display_file)
from .machine import raise_file_limit

REPORT_EVERY = 0.5


class Stop(Exception):
    pass


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
                if do == "pictures" and not self.shared:
                    reply["files"] = self.host.picture_files(reply["pictures"])
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
