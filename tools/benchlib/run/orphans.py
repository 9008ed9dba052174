"""Runs whose runner ended without finishing them (SIGKILL, a crash): the next run in the same
parent folder marks them "interrupted" and stops and removes what they left behind."""

import os
import shutil
import socket

from ..hosts import processes
from ..results.files import read_json, replace_json

RESERVE_NAME = ".bench-run-reserve"  # room the runner keeps for run.json's last write


def _boot_id():
    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            return f.read().strip()
    except OSError:
        return None


def _start_ticks(pid):
    """When a process started, in clock ticks since boot (None when it is gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, ValueError, IndexError):
        return None


def runner_identity():
    """What tells this runner from any later process with the same pid."""
    return {"host": socket.gethostname(), "pid": os.getpid(), "boot_id": _boot_id(),
            "start_ticks": _start_ticks(os.getpid())}


def runner_gone(identity):
    """True when the runner is known to have ended; False when alive or cannot be told (it
    ran on another host)."""
    if not isinstance(identity, dict) or identity.get("host") != socket.gethostname():
        return False
    pid = identity.get("pid")
    if not isinstance(pid, int) or identity.get("boot_id") != _boot_id():
        return True
    return _start_ticks(pid) != identity.get("start_ticks")


def clean_up_after(folder, info):
    """Stops the run's processes that are left and removes its launcher folder."""
    if isinstance(info.get("run_id"), str):
        processes.stop_tagged(info["run_id"], grace=3.0)
    tmpdir = info.get("launcher_tmpdir")
    if isinstance(tmpdir, str) and os.path.basename(tmpdir).startswith("bench-run-"):
        shutil.rmtree(tmpdir, ignore_errors=True)
    try:
        os.unlink(os.path.join(folder, RESERVE_NAME))
    except OSError:
        pass


def mark_orphans(parent, now, say):
    """Every run folder in `parent` whose run.json says "running" although its runner has
    ended: marked "interrupted" (one line each through say), its leftovers stopped."""
    try:
        names = sorted(os.listdir(parent))
    except OSError:
        return
    for name in names:
        folder = os.path.join(parent, name)
        path = os.path.join(folder, "run.json")
        if not os.path.isfile(path):
            continue
        info, problem = read_json(path)
        if problem or not isinstance(info, dict) or info.get("status") != "running" \
                or not runner_gone(info.get("runner")):
            continue
        clean_up_after(folder, info)
        info.update(status="interrupted", end_time=now,
                    error="the runner (pid %s) ended without finishing the run"
                          % info["runner"].get("pid"))
        try:
            replace_json(path, info)
        except OSError as e:
            say("bench-run: note: cannot mark %s interrupted: %s" % (folder, e.strerror))
            continue
        say("bench-run: note: %s was left running by a runner that has ended: marked "
            "interrupted" % folder)
