"""report.html of two runs compared: the verdict on top (the --fail-above gate, or the
headline's verdict when no gate was asked), both runs' context, run B beside run A window by
window with each window's host, the notes and the box plots. Made from comparison.json's
data; html_page.py holds the frame and the template."""

from . import html_page as P
from .compare import comparison_data
from .table import context_lines


def _hosts_of(run):
    return {r.window: r.host for r in run.reports}


def _host(window, hosts_a, hosts_b):
    a, b = hosts_a.get(window), hosts_b.get(window)
    if a == b or b is None:
        return a or "?"
    return "%s / %s" % (a or "?", b)


def _comparison_table(comparison, data):
    hosts_a, hosts_b = _hosts_of(comparison.run_a), _hosts_of(comparison.run_b)
    head = ["Window", "Host (A / B)", "Measure", "Run A", "Run B", "Change", "p", "Test",
            "Verdict"]
    groups = []
    for row in data["windows"] + [data["total"]]:
        css = "total" if row is data["total"] else "window"
        total = row is data["total"]
        lines = []
        for i, m in enumerate(row["measures"]):
            change = m["change_percent"]
            cells = [P.cell("" if i else str(row["window"]), "n"),
                     P.cell("" if i or total else _host(row["window"], hosts_a, hosts_b)),
                     P.cell(m["measure"]), P.num_cell(m["a"]), P.num_cell(m["b"]),
                     P.cell(P.percent(change) if not isinstance(change, str) else change, "n")]
            if i:
                lines.append(("measure", cells + [P.cell(""), P.cell(""), P.cell("")]))
                continue
            verdict = row["verdict"]
            cells += [P.cell(P.p_value(row["p_value"]), "n"), P.cell(row.get("test") or "-"),
                      P.cell(verdict, "bad" if verdict == "SLOWER" else
                             "good" if verdict == "faster" else None)]
            lines.append((css, cells))
        groups.append(("group", lines))
    return P.table(head, groups, wide=True)


def _banner(data):
    total = data["total"]
    headline = "headline %s, %s" % (P.percent(total["measures"][0]["change_percent"]),
                                    data["verdict"])
    slow = data["slow_hosts_b"]
    if "fail_above_percent" not in data:
        # Run B's slow hosts are not a gate asked for, but no word of the page says it is
        # sound: its banner says what they are.
        return P.banner("SLOW HOSTS IN B" if slow else total["verdict"], [], [
            "no gate asked (--fail-above PCT): %s" % headline])
    found = data["regressions"]
    failed = bool(found or slow)
    gates = [("regression beyond %g%%" % data["fail_above_percent"], "FAIL" if found else "PASS",
              ["significant falls: %s" % ", ".join(("headline" if w == "total" else "window %s"
                                                    % w) for w in found) if found else
               "no significant fall", headline])]
    if slow:
        gates.append(("slow hosts in run B", "FAIL", slow))
    return P.banner("FAIL" if failed else "PASS", gates)


def comparison_page(comparison, data, svgs):
    """The page of two runs compared: data is comparison_data(comparison, fail_above), svgs
    {plot name: SVG text} or None when the plots were left out."""
    runs = []
    for tag, run in (("A", comparison.run_a), ("B", comparison.run_b)):
        runs += [{"kind": "heading", "text": "run %s: %s" % (tag, data[tag.lower()]["run"])},
                 P.items([line.strip() for line in context_lines(run)], "context")]
    sections = [
        P.section("Runs", *runs),
        P.section("B beside A", P.text("noise test: %s" % data["noise_test"], "note"),
                  _comparison_table(comparison, data)),
    ]
    if data["notes"]:
        sections.append(P.section("Notes", P.items(data["notes"], "note")))
    sections.append(P.section("Box plots", P.plots(svgs)))
    return P.render("%s: run A against run B" % comparison.run_a.program.display_name,
                    _banner(data), sections)


def write_comparison_report(comparison, fail_above, out_dir, svgs):
    """report.html of two runs compared in out_dir; returns its path."""
    return P.write_page(out_dir, comparison_page(
        comparison, comparison_data(comparison, fail_above), svgs))
