"""report.html's frame: the Jinja2 template (page.html.j2, autoescape), the style, the banner
and the parts a page is made of (lists, tables, plots), and figures written for a person.

Everything is in the file: the plots are inline SVG (drawn once with the PNG plots), the
style sheet is inline, there is no script, and the page's content security policy forbids
fetching anything, so it reads the same offline or mailed. Every text that came from files or
hosts (host names, file names, notes, errors, context values) is escaped by the template.
"""

import os

import jinja2
from markupsafe import Markup

from ..results.texts import for_html
from .output import write_in
from .table import format_percent, number

NAME = "report.html"
NO_PLOTS = "Plots left out (--no-plots)."
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; } h3 { font-size: 1em; }
table { border-collapse: collapse; font-size: 0.85em; margin: 0.5em 0; }
table.wide { width: 100%; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; vertical-align: top; }
th { background: #eee; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.host td { background: #f4f7fb; } tr.display td { background: #f8f8fc; } tr.total td { background: #eef3e8; font-weight: bold; }
tbody.group { border-top: 2px solid #999; }
.bad { color: #b00; font-weight: bold; } .good { color: #070; } .warn { color: #8a5a00; }
.context { list-style: none; padding: 0; } .note { font-size: 0.9em; }
.banner { padding: 0.6em 1em; margin: 0.5em 0 1em; border: 2px solid; border-radius: 4px; }
.banner.pass { background: #e6f4e3; border-color: #2a7a2a; }
.banner.fail { background: #fbe4e4; border-color: #b00; }
.banner.none { background: #f2f2f2; border-color: #888; }
.banner .result { font-size: 1.6em; font-weight: bold; margin-right: 0.6em; }
.banner ul { margin: 0.4em 0 0; } .banner .aside { color: #555; font-size: 0.9em; }
figure { margin: 1em 0; } svg { max-width: 100%; height: auto; }
.pictures figure { display: inline-block; margin: 0.3em 1em 0.3em 0; }
"""
POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"


# ---------------------------------------------------------------- text and figures

def _plain(value):
    """Any outside text as the page shows it: control characters, bidirectional controls and
    bytes that were not UTF-8 as visible escapes (the template escapes <, > and &)."""
    return for_html(str(value))


def _finalize(value):
    """Every value the page shows, made writable; markup (the plots) stays markup."""
    if isinstance(value, Markup):
        return Markup(_plain(value))
    return value if value is None else _plain(value)


def figure(value):
    """A value as the page shows it: numbers in fixed notation with thousands separators,
    yes/no, "-" for unknown; the JSON strings "nan", "inf", "-inf" as they are."""
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    return number(value)


def p_value(p):
    if not isinstance(p, (int, float)):
        return figure(p)
    return "< 0.001" if p < 0.001 else "%.3f" % p


def percent(value):
    return format_percent(value, " ")


def _is_figure(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _records(value):
    return isinstance(value, (list, tuple)) and bool(value) and \
        all(isinstance(v, dict) for v in value)


_ENV = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                          finalize=_finalize, undefined=jinja2.StrictUndefined,
                          trim_blocks=True, lstrip_blocks=True)
_ENV.filters.update(number=figure,
                    record_keys=lambda value: list(dict.fromkeys(k for v in value for k in v)))
_ENV.tests.update(figure=_is_figure, records=_records,
                  listing=lambda value: isinstance(value, (list, tuple)))


# ---------------------------------------------------------------- parts of a page

def cell(text, css=None):
    return {"text": text, "css": css}


def num_cell(value, css=None):
    return cell(figure(value), " ".join(c for c in ("n", css) if c))


def table(head, bodies, wide=False):
    """bodies: [(tbody class, [(row class, [cell])])]."""
    return {"kind": "table", "head": head, "wide": wide,
            "bodies": [{"css": css, "rows": [{"css": rc, "cells": cells} for rc, cells in rows]}
                       for css, rows in bodies]}


def items(texts, css=None):
    return {"kind": "list", "texts": list(texts), "css": css}


def text(words, css=None):
    return {"kind": "text", "text": words, "css": css}


def any_value(value):
    """A value whose shape the page does not know in advance: a list of dicts as a table (a
    column a key), a dict as a table of keys and values, a list as its items."""
    return {"kind": "any", "value": value}


def section(heading, *parts):
    return {"heading": heading, "parts": [p for p in parts if p]}


def plots(svgs):
    if svgs is None:
        return text(NO_PLOTS, "note")
    return {"kind": "plots", "svgs": {name: Markup(svg) for name, svg in svgs.items()}}


def banner(result, decided, aside=()):
    """The verdict on top: result PASS, FAIL (or another word when nothing decided);
    decided: [(gate, its result, [findings])]; aside: what was found beside the gates."""
    css = {"PASS": "pass", "FAIL": "fail"}.get(result, "none")
    return {"result": result, "css": css,
            "gates": [{"name": n, "result": r, "findings": list(f)} for n, r, f in decided],
            "aside": list(aside)}


def render(title, top, sections):
    return _ENV.get_template("page.html.j2").render(
        title=title, banner=top, sections=sections, style=Markup(STYLE),
        policy=Markup(POLICY)) + "\n"


def write_page(out_dir, page):
    path = os.path.join(out_dir, NAME)
    return write_in(out_dir, NAME, path, lambda f: f.write(page))
