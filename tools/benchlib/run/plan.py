"""Everything a run decides before a process starts: program, MPI, hosts, placement, output
folder and the launch line. What cannot work is refused here."""

import datetime
import os
import uuid
from dataclasses import dataclass, field

from ..hosts import hostfile as H
from ..hosts import limits, processes
from ..hosts.placement import check_own_screen
from ..hosts.agent import display_file
from ..results.layout import PROGRAMS, Program
from . import build, preflight

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.realpath(__file__)))))
# Passed on to the ranks on other hosts, whose launchers do not forward the environment.
RENDERING_VARIABLES = ("LP_NUM_THREADS", "GALLIUM_DRIVER", "LIBGL_ALWAYS_SOFTWARE")


@dataclass
class Plan:
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
    hosts: list = None          # a run across hosts: [hostfile.Host]; None on this machine
    placement: dict = field(default_factory=dict)  # {host: [windows]}, across hosts
    slurm: bool = False         # launched with srun inside an allocation
    command: list = None
    user_args: list = field(default_factory=list)  # the user's own launcher options

    @property
    def launcher_for_hosts(self):
        return "srun" if self.slurm else self.launcher

    def host_config(self, windows):
        """What a host needs to know to start its display and drive its windows."""
        a = self.args
        return {"program": a.program, "out": self.out, "token": self.token,
                "display": a.display, "depth": a.depth, "windows": windows,
                "timeouts": [a.appear_timeout, a.stall_timeout]}


def run_hosts(args, mpi, environ):
    """[Host] of a run across hosts, or None for a run on this machine alone."""
    try:
        if args.hostfile:
            return H.read_hostfile(args.hostfile, mpi)
        if environ.get("SLURM_JOB_NODELIST"):
            return H.slurm_hosts(environ["SLURM_JOB_NODELIST"],
                                 environ.get("SLURM_TASKS_PER_NODE", "1"))
    except H.HostfileError as e:
        raise limits.Refusal(str(e)) from None
    return None


def placement(hosts, windows):
    """{host: [windows]} for every host of the run (the first one may hold only the console)."""
    try:
        by_host = H.windows_by_host(hosts, windows)
    except H.HostfileError as e:
        raise limits.Refusal(str(e)) from None
    ranked = H.rank_hosts(hosts, windows)
    return {name: by_host.get(name, []) for name in dict.fromkeys(ranked)}


def check_hosts_xvfb(by_host, depth):
    """The Xvfb each host of a run across hosts starts for its windows."""
    for host, windows in by_host.items():
        if not windows:
            continue
        try:
            check_own_screen(windows, depth)
        except limits.Refusal as e:
            raise limits.Refusal("host %s: %s" % (host, e)) from None


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


def rank_program(program_path, token, own_display):
    """The benchmark as every rank starts it: with the display its host's agent started."""
    if not own_display:
        return [program_path]
    return ["/bin/sh", "-c", '{ read -r DISPLAY; read -r XAUTHORITY; } 2>/dev/null < %s; '
            'export DISPLAY XAUTHORITY; exec "$0" "$@"' % display_file(token), program_path]


def across_hosts_command(plan):
    env = {processes.TAG_VARIABLE: plan.token}
    if plan.args.display:
        env["DISPLAY"] = plan.args.display
    env.update({name: os.environ[name] for name in RENDERING_VARIABLES if name in os.environ})
    program = rank_program(plan.program_path, plan.token, not plan.args.display)
    hostfile = None if plan.slurm else os.path.abspath(plan.args.hostfile)
    return launch_argv(plan, program, len(plan.windows) + 1, hostfile, env, plan.out,
                       extra=plan.user_args)


def user_launcher_args(args, slurm):
    """The user's own options for the launcher that starts the ranks: mpirun/mpiexec's, or
    srun's inside a Slurm allocation."""
    if slurm and args.launcher_args:
        raise limits.Refusal("inside a Slurm allocation srun starts the ranks: give its options "
                             "with --srun-args, not --launcher-args or after --")
    if not slurm and args.srun_args:
        raise limits.Refusal("--srun-args is for runs inside a Slurm allocation; mpirun's "
                             "options go in --launcher-args or after --")
    return list(args.srun_args if slurm else args.launcher_args)


def plan_run(args):
    preflight.check_window_count(args.windows)
    path, build_dir = build.locate_program(args.program, SOURCE_DIR, args.program_path,
                                           args.build_dir)
    mpi, launcher = build.choose_mpi(path, build_dir, args.mpi)
    across = run_hosts(args, mpi, os.environ)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = preflight.check_out(args.out or os.path.join("runs", "%s-%s" % (args.program, stamp)))
    # The launcher and the runner's Xvfb inherit the raised limit.
    open_files = limits.raise_file_limit()
    if across is None:
        limits.check_open_files(args.windows, open_files)
    if args.display is None and across is None:
        depth = args.depth or 24
        size = check_own_screen(range(1, args.windows + 1), depth)
        limits.check_memory(args.program, args.windows, depth, limits.mem_available(),
                            limits.framebuffer_bytes(size, size, depth))
    token = uuid.uuid4().hex
    env = dict(os.environ, **{processes.TAG_VARIABLE: token})
    if mpi == "openmpi":
        env.update(build.OPENMPI_ENV)
    windows = list(range(1, args.windows + 1))
    plan = Plan(args, PROGRAMS[args.program], windows, path, build_dir, mpi, launcher, out,
                token, env)
    if across is None:
        plan.user_args = user_launcher_args(args, False)
        plan.command = [launcher, "-n", str(len(windows) + 1)] + plan.user_args + [path]
    else:
        plan.hosts = across
        plan.placement = placement(across, args.windows)
        if args.display is None:
            check_hosts_xvfb(plan.placement, args.depth or 24)
        plan.slurm = not args.hostfile
        plan.user_args = user_launcher_args(args, plan.slurm)
        plan.command = across_hosts_command(plan)
    return plan
