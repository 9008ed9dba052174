"""Two runs of one program side by side, and whether their difference exceeds the noise.

Like is compared with like: a frame of A is paired with the frame of B that did the same
work, the same window at the same angle step (Shardfall: the same triangles; Latticeglow,
whose every frame draws the same lattice: the same frame number), and the paired test fits
the pairing: the two-sided Wilcoxon signed-rank test (scipy.stats.wilcoxon) of the log ratios
of the paired frames' workload rates, per window and, over all pairs, for the total. A window
without frames of equal work on both sides falls back to the two-sided Mann-Whitney U test of
its frames' rates. When both runs were repeated 3 times or more, the total's verdict comes
from the repeats' headlines (Welch's t-test of their logs, each repeat one sample), so that
run-to-run noise is in the test. A change is significant when p < ALPHA. The rank tests
assume nothing about how rates are distributed; Welch's test assumes the log headlines
scatter normally. With very few frames the tests cannot reach ALPHA, which the verdict says.
Every row says which test it used.

The total decides: the gate (--fail-above) trips only on the total's verdict, and a window
whose own frames differ while the total does not is shown as differing "not in total", so
that no line contradicts the verdict. With repeats, when either side's headlines spread over
more than a significant change between the sides, the total says "cannot tell": run-to-run
noise alone could make such a change; and the gate says CANNOT TELL when they spread over
more than its threshold.

A headline is a sum over hosts: it does not stand for a run whose hosts or displays are
judged SLOWER (benchlib.report.slow_hosts) or split into groups with no majority. So run B's
slow hosts enter the verdict ("faster, but run B has a slow display: ...") and fail the gate,
and run A's are a note.
"""

import math
import statistics
from dataclasses import dataclass, field

import numpy as np

from ..results.gpus import run_gpu_driver
from ..results.numbers import frame_time_stats, g, json_number
from . import slow_hosts
from .repeats import spread
from .summary import all_times
from .table import format_percent

ALPHA = 0.05
PAIRED = "paired Wilcoxon signed-rank (frames of equal work)"
UNPAIRED = "Mann-Whitney U (no frames of equal work on both sides)"
REPEATS = ("Welch's t-test of the log of the repeats' headlines (run-to-run noise; a rank "
           "test of 3 against 3 can never reach p < 0.05)")
NOISE_TEST = ("per window the %s, where a window has none the %s; for the total the same over "
              "all pairs, or %s when both runs were repeated 3 times or more; "
              "significant when p < %g" % (PAIRED, UNPAIRED, REPEATS, ALPHA))
MIN_REPEATS = 3


def wilcoxon(log_ratios):
    """Two-sided p-value of the Wilcoxon signed-rank test, or None without pairs."""
    if not len(log_ratios):
        return None
    if not np.any(log_ratios):
        return 1.0  # every pair equal: nothing to tell apart
    from scipy.stats import wilcoxon as signed_rank
    return float(signed_rank(log_ratios, alternative="two-sided").pvalue)


def welch(a, b):
    """Two-sided p-value of Welch's t-test of the logs of two sets of positive values."""
    from scipy.stats import ttest_ind
    a, b = np.log(np.asarray(a, dtype=float)), np.log(np.asarray(b, dtype=float))
    if np.ptp(np.concatenate([a, b])) == 0:
        return 1.0
    return float(ttest_ind(a, b, equal_var=False).pvalue)


def frame_keys(report):
    """What makes two frames equal work: Shardfall's triangles (window and angle step),
    Latticeglow's frame number; a key seen again is counted (a window redrawn reports its
    step once more)."""
    base = report.quantities.tolist() if report.quantities is not None \
        else list(range(report.frame_count))
    seen = {}
    keys = []
    for k in base:
        seen[k] = seen.get(k, 0) + 1
        keys.append((k, seen[k]))
    return keys


def paired_log_ratios(ra, rb):
    """log(rate in B / rate in A) of the frames of equal work in both windows."""
    rates_a = dict(zip(frame_keys(ra), ra.frame_rates.tolist()))
    ratios = []
    for key, rate_b in zip(frame_keys(rb), rb.frame_rates.tolist()):
        rate_a = rates_a.get(key)
        if rate_a is not None and rate_a > 0 and rate_b > 0 and math.isfinite(rate_a) \
                and math.isfinite(rate_b):
            ratios.append(math.log(rate_b / rate_a))
    return np.array(ratios)


def mann_whitney(a, b):
    """Two-sided p-value of the Mann-Whitney U test, or None without frames on both sides."""
    if not len(a) or not len(b):
        return None
    from scipy.stats import mannwhitneyu
    both = np.concatenate([a, b])
    if (both == both[0]).all():
        return 1.0  # all equal: nothing to tell apart
    return float(mannwhitneyu(a, b, alternative="two-sided").pvalue)


def percent_change(a, b):
    if a is None or b is None or not (math.isfinite(a) and math.isfinite(b)) or a == 0:
        return None
    return (b - a) / a * 100.0


@dataclass
class Measure:
    name: str
    a: float
    b: float
    higher_is_better: bool

    @property
    def change(self):
        return percent_change(self.a, self.b)

    @property
    def loss(self):
        """How many per cent worse B is than A (negative when better), or None."""
        c = self.change
        if c is None:
            return None
        return -c if self.higher_is_better else c


@dataclass
class Row:
    window: object            # window number or "total"
    rates_a: list
    rates_b: list
    measures: list = field(default_factory=list)
    p_value: float = None
    alpha: float = ALPHA
    test: str = None           # which noise test decided, and why
    pairs: int = 0             # frames of equal work on both sides
    cannot_tell: str = None    # why the change cannot be told from run-to-run noise
    not_in_total: bool = False  # the window's frames differ, the total does not

    @property
    def significant(self):
        return self.p_value is not None and self.p_value < self.alpha \
            and self.cannot_tell is None

    @property
    def rate(self):
        return self.measures[0]

    @property
    def verdict(self):
        if self.p_value is None:
            return "no frames to compare"
        if self.cannot_tell:
            return "cannot tell"
        if not self.significant:
            return "within noise"
        loss = self.rate.loss
        if loss is None:
            return "different"
        if self.not_in_total:
            return "%s, not in total" % ("slower" if loss > 0 else "faster")
        return "SLOWER" if loss > 0 else "faster"

    def regression_above(self, pct):
        loss = self.rate.loss
        return self.significant and loss is not None and loss > pct


def _measures(unit, rate_a, rate_b, reports_a, reports_b, init_a, init_b):
    stats_a = frame_time_stats(all_times(reports_a))
    stats_b = frame_time_stats(all_times(reports_b))
    return [Measure(unit, rate_a, rate_b, True),
            Measure("median frame s", stats_a["median"], stats_b["median"], False),
            Measure("p95 frame s", stats_a["p95"], stats_b["p95"], False),
            Measure("init s", init_a, init_b, False)]


def _init(reports):
    """The run is ready when its slowest window is: the largest initialisation time."""
    times = [r.file.init_time.value for r in reports if r.file.init_time is not None
             and math.isfinite(r.file.init_time.value)]
    return max(times) if times else None


@dataclass
class Comparison:
    run_a: object
    run_b: object
    windows: list
    total: Row
    notes: list
    alpha: float = ALPHA
    spread_percent: float = None   # the widest spread of a repeated side's headlines
    spread_side: str = None
    slow_b: list = field(default_factory=list)   # run B's slow hosts and displays, in words

    @property
    def verdict(self):
        """The total's verdict, qualified when run B's hosts do not all stand behind it."""
        if not self.slow_b:
            return self.total.verdict
        return "%s, but run B has slow hosts: %s" % (self.total.verdict, "; ".join(self.slow_b))

    def regressions(self, pct):
        """The rows that trip the gate: the total, or none."""
        return [self.total] if self.total.regression_above(pct) else []

    def gate(self, pct):
        """(status, line) of --fail-above pct: 1 for a regression or a side without frames,
        0 otherwise (CANNOT TELL included)."""
        empty = [tag for tag, rates in (("A", self.total.rates_a), ("B", self.total.rates_b))
                 if not len(rates)]
        if empty:
            return 1, "REGRESSION check failed: run %s has no frames to compare" % (
                " and ".join(empty))
        if self.regressions(pct):
            return 1, "REGRESSION beyond %g%%: headline (%s, p = %.3g)" % (
                pct, format_percent(self.total.rate.change), self.total.p_value)
        if self.slow_b:
            return 1, "SLOW HOSTS in run B: %s: its headline does not stand for its hosts" % (
                "; ".join(self.slow_b))
        if self.total.cannot_tell:
            return 0, "CANNOT TELL whether it regressed beyond %g%%: %s; repeat the runs" % (
                pct, self.total.cannot_tell)
        if self.spread_percent is not None and self.spread_percent > pct:
            return 0, ("CANNOT TELL whether it regressed beyond %g%%: the repeats of %s spread "
                       "over %.1f%% of their median, more than that; repeat the runs"
                       % (pct, self.spread_side, self.spread_percent))
        return 0, "no significant regression beyond %g%%" % pct


def compare_runs(run_a, run_b, alpha=ALPHA, repeats_a=None, repeats_b=None):
    """The comparison; repeats_a and repeats_b: the headlines of each side's repeats."""
    unit = run_a.program.quantity_unit
    by_a = {r.window: r for r in run_a.reports}
    by_b = {r.window: r for r in run_b.reports}
    notes = []
    rows, pairs = [], []
    for w in sorted(set(by_a) | set(by_b), key=lambda w: (w is None, w or 0)):
        ra, rb = by_a.get(w), by_b.get(w)
        if ra is None or rb is None:
            notes.append("window %s is only in run %s" % (w, "A" if rb is None else "B"))
        rates_a = ra.rates if ra else np.zeros(0)
        rates_b = rb.rates if rb else np.zeros(0)
        row = Row(w, rates_a, rates_b, alpha=alpha)
        row.measures = _measures(
            unit, ra.average_quantity_rate if ra else None,
            rb.average_quantity_rate if rb else None, [ra] if ra else [], [rb] if rb else [],
            _init([ra]) if ra else None, _init([rb]) if rb else None)
        ratios = paired_log_ratios(ra, rb) if ra and rb else np.zeros(0)
        pairs.append(ratios)
        row.pairs = len(ratios)
        if len(ratios):
            row.test, row.p_value = PAIRED, wilcoxon(ratios)
        else:
            row.test, row.p_value = UNPAIRED, mann_whitney(rates_a, rates_b)
        rows.append(row)
        for r, name in ((ra, "A"), (rb, "B")):
            if r is not None and r.state != "ok":
                notes.append("window %s of run %s: %s" % (w, name, r.state))
    pooled_a = np.concatenate([r.rates for r in run_a.reports] or [np.zeros(0)])
    pooled_b = np.concatenate([r.rates for r in run_b.reports] or [np.zeros(0)])
    total = Row("total", pooled_a, pooled_b, alpha=alpha)
    # A repeated run's headline is the median of its repeats'.
    headline_a = statistics.median(repeats_a) if repeats_a else run_a.headline
    headline_b = statistics.median(repeats_b) if repeats_b else run_b.headline
    total.measures = _measures(unit, headline_a, headline_b, run_a.reports,
                               run_b.reports, _init(run_a.reports), _init(run_b.reports))
    total.measures[0].name = unit + " (headline)"
    pooled = np.concatenate(pairs or [np.zeros(0)])
    headlines_a, headlines_b = repeats_a or [], repeats_b or []
    if len(headlines_a) >= MIN_REPEATS and len(headlines_b) >= MIN_REPEATS:
        total.test, total.p_value = REPEATS, welch(headlines_a, headlines_b)
    elif len(pooled):
        total.test, total.p_value, total.pairs = PAIRED, wilcoxon(pooled), len(pooled)
    else:
        total.test, total.p_value = UNPAIRED, mann_whitney(pooled_a, pooled_b)
    spread_pct, side = repeats_spread(repeats_a, repeats_b)
    change = total.rate.change
    if total.significant and spread_pct is not None and change is not None \
            and spread_pct > abs(change):
        total.cannot_tell = ("the repeats of %s spread over %.1f%% of their median, more than "
                             "the %+.1f%% change of the headline" % (side, spread_pct, change))
        notes.append("cannot tell: %s" % total.cannot_tell)
    if not total.significant:
        overruled = [row for row in rows if row.significant]
        for row in overruled:
            row.not_in_total = True
        if overruled:
            notes.append("window(s) %s differ on their own frames but the total does not: the "
                         "total decides" % ", ".join(str(row.window) for row in overruled))
    if len(by_a) != len(by_b):
        notes.append("the runs have different numbers of windows (%d and %d): the headlines "
                     "are not like for like" % (len(by_a), len(by_b)))
    drivers = [run_gpu_driver(run.context) for run in (run_a, run_b)]
    if all(drivers) and drivers[0] != drivers[1]:
        notes.append("the runs' GPU drivers differ (A %s, B %s): a change may be the driver's"
                     % tuple(drivers))
    slow = {tag: slow_in(run) for tag, run in (("A", run_a), ("B", run_b))}
    if slow["A"]:
        notes.append("run A has slow hosts: %s" % "; ".join(slow["A"]))
    return Comparison(run_a, run_b, rows, total, notes, alpha, spread_pct, side, slow["B"])


def slow_in(run):
    """A run's hosts and displays judged SLOWER, and its fleet's split, in words."""
    found = []
    judged = [("host", slow_hosts.host_verdicts(run) if len(run.hosts()) > 1 else None),
              ("display", slow_hosts.display_verdicts(run) if run.several_displays()
               else None)]
    for what, verdicts in judged:
        if verdicts is None:
            continue
        found += ["%s %s (%s)" % (what, v.label, format_percent(v.gap_percent))
                  for v in verdicts[0] if v.slower]
        if slow_hosts.split(verdicts[0]):
            found.append(verdicts[1])
    return found


def repeats_spread(repeats_a, repeats_b):
    """(per cent, side) of the side whose repeats' headlines spread over the most of their
    median (max - min), or (None, None) when neither side was repeated."""
    found = [(spread(h)["range_percent"], tag) for tag, h in (("A", repeats_a), ("B", repeats_b))
             if h and len(h) > 1]
    found = [(pct, tag) for pct, tag in found if pct is not None]
    return max(found) if found else (None, None)


def format_comparison(c):
    head = ["window", "measure", "A", "B", "change", "p", "verdict"]
    rows = []
    for row in c.windows + [c.total]:
        for i, m in enumerate(row.measures):
            first = i == 0
            rows.append([str(row.window) if first else "", m.name, g(m.a), g(m.b),
                         format_percent(m.change),
                         ("-" if row.p_value is None else "%.3g" % row.p_value) if first else "",
                         row.verdict if first else ""])
    widths = [max(len(head[i]), *(len(r[i]) for r in rows)) for i in range(len(head))]

    def text(r):
        return "  ".join(c.ljust(w) if i in (1, 6) else c.rjust(w)
                         for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    out = [text(head), "  ".join("-" * w for w in widths)]
    for r in rows:
        if r[0] == "total":
            out.append("  ".join("-" * w for w in widths))
        out.append(text(r))
    return "\n".join(out)


def comparison_data(c, fail_above=None):
    def row_json(row):
        return {"window": row.window, "frames_a": len(row.rates_a), "frames_b": len(row.rates_b),
                "pairs": row.pairs, "test": row.test, "cannot_tell": row.cannot_tell,
                "p_value": json_number(row.p_value), "significant": row.significant,
                "verdict": row.verdict,
                "measures": [{"measure": m.name, "a": json_number(m.a), "b": json_number(m.b),
                              "change_percent": json_number(m.change)} for m in row.measures]}
    data = {
        "program": c.run_a.program.name,
        "a": {"run": c.run_a.label, "context": c.run_a.context},
        "b": {"run": c.run_b.label, "context": c.run_b.context},
        "noise_test": NOISE_TEST,
        "windows": [row_json(row) for row in c.windows],
        "total": row_json(c.total),
        "verdict": c.verdict,
        "slow_hosts_b": c.slow_b,
        "notes": c.notes,
    }
    if fail_above is not None:
        data["fail_above_percent"] = fail_above
        data["regressions"] = [row.window for row in c.regressions(fail_above)]
        data["gate"] = c.gate(fail_above)[1]
    return data
