"""The run's verdict: PASS or FAIL, and the gates that decided it.

Every run passes the gate "complete" or fails it: a run whose run.json says it failed or was
interrupted (unless --allow-failed), a window that ended before the run did, or a run in
which no window drew a frame measured nothing a person can act on. The other gates decide
only when asked for (--fail-slow-host, --fail-mixed, --expect-renderer, --fail-reference);
unasked, their findings are shown but do not decide. A summary or frame that disagrees with
its frames fails the run too ("files")."""

import math
import time
from dataclasses import dataclass, field

from ..results.reference import match
from . import mixed_hosts, slow_hosts
from .table import format_percent, number

PASS, FAIL = "PASS", "FAIL"


@dataclass
class Gate:
    name: str
    failed: bool
    findings: list = field(default_factory=list)  # what it found, with the figures
    deciding: bool = True   # False: shown beside the verdict, not part of it
    headline: str = None    # what a failed gate of several findings says first
    seconds: float = 0.0    # what judging took (a CI shows it as the gate's duration)

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


def picture_gate(run):
    """The gate "pictures": every checked window drew its reference's picture. Deciding
    only when the run checked them."""
    pictures = run.context.get("pictures")
    if not pictures or not pictures.get("checked"):
        return Gate("pictures", False, [
            "the pictures were not checked (--no-picture-check)" if pictures else
            "run.json says nothing of the pictures: they were not checked"], deciding=False)
    entries = pictures.get("windows", [])
    wrong = ["window %s on %s: %s" % (e.get("window"), e.get("host"),
                                      "; ".join(e.get("problems") or ["wrong"]))
             for e in entries if e.get("status") == "fail"]
    if wrong:
        return Gate("pictures", True, wrong)
    checked = [e for e in entries if e.get("status") == "pass"]
    findings = ["%d window(s) drew the reference's picture%s" % (
        len(checked), " (a sample of the windows)" if pictures.get("sampled") else "")]
    findings += ["window %s on %s: not checked: %s" % (e.get("window"), e.get("host"),
                                                       e.get("why"))
                 for e in entries if e.get("status") == "not checked"]
    return Gate("pictures", False, findings)


def _slow_list(hosts):
    return ", ".join("%s (%+.1f%%, p = %.2g)" % (v.label, v.gap_percent, v.p_value)
                     for v in hosts)


def slow_host_gate(judged, percent):
    """The gate "slow hosts" of the hosts' verdicts and the displays' (judged: [("host" or
    "display", (verdicts, why they cannot decide))]; percent: --fail-slow-host, or None:
    not a gate). A fleet split into groups with no majority fails it too: which hosts are
    slow is not known."""
    if percent is None:
        findings = []
        for what, (found, undecided) in judged:
            slower = [v for v in found if v.slower]
            findings.append(undecided or ("SLOWER: " + _slow_list(slower) if slower else
                                          "no %s stands out as slower" % what))
        return Gate("slow hosts", False, findings, deciding=False)
    slow = [(what, slow_hosts.slower_than(found, percent)) for what, (found, _u) in judged]
    failed = ["SLOW %s beyond %g%%: %s" % (what.upper(), percent, _slow_list(found))
              for what, found in slow if found]
    failed += [undecided for _what, (found, undecided) in judged if slow_hosts.split(found)]
    if failed:
        return Gate("slow hosts", True, failed)
    findings = []
    for what, (_found, undecided) in judged:
        findings.append("no %s significantly slower than the median %s by more than %g%%"
                        % (what, what, percent))
        findings += [undecided] if undecided else []
    return Gate("slow hosts", False, findings)


def mixed_host_gate(run, deciding):
    """The gate "mixed hosts" (deciding: --fail-mixed)."""
    hosts = run.context.get("hosts") or []
    if len(hosts) < 2:
        return Gate("mixed hosts", False, ["one host: no other to disagree with" if hosts else
                                           "no host facts (no run.json)"], deciding)
    found = [d.line() for d in mixed_hosts.disagreements(hosts)] + \
        mixed_hosts.unknown_renderers(hosts)
    return Gate("mixed hosts", bool(found), found or [
        "the %d hosts agree on %s" % (len(hosts), ", ".join(
            name for name, _key in mixed_hosts.FACTS))], deciding)


def renderer_gate(run, pattern):
    """The gate "renderer" (--expect-renderer PATTERN)."""
    wrong = mixed_hosts.unexpected_renderers(run.context, pattern)
    return Gate("renderer", bool(wrong), wrong or [
        "every host renders with %s" % " / ".join(sorted(set(
            mixed_hosts.renderers(run.context).values())))])


def _timed(judge, *args):
    """judge(*args), its gate (alone or first of a tuple) with the seconds judging took."""
    started = time.perf_counter()
    found = judge(*args)
    (found[0] if isinstance(found, tuple) else found).seconds = time.perf_counter() - started
    return found


def run_gates(run, args, host_verdicts, display_verdicts=None):
    """(The gates of one run for bench-report's options args, the reference's findings or
    None); host_verdicts and display_verdicts: slow_hosts' verdicts, None where the run has
    no such verdict."""
    gates = [_timed(completeness, run, args.allow_failed), _timed(files, run),
             _timed(picture_gate, run)]
    judged = [(what, found) for what, found in (("host", host_verdicts),
                                                ("display", display_verdicts))
              if found is not None]
    if judged:
        gates.append(_timed(slow_host_gate, judged, args.fail_slow_host))
    elif args.fail_slow_host is not None:
        gates.append(Gate("slow hosts", False, ["one host: no other to compare it with"]))
    gates.append(_timed(mixed_host_gate, run, args.fail_mixed))
    if args.expect_renderer is not None:
        gates.append(_timed(renderer_gate, run, args.expect_renderer))
    findings = None
    if args.reference_entries is not None:
        gate, findings = _timed(reference_gate, run, args.reference_entries,
                                args.fail_reference)
        gates.append(gate)
    return gates, findings


def overall(gates):
    return FAIL if any(g.failed and g.deciding for g in gates) else PASS


def verdict_json(gates):
    return {"result": overall(gates), "gates": [g.as_json() for g in gates]}


def verdict_lines(gates):
    """The console's last lines: each deciding gate's findings, then the verdict."""
    lines = []
    for g in gates:
        if g.deciding and g.failed and len(g.findings) > 1:
            # One headline, then the reasons beneath it: not a FAIL per line.
            lines.append("%s: FAIL: %s" % (g.name, g.headline or g.findings[0]))
            lines += ["    %s" % text for text in g.findings[0 if g.headline else 1:]]
        elif g.deciding:
            lines += ["%s: %s%s" % (g.name, "FAIL: " if g.failed else "", text)
                      for text in g.findings]
        elif g.failed or g.name in ("reference", "pictures"):  # asked for, found, or unchecked
            lines += ["%s (not a gate here): %s" % (g.name, text) for text in g.findings]
    failed = [g.name for g in gates if g.failed and g.deciding]
    lines.append("verdict: %s" % (FAIL + " (%s)" % ", ".join(failed) if failed else PASS))
    return lines


# ---------------------------------------------------------------- against a reference

REFERENCE_RULE = ("the workload rate per window (the windows' summed workload rate, the "
                  "headline's figure, over the windows that drew frames and ran to the end, "
                  "divided by their number), of the run and of each host, against the entry "
                  "covering it; within when from rate_per_window - lower % to "
                  "rate_per_window + upper %")

def _rate_per_window(reports):
    """(workload rate per window, windows counted) of some windows: their summed rate over
    the windows that drew frames and ran to the end."""
    counted = [r for r in reports if r.frame_count and math.isfinite(r.average_quantity_rate)
               and not getattr(r, "ended_early", None)]
    if not counted:
        return None, 0
    return sum(r.average_quantity_rate for r in counted) / len(counted), len(counted)


def _judge(what, rate, entry):
    """{what, rate_per_window, reference..., change_percent, verdict}."""
    found = {"what": what, "rate_per_window": rate, "reference_line": None,
             "reference": None, "lower_percent": None, "upper_percent": None,
             "change_percent": None}
    if entry is None:
        return dict(found, verdict="no reference")
    found.update(reference_line=entry.line, reference=entry.rate_per_window,
                 lower_percent=entry.lower, upper_percent=entry.upper)
    if rate is None:
        return dict(found, verdict="no frames")
    found["change_percent"] = (rate / entry.rate_per_window - 1) * 100
    verdict = "BELOW" if rate < entry.low else "ABOVE" if rate > entry.high else "within"
    return dict(found, verdict=verdict)


def reference_findings(run, entries):
    """The run and each host against the reference entries: [judgement], the run first."""
    context = run.context
    screen = context.get("screen") if isinstance(context.get("screen"), dict) else {}
    depth = context.get("screen_depth") or screen.get("depth")
    windows = len(run.reports) + len(run.absent)
    rendered = mixed_hosts.renderers(context)
    hosts = []
    for host, reports in run.hosts().items():
        entry = match(entries, run.program.name, windows, depth, host, rendered.get(host))
        hosts.append((host, reports, entry))
    chosen = {id(e): e for _h, _r, e in hosts}
    run_entry = next(iter(chosen.values())) if len(chosen) == 1 else None
    found = [_judge("run", _rate_per_window(run.reports)[0], run_entry)]
    if len(chosen) > 1:
        found[0]["verdict"] = "see the hosts (their references differ)"
    found += [_judge(host, _rate_per_window(reports)[0], entry)
              for host, reports, entry in hosts]
    return found


def reference_line(judgement, unit):
    j = judgement
    if j["reference"] is None:
        return "%s: no reference covers it" % j["what"]
    if j["rate_per_window"] is None:
        return "%s: no frames to judge" % j["what"]
    return "%s: %s %s per window, %s the reference %s (-%g%%/+%g%%, line %s): %s" % (
        j["what"], number(j["rate_per_window"]), unit, j["verdict"], number(j["reference"]),
        j["lower_percent"], j["upper_percent"], j["reference_line"],
        format_percent(j["change_percent"]))


def reference_gate(run, entries, deciding):
    """The gate "reference" (deciding: --fail-reference)."""
    found = reference_findings(run, entries)
    bad = [j for j in found if j["verdict"] not in ("within", "see the hosts (their "
                                                                "references differ)")]
    headline = "%d of %d not within the reference: %s" % (
        len(bad), len(found), ", ".join(j["what"] for j in bad)) if bad else None
    return Gate("reference", bool(bad), [reference_line(j, run.program.quantity_unit)
                                         for j in found], deciding, headline), found
