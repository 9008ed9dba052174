"""PNG plots of a run and of two runs compared (matplotlib, drawn without a display)."""

import math
import os
import textwrap

from ..results import layout as L
from .output import write_in
from .table import subtitle

PLOT_WIDTH = 800   # pixels
PLOT_HEIGHT = 500  # pixels
PLOT_DPI = 100


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt
    return plt


def _finite(pairs):
    return [(x, y) for x, y in pairs if math.isfinite(x) and math.isfinite(y)]


def _figure(plt, title, context):
    fig, ax = plt.subplots(figsize=(PLOT_WIDTH / PLOT_DPI, PLOT_HEIGHT / PLOT_DPI))
    fig.suptitle(title, fontsize=12)
    ax.set_title("\n".join(textwrap.fill(line, 140) for line in context.split("\n")),
                 fontsize=7)
    return fig, ax


def _save(plt, fig, ax, path, empty, legend=True):
    if empty:
        ax.text(0.5, 0.5, "no frames", transform=ax.transAxes, ha="center", va="center")
    elif legend:
        ax.legend(loc="best", fontsize=8)
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    try:
        write_in(os.path.dirname(path), "the plot %s" % os.path.basename(path), path,
                 lambda f: fig.savefig(f, format="png", dpi=PLOT_DPI), binary=True)
    finally:
        plt.close(fig)
    return path


def write_plots(run, out_dir):
    """frame_time.png, and triangle_rate.png or vertex_rate.png; returns their paths."""
    plt = _pyplot()
    from matplotlib.ticker import MaxNLocator
    program = run.program
    context = subtitle(run)

    def per_window(ax, points_of, scatter=False):
        empty = True
        for r in run.reports:
            points = _finite(points_of(r))
            if points:
                empty = False
                xs, ys = zip(*points)
                label = "window %s (%s)" % (r.window, r.host)
                if scatter:
                    ax.scatter(xs, ys, s=12, label=label)
                else:
                    ax.plot(xs, ys, marker="o", markersize=3, label=label)
        return empty

    written = []
    fig, ax = _figure(plt, "%s: frame time per frame" % program.display_name, context)
    empty = per_window(ax, lambda r: ((i, f.frame_time.value) for i, f in enumerate(r.frames, 1)))
    ax.set_xlabel("frame number")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_ylabel("frame time (s)")
    written.append(_save(plt, fig, ax, os.path.join(out_dir, "frame_time.png"), empty))

    if program is L.SHARDFALL:
        fig, ax = _figure(plt, "Shardfall: triangle rate against triangles per frame", context)
        empty = per_window(ax, lambda r: ((float(f.quantity), f.quantity_rate.value)
                                          for f in r.frames), scatter=True)
        ax.set_xlabel("triangles per frame")
        ax.set_ylabel("triangle rate (triangles/s)")
        name = "triangle_rate.png"
    else:
        fig, ax = _figure(plt, "Latticeglow: vertex rate per frame", context)
        empty = per_window(ax, lambda r: ((i, f.quantity_rate.value)
                                          for i, f in enumerate(r.frames, 1)))
        ax.set_xlabel("frame number")
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
        ax.set_ylabel("vertex rate (vertices/s)")
        name = "vertex_rate.png"
    written.append(_save(plt, fig, ax, os.path.join(out_dir, name), empty))
    return written


def write_comparison_plot(comparison, path):
    """Per-frame workload rates of each window, run A beside run B, as box plots."""
    plt = _pyplot()
    a, b = comparison.run_a, comparison.run_b
    title = "%s: %s per frame, A against B" % (a.program.display_name, a.program.quantity_unit)
    fig, ax = _figure(plt, title, "A: %s\nB: %s" % (subtitle(a), subtitle(b)))
    positions, data, colours, ticks, labels = [], [], [], [], []
    for i, row in enumerate(comparison.windows):
        for offset, rates, colour in ((-0.2, row.rates_a, "tab:blue"),
                                      (0.2, row.rates_b, "tab:orange")):
            if rates:
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
    ax.set_xlabel("window (* : the change exceeds run-to-run noise, Mann-Whitney p < %g)"
                  % comparison.alpha)
    ax.set_ylabel("%s per frame" % a.program.quantity_unit)
    return _save(plt, fig, ax, path, empty, legend=False)
