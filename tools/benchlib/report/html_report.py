"""report.html: a run's report, or two runs compared, as one self-contained HTML page.

Everything is in the file: the plots are inline SVG (drawn once with the PNG plots), the
style sheet is inline, there is no script, and the page's content security policy forbids
fetching anything, so it reads the same offline or mailed. Every text that came from files or
hosts (host names, file names, notes, errors, context values) is escaped.

A run's page is made from what the report already has: the summary (summary.json's data),
the context lines and the headline of the console. Two sections appear only when the summary
holds their keys: "host_verdicts" (a list of dicts, one a host; a dict's "host" and "verdict"
also fill the verdict column of that host's row in the table) and "repeats" (a list of dicts,
or a dict, with the repeats' headlines and their "spread"); both are shown whatever their
other keys. A comparison's page is made from comparison.json's data.
"""

import os

import jinja2
from markupsafe import Markup

from ..results.files import shown
from . import rows as R
from .compare import comparison_data
from .output import write_in
from .summary import summary_data
from .table import context_lines, format_percent, g, headline_lines

NAME = "report.html"
NO_PLOTS = "Plots left out (--no-plots)."
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; max-width: 80em; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; } h3 { font-size: 1em; }
table { border-collapse: collapse; font-size: 0.85em; margin: 0.5em 0; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; vertical-align: top; }
th { background: #eee; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.host td { background: #f4f7fb; } tr.total td { background: #eef3e8; font-weight: bold; }
tbody.group { border-top: 2px solid #999; }
.bad { color: #b00; font-weight: bold; } .good { color: #070; }
.context { list-style: none; padding: 0; } .note { font-size: 0.9em; }
figure { margin: 1em 0; } svg { max-width: 100%; height: auto; }
"""
POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"


# ---------------------------------------------------------------- text and cells

def _plain(value):
    """Any text as it can be written in UTF-8: bytes that were not UTF-8 as \\x.. escapes
    (as the console shows them), other lone surrogates as \\u.... escapes."""
    text = str(value)
    try:
        return shown(text)
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _finalize(value):
    """Every value the page shows, made writable; markup (the plots) stays markup."""
    if isinstance(value, Markup):
        return Markup(_plain(value))
    return value if value is None else _plain(value)


def _num(value):
    """A number as the console shows it; the JSON strings "nan", "inf", "-inf" as they are."""
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return g(value)
    return value


def _figure(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _records(value):
    return isinstance(value, (list, tuple)) and bool(value) and \
        all(isinstance(v, dict) for v in value)


_ENV = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                          finalize=_finalize, undefined=jinja2.StrictUndefined,
                          trim_blocks=True, lstrip_blocks=True)
_ENV.filters.update(number=_num,
                    record_keys=lambda value: list(dict.fromkeys(k for v in value for k in v)))
_ENV.tests.update(figure=_figure, records=_records,
                  listing=lambda value: isinstance(value, (list, tuple)))


def _cell(text, css=None):
    return {"text": text, "css": css}


def _table(head, bodies):
    """bodies: [(tbody class, [(row class, [cell])])]."""
    return {"kind": "table", "head": head,
            "bodies": [{"css": css, "rows": [{"css": rc, "cells": cells} for rc, cells in rows]}
                       for css, rows in bodies]}


def _list(items, css=None):
    return {"kind": "list", "texts": list(items), "css": css}


def _text(text, css=None):
    return {"kind": "text", "text": text, "css": css}


def _section(heading, *parts):
    return {"heading": heading, "parts": [p for p in parts if p]}


def _plots(svgs):
    if svgs is None:
        return _text(NO_PLOTS, "note")
    return {"kind": "plots", "svgs": {name: Markup(text) for name, text in svgs.items()}}


def _page(title, sections):
    return _ENV.get_template("page.html.j2").render(
        title=title, sections=sections, style=Markup(STYLE), policy=Markup(POLICY)) + "\n"


def _state_css(state):
    return None if state in ("ok", "") else "bad"


# ---------------------------------------------------------------- a run's page

def _page_cell(value, column):
    if value == R.BLANK:
        return _cell("", "n" if column.numeric else None)
    if column.key == "state":
        return _cell(value, _state_css(value))
    return _cell(_num(value), "n" if column.numeric else None)


def _run_table(run, data):
    verdicts = data.get("host_verdicts")
    by_host = {}
    if isinstance(verdicts, list):
        by_host = {v.get("host"): v.get("verdict") for v in verdicts if isinstance(v, dict)}
    cols = R.columns(run.program)
    head = [c.short for c in cols] + (["verdict"] if verdicts is not None else [])

    def line(row):
        cells = [_page_cell(v, c) for v, c in zip(row.cells(cols), cols)]
        if verdicts is not None:
            verdict = by_host.get(row.values["host"]) if row.kind == "host" else None
            cells.append(_cell(verdict if verdict is not None else ""))
        return row.kind, cells

    body = [line(row) for row in R.window_rows(run)]
    foot = [line(row) for row in R.group_rows(run, len(data["hosts"]) > 1 or
                                              verdicts is not None)]
    return _table(head, [(None, body), ("group", foot)])


def _notes(data):
    """Notes and errors of the windows and of the run, each naming its window and file."""
    items = []
    for w in data["windows"]:
        for kind, texts in (("error", w.get("errors", [])), ("note", w.get("notes", []))):
            items += ["%s: window %s (%s): %s" % (kind, w["window"], w["file"], t)
                      for t in texts]
    for a in data["absent_windows"]:
        items.append("note: window %s: results file %s%s" % (
            a["window"], a["state"], " (%s)" % a["error"] if a.get("error") else ""))
    items += ["note: %s" % n for n in data.get("notes", [])]
    return items


def run_page(run, data, svgs):
    """The page of one run: data is summary_data(run), svgs {plot name: SVG text} or None
    when the plots were left out."""
    lines = [line.strip() for line in context_lines(run)]
    hosts = data["context"].get("hosts") if isinstance(data["context"], dict) else None
    sections = [
        _section("Run", _list(lines, "context"),
                 {"kind": "any", "value": hosts} if isinstance(hosts, list) and len(hosts) > 1
                 else None),
        _section("Headline", _list(headline_lines(run), "context")),
        _section("Windows and hosts", _run_table(run, data)),
    ]
    if "host_verdicts" in data:
        sections.append(_section("Host verdicts", {"kind": "any",
                                                   "value": data["host_verdicts"]}))
    if "repeats" in data:
        sections.append(_section("Repeats and their spread", {"kind": "any",
                                                              "value": data["repeats"]}))
    notes = _notes(data)
    if notes:
        sections.append(_section("Notes and errors", _list(notes, "note")))
    sections.append(_section("Plots", _plots(svgs)))
    return _page("%s: %s" % (run.program.display_name, data["run"]), sections)


def write_run_report(run, out_dir, svgs, data=None):
    """report.html of a run in out_dir (written beside, then renamed); data: its
    summary_data; returns its path."""
    page = run_page(run, data or summary_data(run), svgs)
    path = os.path.join(out_dir, NAME)
    return write_in(out_dir, NAME, path, lambda f: f.write(page))


# ---------------------------------------------------------------- two runs compared

def _comparison_table(data):
    head = ["window", "measure", "A", "B", "change", "p", "verdict"]
    groups = []
    for row in data["windows"] + [data["total"]]:
        css = "total" if row is data["total"] else "window"
        lines = []
        for i, m in enumerate(row["measures"]):
            change = m["change_percent"]
            cells = [_cell("" if i else _num(row["window"]), "n"), _cell(m["measure"]),
                     _cell(_num(m["a"]), "n"), _cell(_num(m["b"]), "n"),
                     _cell(format_percent(change) if not isinstance(change, str) else change,
                           "n")]
            if i:
                lines.append(("measure", cells + [_cell(""), _cell("")]))
                continue
            p, verdict = row["p_value"], row["verdict"]
            cells += [_cell("%.3g" % p if isinstance(p, float) else _num(p), "n"),
                      _cell(verdict, "bad" if verdict == "SLOWER" else
                            "good" if verdict == "faster" else None)]
            lines.append((css, cells))
        groups.append(("group", lines))
    return _table(head, groups)


def comparison_page(comparison, data, svgs):
    """The page of two runs compared: data is comparison_data(comparison, fail_above), svgs
    {plot name: SVG text} or None when the plots were left out."""
    runs = []
    for tag, run in (("A", comparison.run_a), ("B", comparison.run_b)):
        lines = [line.strip() for line in context_lines(run)]
        runs += [{"kind": "heading", "text": "run %s: %s" % (tag, data[tag.lower()]["run"])},
                 _list(lines, "context")]
    gate = []
    if "fail_above_percent" in data:
        found = data["regressions"]
        gate.append("significant falls beyond %g%%: %s" % (
            data["fail_above_percent"],
            ", ".join(("headline" if w == "total" else "window %s" % w) for w in found)
            if found else "none"))
    sections = [
        _section("Runs", *runs),
        _section("A beside B", _text("noise test: %s" % data["noise_test"]),
                 _list(gate, "context") if gate else None, _comparison_table(data)),
    ]
    if data["notes"]:
        sections.append(_section("Notes", _list(data["notes"], "note")))
    sections.append(_section("Box plots", _plots(svgs)))
    return _page("%s: run A against run B" % comparison.run_a.program.display_name, sections)


def write_comparison_report(comparison, fail_above, out_dir, svgs):
    """report.html of two runs compared in out_dir; returns its path."""
    page = comparison_page(comparison, comparison_data(comparison, fail_above), svgs)
    path = os.path.join(out_dir, NAME)
    return write_in(out_dir, NAME, path, lambda f: f.write(page))
