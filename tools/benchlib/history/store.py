"""The history database: where it is, opening it safely, recording a run, curating runs,
reading runs back. Its schema and versions: schema.py.

Location: --db PATH, else $BENCH_HISTORY, else $XDG_DATA_HOME/tarnwick-benchmarks/history.sqlite,
else ~/.local/share/tarnwick-benchmarks/history.sqlite (location.py); any of them may be a
postgresql:// URI instead, a history on a PostgreSQL server (backend.py). When a server is
away, a record waits in a queue beside the user's own file (queue.py) and is sent by the
next recording that reaches the server, or by `bench-history push`.
The path must be a regular file (or not exist yet): a device (/dev/null), a FIFO or a folder
is refused before SQLite opens it, so that no journal is made beside it; a link is followed
only when it belongs to the user (or root), never one another user planted in a shared
folder.

Writes are transactions begun with BEGIN IMMEDIATE, so that writers queue on the database's
lock (for up to the busy timeout) instead of failing half-way. A run is recorded once: its
key is run.json's run_id, else the folder's real path; recording it again changes nothing.
The run_id alone does not prove the run: its claim (a digest of run.json's run_id, start,
runner, program, windows and results files) does. Another folder naming a recorded run_id
with another claim is recorded apart (its key the run_id and its claim's start), and says
so, so that a copy recorded first never turns the real run away as "already recorded".
"""

import datetime
import hashlib
import os
import sqlite3
import stat

from . import backend, bounds, snapshot
from .backend import HistoryError, ServerAway
from .folder import HOST_COLUMNS, RUN_COLUMNS, WINDOW_COLUMNS
from .location import default_path
from .schema import CURRENT_VERSION, MIGRATIONS, SCHEMA_V1
from .where import Where

BUSY_TIMEOUT = 10.0  # seconds a writer waits for another one to finish
RECORD_BOUND = 20    # seconds a recording in a server may take, with the records queued
IDS_AT_ONCE = 500    # runs whose hosts and windows one query reads


def _explain(path, error, timeout):
    text = str(error)
    if isinstance(error, OSError):
        return "cannot use the history %s: %s" % (path, error.strerror or text)
    if "locked" in text or "busy" in text:
        return "the history %s stayed locked by another writer for %g s" % (path, timeout)
    if "readonly" in text or "read-only" in text:
        return "the history %s is read-only" % path
    if "not a database" in text or "malformed" in text or "corrupt" in text:
        return "%s is not a history database or is damaged (%s)" % (path, text)
    return "the history %s cannot be used: %s" % (path, text)


def _check_path(path):
    """Refuses a history path that is not a regular file or a link another user owns."""
    try:
        link = os.lstat(path)
    except FileNotFoundError:
        return
    if os.path.islink(path) and link.st_uid not in (os.geteuid(), 0):
        raise HistoryError("the history %s is a link owned by another user (uid %d): refused"
                           % (path, link.st_uid))
    try:
        target = os.stat(path)
    except FileNotFoundError:
        raise HistoryError("the history %s is a link to nothing: refused" % path) from None
    if not stat.S_ISREG(target.st_mode):
        raise HistoryError("the history %s is not a regular file: refused" % path)


def _writable(path):
    """Whether this user may write the history file and make its journal beside it."""
    folder = os.path.dirname(os.path.abspath(path))
    return os.access(path, os.W_OK) and os.access(folder, os.W_OK) and \
        not os.statvfs(folder).f_flag & os.ST_RDONLY


class History:
    """An open history: an SQLite file or a server. Use as a context manager; errors become
    HistoryError (ServerAway when a server cannot take records now)."""

    def __init__(self, path=None, create=True, timeout=BUSY_TIMEOUT, read_only=False):
        """read_only: read an SQLite file through a copy in memory, never writing it
        (snapshot.py); a file this user cannot write is read so too when create is False."""
        self.target = path or default_path()
        self.server = backend.is_server(self.target)
        self.path = self.target  # as messages name it (a server: without credentials)
        self.timeout = timeout
        self.conn = None
        self.create = create
        self.read_only = read_only

    def __enter__(self):
        try:
            backend.check_target(self.target)
            if self.server:
                self.path = backend.server_name(self.target)
                self.conn = backend.Postgres(self.target)
            else:
                if self.create:
                    folder = os.path.dirname(os.path.abspath(self.path))
                    os.makedirs(folder, exist_ok=True)
                elif not os.path.lexists(self.path):
                    return self  # no history yet: nothing recorded
                _check_path(self.path)
                if self.read_only or not (self.create or _writable(self.path)):
                    self.conn = backend.Sqlite(None, self.timeout,
                                               snapshot.copy_in_memory(self.path))
                else:
                    self.conn = backend.Sqlite(self.path, self.timeout)
            if not self.create and self.version() == 0 and not self.conn.holds_tables():
                self.close()  # an empty server database: nothing recorded yet
                return self
            self._upgrade()
        except (bounds.NoAnswer, bounds.Interrupted) as e:
            self.close()
            raise ServerAway(str(e)) from None
        except HistoryError:
            self.close()
            raise
        except Exception as e:
            self.close()
            self._raise(e)
        return self

    def __exit__(self, kind, error, trace):
        self.close()
        if error is not None and not isinstance(error, HistoryError):
            self._raise(error)
        return False

    def _raise(self, error):
        """A database's error as HistoryError, or the error itself when it is none."""
        if isinstance(error, (bounds.NoAnswer, bounds.Interrupted)):
            raise ServerAway(str(error)) from None
        if isinstance(error, (sqlite3.Error, OSError)):
            raise HistoryError(_explain(self.path, error, self.timeout)) from None
        if self.server and backend.is_psycopg_error(error):
            line = backend.first_line(error)
            if backend.away(error):
                raise ServerAway("the history server %s cannot take records now: %s"
                                 % (self.path, line)) from None
            raise HistoryError("the history server %s cannot be used: %s"
                               % (self.path, line)) from None
        raise error

    def lost(self, error):
        """Whether an error means the server cannot go on now (not that one record is bad)."""
        return self.conn is None or isinstance(error, (bounds.NoAnswer, bounds.Interrupted)) or \
            (self.server and backend.is_psycopg_error(error) and backend.away(error))

    def close(self):
        if self.conn is not None:
            try:
                self.conn.close()
            except Exception:
                pass  # a connection already lost has nothing to close
            self.conn = None

    # schema ----------------------------------------------------------------------
    def version(self):
        return self.conn.version()

    def _check_version(self, version):
        if version > CURRENT_VERSION:
            raise HistoryError(
                "the history %s has schema version %d, newer than this tool knows (%d): use a "
                "newer checkout" % (self.path, version, CURRENT_VERSION))

    def _upgrade(self):
        self._check_version(self.version())
        if self.version() == CURRENT_VERSION:
            return
        with self._transaction():
            self.conn.lock_schema()
            version = self.version()  # another writer may have got here first
            self._check_version(version)
            if version == CURRENT_VERSION:
                return
            if version == 0:
                if self.conn.holds_tables():
                    raise HistoryError("%s is a database but not a run history" % self.path)
                for statement in SCHEMA_V1:
                    self.conn.execute(self.conn.ddl(statement))
                version = 1
            for v in range(version, CURRENT_VERSION):
                for statement in MIGRATIONS[v]:
                    if isinstance(statement, tuple):
                        statement = statement[1] if self.server else statement[0]
                    if statement:
                        self.conn.execute(self.conn.ddl(statement))
            self.conn.set_version(CURRENT_VERSION)

    def _transaction(self):
        conn = self.conn

        class Transaction:
            def __enter__(self):
                conn.begin()

            def __exit__(self, kind, error, trace):
                if kind is None:
                    conn.end(commit=True)
                    return False
                try:
                    conn.end(commit=False)
                except Exception:
                    pass  # the transaction is gone already; the error that ended it counts
                return False
        return Transaction()

    # writing -----------------------------------------------------------------------
    def record(self, entry, kept=None):
        """(run id, True) when the run is recorded now, (its id, False) when it was before.
        A run whose run_id another folder with another claim holds is recorded apart:
        entry.disputed is then that folder. kept: more columns of runs to set (recorded_at,
        excluded, pinned, note), from a history imported."""
        kept = dict(kept or {})
        kept.setdefault("recorded_at",
                        datetime.datetime.now().astimezone().isoformat(timespec="seconds"))
        columns = list(RUN_COLUMNS) + list(kept)
        with self._transaction():
            found = self.conn.execute("SELECT id, claim, folder FROM runs WHERE run_key = ?",
                                      (entry.run["run_key"],))
            if found and not _same_run(found[0], entry.run):
                entry.disputed = found[0]["folder"]
                mark = entry.run["claim"] or hashlib.sha256(entry.run["folder"].encode(
                    "utf-8", "surrogateescape")).hexdigest()
                entry.run["run_key"] = "%s#%s" % (entry.run["run_key"], mark[:16])
            made = self.conn.execute(
                "INSERT INTO runs (%s) VALUES (%s) ON CONFLICT (run_key) DO NOTHING RETURNING id"
                % (", ".join(columns), ", ".join("?" * len(columns))),
                [entry.run[c] for c in RUN_COLUMNS] + list(kept.values()))
            if not made:
                return self.conn.execute("SELECT id FROM runs WHERE run_key = ?",
                                         (entry.run["run_key"],))[0]["id"], False
            run_id = made[0]["id"]
            for table, columns, rows in (
                    ("run_windows", WINDOW_COLUMNS, entry.windows),
                    ("run_hosts", HOST_COLUMNS + ("position",),
                     [dict(h, position=i) for i, h in enumerate(entry.hosts)])):
                if rows:
                    self.conn.executemany(
                        "INSERT INTO %s (run, %s) VALUES (?, %s)"
                        % (table, ", ".join('"%s"' % c for c in columns),
                           ", ".join("?" * len(columns))),
                        [[run_id] + [row[c] for c in columns] for row in rows])
        return run_id, True

    def find(self, ref):
        """The runs a person names: an id of `list`, a run_id, or a run folder."""
        if self.conn is None:
            return []
        if ref.isdigit():
            clause, value = "id = ?", int(ref)
        elif os.path.isdir(ref):
            clause, value = "folder = ?", os.path.realpath(ref)
        else:
            clause, value = "run_key = ?", ref
        return self.conn.execute(
            "SELECT id, run_key, folder FROM runs WHERE %s ORDER BY id" % clause, (value,))

    def curate(self, run_id, column, value):
        """Sets excluded, pinned, note, accepted or flagged of one run."""
        assert column in ("excluded", "pinned", "note", "accepted", "flagged")
        with self._transaction():
            self.conn.execute("UPDATE runs SET %s = ? WHERE id = ?" % column, (value, run_id))

    # reading -----------------------------------------------------------------------
    def runs(self, where=None, order="started IS NOT NULL, started, id"):
        """The runs a Where selects, oldest first, each a dict with its "hosts" (a list of
        dicts) and "windows_list"."""
        if self.conn is None:
            return []
        where = where or Where()
        clause, values = where.sql(self.conn.same)
        rows = self.conn.execute("SELECT * FROM runs %s ORDER BY %s" % (clause, order), values)
        by_id = {r["id"]: r for r in rows}
        for r in rows:
            r["hosts"], r["windows_list"] = [], []
        ids = list(by_id)
        for start in range(0, len(ids), IDS_AT_ONCE):
            chunk = ids[start:start + IDS_AT_ONCE]
            marks = ", ".join("?" * len(chunk))
            for h in self.conn.execute("SELECT * FROM run_hosts WHERE run IN (%s) "
                                       "ORDER BY run, position" % marks, chunk):
                by_id[h["run"]]["hosts"].append(h)
            for w in self.conn.execute('SELECT * FROM run_windows WHERE run IN (%s) '
                                       'ORDER BY run, "window"' % marks, chunk):
                by_id[w["run"]]["windows_list"].append(w)
        return rows

    def earlier_comparable(self, entry, last, baseline=False):
        """The last `last` runs of the entry's series that started before it (baseline: that
        are pinned, whenever they started), ended ok (or have no run.json), have a headline
        and are not excluded, newest first."""
        if self.conn is None:
            return []
        program, windows, depth, renderer, mode, env = entry.series
        where = Where(program=program, windows=windows, depth=depth, renderer_is=renderer,
                      mode_is=mode, env_is=env, before=None if baseline else entry.run["started"],
                      not_key=entry.run["run_key"], usable=True, pinned=baseline or None)
        return self.runs(where, order="started IS NULL, started DESC, id DESC LIMIT %d" % last)

    def recorded(self, entry):
        """The row of the entry's run when it is recorded (id, flagged, accepted, pinned),
        else None."""
        if self.conn is None:
            return None
        found = self.conn.execute("SELECT id, claim, folder, flagged, accepted, pinned FROM runs "
                                  "WHERE run_key = ?", (entry.run["run_key"],))
        return found[0] if found and _same_run(found[0], entry.run) else None

    def previous_setup(self, entry, looked_at=50):
        """The last usable run before the entry of the same program, windows, depth, mode,
        rendering variables and hosts, whatever its renderer, or None."""
        if self.conn is None or entry.run["started"] is None:
            return None
        program, windows, depth, _renderer, mode, env = entry.series
        hosts = sorted(h["host"] for h in entry.hosts)
        rows = self.runs(Where(program=program, windows=windows, depth=depth, mode_is=mode,
                               env_is=env, before=entry.run["started"],
                               not_key=entry.run["run_key"], usable=True),
                         order="started DESC, id DESC LIMIT %d" % looked_at)
        return next((r for r in rows if sorted(h["host"] for h in r["hosts"]) == hosts), None)


def _same_run(row, run):
    """Whether a recorded row is the run of this claim (rows recorded before claims were kept
    are the same run when they are of the same folder)."""
    if row["claim"] is None or run["claim"] is None:
        return row["folder"] == run["folder"]
    return row["claim"] == run["claim"]
