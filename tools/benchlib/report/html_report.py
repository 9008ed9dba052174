"""report.html of one run: the verdict on top, the run's context and hosts, the headline,
the table of windows and hosts (the console's rows, headed in words), the verdicts of the
hosts and against a reference, the notes and the plots.

The page is made from what the report already has: the summary (summary.json's data), the
context lines and the headline of the console. Sections appear only when the summary holds
their keys: "host_verdicts" (a list of dicts, one a host; a dict's "host" and "verdict" also
fill the verdict column of that host's row in the table), "display_verdicts" (the same of
the displays of hosts, with "display"), "reference", "mixed_hosts" and "repeats" (shown
whatever its shape). html_page.py holds the frame and the template."""

import os

from ..results.gpus import gpu_driver, gpus_text
from ..results.load import load_warning
from ..results.numbers import gib
from . import html_page as P
from .html_pictures import pictures_section
from . import rows as R
from .mixed_hosts import FACTS, disagreements
from .slow_hosts import SPLIT
from .summary import refresh_lines_of, summary_data
from .table import context_lines, headline_lines, number

NAME, NO_PLOTS = P.NAME, P.NO_PLOTS
# A host's facts from run.json's hosts: (heading, key, how it is shown)
HOST_FACTS = [
    ("Windows", "windows", lambda v: P.figure(len(v))),
    ("CPU model", "cpu_model", str), ("Cores", "cores", P.figure),
    ("Memory", "memory_bytes", gib),
    ("Renderer", "gl_renderer", str), ("GL version", "gl_version", str),
    ("GL vendor", "gl_vendor", str),
    ("GPUs", "gpus", lambda v: gpus_text(v) or "none"),
    ("GPU driver", "gpus", lambda v: gpu_driver(v) or "-"),
    ("MPI library", "mpi_library", str),
    ("Rendering variables", "rendering_env",
     lambda v: ", ".join("%s=%s" % item for item in sorted(v.items())) or "none"),
]
NUMERIC_FACTS = ("windows", "cores", "memory_bytes")
# A disagreement's fact -> the host's key it is about (rendering variables are named as such)
FACT_OF_KEY = {fact: key for fact, key in FACTS}


def _state_css(state):
    return None if state in ("ok", "") else "bad"


def _banner(data):
    verdict = data.get("verdict")
    if not isinstance(verdict, dict):
        return None
    gates = verdict.get("gates", [])
    decided = [(g["gate"], g["result"], g["findings"]) for g in gates if g["deciding"]]
    aside = ["%s (not a gate here): %s" % (g["gate"], f) for g in gates
             if not g["deciding"] and g["result"] == "FAIL" for f in g["findings"]]
    aside += ["%s: %s" % (g["gate"], f) for g in gates
              if not g["deciding"] and g["result"] == "PASS" and g["gate"] == "slow hosts"
              for f in g["findings"]]
    aside += refresh_lines_of(data)  # the figures may measure the display, not the GPU
    return P.banner(verdict["result"], decided, aside)


def _hosts_table(hosts):
    """run.json's hosts, a row a host; a fact in which a host differs from the others is
    marked (a rendering variable: the host's variables)."""
    differs = {}
    for d in disagreements(hosts):
        for h in d.hosts:
            differs.setdefault(h, set()).add(FACT_OF_KEY.get(d.fact, d.fact))
    shown = [f for f in HOST_FACTS if any(h.get(f[1]) not in (None, []) for h in hosts)]
    body = []
    for h in hosts:
        name = h.get("name", "?")
        named = differs.get(name, set())
        cells = [P.cell(name)]
        for _heading, key, show in shown:
            bad = key in named or (key == "rendering_env" and named - set(FACT_OF_KEY.values()))
            css = " ".join(c for c in ("n" if key in NUMERIC_FACTS else None,
                                       "bad" if bad else None) if c)
            cells.append(P.cell("-" if h.get(key) is None else show(h[key]), css or None))
        body.append((None, cells))
    return P.table(["Host"] + [f[0] for f in shown], [(None, body)])


def _displays_table(hosts):
    """The displays of the hosts that list more than one (run.json's hosts' displays), a
    row each: its screen and GL as the windows on it saw them; None when none lists more."""
    body = []
    for h in hosts:
        displays = h.get("displays") or []
        for d in displays if len(displays) > 1 else []:
            screen = d.get("screen") or {}
            size = "x".join(str(screen[k]) for k in ("width", "height", "depth") if k in screen)
            body.append((None, [P.cell(h.get("name", "?")), P.cell(d.get("name", "?")),
                                P.cell(size or "-", "n")] +
                         [P.cell(d.get(key) or "-") for key in ("gl_renderer", "gl_version",
                                                                "gl_vendor")]))
    if not body:
        return None
    return P.table(["Host", "Display", "Screen", "Renderer", "GL version", "Driver"],
                   [(None, body)])


def _page_cell(value, column):
    if value == R.BLANK:
        return P.cell("", "n" if column.numeric else None)
    if column.key == "state":
        return P.cell(value, _state_css(value))
    if column.key == "window":
        return P.cell(str(value), "n")
    return P.num_cell(value) if column.numeric else P.cell(value)


def _verdicts_by_row(data):
    """{(row kind, host, display): verdict} of the summary's host and display verdicts, or
    None when it holds neither."""
    found = None
    for kind, key in (("host", "host_verdicts"), ("display", "display_verdicts")):
        verdicts = data.get(key)
        if verdicts is None:
            continue
        found = found or {}
        if isinstance(verdicts, list):
            found.update({(kind, v.get("host"), v.get("display", R.BLANK)): v.get("verdict")
                          for v in verdicts if isinstance(v, dict)})
    return found


def _run_table(run, data):
    verdicts = _verdicts_by_row(data)
    cols = R.columns(run.program, run.several_displays())
    head = [c.words for c in cols] + (["Verdict (slow hosts)"] if verdicts is not None else [])

    def line(row):
        cells = [_page_cell(v, c) for v, c in zip(row.cells(cols), cols)]
        if verdicts is not None:
            verdict = verdicts.get((row.kind, row.values["host"], row.values["display"]))
            cells.append(P.cell(verdict if verdict is not None else "",
                                "bad" if verdict in ("SLOWER", SPLIT) else None))
        return row.kind, cells

    body = [line(row) for row in R.window_rows(run)]
    foot = [line(row) for row in R.group_rows(run, len(data["hosts"]) > 1 or
                                              "host_verdicts" in data)]
    return P.table(head, [(None, body), ("group", foot)], wide=True)


def _host_verdicts(verdicts, of="host"):
    """The table of the host verdicts (of="display": of the displays' verdicts)."""
    named = ["host"] + (["display"] if of == "display" else [])
    body = [(None, [P.cell(v.get(key)) for key in named] + [
        P.num_cell(v.get("windows")), P.num_cell(v.get("frames")),
        P.cell(P.percent(v.get("rate_vs_median_%s_percent" % of)), "n"),
        P.cell(P.percent(-v["noise_allows_percent"]) if isinstance(
            v.get("noise_allows_percent"), (int, float)) else "-", "n"),
        P.cell(P.p_value(v.get("p_value")), "n"),
        P.cell(v.get("verdict"), "bad" if v.get("verdict") in ("SLOWER", SPLIT) else None)])
            for v in verdicts if isinstance(v, dict)]
    return P.table([key.capitalize() for key in named] + [
        "Windows", "Frames", "Workload rate against the median %s" % of, "Noise allows",
        "p (Holm-corrected)", "Verdict"], [(None, body)])


def _reference(reference, unit):
    body = []
    for j in reference["judged"]:
        span = "-" if j["reference"] is None else "%s to %s" % (
            number(j["reference"] * (1 - j["lower_percent"] / 100)),
            number(j["reference"] * (1 + j["upper_percent"] / 100)))
        body.append(("total" if j["what"] == "run" else "host", [
            P.cell(j["what"]), P.num_cell(j["rate_per_window"]), P.num_cell(j["reference"]),
            P.cell(span, "n"), P.cell(P.percent(j["change_percent"]), "n"),
            P.cell(j["verdict"], None if j["verdict"] == "within" else "bad"),
            P.num_cell(j["reference_line"])]))
    return [P.text("%s; reference file %s" % (reference["rule"], reference["file"]), "note"),
            P.table(["Run or host", "Rate per window (%s)" % unit, "Reference (%s)" % unit,
                     "Accepted (%s)" % unit, "Change", "Verdict", "Line in the file"],
                    [(None, body)])]


def notes(data):
    """Notes and errors of the windows and of the run, each naming its window and file."""
    found = []
    for w in data["windows"]:
        for kind, texts in (("error", w.get("errors", [])), ("note", w.get("notes", []))):
            found += ["%s: window %s (%s): %s" % (kind, w["window"], w["file"], t)
                      for t in texts]
    for a in data["absent_windows"]:
        found.append("note: window %s: results file %s%s" % (
            a["window"], a["state"], " (%s)" % a["error"] if a.get("error") else ""))
    found += ["note: %s" % n for n in data.get("notes", [])]
    return found


def run_page(run, data, svgs):
    """The page of one run: data is summary_data(run), svgs {plot name: SVG text} or None
    when the plots were left out."""
    context = data["context"] if isinstance(data["context"], dict) else {}
    hosts = context.get("hosts")
    busy = load_warning(context)
    sections = [
        P.section("Run", P.items([line.strip() for line in context_lines(run)], "context"),
                  P.text("Warning: " + busy, "warn") if busy else None,
                  _hosts_table(hosts) if isinstance(hosts, list) and len(hosts) > 1
                  else None,
                  _displays_table(hosts) if isinstance(hosts, list) else None),
        P.section("Headline", P.items(headline_lines(run, number), "context")),
        P.section("Windows and hosts", _run_table(run, data)),
    ]
    if "host_verdicts" in data:
        sections.append(P.section(
            "Host verdicts", P.text(data.get("host_verdict_undecided") or
                                    data.get("host_verdict_rule"), "note"),
            _host_verdicts(data["host_verdicts"])))
    if "display_verdicts" in data:
        sections.append(P.section(
            "Display verdicts", P.text(data.get("display_verdict_undecided") or
                                       data.get("display_verdict_rule"), "note"),
            _host_verdicts(data["display_verdicts"], "display")))
    if "reference" in data:
        sections.append(P.section("Against the reference",
                                  *_reference(data["reference"], data["quantity_rate_unit"])))
    mixed = data.get("mixed_hosts", {}).get("disagreements")
    if mixed:
        sections.append(P.section("Hosts that disagree",
                                  P.items([d["text"] for d in mixed], "bad")))
    if "repeats" in data:
        sections.append(P.section("Repeats and their spread", P.any_value(data["repeats"])))
    folder = os.path.dirname(run.reports[0].file.path) if run.reports else None
    pictures = pictures_section(context.get("pictures"), folder)
    if pictures:
        sections.append(pictures)
    found = notes(data)
    if found:
        sections.append(P.section("Notes and errors", P.items(found, "note")))
    sections.append(P.section("Plots", P.plots(svgs)))
    return P.render("%s: %s" % (run.program.display_name, data["run"]), _banner(data),
                    sections)


def write_run_report(run, out_dir, svgs, data=None):
    """report.html of a run in out_dir (written beside, then renamed); data: its
    summary_data; returns its path."""
    return P.write_page(out_dir, run_page(run, data or summary_data(run), svgs))
