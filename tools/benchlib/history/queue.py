"""Records that wait for a history server that was away: one JSON file a record in a
private folder (mode 0700) beside the user's own SQLite history, each named by a digest of
its server and run key, written beside and renamed, so that a record queued twice is one
file. A record names its server as messages do (never with a password) and holds what the
history keeps of the run, so that the run folder may be gone when it is sent.

The folder must be this user's own: one another user owns is refused, and one others may
write is made private first. A record is read only when it is a regular file of this user,
no larger than RECORD_LIMIT, opened without following a link or waiting (a FIFO); one that
cannot be read, is not of a record's shape, or that the server refuses is set aside in
rejected/ with one note, so that it never holds back the records behind it."""

import errno
import hashlib
import json
import os
import stat

from ..results.files import create_new
from .folder import HOST_COLUMNS, RUN_COLUMNS, WINDOW_COLUMNS, RunEntry, unstorable
from .location import queue_folder

KEPT = ("recorded_at", "excluded", "pinned", "note", "flagged", "accepted")
RECORD_LIMIT = 16 << 20   # bytes: a run of 10,000 windows takes about 2 MB
REJECTED = "rejected"


class QueueError(OSError):
    """The queue cannot be used; one line says why."""


def _own_folder(create):
    """The queue folder, this user's and private (None: there is none and create is False)."""
    path = queue_folder()
    if create:
        os.makedirs(path, mode=0o700, exist_ok=True)
    try:
        found = os.lstat(path)
    except FileNotFoundError:
        return None
    if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid():
        raise QueueError("the queue %s is not a folder of this user's own: refused (remove it, "
                         "and it is made again)" % path)
    if found.st_mode & 0o077:
        os.chmod(path, 0o700)  # others could plant or take records: no more
    return path


def put(server, entry, kept=None):
    """Queues an entry for a server; the file it waits in."""
    where = _own_folder(create=True)
    name = hashlib.sha256(("%s\n%s" % (server, entry.run["run_key"])).encode(
        "utf-8", "surrogateescape")).hexdigest()[:32] + ".json"
    path = os.path.join(where, name)
    partial = "%s.partial-%d" % (path, os.getpid())
    with create_new(partial, 0o600) as f:
        f.write(json.dumps({"server": server, "run": entry.run, "windows": entry.windows,
                            "hosts": entry.hosts, "kept": kept or {}}).encode())
    os.replace(partial, path)
    return path


def waiting(server):
    """([(file, entry, kept)] of the records waiting for this server, oldest first; notes on
    the records set aside)."""
    where = _own_folder(create=False)
    if where is None:
        return [], []
    found, notes = [], []
    for name in os.listdir(where):
        if not name.endswith(".json"):
            continue  # being written (NAME.json.partial-PID), or rejected/
        path = os.path.join(where, name)
        try:
            when, data = _read(path)
            entry, kept = _record(data)
        except (OSError, ValueError, RecursionError) as e:
            if not isinstance(e, FileNotFoundError):  # gone: another push sent it
                notes.append(reject(path, _why(e)))
            continue
        if data["server"] == server:
            found.append((when, path, entry, kept))
    found.sort(key=lambda f: (f[0], f[1]))
    return [(path, entry, kept) for _when, path, entry, kept in found], notes


def _read(path):
    """(modification time, JSON) of a record file; OSError or ValueError when it cannot be
    one."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        if e.errno == errno.ELOOP:
            raise OSError(errno.ELOOP, "a link, not a record") from None
        raise
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        if info.st_uid != os.geteuid():
            raise OSError(errno.EPERM, "written by another user (uid %d)" % info.st_uid)
        if info.st_size > RECORD_LIMIT:
            raise OSError(errno.EFBIG, "larger than %d bytes" % RECORD_LIMIT)
        data = f.read(RECORD_LIMIT + 1)
    if len(data) > RECORD_LIMIT:
        raise OSError(errno.EFBIG, "larger than %d bytes" % RECORD_LIMIT)
    return info.st_mtime, json.loads(data)


def _record(data):
    """(entry, kept) of a record's JSON; ValueError when it is not of a record's shape."""
    def rows(value, columns, what):
        if not isinstance(value, list) or not all(
                isinstance(r, dict) and all(c in r for c in columns) for r in value):
            raise ValueError("its %s are not rows of %s" % (what, ", ".join(columns)))
        return [{c: r[c] for c in columns} for r in value]

    if not isinstance(data, dict) or not isinstance(data.get("server"), str):
        raise ValueError("not a record (no server named)")
    run, = rows([data.get("run")], RUN_COLUMNS, "run")
    kept = data.get("kept")
    if not isinstance(kept, dict):
        raise ValueError("its kept values are not a table")
    entry = RunEntry(run, rows(data.get("windows"), WINDOW_COLUMNS, "windows"),
                     rows(data.get("hosts"), HOST_COLUMNS, "hosts"))
    kept = {k: v for k, v in kept.items() if k in KEPT}
    problem = unstorable(entry) or unstorable(RunEntry(kept))
    if problem or not isinstance(run["run_key"], str):
        raise ValueError("its %s" % (problem or "run key is not a text"))
    return entry, kept


def _why(error):
    if isinstance(error, RecursionError):
        return "nested too deeply"
    if isinstance(error, OSError):
        return error.strerror or str(error)
    return str(error)[:200]


def reject(path, why):
    """Sets a record aside in rejected/ (it is not sent again); the note that says so."""
    where = os.path.join(os.path.dirname(path), REJECTED)
    try:
        os.makedirs(where, mode=0o700, exist_ok=True)
        os.replace(path, os.path.join(where, os.path.basename(path)))
    except OSError as e:
        return "a queued record %s cannot be sent (%s), nor set aside: %s" % (
            path, why, e.strerror or e)
    return "a queued record cannot be sent (%s): set aside in %s" % (
        why, os.path.join(where, os.path.basename(path)))


def done(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass  # another push sent it first
