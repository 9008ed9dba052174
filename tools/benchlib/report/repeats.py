"""A run repeated with bench-run --repeat K: a folder with a sub-folder per repeat.

Each repeat is reported in its own folder; the repeated run gets its repeats' headlines and
their spread (median, min-max, coefficient of variation). To compare, the repeats are merged
window by window (frame k of window w in repeat r pairs with the same frame of the other
run's repeat r) and their headlines are the units of the total's test."""

import math
import os
import re
import statistics
from dataclasses import dataclass

import numpy as np

from ..results.files import read_json
from ..results.numbers import safe_sum

FOLDER = re.compile(r"repeat-(\d+)")


def repeat_folders(path):
    """The repeat sub-folders of a folder, in order; [] for any other folder."""
    if not os.path.isdir(path):
        return []
    found = [(int(m.group(1)), os.path.join(path, name)) for name in os.listdir(path)
             for m in [FOLDER.fullmatch(name)] if m and os.path.isdir(os.path.join(path, name))]
    return [folder for _k, folder in sorted(found)]


def statuses(path):
    """{repeat folder name: status} from the repeated run's run.json."""
    data, problem = read_json(os.path.join(path, "run.json"))
    if problem or not isinstance(data, dict) or not isinstance(data.get("repeats"), list):
        return {}
    return {r.get("folder"): r.get("status") for r in data["repeats"]
            if isinstance(r, dict) and isinstance(r.get("folder"), str)}


def spread(headlines):
    """Median, min, max and coefficient of variation (per cent) of finite headlines (of the
    repeats that ended ok: the caller picks them)."""
    values = [h for h in headlines if math.isfinite(h)]
    if not values:
        return {"repeats": 0, "median": None, "min": None, "max": None, "cv_percent": None,
                "range_percent": None}
    median = statistics.median(values)
    cv = (statistics.stdev(values) / statistics.mean(values) * 100
          if len(values) > 1 and statistics.mean(values) else None)
    return {"repeats": len(values), "median": median, "min": min(values),
            "max": max(values), "cv_percent": cv,
            "range_percent": (max(values) - min(values)) / median * 100 if median else None}


def spread_notes(rows, summary):
    """What the spread leaves out, and what it means for a comparison."""
    notes = []
    left_out = ["%d (%s)" % (k, status or "status unknown") for k, status, _h in rows
                if status != "ok"]
    if left_out:
        notes.append("repeat(s) %s did not end ok: left out of the spread"
                     % ", ".join(left_out))
    if summary["range_percent"] is not None:
        notes.append("the repeats' headlines spread over %.1f%% of their median: a comparison "
                     "cannot tell a smaller change from run-to-run noise"
                     % summary["range_percent"])
    return notes


def spread_lines(rows, summary, unit):
    """The console lines: a row per repeat, then the spread."""
    lines = ["repeat  status       headline %s" % unit]
    for k, status, headline in rows:
        lines.append("%6d  %-11s  %.6g" % (k, status or "?", headline))
    if summary["repeats"]:
        lines.append("spread over %d repeat(s) that ended ok: median %.6g, min %.6g, max %.6g, "
                     "coefficient of variation %s" % (
                         summary["repeats"], summary["median"], summary["min"],
                         summary["max"], "-" if summary["cv_percent"] is None
                         else "%.2f%%" % summary["cv_percent"]))
    return lines


@dataclass
class MergedWindow:
    """One window over every repeat: what a comparison reads of a window."""
    window: int
    host: str
    times: np.ndarray
    frame_rates: np.ndarray
    quantities: np.ndarray
    frame_count: int
    average_quantity_rate: float
    state: str
    file: object  # the first repeat's results file (its initialisation time)
    start: object  # the first repeat's start

    @property
    def rates(self):
        return self.frame_rates[np.isfinite(self.frame_rates)]


def merged_run(runs):
    """The runs of the repeats as one run for a comparison, its windows merged."""
    first = runs[0]
    by_window = {}
    for run in runs:
        for r in run.reports:
            by_window.setdefault(r.window, []).append(r)
    windows = []
    for w, reports in sorted(by_window.items(), key=lambda i: (i[0] is None, i[0] or 0)):
        times = np.concatenate([r.times for r in reports])
        work = safe_sum(r.quantity_sum for r in reports
                        if r.frame_count and math.isfinite(r.quantity_sum))
        total = safe_sum(r.total_time for r in reports)
        states = {r.state for r in reports}
        windows.append(MergedWindow(
            w, reports[0].host, times, np.concatenate([r.frame_rates for r in reports]),
            np.concatenate([r.quantities for r in reports])
            if reports[0].quantities is not None else None,
            len(times), work / total if total else math.nan,
            "ok" if states == {"ok"} else sorted(states - {"ok"})[0], reports[0].file,
            reports[0].start))
    return type(first)(program=first.program, reports=windows, context=first.context)
