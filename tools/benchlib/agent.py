"""bench-agent: bench-run's helper on each host of a run across hosts.

bench-run starts one agent per host through the same launcher as the benchmark (ssh-started
daemons, hydra or srun); each connects back to the runner (--connect HOST:PORT) and gets its
host's windows. It starts the host's display (an Xvfb as large as its windows need, ready
once a client has connected) unless the run names one, drives its windows with the same
WindowDriver as a run on one machine, on the runner's word (start, step or animate, end),
and reports its frame counts. Without a shared file system it sends its windows' results
files back. Whatever it leaves at the end (its Xvfb, ranks of the run) it stops.

Protocol (one JSON object a line): the agent says {"hello"}, the runner answers with the
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

from . import preflight, processes, runinfo
from . import results as R
from .channel import ChannelClosed, connect
from .driver import DriveError, Timeouts, WindowDriver
from .xwindows import XDisplayError, WindowWatcher

RANK_VARIABLES = ("OMPI_COMM_WORLD_RANK", "PMI_RANK", "SLURM_PROCID")
REPORT_EVERY = 0.5


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


class Reporter:
    """Stands in for the driver's progress: sends the frame counts, at most every half
    second and on every change of phase."""

    def __init__(self, channel, driver_ref):
        self.channel = channel
        self.driver_ref = driver_ref
        self.last = 0.0
        self.last_phase = None
        self.state = None

    def show(self, phase, _text, force=False):
        now = time.monotonic()
        if not force and phase == self.last_phase and now - self.last < REPORT_EVERY:
            return
        d = self.driver_ref()
        state = {"frames": {str(w): d.frames(w) for w in d.windows},
                 "last": {str(w): f.last_frame_time for w, f in d.followers.items()},
                 "appeared": sorted(d.ids),
                 "summaries": sorted(w for w, f in d.followers.items() if f.summary)}
        self.last, self.last_phase = now, phase
        if state != self.state or force:
            self.state = state
            self.channel.send({"progress": state})

    def say(self, text):
        self.channel.send({"note": text})

    def end_line(self):
        pass


class Agent:
    def __init__(self, channel, config, stack):
        self.channel = channel
        self.config = config
        self.stack = stack
        self.windows = config["windows"]
        self.out = config["out"]
        self.shared = True
        self.driver = None
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
                self.channel.send(self.perform(message))
            else:
                self.pending.append(message)

    def start_display(self):
        c = self.config
        if not self.windows:
            return None
        if c["display"]:
            return c["display"]
        size = preflight.screen_needed(max(self.windows))
        log = self.stack.enter_context(
            open(os.path.join(self.out, "xvfb-%s.log" % socket.gethostname()), "wb"))
        xvfb = self.stack.enter_context(processes.Xvfb(size, size, c["depth"] or 24, log=log))
        return xvfb.display

    def facts(self, display, watcher):
        glx = runinfo.glx_info(dict(os.environ, DISPLAY=display)) if display else {}
        return {"name": socket.gethostname(), "cpu_model": runinfo.cpu_model(),
                "cores": os.cpu_count(), "memory_bytes": preflight.meminfo_bytes("MemTotal"),
                "gl_renderer": glx.get("renderer"), "gl_version": glx.get("version"),
                "display": display, "screen": watcher.screen_size() if watcher else None,
                "mem_available": preflight.mem_available()}

    def run(self):
        c = self.config
        os.makedirs(self.out, exist_ok=True)
        self.shared = shared = os.path.exists(os.path.join(self.out, marker_name(c["token"])))
        display = self.start_display()
        path = display_file(c["token"])
        with open(path, "w") as f:
            f.write((display or "") + "\n")
        self.stack.callback(os.unlink, path)
        watcher = self.stack.enter_context(WindowWatcher(display)) if display else None
        self.channel.send({"ready": self.facts(display, watcher), "shared": shared})
        if watcher:
            program = R.PROGRAMS[c["program"]]
            self.driver = WindowDriver(watcher, program, self.out, self.windows,
                                       Timeouts(*c["timeouts"]),
                                       Reporter(self.channel, lambda: self.driver), self.check,
                                       frames_target=c["frames"])
        while True:
            command = self.next_command()
            self.channel.send(self.perform(command))

    def next_command(self):
        while not self.pending:
            if self.driver is not None:
                self.driver.tick(0.2)
            else:
                message = self.channel.wait(0.2)
                if message is not None:
                    self.pending.append(message)
        message = self.pending.pop(0)
        if "stop" in message:
            raise Stop()
        return message

    def perform(self, command):
        d = self.driver
        phase = command["do"]
        reply = {"done": phase}
        if phase == "collect":
            reply["files"] = {} if self.shared or d is None else self.results_files()
            return reply
        if d is None:
            return reply
        if phase == "start":
            d.wait_for_windows()
            reply["visuals"] = {str(w): d.watcher.window_info(d.ids[w]) for w in d.windows}
            d.wait_for_initialisation()
            d.settle()
            reply["early"] = {str(w): d.frames(w) for w in d.windows}
        elif phase == "step":
            reply["too_many"] = d.step_frames(command["frames"])
        elif phase == "animate":
            d.animate_for(command["seconds"])
        elif phase == "end":
            d.end_windows()
        d.show(force=True)
        return reply

    def results_files(self):
        program = R.PROGRAMS[self.config["program"]]
        files = {}
        for name in sorted(os.listdir(self.out)):
            if program.results_window(name) in self.windows:
                with open(os.path.join(self.out, name), "rb") as f:
                    files[name] = base64.b64encode(f.read()).decode()
        return files


def main(argv=None):
    p = argparse.ArgumentParser(prog="bench-agent", description=__doc__.split("\n\n")[0])
    p.add_argument("--connect", required=True, metavar="HOST:PORT")
    args = p.parse_args(argv)
    index = agent_index(os.environ)
    try:
        channel = connect(args.connect)
    except OSError as e:
        print("bench-agent on %s: cannot reach the runner at %s: %s"
              % (socket.gethostname(), args.connect, e), file=sys.stderr)
        return 1
    token = None
    try:
        channel.send({"hello": index, "host": socket.gethostname(), "pid": os.getpid()})
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
    except (DriveError, XDisplayError, processes.XvfbError, OSError) as e:
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
