"""Records that wait for a history server that was away: one JSON file a record in a
private folder (mode 0700) beside the user's own SQLite history, each named by a digest of
its server and run key, written beside and renamed, so that a record queued twice is one
file. A record names its server as messages do (never with a password) and holds what the
history keeps of the run, so that the run folder may be gone when it is sent."""

import hashlib
import json
import os

from .folder import RunEntry
from .location import queue_folder

KEPT = ("recorded_at", "excluded", "pinned", "note")


def _private_folder():
    path = queue_folder()
    os.makedirs(path, mode=0o700, exist_ok=True)
    if os.lstat(path).st_uid != os.geteuid() or os.path.islink(path):
        raise OSError("the queue %s is not this user's own folder" % path)
    return path


def put(server, entry, kept=None):
    """Queues an entry for a server; the file it waits in."""
    where = _private_folder()
    name = hashlib.sha256(("%s\n%s" % (server, entry.run["run_key"])).encode(
        "utf-8", "surrogateescape")).hexdigest()[:32] + ".json"
    path = os.path.join(where, name)
    partial = "%s.partial-%d" % (path, os.getpid())
    fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as f:
        json.dump({"server": server, "run": entry.run, "windows": entry.windows,
                   "hosts": entry.hosts, "kept": kept or {}}, f)
    os.replace(partial, path)
    return path


def waiting(server):
    """(file, entry, kept) of each record waiting for this server, oldest first."""
    where = queue_folder()
    try:
        names = [n for n in os.listdir(where) if n.endswith(".json")]
    except FileNotFoundError:
        return []
    found = []
    for name in names:
        path = os.path.join(where, name)
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            when = os.stat(path).st_mtime
        except (OSError, ValueError):
            continue  # being written or damaged: not this server's to send
        if isinstance(data, dict) and data.get("server") == server:
            entry = RunEntry(data["run"], data["windows"], data["hosts"])
            found.append((when, path, entry, {k: v for k, v in data["kept"].items()
                                              if k in KEPT}))
    return [(path, entry, kept) for _when, path, entry, kept in sorted(found)]


def done(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass  # another push sent it first
