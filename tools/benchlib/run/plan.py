"""The plan of a run: everything decided before a host is asked anything or a process starts
(program, MPI library and launcher, output folder, the hosts and, per host, its windows and
its screen), and the launch line. Nothing is started or written here; a run on this machine
is a plan of one host."""

import datetime
import os
import secrets
import socket
import uuid
from dataclasses import dataclass, field

from ..hosts import hostfile as H
from ..hosts import limits, placement, processes
from ..hosts.agent import DISPLAY_TAG_VARIABLE, display_file
from ..hosts.displays import parse_display_list
from ..hosts.limits import MAX_WINDOWS
from ..hosts.rendering import rendering_env
from ..hosts.wrap import host_ranges
from ..results.layout import PROGRAMS, Program
from . import build
from .refusal import Refusal

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.realpath(__file__)))))
WRAP = os.path.join(SOURCE_DIR, "tools", "bench-wrap")
DEFAULT_DEPTH = 24


@dataclass
class HostPlan:
    name: str
    windows: list
    screen: int = None   # the side of the square screens bench-run makes (None: none suits)
    xvfb_bytes: int = 0  # the memory of those screens (0: the user named the displays)


@dataclass
class Plan:
    """What the arguments decide, each derived once: everything after the plan reads it here."""
    args: object
    program: Program
    windows: list
    program_path: str
    build_dir: str
    mpi: str
    launcher: str
    out: str
    token: str
    env: dict
    hosts: list                 # [HostPlan] in rank order (the first may hold only the console)
    displays: list = None       # the displays the user named (--display), None: own Xvfb
    depth: int = DEFAULT_DEPTH  # of the screens bench-run makes (or --display must have)
    rendering: dict = field(default_factory=dict)  # what steers the windows' GL driver
    across: bool = False        # the hosts are other machines, each with an agent
    slurm: bool = False         # launched with srun inside an allocation
    user_args: list = field(default_factory=list)  # the user's own launcher options
    max_windows: int = MAX_WINDOWS

    @property
    def own_display(self):
        """bench-run starts the displays itself (an Xvfb on every host)."""
        return self.displays is None

    @property
    def display_count(self):
        """The displays a host deals its windows over."""
        return len(self.displays) if self.displays else self.args.screens

    @property
    def placement(self):
        return {h.name: h.windows for h in self.hosts}

    @property
    def launcher_for_hosts(self):
        return "srun" if self.slurm else self.launcher

    def host_config(self, host):
        """What a host needs to know to start its display and drive its windows."""
        a = self.args
        return {"program": a.program, "token": self.token, "displays": self.displays,
                "screens": a.screens, "depth": self.depth, "screen": host.screen,
                "windows": host.windows, "timeouts": [a.appear_timeout, a.stall_timeout],
                "env": self.rendering, "wrap": a.wrap}


def hosts_across(args, mpi, environ):
    """[Host] of a run across hosts, or None for a run on this machine alone."""
    if args.hostfile:
        return H.read_hostfile(args.hostfile, mpi)
    if environ.get("SLURM_JOB_NODELIST"):
        return H.slurm_hosts(environ["SLURM_JOB_NODELIST"],
                             environ.get("SLURM_TASKS_PER_NODE", "1"))
    return None


def host_plans(args, across, depth):
    """Every host of the run with its windows and the screens bench-run would make for them."""
    if across is None:
        by_host = {socket.gethostname(): list(range(1, args.windows + 1))}
    else:
        grouped = H.windows_by_host(across, args.windows)
        by_host = {n: grouped.get(n, []) for n in dict.fromkeys(H.rank_hosts(across,
                                                                               args.windows))}
    plans = []
    for name, windows in by_host.items():
        host = HostPlan(name, windows)
        if not args.display and windows:
            host.screen = placement.own_screen(windows, depth)
            if host.screen:
                host.xvfb_bytes = args.screens * limits.framebuffer_bytes(
                    host.screen, host.screen, depth)
        plans.append(host)
    return plans


def launch_argv(plan, program, ranks, hostfile, env, cwd, slurm_extra=(), extra=(),
                forward=()):
    """The launch line of a run across hosts for `program` (the benchmark or the agents)."""
    argv = H.launch_command(plan.mpi, program, ranks, hostfile=hostfile,
                            agent=plan.args.launcher_agent, env=env,
                            launcher=plan.launcher_for_hosts, slurm=plan.slurm, cwd=cwd,
                            extra=extra, forward=forward)
    if plan.slurm and slurm_extra:
        argv[1:1] = list(slurm_extra)
    return argv


def rank_program(line, own_display):
    """The rank's line as every rank starts it: with the display its host's agent started,
    read from the file that the display tag in the rank's environment names (the tag
    itself is on no command line)."""
    if not own_display:
        return line
    path = display_file('"${%s:?}"' % DISPLAY_TAG_VARIABLE)
    return ["/bin/sh", "-c", '{ read -r DISPLAY; read -r XAUTHORITY; } 2>/dev/null < %s; '
            'export DISPLAY XAUTHORITY; exec "$0" "$@"' % path] + line


def rank_line(plan):
    """What every rank runs: the program, or, under --wrap or with several displays a host,
    the helper that starts each window's process on its display under the user's command."""
    a = plan.args
    if not a.wrap and plan.display_count == 1:
        return [plan.program_path]
    line = [WRAP, "--ranges", host_ranges(h.windows for h in plan.hosts)]
    if a.wrap:
        line += ["--wrap", a.wrap]
    if plan.displays and len(plan.displays) > 1:
        line += ["--displays", ",".join(plan.displays)]
    elif a.screens > 1:
        line += ["--screens", str(a.screens)]
    return line + ["--", plan.program_path]


def launch_line(plan, folder):
    """The benchmark's launch line for a run into `folder` (the ranks' working directory)."""
    if not plan.across:
        return [plan.launcher, "-n", str(len(plan.windows) + 1)] + plan.user_args + \
            rank_line(plan)
    env = {}
    if plan.displays:
        env["DISPLAY"] = plan.displays[0]
        # The user's cookies reach the ranks on every host (the file at the same path there).
        env["XAUTHORITY"] = plan.env.get("XAUTHORITY") or os.path.join(
            plan.env.get("HOME", os.path.expanduser("~")), ".Xauthority")
    env.update(plan.rendering)
    program = rank_program(rank_line(plan), plan.own_display)
    hostfile = None if plan.slurm else os.path.abspath(plan.args.hostfile)
    # The run's tag, like the display tag, by name: its value is on no command line.
    return launch_argv(plan, program, len(plan.windows) + 1, hostfile, env, folder,
                       extra=plan.user_args,
                       forward=[DISPLAY_TAG_VARIABLE, processes.TAG_VARIABLE])


def make_plan(args, environ=os.environ):
    """The plan, or a Refusal when the program, its MPI library or the hosts cannot be had."""
    path, build_dir = build.locate_program(args.program, SOURCE_DIR, args.program_path,
                                           args.build_dir)
    mpi, launcher = build.choose_mpi(path, build_dir, args.mpi)
    depth = args.depth or DEFAULT_DEPTH
    try:
        across = hosts_across(args, mpi, environ)
        hosts = host_plans(args, across, depth)
    except H.HostfileError as e:
        raise Refusal(str(e)) from None
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = os.path.abspath(args.out or os.path.join("runs", "%s-%s" % (args.program, stamp)))
    token = uuid.uuid4().hex
    rendering = rendering_env(environ, args.vsync)
    env = dict(environ, **rendering, **{processes.TAG_VARIABLE: token})
    if mpi == "openmpi":
        env.update(build.OPENMPI_ENV)
    slurm = across is not None and not args.hostfile
    if across is not None:
        env[DISPLAY_TAG_VARIABLE] = secrets.token_hex(16)
    return Plan(args, PROGRAMS[args.program], list(range(1, args.windows + 1)), path,
                build_dir, mpi, launcher, out, token, env, hosts,
                displays=parse_display_list(args.display) if args.display else None,
                depth=depth, rendering=rendering, across=across is not None, slurm=slurm,
                user_args=list(args.srun_args if slurm else args.launcher_args))
