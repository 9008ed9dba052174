"""The signals that end a run (Ctrl-C, SIGTERM, SIGHUP), and the clean-up they must not cut
short."""

import signal

ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(Exception):
    def __init__(self, signum):
        super().__init__("interrupted by %s" % signal.Signals(signum).name)
        self.signum = signum


def _raise(signum, _frame):
    raise Interrupted(signum)


def install():
    """Ctrl-C, SIGTERM and SIGHUP stop the run, also when the runner was started with SIGINT
    ignored (as a background job of a script is)."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _raise)
    signal.signal(signal.SIGHUP, _raise)


def ignore():
    for signum in ENDING:
        signal.signal(signum, signal.SIG_IGN)


class HeldDuringCleanUp:
    """From hold() on, an ending signal is noted instead of raised, so that the clean-up runs
    whole; on leaving the block the handlers are back as they were and a signal that came
    meanwhile is raised then (the next repeat of a series does not start)."""

    def __init__(self):
        self.saved = {}
        self.came = None

    def __enter__(self):
        self.saved = {s: signal.getsignal(s) for s in ENDING}
        return self

    def hold(self):
        def note(signum, _frame):
            self.came = self.came or signum
        for signum in ENDING:
            signal.signal(signum, note)

    def release(self):
        """The handlers as they were; a signal that came while held is raised now."""
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)
        came, self.came = self.came, None
        if came:
            raise Interrupted(came)

    def __exit__(self, exc_type, _exc, _tb):
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)
        if self.came and (exc_type is None or not issubclass(
                exc_type, (Interrupted, KeyboardInterrupt))):
            raise Interrupted(self.came)
        return False
