"""bench-report: frames, summaries, checks and plots from results files.

Outputs (in the run folder or --out)
------------------------------------
frames.csv     one row per frame: window, frame, frame_time_s, angle_rate
               (1/s), quantity (triangles or vertices per frame), quantity_rate
               (triangles/s or vertices/s); values as the results file prints them
summary.json   per window: initialisation time, frames, total time, the file's
               averages, the recomputed ones, whether they agree, frame time
               min/median/p95/max, notes and errors; across windows: the
               slowest window and the summed rates. JSON has no nan or infinity:
               they are written as the strings "nan", "inf" and "-inf".
frame_time.png and triangle_rate.png (Shardfall) or vertex_rate.png
               (Latticeglow), 800x500 pixels.

Exit status: 0 when every file is well formed and agrees with itself (a file
cut short is accepted; its missing summary is reported); 1 when a file is
rejected (nothing is written then) or a summary or frame disagrees; 2 for a
bad command line, no results files, or files of both programs together.

How the file's summary is checked against its frames
----------------------------------------------------
Every number in a results file is printed with six significant digits, so a
printed value v stands for any value within half a unit of its sixth digit:
v +/- 0.5 * 10**(e - 5), e being v's decimal exponent. The tool carries these
bounds through the arithmetic as intervals: the total running time lies
between the sum of the frame times' lower bounds and the sum of their upper
bounds (so the allowed difference grows with the number of frames), an
average lies between the quotients of those bounds, and so on. A printed
value agrees when its own interval overlaps the recomputed one (plus a
relative 1e-9 for the floating point arithmetic). The same check is applied
to every frame's angle rate and triangle or vertex rate. Latticeglow does not
print its vertices per frame; they follow from each frame's vertex rate times
its frame time, and all frames have to agree on one count.

Console table
-------------
One row per window and a total row: frames, total running time and average
rates summed over the windows, frame-time statistics over all their frames.
The frame-time percentile p95 is the nearest-rank one.

Slowest window
--------------
The window with the lowest average angle rate (frames per second of drawing,
recomputed from its frames); a tie goes to the window with the larger total
running time. Windows without frames are left out.
"""

import argparse
import csv
import glob
import json
import math
import os
import statistics
import sys

from . import results as R

PLOT_WIDTH = 800   # pixels
PLOT_HEIGHT = 500  # pixels
PLOT_DPI = 100
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


def _ieee_div(a, b):
    if b == 0:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a)
    return a / b


def _describe(expected):
    if len(expected) == 1:
        return expected[0]
    lo, hi = expected
    return "%.9g .. %.9g" % (lo, hi)


# ---------------------------------------------------------------- analysis

class WindowReport:
    """One results file with everything recomputed from its frames."""

    def __init__(self, rf):
        self.file = rf
        self.program = rf.program
        self.errors = []
        self.frames = rf.frames
        self.vertices_per_frame = None
        self.vertex_range = None
        self._check_frames()
        self._recompute()
        self._check_summary()

    # frames -------------------------------------------------------------
    def _error(self, line, message):
        self.errors.append("%s:%d: %s" % (self.file.path, line, message))

    def _check_frames(self):
        shardfall = self.program is R.SHARDFALL
        vertex_range = None
        vertex_from = None
        for i, frame in enumerate(self.frames, 1):
            t = frame.frame_time
            if t.value < 0 or math.isnan(t.value):
                self._error(frame.line, "frame %d has an impossible frame time %s"
                            % (i, t.text))
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
        usable = [f for f in self.frames if f.frame_time.value >= 0]
        times = [f.frame_time.value for f in usable]
        self.frame_count = len(self.frames)
        self.total_time = math.fsum(times)
        self.total_lo = math.fsum(f.frame_time.value - f.frame_time.bound for f in usable)
        self.total_hi = math.fsum(f.frame_time.value + f.frame_time.bound for f in usable)
        n = self.frame_count
        self.average_angle_rate = _ieee_div(n, self.total_time)
        if self.program is R.SHARDFALL:
            self.quantity_sum = sum(f.quantity for f in self.frames)
            self.average_quantity_rate = _ieee_div(self.quantity_sum, self.total_time)
        else:
            if self.vertices_per_frame is not None:
                self.quantity_sum = self.vertices_per_frame * n
            elif n == 0:
                self.quantity_sum = 0.0
            else:
                self.quantity_sum = math.nan  # cannot be told from the frames
            self.average_quantity_rate = _ieee_div(self.quantity_sum, self.total_time)
        ordered = sorted(times)
        if ordered:
            self.time_stats = {
                "min": ordered[0],
                "median": statistics.median(ordered),
                "p95": ordered[max(0, math.ceil(0.95 * len(ordered)) - 1)],
                "max": ordered[-1],
            }
        else:
            self.time_stats = {"min": None, "median": None, "p95": None, "max": None}

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
        if self.program is R.SHARDFALL:
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

    def as_json(self):
        s = self.file.summary
        file_summary = None
        if s is not None:
            file_summary = {
                "total_time_s": _json_number(s.total_time.value),
                "average_angle_rate": _json_number(s.average_angle_rate.value),
                "average_quantity_rate": _json_number(s.average_quantity_rate.value),
            }
        recomputed = {
            "total_time_s": _json_number(self.total_time),
            "average_angle_rate": _json_number(self.average_angle_rate),
            "average_quantity_rate": _json_number(self.average_quantity_rate),
        }
        if self.program is R.LATTICEGLOW:
            # Only known to the precision of the printed rates and times: the bounds say how
            # far it can be trusted.
            recomputed["vertices_per_frame"] = _json_number(self.vertices_per_frame)
            recomputed["vertices_per_frame_bounds"] = (
                None if self.vertex_range is None else list(self.vertex_range))
        return {
            "window": self.file.window,
            "file": self.file.name,
            "processor": self.file.processor,
            "initialisation_time_s": _json_number(
                self.file.init_time.value if self.file.init_time else None),
            "frames": self.frame_count,
            "total_time_s": _json_number(self.total_time),
            "summary": self.summary_state,
            "file_averages": file_summary,
            "recomputed_averages": recomputed,
            "agreement": self.agreement,
            "frame_time_s": {k: _json_number(v) for k, v in self.time_stats.items()},
            "notes": list(self.file.notes),
            "errors": list(self.errors),
        }


def _json_number(value):
    """JSON has no nan or infinity: those are written as the strings "nan", "inf", "-inf"."""
    if value is None:
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    return value


def slowest_window(reports):
    candidates = [r for r in reports if r.frame_count > 0 and not math.isnan(r.average_angle_rate)]
    if not candidates:
        return None
    return min(candidates, key=lambda r: (r.average_angle_rate, -r.total_time))


def _finite_sum(values):
    values = [v for v in values if not math.isnan(v)]
    return math.fsum(values) if values else math.nan


def across_windows(reports):
    slowest = slowest_window(reports)
    return {
        "windows": len(reports),
        "frames": sum(r.frame_count for r in reports),
        "slowest_window": slowest.file.window if slowest else None,
        "slowest_window_rule": "lowest recomputed average angle rate (frames per second of "
                               "drawing); a tie goes to the larger total running time; "
                               "windows without frames are left out",
        "sum_average_angle_rate": _json_number(_finite_sum(
            r.average_angle_rate for r in reports if r.frame_count)),
        "sum_average_quantity_rate": _json_number(_finite_sum(
            r.average_quantity_rate for r in reports if r.frame_count)),
    }


# ---------------------------------------------------------------- outputs

def write_frames_csv(reports, path):
    with open(path, "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["window", "frame", "frame_time_s", "angle_rate", "quantity",
                      "quantity_rate"])
        for r in reports:
            for i, frame in enumerate(r.frames, 1):
                if r.program is R.SHARDFALL:
                    quantity = str(frame.quantity)
                elif r.vertices_per_frame is None:
                    quantity = ""
                else:
                    quantity = "%.10g" % r.vertices_per_frame
                out.writerow([r.file.window, i, frame.frame_time.text, frame.angle_rate.text,
                              quantity, frame.quantity_rate.text])


def write_summary_json(reports, path):
    program = reports[0].program
    data = {
        "program": program.name,
        "quantity": program.quantity,
        "quantity_rate_unit": program.quantity_unit,
        "check": "each printed number is taken as its value +/- half a unit in the sixth "
                 "significant digit; totals and averages are recomputed from the frames "
                 "with these bounds and must overlap the printed summary",
        "windows": [r.as_json() for r in reports],
        "across_windows": across_windows(reports),
    }
    with open(path, "w") as f:
        json.dump(data, f, indent=2)
        f.write("\n")


def _g(value, digits=6):
    if value is None:
        return "-"
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    return "%.*g" % (digits, value)


def format_table(reports):
    program = reports[0].program
    rate_head = "triangles/s" if program is R.SHARDFALL else "vertices/s"
    head = ["window", "init s", "frames", "total s", "angles/s", rate_head,
            "min s", "median s", "p95 s", "max s", "summary"]
    rows = []
    for r in reports:
        st = r.time_stats
        rows.append([str(r.file.window) if r.file.window is not None else "?",
                     _g(r.file.init_time.value if r.file.init_time else None),
                     str(r.frame_count), _g(r.total_time), _g(r.average_angle_rate),
                     _g(r.average_quantity_rate), _g(st["min"]), _g(st["median"]),
                     _g(st["p95"]), _g(st["max"]), r.summary_state])
    every = sorted(f.frame_time.value for r in reports for f in r.frames
                   if f.frame_time.value >= 0)
    with_frames = [r for r in reports if r.frame_count]
    rows.append(["total", "", str(sum(r.frame_count for r in reports)),
                 _g(math.fsum(r.total_time for r in reports)),
                 _g(_finite_sum(r.average_angle_rate for r in with_frames)),
                 _g(_finite_sum(r.average_quantity_rate for r in with_frames)),
                 _g(every[0] if every else None),
                 _g(statistics.median(every) if every else None),
                 _g(every[max(0, math.ceil(0.95 * len(every)) - 1)] if every else None),
                 _g(every[-1] if every else None), ""])
    widths = [max(len(head[i]), *(len(row[i]) for row in rows)) for i in range(len(head))]
    lines = ["  ".join(h.rjust(w) for h, w in zip(head, widths)).rstrip()]
    lines.append("  ".join("-" * w for w in widths))
    for row in rows[:-1]:
        lines.append("  ".join(c.rjust(w) for c, w in zip(row, widths)).rstrip())
    lines.append("  ".join("-" * w for w in widths))
    lines.append("  ".join(c.rjust(w) for c, w in zip(rows[-1], widths)).rstrip())
    return "\n".join(lines)


def write_plots(reports, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt
    from matplotlib.ticker import MaxNLocator

    program = reports[0].program
    size = (PLOT_WIDTH / PLOT_DPI, PLOT_HEIGHT / PLOT_DPI)
    written = []

    def finite(pairs):
        return [(x, y) for x, y in pairs if math.isfinite(x) and math.isfinite(y)]

    def finish(fig, ax, name, empty):
        if empty:
            ax.text(0.5, 0.5, "no frames", transform=ax.transAxes, ha="center", va="center")
        else:
            ax.legend(loc="best")
        ax.grid(True, alpha=0.3)
        path = os.path.join(out_dir, name)
        fig.savefig(path, dpi=PLOT_DPI)
        plt.close(fig)
        written.append(path)

    def per_window(ax, points_of, scatter=False):
        """Draws one series per window; returns whether nothing was drawn."""
        empty = True
        for r in reports:
            points = finite(points_of(r))
            if points:
                empty = False
                xs, ys = zip(*points)
                label = "window %d" % r.file.window
                if scatter:
                    ax.scatter(xs, ys, s=12, label=label)
                else:
                    ax.plot(xs, ys, marker="o", markersize=3, label=label)
        return empty

    # Frame time per frame, one line per window.
    fig, ax = plt.subplots(figsize=size)
    empty = per_window(ax, lambda r: ((i, f.frame_time.value) for i, f in enumerate(r.frames, 1)))
    ax.set_title("%s: frame time per frame" % program.display_name)
    ax.set_xlabel("frame number")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_ylabel("frame time (s)")
    finish(fig, ax, "frame_time.png", empty)

    fig, ax = plt.subplots(figsize=size)
    if program is R.SHARDFALL:
        empty = per_window(ax, lambda r: ((float(f.quantity), f.quantity_rate.value)
                                          for f in r.frames), scatter=True)
        ax.set_title("Shardfall: triangle rate against triangles per frame")
        ax.set_xlabel("triangles per frame")
        ax.set_ylabel("triangle rate (triangles/s)")
        finish(fig, ax, "triangle_rate.png", empty)
    else:
        empty = per_window(ax, lambda r: ((i, f.quantity_rate.value)
                                          for i, f in enumerate(r.frames, 1)))
        ax.set_title("Latticeglow: vertex rate per frame")
        ax.set_xlabel("frame number")
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_ylabel("vertex rate (vertices/s)")
        finish(fig, ax, "vertex_rate.png", empty)
    return written


# ---------------------------------------------------------------- command line

class UsageError(Exception):
    pass


def collect_files(paths):
    """The results files named by the arguments (folders are searched for results_*.txt)."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = sorted(glob.glob(os.path.join(glob.escape(path), "results_*.txt")))
            if not found:
                raise UsageError("no results files (results_*.txt) in %s" % path)
            files.extend(found)
        elif os.path.isfile(path):
            files.append(path)
        else:
            raise UsageError("no such file or folder: %s" % path)
    return files


def output_folder(paths, files, out):
    if out:
        return out
    if len(paths) == 1 and os.path.isdir(paths[0]):
        return paths[0]
    folders = {os.path.dirname(os.path.abspath(f)) for f in files}
    if len(folders) == 1:
        return folders.pop()
    raise UsageError("the results files are in several folders: say where to write with --out")


def build_parser():
    p = argparse.ArgumentParser(
        prog="bench-report",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Summarise the results files of a Shardfall or Latticeglow run: "
                    "frames.csv, summary.json and PNG plots, a table on the console, and a "
                    "check of each file's summary against its frames.",
        epilog=__doc__.split("\n", 2)[2])
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="a run folder (all results_*.txt in it) or results files")
    p.add_argument("--out", metavar="DIR",
                   help="where to write frames.csv, summary.json and the plots "
                        "(default: the run folder)")
    p.add_argument("--no-plots", action="store_true", help="do not draw the PNG plots")
    return p


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        files = collect_files(args.paths)
        out_dir = output_folder(args.paths, files, args.out)
    except UsageError as e:
        print("bench-report: %s" % e, file=sys.stderr)
        return 2

    parsed, failures = [], []
    for path in files:
        try:
            parsed.append(R.parse_results_file(path))
        except R.ParseError as e:
            failures.append(str(e))
        except OSError as e:
            failures.append("%s: %s" % (path, e.strerror or e))
    if failures:
        for message in failures:
            print("bench-report: error: %s" % message, file=sys.stderr)
        print("bench-report: %d of %d file(s) rejected; nothing written"
              % (len(failures), len(files)), file=sys.stderr)
        return 1

    programs = {rf.program.name for rf in parsed}
    if len(programs) > 1:
        print("bench-report: the files come from both programs (%s); report them separately"
              % ", ".join(sorted(programs)), file=sys.stderr)
        return 2
    by_window = {}
    for rf in parsed:
        if rf.window is not None and rf.window in by_window:
            print("bench-report: two files for window %d: %s and %s (give the files of one "
                  "run)" % (rf.window, by_window[rf.window].path, rf.path), file=sys.stderr)
            return 2
        by_window[rf.window] = rf
    parsed.sort(key=lambda rf: (rf.window is None, rf.window or 0, rf.path))

    reports = [WindowReport(rf) for rf in parsed]
    os.makedirs(out_dir, exist_ok=True)
    write_frames_csv(reports, os.path.join(out_dir, "frames.csv"))
    write_summary_json(reports, os.path.join(out_dir, "summary.json"))
    plots = [] if args.no_plots else write_plots(reports, out_dir)

    print("%s, %d window(s)" % (reports[0].program.display_name, len(reports)))
    print(format_table(reports))
    slowest = slowest_window(reports)
    if slowest is not None:
        print("slowest window: %d (lowest average angle rate)" % slowest.file.window)
    for r in reports:
        name_window = r.program.results_window(r.file.name)
        if name_window is not None and r.file.window is not None and name_window != r.file.window:
            print("bench-report: warning: %s: the name says window %d, the file says window %d"
                  % (r.file.path, name_window, r.file.window), file=sys.stderr)
        for note in r.file.notes:
            print("bench-report: note: %s: %s" % (r.file.path, note), file=sys.stderr)
    print("written: %s" % ", ".join(
        os.path.join(out_dir, n) for n in ["frames.csv", "summary.json"] +
        [os.path.basename(p) for p in plots]))
    errors = [e for r in reports for e in r.errors]
    for e in errors:
        print("bench-report: error: %s" % e, file=sys.stderr)
    return 1 if errors else 0
