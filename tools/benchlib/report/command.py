"""bench-report: a run's frames, summaries, checks and plots; or two runs compared.

Outputs of a report (in the run folder or --out)
------------------------------------------------
frames.csv     one row per frame: window, host, frame, frame_time_s, angle_rate (1/s),
               quantity (triangles or vertices per frame), quantity_rate (triangles/s or
               vertices/s); values as the results file prints them
summary.json   the run's context (from run.json), per window: state, initialisation time,
               frames, total time, the file's averages, the recomputed ones, whether they
               agree, frame time min/median/p95/max, notes and errors; per host and across
               windows: frames, time, workload rate, the headline and the slowest window.
               JSON has no nan or infinity: they are written as "nan", "inf" and "-inf".
frame_time.png and triangle_rate.png (Shardfall) or vertex_rate.png (Latticeglow),
               800x500 pixels, the run's context as subtitle.
report.html    the report in one self-contained page: the context, the table of windows
               and hosts, the plots as inline SVG (left out with --no-plots); readable
               offline and when mailed.

Files are grouped into runs by the start time in their names; files of several runs (or of
both programs) are reported apart, each in a folder of its own under the output folder.

Headline and slowest window
---------------------------
The headline is the workload rate summed over the windows: for each window, its triangles
(or vertices) of all reported frames divided by its total running time, added up. The
slowest window is the one with the lowest such rate. Angle rates are not summed: window w
draws w times the work per angle step, so angles/s do not compare across windows.

Window state
------------
ok; no summary (the file stops before it); NO FRAMES; MISMATCH (a summary or frame
disagrees with the frames); INCOMPLETE FILE (the run says a write to the file failed:
run.json's results_file_states or the console.log line); NOT CREATED.

Comparing two runs
------------------
bench-report A B with two run folders (or --compare) puts the runs side by side: per
window and in total, the workload rate, median and p95 frame time and the initialisation
time, each with its change in per cent. Noise test: the two-sided Wilcoxon signed-rank test
of the paired frames of equal work (Mann-Whitney U where a window has none; Welch's t-test
of the repeats' headlines for the total of runs repeated 3 times or more); a change is
significant when p < 0.05. --fail-above PCT exits with status 1 when the headline fell by
more than PCT per cent and the fall is significant (the total decides; windows are shown),
and says CANNOT TELL (status 0) when a side's repeats spread over more than the change.
Writes comparison.json, comparison.png and report.html into --out (default: B's folder).
--junit FILE writes the verdicts as JUnit XML too (a case per window, per host verdict, and
the comparison).

How the file's summary is checked against its frames
----------------------------------------------------
Every number in a results file is printed with six significant digits, so a printed value
v stands for any value within half a unit of its sixth digit. The bounds are carried
through the arithmetic as intervals (the allowed difference of a total grows with the
number of frames); a printed value agrees when its own interval overlaps the recomputed
one. Latticeglow does not print its vertices per frame; they follow from each frame's
vertex rate times its frame time, and all frames have to agree on one count.

Exit status: 0 when every file is well formed and agrees with itself (a file cut short is
accepted and noted); 1 when a file is rejected (nothing is written then), a summary or
frame disagrees, or --fail-above finds a regression; 2 for a bad command line, no results
files, runs that cannot be compared, an output place that cannot be written, or a closed
output pipe.
"""

import argparse
import contextlib
import math
import os
import sys

from ..results.files import shown, write_json
from ..results.runs import UsageError, collect_files, load_runs
from . import compare, junit_cases, repeats, slow_hosts, summary, table
from .html_report import write_comparison_report, write_run_report
from .output import OutputError, prepare_folder, write_in

NAME = "bench-report"


def _say(message):
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
            _say("error: %s" % message)
        _say("%d of %d file(s) rejected; nothing written" % (len(failures), len(files)))
        return None, 1
    return runs, 0


def report_run(run, out_dir, args, place_frames, made_here=False):
    """One run's outputs and console report; returns its exit status."""
    from .plots import write_plots
    prepare_folder(out_dir, made_here)
    verdicts = slow_hosts.host_verdicts(run) if len(run.hosts()) > 1 else None
    names = [os.path.join(out_dir, n) for n in ("frames.csv", "summary.json")]
    try:
        place_frames(names[0])
    except OSError as e:
        raise OutputError("cannot write frames.csv in %s: %s"
                          % (shown(out_dir), e.strerror or e)) from None
    data = summary.summary_data(run, verdicts)
    write_in(out_dir, "summary.json", names[1],
             lambda f: write_json(f, data))
    svgs = None if args.no_plots else {}  # the plots as SVG text, for report.html
    if not args.no_plots:
        names += write_plots(run, out_dir, svgs)
    names.append(write_run_report(run, out_dir, svgs, data))
    print("\n".join(table.context_lines(run)))
    print(table.format_table(run))
    print("\n".join(table.headline_lines(run)))
    if verdicts is not None:
        print("\n".join(slow_hosts.verdict_lines(*verdicts)))
    for r in run.reports:
        if r.file.window is not None and r.window != r.file.window:
            _say("warning: %s: the name says window %d, the file says window %d"
                 % (shown(r.file.path), r.window, r.file.window))
        for note in r.file.notes:
            _say("note: %s: %s" % (shown(r.file.path), note))
        if r.state not in ("ok", "MISMATCH"):
            detail = r.file_state.get("error") if r.incomplete and r.file_state else None
            _say("note: window %s is not ok: %s%s" % (r.window, r.state,
                                                      " (%s)" % detail if detail else ""))
    for note in run.notes:
        _say("note: %s" % note)
    for a in run.absent:
        _say("note: window %d: results file %s%s" % (a["window"], a["state"],
                                                     " (%s)" % a["error"] if a.get("error")
                                                     else ""))
    print("written: %s" % ", ".join(map(shown, names)))
    errors = [e for r in run.reports for e in r.errors]
    for e in errors:
        _say("error: %s" % e)
    status = 1 if errors else 0
    args.junit_cases += junit_cases.run_cases(run, verdicts, args.fail_slow_host)
    if args.fail_slow_host is not None and verdicts is not None:
        slow = slow_hosts.slower_than(verdicts[0], args.fail_slow_host)
        if slow:
            print("SLOW HOST beyond %g%%: %s" % (args.fail_slow_host, ", ".join(
                "%s (%+.1f%%)" % (v.host, v.gap_percent) for v in slow)))
            status = 1
        else:
            print("no host significantly slower than the median host by more than %g%%"
                  % args.fail_slow_host)
    return status


def main_report(args):
    folders = repeats.repeat_folders(args.paths[0]) if len(args.paths) == 1 else []
    if folders and not args.out:
        return main_repeats(args, args.paths[0], folders)
    files = collect_files(args.paths)
    out_dir = output_folder(args.paths, files, args.out)
    made = not os.path.lexists(out_dir)
    prepare_folder(out_dir)
    rows = summary.FrameRows(out_dir)  # frames.csv, written as the files are read
    try:
        return report_runs(args, files, out_dir, rows, made)
    finally:
        rows.discard()


def report_runs(args, files, out_dir, rows, made):
    runs, status = load(files, rows)
    if runs is None:
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(out_dir)
        return status
    if len(runs) > 1:
        _say("note: the files hold %d runs, each reported apart in a folder of its own: %s"
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


def _one_run(path):
    """(run, headlines of its repeats or None, status) of one side of a comparison."""
    folders = repeats.repeat_folders(path)
    if folders:
        runs = []
        for folder in folders:
            run, _headlines, status = _one_run(folder)
            if run is None:
                return None, None, status
            runs.append(run)
        return repeats.merged_run(runs), [r.headline for r in runs], 0
    runs, status = load(collect_files([path]))
    if runs is None:
        return None, None, status
    if len(runs) != 1:
        raise UsageError("%s holds %d runs, compare one with one: %s"
                         % (shown(path), len(runs), "; ".join(r.label for r in runs)))
    return runs[0], None, 0


def main_repeats(args, path, folders):
    """A repeated run: each repeat reported in its own folder, then the repeats' headlines and
    their spread."""
    status, rows = 0, []
    said = repeats.statuses(path)
    for k, folder in enumerate(folders, 1):
        print("== %s" % shown(folder))
        files = collect_files([folder])
        frame_rows = summary.FrameRows(folder)
        try:
            runs, loaded = load(files, frame_rows)
            if runs is None:
                return loaded
            for i, run in enumerate(runs):
                status = max(status, report_run(run, folder, args,
                                                lambda p, i=i: frame_rows.place(i, p)))
                rows.append((k, said.get(os.path.basename(folder)), run.headline))
        finally:
            frame_rows.discard()
        print()
    spread = repeats.spread([headline for _k, _s, headline in rows])
    unit = runs[0].program.quantity_unit if rows else ""
    print("\n".join(repeats.spread_lines(rows, spread, unit)))
    if spread["range_percent"] is not None:
        _say("note: the repeats' headlines spread over %.1f%% of their median: a comparison "
             "cannot tell a smaller change from run-to-run noise" % spread["range_percent"])
    data = {"repeats": [{"repeat": k, "status": s, "headline": h} for k, s, h in rows],
            "spread": spread}
    name = os.path.join(path, "summary.json")
    write_in(path, "summary.json", name, lambda f: write_json(f, data))
    print("written: %s" % shown(name))
    return status


def main_compare(args):
    if len(args.paths) != 2:
        raise UsageError("comparing takes two runs (A B), not %d" % len(args.paths))
    if os.path.realpath(args.paths[0]) == os.path.realpath(args.paths[1]):
        raise UsageError("A and B are the same run (%s): compare two runs"
                         % shown(args.paths[0]))
    run_a, repeats_a, status = _one_run(args.paths[0])
    if run_a is None:
        return status
    run_b, repeats_b, status = _one_run(args.paths[1])
    if run_b is None:
        return status
    same_id = run_a.context.get("run_id")
    if same_id and same_id == run_b.context.get("run_id"):
        raise UsageError("A and B are the same run (run id %s): compare two runs" % same_id)
    if run_a.program is not run_b.program:
        raise UsageError("A is a %s run and B a %s run: only runs of one program compare"
                         % (run_a.program.name, run_b.program.name))
    b = args.paths[1]
    out_dir = args.out or (b if os.path.isdir(b) else os.path.dirname(os.path.abspath(b)))
    comparison = compare.compare_runs(run_a, run_b, repeats_a=repeats_a, repeats_b=repeats_b)
    prepare_folder(out_dir)
    json_path = os.path.join(out_dir, "comparison.json")
    names = [json_path]
    write_in(out_dir, "comparison.json", json_path,
             lambda f: write_json(f, compare.comparison_data(comparison, args.fail_above)))
    svgs = None if args.no_plots else {}  # the plot as SVG text, for report.html
    if not args.no_plots:
        from .plots import write_comparison_plot
        names.append(write_comparison_plot(comparison, os.path.join(out_dir, "comparison.png"),
                                           svgs))
    names.append(write_comparison_report(comparison, args.fail_above, out_dir, svgs))
    for tag, run, path in (("A", run_a, args.paths[0]), ("B", run_b, args.paths[1])):
        lines = table.context_lines(run)
        print("%s: %s  [%s]" % (tag, lines[0], shown(path)))
        for line in lines[1:]:
            print("   " + line.strip())
    print("noise test: %s" % compare.NOISE_TEST)
    print(compare.format_comparison(comparison))
    for note in comparison.notes:
        _say("note: %s" % note)
    print("written: %s" % ", ".join(map(shown, names)))
    args.junit_cases += junit_cases.comparison_cases(comparison, args.fail_above)
    if args.fail_above is not None:
        status, line = comparison.gate(args.fail_above)
        print(line)
        return status
    return 0


def build_parser(prog=NAME):
    p = argparse.ArgumentParser(
        prog=prog, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Summarise the results files of a Shardfall or Latticeglow run (frames.csv, "
                    "summary.json, PNG plots, a table, a check of each file's summary against "
                    "its frames), or compare two runs.",
        epilog=__doc__.split("\n", 2)[2])
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="a run folder (all results_*.txt in it) or results files; two run "
                        "folders are compared")
    p.add_argument("--out", metavar="DIR",
                   help="where to write the outputs (default: the run folder; when comparing, "
                        "B's folder)")
    p.add_argument("--no-plots", action="store_true",
                   help="do not draw the plots (PNG files, and in report.html)")
    p.add_argument("--compare", action="store_true",
                   help="compare the two runs given (implied by two folders)")
    p.add_argument("--fail-slow-host", type=float, metavar="PCT",
                   help="for a run across hosts, exit 1 if a host's workload rate is "
                        "significantly below the median host's by more than PCT per cent")
    p.add_argument("--fail-above", type=float, metavar="PCT",
                   help="when comparing, exit 1 if the headline fell significantly by more "
                        "than PCT per cent")
    p.add_argument("--junit", metavar="FILE",
                   help="also write the verdicts as JUnit XML for a CI: a case per window, "
                        "per host verdict and the comparison's gate")
    return p


def write_junit_file(path, cases):
    from ..results.junit import write_junit
    try:
        write_junit(path, NAME, cases)
    except OSError as e:
        raise OutputError("cannot write %s: %s" % (shown(path), e.strerror or e)) from None
    print("written: %s" % shown(path))


def _comparing(args):
    if args.compare or args.fail_above is not None:
        return True
    return len(args.paths) == 2 and all(os.path.isdir(p) for p in args.paths) and \
        os.path.realpath(args.paths[0]) != os.path.realpath(args.paths[1])


def main(argv=None, prog=NAME):
    args = build_parser(prog).parse_args(argv)
    for name in ("fail_above", "fail_slow_host"):
        value = getattr(args, name)
        if value is not None and not 0 <= value < math.inf:
            build_parser(prog).error("--%s takes a percentage of 0 or more"
                                     % name.replace("_", "-"))
    args.junit_cases = []
    try:
        try:
            status = main_compare(args) if _comparing(args) else main_report(args)
            if args.junit and args.junit_cases:
                write_junit_file(args.junit, args.junit_cases)
            sys.stdout.flush()
            return status
        except (UsageError, OutputError) as e:
            _say(str(e))
            return 2
    except BrokenPipeError:
        # The reader went away (`bench-report ... | head`): nothing more to say to it.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return 2
    except OSError as e:  # standard output itself failed (a full disk, say)
        _say("cannot write to standard output: %s" % (e.strerror or e))
        return 2
