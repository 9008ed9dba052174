"""bench-history: the runs recorded so far, their trend, and a run against the runs before it.

Sub-commands
------------
add RUN...   record run folders (each once: a run recorded before is left as it is)
list         one line a run: when, program, windows, hosts, renderer, status, headline, folder
trend        a series' headline and per-host rates over time: a table and a PNG plot
check RUN    a run's headline against the median and range of the last --last (5) comparable
             runs that started before it; --fail-above PCT exits 1 when it is more than PCT
             per cent below that median (or the run has no headline)

Runs compare (form a series) when they share program, windows, screen depth and GL renderer;
list and trend pick runs with --program, --windows, --depth, --renderer (a part of it, any
case), --host and --since DATE. check judges only by earlier runs that ended ok (or were made
without bench-run) and have a headline, and needs three of them (or --last, when smaller).

The history: --db PATH, else $BENCH_HISTORY, else
$XDG_DATA_HOME/tarnwick-benchmarks/history.sqlite (~/.local/share/... without XDG_DATA_HOME).

Exit status: 0; 1 when a folder could not be added, or check finds the headline more than
--fail-above per cent below the median; 2 for a bad command line, a history that cannot be
used (locked beyond the timeout, read-only, damaged, of a newer schema), a check of a folder
that is not a run, a trend with no runs or with several series to pick from.
"""

import argparse
import datetime
import math
import os
import sys

from ..results.texts import inert_console
from . import analysis
from .folder import NotARun, read_run
from .store import History, HistoryError, Where

NAME = "bench-history"


class Refusal(Exception):
    """Nothing to do: one line on standard error, status 2."""


def _say(message):
    print("%s: %s" % (NAME, message), file=sys.stderr)


def main_add(args):
    status = 0
    entries = []
    for folder in args.runs:
        try:
            entries.append((folder, read_run(folder)))
        except NotARun as e:
            _say("not added: %s" % e)
            status = 1
    if not entries:
        return status
    with History(args.db) as history:
        for folder, entry in entries:
            run_id, added = history.record(entry)
            print("%s %s (run %d)" % ("added" if added else "already recorded", folder, run_id))
    return status


def _where(args):
    return Where(program=args.program, windows=args.windows, depth=args.depth,
                 renderer=args.renderer, host=args.host, since=args.since)


def main_list(args):
    with History(args.db, create=False) as history:
        rows = history.runs(_where(args))
    if not rows:
        print("no runs in the history %s%s" % (history.path, " match" if _filtered(args) else ""))
        return 0
    print(analysis.table(
        ["when", "program", "windows", "hosts", "renderer", "status", "headline", "unit",
         "folder"],
        [[analysis.when(r), r["program"], r["windows"],
          ",".join(h["host"] for h in r["hosts"]) or "?", r["gl_renderer"] or "?",
          r["status"] or "?", analysis.number(r["headline"]), analysis.unit(r["program"]),
          r["folder"]] for r in rows]))
    return 0


def _filtered(args):
    return any(getattr(args, k) is not None for k in ("program", "windows", "depth", "renderer",
                                                      "host", "since"))


def main_trend(args):
    with History(args.db, create=False) as history:
        rows = history.runs(_where(args))
    if not rows:
        raise Refusal("no runs in the history %s%s" % (history.path,
                                                       " match" if _filtered(args) else ""))
    series = {}
    for r in rows:
        series.setdefault(analysis.series_of(r), []).append(r)
    if len(series) > 1:
        _say("the runs form %d series; pick one:" % len(series))
        for key, found in series.items():
            print("  %s: %d run(s)  [%s]" % (analysis.describe_series(key), len(found),
                                             analysis.series_options(key)), file=sys.stderr)
        return 2
    (key, rows), = series.items()
    print("%s: %d run(s), %s" % (analysis.describe_series(key), len(rows),
                                 analysis.unit(key[0])))
    print(analysis.table(
        ["when", "status", "headline", "per host", "git"],
        [[analysis.when(r), r["status"] or "?", analysis.number(r["headline"]),
          ", ".join("%s %s" % (h["host"], analysis.number(h["rate"])) for h in r["hosts"]),
          (r["git_revision"] or "?")[:12]] for r in rows]))
    if not args.no_plot:
        from .plot import write_trend_plot
        program, windows, depth, _renderer = key
        path = args.out or "trend-%s-%sw-depth%s.png" % (program, windows, depth or "unknown")
        try:
            write_trend_plot(key, rows, path)
        except OSError as e:
            raise Refusal("cannot write %s: %s" % (path, e.strerror or e)) from None
        print("written: %s" % path)
    return 0


def main_check(args):
    try:
        entry = read_run(args.run)
    except NotARun as e:
        raise Refusal(str(e)) from None
    run = entry.run
    unit = analysis.unit(run["program"])
    print("%s: %s: headline %s %s, status %s" % (
        run["folder"], analysis.describe_series(entry.series), analysis.number(run["headline"]),
        unit, run["status"] or "unknown"))
    if run["headline"] is None:
        print("no headline (no window drew frames): nothing to compare")
        return 1 if args.fail_above is not None else 0
    with History(args.db, create=False) as history:
        earlier = history.earlier_comparable(entry, args.last)
    if len(earlier) < analysis.needed(args.last):
        print("too few comparable runs to check against: %d recorded before this one, %d "
              "needed" % (len(earlier), analysis.needed(args.last)))
        return 0
    verdict = analysis.judge(run["headline"], [r["headline"] for r in earlier])
    print(verdict.describe(unit))
    if args.fail_above is not None:
        if verdict.below_by_more_than(args.fail_above):
            print("REGRESSION: more than %g%% below the median" % args.fail_above)
            return 1
        print("no regression beyond %g%%" % args.fail_above)
    return 0


def _date(text):
    try:
        return datetime.datetime.fromisoformat(text).timestamp()
    except ValueError:
        raise argparse.ArgumentTypeError("not a date: %r (say 2026-12-08 or 2026-12-08T07:30)"
                                         % text) from None


def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("takes a whole number of 1 or more, not %r" % text)
    return value


def _percent(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError("takes a percentage of 0 or more, not %r" % text)
    return value


def build_parser(prog=NAME):
    db = argparse.ArgumentParser(add_help=False)
    db.add_argument("--db", metavar="PATH", default=argparse.SUPPRESS,
                    help="the history database (default: $BENCH_HISTORY, else "
                         "$XDG_DATA_HOME/tarnwick-benchmarks/history.sqlite)")
    pick = argparse.ArgumentParser(add_help=False)
    pick.add_argument("--program", choices=("shardfall", "latticeglow"))
    pick.add_argument("--windows", type=_count, metavar="N")
    pick.add_argument("--depth", type=int, choices=(16, 24, 30))
    pick.add_argument("--renderer", metavar="TEXT", help="a part of the GL renderer, any case")
    pick.add_argument("--host", metavar="NAME",
                      help="runs on this host (the runner's or one with windows)")
    pick.add_argument("--since", type=_date, metavar="DATE", help="runs started on or after")

    p = argparse.ArgumentParser(
        prog=prog, parents=[db], formatter_class=argparse.RawDescriptionHelpFormatter,
        description="The history of Shardfall and Latticeglow runs: record run folders, list "
                    "them, follow a series over time, check a run against the runs before it.",
        epilog=__doc__.split("\n", 2)[2])
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
    check.add_argument("--last", type=_count, default=5, metavar="N",
                       help="compare with the last N comparable runs (default 5)")
    check.add_argument("--fail-above", type=_percent, metavar="PCT",
                       help="exit 1 when the headline is more than PCT per cent below their "
                            "median")
    return p


COMMANDS = {"add": main_add, "list": main_list, "trend": main_trend, "check": main_check}


@inert_console
def main(argv=None, prog=NAME):
    args = build_parser(prog).parse_args(argv)
    args.db = getattr(args, "db", None)
    try:
        try:
            status = COMMANDS[args.command](args)
            sys.stdout.flush()
            return status
        except (HistoryError, Refusal) as e:
            _say(str(e))
            return 2
    except BrokenPipeError:
        # The reader went away (`bench-history list | head`): nothing more to say to it.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return 2
    except OSError as e:  # standard output itself failed (a full disk, say)
        _say("cannot write to standard output: %s" % (e.strerror or e))
        return 2
