"""bench-report: a run's frames, summaries, checks, verdict and plots; or two runs compared.
What it writes, the window states, the gates and the noise tests: docs/tools.md."""

import argparse
import math
import os
import time

from ..ending import exit_status
from ..help import complete, one_line_help
from ..results.files import shown, write_json
from ..results.reference import ReferenceError, read_reference
from ..results.runs import UsageError, collect_files
from ..results.texts import inert_console
from . import compare, junit_cases, repeats, summary, table
from .html_comparison import write_comparison_report
from .output import OutputError, prepare_folder, write_in
from .run_report import NAME, load, main_repeats, output_folder, report_runs, say


def main_report(args):
    folders = repeats.repeat_folders(args.paths[0]) if len(args.paths) == 1 else []
    if folders:
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
    started = time.perf_counter()
    comparison = compare.compare_runs(run_a, run_b, repeats_a=repeats_a, repeats_b=repeats_b)
    judged_in = time.perf_counter() - started
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
        say("note: %s" % note)
    print("written: %s" % ", ".join(map(shown, names)))
    if comparison.slow_b and args.fail_above is None:
        print("verdict: %s" % comparison.verdict)
    args.junit_cases += junit_cases.comparison_cases(comparison, args.fail_above, judged_in)
    args.junit_properties = junit_cases.run_properties(run_a, "A ") + \
        junit_cases.run_properties(run_b, "B ")
    if args.fail_above is not None:
        status, line = comparison.gate(args.fail_above)
        print(line)
        return status
    return 0


def build_parser(prog=NAME):
    p = argparse.ArgumentParser(
        prog=prog, formatter_class=one_line_help,
        description="Summarise the results files of a Shardfall or Latticeglow run (frames.csv, "
                    "summary.json, plots, report.html, a table and the verdict), or compare "
                    "two runs.",
        epilog="What it writes, the window states, the gates, the noise tests and the exit "
               "statuses: docs/tools.md (bench-report, Comparing runs).")
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
                   help="for a run across hosts, exit 1 if a host is named SLOWER than "
                        "the fleet's normal hosts by more than PCT per cent, or the hosts "
                        "split into groups with no majority; where hosts used several "
                        "displays, the same of the displays; when comparing, B's slow hosts "
                        "and displays are in the verdict")
    p.add_argument("--fail-mixed", action="store_true",
                   help="exit 1 if hosts disagree on renderer, GL version, driver, GPU "
                        "driver, CPU model, cores, MPI library or rendering variables")
    p.add_argument("--expect-renderer", metavar="PATTERN",
                   help="exit 1 if a host renders with a renderer that does not match PATTERN "
                        "(a shell pattern, e.g. 'llvmpipe*')")
    p.add_argument("--reference", metavar="FILE",
                   help="judge the run and each host against the reference rates in FILE "
                        "(TOML, see docs/tools.md)")
    p.add_argument("--fail-reference", action="store_true",
                   help="with --reference, exit 1 if the run or a host is outside its "
                        "reference's tolerance, or no reference covers it")
    p.add_argument("--allow-failed", action="store_true",
                   help="report a run whose run.json says it failed or was interrupted "
                        "without failing the verdict for it (the report still says so)")
    p.add_argument("--fail-above", type=float, metavar="PCT",
                   help="when comparing, exit 1 if the headline fell significantly by more "
                        "than PCT per cent")
    p.add_argument("--junit", metavar="FILE",
                   help="also write the verdicts as JUnit XML for a CI: a case per window, "
                        "per host verdict and the comparison's gate")
    return p


def write_junit_file(path, cases, properties):
    from ..results.junit import write_junit
    try:
        write_junit(path, NAME, cases, properties)
    except OSError as e:
        raise OutputError("cannot write %s: %s" % (shown(path), e.strerror or e)) from None
    print("written: %s" % shown(path))


def _comparing(args):
    if args.compare or args.fail_above is not None:
        return True
    return len(args.paths) == 2 and all(os.path.isdir(p) for p in args.paths) and \
        os.path.realpath(args.paths[0]) != os.path.realpath(args.paths[1])


@inert_console
def main(argv=None, prog=NAME):
    parser = build_parser(prog)
    complete(parser)
    args = parser.parse_args(argv)
    for name in ("fail_above", "fail_slow_host"):
        value = getattr(args, name)
        if value is not None and not 0 <= value < math.inf:
            build_parser(prog).error("--%s takes a percentage of 0 or more"
                                     % name.replace("_", "-"))
    if args.fail_reference and not args.reference:
        build_parser(prog).error("--fail-reference needs --reference FILE")
    one_run = [name for name, value in (("--reference", args.reference),
                                        ("--fail-mixed", args.fail_mixed),
                                        ("--expect-renderer", args.expect_renderer)) if value]
    if one_run and _comparing(args):
        build_parser(prog).error("%s: for one run's report, not a comparison" % ", ".join(one_run))

    args.junit_cases, args.junit_properties = [], []

    def body():
        args.reference_entries = read_reference(args.reference) if args.reference else None
        status = main_compare(args) if _comparing(args) else main_report(args)
        if args.junit and args.junit_cases:
            write_junit_file(args.junit, args.junit_cases, args.junit_properties)
        return status
    return exit_status(NAME, body, (UsageError, OutputError, ReferenceError))
