"""Which host is slow: every host of a run against the fleet's normal hosts, at equal work.

A frame's time depends on its work: Shardfall's window w at angle step a draws 3,600 x w x a
indices, Latticeglow's every frame the same lattice. So log(frame time) is fitted against
log(work) by least squares, the slope from the steps within each window (across windows,
window and host go together; Latticeglow: no slope), and each frame's residual says how
much slower or faster it was than the run's frames of the same work. In a stepped run (--frames: every window's frame k is drawn at about the same
moment) the machine's moments of load are taken out: each host's residual of frame k is
taken against the median of the other hosts' residuals of frame k.

A host's effect is the mean of the middle half of its residuals. Which hosts are normal: the
hosts sorted by effect fall into groups wherever two neighbours differ by more than noise
allows (below); the group holding more than half the hosts is the fleet's normal, and the
median of its most closely spaced half the centre. So up to nearly half the fleet may be
slow, together or apart, and still be named. Where no group holds more than half ("two
groups of hosts: ... cannot tell which is normal"), the run cannot tell which hosts are
slow, and says so.

A host is SLOWER when three things hold: its gap to the centre is beyond what noise allows,
Z x sqrt(HOST_SPREAD^2 + frame noise^2 + the centre's noise^2), with HOST_SPREAD the spread
of healthy hosts that frames do not show (a window's process keeps its core, its neighbours
for the run), the frame noise the standard error of a host's effect from the other hosts'
frames (the median over them, widened for the frames' correlation with the one before), and
Z the normal quantile that keeps a healthy fleet of its size at FALSE_ALARM; its frames lie above
the normal hosts' (one-sided test, Holm-corrected p < ALPHA: Wilcoxon's signed-rank test of
the paired frames of a stepped run, Mann-Whitney's U test otherwise; SciPy); and its gap is
beyond MIN_GAP. bench/slow_host_verdicts.py measures how often healthy fleets are named and
slow ones missed, with the frames of real runs (bench/README.md has the figures).

Where a host's windows went to more than one display (a GPU each), the displays are judged
the same way: every display of every host against the fleet of displays, a display being
one of its host (":0.1" of two nodes are two GPUs).
"""

import math
from dataclasses import dataclass

import numpy as np

ALPHA = 0.05
FALSE_ALARM = 0.0005  # a healthy fleet's chance of a host beyond the noise allowance
MIN_HOSTS = 3         # fewer: no majority to call normal
MIN_FRAMES = 5        # fewer frames on a host: that host cannot be judged
SAMPLE = 20000        # the normal hosts' frames a host is tested against, at most (at random)
MIN_GAP = 5.0         # per cent: a smaller gap is never called slow
HOST_SPREAD = 0.05    # healthy hosts' spread beyond their frames' noise (log units; measured)
TRIM = 0.25           # a host's effect: the mean of its frames' middle half
SPLIT = "cannot tell"  # the verdict of every host of a fleet without a clear majority
_RULE = ("{lead} compared at equal work: log(frame time) fitted against log(work) within "
         "each window (in a stepped run each frame against the other {many}' same frame); "
         "the {many}' effects (the mean of the middle half of their residuals) grouped where "
         "neighbours differ beyond noise, the group of more than half the {many} normal; "
         "SLOWER when a {one}'s gap to the normal {many}' centre is beyond the noise "
         "allowance (the healthy {one}-to-{one} spread and the other {many}' frame noise), "
         "its frames lie above the normal {many}' (Holm-corrected p < %g) and the gap is "
         "beyond %g%%" % (ALPHA, MIN_GAP))
RULE = _RULE.format(lead="hosts", one="host", many="hosts")
DISPLAY_RULE = _RULE.format(lead="displays of hosts (a host's windows on one display)",
                            one="display", many="displays")


@dataclass
class HostVerdict:
    """The verdict of a host, or of a display of a host (display set)."""
    host: str
    windows: int
    frames: int
    gap_percent: float = None   # workload rate against the normal hosts' centre, in %
    p_value: float = None       # Holm-corrected
    verdict: str = "cannot decide"
    display: str = None
    allowed_percent: float = None  # the fall in workload rate noise allows, in %

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
            "noise_allows_percent": _finite_or_none(self.allowed_percent),
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
    """([HostVerdict] in the run's host order, a sentence when the run cannot decide or
    cannot tell which hosts are normal)."""
    return _verdicts({(host, None): reports for host, reports in run.hosts().items()},
                     "host", _stepped(run))


def display_verdicts(run):
    """([HostVerdict] of every display of every host, a sentence as host_verdicts')."""
    return _verdicts({(host, display): reports
                      for host, displays in run.host_displays().items()
                      for display, reports in displays.items()}, "display", _stepped(run))


def _stepped(run):
    """Whether the run's windows were stepped frame by frame together (--frames)."""
    return bool(getattr(run, "context", {}).get("frames"))


def _verdicts(groups, what, stepped):
    """The verdicts of groups {(host, display or None): [reports]}; what: "host" or
    "display", as the sentences name them; stepped: pair the groups' frames by number."""
    windows = {}  # group -> [(log frame times, log work)] of its windows that count
    for key, reports in groups.items():
        # A window that ended before the run did drew its frames over part of the run only
        # (its first seconds, often the busiest): they would judge its host on another span.
        windows[key] = [_frames_of(r) for r in reports if not getattr(r, "ended_early", None)]
    verdicts = {key: HostVerdict(key[0], len(groups[key]),
                                 sum(len(y) for y, _x in windows[key]), display=key[1])
                for key in groups}
    judged = [key for key, v in verdicts.items() if v.frames >= MIN_FRAMES]
    if len(judged) < MIN_HOSTS:
        return list(verdicts.values()), (
            "cannot decide which %s is slow: %d %s(s) with at least %d frames; it takes "
            "%d" % (what, len(judged), what, MIN_FRAMES, MIN_HOSTS))
    residuals = _residuals({key: windows[key] for key in judged}, stepped)
    found = judge(residuals, paired=stepped and residuals is not None)
    if found is None:  # unequal frame counts: not paired after all
        found = judge(_residuals({key: windows[key] for key in judged}, False), paired=False)
    for key, (gap, allowed, p, verdict) in zip(judged, found.verdicts):
        v = verdicts[key]
        v.gap_percent, v.allowed_percent, v.p_value, v.verdict = gap, allowed, p, verdict
    return list(verdicts.values()), found.sentence(
        [verdicts[k].label for k in judged], what)


def _residuals(windows, paired):
    """[residuals of each group] after the fit of log frame time on log work; paired: a
    group's frame k is the median over its windows' frames k, its frames cut to the fewest
    any window has (None when a window has fewer than MIN_FRAMES)."""
    # The slope from within each window only (its steps): across windows, work and host go
    # together (window w draws w times the work), and a slope fitted across them would take
    # slow hosts' time for work.
    parts = [(t, w) for group in windows.values() for t, w in group if len(t)]
    spread = sum(float(np.sum((w - w.mean()) ** 2)) for _t, w in parts)
    slope = sum(float(np.sum((w - w.mean()) * (t - t.mean()))) for t, w in parts) / spread \
        if spread > 0 else 0.0
    intercept = float(np.mean(np.concatenate([t - slope * w for t, w in parts])))
    per_window = {key: [t - (slope * w + intercept) for t, w in parts]
                  for key, parts in windows.items()}
    if not paired:
        return [np.concatenate(parts) for parts in per_window.values()]
    fewest = min(len(r) for parts in per_window.values() for r in parts)
    if fewest < MIN_FRAMES:
        return None
    return [np.median(np.array([r[:fewest] for r in parts]), axis=0)
            for parts in per_window.values()]


@dataclass
class Fleet:
    """The judgement of a fleet: per host (gap %, allowed %, p, verdict); the groups when no
    group holds a majority."""
    verdicts: list
    groups: list = None   # [[host index]], fastest group first, when split
    group_gaps: list = None

    def sentence(self, labels, what):
        if not self.groups:
            return None
        named = ["%s (%+.1f%%)" % (", ".join(labels[i] for i in sorted(g)), gap) if n else
                 ", ".join(labels[i] for i in sorted(g))
                 for n, (g, gap) in enumerate(zip(self.groups, self.group_gaps))]
        count = "two" if len(self.groups) == 2 else str(len(self.groups))
        return "%s groups of %ss: %s: cannot tell which is normal" % (
            count, what, " and ".join(named) if len(named) == 2 else "; ".join(named))


def _effect(values):
    """A host's effect: the mean of its middle half of frames (steadier than the median
    here, and a burst of busy frames moves it as little)."""
    from scipy.stats import trim_mean
    return float(trim_mean(values, TRIM))


def _noise(values, lag_one):
    """The standard error of _effect(values) (a host's frames): the winsorised spread,
    widened for frames correlated with the one before (lag_one)."""
    from scipy.stats.mstats import winsorize
    spread = float(np.std(winsorize(values, (TRIM, TRIM)), ddof=1)) if len(values) > 1 else 0.0
    widen = math.sqrt((1 + lag_one) / (1 - lag_one))
    return spread * widen / ((1 - 2 * TRIM) * math.sqrt(len(values)))


def _lag_one(series):
    """The frames' correlation with the frame before, pooled over hosts (0 to 0.8)."""
    pairs = [(s[:-1] - np.median(s), s[1:] - np.median(s)) for s in series if len(s) > 2]
    a = np.concatenate([p[0] for p in pairs])
    b = np.concatenate([p[1] for p in pairs])
    if not np.any(a) or not np.any(b):
        return 0.0
    return float(np.clip(np.corrcoef(a, b)[0, 1], 0.0, 0.8))


def judge(residuals, paired):
    """The Fleet of hosts' residuals ([arrays], log units, positive: slower); paired: all of
    one length, frame k of every host at the same moment (None when they are not)."""
    if residuals is None:
        return None
    n = len(residuals)
    if paired:  # each host's frame k against the median of the others' frames k
        stack = np.array(residuals)
        residuals = [stack[i] - np.median(np.delete(stack, i, axis=0), axis=0)
                     for i in range(n)]
    effects = np.array([_effect(r) for r in residuals])
    lag_one = _lag_one(residuals)
    # The fleet's frame noise, not a host's own: a slow host's frames are often the
    # burstiest (a throttled host's are) and must not excuse it, and a healthy host's
    # bursts barely move its middle half. A host is judged with the others' noise.
    own = np.array([_noise(r, lag_one) for r in residuals])
    noise = float(np.median(own))
    others = [float(np.median(np.delete(own, i))) for i in range(n)]
    z = float(_normal().isf(FALSE_ALARM / n))
    groups = _groups(effects, noise, z)
    normal = max(groups, key=len)
    if 2 * len(normal) <= n:
        middle = float(np.median(effects))
        centres = [float(np.median(effects[g])) for g in groups]
        return Fleet([(_percent(middle - e), None, None, SPLIT) for e in effects],
                     groups, [_percent(centres[0] - c) for c in centres])
    core = _densest(normal, effects, n // 2 + 1)
    centre = float(np.median(effects[core]))
    centre_noise2 = math.pi / 2 * (HOST_SPREAD ** 2 + noise ** 2) / len(core)
    raw = [_p_value(i, normal, stack if paired else residuals, paired) for i in range(n)]
    corrected = dict(zip(sorted(range(n), key=raw.__getitem__), _holm(sorted(raw))))
    found = []
    for i in range(n):
        allow = z * math.sqrt(HOST_SPREAD ** 2 + others[i] ** 2 + centre_noise2)
        gap = _percent(centre - effects[i])
        slower = effects[i] - centre > allow and -gap > MIN_GAP and corrected[i] < ALPHA
        found.append((gap, -_percent(-allow), corrected[i], "SLOWER" if slower else "fine"))
    return Fleet(found)


def _normal():
    from scipy.stats import norm
    return norm


def _p_value(i, normal, residuals, paired):
    """One-sided p-value of host i's frames lying above the normal hosts' (without it)."""
    import warnings
    from scipy.stats import mannwhitneyu, wilcoxon
    others = [j for j in normal if j != i]
    if paired:
        against = residuals[i] - np.median(np.array([residuals[j] for j in others]), axis=0)
        if not np.any(against):
            return 1.0
        with warnings.catch_warnings():  # ties and few frames: SciPy says how it copes
            warnings.simplefilter("ignore")
            return float(wilcoxon(against, alternative="greater").pvalue)
    pool = np.concatenate([residuals[j] for j in others])
    if len(pool) > SAMPLE:  # the same sample, and so the same verdict, every time
        pool = np.random.default_rng(0).choice(pool, SAMPLE, replace=False)
    return float(mannwhitneyu(residuals[i], pool, alternative="greater").pvalue)


def _percent(log_gap):
    """A gap in log frame time as a workload rate change in %."""
    return (math.exp(log_gap) - 1.0) * 100.0


def _groups(effects, noise, z):
    """The hosts (indices) sorted by effect, cut where neighbours differ beyond noise."""
    order = [int(i) for i in np.argsort(effects, kind="stable")]
    allow = z * math.sqrt(2 * (HOST_SPREAD ** 2 + noise ** 2))
    groups = [[order[0]]]
    for a, b in zip(order, order[1:]):
        if effects[b] - effects[a] > allow:
            groups.append([b])
        else:
            groups[-1].append(b)
    return groups


def _densest(members, effects, size):
    """The `size` members (sorted by effect) that lie closest together."""
    start = min(range(len(members) - size + 1),
                key=lambda s: effects[members[s + size - 1]] - effects[members[s]])
    return members[start:start + size]


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
    if undecided and not any(v.verdict == SPLIT for v in verdicts):
        return ["slow %ss: %s" % (what, undecided)]
    lines = ["slow %ss (%s):" % (what, RULE if what == "host" else DISPLAY_RULE)]
    if undecided:
        lines.append("  %s" % undecided)
    for v in verdicts:
        if v.gap_percent is None:
            lines.append("  %s: cannot decide (%d frames, it takes %d)"
                         % (v.label, v.frames, MIN_FRAMES))
        elif v.verdict == SPLIT:
            lines.append("  %s: %s, workload rate %+.1f%% against the median %s (%d frames)"
                         % (v.label, v.verdict, v.gap_percent, what, v.frames))
        else:
            lines.append("  %s: %s, workload rate %+.1f%% against the median %s (noise "
                         "allows -%.1f%%, p = %.3g, %d frames)"
                         % (v.label, v.verdict, v.gap_percent, what, v.allowed_percent,
                            v.p_value, v.frames))
    return lines


def slower_than(verdicts, percent):
    """The hosts named SLOWER than the normal hosts by more than percent."""
    return [v for v in verdicts if v.slower and -v.gap_percent > percent]


def split(verdicts):
    """Whether the fleet has no clear majority (every host's verdict SPLIT)."""
    return any(v.verdict == SPLIT for v in verdicts)
