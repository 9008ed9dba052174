"""What the history says about runs: their series, and a run against the runs before it."""

import datetime
import json
import math
import statistics
from dataclasses import dataclass

from ..results import layout as L
from ..results.columns import aligned
from ..results.numbers import g
from .where import HEADLINE_RANGE

# Fewer earlier runs than this (or than --last, when that is smaller) are too few to judge by.
MIN_EARLIER = 5
ALPHA = 0.01          # a healthy run outside its series' interval about this often (normal noise)
MAD_SCALE = 1.4826    # MAD to a normal's standard deviation
SCALE_FLOOR = 0.002   # identical headlines still differ by their printed digits


def series_of(row):
    """Runs compare when they share program, windows, screen depth, GL renderer, mode
    (--frames or --seconds) and rendering variables."""
    return (row["program"], row["windows"], row["screen_depth"], row["gl_renderer"],
            row["mode"], row["rendering_env"])


def driver_changes(rows):
    """(run before, run after) wherever a series' GL driver (its GL version string, which
    names the driver and its version: "Mesa 22.3.6", "NVIDIA 535.104.05") changes."""
    return [(a, b) for a, b in zip(rows, rows[1:])
            if a["gl_version"] and b["gl_version"] and a["gl_version"] != b["gl_version"]]


def setup_changes(before, run, before_hosts, hosts):
    """What changed in how a series renders from one run to the next: the renderer, the GL
    version (which names the driver and its version) and each host's renderer; lines."""
    said = []
    for key, what in (("gl_renderer", "renderer"), ("gl_version", "GL version (driver)")):
        if before[key] and run[key] and before[key] != run[key]:
            said.append("%s changed from %s to %s" % (what, before[key], run[key]))
    renderer_of = {h["host"]: h["gl_renderer"] for h in before_hosts}
    for h in hosts:
        old = renderer_of.get(h["host"])
        if old and h["gl_renderer"] and old != h["gl_renderer"] and \
                (old, h["gl_renderer"]) != (before["gl_renderer"], run["gl_renderer"]):
            said.append("host %s: renderer changed from %s to %s" % (h["host"], old,
                                                                   h["gl_renderer"]))
    return said


def modelled(headline):
    """Whether the statistics take this headline (0 and the extremes they cannot)."""
    return headline is not None and HEADLINE_RANGE[0] <= headline <= HEADLINE_RANGE[1]


def env_words(env_json):
    """NAME=VALUE words of a series' rendering variables."""
    return ["%s=%s" % kv for kv in json.loads(env_json).items()] if env_json else []


def describe_series(series):
    program, windows, depth, renderer, mode, env = series
    return "%s, %s window(s), depth %s, %s, %s%s" % (
        program, windows, depth or "?", renderer or "renderer unknown",
        {"frames": "--frames", "seconds": "--seconds"}.get(mode, "mode unknown"),
        "".join(", " + w for w in env_words(env)))


def _quoted(text):
    return "'%s'" % text.replace("'", "'\\''")


def series_options(series):
    """The options of list and trend that pick this series."""
    program, windows, depth, renderer, mode, env = series
    words = ["--program", program, "--windows", str(windows)]
    if depth is not None:
        words += ["--depth", str(depth)]
    if renderer:
        words += ["--renderer", _quoted(renderer)]
    if mode:
        words += ["--mode", mode]
    for word in env_words(env) or ["none"]:
        words += ["--env", _quoted(word)]
    return " ".join(words)


def unit(program):
    return L.PROGRAMS[program].quantity_unit if program in L.PROGRAMS else "per s"


def moment(row):
    """The run's start as a local datetime, None when unknown or not a time (a row
    recorded before starts were checked may hold year 1)."""
    try:
        return datetime.datetime.fromtimestamp(row["started"])
    except (TypeError, ValueError, OverflowError, OSError):
        return None


def when(row):
    at = moment(row)
    return "?" if at is None else at.strftime("%Y-%m-%d %H:%M")


def needed(last):
    return min(MIN_EARLIER, last)


@dataclass
class Verdict:
    """A headline against the noise of the runs before it.

    The noise model comes from those runs alone: on the log of their headlines, the median
    and the median absolute deviation (MAD, scaled by 1.4826 to a normal's standard
    deviation), robust to the odd run on a busy machine. A new run is within the noise when
    its log headline lies within the prediction interval median +/- c * scale * sqrt(1 +
    pi / 2n) (the median of n runs is itself uncertain by about sqrt(pi / 2n) scales), c the
    two-sided 1 - ALPHA quantile of Student's t with (n - 1) / 2 degrees of freedom (the MAD
    carries about half the information of a standard deviation).
    """
    headline: float
    median: float
    scale: float        # the robust spread of the log headlines (about the relative spread)
    half_width: float   # of the prediction interval, in log units
    count: int

    @property
    def change(self):
        """Per cent above (positive) or below (negative) the median."""
        return (self.headline - self.median) / self.median * 100

    @property
    def significant(self):
        return abs(math.log(self.headline / self.median)) > self.half_width

    @property
    def smallest_drop(self):
        """The smallest fall, in per cent, that this series tells from its noise."""
        return (1 - math.exp(-self.half_width)) * 100

    @property
    def low(self):
        return self.median * math.exp(-self.half_width)

    @property
    def high(self):
        return self.median * math.exp(self.half_width)

    def gate(self, pct):
        """REGRESSION (the fall is significant and larger than pct), CANNOT TELL (the series
        is too noisy to see a pct fall) or PASS."""
        if self.significant and -self.change > pct:
            return "REGRESSION"
        if self.smallest_drop > pct:
            return "CANNOT TELL"
        return "PASS"

    def describe(self, unit_name, against="the last %d runs"):
        side = "below" if self.change < 0 else "above"
        return ("headline %.1f%% %s the median of %s (%s %s); their noise (robust spread "
                "%.1f%%) puts a run between %s and %s: %s" % (
                    abs(self.change), side, against % self.count, g(self.median),
                    unit_name, self.scale * 100, g(self.low), g(self.high),
                    ("significantly " + side) if self.significant else "within the noise"))


def judge(headline, earlier):
    """The headline against the headlines of the runs before it (all positive)."""
    from scipy.stats import t
    logs = [math.log(h) for h in earlier]
    centre = statistics.median(logs)
    scale = max(MAD_SCALE * statistics.median(abs(x - centre) for x in logs), SCALE_FLOOR)
    n = len(logs)
    c = t.ppf(1 - ALPHA / 2, max(1.0, (n - 1) / 2))
    return Verdict(headline, statistics.median(earlier), scale,
                   c * scale * math.sqrt(1 + math.pi / (2 * n)), n)


def table(header, rows):
    """Columns aligned, numbers to the right."""
    rows = [[str(c) for c in row] for row in rows]
    right = [bool(rows) and all(_numeric(r[i]) for r in rows) for i in range(len(header))]
    return "\n".join(aligned(header, [rows], right))


def _numeric(text):
    try:
        float(text)
        return True
    except ValueError:
        return text == "-"
