"""Verify: what the windows left in the run folder, window by window, and the verdict."""

import os
import sys

from .launch import RunError, file_complaint, full_disk_note
from .record import file_states, files_on_disk


def verify(plan, folder, console, too_many):
    """Per-window lines; the problems that make the run fail."""
    on_disk = files_on_disk(folder, plan.program, plan.windows)
    states = file_states(folder, plan.program, plan.windows, console.update(), on_disk)
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


def report(plan, folder, console, too_many, wrong_pictures=()):
    lines, problems = verify(plan, folder, console, too_many)
    problems += list(wrong_pictures)
    for line in lines:
        print(line)
    if problems:
        raise RunError("; ".join(problems) + full_disk_note(folder))
    print("run complete: %s (%s %s for the report)" % (folder, report_command(), folder))


def report_command():
    """bench-report as this bench-run was called: by name from PATH (installed), else by its
    path (tools/bench-report in a checkout)."""
    folder = os.path.dirname(sys.argv[0])
    on_path = not folder or folder in os.environ.get("PATH", "").split(os.pathsep)
    return "bench-report" if on_path else os.path.join(os.path.abspath(folder), "bench-report")
