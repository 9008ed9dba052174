"""bench-run: run Shardfall or Latticeglow under MPI on an X display and collect the results.

The launcher starts N+1 processes: rank 0 keeps the console, ranks 1..N each
open a window and write a results file into the output folder. The runner
drives the windows with key presses sent through X:

  --frames F   each window is paused (p) the moment its window exists, then
               stepped with c, one frame at a time and one window at a time,
               until its results file holds F frame blocks; the frames are
               therefore measured one at a time, not competing with each other.
  --seconds S  every window is paused the moment it exists; once the last one
               has initialised they all animate (r); once every window has reported
               a frame since, they animate for S seconds more and are then sent
               Escape together: each ends when its frame in flight is done, within
               one frame of the deadline.

Every window is then ended with Escape (if it has not been) and the runner waits
for the launcher.

With --hostfile FILE, or inside a Slurm allocation, the run spans hosts: an
agent on every host (started through the launcher) starts that host's Xvfb
and drives its windows on the runner's word; see docs/cluster.md.

Before anything starts, the run is refused (one line, status 2) when it
cannot work: more than 4,095 windows; more windows on a host than one
screen gives places of their own (327 at depth 16, 231 at depth 24 or 30:
an Xvfb's framebuffer stays under 2 GiB); a --display screen on which the
windows do not each lie whole at a place of their own, of another depth
than --depth, or that admits fewer X clients than N; more
memory than MemAvailable (70 MB per window process, and 663,580,800 bytes
per shardfall window, about 1.76 GB per latticeglow window at depth 24, 2^30
points at depth 30); more open files than the hard limit lets the launcher
have (about 4 per window: the runner raises its own limit and the
launcher's to the hard limit); or an --out that is a file, not empty or not
writable.

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
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from ..hosts import placement, processes
from ..history.store import record_quietly
from ..hosts.agent import FAILURES as HOST_FAILURES
from ..results.follow import ConsoleFollower
from . import build, fleet, preflight
from .orphans import mark_orphans
from .plan import plan_run
from .record import RecordError, describe, file_states, files_on_disk, new_record, now_iso

# The agents report a summary up to half a second after the window wrote it: a launcher
# that ended cleanly may have been quicker.
SUMMARY_GRACE = 5.0
FAILURES = HOST_FAILURES + (build.BuildError, fleet.ClusterError, RecordError)
# Below this much free space the output folder's file system counts as full.
FULL_BELOW = 1 << 20


class RunError(Exception):
    pass


class Interrupted(Exception):
    def __init__(self, signum):
        super().__init__("interrupted by %s" % signal.Signals(signum).name)
        self.signum = signum


def ignore_signals():
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)


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
    elif said["state"] == "removed":
        what = "was removed during the run: %s" % name
    else:
        what = "was not created: %s (%s)" % (name, said["error"])
    return "window %d: the results file %s; the console holds the full reports" % (w, what)


def full_disk_note(folder):
    """A sentence naming a full file system under the output folder, or ""."""
    try:
        st = os.statvfs(folder)
    except OSError:
        return ""
    free = st.f_bavail * st.f_frsize
    if free >= FULL_BELOW:
        return ""
    return (" The file system of %s is full (%d bytes free): the windows could not write "
            "their reports there." % (folder, free))


def launcher_folder(stack, plan, record):
    """A folder of the run's own for an OpenMPI launcher on this machine: its session folder
    and shared-memory segments, removed at the end whatever happened (also when the launcher
    was killed, which leaves them behind)."""
    if plan.mpi != "openmpi" or plan.hosts:
        return {}
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    folder = tempfile.mkdtemp(prefix="bench-run-", dir=base)
    stack.callback(shutil.rmtree, folder, ignore_errors=True)
    record.info["launcher_tmpdir"] = folder
    return {"TMPDIR": folder, "OMPI_MCA_orte_tmpdir_base": folder,
            "OMPI_MCA_btl_vader_backing_directory": folder}


def launch(stack, plan, hosts, record):
    console = stack.enter_context(open(os.path.join(plan.out, "console.log"), "wb"))
    # Our own Xvfb's cookie, once it has started (hosts.agent), or the user's.
    cookie = {"XAUTHORITY": os.environ["XAUTHORITY"]} if "XAUTHORITY" in os.environ else {}
    env = dict(plan.env, DISPLAY=hosts.launch_display, **cookie,
               **launcher_folder(stack, plan, record))
    own_xvfb = {f["xvfb_pid"] for f in hosts.facts.values()} - {None}
    record.mark_launch()
    try:
        launcher = subprocess.Popen(plan.command, cwd=plan.out, env=env,
                                    stdin=subprocess.DEVNULL, stdout=console,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=processes.die_with_parent)
    except OSError as e:
        raise RunError("cannot start %s: %s" % (plan.command[0], e)) from None

    def stop():
        processes.stop_tagged(plan.token, session=launcher.pid, exclude=own_xvfb)
        with contextlib.suppress(subprocess.TimeoutExpired):
            launcher.wait(timeout=5)
        record.info["launcher_status"] = launcher.returncode
    stack.callback(stop)
    stack.callback(ignore_signals)  # runs first: nothing interrupts the clean-up
    hosts.watch(stack, launcher)
    return launcher


def make_check(plan, launcher, console):
    """The check of every phase: no window has said that its results file cannot be written
    (while windows end, such a window is left for the final verdict, so that the others
    still end cleanly), and the launcher runs until every window has written its summary."""
    ended = []

    def check(hosts):
        ending = hosts.phase in ("ending", "waiting for the launcher")
        for w, said in sorted(console.update().items()):
            if said["state"] == "not created" or not ending:
                raise RunError(file_complaint(w, said) + full_disk_note(plan.out))
        if launcher.poll() is None:
            return
        if not ended:
            ended.append(time.monotonic())
        if launcher.returncode == 0 and time.monotonic() - ended[0] < SUMMARY_GRACE:
            return
        if not all(w in hosts.summaries for w in plan.windows):
            missing = [w for w in plan.windows if w not in hosts.appeared]
            what = ("before window(s) %s appeared" % ", ".join(map(str, missing)) if missing
                    else "while the windows were running")
            raise RunError("the launcher ended with status %d %s.%s%s"
                           % (launcher.returncode, what, full_disk_note(plan.out),
                              console_tail(plan.out)))
    return check


def wait_for_launcher(hosts, launcher, timeout, check):
    hosts.order("waiting for the launcher")
    deadline = time.monotonic() + timeout
    while launcher.poll() is None:
        hosts.tick(0.2, check)
        if time.monotonic() > deadline:
            raise RunError("the launcher did not end within %g s after every window had "
                           "ended" % timeout)
    if launcher.returncode != 0:
        raise RunError("the launcher ended with status %d.%s"
                       % (launcher.returncode, console_tail(hosts.plan.out)))


def start_line(plan, hosts):
    a = plan.args
    mode = ("%d frame(s) per window" % a.frames if a.frames is not None
            else "%g s of animation" % a.seconds)
    if plan.hosts:
        where = "on %s" % ", ".join("%s (%s)" % (h, ",".join(map(str, w)) or "console")
                                    for h, w in plan.placement.items())
        display = ("display %s" % a.display if a.display else
                   "own Xvfb on each host (depth %d)" % (a.depth or 24))
        return "%s: %d window(s) %s, %s, %s launcher %s, %s, output %s" % (
            a.program, a.windows, where, mode, plan.mpi, plan.command[0], display, plan.out)
    return "%s: %d window(s), %s, %s launcher %s, display %s%s, output %s" % (
        a.program, a.windows, mode, plan.mpi, plan.launcher, hosts.launch_display,
        " (own Xvfb, depth %d)" % (a.depth or 24) if not a.display else "", plan.out)


def run(args, argv, progress):
    """One run; every phase's clean-up is on one ExitStack, run.json's final state last."""
    with contextlib.ExitStack() as stack:
        plan = plan_run(args)
        mark_orphans(os.path.dirname(plan.out), now_iso(),
                     lambda line: print(line, file=sys.stderr))
        hosts = (fleet.Agents if plan.hosts else fleet.OwnHost)(plan, progress)
        if args.display and not plan.hosts:
            # A display the user named is checked before the output folder exists.
            hosts.start(stack)
        preflight.make_out(plan.out)
        record = new_record(plan, argv)
        try:
            record.write()
        except RecordError as e:
            raise preflight.Refusal("%s: name a folder with room you can write to" % e) from None
        record.keep_room()
        console = ConsoleFollower(os.path.join(plan.out, "console.log"))

        def finish(_type, exc, _tb):
            status, error = final_status(exc)
            try:
                record.finish(status, error, plan.out, plan.program, plan.windows,
                              console.update())
            except RecordError as e:
                print("bench-run: %s" % e, file=sys.stderr)
                return
            if not args.no_history:  # the folder is the truth: a history that fails says so
                record_quietly(args.history, plan.out, prog="bench-run")
        stack.push(finish)  # unwinds after the processes and the runner's Xvfb are gone

        if not hosts.facts:
            hosts.start(stack)
        # After a failure, once the launcher has been stopped: what the windows wrote.
        stack.callback(hosts.collect, failed=True)
        describe(record, plan, hosts)
        progress.say(start_line(plan, hosts))
        for host in record.info["hosts"]:
            if host["moved_windows"]:
                progress.say("note: " + placement.moved_note(
                    host["moved_windows"], host["screen"], host["name"] if plan.hosts else None))
        launcher = launch(stack, plan, hosts, record)
        check = make_check(plan, launcher, console)
        too_many = drive(plan, hosts, record, check)
        wait_for_launcher(hosts, launcher, args.exit_timeout, check)
        hosts.collect()
        progress.end_line()
        report(plan, console, too_many)


def drive(plan, hosts, record, check):
    """The windows through their phases on every host together; returns the windows that
    drew more than --frames before the pause took effect."""
    a = plan.args
    long = 2 * a.appear_timeout + 4 * a.stall_timeout
    started = hosts.command("start", long, check)
    record.info["window_visuals"] = {w: v for r in started.values()
                                     for w, v in r.get("visuals", {}).items()}
    record.write()
    too_many = []
    if a.frames is not None:
        steps = hosts.command("step", long + a.frames * 4 * a.stall_timeout, check,
                              frames=a.frames)
        too_many = sorted(w for r in steps.values() for w in r.get("too_many", []))
    else:
        # The seconds count from the moment every window of every host animates.
        first = hosts.command("animate", long, check)
        record.info["first_frame_after_r"] = {w: s for r in first.values()
                                              for w, s in r.get("first_frames", {}).items()}
        record.write()
        hosts.command("animate_for", a.seconds + long, check, seconds=a.seconds)
    hosts.command("end", long, check)
    return too_many


def verify(plan, console, too_many):
    """Per-window lines; the problems that make the run fail."""
    on_disk = files_on_disk(plan.out, plan.program, plan.windows)
    states = file_states(plan.out, plan.program, plan.windows, console.update(), on_disk)
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
            elif plan.args.seconds is not None and not parsed.frames:
                problems.append("window %d drew no frame in %g s of animation (its "
                                "initialisation took %s)" % (
                                    w, plan.args.seconds, "%s s" % parsed.init_time.text
                                    if parsed.init_time is not None else "an unknown time"))
    if too_many:
        problems.insert(0, "window(s) %s drew frames before the pause (p) took effect, more "
                        "than --frames %d" % (", ".join(map(str, too_many)), plan.args.frames))
    return lines, problems


def report(plan, console, too_many):
    lines, problems = verify(plan, console, too_many)
    for line in lines:
        print(line)
    if problems:
        raise RunError("; ".join(problems) + full_disk_note(plan.out))
    print("run complete: %s (%s %s for the report)" % (plan.out, report_command(), plan.out))


def report_command():
    """bench-report as this bench-run was called: by name from PATH (installed), else by its
    path (tools/bench-report in a checkout)."""
    folder = os.path.dirname(sys.argv[0])
    on_path = not folder or folder in os.environ.get("PATH", "").split(os.pathsep)
    return "bench-report" if on_path else os.path.join(folder, "bench-report")


def final_status(exc):
    if exc is None:
        return "ok", None
    if isinstance(exc, (KeyboardInterrupt, Interrupted)):
        return "interrupted", str(exc) or "interrupted by SIGINT"
    if isinstance(exc, BrokenPipeError):
        return "interrupted", "standard output was closed"
    return "failed", str(exc) or type(exc).__name__
