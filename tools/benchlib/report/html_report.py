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

import html
import os

from ..results.texts import for_html
from .compare import comparison_data
from .output import write_in
from .summary import group_totals, summary_data
from .table import context_lines, format_percent, g, headline_lines

NAME = "report.html"
NO_PLOTS = "Plots left out (--no-plots)."

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

def _e(value):
    return html.escape(for_html(value))


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
    return _e(value)


def _cell(html_text, numeric=False, css=None):
    classes = " ".join(c for c in ("n" if numeric else None, css) if c)
    return '<td class="%s">%s</td>' % (classes, html_text) if classes else \
        "<td>%s</td>" % html_text


def _row(cells, css=None):
    return ('<tr class="%s">' % css if css else "<tr>") + "".join(cells) + "</tr>"


def _head(names):
    return "<thead><tr>%s</tr></thead>" % "".join("<th>%s</th>" % _e(n) for n in names)


def _state_css(state):
    return None if state in ("ok", "") else "bad"


# ---------------------------------------------------------------- values of unknown shape

def _any(value):
    """HTML for a value whose shape this page does not know in advance: a list of dicts is a
    table (a column a key), a dict a table of keys and values, a list its items."""
    if isinstance(value, dict):
        return "<table>%s</table>" % "".join(
            _row(["<th>%s</th>" % _e(k), _cell(_any(v), _scalar(v))]) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        if value and all(isinstance(v, dict) for v in value):
            keys = list(dict.fromkeys(k for v in value for k in v))
            return "<table>%s<tbody>%s</tbody></table>" % (_head(keys), "".join(
                _row([_cell(_any(v.get(k)), _scalar(v.get(k))) for k in keys])
                for v in value))
        return ", ".join(_any(v) for v in value)
    return _num(value)


def _scalar(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


# ---------------------------------------------------------------- a run's page

def _window_rows(data):
    rows = []
    for w in data["windows"]:
        stats = w["frame_time_s"]
        recomputed = w.get("recomputed_averages") or {}
        cells = [w["window"] if w["window"] is not None else "?", w["host"] or "?",
                 w["initialisation_time_s"], w["frames"], w["total_time_s"],
                 recomputed.get("average_angle_rate"), w["average_quantity_rate"],
                 stats["min"], stats["median"], stats["p95"], stats["max"]]
        rows.append((w["window"], cells, w["state"]))
    for a in data["absent_windows"]:
        rows.append((a["window"], [a["window"], "?"] + [None] * 9, a["state"].upper()))
    rows.sort(key=lambda r: r[0] if isinstance(r[0], int) else 1 << 30)
    return [(cells, state) for _w, cells, state in rows]


def _totals_cells(label, host, totals):
    stats = totals["frame_time_s"]
    return [label, host, "", totals["frames"], totals["total_time_s"], "",
            totals["quantity_rate"], stats["min"], stats["median"], stats["p95"], stats["max"]]


def _run_table(run, data):
    verdicts = data.get("host_verdicts")
    by_host = {}
    if isinstance(verdicts, list):
        by_host = {v.get("host"): v.get("verdict") for v in verdicts if isinstance(v, dict)}
    head = ["window", "host", "init s", "frames", "total s", "angles/s",
            data["quantity_rate_unit"], "min s", "median s", "p95 s", "max s", "state"]
    if verdicts is not None:
        head.append("verdict")

    def line(cells, state, css, verdict=None):
        out = [_cell(_num(cells[0]), True), _cell(_e(cells[1]))]
        out += [_cell(_num(c) if c != "" else "", True) for c in cells[2:]]
        out.append(_cell(_e(state), css=_state_css(state)))
        if verdicts is not None:
            out.append(_cell(_e(verdict) if verdict is not None else ""))
        return _row(out, css)

    body = [line(cells, state, "window") for cells, state in _window_rows(data)]
    foot = []
    if len(data["hosts"]) > 1 or verdicts is not None:
        foot += [line(_totals_cells("host", host, totals), "", "host", by_host.get(host))
                 for host, totals in data["hosts"].items()]
    foot.append(line(_totals_cells("total", "", group_totals(run.reports)), "", "total"))
    return "<table>%s<tbody>%s</tbody><tbody class=\"group\">%s</tbody></table>" % (
        _head(head), "".join(body), "".join(foot))


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


def _list(items, css=None):
    return ('<ul class="%s">' % css if css else "<ul>") + "".join(
        "<li>%s</li>" % _e(i) for i in items) + "</ul>"


def _plots(svgs):
    if svgs is None:
        return '<p class="note">%s</p>' % NO_PLOTS
    return "".join('<figure id="%s">%s<figcaption>%s</figcaption></figure>'
                   % (_e(name), for_html(text), _e(name)) for name, text in svgs.items())


def _page(title, sections):
    return "".join([
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n",
        '<meta http-equiv="Content-Security-Policy" content="%s">\n' % POLICY,
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n',
        "<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n" % (_e(title), STYLE),
        "<h1>%s</h1>\n" % _e(title),
        "".join("<section>\n%s\n</section>\n" % s for s in sections if s),
        "</body>\n</html>\n"])


def _section(heading, body):
    return "<h2>%s</h2>\n%s" % (_e(heading), body)


def run_page(run, data, svgs):
    """The page of one run: data is summary_data(run), svgs {plot name: SVG text} or None
    when the plots were left out."""
    lines = [line.strip() for line in context_lines(run)]
    hosts = data["context"].get("hosts") if isinstance(data["context"], dict) else None
    sections = [
        _section("Run", _list(lines, "context") + (
            _any(hosts) if isinstance(hosts, list) and len(hosts) > 1 else "")),
        _section("Headline", _list(headline_lines(run), "context")),
        _section("Windows and hosts", _run_table(run, data)),
    ]
    if "host_verdicts" in data:
        sections.append(_section("Host verdicts", _any(data["host_verdicts"])))
    if "repeats" in data:
        sections.append(_section("Repeats and their spread", _any(data["repeats"])))
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
            cells = [_cell("" if i else _num(row["window"]), True), _cell(_e(m["measure"])),
                     _cell(_num(m["a"]), True), _cell(_num(m["b"]), True),
                     _cell(_e(format_percent(change) if not isinstance(change, str)
                              else change), True)]
            if i:
                lines.append(_row(cells + [_cell(""), _cell("")], "measure"))
                continue
            p, verdict = row["p_value"], row["verdict"]
            cells += [_cell(_e("%.3g" % p) if isinstance(p, float) else _num(p), True),
                      _cell(_e(verdict), css="bad" if verdict == "SLOWER" else
                            "good" if verdict == "faster" else None)]
            lines.append(_row(cells, css))
        groups.append('<tbody class="group">%s</tbody>' % "".join(lines))
    return "<table>%s%s</table>" % (_head(head), "".join(groups))


def comparison_page(comparison, data, svgs):
    """The page of two runs compared: data is comparison_data(comparison, fail_above), svgs
    {plot name: SVG text} or None when the plots were left out."""
    runs = []
    for tag, run in (("A", comparison.run_a), ("B", comparison.run_b)):
        lines = [line.strip() for line in context_lines(run)]
        runs.append("<h3>%s</h3>%s" % (_e("run %s: %s" % (tag, data[tag.lower()]["run"])),
                                       _list(lines, "context")))
    gate = []
    if "fail_above_percent" in data:
        found = data["regressions"]
        gate.append("significant falls beyond %g%%: %s" % (
            data["fail_above_percent"],
            ", ".join(("headline" if w == "total" else "window %s" % w) for w in found)
            if found else "none"))
    sections = [
        _section("Runs", "".join(runs)),
        _section("A beside B", "<p>noise test: %s</p>%s%s" % (
            _e(data["noise_test"]), _list(gate, "context") if gate else "",
            _comparison_table(data))),
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
