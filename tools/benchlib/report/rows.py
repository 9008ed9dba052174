"""The table of a run's windows and hosts as rows of values: one model for the console's
table and for report.html, so a column is named in one place.

A row is a window, a display of a host (its windows' totals, where a host's windows went to
more than one display), a host (its windows' totals) or the run's total; its values are
numbers (or None when unknown, BLANK where the row has no such figure) and texts, keyed by
column. The display column is there only when a host's windows used more than one display."""

from dataclasses import dataclass

from .summary import group_totals

BLANK = ""  # a figure that does not apply to the row (a host's initialisation time)


@dataclass(frozen=True)
class Column:
    key: str
    short: str    # the console's heading
    words: str    # the page's heading, in words with its unit
    numeric: bool = True


def columns(program, displays=False):
    unit = program.quantity_unit  # triangles/s or vertices/s
    return [
        Column("window", "window", "Window"),
        Column("host", "host", "Host", numeric=False),
    ] + ([Column("display", "display", "Display", numeric=False)] if displays else []) + [
        Column("init_s", "init s", "Initialisation (s)"),
        Column("frames", "frames", "Frames"),
        Column("total_s", "total s", "Running time (s)"),
        Column("angle_rate", "angles/s", "Angle steps per second"),
        Column("quantity_rate", unit, "%s per second" % program.quantity.capitalize()),
        Column("min_s", "min s", "Fastest frame (s)"),
        Column("median_s", "median s", "Median frame (s)"),
        Column("p95_s", "p95 s", "95th percentile frame (s)"),
        Column("max_s", "max s", "Slowest frame (s)"),
        Column("state", "state", "State", numeric=False),
    ]


@dataclass
class Row:
    kind: str      # "window", "display", "host" or "total"
    values: dict   # column key -> value

    def cells(self, cols):
        return [self.values.get(c.key, BLANK) for c in cols]


def _figures(totals):
    st = totals["frame_time_s"]
    return {"frames": totals["frames"], "total_s": totals["total_time_s"],
            "quantity_rate": totals["quantity_rate"], "min_s": st["min"],
            "median_s": st["median"], "p95_s": st["p95"], "max_s": st["max"]}


def _group_row(kind, label, host, reports, display=BLANK):
    values = {"window": label, "host": host, "display": display, "init_s": BLANK,
              "angle_rate": BLANK, "state": BLANK}
    values.update(_figures(group_totals(reports)))
    return Row(kind, values)


def window_rows(run):
    """A row per window, absent windows included, in window order."""
    rows = []
    for r in run.reports:
        totals = group_totals([r])
        totals["quantity_rate"] = r.average_quantity_rate
        values = {"window": r.window if r.window is not None else "?", "host": r.host or "?",
                  "display": run.display_of(r.window),
                  "init_s": r.file.init_time.value if r.file.init_time else None,
                  "angle_rate": r.average_angle_rate, "state": r.state}
        values.update(_figures(totals))
        rows.append(Row("window", values))
    for a in run.absent:
        values = dict.fromkeys(_figures(group_totals([])), None)
        values.update(window=a["window"], host="?", display=run.display_of(a["window"]),
                      init_s=None, angle_rate=BLANK, state=a["state"].upper())
        rows.append(Row("window", values))
    rows.sort(key=lambda row: row.values["window"] if isinstance(row.values["window"], int)
              else 1 << 30)
    return rows


def group_rows(run, with_hosts):
    """The rows of the displays of each host that used more than one, the hosts' rows
    (with_hosts) and the total's."""
    rows = []
    by_display = run.host_displays() if run.several_displays() else {}
    for host, reports in run.hosts().items():
        displays = by_display.get(host, {})
        if len(displays) > 1:
            rows += [_group_row("display", "display", host, shown, display)
                     for display, shown in displays.items()]
        if with_hosts:
            rows.append(_group_row("host", "host", host, reports))
    rows.append(_group_row("total", "total", "", run.reports))
    return rows
