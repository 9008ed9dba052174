"""A matplotlib figure as SVG text to put inside an HTML page (matplotlib's SVG backend).

The text starts at the <svg> element: the XML declaration and document type of a stand-alone
SVG file have no place inside HTML. Glyphs are drawn as paths, so the page looks the same
wherever it is opened, whatever fonts are there. The ids in the SVG (glyphs excepted) are
derived from the plot's name, so two plots on one page never share one by chance and the
same plot gives the same text each time. No date is recorded.
"""

import io

# What matplotlib would record as the figure's creator: a web address, left out.
METADATA = {"Date": None, "Creator": None, "Format": None, "Type": None}


def svg_text(fig, name):
    """The figure `fig` as SVG text; `name` (the plot's file name) seeds its ids."""
    import matplotlib
    out = io.StringIO()
    with matplotlib.rc_context({"svg.hashsalt": name, "svg.fonttype": "path"}):
        fig.savefig(out, format="svg", metadata=METADATA)
    text = out.getvalue()
    return text[text.index("<svg"):]
