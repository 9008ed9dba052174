"""The windows' processes on a host, while their windows are awaited: a process that ends
before its window appeared (a --wrap command that does not start the program it is given, a
program that cannot start) would otherwise be noticed only when the appear timeout runs out.

The processes are found by the run's tag and the launcher's rank variable (processes.py),
once a second and only until every window has appeared. A window whose process has ended, or
was never there GRACE seconds after another rank of the run appeared on the host (the
launcher starts a host's ranks together; a process that ends at once is never seen), fails
the wait, naming it, its host and its wrapper.
"""

import os
import socket
import time

from . import processes
from .driver import DriveError

EVERY = 1.0   # seconds between two looks
GRACE = 5.0   # seconds after the host's first rank before a rank never seen counts


# A launcher started by a runner that is itself a rank (bench-sbatch's, under srun) carries
# the runner's rank variable: it is not a rank of the run.
LAUNCHERS = ("srun", "mpirun", "mpiexec", "orterun")


def _is_launcher(pid):
    try:
        name = os.path.basename(os.readlink("/proc/%d/exe" % pid))
    except OSError:
        return False
    return name.startswith(LAUNCHERS)


class WindowProcesses:
    def __init__(self, token, wrap=None):
        self.token = token
        self.wrap = wrap
        self.seen = set()          # windows whose process has been seen
        self.others_since = None   # when a rank of the run on this host was first seen
        self.last = 0.0

    def check(self, driver):
        """Called on every tick of the driver: raises DriveError when a window that has not
        appeared has no process any more."""
        if driver.phase != "waiting for windows" or not self.token:
            return
        now = time.monotonic()
        if now - self.last < EVERY:
            return
        self.last = now
        waiting = [w for w in driver.windows if w not in driver.ids]
        running, others = set(), False
        for pid in processes.tagged_processes(self.token):
            rank = processes.launcher_rank(processes.environ_of(pid))
            if rank is None or _is_launcher(pid):
                continue
            if rank in driver.windows:
                running.add(rank)
            others = True
        self.seen |= running
        if others and self.others_since is None:
            self.others_since = now
        settled = self.others_since is not None and now - self.others_since >= GRACE
        ended = [w for w in waiting if w not in running and (w in self.seen or settled)]
        if ended:
            raise DriveError(
                "the process of window(s) %s on %s ended before its window appeared%s"
                % (", ".join(map(str, ended)), socket.gethostname(),
                   " (it ran under --wrap %r: does the wrapper start the program it is "
                   "given?)" % self.wrap if self.wrap else ""))
