"""A run's report: the console table with its context header, frames.csv and summary.json."""

import csv
import json
import math
import statistics

from . import layout as L
from .windowcheck import json_number

HEADLINE_RULE = ("sum over the windows of each window's total workload (triangles or vertices "
                 "of all its reported frames) / its total running time; windows without "
                 "frames add nothing")
SLOWEST_RULE = ("lowest average workload rate (triangles/s or vertices/s, recomputed from its "
                "frames); a tie goes to the larger total running time; windows without frames "
                "are left out")


def g(value, digits=6):
    if value is None:
        return "-"
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    return "%.*g" % (digits, value)


def percentile(ordered, fraction):
    """Nearest-rank percentile of a sorted list (None for an empty one)."""
    if not ordered:
        return None
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def frame_time_stats(times):
    ordered = sorted(t for t in times if t >= 0)
    return {"min": ordered[0] if ordered else None,
            "median": statistics.median(ordered) if ordered else None,
            "p95": percentile(ordered, 0.95),
            "max": ordered[-1] if ordered else None}


def group_totals(reports):
    """Frames, total time, summed workload rate and frame-time statistics of some windows."""
    counted = [r for r in reports if r.frame_count and math.isfinite(r.average_quantity_rate)]
    rates = [r.average_quantity_rate for r in counted]
    return {
        "windows": len(reports),
        "frames": sum(r.frame_count for r in reports),
        "total_time_s": math.fsum(r.total_time for r in reports),
        "quantity_rate": math.fsum(rates) if rates else math.nan,
        "frame_time_s": frame_time_stats(f.frame_time.value for r in reports for f in r.frames),
    }


# ---------------------------------------------------------------- context

def _gib(n):
    return "%.1f GiB" % (n / 2 ** 30) if isinstance(n, (int, float)) else None


def _load(values):
    if isinstance(values, (list, tuple)) and values:
        return "%.2f" % values[0]
    return None


def context_lines(run):
    """A few lines saying where and how the run was made; only what is known."""
    c = run.context
    lines = []
    status = c.get("status")
    head = "%s, %d window(s), %s" % (run.program.display_name, len(run.reports) +
                                     len(run.absent), run.label)
    if status:
        head += ", status %s" % status
        if status != "ok" and c.get("error"):
            head += " (%s)" % c["error"]
    lines.append(head)
    machine = [c.get("host"), c.get("cpu_model"),
               "%d cores" % c["cores"] if isinstance(c.get("cores"), int) else None,
               _gib(c.get("memory_bytes"))]
    load_start, load_end = _load(c.get("load_start")), _load(c.get("load_end"))
    if load_start or load_end:
        machine.append("load %s -> %s" % (load_start or "?", load_end or "?"))
    gl = " ".join(x for x in (c.get("gl_renderer"), c.get("gl_version") and
                              "GL %s" % c["gl_version"]) if x)
    mpi = " ".join(x for x in (c.get("mpi_library"), c.get("mpi_version")) if x)
    screen = c.get("screen") or {}
    size = None
    if screen.get("width") and screen.get("height"):
        size = "screen %sx%s" % (screen["width"], screen["height"])
        if screen.get("depth"):
            size += "x%s" % screen["depth"]
    rev = c.get("git_revision") and "git %s" % str(c["git_revision"])[:12]
    setup = [x for x in (gl, mpi, size, rev) if x]
    machine = [x for x in machine if x]
    if machine:
        lines.append("  " + ", ".join(machine))
    if setup:
        lines.append("  " + ", ".join(setup))
    if not c:
        lines.append("  (no run.json: machine and set-up unknown)")
    return lines


def subtitle(run):
    """One line of context for plot subtitles."""
    label = run.label
    if run.context.get("status"):
        label += ", status %s" % run.context["status"]
    return "; ".join([label] + [line.strip() for line in context_lines(run)[1:]
                                if "no run.json" not in line])


# ---------------------------------------------------------------- table

def _row(label, host, totals, state, init="", angles=None):
    st = totals["frame_time_s"]
    return [label, host, init if init == "" else g(init), str(totals["frames"]),
            g(totals["total_time_s"]),
            g(angles) if angles is not None else "", g(totals["quantity_rate"]),
            g(st["min"]), g(st["median"]), g(st["p95"]), g(st["max"]), state]


def format_table(run):
    program = run.program
    head = ["window", "host", "init s", "frames", "total s", "angles/s", program.quantity_unit,
            "min s", "median s", "p95 s", "max s", "state"]
    rows = []
    for r in run.reports:
        totals = group_totals([r])
        totals["quantity_rate"] = r.average_quantity_rate
        rows.append(_row(str(r.window) if r.window is not None else "?", r.host or "?",
                         totals, r.state, r.file.init_time.value if r.file.init_time else None,
                         r.average_angle_rate))
    for a in run.absent:
        rows.append([str(a["window"]), "?", "-", "-", "-", "", "-", "-", "-", "-", "-",
                     a["state"].upper()])
    rows.sort(key=lambda row: int(row[0]) if row[0].isdigit() else 1 << 30)
    totals = []
    hosts = run.hosts()
    if len(hosts) > 1:
        for host, reports in hosts.items():
            totals.append(_row("host", host, group_totals(reports), ""))
    totals.append(_row("total", "", group_totals(run.reports), ""))
    widths = [max(len(head[i]), *(len(row[i]) for row in rows + totals))
              for i in range(len(head))]

    def text(row):
        cells = [c.ljust(w) if i in (1, len(row) - 1) else c.rjust(w)
                 for i, (c, w) in enumerate(zip(row, widths))]
        return "  ".join(cells).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([text(head), rule] + [text(r) for r in rows] + [rule] +
                     [text(r) for r in totals])


def headline_lines(run):
    lines = ["headline: %s %s (workload rate summed over %d window(s) with frames)"
             % (g(run.headline), run.program.quantity_unit, len(run.counted()))]
    slowest = run.slowest
    if slowest is not None:
        lines.append("slowest window: %d (%s %s, lowest workload rate)"
                     % (slowest.window, g(slowest.average_quantity_rate),
                        run.program.quantity_unit))
    return lines


# ---------------------------------------------------------------- files

def write_frames_csv(run, path):
    with open(path, "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["window", "host", "frame", "frame_time_s", "angle_rate", "quantity",
                      "quantity_rate"])
        for r in run.reports:
            for i, frame in enumerate(r.frames, 1):
                if r.program is L.SHARDFALL:
                    quantity = str(frame.quantity)
                elif r.vertices_per_frame is None:
                    quantity = ""
                else:
                    quantity = "%.10g" % r.vertices_per_frame
                out.writerow([r.window, r.host, i, frame.frame_time.text, frame.angle_rate.text,
                              quantity, frame.quantity_rate.text])


def _totals_json(totals):
    return {"windows": totals["windows"], "frames": totals["frames"],
            "total_time_s": json_number(totals["total_time_s"]),
            "quantity_rate": json_number(totals["quantity_rate"]),
            "frame_time_s": {k: json_number(v) for k, v in totals["frame_time_s"].items()}}


def summary_data(run):
    program = run.program
    slowest = run.slowest
    return {
        "program": program.name,
        "run": run.label,
        "quantity": program.quantity,
        "quantity_rate_unit": program.quantity_unit,
        "context": run.context,
        "check": "each printed number is taken as its value +/- half a unit in the sixth "
                 "significant digit; totals and averages are recomputed from the frames "
                 "with these bounds and must overlap the printed summary",
        "windows": [r.as_json() for r in run.reports],
        "absent_windows": run.absent,
        "across_windows": {
            "windows": len(run.reports) + len(run.absent),
            "frames": sum(r.frame_count for r in run.reports),
            "headline_rate": json_number(run.headline),
            "headline_rule": HEADLINE_RULE,
            "slowest_window": slowest.window if slowest else None,
            "slowest_window_rule": SLOWEST_RULE,
            "not_ok": [r.window for r in run.reports if r.state != "ok"] +
                      [a["window"] for a in run.absent],
        },
        "hosts": {host: _totals_json(group_totals(reports))
                  for host, reports in run.hosts().items()},
        "notes": run.notes,
    }


def write_summary_json(run, path):
    with open(path, "w") as f:
        json.dump(summary_data(run), f, indent=2)
        f.write("\n")
