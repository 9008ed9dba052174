"""The run's verdict: PASS or FAIL, and the gates that decided it.

Every run passes the gate "complete" or fails it: a run whose run.json says it failed or was
interrupted (unless --allow-failed), a window that ended before the run did, or a run in
which no window drew a frame measured nothing a person can act on. The other gates decide
only when asked for (--fail-slow-host, --fail-mixed, --expect-renderer, --fail-reference);
unasked, their findings are shown but do not decide. A summary or frame that disagrees with
its frames fails the run too ("files")."""

from dataclasses import dataclass, field

from . import mixed_hosts, slow_hosts

PASS, FAIL = "PASS", "FAIL"


@dataclass
class Gate:
    name: str
    failed: bool
    findings: list = field(default_factory=list)  # what it found, with the figures
    deciding: bool = True   # False: shown beside the verdict, not part of it

    def as_json(self):
        return {"gate": self.name, "result": FAIL if self.failed else PASS,
                "deciding": self.deciding, "findings": list(self.findings)}


def _how_it_ended(status, error):
    what = {"failed": "the run failed", "interrupted": "the run was interrupted"}.get(
        status, "the run did not end (status %s)" % status)
    return what + (": %s" % error if error else "")


def completeness(run, allow_failed):
    """The gate "complete": the run ended ok, every window ran to its end, frames were
    drawn."""
    findings, failed = [], False
    status = run.context.get("status")
    if status and status != "ok":
        text = _how_it_ended(status, run.context.get("error"))
        if allow_failed:
            text += "; reported anyway (--allow-failed)"
        else:
            failed = True
        findings.append(text)
    for w, early in sorted(run.context.get("windows_ended_early", {}).items(),
                           key=lambda item: int(item[0])):
        after = early.get("after_seconds")
        findings.append("window %s ended early%s%s: its frames are left out of the host "
                        "verdicts" % (w, " (%s)" % early["how"] if early.get("how") else "",
                                      ", %.1f s into the run" % after if after is not None
                                      else ""))
        failed = True
    counted = run.counted()
    if not counted:
        findings.append("no window drew a frame: the run measured nothing")
        failed = True
    if not failed and not findings:
        findings.append("status %s, %d window(s) with frames, %d frames"
                        % (status or "unknown (no run.json)", len(counted),
                           sum(r.frame_count for r in run.reports)))
    return Gate("complete", failed, findings)


def files(run):
    """The gate "files": every summary and frame agrees with the frames."""
    errors = [e for r in run.reports for e in r.errors]
    return Gate("files", bool(errors), ["%d error(s) in the results files" % len(errors)]
                if errors else ["every summary agrees with its frames"])


def slow_host_gate(verdicts, percent):
    """The gate "slow hosts" (percent: --fail-slow-host, or None: not a gate)."""
    found, undecided = verdicts
    if percent is None:
        slower = ["%s (%+.1f%%, p = %.2g)" % (v.host, v.gap_percent, v.p_value)
                  for v in found if v.slower]
        return Gate("slow hosts", False, [undecided or "SLOWER: " + ", ".join(slower)
                                          if slower or undecided else
                                          "no host stands out as slower"], deciding=False)
    slow = slow_hosts.slower_than(found, percent)
    if slow:
        return Gate("slow hosts", True, ["SLOW HOST beyond %g%%: %s" % (percent, ", ".join(
            "%s (%+.1f%%, p = %.2g)" % (v.host, v.gap_percent, v.p_value) for v in slow))])
    return Gate("slow hosts", False,
                ["no host significantly slower than the median host by more than %g%%"
                 % percent] + ([undecided] if undecided else []))


def mixed_host_gate(run, deciding):
    """The gate "mixed hosts" (deciding: --fail-mixed)."""
    hosts = run.context.get("hosts") or []
    if len(hosts) < 2:
        return Gate("mixed hosts", False, ["one host: no other to disagree with" if hosts else
                                           "no host facts (no run.json)"], deciding)
    found = mixed_hosts.disagreements(hosts)
    return Gate("mixed hosts", bool(found), [d.line() for d in found] or [
        "the %d hosts agree on %s" % (len(hosts), ", ".join(
            name for name, _key in mixed_hosts.FACTS))], deciding)


def renderer_gate(run, pattern):
    """The gate "renderer" (--expect-renderer PATTERN)."""
    wrong = mixed_hosts.unexpected_renderers(run.context, pattern)
    return Gate("renderer", bool(wrong), wrong or [
        "every host renders with %s" % " / ".join(sorted(set(
            mixed_hosts.renderers(run.context).values())))])


def run_gates(run, args, host_verdicts):
    """The gates of one run, for bench-report's options args."""
    gates = [completeness(run, args.allow_failed), files(run)]
    if host_verdicts is not None:
        gates.append(slow_host_gate(host_verdicts, args.fail_slow_host))
    elif args.fail_slow_host is not None:
        gates.append(Gate("slow hosts", False, ["one host: no other to compare it with"]))
    gates.append(mixed_host_gate(run, args.fail_mixed))
    if args.expect_renderer is not None:
        gates.append(renderer_gate(run, args.expect_renderer))
    return gates


def overall(gates):
    return FAIL if any(g.failed and g.deciding for g in gates) else PASS


def verdict_json(gates):
    return {"result": overall(gates), "gates": [g.as_json() for g in gates]}


def verdict_lines(gates):
    """The console's last lines: each deciding gate's findings, then the verdict."""
    lines = []
    for g in gates:
        if g.deciding:
            lines += ["%s: %s%s" % (g.name, "FAIL: " if g.failed else "", text)
                      for text in g.findings]
        elif g.failed:  # found something, though not asked to fail on it
            lines += ["%s: %s (not a gate here)" % (g.name, text) for text in g.findings]
    failed = [g.name for g in gates if g.failed and g.deciding]
    lines.append("verdict: %s" % (FAIL + " (%s)" % ", ".join(failed) if failed else PASS))
    return lines
