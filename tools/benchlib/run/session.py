"""bench-run's stages, called in this order from run(): the plan (plan.py), the facts each
host gives of itself (the fleet: fleet.py, agents.py), the pre-flight on both
(preflight.py); then, for the one run or every repeat of a series (repeats.py): launch
(launch.py), drive (drive.py), collect (the fleet), pictures (pictures.py), verify
(verify.py) and record (run.json, record.py, and the history). The phases, refusals and exit statuses a user sees are in
docs/tools.md."""

import contextlib
import os
import sys

from ..history.store import record_quietly
from ..hosts import placement
from ..hosts.agent import FAILURES as HOST_FAILURES
from ..results.follow import ConsoleFollower
from . import build, preflight, repeats
from .agents import fleet_for
from .fleet import ClusterError
from .drive import drive
from .launch import RunError, launch, make_check, wait_for_launcher
from .orphans import mark_orphans, write_tag
from .pictures import check_pictures, picture_lines
from .plan import launch_line, make_plan
from .record import RecordError, describe, final_status, new_record, now_iso
from .signals import HeldDuringCleanUp
from .verify import report

FAILURES = HOST_FAILURES + (build.BuildError, ClusterError, RecordError, RunError)


def run(args, argv, progress):
    """A run, or a series of --repeat runs, in its stages: plan, facts, pre-flight, then for
    each run launch, drive, collect, verify and record."""
    plan = make_plan(args)
    with contextlib.ExitStack() as stack:
        fleet = fleet_for(plan, progress, stack)
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
        write_tag(folder, plan.token)
        record = new_record(plan, folder, argv)
        try:
            record.write()
        except RecordError as e:
            raise preflight.out_unwritable(folder, e) from None
        record.keep_room()
        console = ConsoleFollower(os.path.join(folder, "console.log"))

        def finish(_type, exc, _tb):
            status, error = final_status(exc)
            if getattr(exc, "hosts", None):
                record.info["failed_hosts"] = exc.hosts
            if fleet.ended_early:
                record.info["windows_ended_early"] = {str(w): e for w, e in
                                                      sorted(fleet.ended_early.items())}
            try:
                record.finish(status, error, folder, plan.program, plan.windows,
                              console.update())
            except RecordError as e:
                print("bench-run: %s" % e, file=sys.stderr)
                return
            if not plan.args.no_history:  # the folder is the truth: a history that fails says so
                record_quietly(plan.args.history, folder, prog="bench-run")
        stack.push(finish)  # unwinds after the launcher and its processes are gone

        fleet.open(folder, log_folder, record.info["run_id"])
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
        wrong = check_pictures(plan, fleet, record, folder)
        progress.end_line()
        for line in picture_lines(record.info):
            print(line)
        report(plan, folder, console, too_many, wrong)


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
