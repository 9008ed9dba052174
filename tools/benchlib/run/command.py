"""The bench-run command line: options, signals, messages and exit status."""

import argparse
import math
import os
import shlex
import signal
import sys

from ..ending import silence_stdout
from ..help import complete, one_line_help
from ..hosts.displays import parse_display_list
from ..hosts.limits import MAX_WINDOWS
from ..hosts.machine import raise_file_limit
from ..results.files import MOST_FRAMES
from ..results.layout import PROGRAMS
from . import build, session, signals
from .refusal import Refusal
from .progress import Progress


DAY = 86400.0
MOST_SCREENS = 16   # one a GPU of the largest nodes


def _displays(text):
    """--display :0.0,:0.1 (one X screen a GPU) or :0,:1 (one X server a GPU)."""
    try:
        parse_display_list(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


def _positive(kind, most=None):
    """A number above 0 (and at most `most`); nan and infinity are no numbers here."""
    def convert(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a number: %r" % text) from None
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError("must be a finite number: %r" % text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be more than 0: %r" % text)
        if most is not None and value > most:
            raise argparse.ArgumentTypeError("must be at most %s: %r" % (
                most if isinstance(most, int) else "%g" % most, text))
        return value
    return convert


def build_parser():
    p = argparse.ArgumentParser(
        prog="bench-run", formatter_class=one_line_help,
        description="Run Shardfall or Latticeglow with N windows under MPI, drive them through "
                    "X and collect their results files.",
        epilog="The phases, the refusals before a run starts, run.json and the exit statuses: "
               "docs/tools.md (bench-run); across hosts: docs/cluster.md.")
    p.add_argument("program", choices=sorted(PROGRAMS))
    p.add_argument("windows", type=_positive(int), metavar="N",
                   help="windows (the launcher starts N+1 processes; at most %d)"
                   % MAX_WINDOWS)
    mode = p.add_mutually_exclusive_group(required=True)
    mode.add_argument("--frames", type=_positive(int, MOST_FRAMES), metavar="F",
                      help="exactly F frames per window, stepped one at a time (at most %d)"
                      % MOST_FRAMES)
    mode.add_argument("--seconds", type=_positive(float, 7 * DAY), metavar="S",
                      help="animate every window for S seconds (at most a week)")
    p.add_argument("--repeat", type=_positive(int, 1000), default=1, metavar="K",
                   help="run K times into one folder, a sub-folder per repeat")
    p.add_argument("--repeat-until", type=_positive(float, 100), metavar="CV",
                   help="with --repeat K: stop once 3 or more repeats spread by less than CV %%")
    p.add_argument("--program", dest="program_path", metavar="PATH",
                   help="the program to run (default: the checkout's build, else PATH's)")
    p.add_argument("--build-dir", metavar="DIR", help="a build tree holding <program>/<program>")
    p.add_argument("--mpi", choices=sorted(build.LAUNCHERS),
                   help="the program's MPI library (default: from its build or ldd)")
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("--display", type=_displays, metavar=":N[,...]",
                       help="X displays to deal the windows over instead of an own Xvfb")
    shown.add_argument("--screens", type=_positive(int, MOST_SCREENS), default=1, metavar="N",
                       help="screens of the own Xvfb, the windows dealt over them (default 1)")
    p.add_argument("--depth", type=int, choices=(16, 24, 30),
                   help="colour depth of the own Xvfb (default 24), or that --display must have")
    p.add_argument("--hostfile", metavar="FILE",
                   help="run across the hosts of FILE (in a Slurm allocation: Slurm's hosts)")
    p.add_argument("--launcher-agent", metavar="PATH",
                   help="with --hostfile: what the launcher runs instead of ssh")
    p.add_argument("--out", metavar="DIR",
                   help="output folder, new or empty (default ./runs/<program>-<time>)")
    p.add_argument("--launcher-args", type=shlex.split, default=[], metavar="ARGS",
                   help="options for mpirun/mpiexec, split as a shell would (also after --)")
    p.add_argument("--srun-args", type=shlex.split, default=[], metavar="ARGS",
                   help="in a Slurm allocation: options for srun")
    p.add_argument("--wrap", metavar="\"COMMAND ARGS\"",
                   help="start each window as COMMAND ARGS PROGRAM ({window}, {host} replaced)")
    p.add_argument("--vsync", action="store_true",
                   help="leave sync to the display's refresh to the driver (default: off)")
    p.add_argument("--dry-run", action="store_true",
                   help="print the plan (hosts, windows, displays, launch lines) and stop: "
                        "nothing starts, no folder is made")
    p.add_argument("--tag", metavar="TEXT", help="a label kept in run.json and the history")
    history = p.add_mutually_exclusive_group()
    history.add_argument("--history", metavar="PATH",
                         help="the history to record the run in (default: $BENCH_HISTORY)")
    history.add_argument("--no-history", action="store_true", help="record nothing")
    p.add_argument("--appear-timeout", type=_positive(float, DAY), default=300.0, metavar="S",
                   help="seconds windows may take to appear and initialise (default 300)")
    p.add_argument("--stall-timeout", type=_positive(float, DAY), default=120.0, metavar="S",
                   help="seconds a window may owe a frame (default 120, or 4 frames)")
    p.add_argument("--exit-timeout", type=_positive(float, DAY), default=60.0, metavar="S",
                   help="seconds the launcher may take to end (default 60)")
    return p


def parse(argv):
    """The options; everything after -- goes to the launcher as it is."""
    parser = build_parser()
    complete(parser)
    ours, rest = (argv[:argv.index("--")], argv[argv.index("--") + 1:]) if "--" in argv \
        else (argv, [])
    args = parser.parse_args(ours)
    args.launcher_args = args.launcher_args + rest
    try:
        os.getcwd()
    except OSError as e:
        parser.exit(2, "bench-run: the current directory cannot be read (%s): change to a "
                       "folder that exists\n" % e.strerror)
    return args


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    progress = Progress()
    try:
        signals.install()
        raise_file_limit()  # for the launcher: a few files for every window it starts
        session.run(parse(argv), argv, progress)
        return 0
    except Refusal as e:
        print("bench-run: %s" % e, file=sys.stderr)
        return 2
    except BrokenPipeError:
        silence_stdout()
        return 2
    except session.FAILURES as e:
        _end_line(progress)
        print("bench-run: error: %s" % e, file=sys.stderr)
        return 1
    except (KeyboardInterrupt, signals.Interrupted) as e:
        _end_line(progress)
        signum = getattr(e, "signum", signal.SIGINT)
        folder = getattr(e, "while_recording", None)
        print("bench-run: interrupted (%s); %s" % (
            signal.Signals(signum).name,
            "the run was stopped" if folder is None else
            "the run is complete, but not in the history (bench-history add %s records it)"
            % folder), file=sys.stderr)
        return 128 + signum
    except OSError as e:  # the machine refused something the run needed (a full disk, ...)
        _end_line(progress)
        print("bench-run: error: %s%s" % (e.strerror or e, ": %s" % e.filename
                                          if e.filename else ""), file=sys.stderr)
        return 1
    finally:
        signals.ignore()


def _end_line(progress):
    try:
        progress.end_line()
    except BrokenPipeError:
        silence_stdout()
