"""Verify: what the windows left in the run folder, read once, window by window, and the
verdict. The record and the history take the same reading."""

import os
import sys
from dataclasses import dataclass

from ..hosts import placement
from ..results import layout as L
from ..results.parser import ParseError, parse_results_file
from .launch import RunError, file_complaint, full_disk_note


def window_host(file_name):
    name = L.parse_results_name(file_name)
    return name.host if name else None


def files_on_disk(folder, program, windows):
    """{window: (file name, parsed results file or None, parse error or None)}."""
    found = {}
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        names = []
    for name in names:
        w = program.results_window(name)
        if w in windows and w not in found:
            try:
                found[w] = (name, parse_results_file(os.path.join(folder, name)), None)
            except (ParseError, OSError) as e:
                found[w] = (name, None, str(e))
    return found


def file_states(folder, program, windows, console, on_disk=None):
    """The results_file_states entry of run.json for every window (on_disk: what
    files_on_disk found, when it has just been called)."""
    if on_disk is None:
        on_disk = files_on_disk(folder, program, windows)
    states = {}
    for w in windows:
        said = console.get(w)
        if said:
            states[str(w)] = {"state": said["state"], "error": said["error"]}
        elif w not in on_disk:
            states[str(w)] = {"state": "not created", "error": None}
        elif on_disk[w][2]:
            states[str(w)] = {"state": "incomplete", "error": on_disk[w][2]}
        else:
            states[str(w)] = {"state": "complete", "error": None}
    return states



@dataclass
class Results:
    """The windows' results files as read at the run's end."""
    folder: str
    windows: list
    on_disk: dict   # files_on_disk
    states: dict    # file_states

    @property
    def parsed(self):
        """{path: parsed results file}, for the history."""
        folder = os.path.realpath(self.folder)  # as the history names the files
        return {os.path.join(folder, name): rf for name, rf, _e in self.on_disk.values()
                if rf is not None}


def read_results(plan, folder, console):
    on_disk = files_on_disk(folder, plan.program, plan.windows)
    return Results(folder, plan.windows, on_disk,
                   file_states(folder, plan.program, plan.windows, console.update(), on_disk))



# Up to this many windows each get a line of their own at the end; beyond it, only the windows
# that need attention do, and the rest one line together.
HANDFUL = 8


def verify(plan, results, console, too_many):
    """(lines to show, problems that make the run fail)."""
    lines, fine, problems = [], {}, []
    for w in plan.windows:
        state = results.states[str(w)]
        name, parsed, _ = results.on_disk.get(w, (None, None, None))
        said = console.states.get(w)
        if said:
            lines.append(file_complaint(w, said))
            problems.append("window %d: results file %s" % (w, said["state"]))
            continue
        if state["state"] != "complete":
            problems.append("window %d: results file %s%s" % (
                w, state["state"], ": " + state["error"] if state["error"] else ""))
            continue
        found = window_problems(plan, w, name, parsed)
        line = "window %d: %d frame(s), %s: %s" % (
            w, len(parsed.frames), "summary written" if parsed.summary else "no summary", name)
        if found or len(plan.windows) <= HANDFUL:
            lines.append(line)
        else:
            fine[w] = len(parsed.frames)
        problems += found
    if fine:
        lines.append(fine_windows_line(fine))
    if too_many:
        problems.insert(0, "window(s) %s drew frames before the pause (p) took effect, more "
                        "than --frames %d" % (", ".join(map(str, too_many)), plan.args.frames))
    return lines, problems


def window_problems(plan, w, name, parsed):
    a = plan.args
    found = []
    if parsed.summary is None:
        found.append("window %d: no summary in %s" % (w, name))
    if a.frames is not None and len(parsed.frames) != a.frames:
        found.append("window %d reported %d frames, not %d" % (w, len(parsed.frames), a.frames))
    elif a.seconds is not None and not parsed.frames:
        found.append("window %d drew no frame in %g s of animation (its initialisation took "
                     "%s)" % (w, a.seconds, "%s s" % parsed.init_time.text
                              if parsed.init_time is not None else "an unknown time"))
    return found


def fine_windows_line(frames):
    """One line for the windows whose files are whole: {window: frames reported}."""
    low, high = min(frames.values()), max(frames.values())
    counts = "%d frame(s) each" % low if low == high else "%d to %d frames" % (low, high)
    return "window(s) %s: %s, every summary written" % (placement.span(sorted(frames)), counts)


def report(plan, folder, results, console, too_many):
    lines, problems = verify(plan, results, console, too_many)
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
