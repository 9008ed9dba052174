"""bench-history: the runs recorded so far, their trend, and a run against the runs before it;
curation (exclude, pin, annotate), reference files, a history on a server (push, import).
The series, the noise model of check and the exit statuses: docs/tools.md (Run history)."""

import argparse
import contextlib
import datetime
import json
import math
import os
import sys
import tempfile

from ..ending import exit_status
from ..help import complete, one_line_help
from ..results.files import read_json
from ..results.texts import inert_console
from ..results.numbers import g
from . import analysis, backend, queue
from .check import main_check
from .console import NAME, HistoryRefusal, say as _say, shown
from .folder import (HOST_COLUMNS, RUN_COLUMNS, WINDOW_COLUMNS, NotARun, RunEntry, read_run,
                     unstorable)
from .recording import disputed_line, record_entry, send_queued
from .store import History, HistoryError, ServerAway, Where


def run_folders(folder):
    """A run folder, or, for a series (bench-run --repeat), the folders of its repeats in
    their order (names within the series' folder only)."""
    info, problem = read_json(os.path.join(folder, "run.json"))
    repeats = info.get("repeats") if isinstance(info, dict) and not problem else None
    if not isinstance(repeats, list):
        return [folder]
    names = [r.get("folder") for r in repeats if isinstance(r, dict)]
    return [os.path.join(folder, n) for n in names
            if isinstance(n, str) and n == os.path.basename(n) and n not in ("", ".", "..")]


def main_add(args):
    status = 0
    for folder in (f for given in args.runs for f in run_folders(given)):
        try:
            entry = read_run(folder)
        except NotARun as e:
            _say("not added: %s" % e)
            status = 1
            continue
        try:
            record_entry(args.db, entry)
        except ServerAway as e:
            _say("not added yet: %s" % e)
            status = 1
            continue
        finally:
            for note in entry.notes:
                _say("note: %s" % shown(note))
        run_id, added = entry.recorded
        print("%s %s (run %d)" % ("added" if added else "already recorded", folder, run_id))
        if entry.disputed:
            _say("%s: %s" % (folder, disputed_line(entry)))
        if entry.sent:
            print("sent %d record(s) that waited for the server" % entry.sent)
    return status


def main_push(args):
    with History(args.db) as history:
        if not history.server:
            raise HistoryRefusal("push sends records to a history server: give --db postgresql://...")
        notes = []
        sent = send_queued(history, notes)
    for note in notes:
        _say("note: %s" % shown(note))
    print("sent %d record(s) to %s" % (sent, history.path))
    return 0


def main_import(args):
    if backend.is_server(args.file) or not os.path.isfile(args.file):
        raise HistoryRefusal("import takes an SQLite history file, not %s" % shown(args.file))
    with History(args.file, create=False, read_only=True) as source:
        rows = source.runs()
    added = 0
    with History(args.db) as history:
        for row in rows:
            entry = RunEntry({c: row[c] for c in RUN_COLUMNS},
                             [{c: w[c] for c in WINDOW_COLUMNS} for w in row["windows_list"]],
                             [{c: h[c] for c in HOST_COLUMNS} for h in row["hosts"]])
            problem = unstorable(entry)
            if problem:
                _say("note: run %d of %s not imported: its %s" % (row["id"], shown(args.file),
                                                                  shown(problem)))
                continue
            added += history.record(entry, {k: row[k] for k in queue.KEPT})[1]
    print("imported %d run(s) of %d from %s into %s" % (added, len(rows), args.file,
                                                         history.path))
    return 0


def _where(args, **more):
    return Where(program=args.program, windows=args.windows, depth=args.depth,
                 renderer=args.renderer, host=args.host, since=args.since, mode=args.mode,
                 tag=args.tag, env_is=args.env, **more)


def flags(row):
    """pinned, excluded, flagged (a gate failed it) and accepted, as list and trend show."""
    return " ".join(word for word, on in (
        ("pinned", row["pinned"]), ("excluded", row["excluded"]),
        ("flagged", row["flagged"]), ("accepted", row["accepted"])) if on) or "-"


def main_list(args):
    with History(args.db, create=False) as history:
        rows = history.runs(_where(args))
    if not rows:
        print("no runs in the history %s%s" % (history.path, " match" if _filtered(args) else ""))
        return 0
    print(analysis.table(
        ["id", "when", "program", "windows", "mode", "hosts", "renderer", "status", "headline",
         "unit", "tag", "flags", "folder", "note"],
        [[r["id"], analysis.when(r), r["program"], r["windows"], r["mode"] or "?",
          shown(",".join(h["host"] for h in r["hosts"]) or "?"), shown(r["gl_renderer"] or "?"),
          shown(r["status"] or "?"), g(r["headline"]), analysis.unit(r["program"]),
          shown(r["tag"] or "-"), flags(r), shown(r["folder"]),
          shown(r["note"] or "")] for r in rows]))
    return 0


def _filtered(args):
    return any(getattr(args, k) not in (None, ...) for k in (
        "program", "windows", "depth", "renderer", "host", "since", "mode", "tag", "env"))


def main_trend(args):
    with History(args.db, create=False) as history:
        rows = history.runs(_where(args, excluded=False))
    if not rows:
        raise HistoryRefusal("no runs in the history %s%s" % (history.path,
                                                       " match" if _filtered(args) else ""))
    series = {}
    for r in rows:
        series.setdefault(analysis.series_of(r), []).append(r)
    if len(series) > 1:
        _say("the runs form %d series; pick one:" % len(series))
        for key, found in series.items():
            print("  %s: %d run(s)  [%s]" % (shown(analysis.describe_series(key)), len(found),
                                             shown(analysis.series_options(key))),
                  file=sys.stderr)
        return 2
    (key, rows), = series.items()
    print("%s: %d run(s), %s" % (shown(analysis.describe_series(key)), len(rows),
                                 analysis.unit(key[0])))
    print(analysis.table(
        ["id", "when", "status", "headline", "per host", "git", "GL driver", "tag", "flags"],
        [[r["id"], analysis.when(r), shown(r["status"] or "?"), g(r["headline"]),
          shown(", ".join("%s %s" % (h["host"], g(h["rate"]))
                          for h in r["hosts"])),
          shown((r["git_revision"] or "?")[:12]), shown(r["gl_version"] or "?"),
          shown(r["tag"] or "-"), flags(r)] for r in rows]))
    for r in rows:
        if r["flagged"]:
            print("note: run %d failed the gate%s: %s" % (
                r["id"], ", then was accepted" if r["accepted"] else
                " (out of later runs' baseline until accepted)", shown(r["flagged"])))
    for before, after in analysis.driver_changes(rows):
        print("note: the GL driver changed at %s: %s -> %s (the runs before and after may not "
              "compare)" % (analysis.when(after), shown(before["gl_version"] or "?"),
                            shown(after["gl_version"] or "?")))
    if not args.no_plot:
        from .plot import write_trend_plot
        program, windows, depth = key[:3]
        path = args.out or "trend-%s-%sw-depth%s.png" % (program, windows, depth or "unknown")
        try:
            write_privately(path, lambda f: write_trend_plot(key, rows, f))
        except OSError as e:
            raise HistoryRefusal("cannot write %s: %s" % (path, e.strerror or e)) from None
        print("written: %s" % path)
    return 0


def _date(text):
    try:
        return datetime.datetime.fromisoformat(text).timestamp()
    except ValueError:
        raise argparse.ArgumentTypeError("not a date: %r (say 2026-12-08 or 2026-12-08T07:30)"
                                         % text) from None


MAX_COUNT = 100000


def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_COUNT:
        raise argparse.ArgumentTypeError("takes a whole number from 1 to %d, not %r"
                                         % (MAX_COUNT, text[:40]))
    return value


def _env(text):
    """--env NAME=VALUE (repeated: every variable of the series), or none."""
    if text == "none":
        return {}
    name, equals, value = text.partition("=")
    if not equals or not name:
        raise argparse.ArgumentTypeError("takes NAME=VALUE or none, not %r" % text[:40])
    return {name: value}


class Parser(argparse.ArgumentParser):
    """A refused command line in one line: what is wrong and where to read more."""

    def error(self, message):
        self.exit(2, "%s: %s (see %s --help)\n" % (self.prog, message, self.prog))


def _percent(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError("takes a percentage of 0 or more, not %r" % text)
    return value


def _tolerance(text):
    value = _percent(text)
    if value >= 100:
        raise argparse.ArgumentTypeError("takes a percentage below 100 (a reference accepts "
                                         "no fall of 100%% or more), not %r" % text)
    return value


def build_parser(prog=NAME):
    db = argparse.ArgumentParser(add_help=False)
    db.add_argument("--db", metavar="PATH|URI", default=argparse.SUPPRESS,
                    help="the history: an SQLite file or a postgresql:// URI (default: "
                         "$BENCH_HISTORY, else "
                         "$XDG_DATA_HOME/tarnwick-benchmarks/history.sqlite)")
    pick = argparse.ArgumentParser(add_help=False)
    pick.add_argument("--program", choices=("shardfall", "latticeglow"))
    pick.add_argument("--windows", type=_count, metavar="N")
    pick.add_argument("--depth", type=int, choices=(16, 24, 30))
    pick.add_argument("--renderer", metavar="TEXT", help="a part of the GL renderer, any case")
    pick.add_argument("--host", metavar="NAME",
                      help="runs on this host (the runner's or one with windows)")
    pick.add_argument("--since", type=_date, metavar="DATE", help="runs started on or after")
    pick.add_argument("--mode", choices=("frames", "seconds"),
                      help="runs of --frames or of --seconds")
    pick.add_argument("--env", type=_env, action="append", metavar="NAME=VALUE",
                      help="runs with exactly these rendering variables (repeat for each; "
                           "none: runs without any)")
    pick.add_argument("--tag", metavar="TEXT", help="runs bench-run tagged so")

    p = Parser(
        prog=prog, parents=[db], formatter_class=one_line_help,
        description="The history of Shardfall and Latticeglow runs: record run folders, list "
                    "them, follow a series over time, check a run against the runs before it.",
        epilog="A RUN is named by its id in list, its run id or its folder. The series, the noise "
               "model of check, curation, the server and the exit statuses: docs/tools.md "
               "(Run history) and docs/history-server.md.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add = sub.add_parser("add", parents=[db], help="record run folders")
    add.add_argument("runs", nargs="+", metavar="RUN", help="a run folder")
    sub.add_parser("list", parents=[db, pick], help="one line a recorded run")
    trend = sub.add_parser("trend", parents=[db, pick],
                           help="a series' headline and per-host rates over time")
    trend.add_argument("--out", metavar="PNG",
                       help="the plot (default: trend-PROGRAM-Nw-depthD.png here)")
    trend.add_argument("--no-plot", action="store_true", help="the table only")
    check = sub.add_parser("check", parents=[db], help="a run against the runs before it")
    check.add_argument("run", metavar="RUN", help="a run folder (recorded or not)")
    check.add_argument("--last", type=_count, default=10, metavar="N",
                       help="compare with the last N comparable runs (default 10)")
    check.add_argument("--fail-above", type=_percent, metavar="PCT",
                       help="exit 1 when the headline is significantly below their median, by "
                            "more than PCT per cent")
    check.add_argument("--junit", metavar="FILE",
                       help="also write the verdict as JUnit XML for a CI (a regression fails "
                            "the case, CANNOT TELL and too few runs skip it)")
    check.add_argument("--baseline", action="store_true",
                       help="compare with the series' pinned runs (the last N of them) instead")
    for name, what in (("exclude", "leave runs out of check, trend and reference"),
                       ("pin", "make runs the baseline of their series (check --baseline, "
                               "reference)"),
                       ("accept", "take runs a gate failed (a regression, a changed renderer) "
                                  "as the new normal: back in later runs' baseline")):
        cmd = sub.add_parser(name, parents=[db], help=what)
        cmd.add_argument("runs", nargs="+", metavar="RUN",
                         help="a run's id (in list), its run id or its folder")
        cmd.add_argument("--undo", action="store_true", help="take it back")
    annotate = sub.add_parser("annotate", parents=[db], help="a note on a run (list shows it)")
    annotate.add_argument("runs", nargs=1, metavar="RUN",
                          help="a run's id (in list), its run id or its folder")
    annotate.add_argument("text", metavar="TEXT", help="the note (empty: none)")
    sub.add_parser("push", parents=[db],
                   help="send the records that waited for the history server (--db URI)")
    imp = sub.add_parser("import", parents=[db],
                         help="copy an SQLite history's runs into this one (each once)")
    imp.add_argument("file", metavar="FILE.sqlite", help="an SQLite history")
    ref = sub.add_parser("reference", parents=[db, pick],
                         help="a reference file (TOML) from the pinned runs of each series")
    ref.add_argument("--out", metavar="FILE", help="write it here (default: standard output)")
    ref.add_argument("--hosts", metavar="PATTERN",
                     help="the host names it covers (a shell pattern, such as 'node*')")
    ref.add_argument("--min-tolerance", type=_tolerance, default=5.0, metavar="PCT",
                     help="the least tolerance below and above, under 100 (default 5)")
    ref.add_argument("--any-windows", action="store_true",
                     help="one entry for runs of any window count (only from pinned runs with "
                          "at most one window a host, whose rate per window does not depend "
                          "on the count)")
    return p


def _one_run(history, ref):
    found = history.find(ref)
    if not found:
        raise HistoryRefusal("no run %s in the history %s (name a run by its id in `list`, its run "
                      "id or its folder)" % (shown(ref), history.path))
    if len(found) > 1:
        raise HistoryRefusal("%s names %d runs (ids %s): name one by its id" % (
            shown(ref), len(found), ", ".join(str(r["id"]) for r in found)))
    return found[0]


def main_curate(args):
    """exclude, pin (--undo: take it back) and annotate."""
    undo = getattr(args, "undo", False)
    column, value, said = {
        "exclude": ("excluded", int(not undo), "included" if undo else "excluded"),
        "pin": ("pinned", int(not undo), "unpinned" if undo else "pinned"),
        "accept": ("accepted", int(not undo), "unaccepted" if undo else "accepted"),
        "annotate": ("note", getattr(args, "text", None) or None, "annotated"),
    }[args.command]
    with History(args.db, create=False) as history:
        rows = [_one_run(history, ref) for ref in args.runs]
        for row in rows:
            history.curate(row["id"], column, value)
            print("%s run %d (%s)" % (said, row["id"], shown(row["folder"])))
    return 0


def main_reference(args):
    from . import reference_writer as reference
    with History(args.db, create=False) as history:
        rows = history.runs(_where(args, pinned=True, usable=True))
    entries, notes = reference.reference_entries(rows, args.min_tolerance, args.any_windows)
    for note in notes:
        _say("note: %s" % shown(note))
    if not entries:
        raise HistoryRefusal("no series with %d pinned runs or more%s: pin accepted runs with "
                      "`bench-history pin RUN`" % (reference.MIN_PINNED,
                                                   " among those picked" if _filtered(args)
                                                   else ""))
    text = reference.write_toml(entries, args.hosts)
    if args.out is None:
        sys.stdout.write(text)
        return 0
    try:
        write_privately(args.out, lambda f: f.write(text.encode("utf-8")))
    except OSError as e:
        raise HistoryRefusal("cannot write %s: %s" % (args.out, e.strerror or e)) from None
    print("written: %s (%d reference(s))" % (args.out, len(entries)))
    return 0


def write_privately(path, write):
    """Writes a file whole through write(binary file): into a new file made beside it with a
    name of its own (never an existing file or a link planted there), then renamed over
    path, so that nobody else's file is written through a link in a shared folder."""
    fd, partial = tempfile.mkstemp(prefix=os.path.basename(path) + ".",
                                   dir=os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise


COMMANDS = {"add": main_add, "list": main_list, "trend": main_trend, "check": main_check,
            "exclude": main_curate, "pin": main_curate, "annotate": main_curate,
            "accept": main_curate,
            "reference": main_reference, "push": main_push, "import": main_import}


@inert_console
def main(argv=None, prog=NAME):
    parser = build_parser(prog)
    complete(parser)
    args = parser.parse_args(argv)
    args.db = getattr(args, "db", None)
    if getattr(args, "env", None) is not None:  # the variables given, as the history keeps them
        merged = {k: v for given in args.env for k, v in given.items()}
        args.env = json.dumps(merged, sort_keys=True) if merged else None
    elif hasattr(args, "env"):
        args.env = ...
    return exit_status(NAME, lambda: COMMANDS[args.command](args), (HistoryError, HistoryRefusal))
