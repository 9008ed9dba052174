"""A reference file (TOML) made from pinned runs: per program, windows, depth and renderer,
the workload rate one window should reach and how far below or above it is still accepted.

Each entry comes from the pinned runs (not excluded, ended ok, with a headline) of one
series: its rate per window is their median headline divided by the windows; its lower and
upper tolerances cover both the pinned runs' own range and three robust spreads (MAD of the
log rates x 1.4826) on either side, and are at least --min-tolerance per cent (the lower one
under 100, as a reference file must have it). The renderer is written as a shell pattern
matching exactly that renderer.

An entry is for runs of its window count only (`windows = N`): a window's rate depends on how
many windows share its host. With --any-windows the entry leaves the count out and covers runs
of any count; it is then made only from pinned runs with at most one window a host, whatever
their count, whose rate per window does not depend on it.
"""

import datetime
import json
import math
import statistics

from . import analysis
from .console import shown

MIN_PINNED = 3    # fewer pinned runs than this make no reference
SPREADS = 3       # the tolerance covers this many robust spreads
MOST_LOWER = 99.9  # a reference's lower tolerance is under 100 per cent


def toml_string(text):
    """A TOML basic string of any text (JSON's escapes are TOML's; DEL must be escaped)."""
    return json.dumps(text, ensure_ascii=False).replace("\x7f", "\\u007f")


def glob_literal(text):
    """A shell pattern that matches exactly text."""
    return "".join("[%s]" % c if c in "*?[" else c for c in text)


def _up(value):
    return math.ceil(value * 10) / 10


def entry_for(series, runs, min_tolerance, any_windows=False):
    """The [[reference]] values of a series' pinned runs."""
    program, windows, depth, renderer = series[:4]
    rates = [r["headline"] / r["windows"] for r in runs]
    median = statistics.median(rates)
    logs = [math.log(x / median) for x in rates]
    scale = analysis.MAD_SCALE * statistics.median(abs(x) for x in logs)
    lower = max(min_tolerance, (1 - math.exp(-SPREADS * scale)) * 100,
                (1 - min(rates) / median) * 100)
    upper = max(min_tolerance, (math.exp(SPREADS * scale) - 1) * 100,
                (max(rates) / median - 1) * 100)
    values = {"program": program} if any_windows else {"program": program, "windows": windows}
    if depth is not None:
        values["depth"] = depth
    if renderer:
        values["renderer"] = glob_literal(renderer)
    values.update(rate_per_window=float("%.6g" % median), lower=min(_up(lower), MOST_LOWER),
                  upper=_up(upper))
    return values


def write_toml(entries, hosts=None):
    """The file's text: entries are (series, pinned runs, values)."""
    lines = ["# Reference rates, written by bench-history reference on %s from pinned runs."
             % datetime.date.today().isoformat(), ""]
    for series, runs, values in entries:
        lines.append("# %s: median of %d pinned run(s) (ids %s)" % (
            shown(analysis.describe_series(series)), len(runs),
            ", ".join(str(r["id"]) for r in runs)))
        lines.append("# for runs of %s" % ("%d window(s) only: a run of another count is not "
                                           "judged by it" % values["windows"]
                                           if "windows" in values else
                                           "any window count, one window a host"))
        lines.append("[[reference]]")
        if hosts is not None:
            values = dict(values, hosts=hosts)
        for key in ("program", "windows", "depth", "hosts", "renderer", "rate_per_window",
                    "lower", "upper"):
            if key in values:
                value = values[key]
                lines.append("%s = %s" % (key, toml_string(value) if isinstance(value, str)
                                          else repr(value)))
        lines.append("")
    return "\n".join(lines)


def reference_entries(rows, min_tolerance, any_windows=False):
    """(entries, notes) of the pinned runs given: an entry a series (any_windows: a series
    whatever its window count); a note for a series with too few pinned runs, whose pinned
    runs span modes or rendering variables (the reference does not tell those apart), or,
    with any_windows, a run with more than one window on a host."""
    by_series, notes = {}, []
    for r in rows:
        by_series.setdefault(analysis.series_of(r), []).append(r)
    by_key = {}
    for series in by_series:
        program, windows, depth, renderer = series[:4]
        by_key.setdefault((program, None if any_windows else windows, depth, renderer),
                          []).append(series)
    entries = []
    for key, found in by_key.items():
        if len({series[4:] for series in found}) > 1:
            notes.append("the pinned runs of %s span %d series (modes or rendering variables): "
                         "pin the runs of one" % (analysis.describe_series(found[0]),
                                                  len(found)))
            continue
        runs = [r for series in found for r in by_series[series]]
        crowded = [r for r in runs if any((h["windows"] or 0) > 1 for h in r["hosts"])]
        if any_windows and crowded:
            notes.append("%s: pinned run %d placed more than one window on a host, so its rate "
                         "per window holds for its window count only: left out of --any-windows"
                         % (analysis.describe_series(found[0]), crowded[0]["id"]))
            continue
        if len(runs) < MIN_PINNED:
            notes.append("%s has %d pinned run(s), %d needed for a reference" % (
                analysis.describe_series(found[0]), len(runs), MIN_PINNED))
            continue
        entries.append((found[0], runs, entry_for(found[0], runs, min_tolerance, any_windows)))
    return entries, notes
