"""bench-history check: a run against the noise of its series, as text and JUnit XML.

With --fail-above the check is a gate: it fails a run significantly below its series by more
than the percentage, and a run whose renderer, GL version or hosts' renderers changed (unless a
person accepted it; what it is compared with: _before). A run it fails is flagged in the history
(recorded first when it was not), which keeps it out of later runs' baseline until someone
accepts it or pins it. A run made while its machine was busy beyond its cores cannot tell a
regression from the load: CANNOT TELL.

Its JUnit case is known to a CI by what stays the same between builds of one set-up: class
"<program> history", name the gate and the series' windows, depth, mode and rendering
variables (not its renderer, whose version has dots and changes with a driver); the run's
facts are the suite's properties. When the history cannot be reached the case is in error,
so the CI shows the gate was not made rather than nothing."""

import time

from ..results.numbers import g
from . import analysis
from .console import HistoryRefusal, say, shown
from .folder import NotARun, read_run
from .store import History, HistoryError

RUN_KEYS = ("run_key", "folder", "start_time", "status", "headline", "host", "cpu_model",
            "gl_renderer", "gl_version", "mpi_library", "mpi_version", "git_revision", "tag")


def main_check(args):
    try:
        entry = read_run(args.run)
    except NotARun as e:
        raise HistoryRefusal(str(e)) from None
    started = time.perf_counter()
    try:
        status, failure, skipped, lines = _judged(args, entry)
    except HistoryError as e:
        if args.junit:
            _write_junit(args, entry, time.perf_counter() - started, [str(e)], error=str(e))
        raise
    print("\n".join(lines))
    if failure and args.fail_above is not None:
        _flag(args.db, entry, failure)
    if args.junit:
        _write_junit(args, entry, time.perf_counter() - started, lines, failure, skipped)
    return status


def case_name(args, series):
    _program, windows, depth, _renderer, mode, env = series
    return ", ".join(["regression gate" if args.fail_above is not None else "against its series",
                      "%s window(s)" % windows, "depth %s" % (depth or "?"),
                      {"frames": "--frames", "seconds": "--seconds"}.get(mode, "mode unknown")]
                     + analysis.env_words(env))


def _write_junit(args, entry, seconds, lines, failure=None, skipped=None, error=None):
    from ..results.junit import Case, properties_of, write_junit
    case = Case(case_name(args, entry.series), "%s history" % entry.run["program"],
                "\n".join(lines), failure, skipped, seconds, error)
    properties = [("series", analysis.describe_series(entry.series))] + \
        properties_of(entry.run, RUN_KEYS)
    try:
        write_junit(args.junit, "bench-history check", [case], properties)
    except OSError as e:
        raise HistoryRefusal("cannot write %s: %s" % (args.junit, e.strerror or e)) from None
    print("written: %s" % args.junit)


def _flag(db, entry, why):
    """Keeps in the history that the gate failed the run."""
    try:
        with History(db) as history:
            row = history.recorded(entry)
            run_id = row["id"] if row else history.record(entry)[0]
            history.curate(run_id, "flagged", why[:500])
    except HistoryError as e:
        say("note: the gate's failure is not kept in the history (a later run may count this "
            "one in its baseline): %s" % e)


def _before(history, entry):
    """The run to tell a change of renderer or driver by: the last of the run's own series
    when that has runs enough to judge by (two renderers in turn on the same hosts are two
    series), else the last run on the same hosts and set-up, whatever its renderer (the run
    would otherwise start a series of its own and pass as "too few comparable runs")."""
    own_series = history.earlier_comparable(entry, analysis.MIN_EARLIER)
    if len(own_series) >= analysis.MIN_EARLIER:
        return own_series[0]
    return history.previous_setup(entry)


def _judged(args, entry):
    """(status, failure, skipped, lines) of a check: failure and skipped say why, or None."""
    run = entry.run
    unit = analysis.unit(run["program"])
    lines = ["%s: %s: headline %s %s, status %s" % (
        shown(run["folder"]), shown(analysis.describe_series(entry.series)),
        g(run["headline"]), unit, shown(run["status"] or "unknown"))]
    if not analysis.modelled(run["headline"]):
        lines.append("no headline (no window drew frames): nothing to compare"
                     if run["headline"] is None else
                     "headline %s: the windows counted nothing the statistics can model, "
                     "nothing to compare" % g(run["headline"]))
        if args.fail_above is not None:
            return 1, lines[-1], None, lines
        return 0, None, lines[-1], lines
    with History(args.db, create=False) as history:
        earlier = history.earlier_comparable(entry, args.last, args.baseline)
        own = history.recorded(entry)
        before = _before(history, entry)
    changes = analysis.setup_changes(before, run, before["hosts"], entry.hosts) \
        if before else []
    accepted = own is not None and (own["accepted"] or own["pinned"])
    for change in changes:
        lines.append("%s since run %d (%s)%s" % (shown(change), before["id"],
                                                 analysis.when(before),
                                                 ", accepted" if accepted else ""))
    if changes and not accepted and args.fail_above is not None:
        lines.append("CHANGED: %s: the series' figures do not compare across it; accept the "
                     "run (bench-history accept RUN) once the change is meant"
                     % shown(changes[0]))
        return 1, lines[-1], None, lines
    if len(earlier) < analysis.needed(args.last):
        lines.append("too few comparable runs to check against: %d %s, %d needed" % (
            len(earlier), "pinned in its series (the baseline)" if args.baseline
            else "recorded before this one", analysis.needed(args.last)))
        return 0, None, lines[-1], lines
    verdict = analysis.judge(run["headline"], [r["headline"] for r in earlier])
    lines.append(verdict.describe(unit, "the %d pinned runs (the baseline)" if args.baseline
                                  else "the last %d runs"))
    if args.fail_above is None:
        return 0, None, None, lines
    gate = verdict.gate(args.fail_above)
    if gate == "REGRESSION" and entry.busy:
        lines.append("CANNOT TELL: %s; a fall of %.1f%% may be the load's: repeat the run on "
                     "a quiet machine" % (entry.busy, -verdict.change))
        return 0, None, lines[-1], lines
    if gate == "REGRESSION":
        lines.append("REGRESSION: significantly below the median, by more than %g%%"
                     % args.fail_above)
        return 1, lines[-1], None, lines
    if gate == "CANNOT TELL":
        lines.append("CANNOT TELL: the series is too noisy to see a fall of %g%% (the smallest "
                     "it tells from its noise is %.1f%%): repeat the run, or record more runs"
                     % (args.fail_above, verdict.smallest_drop))
        return 0, None, lines[-1], lines
    lines.append("no regression beyond %g%%" % args.fail_above)
    return 0, None, None, lines
