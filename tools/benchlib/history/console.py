"""What bench-history's commands share on the console: its name, a refusal, a line on
standard error, and outside texts made inert for a terminal."""

import sys

NAME = "bench-history"


class HistoryRefusal(Exception):
    """Nothing to do: one line on standard error, status 2."""


def say(message):
    print("%s: %s" % (NAME, message), file=sys.stderr)


def shown(text):
    """An outside text made inert for a terminal: control characters (escape sequences
    included) and bidirectional controls as \\x.. or \\u...."""
    return "".join(c if c.isprintable() else
                   ("\\x%02x" % ord(c) if ord(c) < 256 else "\\u%04x" % ord(c))
                   for c in str(text))
