"""A matplotlib figure as SVG text to put inside an HTML page (matplotlib's SVG backend).

The text starts at the <svg> element: the XML declaration and document type of a stand-alone
SVG file have no place inside HTML. Glyphs are drawn as paths, so the page looks the same
wherever it is opened, whatever fonts are there. The ids in the SVG (glyphs excepted) are
derived from the plot's name, so two plots on one page never share one by chance and the
same plot gives the same text each time. No date is recorded.

A plot of many points would be megabytes of SVG (one element a marker): the lines and
markers of a plot holding more than POINT_LIMIT points are drawn as one image inside the SVG
(a PNG in a data: address, still in the file); axes, ticks, labels and legend stay vectors.
"""

import io

POINT_LIMIT = 2000
RASTER_DPI = 100
# What matplotlib would record besides the drawing (its name and web address, a date).
METADATA = {"Date": None, "Creator": None, "Format": None, "Type": None}


def _points(ax):
    return sum(len(line.get_xdata()) for line in ax.lines) + \
        sum(len(c.get_offsets()) for c in ax.collections)


def svg_text(fig, name):
    """The figure `fig` as SVG text; `name` (the plot's file name) seeds its ids."""
    import matplotlib
    for ax in fig.axes:
        if _points(ax) > POINT_LIMIT:
            for artist in ax.lines + ax.collections:
                artist.set_rasterized(True)
    out = io.StringIO()
    with matplotlib.rc_context({"svg.hashsalt": name, "svg.fonttype": "path"}):
        fig.savefig(out, format="svg", metadata=METADATA, dpi=RASTER_DPI)
    text = out.getvalue()
    return text[text.index("<svg"):]
