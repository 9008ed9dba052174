"""The bench-run command line: options, signals, messages and exit status."""

import argparse
import math
import os
import shlex
import signal
import sys

from ..hosts.limits import Refusal
from ..results.files import MOST_FRAMES
from ..results.layout import PROGRAMS
from . import build, preflight, repeats, session
from .progress import Progress


DAY = 86400.0


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
        prog="bench-run", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Run Shardfall or Latticeglow with N windows under MPI and collect their "
                    "results files.", epilog=session.__doc__.split("\n", 2)[2])
    p.add_argument("program", choices=sorted(PROGRAMS))
    p.add_argument("windows", type=_positive(int), metavar="N",
                   help="number of windows (the launcher starts N+1 processes; at most %d)"
                   % preflight.MAX_WINDOWS)
    mode = p.add_mutually_exclusive_group(required=True)
    mode.add_argument("--frames", type=_positive(int, MOST_FRAMES), metavar="F",
                      help="exactly F frames per window, stepped one at a time (at most %d, "
                           "the most a results file is read with)" % MOST_FRAMES)
    mode.add_argument("--seconds", type=_positive(float, 7 * DAY), metavar="S",
                      help="animate for S seconds (at most a week), counted from the moment "
                           "every window has drawn a frame since it was told to animate, "
                           "then end every window")
    p.add_argument("--repeat", type=_positive(int, 1000), default=1, metavar="K",
                   help="run K times back to back (fresh processes, the same display and "
                        "hosts) into one folder with a sub-folder per repeat")
    p.add_argument("--program", dest="program_path", metavar="PATH",
                   help="the program to run, e.g. an installed one (default: the checkout's "
                        "build/default, else the program found on PATH)")
    p.add_argument("--build-dir", metavar="DIR",
                   help="build tree holding <program>/<program> (default: build/default in "
                        "the checkout these tools are in; installed tools run the program on "
                        "PATH)")
    p.add_argument("--mpi", choices=sorted(build.LAUNCHERS),
                   help="MPI library, which must be the one the program uses "
                        "(default: the build's CMakeCache.txt, else the program's ldd)")
    p.add_argument("--display", metavar=":N",
                   help="use this X display instead of starting an Xvfb; its screen must "
                        "hold 1440 + 100 x N pixels square")
    p.add_argument("--depth", type=int, choices=(16, 24, 30),
                   help="colour depth of the runner's Xvfb (default 24); with --display, "
                        "the depth the display must have")
    p.add_argument("--hostfile", metavar="FILE",
                   help="run across the hosts of FILE, in the syntax of the build's MPI "
                        "(OpenMPI: 'node1 slots=2', MPICH: 'node1:2'); inside a Slurm "
                        "allocation the hosts come from Slurm and srun starts the ranks")
    p.add_argument("--launcher-agent", metavar="PATH",
                   help="with --hostfile: the command OpenMPI or MPICH's hydra uses instead "
                        "of ssh to reach the hosts")
    p.add_argument("--out", metavar="DIR",
                   help="output folder, new or empty (default: ./runs/<program>-<time>)")
    p.add_argument("--launcher-args", type=shlex.split, default=[], metavar="ARGS",
                   help="options for mpirun/mpiexec, passed on as they are (one string, split "
                        "as a shell would, e.g. \"--bind-to core --map-by core\"); so is "
                        "everything after --")
    p.add_argument("--srun-args", type=shlex.split, default=[], metavar="ARGS",
                   help="inside a Slurm allocation: options for srun, passed on as they are")
    history = p.add_mutually_exclusive_group()
    history.add_argument("--history", metavar="PATH",
                         help="record the run in this history database (default: "
                              "$BENCH_HISTORY, else the user's data folder; see bench-history)")
    history.add_argument("--no-history", action="store_true",
                         help="record nothing in the run history")
    p.add_argument("--appear-timeout", type=_positive(float, DAY), default=300.0, metavar="S",
                   help="how long the windows may take to appear and to initialise "
                        "(default 300, at most a day)")
    p.add_argument("--stall-timeout", type=_positive(float, DAY), default=120.0, metavar="S",
                   help="how long a window may go without reporting a frame it owes; four "
                        "times its longest frame so far when that is longer (default 120, at "
                        "most a day)")
    p.add_argument("--exit-timeout", type=_positive(float, DAY), default=60.0, metavar="S",
                   help="how long the launcher may take to end after the last window "
                        "(default 60, at most a day)")
    return p


def parse(argv):
    """The options; everything after -- goes to the launcher as it is."""
    parser = build_parser()
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


def _silence_stdout():
    """After the reader of standard output went away: nothing more goes there, and the
    interpreter's last flush must not complain either."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    progress = Progress()

    def on_signal(signum, _frame):
        raise session.Interrupted(signum)

    try:
        # Ctrl-C stops the run even when the runner was started with SIGINT ignored (as a
        # background job of a script is).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, on_signal)
        signal.signal(signal.SIGHUP, on_signal)
        args = parse(argv)
        (repeats.run_repeats if args.repeat > 1 else session.run)(args, argv, progress)
        return 0
    except Refusal as e:
        print("bench-run: %s" % e, file=sys.stderr)
        return 2
    except BrokenPipeError:
        _silence_stdout()
        return 2
    except (session.RunError,) + session.FAILURES as e:
        _end_line(progress)
        print("bench-run: error: %s" % e, file=sys.stderr)
        return 1
    except (KeyboardInterrupt, session.Interrupted) as e:
        _end_line(progress)
        signum = getattr(e, "signum", signal.SIGINT)
        print("bench-run: interrupted (%s); the run was stopped"
              % signal.Signals(signum).name, file=sys.stderr)
        return 128 + signum
    except OSError as e:  # the machine refused something the run needed (a full disk, ...)
        _end_line(progress)
        print("bench-run: error: %s%s" % (e.strerror or e, ": %s" % e.filename
                                          if e.filename else ""), file=sys.stderr)
        return 1
    finally:
        session.ignore_signals()


def _end_line(progress):
    try:
        progress.end_line()
    except BrokenPipeError:
        _silence_stdout()
