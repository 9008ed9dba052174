"""bench-report's verdicts as JUnit test cases (benchlib.results.junit writes them): a case
per deciding gate (failed when the gate fails the run), per window (failed when its state is
not ok; its time the window's timed seconds), per host verdict and per display verdict
(failed when the host or display is SLOWER beyond --fail-slow-host; its time the longest of
its windows'), and for two runs compared the comparison's gate (failed when --fail-above
trips, skipped when it cannot tell; without --fail-above its verdict, passed; its time what
comparing took).

The cases' classes: "<program> gates", "<program> windows", "<program> hosts",
"<program> displays", "<program> comparison"; their names: the gate, "window N",
"host NAME", "display HOST :D.S", so that the same set-up names the same cases build after
build."""

from ..results.junit import Case, properties_of
from . import slow_hosts
from ..results.numbers import g
from .table import format_percent

# What of run.json's context a case's suite shows as its properties.
CONTEXT_KEYS = ("run_id", "status", "host", "cpu_model", "cores", "gl_renderer", "gl_version",
                "mpi_library", "mpi_version", "git_revision", "screen_depth", "tag")


def run_properties(run, prefix=""):
    """[(name, value)] of a run: its program, start, windows and context."""
    found = [("program", run.program.name), ("windows", len(run.reports) + len(run.absent))]
    if run.start is not None:
        found.append(("started", run.start.isoformat()))
    found += properties_of(run.context, CONTEXT_KEYS)
    found += [("host with windows", h) for h in run.hosts()]
    return [(prefix + name, value) for name, value in found]


def gate_cases(program, gates):
    """A case per gate that decides the verdict, with its findings as its output."""
    return [Case(gate.name, "%s gates" % program.name, "\n".join(gate.findings),
                 failure="; ".join(gate.findings) if gate.failed else None,
                 seconds=gate.seconds)
            for gate in gates if gate.deciding]


def run_cases(run, gates, verdicts, fail_slow_host, display_verdicts=None):
    """The cases of one run's report; verdicts as slow_hosts.host_verdicts gives them,
    display_verdicts as slow_hosts.display_verdicts does (None: no such verdicts)."""
    program = run.program.name
    cases = gate_cases(run.program, gates)
    for r in run.reports:
        cases.append(Case("window %s" % r.window, "%s windows" % program,
                          "host %s, %d frames, workload rate %s %s, state %s" % (
                              r.host, r.frame_count, g(r.average_quantity_rate),
                              run.program.quantity_unit, r.state),
                          failure=None if r.state == "ok" else "window %s: %s" % (r.window,
                                                                                  r.state),
                          seconds=r.total_time))
    for a in run.absent:
        cases.append(Case("window %s" % a["window"], "%s windows" % program, "no results file",
                          failure="window %s: results file %s" % (a["window"], a["state"])))
    for what, judged in (("host", verdicts), ("display", display_verdicts)):
        if judged is None:
            continue
        slow = {v.label for v in slow_hosts.slower_than(judged[0], fail_slow_host)} \
            if fail_slow_host is not None else set()
        for v in judged[0]:
            figures = "%s against the median %s, p = %s, %d frames: %s" % (
                format_percent(v.gap_percent), what, g(v.p_value), v.frames, v.verdict)
            cases.append(Case("%s %s" % (what, v.label), "%s %ss" % (program, what), figures,
                              failure="%s is slower than the median %s beyond %g%%: %s"
                              % (v.label, what, fail_slow_host, figures)
                              if v.label in slow else None,
                              seconds=_longest(run, v)))
    return cases


def _longest(run, verdict):
    """The longest timed seconds of the windows of a host's or a display's verdict."""
    return max((r.total_time for r in run.reports if r.host == verdict.host and
                verdict.display in (None, run.display_of(r.window))), default=0.0)


def comparison_cases(comparison, fail_above, seconds=0.0):
    """The comparison as one case: its gate with --fail-above, else its verdict (passed);
    seconds: what comparing took."""
    total = comparison.total
    status, line = comparison.gate(fail_above) if fail_above is not None \
        else (0, "total: %s" % total.verdict)
    figures = "headline %s -> %s (%s), p = %s, %s: %s" % (
        g(total.rate.a), g(total.rate.b), format_percent(total.rate.change), g(total.p_value),
        total.test, line)
    return [Case("comparison gate beyond %g%%" % fail_above if fail_above is not None
                 else "comparison", "%s comparison" % comparison.run_b.program.name, figures,
                 failure=line if status else None,
                 skipped=line if line.startswith("CANNOT TELL") else None, seconds=seconds)]
