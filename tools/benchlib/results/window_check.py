"""One window's results file checked against itself and summed up.

Every number in a results file is printed with six significant digits, so a printed value v
stands for any value within half a unit of its sixth digit: v +/- 0.5 * 10**(e - 5), e being
v's decimal exponent. The check carries these bounds through the arithmetic as intervals and
a printed value agrees when its own interval overlaps the recomputed one (plus a relative
1e-9 for the floating point arithmetic).
"""

import math

from . import layout as L
from .files import shown
from .numbers import frame_time_stats, ieee_divide, json_number, safe_sum

RELATIVE_SLACK = 1e-9


# ---------------------------------------------------------------- interval arithmetic

def _interval(number):
    return (number.value - number.bound, number.value + number.bound)


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


def _agrees(number, expected):
    """Whether a printed number can be the rounded value of something in `expected`."""
    value = number.value
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
    v_lo, v_hi = _interval(number)
    return v_hi >= lo - slack and v_lo <= hi + slack


def _describe(expected):
    if len(expected) == 1:
        return expected[0]
    lo, hi = expected
    return "%.9g .. %.9g" % (lo, hi)


def _is_time(value):
    return math.isfinite(value) and value >= 0


def _is_rate(value, time_not_zero):
    """A rate as the programs print it: not negative, and finite unless its time was 0."""
    if math.isnan(value):
        return not time_not_zero
    return value >= 0 and (not math.isinf(value) or not time_not_zero)


# ---------------------------------------------------------------- analysis

class WindowReport:
    """One results file with everything recomputed from its frames.

    file_state is what the run says of the file ({"state": one of layout.END_STATES,
    "error": text}), or None when the run does not say.
    """

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
        self.frames = rf.frames
        self.vertices_per_frame = None
        self.vertex_range = None
        self._bad_frames = self._check_values()
        self._check_frames()
        self._recompute()
        self._check_summary()

    # frames -------------------------------------------------------------
    def _error(self, line, message):
        self.errors.append("%s:%d: %s" % (shown(self.file.path), line, message))

    def _bad(self, line, what, number):
        self.bad_values = True
        self._error(line, "%s %s cannot be right" % (what, number.text))

    def _check_values(self):
        """Flags figures no working program prints: a time that is negative or not finite,
        a negative rate, and a rate that is nan or infinite although its time is not 0 (x/0
        is infinite and 0/0 nan, as the programs divide). Returns the frames flagged."""
        f = self.file
        if f.init_time is not None and not _is_time(f.init_time.value):
            self._bad(f.init_line, "the initialisation time", f.init_time)
        bad = set()
        for i, frame in enumerate(self.frames, 1):
            t = frame.frame_time.value
            checks = [("frame %d: the frame time" % i, frame.frame_time, not _is_time(t))]
            for what, rate in (("angle rate", frame.angle_rate),
                               ("%s rate" % self.program.quantity, frame.quantity_rate)):
                checks.append(("frame %d: the %s" % (i, what), rate,
                               not _is_rate(rate.value, t != 0)))
            for what, number, wrong in checks:
                if wrong:
                    self._bad(frame.line, what, number)
                    bad.add(i)
        s = f.summary
        if s is not None:
            total = s.total_time.value
            if not _is_time(total):
                self._bad(s.line, "the summary's total running time", s.total_time)
            for what, number in (("average angle rate", s.average_angle_rate),
                                 ("average %s rate" % self.program.quantity,
                                  s.average_quantity_rate)):
                v = number.value
                nan_allowed = not self.frames  # 0 frames / 0 s
                if v < 0 or (math.isnan(v) and not nan_allowed) or \
                        (math.isinf(v) and total != 0):
                    self._bad(s.line, "the summary's " + what, number)
        return bad

    def _check_frames(self):
        shardfall = self.program is L.SHARDFALL
        vertex_range = None
        vertex_from = None
        for i, frame in enumerate(self.frames, 1):
            t = frame.frame_time
            if i in self._bad_frames:
                continue
            t_lo, t_hi = _interval(t)
            expected = _quotient(1, 1, t_lo, t_hi)
            if not _agrees(frame.angle_rate, expected):
                self._error(frame.line, "frame %d: angle rate %s Angles/sec does not match "
                            "1 / frame time %s s (expected %s)"
                            % (i, frame.angle_rate.text, t.text, _describe(expected)))
            if shardfall:
                q = frame.quantity
                expected = _quotient(q, q, t_lo, t_hi)
                if not _agrees(frame.quantity_rate, expected):
                    self._error(frame.line, "frame %d: triangle rate %s Triangles/sec does not "
                                "match %d triangles / %s s (expected %s)"
                                % (i, frame.quantity_rate.text, q, t.text,
                                   _describe(expected)))
            else:
                r = frame.quantity_rate
                if t.value == 0 or not math.isfinite(r.value) or r.value < 0:
                    continue
                r_lo, r_hi = _interval(r)
                here = (r_lo * t_lo, r_hi * t_hi)
                if vertex_range is None:
                    vertex_range, vertex_from = here, i
                    continue
                lo, hi = max(vertex_range[0], here[0]), min(vertex_range[1], here[1])
                slack = RELATIVE_SLACK * max(here[1], vertex_range[1])
                if lo > hi + slack:
                    self._error(frame.line, "frame %d: vertex rate %s Vertex/sec times frame "
                                "time %s s gives %.9g..%.9g vertices, but frames %d..%d gave "
                                "%.9g..%.9g: the vertices per frame are not constant"
                                % (i, r.text, t.text, here[0], here[1], vertex_from, i - 1,
                                   vertex_range[0], vertex_range[1]))
                    continue
                vertex_range = (lo, max(lo, hi))
        if not shardfall and vertex_range is not None:
            self.vertex_range = vertex_range
            middle = (vertex_range[0] + vertex_range[1]) / 2
            nearest = round(middle)
            if vertex_range[0] - 1e-9 <= nearest <= vertex_range[1] + 1e-9:
                self.vertices_per_frame = float(nearest)
            else:
                self.vertices_per_frame = middle

    # recomputed values ---------------------------------------------------------
    def _recompute(self):
        usable = [f for f in self.frames if _is_time(f.frame_time.value)]
        times = [f.frame_time.value for f in usable]
        self.frame_count = len(self.frames)
        self.total_time = safe_sum(times)
        self.total_lo = safe_sum(f.frame_time.value - f.frame_time.bound for f in usable)
        self.total_hi = safe_sum(f.frame_time.value + f.frame_time.bound for f in usable)
        n = self.frame_count
        self.average_angle_rate = ieee_divide(n, self.total_time)
        if self.program is L.SHARDFALL:
            self.quantity_sum = sum(f.quantity for f in self.frames)
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
        if self.program is L.SHARDFALL:
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
            ok = _agrees(number, expected)
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
        return [f.quantity_rate.value for f in self.frames
                if math.isfinite(f.quantity_rate.value)]

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
