"""A run folder read into what the history keeps of it.

Everything comes from the folder: run.json (written by bench-run) for when, where, what and
how the run ended, and the results files, read and checked by benchlib.results, for the
windows' rates and the headline. A folder of results files without run.json (a run made by
hand) is a run too, with its context unknown; a run.json without results files (a run that
failed before any window wrote one) is a run without rates.
"""

import datetime
import hashlib
import json
import math
import os
from dataclasses import dataclass, field

from ..results import layout as L
from ..results.load import load_warning
from ..results.runs import UsageError, collect_files, folder_records, load_runs


class NotARun(Exception):
    """The folder cannot be recorded; the message says why, in one line."""


# The columns of the runs table that come from a run folder.
RUN_COLUMNS = (
    "run_key", "folder", "program", "windows", "frames", "seconds", "repeats",
    "start_time", "end_time", "started", "status", "error", "headline",
    "host", "cpu_model", "gl_renderer", "gl_version", "mpi_library", "mpi_version",
    "screen_width", "screen_height", "screen_depth", "git_revision",
    "mode", "rendering_env", "tag", "claim")
WINDOW_COLUMNS = ("window", "host", "frames", "seconds", "rate", "state")
HOST_COLUMNS = ("host", "cpu_model", "cores", "memory_bytes", "gl_renderer", "mpi_library",
                "windows", "rate")
WHOLE_RANGE = (-2 ** 63, 2 ** 63 - 1)  # what a history's INTEGER (BIGINT on a server) holds

# A run's start must be a time a run can have been made, and one every reader can show.
EARLIEST = datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc).timestamp()
LATEST = datetime.datetime(9000, 1, 1, tzinfo=datetime.timezone.utc).timestamp()


@dataclass
class RunEntry:
    run: dict                                     # RUN_COLUMNS -> value
    windows: list = field(default_factory=list)   # {window, host, frames, seconds, rate, state}
    hosts: list = field(default_factory=list)     # {host, cpu_model, cores, memory_bytes,
    #                                                gl_renderer, mpi_library, windows, rate}
    busy: str = None        # why the machine was busy beside the run (its load), or None
    disputed: str = None    # the folder of another run recorded with the same run_id
    recorded: tuple = None  # (run id in the history, recorded now) once recorded
    queued: str = None      # where the record waits for its server, when it is away
    sent: int = 0           # records that waited for the server, sent with this one
    notes: list = field(default_factory=list)  # what recording it has to say besides

    @property
    def series(self):
        """What makes runs comparable: program, windows, screen depth, GL renderer, mode
        and rendering variables."""
        r = self.run
        return (r["program"], r["windows"], r["screen_depth"], r["gl_renderer"], r["mode"],
                r["rendering_env"])


def _text(value):
    return value if isinstance(value, str) and value else None


def _epoch(iso_text):
    """Seconds since the epoch of an ISO 8601 time (local time when it has no offset)."""
    try:
        return datetime.datetime.fromisoformat(iso_text).timestamp()
    except (TypeError, ValueError):
        return None


def _rate(report):
    rate = report.average_quantity_rate
    return rate if report.frame_count and math.isfinite(rate) else None


def read_run(folder, parsed=None):
    """The RunEntry of a run folder; NotARun when the folder is not one run that has ended.
    parsed: {path: parsed results file} of the files read already."""
    if not os.path.isdir(folder):
        raise NotARun("%s: no such folder" % folder)
    folder = os.path.realpath(folder)
    records = folder_records(folder)
    if records.unreadable:
        raise NotARun(records.unreadable)
    rj = records.run_json or {}
    run = _results_run(folder, rj, parsed)
    program = run.program.name if run else rj.get("program")
    if program not in L.PROGRAMS:
        raise NotARun("%s is not a run folder: no results files (results_*.txt) and no "
                      "run.json naming a program" % folder)
    if rj and run is not None and not run.context:
        raise NotARun("%s: run.json describes another run than the results files beside it"
                      % folder)
    if rj.get("status") == "running":
        raise NotARun("%s: run.json says the run is still going on (status running); record "
                      "it when it has ended" % folder)
    ctx = rj.get("context", {})
    screen = ctx.get("screen", {})
    mpi = rj.get("mpi", {})
    start_time = _text(rj.get("start_time"))
    started = _epoch(start_time)
    if started is None and run is not None and run.start is not None:
        started = run.start.timestamp()  # the windows' start, local time, from the file names
        start_time = start_time or run.start.astimezone().isoformat(timespec="seconds")
    if started is not None and not EARLIEST <= started < LATEST:
        raise NotARun("%s: the run's start (%s) is not a time a run was made (it is before "
                      "the year 2000 or after 9000)" % (folder, start_time[:40]))
    windows = _window_rows(run, rj)
    entry = RunEntry(run={
        "run_key": _text(rj.get("run_id")) or folder,
        "folder": folder,
        "program": program,
        "windows": rj.get("windows") or len(windows),
        "frames": rj.get("frames"),
        "seconds": rj.get("seconds"),
        "repeats": rj.get("repeats"),
        "start_time": start_time,
        "end_time": _text(rj.get("end_time")),
        "started": started,
        "status": _text(rj.get("status")),
        "error": _text(rj.get("error")),
        "headline": run.headline if run and math.isfinite(run.headline) else None,
        "host": _text(ctx.get("host")) or _text(rj.get("host")),
        "cpu_model": _text(ctx.get("cpu_model")),
        "gl_renderer": _text(ctx.get("gl_renderer")),
        "gl_version": _text(ctx.get("gl_version")),
        "mpi_library": _text(ctx.get("mpi_library")) or _text(mpi.get("library")),
        "mpi_version": _text(ctx.get("mpi_version")) or _text(mpi.get("version")),
        "screen_width": screen.get("width"),
        "screen_height": screen.get("height"),
        "screen_depth": screen.get("depth"),
        "git_revision": _text(ctx.get("git_revision")),
        "mode": "seconds" if rj.get("seconds") is not None else "frames"
                if rj.get("frames") is not None else None,
        "rendering_env": _rendering_env(rj.get("rendering_env")),
        "tag": _text(rj.get("tag")),
        "claim": _claim(rj) if rj else None,
    }, windows=windows)
    entry.hosts = _host_rows(entry, rj)
    _escape_nul(entry)
    problem = unstorable(entry)
    if problem:
        raise NotARun("%s: run.json's %s" % (folder, problem))
    entry.busy = load_warning(ctx) if isinstance(ctx, dict) else None
    return entry


def _escape_nul(entry):
    """A NUL in a text (which no server keeps) written as the escape \\x00 that every display
    of the text shows anyway: the run is recorded, its text still telling what it held."""
    for row in [entry.run] + entry.windows + entry.hosts:
        for key, value in row.items():
            if isinstance(value, str) and "\x00" in value:
                row[key] = value.replace("\x00", "\\x00")


def unstorable(entry):
    """Why a history could not keep an entry's values (a text holding NUL, which no server
    takes; a whole number beyond 64 bits; a value that is no number or text), or None."""
    for part, rows in (("", [entry.run]), ("window ", entry.windows), ("host ", entry.hosts)):
        for row in rows:
            for key, value in row.items():
                if isinstance(value, str) and "\x00" in value:
                    return "%s%s holds a NUL character, which no history keeps" % (part, key)
                if isinstance(value, int) and not WHOLE_RANGE[0] <= value <= WHOLE_RANGE[1]:
                    return "%s%s is a whole number of %d digits, beyond what a history keeps " \
                           "(64 bits)" % (part, key, len(str(abs(value))))
                if value is not None and not isinstance(value, (str, int, float)):
                    return "%s%s is %s, not a number or a text" % (part, key,
                                                                    type(value).__name__)
    return None


def _rendering_env(env):
    """The rendering variables as canonical JSON, None when there are none."""
    if not isinstance(env, dict) or not env:
        return None
    return json.dumps({str(k): str(v) for k, v in env.items()}, sort_keys=True)


def _claim(rj):
    """A digest of what identifies the run a run.json describes."""
    who = {k: rj.get(k) for k in ("run_id", "start_time", "runner", "host", "program",
                                  "windows", "results_files")}
    return hashlib.sha256(json.dumps(who, sort_keys=True, default=str).encode()).hexdigest()


def _results_run(folder, rj, parsed=None):
    """The one run of the folder's results files, None when it has none."""
    try:
        files = collect_files([folder])
    except UsageError:
        return None
    runs, failures = load_runs(files, parsed=parsed)
    if failures:
        more = " (and %d more)" % (len(failures) - 1) if len(failures) > 1 else ""
        raise NotARun("%s%s" % (failures[0], more))
    if len(runs) > 1:
        raise NotARun("%s holds %d runs (%s): record a folder of one run"
                      % (folder, len(runs), "; ".join(r.label for r in runs)))
    return runs[0]


def _window_rows(run, rj):
    rows = []
    if run is not None:
        for r in run.reports:
            rows.append({"window": r.window, "host": r.host, "frames": r.frame_count,
                         "seconds": r.total_time if math.isfinite(r.total_time) else None,
                         "rate": _rate(r), "state": r.state})
        absent = run.absent
    else:
        absent = [{"window": int(w), "state": s["state"]}
                  for w, s in rj.get("results_file_states", {}).items()
                  if s["state"] != "complete"]
    hosts = rj.get("window_hosts", {})
    for a in absent:
        state = a["state"].upper()
        rows.append({"window": a["window"], "host": _text(hosts.get(str(a["window"]))),
                     "frames": 0, "seconds": None, "rate": None, "state": state})
    rows.sort(key=lambda w: w["window"] if w["window"] is not None else -1)
    return rows


def _host_rows(entry, rj):
    """Every host of the run: run.json's hosts, then those only the results files name; each
    with its windows and its rate (the rates of its windows summed)."""
    by_name = {}
    for h in rj.get("hosts", []):
        name = _text(h.get("name"))
        if name and name not in by_name:
            by_name[name] = {"host": name, "cpu_model": _text(h.get("cpu_model")),
                             "cores": h.get("cores"),
                             "memory_bytes": h.get("memory_bytes"),
                             "gl_renderer": _text(h.get("gl_renderer")),
                             "mpi_library": _text(h.get("mpi_library")),
                             "windows": 0, "rate": None}
    rates = {}
    for w in entry.windows:
        name = w["host"] or "?"
        if name not in by_name:
            own = name == entry.run["host"]
            by_name[name] = {"host": name, "cores": None, "memory_bytes": None,
                             "cpu_model": entry.run["cpu_model"] if own else None,
                             "gl_renderer": entry.run["gl_renderer"] if own else None,
                             "mpi_library": entry.run["mpi_library"], "windows": 0,
                             "rate": None}
        by_name[name]["windows"] += 1
        if w["rate"] is not None:
            rates.setdefault(name, []).append(w["rate"])
    for name, found in rates.items():
        by_name[name]["rate"] = math.fsum(found)
    return list(by_name.values())
