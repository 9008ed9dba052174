"""A run's report in files: frames.csv (one row per frame) and summary.json."""

import csv
import math

from ..results import layout as L
from ..results.numbers import frame_time_stats, json_number, safe_sum

HEADLINE_RULE = ("sum over the windows of each window's total workload (triangles or vertices "
                 "of all its reported frames) / its total running time; windows without "
                 "frames add nothing")
SLOWEST_RULE = ("lowest average workload rate (triangles/s or vertices/s, recomputed from its "
                "frames); a tie goes to the larger total running time; windows without frames "
                "are left out")


def group_totals(reports):
    """Frames, total time, summed workload rate and frame-time statistics of some windows."""
    counted = [r for r in reports if r.frame_count and math.isfinite(r.average_quantity_rate)]
    rates = [r.average_quantity_rate for r in counted]
    return {
        "windows": len(reports),
        "frames": sum(r.frame_count for r in reports),
        "total_time_s": safe_sum(r.total_time for r in reports),
        "quantity_rate": safe_sum(rates) if rates else math.nan,
        "frame_time_s": frame_time_stats(f.frame_time.value for r in reports for f in r.frames),
    }


def write_frames_csv(run, f):
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
