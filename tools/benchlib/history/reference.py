"""A reference file (TOML) made from pinned runs: per program, windows, depth and renderer,
the workload rate one window should reach and how far below or above it is still accepted.

Each entry comes from the pinned runs (not excluded, ended ok, with a headline) of one
series: its rate per window is their median headline divided by the windows; its lower and
upper tolerances cover both the pinned runs' own range and three robust spreads (MAD of the
log rates x 1.4826) on either side, and are at least --min-tolerance per cent. The renderer
is written as a shell pattern matching exactly that renderer.
"""

import datetime
import json
import math
import statistics

from . import analysis
from .console import shown

MIN_PINNED = 3    # fewer pinned runs than this make no reference
SPREADS = 3       # the tolerance covers this many robust spreads


def toml_string(text):
    """A TOML basic string of any text (JSON's escapes are TOML's; DEL must be escaped)."""
    return json.dumps(text, ensure_ascii=False).replace("\x7f", "\\u007f")


def glob_literal(text):
    """A shell pattern that matches exactly text."""
    return "".join("[%s]" % c if c in "*?[" else c for c in text)


def _up(value):
    return math.ceil(value * 10) / 10


def entry_for(series, runs, min_tolerance):
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
    values = {"program": program, "windows": windows}
    if depth is not None:
        values["depth"] = depth
    if renderer:
        values["renderer"] = glob_literal(renderer)
    values.update(rate_per_window=float("%.6g" % median), lower=_up(lower), upper=_up(upper))
    return values


def write_toml(entries, hosts=None):
    """The file's text: entries are (series, pinned runs, values)."""
    lines = ["# Reference rates, written by bench-history reference on %s from pinned runs."
             % datetime.date.today().isoformat(), ""]
    for series, runs, values in entries:
        lines.append("# %s: median of %d pinned run(s) (ids %s)" % (
            shown(analysis.describe_series(series)), len(runs),
            ", ".join(str(r["id"]) for r in runs)))
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


def reference_entries(rows, min_tolerance):
    """(entries, notes) of the pinned runs given: an entry a series; a note for a series with
    too few pinned runs, or whose pinned runs span modes or rendering variables (the
    reference does not tell those apart)."""
    by_series, notes = {}, []
    for r in rows:
        by_series.setdefault(analysis.series_of(r), []).append(r)
    by_key = {}
    for series in by_series:
        by_key.setdefault(series[:4], []).append(series)
    entries = []
    for key, found in by_key.items():
        if len(found) > 1:
            notes.append("the pinned runs of %s span %d series (modes or rendering variables): "
                         "pin the runs of one" % (analysis.describe_series(found[0]),
                                                  len(found)))
            continue
        runs = by_series[found[0]]
        if len(runs) < MIN_PINNED:
            notes.append("%s has %d pinned run(s), %d needed for a reference" % (
                analysis.describe_series(found[0]), len(runs), MIN_PINNED))
            continue
        entries.append((found[0], runs, entry_for(found[0], runs, min_tolerance)))
    return entries, notes
