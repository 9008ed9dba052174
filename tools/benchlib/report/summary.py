"""A run's report in files: frames.csv (one row per frame) and summary.json."""

import csv
import itertools
import math
import os
import tempfile

import numpy as np

from ..results.numbers import frame_time_stats, json_number, safe_sum
from ..results.texts import for_csv
from .output import write_file
from .refresh import refresh_note
from .slow_hosts import DISPLAY_RULE, RULE

HEADLINE_RULE = ("sum over the windows of each window's total workload (triangles or vertices "
                 "of all its reported frames) / its total running time; windows without "
                 "frames add nothing")
SLOWEST_RULE = ("lowest average workload rate (triangles/s or vertices/s, recomputed from its "
                "frames); a tie goes to the larger total running time; windows without frames "
                "are left out")


def all_times(reports):
    """The frame times of some windows, as one array."""
    return np.concatenate([r.times for r in reports]) if reports else np.zeros(0)


def group_totals(reports):
    """Frames, total time, summed workload rate and frame-time statistics of some windows."""
    counted = [r for r in reports if r.frame_count and math.isfinite(r.average_quantity_rate)]
    rates = [r.average_quantity_rate for r in counted]
    return {
        "windows": len(reports),
        "frames": sum(r.frame_count for r in reports),
        "total_time_s": safe_sum(r.total_time for r in reports),
        "quantity_rate": safe_sum(rates) if rates else math.nan,
        "frame_time_s": frame_time_stats(all_times(reports)),
    }


CSV_HEAD = ["window", "host", "frame", "frame_time_s", "angle_rate", "quantity",
            "quantity_rate"]


class FrameRows:
    """frames.csv of every run being read, written window by window as the windows are
    read (called with run index, report, frame columns as printed): one file a run, begun
    beside the output folder and put in place once the whole report can be made."""

    def __init__(self, folder):
        self.folder = folder
        self.open = {}  # run index -> (temporary path, file, csv writer)

    def __call__(self, index, report, columns):
        if index not in self.open:
            fd, path = tempfile.mkstemp(dir=self.folder, prefix=".frames.csv.")
            f = os.fdopen(fd, "w", encoding="utf-8", newline="")
            self.open[index] = (path, f, csv.writer(f, lineterminator="\n"))
            self.open[index][2].writerow(CSV_HEAD)
        n = len(columns)
        if columns.triangles is not None:
            quantities = map(str, columns.triangles)
        else:
            vertices = report.vertices_per_frame
            quantities = itertools.repeat("" if vertices is None else "%.10g" % vertices, n)
        self.open[index][2].writerows(zip(
            itertools.repeat(report.window), itertools.repeat(for_csv(report.host)),
            range(1, n + 1), columns.seconds, columns.angle_rates, quantities, columns.rates))

    def place(self, index, path):
        """Puts the frames.csv of run `index` at path (an empty one for a run without
        windows); returns path."""
        if index not in self.open:
            return write_file(path, lambda f: csv.writer(f, lineterminator="\n").writerow(
                CSV_HEAD))
        temporary, f, _writer = self.open.pop(index)
        f.close()
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
        return path

    def discard(self):
        for temporary, f, _writer in self.open.values():
            f.close()
            try:
                os.unlink(temporary)
            except OSError:
                pass
        self.open = {}


def _totals_json(totals):
    return {"windows": totals["windows"], "frames": totals["frames"],
            "total_time_s": json_number(totals["total_time_s"]),
            "quantity_rate": json_number(totals["quantity_rate"]),
            "frame_time_s": {k: json_number(v) for k, v in totals["frame_time_s"].items()}}


def file_states(run):
    """{window: {"state", "error", "run_said"}}: each results file as the report found it.
    complete only for a file that holds its summary; "cut short" for one that stops before
    (whatever the run said of it: run_said)."""
    states = {}
    for r in run.reports:
        said = r.file_state.get("state") if r.file_state else None
        if r.incomplete:
            state, error = said, r.file_state.get("error")
        elif r.file.summary is None:
            state, error = "cut short", "; ".join(r.file.notes) or None
        else:
            state, error = "complete", None
        states[r.window] = {"state": state, "error": error, "run_said": said}
    for a in run.absent:
        states[a["window"]] = {"state": a["state"], "error": a.get("error"),
                               "run_said": a["state"]}
    return {str(w): states[w] for w in sorted(states, key=lambda w: (w is None, w or 0))}


def refresh_notes(run):
    """{window: note} of the windows whose frame times follow a display's refresh."""
    return {r.window: note for r in run.reports if (note := refresh_note(r.times)) is not None}


def refresh_lines(notes):
    """The run's notes of refresh_notes(run): one a window, naming it."""
    return ["window %s: %s" % (w, note) for w, note in notes.items()]


def refresh_lines_of(data):
    """refresh_lines of a summary's windows."""
    return refresh_lines({w["window"]: w["refresh_note"] for w in data["windows"]
                          if "refresh_note" in w})


def _window_json(run, report, refresh):
    """A window's entry: its report, its display when run.json names it, and the refresh its
    frames follow when they do."""
    entry = report.as_json()
    if report.window in run.displays:
        entry["display"] = run.displays[report.window]
    if report.window in refresh:
        entry["refresh_note"] = refresh[report.window]
    return entry


def summary_data(run, verdicts=None, display_verdicts=None):
    """summary.json; verdicts: (host verdicts, why the run cannot decide) of a run across
    hosts; display_verdicts: the same of the displays of a run whose hosts used several."""
    program = run.program
    slowest = run.slowest
    refresh = refresh_notes(run)
    data = {
        "program": program.name,
        "run": run.label,
        "quantity": program.quantity,
        "quantity_rate_unit": program.quantity_unit,
        "context": run.context,
        "check": "each printed number is taken as its value +/- half a unit in the sixth "
                 "significant digit; totals and averages are recomputed from the frames "
                 "with these bounds and must overlap the printed summary",
        "windows": [_window_json(run, r, refresh) for r in run.reports],
        "absent_windows": run.absent,
        "across_windows": {
            "windows": len(run.reports) + len(run.absent),
            "frames": sum(r.frame_count for r in run.reports),
            "headline_rate": json_number(run.headline),
            "headline_rule": HEADLINE_RULE,
            "slowest_window": slowest.window if slowest else None,
            "slowest_window_rule": SLOWEST_RULE,
            "not_ok": [r.window for r in run.reports if r.state != "ok"] +
                      [a["window"] for a in run.absent],
        },
        "hosts": {host: _totals_json(group_totals(reports))
                  for host, reports in run.hosts().items()},
        "notes": run.notes + refresh_lines(refresh),
        "results_file_states": file_states(run),
    }
    if run.several_displays():
        data["host_displays"] = {host: {display: _totals_json(group_totals(reports))
                                        for display, reports in displays.items()}
                                 for host, displays in run.host_displays().items()}
    if verdicts is not None:
        data["host_verdicts"] = [v.as_json() for v in verdicts[0]]
        data["host_verdict_rule"] = RULE
        data["host_verdict_undecided"] = verdicts[1]
    if display_verdicts is not None:
        data["display_verdicts"] = [v.as_json() for v in display_verdicts[0]]
        data["display_verdict_rule"] = DISPLAY_RULE
        data["display_verdict_undecided"] = display_verdicts[1]
    return data
