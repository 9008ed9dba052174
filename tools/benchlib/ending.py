"""How bench-report, bench-compare and bench-history end: the command's own status, 2 with
one line for what it refuses, and 2 when standard output is closed or fails."""

import os
import sys


def silence_stdout():
    """After the reader of standard output went away (`... | head`): nothing more goes to
    it, and the interpreter's last flush into the closed pipe must not complain either."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except OSError:
        pass


def exit_status(name, body, refusals):
    """Runs body() and returns its status; an exception of the classes `refusals` is said in
    one line and ends with status 2, as does standard output that fails or was closed."""
    try:
        try:
            status = body()
            sys.stdout.flush()
            return status
        except refusals as e:
            print("%s: %s" % (name, e), file=sys.stderr)
            return 2
    except BrokenPipeError:
        silence_stdout()
        return 2
    except OSError as e:  # standard output itself failed (a full disk, say)
        print("%s: cannot write to standard output: %s" % (name, e.strerror or e),
              file=sys.stderr)
        return 2
