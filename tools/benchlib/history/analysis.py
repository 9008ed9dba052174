"""What the history says about runs: their series, and a run against the runs before it."""

import datetime
import statistics
from dataclasses import dataclass

from ..results import layout as L

# Fewer earlier runs than this (or than --last, when that is smaller) are too few to judge by.
MIN_EARLIER = 3


def series_of(row):
    """Runs compare when they share program, windows, screen depth and GL renderer."""
    return (row["program"], row["windows"], row["screen_depth"], row["gl_renderer"])


def describe_series(series):
    program, windows, depth, renderer = series
    return "%s, %s window(s), depth %s, %s" % (
        program, windows, depth or "?", renderer or "renderer unknown")


def series_options(series):
    """The options of list and trend that pick this series."""
    program, windows, depth, renderer = series
    words = ["--program", program, "--windows", str(windows)]
    if depth is not None:
        words += ["--depth", str(depth)]
    if renderer:
        words += ["--renderer", "'%s'" % renderer.replace("'", "'\\''")]
    return " ".join(words)


def unit(program):
    return L.PROGRAMS[program].quantity_unit if program in L.PROGRAMS else "per s"


def number(value):
    return "-" if value is None else "%.6g" % value


def when(row):
    if row["started"] is None:
        return "?"
    return datetime.datetime.fromtimestamp(row["started"]).strftime("%Y-%m-%d %H:%M")


def needed(last):
    return min(MIN_EARLIER, last)


@dataclass
class Verdict:
    headline: float
    median: float
    low: float
    high: float
    count: int

    @property
    def change(self):
        """Per cent above (positive) or below (negative) the median."""
        return (self.headline - self.median) / self.median * 100 if self.median else 0.0

    @property
    def outside(self):
        return not self.low <= self.headline <= self.high

    def below_by_more_than(self, pct):
        return self.change < -pct

    def describe(self, unit_name):
        side = "below" if self.change < 0 else "above"
        return ("headline %.1f%% %s the median of the last %d runs (%s %s), %s their range "
                "(%s .. %s)" % (abs(self.change), side, self.count, number(self.median),
                                unit_name, "outside" if self.outside else "within",
                                number(self.low), number(self.high)))


def judge(headline, earlier):
    """The headline against the headlines of the runs before it."""
    return Verdict(headline, statistics.median(earlier), min(earlier), max(earlier),
                   len(earlier))


def table(header, rows):
    """Columns aligned, numbers to the right."""
    rows = [[str(c) for c in row] for row in rows]
    widths = [max(len(x) for x in column) for column in zip(header, *rows)]
    right = [bool(rows) and all(_numeric(r[i]) for r in rows) for i in range(len(header))]

    def line(cells):
        return "  ".join((c.rjust(w) if r else c.ljust(w))
                         for c, w, r in zip(cells, widths, right)).rstrip()
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def _numeric(text):
    try:
        float(text)
        return True
    except ValueError:
        return text == "-"
