"""A window's process under the user's --wrap command: "apitrace trace -o trace-{window}.trace"
starts window 3 as `apitrace trace -o trace-3.trace PROGRAM`. Every rank starts this first;
it finds its window from the launcher's rank variable and replaces itself with the wrapped
program (rank 0, the console, runs the program as it is)."""

import os
import shlex
import socket
import sys

from .processes import launcher_rank

MISSING = 127  # the shell's status for a command that cannot be found


def wrapped(template, window, host, program):
    """The command line of one window: the template split as a shell would, {window} and
    {host} replaced in each word, then the program and its arguments."""
    words = [w.replace("{window}", str(window)).replace("{host}", host)
             for w in shlex.split(template)]
    return words + list(program)


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if len(argv) < 2:
        print("bench-wrap: usage: bench-wrap TEMPLATE PROGRAM [ARGS...]", file=sys.stderr)
        return 2
    template, program = argv[0], argv[1:]
    window = launcher_rank(os.environ)
    line = program if not window else wrapped(template, window, socket.gethostname(), program)
    try:
        os.execvp(line[0], line)
    except OSError as e:
        print("bench-run: window %s: cannot start the --wrap command %r: %s"
              % (window, line[0], e.strerror), file=sys.stderr, flush=True)
        return MISSING
