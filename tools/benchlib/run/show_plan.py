"""The plan in words: the line a run starts with, and what --dry-run prints."""

import shlex

from ..hosts import placement
from .plan import launch_line
from .series import repeat_folder


def mode_words(args):
    return ("%d frame(s) per window" % args.frames if args.frames is not None
            else "%g s of animation" % args.seconds)


def start_line(plan, display, folder):
    """The run's first line on the console (display: the one the launcher names)."""
    a = plan.args
    launcher = launch_line(plan, folder)[0]
    if plan.across:
        where = "on %s" % ", ".join("%s (%s)" % (h.name, placement.span(h.windows) or "console")
                                    for h in plan.hosts)
        shown = ("display %s" % ",".join(plan.displays) if plan.displays else
                 "own Xvfb on each host (depth %d)" % plan.depth)
        return "%s: %d window(s) %s, %s, %s launcher %s, %s, output %s" % (
            a.program, a.windows, where, mode_words(a), plan.mpi, launcher, shown, folder)
    return "%s: %d window(s), %s, %s launcher %s, display %s%s, output %s" % (
        a.program, a.windows, mode_words(a), plan.mpi, launcher, display,
        " (own Xvfb, depth %d)" % plan.depth if plan.own_display else "", folder)


def host_words(plan, host):
    """Where a host's windows go."""
    if not host.windows:
        return "the console only"
    windows = "window(s) %s" % placement.span(host.windows)
    if plan.displays:
        each = len(host.windows) / len(plan.displays)
        return "%s dealt in turn over %s (%s a display)" % (
            windows, ", ".join(plan.displays), "%g" % each if each < 2 else "%d" % each)
    screens = plan.args.screens
    return "%s on an Xvfb of its own: %d screen(s) of %dx%d at depth %d (%.0f MB)" % (
        windows, screens, host.screen, host.screen, plan.depth, host.xvfb_bytes / 1e6)


def run_folders(plan):
    if plan.args.repeat == 1:
        return [plan.out]
    return [repeat_folder(plan.out, k) for k in range(1, plan.args.repeat + 1)]


def show_plan(plan, out):
    """What a run would do, with nothing started and no folder made."""
    a = plan.args
    out.write("dry run: nothing is started and no folder is made\n")
    out.write("program: %s (%s, launcher %s)\n" % (plan.program_path, plan.mpi, plan.launcher))
    out.write("windows: %d, %s%s\n" % (a.windows, mode_words(a), ", %d repeats" % a.repeat
                                       if a.repeat > 1 else ""))
    for host in plan.hosts:
        out.write("host %s: %s\n" % (host.name, host_words(plan, host)))
    if plan.across:
        out.write("agents: one bench-agent a host, started by %s before the run\n"
                  % ("srun" if plan.slurm else plan.launcher))
    out.write("output: %s\n" % plan.out)
    for folder in run_folders(plan):
        out.write("launch%s: %s\n" % ("" if folder == plan.out else " into " + folder,
                                      shlex.join(launch_line(plan, folder))))
