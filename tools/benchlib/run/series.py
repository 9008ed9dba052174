"""--repeat K: the same plan run K times back to back, into one folder with a sub-folder per
repeat (repeat-1, repeat-2, ...), each a run folder of its own made by fresh processes on the
displays the first repeat opened. The folder's run.json lists every repeat begun with its
state (a repeat is listed "running" before it starts, so that a series killed on the way
still shows it); a repeat that fails ends the series. With --repeat-until CV the series ends
as soon as the headlines of its repeats (three or more) spread by less than CV per cent
(their coefficient of variation), K being the most it runs."""

import os
import statistics
import sys
import uuid

from ..history.folder import NotARun, read_run
from ..results.files import read_json, replace_json
from .orphans import runner_identity, write_tag
from .record import final_status, now_iso
from .verify import report_command

PREFIX = "repeat-"


def repeat_folder(parent, k):
    return os.path.join(parent, "%s%d" % (PREFIX, k))


def repeat_status(folder):
    """(status, error) of a repeat as its own run.json tells, or None."""
    info, problem = read_json(os.path.join(folder, "run.json"))
    if problem or not isinstance(info, dict) or not isinstance(info.get("status"), str):
        return None
    return info["status"], info.get("error")


def headline(folder):
    try:
        return read_run(folder).run.get("headline")
    except (NotARun, OSError, ValueError):
        return None


def spread_reached(info, parent, target, progress):
    """Whether the repeats so far spread by less than target per cent; the figures go into
    the series' run.json."""
    entry = info["repeats"][-1]
    if entry["status"] == "ok" and "headline" not in entry:  # each repeat read once
        entry["headline"] = headline(os.path.join(parent, entry["folder"]))
    values = [r["headline"] for r in info["repeats"] if r["status"] == "ok" and r.get("headline")]
    if len(values) < 3:
        return False
    cv = statistics.stdev(values) / statistics.mean(values) * 100
    reached = cv < target
    info["repeat_until"] = {"target_percent": target, "spread_percent": round(cv, 2),
                            "repeats": len(values), "reached": reached}
    progress.say("the headlines of %d repeats spread by %.2f%%, %s the target of %g%% "
                 "(--repeat-until)%s" % (len(values), cv, "below" if reached else "not below",
                                         target, ": the series ends" if reached else ""))
    return reached


def missed_line(info, target):
    """The series ran every repeat without its headlines spreading by less than target."""
    figures = info.get("repeat_until")
    if figures is None:
        return ("the target of --repeat-until %g%% was missed: fewer than 3 repeats ended ok, "
                "so there is no spread" % target)
    return ("the target of --repeat-until %g%% was missed: after %d repeats the headlines "
            "spread by %.2f%%" % (target, figures["repeats"], figures["spread_percent"]))


def run_series(plan, argv, progress, make_folder, run_one):
    """Runs run_one(folder) for every repeat; the series' run.json in plan.out."""
    args = plan.args
    parent = plan.out
    make_folder(parent)
    write_tag(parent, plan.token)
    info = {"program": args.program, "windows": args.windows, "frames": args.frames,
            "seconds": args.seconds, "repeat": args.repeat, "status": "running",
            "error": None, "run_id": uuid.uuid4().hex, "start_time": now_iso(), "end_time": None,
            "command": [sys.argv[0]] + list(argv), "runner": runner_identity(), "repeats": []}
    path = os.path.join(parent, "run.json")
    replace_json(path, info)
    status, error = "ok", None
    try:
        for k in range(1, args.repeat + 1):
            progress.say("repeat %d of %d" % (k, args.repeat))
            folder = repeat_folder(parent, k)
            entry = {"folder": os.path.basename(folder), "status": "running"}
            info["repeats"].append(entry)
            replace_json(path, info)
            try:
                make_folder(folder)
                run_one(folder)
                entry["status"] = "ok"
            except BaseException as e:
                entry["status"], entry["error"] = repeat_status(folder) or final_status(e)
                raise
            finally:
                replace_json(path, info)
            if args.repeat_until and spread_reached(info, parent, args.repeat_until, progress):
                break
        else:
            if args.repeat_until:
                progress.say(missed_line(info, args.repeat_until))
    except BaseException as e:
        status, error = final_status(e)
        raise
    finally:
        info.update(status=status, error=error, end_time=now_iso())
        replace_json(path, info)
    print("repeats complete: %s (%s %s for the report)" % (parent, report_command(), parent))
