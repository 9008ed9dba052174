"""Results files gathered into runs, with what the run's folder says about them.

A run is the files of one program whose windows started together: every window names its
file after its start time, so the files of a run carry start times seconds apart and each
window number once. run.json (written by bench-run) and console.log, when the folder has
them, add the run's context and whether a window's results file is complete.
"""

import datetime
import functools
import glob
import math
import os
from dataclasses import dataclass, field

from . import layout as L
from .files import open_regular, shown, text_lines
from .numbers import safe_sum
from .parser import ParseError, parse_results_file
from .run_json import read_run_json
from .window_check import WindowReport

HEAD_BYTES = 65536  # the title and initialisation lines are well within this

# Windows of one run start within this of each other (a launcher starting thousands of
# processes on a busy machine takes a while).
RUN_SPREAD = datetime.timedelta(minutes=10)


class UsageError(Exception):
    pass


def collect_files(paths):
    """The results files named by the arguments (folders are searched for results_*.txt),
    each once, however often or by whatever path it was named."""
    files, seen = [], set()
    for path in paths:
        if os.path.isdir(path):
            found = sorted(glob.glob(os.path.join(glob.escape(path), "results_*.txt")))
            if not found:
                raise UsageError("no results files (results_*.txt) in %s" % shown(path))
        elif os.path.lexists(path):
            found = [path]
        else:
            raise UsageError("no such file or folder: %s" % shown(path))
        for f in found:
            if os.path.realpath(f) not in seen:
                seen.add(os.path.realpath(f))
                files.append(f)
    return files


@dataclass
class FileHead:
    """What a results file's name and first lines tell: enough to group it into its run."""
    path: str
    program: L.Program
    window: int = None  # from the initialisation line

    @property
    def name(self):
        return os.path.basename(self.path)

    @functools.cached_property
    def name_info(self):
        return L.parse_results_name(self.name)


def read_head(path):
    """The FileHead of a results file; ParseError when it is none, OSError when unreadable."""
    with open_regular(path) as f:
        lines = f.read(HEAD_BYTES).decode("utf-8", "replace").split("\n")
    program = L.program_by_title(lines[0])
    if program is None:
        return FileHead(path, parse_results_file(path).program)  # names what is wrong
    init = L.INIT_LINE.match(lines[1 + program.title_blank_lines]) \
        if len(lines) > 1 + program.title_blank_lines else None
    return FileHead(path, program, int(init["window"]) if init else None)


# ---------------------------------------------------------------- grouping

def _window_of(rf):
    name = rf.name_info
    return name.window if name else rf.window


def _start_of(rf):
    name = rf.name_info
    return name.start if name else None


def group_into_runs(parsed):
    """Lists of files, one per run: each window 1 starts a run, then every other file joins
    the run of its program nearest in start time that lacks its window."""
    groups = []

    def nearest(rf):
        start, window = _start_of(rf), _window_of(rf)
        best = None
        for g in groups:
            if g["program"] is not rf.program or window in g["windows"]:
                continue
            if (start is None) != (g["start"] is None):
                continue
            gap = abs(start - g["start"]) if start is not None else datetime.timedelta(0)
            if gap <= RUN_SPREAD and (best is None or gap < best[0]):
                best = (gap, g)
        return best[1] if best else None

    def add(g, rf):
        g["windows"].add(_window_of(rf))
        g["files"].append(rf)

    def key(rf):
        name = rf.name_info
        return (rf.program.name, name is not None, name.start if name else 0,
                name.variant if name else 0, _window_of(rf) or 0, rf.path)

    ordered = sorted(parsed, key=key)
    for rf in ordered:
        if _window_of(rf) == 1:
            groups.append({"program": rf.program, "start": _start_of(rf), "windows": set(),
                           "files": []})
            add(groups[-1], rf)
    for rf in ordered:
        if _window_of(rf) == 1:
            continue
        g = nearest(rf)
        if g is None:
            g = {"program": rf.program, "start": _start_of(rf), "windows": set(), "files": []}
            groups.append(g)
        add(g, rf)
    for g in groups:
        g["files"].sort(key=lambda rf: (_window_of(rf) is None, _window_of(rf) or 0, rf.path))
    groups.sort(key=lambda g: (g["program"].name, g["start"] is not None,
                               g["start"] or datetime.datetime.min))
    return [g["files"] for g in groups]


# ---------------------------------------------------------------- the folder's own records

def context_of(run_json):
    """The run's context from run.json: the machine and set-up, how the run ended, its hosts."""
    if not run_json:
        return {}
    ctx = dict(run_json.get("context", {}))
    for k in ("status", "error", "start_time", "end_time", "run_id", "windows_ended_early",
              "screen_depth", "vsync", "wrap", "rendering_env", "pictures", "frames"):
        if run_json.get(k) is not None:
            ctx[k] = run_json[k]
    if run_json.get("hosts"):
        ctx["hosts"] = run_json["hosts"]
    return ctx


@dataclass
class FolderRecords:
    run_json: dict = None    # the sound fields of run.json
    notes: list = field(default_factory=list)  # what of run.json could not be used
    unreadable: str = None   # why a run.json that is there could not be read at all
    states_by_name: dict = field(default_factory=dict)    # file name -> state
    states_by_window: dict = field(default_factory=dict)  # window -> state (run.json only)


def folder_records(folder):
    run_json, notes = read_run_json(folder)
    records = FolderRecords(run_json=run_json, notes=notes,
                            unreadable=notes[0] if run_json is None and notes else None)
    console = os.path.join(folder, "console.log")
    if os.path.lexists(console):
        try:
            states = L.results_file_states(text_lines(console))
        except OSError as e:
            records.notes.append("%s cannot be read (%s): the windows' own word on their "
                                 "results files is unknown" % (shown(console), e.strerror))
            states = {}
        for window, state in states.items():
            name = state["path"].replace("\\", "/").rsplit("/", 1)[-1]
            records.states_by_name[name] = {"state": state["state"], "error": state["error"],
                                            "window": window}
    rj = records.run_json or {}
    names = rj.get("results_files", {})
    for w, state in rj.get("results_file_states", {}).items():
        entry = {"state": state["state"], "error": state.get("error"), "window": int(w)}
        if w in names:
            records.states_by_name.setdefault(names[w], entry)
        records.states_by_window[int(w)] = entry
    return records


# ---------------------------------------------------------------- runs

@dataclass
class Run:
    program: L.Program
    reports: list
    context: dict = field(default_factory=dict)
    absent: list = field(default_factory=list)  # windows the run names without a usable file
    notes: list = field(default_factory=list)
    displays: dict = field(default_factory=dict)  # window -> the display it got (run.json)

    @property
    def start(self):
        starts = [r.start for r in self.reports if r.start is not None]
        return min(starts) if starts else None

    @property
    def label(self):
        start = self.start
        when = start.strftime("%Y-%m-%d %H:%M:%S") if start else "unknown start"
        return "%s run of %s" % (self.program.name, when)

    @property
    def slug(self):
        start = self.start
        return "%s-%s" % (self.program.name, start.strftime("%Y%m%d-%H%M%S") if start else "run")

    def counted(self):
        """The windows whose figures count: frames drawn and a finite workload rate."""
        return [r for r in self.reports
                if r.frame_count and math.isfinite(r.average_quantity_rate)]

    @property
    def headline(self):
        """Workload rate summed over the windows: each window's total workload / total time."""
        rates = [r.average_quantity_rate for r in self.counted()]
        return safe_sum(rates) if rates else math.nan

    @property
    def slowest(self):
        counted = self.counted()
        return min(counted, key=lambda r: (r.average_quantity_rate, -r.total_time)) \
            if counted else None

    def hosts(self):
        """{host: [reports]} in order of first appearance."""
        by_host = {}
        for r in self.reports:
            by_host.setdefault(r.host or "?", []).append(r)
        return by_host

    def display_of(self, window):
        return self.displays.get(window, "?")

    def host_displays(self):
        """{host: {display: [reports]}} in order of first appearance. Display names repeat
        across hosts (":0.1" of two nodes are two GPUs): a display is one of its host."""
        found = {}
        for host, reports in self.hosts().items():
            for r in reports:
                found.setdefault(host, {}).setdefault(self.display_of(r.window), []).append(r)
        return found

    def several_displays(self):
        """Whether a host's windows went to more than one display (run.json's
        window_displays)."""
        return bool(self.displays) and any(len(d) > 1 for d in self.host_displays().values())


def _matches(records, files):
    names = set((records.run_json or {}).get("results_files", {}).values())
    program = (records.run_json or {}).get("program")
    if program and program != files[0].program.name:
        return False
    return not names or bool(names & {rf.name for rf in files})


def _failure(path, error):
    return str(error) if isinstance(error, ParseError) else \
        "%s: %s" % (shown(path), error.strerror or error)


def load_runs(files, on_window=None, parsed=None):
    """(runs, failures) of the results files: each file is read once, its frames checked and
    kept as arrays; on_window(run index, report, frame columns) sees each window's frames as
    printed before they are let go. Runs get their folder's records when they describe them.
    A file that cannot be read or does not follow the layout is a failure (one line) and is
    left out. parsed: {path: parsed file} of files read already (bench-run's, at the run's
    end), not read again."""
    parsed = parsed or {}
    heads, failures = [], []
    for path in files:
        try:
            heads.append(FileHead(path, parsed[path].program) if path in parsed
                         else read_head(path))
        except (ParseError, OSError) as e:
            failures.append(_failure(path, e))
    folders = {}
    runs = []
    for files in group_into_runs(heads):
        folder = os.path.dirname(os.path.abspath(files[0].path))
        if folder not in folders:
            folders[folder] = folder_records(folder)
        records = folders[folder]
        described = _matches(records, files)
        reports = []
        for head in files:
            state = records.states_by_name.get(head.name)
            if state is None and described:
                state = records.states_by_window.get(_window_of(head))
            try:
                rf = parsed.get(head.path) or parse_results_file(head.path)
            except (ParseError, OSError) as e:
                failures.append(_failure(head.path, e))
                continue
            report = WindowReport(rf, state)
            if described:
                report.ended_early = (records.run_json or {}).get(
                    "windows_ended_early", {}).get(str(_window_of(head)))
            if on_window is not None:
                on_window(len(runs), report, rf.frames)
            rf.frames = None  # the report keeps its figures as arrays
            reports.append(report)
        run = Run(program=files[0].program, reports=reports)
        run.notes.extend(records.notes)
        if described:
            run.context = context_of(records.run_json)
            run.displays = {int(w): d for w, d in
                            (records.run_json or {}).get("window_displays", {}).items()}
            present = {r.window for r in reports}
            states = list(records.states_by_window.values()) + \
                list(records.states_by_name.values())
            for state in states:
                w = state["window"]
                if w not in present and state["state"] in L.LOST_STATES:
                    present.add(w)
                    run.absent.append(dict(state))
            run.absent.sort(key=lambda a: a["window"])
        runs.append(run)
    return runs, failures
