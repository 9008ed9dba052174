"""PNG plots of a run and of two runs compared (matplotlib, drawn without a display); each
plot drawn once can also be kept as SVG text, for report.html.

Up to SERIES_LIMIT windows each window is a series of its own. Beyond that a series a
window would be unreadable, so the plots show distributions: the frame time of each frame
number as the median and the 5-95 % band over the windows, and the windows' workload rates
as a box per host (or a histogram when the hosts are one or very many).
"""

import os
import textwrap

import numpy as np

from ..results import layout as L
from ..results.texts import for_plot
from .output import write_in
from .svg import svg_text
from .table import subtitle

PLOT_WIDTH = 800   # pixels
PLOT_HEIGHT = 500  # pixels
PLOT_DPI = 100
SERIES_LIMIT = 24  # windows drawn one by one; more are drawn as distributions
BOX_LIMIT = 40     # hosts drawn as boxes side by side


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt
    return plt


def _figure(plt, title, context):
    fig, ax = plt.subplots(figsize=(PLOT_WIDTH / PLOT_DPI, PLOT_HEIGHT / PLOT_DPI),
                           layout="constrained")
    fig.suptitle(for_plot(title), fontsize=12)
    ax.set_title(for_plot("\n".join(textwrap.fill(line, 140) for line in context.split("\n"))),
                 fontsize=7)
    return fig, ax


def _save(plt, fig, ax, path, empty, legend=True, svg=None):
    """Finishes the plot and writes it as a PNG file at path; with svg (a dict), also puts
    its SVG text there under the file's name."""
    if empty:
        ax.text(0.5, 0.5, "no frames", transform=ax.transAxes, ha="center", va="center")
    elif legend:
        ax.legend(loc="best", fontsize=8)
    ax.grid(True, alpha=0.3)
    try:
        write_in(os.path.dirname(path), "the plot %s" % os.path.basename(path), path,
                 lambda f: fig.savefig(f, format="png", dpi=PLOT_DPI), binary=True)
        if svg is not None:
            svg[os.path.basename(path)] = svg_text(fig, os.path.basename(path))
    finally:
        plt.close(fig)
    return path


def _finite(xs, ys):
    keep = np.isfinite(xs) & np.isfinite(ys)
    return xs[keep], ys[keep]


def _frame_numbers(r):
    return np.arange(1, r.frame_count + 1, dtype=float)


def write_plots(run, out_dir, svg=None):
    """frame_time.png, and triangle_rate.png or vertex_rate.png; returns their paths. With
    svg (a dict), each plot's SVG text goes there too, under its file name."""
    plt = _pyplot()
    from matplotlib.ticker import MaxNLocator
    program = run.program
    context = subtitle(run)
    series = len(run.reports) <= SERIES_LIMIT
    written = []

    fig, ax = _figure(plt, "%s: frame time per frame" % program.display_name, context)
    if series:
        empty = _per_window(ax, run, lambda r: (_frame_numbers(r), r.times))
    else:
        empty = _time_band(ax, run)
    ax.set_xlabel("frame number")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_ylabel("frame time (s)")
    written.append(_save(plt, fig, ax, os.path.join(out_dir, "frame_time.png"), empty,
                         svg=svg))

    shardfall = program is L.SHARDFALL
    name = "triangle_rate.png" if shardfall else "vertex_rate.png"
    if series and shardfall:
        fig, ax = _figure(plt, "Shardfall: triangle rate against triangles per frame", context)
        empty = _per_window(ax, run, lambda r: (r.quantities.astype(float), r.frame_rates),
                            scatter=True)
        ax.set_xlabel("triangles per frame")
        ax.set_ylabel("triangle rate (triangles/s)")
    elif series:
        fig, ax = _figure(plt, "Latticeglow: vertex rate per frame", context)
        empty = _per_window(ax, run, lambda r: (_frame_numbers(r), r.frame_rates))
        ax.set_xlabel("frame number")
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_ylabel("vertex rate (vertices/s)")
    else:
        fig, ax = _figure(plt, "%s: workload rate of each of %d windows"
                          % (program.display_name, len(run.reports)), context)
        empty = _window_rates(ax, run)
    written.append(_save(plt, fig, ax, os.path.join(out_dir, name), empty, legend=series,
                         svg=svg))
    return written


def _per_window(ax, run, points_of, scatter=False):
    empty = True
    for r in run.reports:
        xs, ys = _finite(*points_of(r))
        if len(xs):
            empty = False
            label = for_plot("window %s (%s)" % (r.window, r.host))
            if scatter:
                ax.scatter(xs, ys, s=12, label=label)
            else:
                ax.plot(xs, ys, marker="o", markersize=3, label=label)
    return empty


def _time_band(ax, run):
    """The frame time of each frame number: median and 5-95 % band over the windows."""
    longest = max((r.frame_count for r in run.reports), default=0)
    if not longest:
        return True
    table = np.full((len(run.reports), longest), np.nan)
    for row, r in zip(table, run.reports):
        row[:r.frame_count] = np.where(np.isfinite(r.times), r.times, np.nan)
    counted = np.isfinite(table).any(axis=0)
    if not counted.any():
        return True
    frames = np.arange(1, longest + 1)[counted]
    low, median, high = np.nanpercentile(table[:, counted], [5, 50, 95], axis=0)
    ax.fill_between(frames, low, high, alpha=0.3, label="5-95 % of the windows")
    ax.plot(frames, median, label="median over the windows")
    return False


def _window_rates(ax, run):
    """Each window's workload rate: a box per host, or one histogram."""
    unit = run.program.quantity_unit
    by_host = {host: [r.average_quantity_rate for r in reports
                      if r.frame_count and np.isfinite(r.average_quantity_rate)]
               for host, reports in run.hosts().items()}
    by_host = {h: rates for h, rates in by_host.items() if rates}
    if not by_host:
        return True
    if 1 < len(by_host) <= BOX_LIMIT:
        ax.boxplot(list(by_host.values()), showfliers=True)
        ax.set_xticks(range(1, len(by_host) + 1))
        ax.set_xticklabels([for_plot(h) for h in by_host], rotation=90 if len(by_host) > 8 else 0, fontsize=7)
        ax.set_xlabel("host")
        ax.set_ylabel("%s of a window" % unit)
    else:
        ax.hist(np.concatenate([np.asarray(v) for v in by_host.values()]), bins=50)
        ax.set_xlabel("%s of a window" % unit)
        ax.set_ylabel("windows")
    return False


def write_comparison_plot(comparison, path, svg=None):
    """Per-frame workload rates of each window, run A beside run B, as box plots; beyond
    SERIES_LIMIT windows the windows' workload rates of A beside B. With svg (a dict), its
    SVG text goes there too, under the file's name."""
    plt = _pyplot()
    a, b = comparison.run_a, comparison.run_b
    title = "%s: %s per frame, A against B" % (a.program.display_name, a.program.quantity_unit)
    fig, ax = _figure(plt, title, "A: %s\nB: %s" % (subtitle(a), subtitle(b)))
    if len(comparison.windows) > SERIES_LIMIT:
        groups = [("A", [r.average_quantity_rate for r in a.counted()]),
                  ("B", [r.average_quantity_rate for r in b.counted()])]
        groups = [(tag, rates) for tag, rates in groups if rates]
        if groups:
            ax.boxplot([rates for _tag, rates in groups], widths=0.5)
            ax.set_xticks(range(1, len(groups) + 1))
            ax.set_xticklabels(["%s (%d windows)" % (tag, len(rates)) for tag, rates in groups])
        ax.set_ylabel("%s of a window" % a.program.quantity_unit)
        return _save(plt, fig, ax, path, not groups, legend=False, svg=svg)
    positions, data, colours, ticks, labels = [], [], [], [], []
    for i, row in enumerate(comparison.windows):
        for offset, rates, colour in ((-0.2, row.rates_a, "tab:blue"),
                                      (0.2, row.rates_b, "tab:orange")):
            if len(rates):
                positions.append(i + offset)
                data.append(rates)
                colours.append(colour)
        ticks.append(i)
        mark = " *" if row.significant else ""
        labels.append("w%s%s" % (row.window, mark))
    empty = not data
    if data:
        boxes = ax.boxplot(data, positions=positions, widths=0.35, patch_artist=True,
                           showfliers=True)
        for patch, colour in zip(boxes["boxes"], colours):
            patch.set_facecolor(colour)
            patch.set_alpha(0.6)
        ax.set_xticks(ticks)
        ax.set_xticklabels(labels)
        from matplotlib.patches import Patch
        ax.legend(handles=[Patch(color="tab:blue", alpha=0.6, label="A"),
                           Patch(color="tab:orange", alpha=0.6, label="B")], fontsize=8)
    ax.set_xlabel("window (* : a significant change, p < %g, by the window's test in the "
                  "comparison's table)" % comparison.alpha)
    ax.set_ylabel("%s per frame" % a.program.quantity_unit)
    return _save(plt, fig, ax, path, empty, legend=False, svg=svg)
