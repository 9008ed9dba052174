"""bench-history check: a run against the noise of its series, as text and JUnit XML."""

from . import analysis
from .console import HistoryRefusal, shown
from .folder import NotARun, read_run
from .store import History


def main_check(args):
    try:
        entry = read_run(args.run)
    except NotARun as e:
        raise HistoryRefusal(str(e)) from None
    status, failure, skipped, lines = _judged(args, entry)
    print("\n".join(lines))
    if args.junit:
        from ..results.junit import Case, write_junit
        case = Case("regression gate" if args.fail_above is not None else "against its series",
                    analysis.describe_series(entry.series), "\n".join(lines), failure, skipped)
        try:
            write_junit(args.junit, "bench-history check", [case])
        except OSError as e:
            raise HistoryRefusal("cannot write %s: %s" % (args.junit, e.strerror or e)) from None
        print("written: %s" % args.junit)
    return status


def _judged(args, entry):
    """(status, failure, skipped, lines) of a check: failure and skipped say why, or None."""
    run = entry.run
    unit = analysis.unit(run["program"])
    lines = ["%s: %s: headline %s %s, status %s" % (
        shown(run["folder"]), shown(analysis.describe_series(entry.series)),
        analysis.number(run["headline"]), unit, shown(run["status"] or "unknown"))]
    if run["headline"] is None:
        lines.append("no headline (no window drew frames): nothing to compare")
        if args.fail_above is not None:
            return 1, lines[-1], None, lines
        return 0, None, lines[-1], lines
    with History(args.db, create=False) as history:
        earlier = history.earlier_comparable(entry, args.last, args.baseline)
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
