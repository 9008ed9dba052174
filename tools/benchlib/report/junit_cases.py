"""bench-report's verdicts as JUnit test cases (benchlib.results.junit writes them): a case
per window (failed when its state is not ok), a case per host verdict and per display
verdict (failed when the host or display is SLOWER beyond --fail-slow-host), and for two
runs compared the comparison's gate (failed
when --fail-above trips, skipped when it cannot tell; without --fail-above its verdict,
passed)."""

from ..results.junit import Case
from . import slow_hosts
from .table import format_percent, g


def run_cases(run, verdicts, fail_slow_host, display_verdicts=None):
    """The cases of one run's report; verdicts as slow_hosts.host_verdicts gives them,
    display_verdicts as slow_hosts.display_verdicts does (None: no such verdicts)."""
    suite = run.label
    cases = []
    for r in run.reports:
        cases.append(Case("window %s" % r.window, suite,
                          "host %s, %d frames, workload rate %s %s, state %s" % (
                              r.host, r.frame_count, g(r.average_quantity_rate),
                              run.program.quantity_unit, r.state),
                          failure=None if r.state == "ok" else "window %s: %s" % (r.window,
                                                                                  r.state)))
    for a in run.absent:
        cases.append(Case("window %s" % a["window"], suite, "no results file",
                          failure="window %s: results file %s" % (a["window"], a["state"])))
    for what, judged in (("host", verdicts), ("display", display_verdicts)):
        if judged is None:
            continue
        slow = {v.label for v in slow_hosts.slower_than(judged[0], fail_slow_host)} \
            if fail_slow_host is not None else set()
        for v in judged[0]:
            figures = "%s against the median %s, p = %s, %d frames: %s" % (
                format_percent(v.gap_percent), what, g(v.p_value), v.frames, v.verdict)
            cases.append(Case("%s %s" % (what, v.label), suite, figures,
                              failure="%s is slower than the median %s beyond %g%%: %s"
                              % (v.label, what, fail_slow_host, figures)
                              if v.label in slow else None))
    return cases


def comparison_cases(comparison, fail_above):
    """The comparison as one case: its gate with --fail-above, else its verdict (passed)."""
    total = comparison.total
    status, line = comparison.gate(fail_above) if fail_above is not None \
        else (0, "total: %s" % total.verdict)
    figures = "headline %s -> %s (%s), p = %s, %s: %s" % (
        g(total.rate.a), g(total.rate.b), format_percent(total.rate.change), g(total.p_value),
        total.test, line)
    return [Case("comparison gate beyond %g%%" % fail_above if fail_above is not None
                 else "comparison",
                 "%s against %s" % (comparison.run_b.label, comparison.run_a.label), figures,
                 failure=line if status else None,
                 skipped=line if line.startswith("CANNOT TELL") else None)]
