"""Client-side bounds on a conversation with a history server.

A server may take the login and then answer nothing (its backend stopped, a network that
drops packets one way): its own statement_timeout never fires then, and TCP keepalives go on
being answered by its kernel. So the client keeps its own clock: within `bounded(seconds)`,
SIGALRM breaks off whatever psycopg waits for (it waits in Python, in short slices) with
NoAnswer. Bounds nest: the inner one never outlasts the outer.

An ending signal (SIGTERM, SIGINT, SIGHUP) whose handler is a Python function is still passed
to that handler; when the handler only notes it (as bench-run does while it cleans up) the wait
is broken off with Interrupted, so that no server holds a process that was asked to end.

Only the main thread can own signals: elsewhere the bounds are the server's own.
"""

import contextlib
import signal
import threading
import time

ENDING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


class NoAnswer(Exception):
    """The server did not answer within the bound."""


class Interrupted(Exception):
    def __init__(self, signum, what):
        super().__init__("%s: interrupted by %s" % (what, signal.Signals(signum).name))
        self.signum = signum


_deadlines = []  # (monotonic deadline, what waits, its seconds), outermost first


def _alarm(_signum, _frame):
    if not _deadlines:
        return  # came as the last bound ended
    _deadline, what, seconds = _deadlines[-1]
    raise NoAnswer("%s: no answer within %g s" % (what, seconds))


def _breaking(handler):
    def on_signal(signum, frame):
        handler(signum, frame)
        raise Interrupted(signum, _deadlines[-1][1] if _deadlines else "the history server")
    return on_signal


def _arm():
    left = _deadlines[-1][0] - time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, max(left, 0.001))


@contextlib.contextmanager
def bounded(seconds, what):
    """Within the block, the wait for a server ends after `seconds` (NoAnswer) or on an
    ending signal (Interrupted, or the exception the signal's own handler raises)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    outermost = not _deadlines
    deadline = time.monotonic() + seconds
    if _deadlines and _deadlines[-1][0] < deadline:
        deadline, what, seconds = _deadlines[-1]
    saved = {}
    if outermost:
        saved[signal.SIGALRM] = signal.signal(signal.SIGALRM, _alarm)
        for signum in ENDING:
            handler = signal.getsignal(signum)
            if callable(handler):
                saved[signum] = signal.signal(signum, _breaking(handler))
    _deadlines.append((deadline, what, seconds))
    try:
        _arm()
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        _deadlines.pop()
        if _deadlines:
            _arm()
        for signum, handler in saved.items():
            signal.signal(signum, handler)
