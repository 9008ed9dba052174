"""A run's report on the console: its context, the table of windows and hosts, the headline."""

import math

from ..results.gpus import gpu_driver, gpus_text
from ..results.columns import aligned
from ..results.numbers import g, gib
from . import rows


def number(value):
    """A figure for a person: fixed notation (six significant digits), thousands separators
    where it is large."""
    if value is None:
        return "-"
    if isinstance(value, int) and not isinstance(value, bool):
        return "{:,}".format(value)
    if not isinstance(value, float):
        return str(value)
    if not math.isfinite(value) or 0 < abs(value) < 1e-3:
        return g(value)  # a tiny figure in fixed notation would run to hundreds of digits
    if abs(value) >= 1e5:
        return "{:,.0f}".format(value)
    if value == 0:
        return "0"
    digits = max(0, 5 - math.floor(math.log10(abs(value))))
    text = "{:,.{}f}".format(value, digits)
    return text.rstrip("0").rstrip(".") if "." in text else text


# ---------------------------------------------------------------- context

def _load(values):
    if isinstance(values, (list, tuple)) and values:
        return "%.2f" % values[0]
    return None


def _some(names, shown=3):
    return ", ".join(names[:shown]) + (" and %d more" % (len(names) - shown)
                                       if len(names) > shown else "")


def gpu_lines(context):
    """A line per kind of host GPUs (its GPUs, bus ids and drivers), naming the hosts when
    the run has several."""
    hosts = context.get("hosts") or []
    by_text = {}
    for h in hosts:
        gpus = h.get("gpus")
        if gpus:
            driver = gpu_driver(gpus)
            text = gpus_text(gpus) + ("; driver %s" % driver if driver else "")
            by_text.setdefault((len(gpus), text), []).append(h.get("name", "?"))
    return ["  %s%s: %s" % ("GPU" if count == 1 else "GPUs",
                            " of " + _some(names) if len(hosts) > 1 else "", text)
            for (count, text), names in by_text.items()]


def rendering_lines(context):
    """What the windows were run with: the rendering variables, sync left to the driver
    (--vsync), the wrapper of each window (--wrap)."""
    env = context.get("rendering_env") or {}
    lines = []
    if env or context.get("vsync"):
        lines.append("  rendering: %s%s" % (
            ", ".join("%s=%s" % item for item in sorted(env.items())) or "no variables",
            "; sync to the display left to the driver (--vsync)" if context.get("vsync")
            else ""))
    if context.get("wrap"):
        lines.append("  each window under: %s" % context["wrap"])
    return lines


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
               gib(c["memory_bytes"]) if isinstance(c.get("memory_bytes"), (int, float))
               else None]
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
    lines += gpu_lines(c) + rendering_lines(c)
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

def console_cell(value):
    if value is None:
        return "-"
    if isinstance(value, float):
        return g(value)
    return str(value)


def format_table(run):
    cols = rows.columns(run.program, run.several_displays())
    body = [[console_cell(v) for v in row.cells(cols)] for row in rows.window_rows(run)]
    totals = [[console_cell(v) for v in row.cells(cols)]
              for row in rows.group_rows(run, len(run.hosts()) > 1)]
    return "\n".join(aligned([c.short for c in cols], [body, totals],
                             [c.numeric for c in cols]))


def headline_lines(run, fmt=g):
    lines = ["headline: %s %s (workload rate summed over %d window(s) with frames)"
             % (fmt(run.headline), run.program.quantity_unit, len(run.counted()))]
    slowest = run.slowest
    if slowest is not None:
        lines.append("slowest window: %d (%s %s, lowest workload rate)"
                     % (slowest.window, fmt(slowest.average_quantity_rate),
                        run.program.quantity_unit))
    return lines


def format_percent(value, space=""):
    """A change in per cent: "+1.5%"; a huge one in powers of ten, none (or an endless one,
    against a figure of next to nothing) as "-"."""
    if not isinstance(value, (int, float)) or not math.isfinite(value):
        return "-"
    return ("%+.1f" if abs(value) < 1e6 else "%+.3g") % value + space + "%"
