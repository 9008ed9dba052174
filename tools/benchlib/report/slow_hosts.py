"""Which host is slow: every host of a run against the others, at equal work.

A frame's time depends on its work: Shardfall's window w at angle step a draws 3,600 x w x a
indices, Latticeglow's every frame the same lattice. So the frames of all hosts are fitted
together, log(frame time) against log(work) by least squares (Latticeglow: a constant), and
each frame's residual says how much slower or faster it was than the run's frames of the
same work. A host's gap is the median of its residuals against the median host's: exp() of
it is the factor on its frame times, and its workload rate is that much below (or above) the
median host. Whether the gap exceeds the noise: the one-sided Mann-Whitney U test of the
host's residuals against those of every other host (SciPy), Holm's correction for testing
every host, significant when the corrected p < ALPHA. The frames of a run are taken as
independent samples, which they are not quite: a window's process stays on one core for its
life, so hosts with nothing wrong differ by several per cent (up to 12 % here, one window a
host), and the frames cannot tell that from a slow host. So a host is SLOWER only when its
gap is also beyond twice the largest gap among the other hosts (and beyond 5 %): it must
stand out from the spread the others show. Run-to-run noise is not in the test (repeated
runs give that).

Where a host's windows went to more than one display (a GPU each), the displays are judged
the same way: every display of every host against the median display, a display being one
of its host (":0.1" of two nodes are two GPUs).
"""

import math
from dataclasses import dataclass

import numpy as np

ALPHA = 0.05
MIN_HOSTS = 3     # fewer: "the median host" says nothing
MIN_FRAMES = 5    # fewer frames on a host: that host cannot be judged
SAMPLE = 20000    # the other hosts' frames a host is tested against, at most (drawn at random)
MIN_GAP = 5.0     # per cent: a smaller gap is never called slow
SPREAD_FACTOR = 2.0  # a slow host's gap is beyond twice the largest gap among the others
RULE = ("hosts compared at equal work: log(frame time) fitted against log(work) over all "
        "frames, each host's median residual against the median host's; SLOWER when the "
        "one-sided Mann-Whitney U test of its residuals against the other hosts' is "
        "significant (Holm-corrected p < %g) and its gap is beyond twice the largest among "
        "the other hosts" % ALPHA)
DISPLAY_RULE = ("displays of hosts (a host's windows on one display) compared as hosts are: "
                "each display's median residual against the median display's; SLOWER when "
                "the one-sided Mann-Whitney U test of its residuals against the other "
                "displays' is significant (Holm-corrected p < %g) and its gap is beyond twice "
                "the largest among the other displays" % ALPHA)


@dataclass
class HostVerdict:
    """The verdict of a host, or of a display of a host (display set)."""
    host: str
    windows: int
    frames: int
    gap_percent: float = None   # workload rate against the median host's (display's), in %
    p_value: float = None       # Holm-corrected
    verdict: str = "cannot decide"
    display: str = None

    @property
    def slower(self):
        return self.verdict == "SLOWER"

    @property
    def label(self):
        return self.host if self.display is None else "%s %s" % (self.host, self.display)

    def as_json(self):
        of = "host" if self.display is None else "display"
        named = {"host": self.host} if self.display is None else \
            {"host": self.host, "display": self.display}
        return dict(named, windows=self.windows, frames=self.frames, **{
            "rate_vs_median_%s_percent" % of: _finite_or_none(self.gap_percent),
            "p_value": _finite_or_none(self.p_value), "verdict": self.verdict})


def _finite_or_none(value):
    return value if value is not None and math.isfinite(value) else None


def _frames_of(report):
    """(log frame times, log work) of a window's frames that can be judged."""
    t = report.times
    if report.quantities is not None:
        work = report.quantities.astype(float)
    else:
        work = np.full(len(t), report.vertices_per_frame or 1.0)
    keep = np.isfinite(t) & (t > 0) & (work > 0)
    return np.log(t[keep]), np.log(work[keep])


def host_verdicts(run):
    """([HostVerdict] in the run's host order, a sentence when the run cannot decide)."""
    return _verdicts({(host, None): reports for host, reports in run.hosts().items()}, "host")


def display_verdicts(run):
    """([HostVerdict] of every display of every host, a sentence when the run cannot
    decide)."""
    return _verdicts({(host, display): reports
                      for host, displays in run.host_displays().items()
                      for display, reports in displays.items()}, "display")


def _verdicts(groups, what):
    """The verdicts of groups {(host, display or None): [reports]}, each against the median
    group; what: "host" or "display", as the sentence names them."""
    from scipy.stats import mannwhitneyu
    by_host = {}  # group -> (windows, log frame times, log work)
    for key, reports in groups.items():
        # A window that ended before the run did drew its frames over part of the run only
        # (its first seconds, often the busiest): they would judge its host on another span.
        parts = [_frames_of(r) for r in reports if not getattr(r, "ended_early", None)] or \
            [(np.zeros(0), np.zeros(0))]
        by_host[key] = (len(reports), np.concatenate([p[0] for p in parts]),
                         np.concatenate([p[1] for p in parts]))
    verdicts = {h: HostVerdict(h[0], n, len(y), display=h[1])
                for h, (n, y, _x) in by_host.items()}
    judged = [h for h, v in verdicts.items() if v.frames >= MIN_FRAMES]
    if len(judged) < MIN_HOSTS:
        return list(verdicts.values()), (
            "cannot decide which %s is slow: %d %s(s) with at least %d frames; it takes "
            "%d" % (what, len(judged), what, MIN_FRAMES, MIN_HOSTS))
    y = np.concatenate([by_host[h][1] for h in judged])
    x = np.concatenate([by_host[h][2] for h in judged])
    if np.ptp(x) > 0:
        slope, intercept = np.polyfit(x, y, 1)
    else:
        slope, intercept = 0.0, float(np.mean(y))
    residuals = {h: by_host[h][1] - (slope * by_host[h][2] + intercept) for h in judged}
    effect = {h: float(np.median(r)) for h, r in residuals.items()}
    middle = float(np.median(list(effect.values())))
    raw = {}
    rng = np.random.default_rng(0)  # the same sample, and so the same verdict, every time
    for h in judged:
        others = np.concatenate([residuals[o] for o in judged if o != h])
        if len(others) > SAMPLE:
            others = rng.choice(others, SAMPLE, replace=False)
        raw[h] = float(mannwhitneyu(residuals[h], others, alternative="greater").pvalue)
    gaps = {h: (math.exp(middle - effect[h]) - 1.0) * 100.0 for h in judged}
    for h, p in zip(sorted(judged, key=raw.get), _holm(sorted(raw.values()))):
        v = verdicts[h]
        v.p_value = p
        v.gap_percent = gaps[h]
        # Frames do not see how far hosts differ with nothing wrong (a window stays on one
        # core of its own for its life): a slow host must also stand out from the others.
        floor = max(MIN_GAP, SPREAD_FACTOR * max(abs(gaps[o]) for o in judged if o != h))
        v.verdict = "SLOWER" if p < ALPHA and -v.gap_percent > floor else "fine"
    return list(verdicts.values()), None


def _holm(ordered):
    """Holm's step-down correction of p-values in ascending order."""
    corrected, running = [], 0.0
    m = len(ordered)
    for i, p in enumerate(ordered):
        running = max(running, min(1.0, (m - i) * p))
        corrected.append(running)
    return corrected


def verdict_lines(verdicts, undecided, what="host"):
    """The console lines of the verdict of the hosts (or of the displays: what)."""
    if undecided:
        return ["slow %ss: %s" % (what, undecided)]
    lines = ["slow %ss (%s):" % (what, RULE if what == "host" else DISPLAY_RULE)]
    for v in verdicts:
        if v.p_value is None:
            lines.append("  %s: cannot decide (%d frames, it takes %d)"
                         % (v.label, v.frames, MIN_FRAMES))
        else:
            lines.append("  %s: %s, workload rate %+.1f%% against the median %s (p = %.3g, "
                         "%d frames)" % (v.label, v.verdict, v.gap_percent, what, v.p_value,
                                         v.frames))
    return lines


def slower_than(verdicts, percent):
    """The hosts significantly slower than the median host by more than percent."""
    return [v for v in verdicts if v.slower and -v.gap_percent > percent]
