"""The hosts of a run across hosts: one bench-agent per host, started through the same
launcher as the benchmark, that connects back over TCP, proves that it holds the run's
secret and serves its host's share of the run (hosts/agent.py)."""

import base64
import contextlib
import os
import secrets
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from ..hosts import hostfile as H
from ..hosts import processes
from ..hosts.agent import DISPLAY_TAG_VARIABLE, marker_name
from ..hosts.channel import SECRET_VARIABLE, ChannelClosed, own_address
from ..hosts.handshake import ROOM, Door
from ..results.files import create_new
from . import plan as planning
from .fleet import PHASES, TICK, ClusterError, Fleet

AGENT = os.path.join(planning.SOURCE_DIR, "tools", "bench-agent")


def write_files(folder, files):
    """Files an agent brought back ({name: base64}); one already there is kept."""
    for name, data in files.items():
        path = os.path.join(folder, os.path.basename(name))
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(base64.b64decode(data))


class AgentFleet(Fleet):
    """The agents' connections, by host."""

    def __init__(self, plan, progress, stack):
        super().__init__(plan, progress, stack)
        # Only the address the hosts reach us at, and only agents that hold the run's secret.
        self.host_address = own_address(plan.placement)
        try:
            self.server = socket.create_server((self.host_address, 0))
        except OSError:
            self.server = socket.create_server(("", 0))
        stack.callback(self.server.close)
        self.secret = secrets.token_hex(32)
        self.door = Door(self.server, self.secret, self.progress.say,
                         room=ROOM + len(plan.placement))
        self.channels = {}
        self.wake = []          # more to wait on: the benchmark launcher's exit
        self.collected = False
        self.launcher = None
        # The agents' hostfile and log live in a folder of the runner's own until the run's
        # folder exists: the agents are asked for their facts before anything is made.
        self.private = tempfile.mkdtemp(prefix="bench-run-agents-")
        stack.callback(shutil.rmtree, self.private, ignore_errors=True)
        self.log_home = None    # where agents.log is kept at the end

    @property
    def address(self):
        return "%s:%d" % (self.host_address, self.server.getsockname()[1])

    @property
    def launch_display(self):
        return self.plan.displays[0] if self.plan.displays else ":0"

    def launch_env(self):
        return {"DISPLAY": self.launch_display}

    own_xvfb = set()  # the agents' Xvfbs are theirs to stop

    def watch(self, stack, launcher):
        """A descriptor that becomes readable when the launcher ends (Linux 5.3 and later)."""
        try:
            fd = os.pidfd_open(launcher.pid)
        except (AttributeError, OSError):
            return
        stack.callback(os.close, fd)
        self.wake = [fd]

    def log_tail(self, lines=8):
        """The last lines the agents' launcher printed."""
        try:
            with open(os.path.join(self.private, "agents.log"), errors="replace") as f:
                text = f.read().strip().splitlines()
        except OSError:
            return ""
        return (": " + " | ".join(text[-lines:])) if text else ""

    def gather_facts(self):
        """Starts an agent on every host; each says what its host is."""
        plan = self.plan
        names = list(plan.placement)
        hostfile = None
        if not plan.slurm:
            hostfile = os.path.join(self.private, "agents-hostfile")
            with open(hostfile, "w") as f:
                f.write(H.format_hostfile([H.Host(n, 1) for n in names], plan.mpi))
        argv = planning.launch_argv(
            plan, [AGENT, "--connect", self.address], len(names), hostfile,
            {"PATH": os.environ.get("PATH", "/usr/bin:/bin")},
            # the run folder does not exist yet, and may never on the other hosts
            "/", ["-N", str(len(names)), "--ntasks-per-node=1", "--overlap"],
            forward=[SECRET_VARIABLE, DISPLAY_TAG_VARIABLE])
        if plan.slurm:  # the agents are no MPI job
            argv = [x if not x.startswith("--mpi=") else "--mpi=none" for x in argv]
        env = {k: v for k, v in plan.env.items() if k != processes.TAG_VARIABLE}
        env[SECRET_VARIABLE] = self.secret
        log = self.stack.enter_context(open(os.path.join(self.private, "agents.log"), "wb"))
        try:
            self.launcher = subprocess.Popen(argv, cwd="/", env=env, stdout=log,
                                             stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL, start_new_session=True,
                                             preexec_fn=processes.die_with_parent)
        except OSError as e:
            raise ClusterError("cannot start the agents with %s: %s" % (argv[0], e)) from None
        self.stack.callback(self.stop)
        self.accept(names)
        for host, channel in self.channels.items():
            channel.send({"config": plan.host_config(self.host_plan(host))})
        for host, reply in self.gather("ready", plan.args.appear_timeout).items():
            self.facts[host] = reply["ready"]
        return self.facts

    def host_plan(self, name):
        return next(h for h in self.plan.hosts if h.name == name)

    def open(self, folder, log_folder, run_id):
        """Every host's display (started on the first run) and a driver for the run into
        `folder`; a host that finds the runner's marker there shares the folder."""
        self.begin_run(folder)
        self.collected = False
        if self.log_home is None:
            self.log_home = log_folder
        marker = marker_name(run_id)
        with create_new(os.path.join(folder, marker)):
            pass
        for channel in self.channels.values():
            channel.send({"do": "open", "folder": folder, "log_folder": log_folder,
                          "marker": marker})
        self.shared = True
        for host, reply in self.gather("open", self.plan.args.appear_timeout).items():
            self.facts[host].update(reply["facts"])
            self.shared = self.shared and reply.get("shared", False)

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
            missing = [n for n in names if n not in self.channels]
            if self.launcher.poll() is not None:
                raise ClusterError("the agents' launcher ended with status %d before the "
                                   "agent on %s had connected%s"
                                   % (self.launcher.returncode, ", ".join(missing),
                                      self.log_tail()), missing)
            if time.monotonic() > deadline:
                raise ClusterError("no agent connected from %s within %g s%s"
                                   % (", ".join(missing), self.plan.args.appear_timeout,
                                      self.log_tail()), missing)
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
                raise ClusterError(str(e), [host]) from None
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
                silent = [h for h in self.channels if h not in answers]
                raise ClusterError("no answer from %s within %g s while %s"
                                   % (", ".join(silent), timeout, self.phase), silent)
        return answers

    def tick(self, timeout, check):
        self.listen(timeout, self.channels)
        check(self)

    def take(self, host, message):
        if "error" in message:
            raise ClusterError(str(message["error"]), [host])
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
        folder = self.folder
        timeout = 15.0 if failed else 120.0
        pending = {}
        for host, channel in self.channels.items():
            try:
                channel.send({"do": "collect"})
                pending[host] = channel
            except ChannelClosed:
                if not failed:
                    raise ClusterError("the agent on %s is gone" % host, [host]) from None
        deadline = time.monotonic() + timeout
        while pending and time.monotonic() < deadline:
            select.select(list(pending.values()), [], [], TICK)
            for host, channel in list(pending.items()):
                try:
                    messages = channel.receive()
                except ChannelClosed as e:
                    if not failed:
                        raise ClusterError(str(e), [host]) from None
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
                               % (", ".join(pending), timeout), list(pending))
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
        processes.stop_process(self.launcher)
        if self.log_home:
            with contextlib.suppress(OSError):
                shutil.copyfile(os.path.join(self.private, "agents.log"),
                                os.path.join(self.log_home, "agents.log"))
