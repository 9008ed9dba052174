"""Checks of a run before anything starts: the window count, the output folder, and what
each host can hold (the numbers are hosts.limits')."""

import os

from ..hosts import limits, placement
from ..hosts.limits import Refusal

MAX_WINDOWS = 4095  # ranks 1..4095; the programs hold 4,096 processes with rank 0


def check_window_count(windows):
    if windows > MAX_WINDOWS:
        raise Refusal("%d windows is more than %d, the most the programs hold (4,096 processes "
                      "with the console rank): run at most %d" % (windows, MAX_WINDOWS,
                                                                  MAX_WINDOWS))


def check_out(path):
    """Refuses an --out that names a file, a folder that is not empty or a place that cannot be
    written; returns the absolute path. The folder itself is made later."""
    path = os.path.abspath(path)
    if os.path.exists(path) and not os.path.isdir(path):
        raise Refusal("--out %s is a file, not a folder: name a new folder" % path)
    if os.path.isdir(path):
        try:
            if os.listdir(path):
                raise Refusal("--out %s is not empty: name a new or empty folder" % path)
        except OSError as e:
            raise Refusal("cannot read --out %s (%s): name a folder you can write to"
                          % (path, e.strerror)) from None
    parent = path
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise Refusal("--out %s lies under the file %s: name a folder elsewhere"
                      % (path, parent))
    if not os.access(parent, os.W_OK | os.X_OK):
        read_only = os.statvfs(parent).f_flag & os.ST_RDONLY
        raise Refusal("--out %s cannot be written (%s %s): name a folder you can write to"
                      % (path, parent, "is on a read-only file system" if read_only
                         else "is not writable"))
    return path


def make_out(path):
    """Creates the output folder; an OSError (read-only file system, ...) becomes a Refusal."""
    try:
        os.makedirs(path, exist_ok=True)
        probe = os.path.join(path, ".bench-run-probe")
        with open(probe, "w"):
            pass
        os.unlink(probe)
    except OSError as e:
        raise Refusal("cannot write to --out %s (%s): name a folder you can write to"
                      % (path, e.strerror or e)) from None


def check_display(plan, facts, clashes):
    """A display the user named: depth, size, memory, no other run on it."""
    a = plan.args
    screen = facts["screen"]
    limits.check_depth(a.depth, a.display, screen["depth"])
    placement.check_display(screen, plan.windows, a.display)
    limits.check_memory(a.program, a.windows, screen["depth"], facts["mem_available"])
    check_display_clients(a.windows, facts, a.display)
    if clashes:
        raise limits.Refusal("the display %s already shows %s window(s) (%s): another run? "
                             "Use the runner's own Xvfb (leave out --display)"
                             % (a.display, plan.program.display_name, clashes[0]))


def check_display_clients(windows, facts, display):
    clients = facts.get("x_clients")
    if clients:
        limits.check_clients(windows, limits.client_limit(clients["resource_id_mask"]),
                             clients["connected"], display, clients.get("files"))


def check_hosts(plan, facts):
    """Pre-flight of every host of a run across hosts: its memory for its windows, and a
    display it was given."""
    a = plan.args
    for host, windows in plan.placement.items():
        fact = facts[host]
        if not windows:
            continue
        try:
            screen = fact["screen"]
            if a.display:
                limits.check_depth(a.depth, a.display, screen["depth"])
                placement.check_display(screen, windows, a.display)
                check_display_clients(len(windows), fact, a.display)
            limits.check_memory(a.program, len(windows), screen["depth"],
                                fact.get("mem_available"))
        except limits.Refusal as e:
            raise limits.Refusal("host %s (window(s) %s): %s"
                                 % (host, ", ".join(map(str, windows)), e)) from None
