"""A window's process as bench-run starts it on every host: on the display dealt to it when
the host has several (one X screen or X server a GPU), and under the user's --wrap command
("apitrace trace -o trace-{window}.trace" starts window 3 as `apitrace trace -o
trace-3.trace PROGRAM`). Every rank starts this first; it finds its window from the
launcher's rank variable and replaces itself with the program (rank 0, the console, runs the
program as it is)."""

import argparse
import os
import re
import shlex
import socket
import sys

from .displays import deal_windows
from .processes import launcher_rank

MISSING = 127  # the shell's status for a command that cannot be found


def wrapped(template, window, host, program):
    """The command line of one window: the template split as a shell would, {window} and
    {host} replaced in each word, then the program and its arguments."""
    words = [w.replace("{window}", str(window)).replace("{host}", host)
             for w in shlex.split(template)]
    return words + list(program)


def host_ranges(windows_by_host):
    """The text of --ranges: each host's windows as first-last (they are consecutive ranks)."""
    return ",".join("%d-%d" % (min(w), max(w)) for w in windows_by_host if w)


def host_windows(window, ranges):
    """The windows of the window's host (--ranges "1-4,5-8": window 6 is among 5 to 8)."""
    for part in ranges.split(","):
        first, _, last = part.partition("-")
        if part and int(first) <= window <= int(last):
            return list(range(int(first), int(last) + 1))
    return [window]


def display_for(window, ranges, displays=None, screens=1, current=None):
    """The display of a window, dealt as its host deals them: its turn of the --displays
    list, or of the screens of the display it was given (":5" -> ":5.1")."""
    if displays:
        names = displays.split(",")
    elif screens > 1 and current:
        names = [re.sub(r"(\.\d+)?$", ".%d" % s, current, count=1) for s in range(screens)]
    else:
        return current
    return deal_windows(host_windows(window, ranges), names)[window]


def build_parser():
    p = argparse.ArgumentParser(
        prog="bench-wrap",
        description="Start one window's process of a bench-run under the user's --wrap "
                    "command, on its display (started by bench-run itself, as every rank's "
                    "program).")
    p.add_argument("--wrap", metavar="COMMAND",
                   help="bench-run's --wrap: the command the program starts under")
    p.add_argument("--displays", metavar="LIST",
                   help="bench-run's --display list: the windows take its displays in turn")
    p.add_argument("--screens", type=int, default=1, metavar="N",
                   help="the screens of the display given, which the windows take in turn")
    p.add_argument("--ranges", default="", metavar="RANGES",
                   help="each host's windows as FIRST-LAST,...: a window's place among "
                        "its host's picks its display")
    p.add_argument("program", nargs=argparse.REMAINDER, help="the program and its arguments")
    return p


def parse(argv):
    p = build_parser()
    args = p.parse_args(argv)
    if args.program[:1] == ["--"]:
        args.program = args.program[1:]
    if not args.program:
        p.error("no program to start")
    return args


def main(argv=None):
    args = parse(list(sys.argv[1:] if argv is None else argv))
    window = launcher_rank(os.environ)
    line = args.program
    if window:
        display = display_for(window, args.ranges, args.displays, args.screens,
                              os.environ.get("DISPLAY"))
        if display:
            os.environ["DISPLAY"] = display
        if args.wrap:
            line = wrapped(args.wrap, window, socket.gethostname(), args.program)
    try:
        os.execvp(line[0], line)
    except OSError as e:
        print("bench-run: window %s: cannot start %r%s: %s"
              % (window, line[0], " (its --wrap command)" if args.wrap and window else "",
                 e.strerror), file=sys.stderr, flush=True)
        return MISSING
