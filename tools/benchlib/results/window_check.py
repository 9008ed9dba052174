"""One window's results file checked against itself and summed up.

Every number in a results file is printed with six significant digits, so a printed value v
stands for any value within half a unit of its sixth digit: v +/- 0.5 * 10**(e - 5), e being
v's decimal exponent. The check carries these bounds through the arithmetic as intervals and
a printed value agrees when its own interval overlaps the recomputed one (plus a relative
1e-9 for the floating point arithmetic).

The frames are checked as arrays (NumPy), all at once; a frame that does not pass is looked
at on its own, with the same arithmetic, to say what is wrong.
"""

import math

import numpy as np

from . import layout as L
from .files import shown
from .numbers import frame_time_stats, ieee_divide, json_number, safe_sum

RELATIVE_SLACK = 1e-9
# Half a unit in the sixth significant digit, by decimal exponent, as Python computes it.
_LOWEST_EXPONENT = -330  # doubles lie between 10^-324 and 10^309
_BOUND_BY_EXPONENT = np.array([0.5 * 10.0 ** (e - 5) for e in range(_LOWEST_EXPONENT, 313)])


def values_of(texts):
    return np.fromiter(map(float, texts), float, len(texts))


def bounds_of(values):
    """How far each printed value can be from the unrounded one (0 for 0, nan and inf)."""
    magnitude = np.abs(values)
    known = np.isfinite(magnitude) & (magnitude > 0)
    exponents = np.zeros(len(values), dtype=np.int64)
    exponents[known] = np.floor(np.log10(magnitude[known])).astype(np.int64)
    return np.where(known, _BOUND_BY_EXPONENT[exponents - _LOWEST_EXPONENT], 0.0)


# ---------------------------------------------------------------- interval arithmetic

def _quotient(num_lo, num_hi, den_lo, den_hi):
    """Range of num / den for non-negative ranges, as IEEE division gives it.

    Returns ("nan",) or ("inf",) when the result is that value for certain,
    ("any",) when it cannot be told, otherwise (lo, hi).
    """
    if den_hi == 0:
        if num_hi == 0:
            return ("nan",)
        if num_lo > 0:
            return ("inf",)
        return ("any",)
    lo = num_lo / den_hi
    hi = num_hi / den_lo if den_lo > 0 else math.inf
    return (lo, hi)


def _agrees(value, bound, expected):
    """Whether a printed number (value +/- bound) can be the rounded value of something in
    `expected`."""
    if expected == ("any",):
        return True
    if expected == ("nan",):
        return math.isnan(value)
    if expected == ("inf",):
        return value == math.inf
    if not math.isfinite(value):
        return False
    lo, hi = expected
    slack = RELATIVE_SLACK * max(abs(lo), abs(hi) if math.isfinite(hi) else 0.0)
    return value + bound >= lo - slack and value - bound <= hi + slack


def _agree_all(values, bounds, lo, hi):
    """_agrees for finite ranges, element by element."""
    slack = RELATIVE_SLACK * np.maximum(np.abs(lo), np.abs(hi))
    return (values + bounds >= lo - slack) & (values - bounds <= hi + slack)


def _describe(expected):
    if len(expected) == 1:
        return expected[0]
    lo, hi = expected
    return "%.9g .. %.9g" % (lo, hi)


def _is_time(value):
    return math.isfinite(value) and value >= 0


def _rates_ok(rates, times):
    """A rate as the programs print it: not negative, and finite unless its time was 0."""
    time_zero = times == 0
    return np.where(np.isnan(rates), time_zero,
                    (rates >= 0) & (~np.isinf(rates) | time_zero))


# ---------------------------------------------------------------- analysis

class WindowReport:
    """One results file with everything recomputed from its frames. It keeps its frames'
    figures as arrays: times, workload rates and (Shardfall) triangles per frame.

    file_state is what the run says of the file ({"state": one of layout.END_STATES,
    "error": text}), or None when the run does not say; ended_early what it says of a window
    that ended before the run did ({"after_seconds", "how"}), or None.
    """

    ended_early = None

    def __init__(self, rf, file_state=None):
        self.file = rf
        self.program = rf.program
        self.file_state = file_state
        self.errors = []
        self.bad_values = False
        name = rf.name_info
        self.window = name.window if name else rf.window
        self.host = shown(name.host if name else rf.processor)
        self.start = name.start if name else None
        self.vertices_per_frame = None
        self.vertex_range = None
        columns = rf.frames
        self.frame_count = len(columns)
        self.times = values_of(columns.seconds)
        self.frame_rates = values_of(columns.rates)
        self.quantities = (np.array(columns.triangles, dtype=np.int64)
                           if columns.triangles is not None else None)
        angles = values_of(columns.angle_rates)
        bounds = bounds_of(self.times), bounds_of(angles), bounds_of(self.frame_rates)
        bad = self._check_values(columns, angles)
        self._check_frames(columns, angles, bounds, bad)
        self._recompute(bounds[0])
        self._check_summary()

    def _error(self, line, message):
        self.errors.append("%s:%d: %s" % (shown(self.file.path), line, message))

    def _bad(self, line, what, text):
        self.bad_values = True
        self._error(line, "%s %s cannot be right" % (what, text))

    # frames -------------------------------------------------------------
    def _check_values(self, columns, angles):
        """Flags figures no working program prints: a time that is negative or not finite,
        a negative rate, and a rate that is nan or infinite although its time is not 0 (x/0
        is infinite and 0/0 nan, as the programs divide). Returns the frames flagged."""
        f = self.file
        if f.init_time is not None and not _is_time(f.init_time.value):
            self._bad(f.init_line, "the initialisation time", f.init_time.text)
        t = self.times
        wrong = (~(np.isfinite(t) & (t >= 0)), ~_rates_ok(angles, t),
                 ~_rates_ok(self.frame_rates, t))
        bad = np.flatnonzero(wrong[0] | wrong[1] | wrong[2])
        for i in bad:
            for flagged, what, texts in zip(
                    wrong, ("frame time", "angle rate", "%s rate" % self.program.quantity),
                    (columns.seconds, columns.angle_rates, columns.rates)):
                if flagged[i]:
                    self._bad(columns.line(i), "frame %d: the %s" % (i + 1, what), texts[i])
        s = f.summary
        if s is not None:
            total = s.total_time.value
            if not _is_time(total):
                self._bad(s.line, "the summary's total running time", s.total_time.text)
            for what, number in (("average angle rate", s.average_angle_rate),
                                 ("average %s rate" % self.program.quantity,
                                  s.average_quantity_rate)):
                v = number.value
                nan_allowed = not self.frame_count  # 0 frames / 0 s
                if v < 0 or (math.isnan(v) and not nan_allowed) or \
                        (math.isinf(v) and total != 0):
                    self._bad(s.line, "the summary's " + what, number.text)
        return set(bad.tolist())

    def _check_frames(self, columns, angles, bounds, bad):
        t, r = self.times, self.frame_rates
        tb, ab, rb = bounds
        t_lo, t_hi = t - tb, t + tb
        good = np.ones(len(t), dtype=bool)
        good[list(bad)] = False
        plain = good & (t_lo > 0)  # a range of times that holds no 0: the arrays' way
        with np.errstate(divide="ignore", invalid="ignore"):
            angle_ok = _agree_all(angles, ab, 1.0 / t_hi, 1.0 / t_lo)
            if self.quantities is not None:
                q = self.quantities.astype(float)
                rate_ok = _agree_all(r, rb, q / t_hi, q / t_lo)
            else:
                rate_ok = np.ones(len(t), dtype=bool)
        for i in np.flatnonzero(good & ~(plain & angle_ok & rate_ok)).tolist():
            self._check_frame(i, columns, angles, bounds)
        if self.quantities is None:
            self._check_vertices(columns, good, bounds)

    def _check_frame(self, i, columns, angles, bounds):
        """One frame, the scalar way: what is wrong with it, in words."""
        t, tb = float(self.times[i]), float(bounds[0][i])
        t_lo, t_hi = t - tb, t + tb
        line = columns.line(i)
        expected = _quotient(1, 1, t_lo, t_hi)
        if not _agrees(float(angles[i]), float(bounds[1][i]), expected):
            self._error(line, "frame %d: angle rate %s Angles/sec does not match "
                        "1 / frame time %s s (expected %s)"
                        % (i + 1, columns.angle_rates[i], columns.seconds[i],
                           _describe(expected)))
        if self.quantities is not None:
            q = int(self.quantities[i])
            expected = _quotient(q, q, t_lo, t_hi)
            if not _agrees(float(self.frame_rates[i]), float(bounds[2][i]), expected):
                self._error(line, "frame %d: triangle rate %s Triangles/sec does not "
                            "match %d triangles / %s s (expected %s)"
                            % (i + 1, columns.rates[i], q, columns.seconds[i],
                               _describe(expected)))

    def _check_vertices(self, columns, good, bounds):
        """Latticeglow does not print its vertices per frame: each frame's rate times its
        time gives a range, and every frame's range must hold one count."""
        t, r = self.times, self.frame_rates
        tb, _ab, rb = bounds
        usable = good & (t != 0) & np.isfinite(r) & (r >= 0)
        here_lo = (r - rb) * (t - tb)
        here_hi = (r + rb) * (t + tb)
        if not usable.any():
            return
        lo, hi = float(here_lo[usable].max()), float(here_hi[usable].min())
        if lo <= hi:  # every frame's range holds the same counts: nothing narrows to empty
            self._take_vertex_range((lo, hi))
            return
        vertex_range = vertex_from = None
        for i in np.flatnonzero(usable).tolist():
            here = (float(here_lo[i]), float(here_hi[i]))
            if vertex_range is None:
                vertex_range, vertex_from = here, i + 1
                continue
            lo, hi = max(vertex_range[0], here[0]), min(vertex_range[1], here[1])
            slack = RELATIVE_SLACK * max(here[1], vertex_range[1])
            if lo > hi + slack:
                self._error(columns.line(i), "frame %d: vertex rate %s Vertex/sec times "
                            "frame time %s s gives %.9g..%.9g vertices, but frames %d..%d "
                            "gave %.9g..%.9g: the vertices per frame are not constant"
                            % (i + 1, columns.rates[i], columns.seconds[i], here[0], here[1],
                               vertex_from, i, vertex_range[0], vertex_range[1]))
                continue
            vertex_range = (lo, max(lo, hi))
        self._take_vertex_range(vertex_range)

    def _take_vertex_range(self, vertex_range):
        self.vertex_range = vertex_range
        middle = (vertex_range[0] + vertex_range[1]) / 2
        nearest = round(middle)
        if vertex_range[0] - 1e-9 <= nearest <= vertex_range[1] + 1e-9:
            self.vertices_per_frame = float(nearest)
        else:
            self.vertices_per_frame = middle

    # recomputed values ---------------------------------------------------------
    def _recompute(self, time_bounds):
        usable = np.isfinite(self.times) & (self.times >= 0)
        times, bounds = self.times[usable], time_bounds[usable]
        self.total_time = safe_sum(times.tolist())
        self.total_lo = safe_sum((times - bounds).tolist())
        self.total_hi = safe_sum((times + bounds).tolist())
        n = self.frame_count
        self.average_angle_rate = ieee_divide(n, self.total_time)
        if self.quantities is not None:
            self.quantity_sum = int(self.quantities.sum(dtype=object)) if n else 0
            self.average_quantity_rate = ieee_divide(self.quantity_sum, self.total_time)
        else:
            if self.vertices_per_frame is not None:
                self.quantity_sum = self.vertices_per_frame * n
            elif n == 0:
                self.quantity_sum = 0.0
            else:
                self.quantity_sum = math.nan  # cannot be told from the frames
            self.average_quantity_rate = ieee_divide(self.quantity_sum, self.total_time)
        self.time_stats = frame_time_stats(times)

    def _check_summary(self):
        s = self.file.summary
        self.agreement = None
        if s is None:
            return
        n = self.frame_count
        total_expected = (self.total_lo, self.total_hi)
        self.agreement = {}
        checks = [("total_time", s.total_time, total_expected,
                   "total running time %s s" % s.total_time.text,
                   "the sum of the frame times")]
        checks.append(("average_angle_rate", s.average_angle_rate,
                       _quotient(n, n, self.total_lo, self.total_hi),
                       "average angle rate %s Angles/Sec" % s.average_angle_rate.text,
                       "frames / total time"))
        if self.quantities is not None:
            q = self.quantity_sum
            checks.append(("average_quantity_rate", s.average_quantity_rate,
                           _quotient(q, q, self.total_lo, self.total_hi),
                           "average triangle rate %s Triangles/Sec"
                           % s.average_quantity_rate.text,
                           "triangles / total time"))
        else:
            if self.vertex_range is not None:
                expected = _quotient(self.vertex_range[0] * n, self.vertex_range[1] * n,
                                     self.total_lo, self.total_hi)
            elif n == 0:
                expected = _quotient(0, 0, self.total_lo, self.total_hi)
            else:
                expected = ("any",)
            checks.append(("average_quantity_rate", s.average_quantity_rate, expected,
                           "average vertex rate %s Vertex/Sec" % s.average_quantity_rate.text,
                           "vertices per frame * frames / total time"))
        for key, number, expected, what, how in checks:
            ok = _agrees(number.value, number.bound, expected)
            self.agreement[key] = ok
            if not ok:
                self._error(s.line, "the summary's %s disagrees with its %d frame(s): %s "
                            "gives %s" % (what, n, how, _describe(expected)))

    # presentation ---------------------------------------------------------------
    @property
    def summary_state(self):
        if self.file.summary is None:
            return "missing"
        return "ok" if all(self.agreement.values()) else "MISMATCH"

    @property
    def incomplete(self):
        return bool(self.file_state) and self.file_state.get("state") in L.LOST_STATES

    @property
    def state(self):
        """ok, or the first of what is wrong with the window's figures."""
        if self.ended_early:
            return "ENDED EARLY"
        if self.incomplete:
            return "INCOMPLETE FILE"
        if self.bad_values:
            return "BAD VALUES"
        if self.errors:
            return "MISMATCH"
        if self.frame_count == 0:
            return "NO FRAMES"
        if self.file.summary is None:
            return "no summary"
        return "ok"

    @property
    def rates(self):
        """The per-frame workload rates (triangles/s or vertices/s) that are finite."""
        return self.frame_rates[np.isfinite(self.frame_rates)]

    def as_json(self):
        s = self.file.summary
        file_summary = None
        if s is not None:
            file_summary = {
                "total_time_s": json_number(s.total_time.value),
                "average_angle_rate": json_number(s.average_angle_rate.value),
                "average_quantity_rate": json_number(s.average_quantity_rate.value),
            }
        recomputed = {
            "total_time_s": json_number(self.total_time),
            "average_angle_rate": json_number(self.average_angle_rate),
            "average_quantity_rate": json_number(self.average_quantity_rate),
        }
        if self.program is L.LATTICEGLOW:
            # Only known to the precision of the printed rates and times: the bounds say how
            # far it can be trusted.
            recomputed["vertices_per_frame"] = json_number(self.vertices_per_frame)
            recomputed["vertices_per_frame_bounds"] = (
                None if self.vertex_range is None else list(self.vertex_range))
        return {
            "window": self.window,
            "host": self.host,
            "file": shown(self.file.name),
            "processor": shown(self.file.processor) if self.file.processor else None,
            "state": self.state,
            "file_state": self.file_state,
            "ended_early": self.ended_early,
            "initialisation_time_s": json_number(
                self.file.init_time.value if self.file.init_time else None),
            "frames": self.frame_count,
            "total_time_s": json_number(self.total_time),
            "summary": self.summary_state,
            "average_quantity_rate": json_number(self.average_quantity_rate),
            "file_averages": file_summary,
            "recomputed_averages": recomputed,
            "agreement": self.agreement,
            "frame_time_s": {k: json_number(v) for k, v in self.time_stats.items()},
            "notes": list(self.file.notes),
            "errors": list(self.errors),
        }
