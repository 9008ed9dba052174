"""bench-run's stages. run() is the list of them, in order: the plan (plan.py) and its checks
(preflight.py), which need nothing but the arguments and start nothing; the facts each host
gives of itself (the fleet: local_fleet.py on this machine, remote_fleet.py across hosts) and the checks
on them; then, for the one run or every repeat of a series (series.py), run_once(): launch
(launch.py), drive (drive.py), collect (the fleet), pictures (pictures.py), verify
(verify.py) and record (run.json, record.py, and the history). Each stage's wall time goes into run.json ("stage_seconds").
The phases, refusals and exit statuses a user sees are in docs/tools.md."""

import contextlib
import os
import sys
import time

from ..history.recording import record_quietly
from ..hosts import placement
from ..hosts.host_windows import FAILURES as HOST_FAILURES
from ..results.files import create_new
from ..results.follow import ConsoleFollower
from . import preflight, series
from .drive import drive
from .fleet import ClusterError
from .local_fleet import LocalFleet
from .launch import RunError, launch
from .orphans import mark_orphans, write_tag
from .pictures import check_pictures, picture_lines
from .plan import make_plan
from .record import RecordError, describe, final_status, new_record, now_iso
from .refusal import Refusal
from .remote_fleet import AgentFleet
from .show_plan import show_plan, start_line
from .signals import HeldDuringCleanUp, Interrupted
from .verify import read_results, report

FAILURES = HOST_FAILURES + (ClusterError, RecordError, RunError)


class StageTimes:
    """The wall time of every stage taken, in seconds, in the order taken."""

    def __init__(self, taken=None):
        self.seconds = dict(taken or {})

    def take(self, stage, call, *args, **kwargs):
        start = time.monotonic()
        try:
            return call(*args, **kwargs)
        finally:
            self.seconds[stage] = round(time.monotonic() - start, 3)


def run(args, argv, progress):
    """A run, or a series of --repeat runs, stage by stage."""
    times = StageTimes()
    plan = times.take("plan", make_plan, args)
    times.take("plan checks", preflight.check_plan, plan)
    if args.dry_run:
        show_plan(plan, sys.stdout)
        return
    with contextlib.ExitStack() as hosts:  # the displays and agents, kept for every repeat
        fleet = (AgentFleet if plan.across else LocalFleet)(plan, progress, hosts)
        facts = times.take("facts", fleet.gather_facts)
        times.take("host checks", preflight.check_hosts, plan, facts)
        if args.out is None:
            plan.out = claim_folder(plan.out)
        mark_orphans(os.path.dirname(plan.out), now_iso(),
                     lambda line: print(line, file=sys.stderr))
        if args.repeat == 1:
            make_folder(plan.out)
            run_once(plan, fleet, plan.out, argv, progress, times)
        else:
            series.run_series(plan, argv, progress, make_folder,
                               lambda folder: run_once(plan, fleet, folder, argv, progress,
                                                       StageTimes(times.seconds)))


def run_once(plan, fleet, folder, argv, progress, times):
    """One run into `folder`: launch, drive, collect, pictures, verify, record. Whatever happens, the
    launcher and all it started are stopped before the results are collected, and run.json
    gets its final word (with ending signals held until then)."""
    record = start_record(plan, folder, argv)
    console = ConsoleFollower(os.path.join(folder, "console.log"))
    results, failure = None, None
    with HeldDuringCleanUp() as signals:
        try:
            with contextlib.ExitStack() as launched:  # unwinds: the launcher stopped, all of it
                times.take("displays", fleet.open, folder, plan.out, record.info["run_id"])
                describe(record, plan, fleet)
                announce(plan, fleet, folder, record, progress)
                launcher = times.take("launch", launch, launched, plan, fleet, record, signals)
                too_many = times.take("drive", drive, plan, fleet, record, launcher, console)
            signals.release()  # the launcher is gone: a signal held meanwhile ends the run now
            times.take("collect", fleet.collect)
            wrong = times.take("pictures", check_pictures, plan, fleet, record, folder)
            progress.end_line()
            for line in picture_lines(record.info):
                print(line)
            results = times.take("verify", read_results, plan, folder, console)
            report(plan, folder, results, console, too_many, wrong)
        except BaseException as e:  # what the windows wrote, as far as the hosts still give it
            failure = e
            signals.hold()
            fleet.collect(failed=True)
        signals.hold()
        record.info["stage_seconds"] = times.seconds
        results = times.take("record", finish_record, record, plan, fleet, folder, console,
                             results, failure)
    # Outside the held signals: a history that does not answer can always be interrupted.
    times.take("history", record_in_history, plan, folder, results, failure)
    with contextlib.suppress(RecordError):
        record.write()  # the stage times, with the record's own
    if failure is not None:
        raise failure


def start_record(plan, folder, argv):
    """run.json as the run starts ("running"), and the run's tag beside it."""
    write_tag(folder, plan.token)
    record = new_record(plan, folder, argv)
    try:
        record.write()
    except RecordError as e:
        raise preflight.out_unwritable(folder, e) from None
    record.keep_room()
    return record


def announce(plan, fleet, folder, record, progress):
    progress.say(start_line(plan, fleet.launch_display, folder))
    for host in record.info["hosts"]:
        if host["moved_windows"]:
            progress.say("note: " + placement.moved_note(
                host["moved_windows"], host["screen"], host["name"] if plan.across else None))


def finish_record(record, plan, fleet, folder, console, results, failure):
    """run.json's final word: how the run ended and what its results files hold (read here
    when verify did not come to it); returns that reading."""
    status, error = final_status(failure)
    if getattr(failure, "hosts", None):
        record.info["failed_hosts"] = failure.hosts
    early = ended_early(plan, fleet, failure)
    if early:
        record.info["windows_ended_early"] = {str(w): e for w, e in sorted(early.items())}
    if results is None:
        results = read_results(plan, folder, console)
    try:
        record.finish(status, error, results)
    except RecordError as e:
        print("bench-run: %s" % e, file=sys.stderr)
    return results


def ended_early(plan, fleet, failure):
    """The windows that ended before the run did. Across hosts, when the run failed on some
    hosts, only theirs: a launcher stops the ranks on every other host once one has failed
    (MPICH's hydra at once), and those windows ended with the run, not before it."""
    named = set(getattr(failure, "hosts", None) or ())
    if not (plan.across and named):
        return fleet.ended_early
    on_named = {w for host in plan.hosts if host.name in named for w in host.windows}
    return {w: e for w, e in fleet.ended_early.items() if w in on_named}


def record_in_history(plan, folder, results, failure):
    """The run in the history, from the results files as verify read them; the folder is the
    truth: a history that fails says so."""
    if plan.args.no_history or isinstance(failure, RecordError):
        return
    try:
        record_quietly(plan.args.history, folder, prog="bench-run",
                       parsed=results.parsed if results else None)
    except (KeyboardInterrupt, Interrupted) as e:
        if failure is None:
            e.while_recording = folder
        raise


def claim_folder(path, tries=100):
    """The default output folder, made new: at path, else (another run started in the same
    second has it) at path-2, path-3, ...; mkdir takes a name for one run only."""
    for n in range(1, tries + 1):
        candidate = path if n == 1 else "%s-%d" % (path, n)
        try:
            os.makedirs(os.path.dirname(candidate), exist_ok=True)
            os.mkdir(candidate, 0o755)
            return candidate
        except FileExistsError:
            continue
        except OSError as e:
            raise preflight.out_unwritable(candidate, e.strerror or e) from None
    raise preflight.out_unwritable(path, "%s-2 to %s-%d are taken too" % (path, path, tries))


def make_folder(path):
    """The output folder, made once the checks have passed: the user's alone (one that another
    user made meanwhile is refused)."""
    try:
        os.makedirs(path, 0o755, exist_ok=True)  # writable by the user alone, whatever umask
        preflight.check_own_folder(path)
        with create_new(os.path.join(path, ".bench-run-probe")):
            pass
        os.unlink(os.path.join(path, ".bench-run-probe"))
    except OSError as e:
        raise preflight.out_unwritable(path, e.strerror or e) from None


__all__ = ["FAILURES", "Refusal", "run"]
