"""The trend plot: a series' headline, and each host's rate when runs spanned hosts, over time;
the runs a gate failed marked."""

from ..results.texts import for_plot
from . import analysis


def write_trend_plot(series, rows, out):
    """The plot as PNG into out, a binary file."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    at = analysis.moment
    rows = [r for r in rows if at(r) is not None]
    fig, ax = plt.subplots(figsize=(8, 5), dpi=100)
    try:
        ok = [r for r in rows if r["headline"] is not None and r["status"] in (None, "ok")]
        ax.plot([at(r) for r in ok], [r["headline"] for r in ok], "o-", markersize=3,
                label="headline")
        if any(len(r["hosts"]) > 1 for r in rows):
            hosts = {h["host"]: [] for r in ok for h in r["hosts"]}
            for r in ok:
                for h in r["hosts"]:
                    if h["rate"] is not None:
                        hosts[h["host"]].append((at(r), h["rate"]))
            for host, points in hosts.items():
                ax.plot([p[0] for p in points], [p[1] for p in points], ".--", linewidth=0.8,
                        label=for_plot(host))
        bad = [r for r in rows if r["headline"] is not None and r not in ok]
        if bad:
            ax.plot([at(r) for r in bad], [r["headline"] for r in bad], "x", color="red",
                    label="not ok (failed, interrupted)")
        flagged = [r for r in ok if r["flagged"]]
        if flagged:
            ax.plot([at(r) for r in flagged], [r["headline"] for r in flagged], "D",
                    markerfacecolor="none", color="darkorange", markersize=8,
                    label="failed a gate (flagged)")
        ax.set_ylabel(analysis.unit(series[0]))
        ax.set_ylim(bottom=0)
        ax.set_title(for_plot(analysis.describe_series(series)), fontsize=9)
        ax.legend(fontsize=8)
        ax.grid(alpha=0.3)
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(out, format="png")
    finally:
        plt.close(fig)
