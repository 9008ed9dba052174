"""The hosts of a run as the runner sees them: one phase at a time, every host together.

A run on this machine has one host, served in the runner's own process (LocalFleet, in
local_fleet.py); a run across hosts has one bench-agent per host, started through the same
launcher as the benchmark, that connects back over TCP (AgentFleet, in remote_fleet.py). Both
say what their hosts are
(gather_facts), open their displays for a run (open; repeats reuse them), take the same
orders (start, step, animate, end), report the same window state and are checked by the same
check(fleet), so a run goes through one set of phases whatever its hosts. The runner only
waits on the agents' connections, the launcher and its own display (select with a timeout),
so that it takes next to no CPU from the windows.
"""

import time

from . import progress as P

TICK = 0.5
# The phase a host is in while it carries out each order.
PHASES = {"start": "waiting for windows", "step": "stepping", "animate": "starting to animate",
          "animate_for": "animating", "end": "ending"}


class ClusterError(Exception):
    """A run across hosts that went wrong; hosts: the hosts it names (run.json keeps them)."""

    def __init__(self, message, hosts=()):
        super().__init__(message)
        self.hosts = list(hosts)


class Fleet:
    """What every kind of fleet keeps: the hosts' facts, the windows' state of the run in hand
    and the progress line."""

    def __init__(self, plan, progress, stack):
        self.plan = plan
        self.progress = progress
        self.stack = stack
        self.facts = {}            # host -> what it said about itself, then of its display
        self.shared = True         # every host writes into the run folder itself
        self.folder = None         # the folder of the run in hand
        self.begin_run(None)

    def begin_run(self, folder):
        """A fresh state of the windows for the run into `folder`."""
        self.folder = folder
        self.frames, self.last, self.appeared, self.summaries = {}, {}, set(), set()
        self.ended_early = {}      # window -> when it ended before the run did
        self.phase = "starting"    # the phase the runner ordered
        self.shown_phase = None    # the finer phase the hosts report
        self.started = time.monotonic()
        self.taken = None          # the last state taken
        self.version = 0           # counts the states taken

    def watch(self, stack, launcher):
        """Wakes a wait as soon as the benchmark's launcher ends, where a host waits on more
        than its own display."""

    def order(self, phase):
        """The runner's next phase; the hosts' finer phases follow as they report."""
        self.phase = phase
        self.shown_phase = None

    def take_state(self, state, phase=None):
        """A host's state of its windows (keyed by window number); one taken before is
        passed over."""
        if state is not self.taken:
            self.taken = state
            self.version += 1
            self.frames.update(state["frames"])
            self.last.update(state["last"])
            self.appeared.update(state["appeared"])
            self.summaries.update(state["summaries"])
            self.ended_early.update({int(w): e for w, e in state.get("ended_early", {}).items()})
        self.shown_phase = phase

    def render(self, force=False):
        """The progress line, made only when it may be shown and something in it changed."""
        phase = self.shown_phase or self.phase
        elapsed = time.monotonic() - self.started

        def line(width):
            return P.progress_line(phase, elapsed, self.plan.windows, self.frames,
                                   self.plan.args.frames, self.last, self.appeared, width)
        self.progress.show_made(phase, (phase, "%.0f" % elapsed, self.version), line, force)
