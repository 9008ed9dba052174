"""bench-run across hosts: the hosts and windows of a run, the agents on every host and the
launch of the benchmark itself.

The hosts come from --hostfile (in the syntax of the build's MPI) or, inside a Slurm
allocation, from Slurm. One agent per host (tools/bench-agent) is started through the same
launcher as the benchmark and connects back to the runner over TCP; the runner only waits
on those connections, the launcher and console.log (select with a timeout, no polling loop
of its own), so that it takes next to no CPU from the windows.
"""

import base64
import os
import select
import signal
import socket
import subprocess
import time

from . import hosts as H
from . import preflight, processes
from . import progress as P
from .channel import Channel, ChannelClosed

AGENT = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(__file__))),
                     "bench-agent")
TICK = 0.5


class ClusterError(Exception):
    pass


def run_hosts(args, mpi, environ):
    """[Host] of a run across hosts, or None for a run on this machine alone."""
    try:
        if args.hostfile:
            return H.read_hostfile(args.hostfile, mpi)
        if environ.get("SLURM_JOB_NODELIST"):
            return H.slurm_hosts(environ["SLURM_JOB_NODELIST"],
                                 environ.get("SLURM_TASKS_PER_NODE", "1"))
    except H.HostfileError as e:
        raise preflight.Refusal(str(e)) from None
    return None


def placement(hosts, windows):
    """{host: [windows]} for every host of the run (the first one may hold only the console)."""
    try:
        by_host = H.windows_by_host(hosts, windows)
    except H.HostfileError as e:
        raise preflight.Refusal(str(e)) from None
    ranked = H.rank_hosts(hosts, windows)
    return {name: by_host.get(name, []) for name in dict.fromkeys(ranked)}


def rank_program(program_path, token, own_display):
    """The benchmark as every rank starts it: with the display its host's agent started."""
    if not own_display:
        return [program_path]
    from .agent import display_file
    return ["/bin/sh", "-c", 'DISPLAY=$(cat %s 2>/dev/null); export DISPLAY; exec "$0" "$@"'
            % display_file(token), program_path]


def launch_argv(plan, flavour, program, ranks, hostfile, env, cwd, slurm_extra=()):
    a = plan.args
    argv = H.launch_command(flavour, program, ranks, hostfile=hostfile,
                            agent=a.launcher_agent, env=env, launcher=plan.launcher_for_hosts,
                            slurm=plan.slurm, cwd=cwd)
    if plan.slurm and slurm_extra:
        argv[1:1] = list(slurm_extra)
    return argv


def own_address(host_names):
    """This host's address as the other hosts reach it: the local end of a route to one of
    them (a UDP socket's connect sends nothing). A host's name may resolve to a loopback
    address on the host itself (Debian's 127.0.1.1), which no other host can use."""
    me = socket.gethostname()
    for name in host_names:
        if name == me:
            continue
        try:
            peer = socket.getaddrinfo(name, 9, socket.AF_INET, socket.SOCK_DGRAM)[0][4]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.connect(peer)
                address = probe.getsockname()[0]
        except OSError:
            continue
        if not address.startswith("127."):
            return address
    return me


class Agents:
    """The agents' connections, by host."""

    def __init__(self, plan, progress):
        self.plan = plan
        self.progress = progress
        self.server = socket.create_server(("", 0))
        self.channels = {}
        self.facts = {}
        self.frames, self.last, self.appeared, self.summaries = {}, {}, set(), set()
        self.shared = True
        self.phase = "starting agents"
        self.started = time.monotonic()
        self.wake = []          # more to wait on: the benchmark launcher's exit

    @property
    def address(self):
        return "%s:%d" % (own_address(self.plan.placement), self.server.getsockname()[1])

    def start(self, stack, env):
        plan = self.plan
        names = list(plan.placement)
        hostfile = None
        if not plan.slurm:
            hostfile = os.path.join(plan.out, ".agents-hostfile")
            with open(hostfile, "w") as f:
                f.write(H.format_hostfile([H.Host(n, 1) for n in names], plan.mpi))
        argv = launch_argv(plan, plan.mpi, [AGENT, "--connect", self.address], len(names),
                           hostfile, {"PATH": os.environ.get("PATH", "/usr/bin:/bin")},
                           # the run folder may not exist yet on the other hosts
                           "/", ["-N", str(len(names)), "--ntasks-per-node=1", "--overlap"])
        if plan.slurm:  # the agents are no MPI job
            argv = [x if not x.startswith("--mpi=") else "--mpi=none" for x in argv]
        log = stack.enter_context(open(os.path.join(plan.out, "agents.log"), "wb"))
        try:
            self.launcher = subprocess.Popen(argv, cwd=plan.out, env=env, stdout=log,
                                             stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL, start_new_session=True)
        except OSError as e:
            raise ClusterError("cannot start the agents with %s: %s" % (argv[0], e)) from None
        stack.callback(self.stop)
        self.accept(names)

    def accept(self, names):
        deadline = time.monotonic() + self.plan.args.appear_timeout
        pending = []
        while len(self.channels) < len(names):
            ready, _, _ = select.select([self.server] + pending, [], [], TICK)
            if self.server in ready:
                conn, peer = self.server.accept()
                pending.append(Channel(conn, "an agent at %s" % peer[0]))
            for channel in [c for c in pending if c in ready]:
                hello = channel.wait(0)
                if hello is None:
                    continue
                pending.remove(channel)
                index = hello.get("hello")
                if not isinstance(index, int) or not 0 <= index < len(names):
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

    def configure(self, config):
        for host, channel in self.channels.items():
            channel.send({"config": dict(config, windows=self.plan.placement[host])})
        for host, reply in self.gather("ready", self.plan.args.appear_timeout).items():
            self.facts[host] = reply["ready"]
            self.shared = self.shared and reply.get("shared", False)

    def command(self, do, timeout, check=None, **fields):
        for channel in self.channels.values():
            channel.send(dict(fields, do=do))
        return self.gather(do, timeout, check)

    def gather(self, what, timeout, check=None):
        """Every agent's answer to `what` ("ready", or a phase it was told to do)."""
        answers = {}
        deadline = time.monotonic() + timeout
        while len(answers) < len(self.channels):
            waiting = [c for h, c in self.channels.items() if h not in answers]
            ready, _, _ = select.select(waiting + self.wake, [], [], TICK)
            # Once the launcher has ended its descriptor stays readable: wait on it once.
            self.wake = [fd for fd in self.wake if fd not in ready]
            for host, channel in self.channels.items():
                if host in answers:
                    continue
                try:
                    messages = channel.receive()
                except ChannelClosed as e:
                    raise ClusterError(str(e)) from None
                for message in messages:
                    self.take(host, message)
                    if message.get("done") == what or what in message:
                        answers[host] = message
            if check:
                check(self)
            self.show()
            if time.monotonic() > deadline:
                raise ClusterError("no answer from %s within %g s while %s"
                                   % (", ".join(h for h in self.channels if h not in answers),
                                      timeout, self.phase))
        return answers

    def take(self, host, message):
        if "error" in message:
            raise ClusterError(message["error"])
        if "note" in message:
            self.progress.say("%s: %s" % (host, message["note"]))
        update = message.get("progress")
        if update:
            self.frames.update({int(w): n for w, n in update["frames"].items()})
            self.last.update({int(w): t for w, t in update["last"].items()})
            self.appeared.update(update["appeared"])
            self.summaries.update(update["summaries"])

    def show(self):
        plan = self.plan
        counts = P.window_counts(plan.windows, self.frames, plan.args.frames, self.last,
                                 self.appeared)
        self.progress.show(self.phase, P.progress_line(
            self.phase, time.monotonic() - self.started, counts))

    def collect(self, folder, timeout=120.0, failed=False):
        """Results files of hosts that do not share the run folder, into it. After a failure
        (failed=True) whatever the hosts still reachable have, without raising."""
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
        self.server.close()
        processes.stop_process(self.launcher)


# ---------------------------------------------------------------- the run

def check_hosts(plan, facts):
    """Pre-flight of every host: its memory for its windows, and a display it was given."""
    a = plan.args
    for host, windows in plan.placement.items():
        fact = facts[host]
        if not windows:
            continue
        try:
            screen = fact["screen"]
            if a.display:
                preflight.check_depth(a.depth, a.display, screen["depth"])
                preflight.check_screen(screen, max(windows), a.display)
            preflight.check_memory(plan.args.program, len(windows), screen["depth"],
                                   fact.get("mem_available"))
        except preflight.Refusal as e:
            raise preflight.Refusal("host %s (window(s) %s): %s"
                                    % (host, ", ".join(map(str, windows)), e)) from None


def host_entries(plan, facts):
    return [{"name": facts[host]["name"], "cpu_model": facts[host]["cpu_model"],
             "cores": facts[host]["cores"], "memory_bytes": facts[host]["memory_bytes"],
             "gl_renderer": facts[host]["gl_renderer"], "mpi_library": plan.mpi,
             "windows": windows}
            for host, windows in plan.placement.items()]


def rank_env(plan):
    env = {processes.TAG_VARIABLE: plan.token}
    if plan.args.display:
        env["DISPLAY"] = plan.args.display
    for name in ("LP_NUM_THREADS", "GALLIUM_DRIVER", "LIBGL_ALWAYS_SOFTWARE"):
        if name in os.environ:
            env[name] = os.environ[name]
    return env


def main_command(plan):
    program = rank_program(plan.program_path, plan.token, not plan.args.display)
    hostfile = None if plan.slurm else os.path.abspath(plan.args.hostfile)
    return launch_argv(plan, plan.mpi, program, len(plan.windows) + 1, hostfile, rank_env(plan),
                       plan.out)


def write_files(folder, files):
    """Files an agent brought back ({name: base64}); one already there is kept."""
    for name, data in files.items():
        path = os.path.join(folder, os.path.basename(name))
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(base64.b64decode(data))


def exit_fd(stack, process):
    """A descriptor that becomes readable when the process ends (Linux 5.3 and later), so
    that waiting wakes at once; [] where there is none."""
    try:
        fd = os.pidfd_open(process.pid)
    except (AttributeError, OSError):
        return []
    stack.callback(os.close, fd)
    return [fd]


def wait_launcher(agents, launcher, timeout):
    """Waits for the launcher while listening to the agents."""
    agents.phase = "waiting for the launcher"
    deadline = time.monotonic() + timeout
    while launcher.poll() is None:
        ready, _, _ = select.select(list(agents.channels.values()) + agents.wake, [], [], TICK)
        for host, channel in agents.channels.items():
            if channel in ready:
                for message in channel.receive():
                    agents.take(host, message)
        if time.monotonic() > deadline:
            raise ClusterError("the launcher did not end within %g s after every window had "
                               "ended" % timeout)
