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
import sys

from ..history.store import record_quietly
from ..hosts import placement
from ..hosts.agent import FAILURES as HOST_FAILURES
from ..results.follow import ConsoleFollower
from . import build, fleet as fleets, preflight, repeats
from .drive import drive
from .launch import RunError, launch, make_check, wait_for_launcher
from .orphans import mark_orphans
from .plan import launch_line, make_plan
from .record import RecordError, describe, final_status, new_record, now_iso
from .signals import HeldDuringCleanUp
from .verify import report

FAILURES = HOST_FAILURES + (build.BuildError, fleets.ClusterError, RecordError, RunError)


def run(args, argv, progress):
    """A run, or a series of --repeat runs, in its stages: plan, facts, pre-flight, then for
    each run launch, drive, collect, verify and record."""
    plan = make_plan(args)
    with contextlib.ExitStack() as stack:
        fleet = fleets.fleet_for(plan, progress, stack)
        facts = fleet.gather_facts()
        preflight.check(plan, facts)
        mark_orphans(os.path.dirname(plan.out), now_iso(),
                     lambda line: print(line, file=sys.stderr))
        if args.repeat == 1:
            make_folder(plan.out)
            run_once(plan, fleet, plan.out, plan.out, argv, progress)
        else:
            repeats.run_series(plan, argv, progress, make_folder,
                               lambda folder: run_once(plan, fleet, folder, plan.out, argv,
                                                       progress))


def make_folder(path):
    """The output folder, made once pre-flight has passed."""
    try:
        os.makedirs(path, exist_ok=True)
        probe = os.path.join(path, ".bench-run-probe")
        with open(probe, "w"):
            pass
        os.unlink(probe)
    except OSError as e:
        raise preflight.out_unwritable(path, e.strerror or e) from None


def run_once(plan, fleet, folder, log_folder, argv, progress):
    """One run into `folder`; every clean-up on one ExitStack, run.json's final state last."""
    with HeldDuringCleanUp() as signals, contextlib.ExitStack() as stack:
        record = new_record(plan, folder, argv)
        try:
            record.write()
        except RecordError as e:
            raise preflight.out_unwritable(folder, e) from None
        record.keep_room()
        console = ConsoleFollower(os.path.join(folder, "console.log"))

        def finish(_type, exc, _tb):
            status, error = final_status(exc)
            try:
                record.finish(status, error, folder, plan.program, plan.windows,
                              console.update())
            except RecordError as e:
                print("bench-run: %s" % e, file=sys.stderr)
                return
            if not plan.args.no_history:  # the folder is the truth: a history that fails says so
                record_quietly(plan.args.history, folder, prog="bench-run")
        stack.push(finish)  # unwinds after the launcher and its processes are gone

        fleet.open(folder, log_folder)
        # After a failure, once the launcher has been stopped: what the windows wrote.
        stack.callback(fleet.collect, failed=True)
        describe(record, plan, fleet)
        progress.say(start_line(plan, fleet, folder))
        for host in record.info["hosts"]:
            if host["moved_windows"]:
                progress.say("note: " + placement.moved_note(
                    host["moved_windows"], host["screen"], host["name"] if plan.across else None))
        launcher = launch(stack, plan, fleet, record, signals)
        check = make_check(plan, launcher, console)
        too_many = drive(plan, fleet, record, check)
        wait_for_launcher(fleet, launcher, plan.args.exit_timeout, check)
        fleet.collect()
        progress.end_line()
        report(plan, folder, console, too_many)


def start_line(plan, fleet, folder):
    a = plan.args
    mode = ("%d frame(s) per window" % a.frames if a.frames is not None
            else "%g s of animation" % a.seconds)
    launcher = launch_line(plan, folder)[0]
    if plan.across:
        where = "on %s" % ", ".join("%s (%s)" % (h.name, ",".join(map(str, h.windows))
                                                 or "console") for h in plan.hosts)
        display = ("display %s" % a.display if a.display else
                   "own Xvfb on each host (depth %d)" % plan.depth)
        return "%s: %d window(s) %s, %s, %s launcher %s, %s, output %s" % (
            a.program, a.windows, where, mode, plan.mpi, launcher, display, folder)
    return "%s: %d window(s), %s, %s launcher %s, display %s%s, output %s" % (
        a.program, a.windows, mode, plan.mpi, launcher, fleet.launch_display,
        " (own Xvfb, depth %d)" % plan.depth if not a.display else "", folder)
