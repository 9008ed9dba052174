"""The history database: where it is, opening it safely, recording a run, curating runs,
reading runs back. Its schema and versions: schema.py.

Location: --db PATH, else $BENCH_HISTORY, else $XDG_DATA_HOME/tarnwick-benchmarks/history.sqlite,
else ~/.local/share/tarnwick-benchmarks/history.sqlite. A file on a shared file system serves
a team: SQLite's rollback journal (not WAL) works there as long as the file system's locks do.
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
import json
import os
import sqlite3
import stat
import sys
from dataclasses import dataclass

from .folder import RUN_COLUMNS, NotARun, read_run
from .schema import CURRENT_VERSION, MIGRATIONS, SCHEMA_V1

BUSY_TIMEOUT = 10.0  # seconds a writer waits for another one to finish

WINDOW_COLUMNS = ("window", "host", "frames", "seconds", "rate", "state")
HOST_COLUMNS = ("host", "cpu_model", "cores", "memory_bytes", "gl_renderer", "mpi_library",
                "windows", "rate")


class HistoryError(Exception):
    """The history cannot be used (locked, read-only, damaged, newer); one line says why."""


def default_path(env=None):
    env = os.environ if env is None else env
    if env.get("BENCH_HISTORY"):
        return env["BENCH_HISTORY"]
    base = env.get("XDG_DATA_HOME")
    if not base or not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "tarnwick-benchmarks", "history.sqlite")


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


class History:
    """An open history database. Use as a context manager; errors become HistoryError."""

    def __init__(self, path=None, create=True, timeout=BUSY_TIMEOUT):
        self.path = path or default_path()
        self.timeout = timeout
        self.conn = None
        self.create = create

    def __enter__(self):
        try:
            if self.create:
                folder = os.path.dirname(os.path.abspath(self.path))
                os.makedirs(folder, exist_ok=True)
            elif not os.path.lexists(self.path):
                return self  # no history yet: nothing recorded
            _check_path(self.path)
            self.conn = sqlite3.connect(self.path, timeout=self.timeout, isolation_level=None)
            self.conn.row_factory = sqlite3.Row
            self.conn.execute("PRAGMA foreign_keys = ON")
            self._upgrade()
        except (sqlite3.Error, OSError) as e:
            self.close()
            raise HistoryError(_explain(self.path, e, self.timeout)) from None
        except HistoryError:
            self.close()
            raise
        return self

    def __exit__(self, kind, error, trace):
        self.close()
        if isinstance(error, sqlite3.Error):
            raise HistoryError(_explain(self.path, error, self.timeout)) from None
        return False

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    # schema ----------------------------------------------------------------------
    def version(self):
        return self.conn.execute("PRAGMA user_version").fetchone()[0]

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
            version = self.version()  # another writer may have got here first
            self._check_version(version)
            if version == 0:
                if self.conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                    raise HistoryError("%s is an SQLite database but not a run history"
                                       % self.path)
                for statement in SCHEMA_V1:
                    self.conn.execute(statement)
                version = 1
            for v in range(version, CURRENT_VERSION):
                for statement in MIGRATIONS[v]:
                    self.conn.execute(statement)
            self.conn.execute("PRAGMA user_version = %d" % CURRENT_VERSION)

    def _transaction(self):
        conn = self.conn

        class Transaction:
            def __enter__(self):
                conn.execute("BEGIN IMMEDIATE")

            def __exit__(self, kind, error, trace):
                if kind is None:
                    conn.execute("COMMIT")
                    return False
                try:
                    conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # the transaction is gone already; the error that ended it counts
                return False
        return Transaction()

    # writing -----------------------------------------------------------------------
    def record(self, entry):
        """(run id, True) when the run is recorded now, (its id, False) when it was before.
        A run whose run_id another folder with another claim holds is recorded apart:
        entry.disputed is then that folder."""
        recorded_at = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
        with self._transaction():
            row = self.conn.execute("SELECT id, claim, folder FROM runs WHERE run_key = ?",
                                    (entry.run["run_key"],)).fetchone()
            if row is not None and not _same_run(row, entry.run):
                entry.disputed = row["folder"]
                mark = entry.run["claim"] or hashlib.sha256(entry.run["folder"].encode(
                    "utf-8", "surrogateescape")).hexdigest()
                entry.run["run_key"] = "%s#%s" % (entry.run["run_key"], mark[:16])
            cur = self.conn.execute(
                "INSERT INTO runs (%s, recorded_at) VALUES (%s, ?) "
                "ON CONFLICT (run_key) DO NOTHING"
                % (", ".join(RUN_COLUMNS), ", ".join("?" * len(RUN_COLUMNS))),
                [entry.run[c] for c in RUN_COLUMNS] + [recorded_at])
            if cur.rowcount == 0:
                row = self.conn.execute("SELECT id FROM runs WHERE run_key = ?",
                                        (entry.run["run_key"],)).fetchone()
                return row["id"], False
            run_id = cur.lastrowid
            for table, columns, rows in (("run_windows", WINDOW_COLUMNS, entry.windows),
                                         ("run_hosts", HOST_COLUMNS, entry.hosts)):
                self.conn.executemany(
                    "INSERT INTO %s (run, %s) VALUES (?, %s)"
                    % (table, ", ".join(columns), ", ".join("?" * len(columns))),
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
        return [dict(r) for r in self.conn.execute(
            "SELECT id, run_key, folder FROM runs WHERE %s ORDER BY id" % clause, (value,))]

    def curate(self, run_id, column, value):
        """Sets excluded, pinned or note of one run."""
        assert column in ("excluded", "pinned", "note")
        with self._transaction():
            self.conn.execute("UPDATE runs SET %s = ? WHERE id = ?" % column, (value, run_id))

    # reading -----------------------------------------------------------------------
    def runs(self, where=None, order="started IS NOT NULL, started, id"):
        """The runs a Where selects, oldest first, each a dict with its "hosts" (a list of
        dicts) and "windows_list"."""
        if self.conn is None:
            return []
        where = where or Where()
        clause, values = where.sql()
        rows = [dict(r) for r in self.conn.execute(
            "SELECT * FROM runs %s ORDER BY %s" % (clause, order), values)]
        by_id = {r["id"]: r for r in rows}
        for r in rows:
            r["hosts"], r["windows_list"] = [], []
        if rows:
            ids = (json.dumps(list(by_id)),)
            for h in self.conn.execute("SELECT * FROM run_hosts WHERE run IN (SELECT value "
                                       "FROM json_each(?)) ORDER BY run, rowid", ids):
                by_id[h["run"]]["hosts"].append(dict(h))
            for w in self.conn.execute("SELECT * FROM run_windows WHERE run IN (SELECT value "
                                       "FROM json_each(?)) ORDER BY run, window", ids):
                by_id[w["run"]]["windows_list"].append(dict(w))
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
        return self.runs(where, order="started DESC, id DESC LIMIT %d" % last)


def _same_run(row, run):
    """Whether a recorded row is the run of this claim (rows recorded before claims were kept
    are the same run when they are of the same folder)."""
    if row["claim"] is None or run["claim"] is None:
        return row["folder"] == run["folder"]
    return row["claim"] == run["claim"]


@dataclass
class Where:
    """Which runs to read. renderer matches a part of the renderer (any case); renderer_is
    the whole of it (None: unknown)."""
    program: str = None
    windows: int = None
    depth: int = None
    renderer: str = None
    host: str = None
    since: float = None            # seconds since the epoch
    renderer_is: object = ...      # ...: any
    mode: str = None               # frames | seconds
    mode_is: object = ...
    env_is: object = ...           # rendering_env exactly (None: none)
    tag: str = None
    before: float = None
    not_key: str = None
    usable: bool = False           # status ok (or unknown), a headline, not excluded
    pinned: bool = None
    excluded: bool = None

    def sql(self):
        terms, values = [], []

        def term(text, *args):
            terms.append(text)
            values.extend(args)
        if self.program is not None:
            term("program = ?", self.program)
        if self.windows is not None:
            term("windows = ?", self.windows)
        if self.depth is not None:
            term("screen_depth = ?", self.depth)
        if self.renderer is not None:
            term("instr(lower(gl_renderer), lower(?)) > 0", self.renderer)
        if self.renderer_is is not ...:
            term("gl_renderer IS ?", self.renderer_is)
        if self.mode is not None:
            term("mode = ?", self.mode)
        if self.mode_is is not ...:
            term("mode IS ?", self.mode_is)
        if self.env_is is not ...:
            term("rendering_env IS ?", self.env_is)
        if self.tag is not None:
            term("tag = ?", self.tag)
        if self.excluded is not None:
            term("excluded = ?", int(self.excluded))
        if self.pinned is not None:
            term("pinned = ?", int(self.pinned))
        if self.host is not None:
            term("(host = ? OR id IN (SELECT run FROM run_hosts WHERE host = ?))",
                 self.host, self.host)
        if self.since is not None:
            term("started >= ?", self.since)
        if self.before is not None:
            term("started < ?", self.before)
        if self.not_key is not None:
            term("run_key != ?", self.not_key)
        if self.usable:
            term("headline IS NOT NULL AND (status IS NULL OR status = 'ok') AND NOT excluded")
        return ("WHERE " + " AND ".join(terms) if terms else ""), values


# ---------------------------------------------------------------- for bench-run and add

def record_folder(db_path, folder, timeout=BUSY_TIMEOUT):
    """The RunEntry of a run folder, recorded (entry.recorded: its id and whether it was
    recorded now). Raises NotARun or HistoryError."""
    entry = read_run(folder)
    with History(db_path, timeout=timeout) as history:
        entry.recorded = history.record(entry)
    return entry


def disputed_line(entry):
    return ("its run id is also claimed by %s, another run: recorded apart, as %s"
            % (entry.disputed, entry.run["run_key"]))


def record_quietly(db_path, folder, timeout=BUSY_TIMEOUT, prog="bench-history"):
    """Records a run folder in the history (db_path None: the default one) and returns True
    when the run is in it (recorded now or before). When the database is locked beyond the
    timeout, read-only, damaged or of a newer schema, or the folder is not a run that has
    ended, prints one line on standard error and returns False; never raises for those."""
    try:
        entry = record_folder(db_path, folder, timeout)
        if entry.disputed:
            print("%s: %s" % (prog, disputed_line(entry)), file=sys.stderr)
        return True
    except (NotARun, HistoryError) as e:
        print("%s: run not recorded in the history: %s" % (prog, e), file=sys.stderr)
        return False
