"""A run's report: its outputs, its console report and its verdict; a repeated run's
repeats, each reported, and their spread."""

import contextlib
import os
import sys

from ..results.files import shown, write_json
from ..results.load import load_warning
from ..results.runs import UsageError, collect_files, load_runs
from . import junit_cases, mixed_hosts, repeats, slow_hosts, summary, table, verdicts
from .html_report import write_run_report
from .output import OutputError, prepare_folder, write_in

NAME = "bench-report"


def say(message):
    print("%s: %s" % (NAME, message), file=sys.stderr)


def output_folder(paths, files, out):
    if out:
        return out
    if len(paths) == 1 and os.path.isdir(paths[0]):
        return paths[0]
    folders = {os.path.dirname(os.path.abspath(f)) for f in files}
    if len(folders) == 1:
        return folders.pop()
    raise UsageError("the results files are in several folders: say where to write with --out")


def load(files, on_window=None):
    """(runs, status) for the files; status 0, or 1 when a file is rejected (each is named,
    and nothing is written)."""
    runs, failures = load_runs(files, on_window)
    if failures:
        for message in failures:
            say("error: %s" % message)
        say("%d of %d file(s) rejected; nothing written" % (len(failures), len(files)))
        return None, 1
    return runs, 0


def _report_notes(run):
    """What the report itself has to say of the run, beside the notes of its files."""
    found = ["%s: the name says window %d, the file says window %d"
             % (shown(r.file.path), r.window, r.file.window) for r in run.reports
             if r.file.window is not None and r.window != r.file.window]
    busy = load_warning(run.context)
    return found + ([busy] if busy else [])


def report_run(run, out_dir, args, place_frames, made_here=False):
    """One run's outputs and console report; returns its exit status."""
    from .plots import write_plots
    prepare_folder(out_dir, made_here)
    by_host = slow_hosts.host_verdicts(run) if len(run.hosts()) > 1 else None
    by_display = slow_hosts.display_verdicts(run) if run.several_displays() else None
    gates, against_reference = verdicts.run_gates(run, args, by_host, by_display)
    names = [os.path.join(out_dir, n) for n in ("frames.csv", "summary.json")]
    try:
        place_frames(names[0])
    except OSError as e:
        raise OutputError("cannot write frames.csv in %s: %s"
                          % (shown(out_dir), e.strerror or e)) from None
    data = summary.summary_data(run, by_host, by_display)
    data["verdict"] = verdicts.verdict_json(gates)
    own_notes = _report_notes(run)
    data["notes"] = data["notes"] + own_notes
    if against_reference is not None:
        data["reference"] = {"file": shown(args.reference), "rule": verdicts.REFERENCE_RULE,
                             "judged": against_reference}
    if len(run.context.get("hosts") or []) > 1:
        data["mixed_hosts"] = mixed_hosts.summary_json(run.context["hosts"])
    write_in(out_dir, "summary.json", names[1],
             lambda f: write_json(f, data))
    svgs = None if args.no_plots else {}  # the plots as SVG text, for report.html
    if not args.no_plots:
        names += write_plots(run, out_dir, svgs)
    names.append(write_run_report(run, out_dir, svgs, data))
    print("\n".join(table.context_lines(run)))
    print(table.format_table(run))
    print("\n".join(table.headline_lines(run)))
    if by_host is not None:
        print("\n".join(slow_hosts.verdict_lines(*by_host)))
    if by_display is not None:
        print("\n".join(slow_hosts.verdict_lines(*by_display, what="display")))
    for note in own_notes:
        say("warning: %s" % note)
    for r in run.reports:
        for note in r.file.notes:
            say("note: %s: %s" % (shown(r.file.path), note))
        if r.state not in ("ok", "MISMATCH"):
            detail = r.file_state.get("error") if r.incomplete and r.file_state else \
                r.ended_early.get("how") if r.ended_early else None
            say("note: window %s is not ok: %s%s" % (r.window, r.state,
                                                     " (%s)" % detail if detail else ""))
    for note in run.notes + summary.refresh_lines_of(data):
        say("note: %s" % note)
    for a in run.absent:
        say("note: window %d: results file %s%s" % (a["window"], a["state"],
                                                    " (%s)" % a["error"] if a.get("error")
                                                    else ""))
    print("written: %s" % ", ".join(map(shown, names)))
    for e in (e for r in run.reports for e in r.errors):
        say("error: %s" % e)
    print("\n".join(verdicts.verdict_lines(gates)))
    args.junit_cases += junit_cases.run_cases(run, gates, by_host, args.fail_slow_host,
                                              by_display)
    args.junit_properties = args.junit_properties or junit_cases.run_properties(run)
    return 1 if verdicts.overall(gates) == verdicts.FAIL else 0


def report_runs(args, files, out_dir, rows, made):
    runs, status = load(files, rows)
    if runs is None:
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(out_dir)
        return status
    if len(runs) > 1:
        say("note: the files hold %d runs, each reported apart in a folder of its own: %s"
            % (len(runs), "; ".join("%s (%d files)" % (r.label, len(r.reports))
                                    for r in runs)))
    used = set()
    for i, run in enumerate(runs):
        folder = out_dir
        if len(runs) > 1:
            slug, n = run.slug, 2
            while slug in used:
                slug, n = "%s-%d" % (run.slug, n), n + 1
            used.add(slug)
            folder = os.path.join(out_dir, "report-" + slug)
            if i:
                print()
        status = max(status, report_run(run, folder, args,
                                        lambda path, i=i: rows.place(i, path), len(runs) > 1))
    return status


def main_repeats(args, path, folders):
    """A repeated run: each repeat reported in its own folder (under --out when given), then
    the repeats' headlines and the spread of those that ended ok; a repeat that did not fails
    the series (unless --allow-failed)."""
    out = args.out or path
    prepare_folder(out)
    status, rows = 0, []
    said = repeats.statuses(path)
    unit = ""
    for k, folder in enumerate(folders, 1):
        target = os.path.join(out, os.path.basename(folder)) if args.out else folder
        print("== %s" % shown(folder))
        files = collect_files([folder])
        prepare_folder(target)
        frame_rows = summary.FrameRows(target)
        try:
            runs, loaded = load(files, frame_rows)
            if runs is None:
                return loaded
            for i, run in enumerate(runs):
                before = len(args.junit_cases)
                status = max(status, report_run(run, target, args,
                                                lambda p, i=i: frame_rows.place(i, p)))
                for case in args.junit_cases[before:]:  # each repeat's cases apart
                    case.classname += " repeat %d" % k
                program = run.program
                ended = said.get(os.path.basename(folder)) or run.context.get("status")
                rows.append((k, ended, run.headline))
                unit = run.program.quantity_unit
        finally:
            frame_rows.discard()
        print()
    counted = [headline for _k, ended, headline in rows if ended == "ok"]
    spread = repeats.spread(counted)
    print("\n".join(repeats.spread_lines(rows, spread, unit)))
    notes = repeats.spread_notes(rows, spread)
    for note in notes:
        say("note: %s" % note)
    left_out = [k for k, ended, _h in rows if ended != "ok"]
    gates = [verdicts.Gate("repeats", bool(left_out) and not args.allow_failed, [
        "%d of %d repeat(s) did not end ok%s" % (
            len(left_out), len(rows), "; reported anyway (--allow-failed)"
            if args.allow_failed else "") if left_out else
        "all %d repeat(s) ended ok" % len(rows)])]
    data = {"repeats": [{"repeat": k, "status": s, "headline": h, "in_spread": s == "ok"}
                        for k, s, h in rows],
            "spread": spread, "notes": notes, "verdict": verdicts.verdict_json(gates)}
    name = os.path.join(out, "summary.json")
    write_in(out, "summary.json", name, lambda f: write_json(f, data))
    print("written: %s" % shown(name))
    print("\n".join(verdicts.verdict_lines(gates)))
    if rows:
        args.junit_cases += junit_cases.gate_cases(program, gates)
    return max(status, 1 if verdicts.overall(gates) == verdicts.FAIL else 0)
