"""The hosts of a run as the runner sees them: one phase at a time, every host together.

A run on this machine has one host, served in the runner's own process (OwnHost); a run
across hosts has one bench-agent per host, started through the same launcher as the
benchmark, that connects back over TCP (Agents). Both take the same orders (start, step,
animate, end), report the same window state and are checked by the same check(hosts), so a
run goes through one set of phases whatever its hosts. The runner only waits on the agents'
connections, the launcher and its own display (select with a timeout), so that it takes
next to no CPU from the windows.
"""

import base64
import os
import secrets
import select
import signal
import socket
import subprocess
import time

from ..hosts import hostfile as H
from ..hosts import processes
from ..hosts.agent import DISPLAY_TAG_VARIABLE, HostWindows, marker_name
from ..hosts.channel import SECRET_VARIABLE, ChannelClosed, own_address
from ..hosts.handshake import ROOM, Door
from . import plan as planning
from . import preflight
from . import progress as P

AGENT = os.path.join(planning.SOURCE_DIR, "tools", "bench-agent")
TICK = 0.5
# The phase a host is in while it carries out each order.
PHASES = {"start": "waiting for windows", "step": "stepping", "animate": "starting to animate",
          "animate_for": "animating", "end": "ending"}


class ClusterError(Exception):
    pass


class Hosts:
    """What every kind of host keeps: the windows' state and the progress line."""

    def __init__(self, plan, progress):
        self.plan = plan
        self.progress = progress
        self.frames, self.last, self.appeared, self.summaries = {}, {}, set(), set()
        self.facts = {}            # host -> machine.host_facts of it
        self.shared = True         # every host writes into the run folder itself
        self.phase = "starting"    # the phase the runner ordered
        self.shown_phase = None    # the finer phase the hosts report
        self.started = time.monotonic()
        self.taken = None          # the last state taken
        self.version = 0           # counts the states taken

    def watch(self, stack, launcher):
        """Wakes a wait as soon as the benchmark's launcher ends, where a host waits on more
        than its own display."""

    def order(self, phase):
        """The runner's next phase; the hosts' finer phases follow as they report."""
        self.phase = phase
        self.shown_phase = None

    def take_state(self, state, phase=None):
        """A host's state of its windows (keyed by window number); one taken before is
        passed over."""
        if state is not self.taken:
            self.taken = state
            self.version += 1
            self.frames.update(state["frames"])
            self.last.update(state["last"])
            self.appeared.update(state["appeared"])
            self.summaries.update(state["summaries"])
        self.shown_phase = phase

    def render(self, force=False):
        """The progress line, made only when it may be shown and something in it changed."""
        phase = self.shown_phase or self.phase
        elapsed = time.monotonic() - self.started

        def line():
            counts = P.window_counts(self.plan.windows, self.frames, self.plan.args.frames,
                                     self.last, self.appeared)
            return P.progress_line(phase, elapsed, counts)
        self.progress.show_made(phase, (phase, "%.0f" % elapsed, self.version), line, force)


class OwnHost(Hosts):
    """The runner's own machine, its windows driven in the runner's process."""

    def __init__(self, plan, progress):
        super().__init__(plan, progress)
        self.host = None
        self.check = None

    # The driver's reporter.
    def show(self, phase, state, force=False):
        self.take_state(state, phase)
        self.render(force)

    def say(self, text):
        self.progress.say(text)

    def start(self, stack):
        plan = self.plan
        self.host = HostWindows(plan.host_config(plan.windows), stack, self,
                                lambda _driver: self.check and self.check(self),
                                xvfb_env=plan.env)
        facts = self.host.open()
        if plan.args.display:
            preflight.check_display(plan, facts, self.host.titles_shown())
        self.facts = {facts["name"]: facts}

    @property
    def launch_display(self):
        return self.host.watcher.display_name

    def command(self, do, _timeout, check, **fields):
        self.order(PHASES[do])
        self.check = check
        return {name: self.host.perform(dict(fields, do=do)) for name in self.facts}

    def tick(self, timeout, check):
        self.check = check
        self.host.driver.tick(timeout)

    def collect(self, failed=False):
        """The windows wrote into the run folder itself: nothing to bring back."""


def write_files(folder, files):
    """Files an agent brought back ({name: base64}); one already there is kept."""
    for name, data in files.items():
        path = os.path.join(folder, os.path.basename(name))
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(base64.b64decode(data))


class Agents(Hosts):
    """The agents' connections, by host."""

    def __init__(self, plan, progress):
        super().__init__(plan, progress)
        # Only the address the hosts reach us at, and only agents that hold the run's secret.
        self.host_address = own_address(plan.placement)
        try:
            self.server = socket.create_server((self.host_address, 0))
        except OSError:
            self.server = socket.create_server(("", 0))
        self.secret = secrets.token_hex(32)
        self.door = Door(self.server, self.secret, self.progress.say,
                         room=ROOM + len(plan.placement))
        self.channels = {}
        self.wake = []          # more to wait on: the benchmark launcher's exit
        self.collected = False

    @property
    def address(self):
        return "%s:%d" % (self.host_address, self.server.getsockname()[1])

    @property
    def launch_display(self):
        return self.plan.args.display or ":0"

    def watch(self, stack, launcher):
        """A descriptor that becomes readable when the launcher ends (Linux 5.3 and later)."""
        try:
            fd = os.pidfd_open(launcher.pid)
        except (AttributeError, OSError):
            return
        stack.callback(os.close, fd)
        self.wake = [fd]

    def start(self, stack):
        plan = self.plan
        names = list(plan.placement)
        with open(os.path.join(plan.out, marker_name(plan.token)), "w"):
            pass
        hostfile = None
        if not plan.slurm:
            hostfile = os.path.join(plan.out, ".agents-hostfile")
            with open(hostfile, "w") as f:
                f.write(H.format_hostfile([H.Host(n, 1) for n in names], plan.mpi))
        argv = planning.launch_argv(
            plan, [AGENT, "--connect", self.address], len(names), hostfile,
            {"PATH": os.environ.get("PATH", "/usr/bin:/bin")},
            # the run folder may not exist yet on the other hosts
            "/", ["-N", str(len(names)), "--ntasks-per-node=1", "--overlap"],
            forward=[SECRET_VARIABLE, DISPLAY_TAG_VARIABLE])
        if plan.slurm:  # the agents are no MPI job
            argv = [x if not x.startswith("--mpi=") else "--mpi=none" for x in argv]
        env = {k: v for k, v in plan.env.items() if k != processes.TAG_VARIABLE}
        env[SECRET_VARIABLE] = self.secret
        log = stack.enter_context(open(os.path.join(plan.out, "agents.log"), "wb"))
        try:
            self.launcher = subprocess.Popen(argv, cwd=plan.out, env=env, stdout=log,
                                             stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL, start_new_session=True,
                                             preexec_fn=processes.die_with_parent)
        except OSError as e:
            raise ClusterError("cannot start the agents with %s: %s" % (argv[0], e)) from None
        stack.callback(self.stop)
        self.accept(names)
        for host, channel in self.channels.items():
            channel.send({"config": plan.host_config(plan.placement[host])})
        for host, reply in self.gather("ready", plan.args.appear_timeout).items():
            self.facts[host] = reply["ready"]
            self.shared = self.shared and reply.get("shared", False)
        preflight.check_hosts(plan, self.facts)

    def accept(self, names):
        """Every host's agent, each proving that it holds the run's secret: a connection
        that cannot is closed with a note and the run goes on."""
        deadline = time.monotonic() + self.plan.args.appear_timeout
        while len(self.channels) < len(names):
            for hello, channel in self.door.admit(TICK):
                index = hello.get("hello")
                if not isinstance(index, int) or not 0 <= index < len(names) \
                        or names[index] in self.channels:
                    raise ClusterError("an agent on %s did not know its place (%r)"
                                       % (hello.get("host"), index))
                host = names[index]
                channel.name = "the agent on %s" % host
                self.channels[host] = channel
            if self.launcher.poll() is not None:
                raise ClusterError("the agents' launcher ended with status %d before every "
                                   "agent had connected (see agents.log)"
                                   % self.launcher.returncode)
            if time.monotonic() > deadline:
                missing = [n for n in names if n not in self.channels]
                raise ClusterError("no agent connected from %s within %g s (see agents.log)"
                                   % (", ".join(missing), self.plan.args.appear_timeout))
        self.door.close_pending("every agent had connected")

    def command(self, do, timeout, check, **fields):
        self.order(PHASES[do])
        for channel in self.channels.values():
            channel.send(dict(fields, do=do))
        return self.gather(do, timeout, check)

    def listen(self, timeout, waiting):
        """Takes what the agents in `waiting` have sent within timeout; {host: [messages]}.
        A connection to the agents' port now comes from a stranger: it is closed."""
        ready, _, _ = select.select(list(waiting.values()) + self.wake + [self.server], [], [],
                                    timeout)
        # Once the launcher has ended its descriptor stays readable: wait on it once.
        self.wake = [fd for fd in self.wake if fd not in ready]
        if self.server in ready:
            self.door.turn_away_newcomer()
        received = {}
        for host, channel in waiting.items():
            try:
                received[host] = channel.receive()
            except ChannelClosed as e:
                raise ClusterError(str(e)) from None
            for message in received[host]:
                self.take(host, message)
        return received

    def gather(self, what, timeout, check=None):
        """Every agent's answer to `what` ("ready", or a phase it was told to do)."""
        answers = {}
        deadline = time.monotonic() + timeout
        while len(answers) < len(self.channels):
            waiting = {h: c for h, c in self.channels.items() if h not in answers}
            for host, messages in self.listen(TICK, waiting).items():
                for message in messages:
                    if message.get("done") == what or what in message:
                        answers[host] = message
            if check:
                check(self)
            self.render()
            if time.monotonic() > deadline:
                raise ClusterError("no answer from %s within %g s while %s"
                                   % (", ".join(h for h in self.channels if h not in answers),
                                      timeout, self.phase))
        return answers

    def tick(self, timeout, check):
        self.listen(timeout, self.channels)
        check(self)

    def take(self, host, message):
        if "error" in message:
            raise ClusterError(message["error"])
        if "note" in message:
            self.progress.say("%s: %s" % (host, message["note"]))
        update = message.get("progress")
        if update:  # JSON's keys are text
            update["frames"] = {int(w): n for w, n in update["frames"].items()}
            update["last"] = {int(w): t for w, t in update["last"].items()}
            self.take_state(update, update.get("phase"))

    def collect(self, failed=False):
        """Results files of hosts that do not share the run folder, into it. After a failure
        (failed=True) whatever the hosts still reachable have, within a shorter time and
        without raising."""
        if self.shared or self.collected:
            return
        folder = self.plan.out
        timeout = 15.0 if failed else 120.0
        pending = {}
        for host, channel in self.channels.items():
            try:
                channel.send({"do": "collect"})
                pending[host] = channel
            except ChannelClosed:
                if not failed:
                    raise ClusterError("the agent on %s is gone" % host) from None
        deadline = time.monotonic() + timeout
        while pending and time.monotonic() < deadline:
            select.select(list(pending.values()), [], [], TICK)
            for host, channel in list(pending.items()):
                try:
                    messages = channel.receive()
                except ChannelClosed as e:
                    if not failed:
                        raise ClusterError(str(e)) from None
                    del pending[host]
                    continue
                for message in messages:
                    if message.get("done") == "collect":
                        write_files(folder, message.get("files", {}))
                        pending.pop(host, None)
                    elif not failed:
                        self.take(host, message)
        if pending and not failed:
            raise ClusterError("no results files from %s within %g s"
                               % (", ".join(pending), timeout))
        self.collected = True

    def stop(self):
        for channel in self.channels.values():
            try:
                channel.send({"stop": True})
            except ChannelClosed:
                pass
        deadline = time.monotonic() + 15
        while self.launcher.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        processes.signal_all(processes.tagged_processes(None, session=self.launcher.pid),
                             signal.SIGTERM)
        for channel in self.channels.values():
            channel.close()
        self.door.close_pending("the run ended")
        self.server.close()
        processes.stop_process(self.launcher)
