"""Runs whose runner ended without finishing them (SIGKILL, a crash): the next run in the same
parent folder marks them "interrupted" and stops and removes what they left behind.

Nothing is touched on the word of a file alone. A run folder is swept only when it is a real
directory (not a link) directly in the parent, owned by the user who sweeps, whose run.json
says "running" and names a runner that is provably gone: this host, this boot, and a pid that
no longer runs the process that started at the recorded time. Anything less is "cannot tell"
and left alone. Processes are stopped only when they carry the run's tag, a secret kept in a
file of the folder that only its owner can read (run.json does not publish it); the launcher's
folder is removed only when it is a real directory of the sweeper's own, made by bench-run
under its own name pattern.
"""

import contextlib
import glob
import os
import shutil
import socket
import stat
import tempfile

from ..hosts import processes
from ..hosts.xvfb import XAUTH_PREFIX
from ..results.files import create_new, read_json, replace_json

RESERVE_NAME = ".bench-run-reserve"  # room the runner keeps for run.json's last write
TAG_NAME = ".bench-run-tag"          # the run's secret tag, readable by its owner alone
LAUNCHER_PREFIX = "bench-run-"


def _boot_id():
    try:
        with open("/proc/sys/kernel/random/boot_id") as f:
            return f.read().strip()
    except OSError:
        return None


def runner_identity():
    """What tells this runner from any later process with the same pid."""
    return {"host": socket.gethostname(), "pid": os.getpid(), "boot_id": _boot_id(),
            "started": processes.started(os.getpid())}


def runner_gone(identity):
    """True only when the runner is known to have ended: it ran on this host, and either the
    host has booted since or its pid no longer runs the process that started then. Whatever
    is missing or odd in the identity is "cannot tell": False."""
    if not isinstance(identity, dict) or identity.get("host") != socket.gethostname():
        return False
    pid, started, boot = (identity.get(k) for k in ("pid", "started", "boot_id"))
    if not isinstance(boot, str) or not boot:
        return False
    if boot != _boot_id():
        return True
    if not isinstance(pid, int) or isinstance(pid, bool) or pid <= 0 \
            or not isinstance(started, (int, float)) or isinstance(started, bool):
        return False  # (a runner of before "started", told by "start_ticks": cannot tell)
    return processes.started(pid) != started


def own_directory(path):
    """A real directory (not a link) owned by this user."""
    try:
        st = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISDIR(st.st_mode) and st.st_uid == os.getuid()


def write_tag(folder, tag):
    """The run's secret tag, in a file only its owner can read, made afresh (never through a
    name someone planted)."""
    with create_new(os.path.join(folder, TAG_NAME), 0o600) as f:
        f.write((tag + "\n").encode())


def read_tag(folder):
    """The tag of a run folder of this user's, or None."""
    try:
        fd = os.open(os.path.join(folder, TAG_NAME), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    with os.fdopen(fd) as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode) or st.st_uid != os.getuid() or st.st_size > 256:
            return None
        tag = f.read().strip()
    return tag if tag.isalnum() else None


def launcher_folder(run_id):
    """A folder of the run's own for its launcher, in /dev/shm where it can be written, named
    after the run so that a sweep finds it even before run.json names it."""
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    return tempfile.mkdtemp(prefix="%s%s-" % (LAUNCHER_PREFIX, run_id), dir=base)


def remove_launcher_folders(info):
    """The launcher folders of a run, those it named and those named after it."""
    run_id = info.get("run_id")
    named = [info.get("launcher_tmpdir")]
    if isinstance(run_id, str) and run_id.isalnum():
        for base in ("/dev/shm", tempfile.gettempdir()):
            named += glob.glob(os.path.join(base, "%s%s-*" % (LAUNCHER_PREFIX, run_id)))
    for path in named:
        if isinstance(path, str) and os.path.basename(path).startswith(LAUNCHER_PREFIX) \
                and os.path.dirname(path) in ("/dev/shm", tempfile.gettempdir()) \
                and own_directory(path):
            shutil.rmtree(path, ignore_errors=True)
    cookie = info.get("xauth_folder")  # the own Xvfb's, whose runner could not remove it
    if isinstance(cookie, str) and os.path.basename(cookie).startswith(XAUTH_PREFIX) \
            and os.path.dirname(cookie) == tempfile.gettempdir() and own_directory(cookie):
        shutil.rmtree(cookie, ignore_errors=True)


def clean_up_after(folder, info):
    """Stops the run's processes that are left and removes its launcher folder."""
    tag = read_tag(folder)
    if tag:
        processes.stop_tagged(tag, grace=3.0)
    remove_launcher_folders(info)
    with contextlib.suppress(OSError):
        os.unlink(os.path.join(folder, RESERVE_NAME))


def mark_interrupted(folder, info, now, why):
    clean_up_after(folder, info)
    info.update(status="interrupted", end_time=now, error=why)
    replace_json(os.path.join(folder, "run.json"), info)


def mark_orphans(parent, now, say):
    """Every run folder in `parent` whose run.json says "running" although its runner has
    provably ended: marked "interrupted" (one line each through say), its leftovers stopped;
    in a series, every repeat it had begun too."""
    try:
        names = sorted(os.listdir(parent))
    except OSError:
        return
    for name in names:
        folder = os.path.join(parent, name)
        if not own_directory(folder):
            continue
        info, problem = read_json(os.path.join(folder, "run.json"))
        if problem or not isinstance(info, dict) or info.get("status") != "running" \
                or not runner_gone(info.get("runner")):
            continue
        why = "the runner (pid %s) ended without finishing the run" % info["runner"]["pid"]
        try:
            for entry in info.get("repeats") or []:
                if isinstance(entry, dict) and entry.get("status") == "running":
                    mark_repeat(folder, entry, now, why)
            mark_interrupted(folder, info, now, why)
        except OSError as e:
            say("bench-run: note: cannot mark %s interrupted: %s" % (folder, e.strerror))
            continue
        say("bench-run: note: %s was left running by a runner that has ended: marked "
            "interrupted" % folder)


def mark_repeat(parent, entry, now, why):
    """A repeat of a series whose runner has gone: its own run.json and the parent's entry."""
    entry.update(status="interrupted", error=why)
    name = entry.get("folder")
    if not isinstance(name, str) or os.sep in name or name in ("", ".", ".."):
        return
    folder = os.path.join(parent, name)
    if not own_directory(folder):
        return
    info, problem = read_json(os.path.join(folder, "run.json"))
    if not problem and isinstance(info, dict) and info.get("status") == "running":
        mark_interrupted(folder, info, now, why)
