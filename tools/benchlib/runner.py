"""bench-run: run Shardfall or Latticeglow under MPI on an X display and collect the results.

The launcher starts N+1 processes: rank 0 keeps the console, ranks 1..N each
open a window and write a results file into the output folder. The runner
drives the windows with key presses sent through X:

  --frames F   each window is paused (p) the moment its window exists, then
               stepped with c, one frame at a time and one window at a time,
               until its results file holds F frame blocks; the frames are
               therefore measured one at a time, not competing with each other.
  --seconds S  every window is paused the moment it exists; once the last one
               has initialised they all animate (r) for S seconds and are then
               sent Escape together: each ends when its frame in flight is done,
               within one frame of the deadline.

Every window is then ended with Escape (if it has not been) and the runner waits
for the launcher.

With --hostfile FILE, or inside a Slurm allocation, the run spans hosts: an
agent on every host (started through the launcher) starts that host's Xvfb
and drives its windows on the runner's word; see the README's "On a cluster".

Before anything starts, the run is refused (one line, status 2) when it
cannot work: more than 4,095 windows, a --display screen smaller than
1440 + 100 x N pixels square or of another depth than --depth, more memory
than MemAvailable (663,580,800 bytes per shardfall window; about 714 MB per
latticeglow window at depth 24, 2^30 points at depth 30), or an --out that
is a file, not empty or not writable.

The output folder (default: ./runs/<program>-<time>) receives the results
files, console.log (everything the launcher printed), xvfb.log (when the
runner started its own Xvfb) and run.json (what ran, where, on what, and how
it ended: "ok", "failed" or "interrupted", with the frame counts on disk).

Exit status: 0 when every window reported its frames, wrote its summary to a
complete results file and the launcher ended cleanly; 1 when the run failed
(the message says why); 2 for a command line or a run that is refused, and
when standard output is closed (quietly); 130/143 when interrupted. The
launcher, every process it started and the runner's own Xvfb are stopped in
every case.
"""

import contextlib
import datetime
import os
import signal
import subprocess
import sys
import time
import uuid
from dataclasses import dataclass

from . import buildinfo, clusterrun, preflight, processes, runinfo
from . import results as R
from .driver import DriveError, Timeouts, WindowDriver
from .xwindows import WindowWatcher, XDisplayError

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
FAILURES = (buildinfo.BuildError, DriveError, XDisplayError, processes.XvfbError,
            clusterrun.ClusterError)


class RunError(Exception):
    pass


class Interrupted(Exception):
    def __init__(self, signum):
        super().__init__("interrupted by %s" % signal.Signals(signum).name)
        self.signum = signum


@dataclass
class Plan:
    args: object
    program: R.Program
    windows: list
    program_path: str
    build_dir: str
    mpi: str
    launcher: str
    out: str
    token: str
    env: dict
    hosts: list = None          # a run across hosts: [hosts.Host]
    placement: dict = None      # {host: [windows]}
    slurm: bool = False         # launched with srun inside an allocation
    command: list = None

    @property
    def launcher_for_hosts(self):
        return "srun" if self.slurm else self.launcher

    def launch_command(self):
        return self.command or [self.launcher, "-n", str(len(self.windows) + 1),
                                self.program_path]


# ---------------------------------------------------------------- phases

def plan_run(args):
    """Everything decided before a process starts; refuses what cannot work."""
    preflight.check_window_count(args.windows)
    path, build_dir = buildinfo.locate_program(args.program, SOURCE_DIR, args.program_path,
                                               args.build_dir)
    mpi, launcher = buildinfo.choose_mpi(path, build_dir, args.mpi)
    across = clusterrun.run_hosts(args, mpi, os.environ)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = preflight.check_out(args.out or os.path.join("runs", "%s-%s" % (args.program, stamp)))
    if args.display is None and across is None:
        size = preflight.screen_needed(args.windows)
        depth = args.depth or 24
        preflight.check_memory(args.program, args.windows, depth, preflight.mem_available(),
                               preflight.framebuffer_bytes(size, size, depth))
    token = uuid.uuid4().hex
    env = dict(os.environ, **{processes.TAG_VARIABLE: token})
    if mpi == "openmpi":
        env.update(buildinfo.OPENMPI_ENV)
    plan = Plan(args, R.PROGRAMS[args.program], list(range(1, args.windows + 1)), path,
                build_dir, mpi, launcher, out, token, env)
    if across is not None:
        plan.hosts = across
        plan.placement = clusterrun.placement(across, args.windows)
        plan.slurm = not args.hostfile
        plan.command = clusterrun.main_command(plan)
    return plan


def check_display(plan, watcher):
    """Pre-flight of a display the user named: depth, size, memory, no other run on it."""
    a = plan.args
    screen = watcher.screen_size()
    preflight.check_depth(a.depth, a.display, screen["depth"])
    preflight.check_screen(screen, a.windows, a.display)
    preflight.check_memory(a.program, a.windows, screen["depth"], preflight.mem_available())
    clashes = sorted(t for t in watcher.existing_titles().values()
                     if plan.program.window_from_title(t) is not None)
    if clashes:
        raise RunError("the display %s already shows %s window(s) (%s): another run? Use the "
                       "runner's own Xvfb (leave out --display)"
                       % (a.display, plan.program.display_name, clashes[0]))


def start_own_display(stack, plan):
    """An Xvfb of the run's own, as large as the windows need; returns (Xvfb, watcher)."""
    size = preflight.screen_needed(len(plan.windows))
    log = stack.enter_context(open(os.path.join(plan.out, "xvfb.log"), "wb"))
    xvfb = stack.enter_context(processes.Xvfb(size, size, plan.args.depth or 24,
                                              env=plan.env, log=log))
    return xvfb, stack.enter_context(WindowWatcher(xvfb.display))


def new_record(plan, argv):
    """run.json as the run starts: what is to run (status "running")."""
    a = plan.args
    return runinfo.RunRecord(plan.out, {
        "program": a.program, "windows": len(plan.windows), "frames": a.frames,
        "seconds": a.seconds, "status": "running", "error": None, "run_id": plan.token,
        "mpi": {"library": plan.mpi, "launcher": plan.launcher},
        "host": runinfo.socket.gethostname(), "start_time": runinfo.now_iso(),
        "end_time": None, "source_dir": SOURCE_DIR, "build_dir": plan.build_dir,
        "program_path": plan.program_path, "output_folder": plan.out,
        "command": [sys.argv[0]] + list(argv), "launcher_command": plan.launch_command(),
        "launcher_status": None, "results_files": {}, "frames_reported": {},
        "summaries_written": {}, "window_visuals": {}})


def describe_display(record, plan, display, xvfb, screen):
    """What the run meets: display, screen, GL, MPI version and the machine's context."""
    env = dict(plan.env, DISPLAY=display)
    info = record.info
    info["mpi"].update(runinfo.launcher_version(plan.launcher, env))
    glx = runinfo.glx_info(env)
    info.update({"display": {"name": display, "own_xvfb": xvfb is not None,
                             "xvfb_pid": xvfb.pid if xvfb else None},
                 "screen": screen, "screen_depth": screen["depth"], "glx": glx,
                 "renderer": glx.get("renderer")})
    context = record.machine_context(glx, info["mpi"], screen, SOURCE_DIR)
    info["git_revision"] = context["git_revision"]
    record.write()


def launch(stack, plan, display, record, xvfb):
    console = stack.enter_context(open(os.path.join(plan.out, "console.log"), "wb"))
    env = dict(plan.env, DISPLAY=display)
    record.mark_launch()
    try:
        launcher = subprocess.Popen(plan.launch_command(), cwd=plan.out, env=env,
                                    stdin=subprocess.DEVNULL, stdout=console,
                                    stderr=subprocess.STDOUT, start_new_session=True)
    except OSError as e:
        raise RunError("cannot start %s: %s" % (plan.launcher, e)) from None

    def stop():
        processes.stop_tagged(plan.token, session=launcher.pid,
                              exclude={xvfb.pid} if xvfb else ())
        with contextlib.suppress(subprocess.TimeoutExpired):
            launcher.wait(timeout=5)
        record.info["launcher_status"] = launcher.returncode
    stack.callback(stop)
    stack.callback(ignore_signals)  # runs first: nothing interrupts the clean-up
    return launcher


def console_tail(folder, lines=12):
    try:
        with open(os.path.join(folder, "console.log"), errors="replace") as f:
            text = f.read().strip().splitlines()
    except OSError:
        return " (there is no console.log)"
    if not text:
        return " (console.log is empty)"
    return " Last lines of console.log:\n    " + "\n    ".join(text[-lines:])


def file_complaint(w, said):
    """bench-run's line for a window whose results file is incomplete or was not created."""
    name = os.path.basename(said["path"])
    if said["state"] == "incomplete":
        what = "is incomplete: %s (first failed write: %s)" % (name, said["error"])
    else:
        what = "was not created: %s (%s)" % (name, said["error"])
    return "window %d: the results file %s; the console holds the full reports" % (w, what)


def make_check(plan, launcher, console):
    """The driver's check: the launcher still runs (until every window has ended) and no
    window has said that its results file cannot be written (while windows end, such a
    window is left for the final verdict, so that the others still end cleanly)."""
    def check(d):
        for w, said in sorted(console.update().items()):
            if w in d.windows and (said["state"] == "not created" or d.phase != "ending"):
                raise RunError(file_complaint(w, said))
        if launcher.poll() is None:
            return
        ended = all(d.follower(w) and d.follower(w).summary for w in d.windows)
        if not ended:
            missing = [w for w in d.windows if w not in d.ids]
            what = ("before window(s) %s appeared" % ", ".join(map(str, missing)) if missing
                    else "while the windows were running")
            raise RunError("the launcher ended with status %d %s.%s"
                           % (launcher.returncode, what, console_tail(plan.out)))
    return check


def drive(driver, plan, record):
    a = plan.args
    driver.wait_for_windows()
    record.info["window_visuals"] = {str(w): driver.watcher.window_info(driver.ids[w])
                                     for w in driver.windows}
    record.write()
    driver.wait_for_initialisation()
    too_many = []
    driver.settle()
    if a.frames is not None:
        too_many = driver.step_frames(a.frames)
    else:
        driver.animate_for(a.seconds)
    driver.end_windows()
    return too_many


def wait_for_launcher(driver, launcher, timeout):
    driver.phase = "waiting for the launcher"
    deadline = time.monotonic() + timeout
    while launcher.poll() is None:
        driver.tick(0.2)
        if time.monotonic() > deadline:
            raise RunError("the launcher did not end within %g s after every window had "
                           "ended" % timeout)
    if launcher.returncode != 0:
        raise RunError("the launcher ended with status %d.%s"
                       % (launcher.returncode, console_tail(driver.folder)))


def verify(plan, console, too_many):
    """Per-window lines; the problems that make the run fail."""
    states = runinfo.file_states(plan.out, plan.program, plan.windows, console.update())
    on_disk = runinfo.files_on_disk(plan.out, plan.program, plan.windows)
    lines, problems = [], []
    for w in plan.windows:
        state = states[str(w)]
        name, parsed, _ = on_disk.get(w, (None, None, None))
        said = console.states.get(w)
        if said:
            lines.append(file_complaint(w, said))
            problems.append("window %d: results file %s" % (w, said["state"]))
        elif state["state"] != "complete":
            problems.append("window %d: results file %s%s" % (
                w, state["state"], ": " + state["error"] if state["error"] else ""))
        else:
            lines.append("window %d: %d frame(s), %s: %s" % (
                w, len(parsed.frames), "summary written" if parsed.summary else "no summary",
                name))
            if parsed.summary is None:
                problems.append("window %d: no summary in %s" % (w, name))
            if plan.args.frames is not None and len(parsed.frames) != plan.args.frames:
                problems.append("window %d reported %d frames, not %d"
                                % (w, len(parsed.frames), plan.args.frames))
    if too_many:
        problems.insert(0, "window(s) %s drew frames before the pause (p) took effect, more "
                        "than --frames %d" % (", ".join(map(str, too_many)), plan.args.frames))
    return lines, problems


def final_status(exc):
    if exc is None:
        return "ok", None
    if isinstance(exc, (KeyboardInterrupt, Interrupted)):
        return "interrupted", str(exc) or "interrupted by SIGINT"
    if isinstance(exc, BrokenPipeError):
        return "interrupted", "standard output was closed"
    return "failed", str(exc) or type(exc).__name__


def run(args, argv, progress):
    """One run; every phase's clean-up is on one ExitStack, run.json's final state last."""
    with contextlib.ExitStack() as stack:
        plan = plan_run(args)
        watcher = xvfb = None
        if args.display and not plan.hosts:
            watcher = stack.enter_context(WindowWatcher(args.display))
            check_display(plan, watcher)
        preflight.make_out(plan.out)
        record = new_record(plan, argv)
        try:
            record.write()
        except OSError as e:
            raise preflight.Refusal("cannot write %s (%s): name a folder you can write to"
                                    % (record.path, e.strerror)) from None
        console = runinfo.ConsoleFollower(os.path.join(plan.out, "console.log"))

        def finish(_type, exc, _tb):
            status, error = final_status(exc)
            with contextlib.suppress(OSError):
                record.finish(status, error, plan.out, plan.program, plan.windows,
                              console.update())
        stack.push(finish)  # unwinds after the processes and the runner's Xvfb are gone

        if plan.hosts:
            from .hostrun import run_across_hosts
            return run_across_hosts(stack, plan, record, console, progress)
        if watcher is None:
            xvfb, watcher = start_own_display(stack, plan)
        display = watcher.display_name
        describe_display(record, plan, display, xvfb, watcher.screen_size())

        mode = ("%d frame(s) per window" % args.frames if args.frames is not None
                else "%g s of animation" % args.seconds)
        progress.say("%s: %d window(s), %s, %s launcher %s, display %s%s, output %s"
                     % (args.program, args.windows, mode, plan.mpi, plan.launcher, display,
                        " (own Xvfb, depth %d)" % (args.depth or 24) if xvfb else "",
                        plan.out))
        launcher = launch(stack, plan, display, record, xvfb)
        driver = WindowDriver(watcher, plan.program, plan.out, plan.windows,
                              Timeouts(args.appear_timeout, args.stall_timeout), progress,
                              make_check(plan, launcher, console),
                              frames_target=args.frames)
        too_many = drive(driver, plan, record)
        wait_for_launcher(driver, launcher, args.exit_timeout)
        progress.end_line()
        report(plan, console, too_many)


def report(plan, console, too_many):
    lines, problems = verify(plan, console, too_many)
    for line in lines:
        print(line)
    if problems:
        raise RunError("; ".join(problems))
    print("run complete: %s (tools/bench-report %s for the report)" % (plan.out, plan.out))


# ---------------------------------------------------------------- command line

def ignore_signals():
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)
