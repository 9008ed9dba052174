"""The history database: where it is, its schema and its versions, recording a run, reading
runs back.

Location: --db PATH, else $BENCH_HISTORY, else $XDG_DATA_HOME/tarnwick-benchmarks/history.sqlite,
else ~/.local/share/tarnwick-benchmarks/history.sqlite. A file on a shared file system serves
a team: SQLite's rollback journal (not WAL) works there as long as the file system's locks do.

Writes are transactions begun with BEGIN IMMEDIATE, so that writers queue on the database's
lock (for up to the busy timeout) instead of failing half-way. A run is recorded once: its
key is run.json's run_id, else the folder's real path; recording it again changes nothing.

Schema versions (PRAGMA user_version):
  1  runs (one row a run) and run_windows (one row a window: host, frames, time, rate, state)
  2  adds runs.repeats, run_hosts (one row a host of a run: its CPU, cores, memory, GL
     renderer, MPI library, windows and rate) and an index on the runs' series and time.
     A version 1 database is migrated when it is opened; its hosts are derived from its
     windows (the runner's own host keeps its CPU model and renderer).
A new database is made by the version 1 schema and every migration after it, so the path
from version 1 is the one every database takes.
"""

import datetime
import json
import os
import sqlite3
import sys
from dataclasses import dataclass

from .folder import RUN_COLUMNS, NotARun, read_run

BUSY_TIMEOUT = 10.0  # seconds a writer waits for another one to finish
CURRENT_VERSION = 2

SCHEMA_V1 = (
    """CREATE TABLE runs (
        id INTEGER PRIMARY KEY,
        run_key TEXT NOT NULL UNIQUE,  -- run.json's run_id, else the folder's real path
        folder TEXT NOT NULL,          -- absolute path of the run folder
        recorded_at TEXT NOT NULL,     -- ISO 8601, when it was recorded
        program TEXT NOT NULL,
        windows INTEGER NOT NULL,
        frames INTEGER,                -- --frames F, or
        seconds REAL,                  -- --seconds S
        start_time TEXT,               -- ISO 8601 as run.json has it
        end_time TEXT,
        started REAL,                  -- start_time in seconds since the epoch, for ordering
        status TEXT,                   -- ok | failed | interrupted; NULL without run.json
        error TEXT,
        headline REAL,                 -- workload rate summed over the windows; NULL: none
        host TEXT,                     -- the runner's host
        cpu_model TEXT,
        gl_renderer TEXT,
        gl_version TEXT,
        mpi_library TEXT,
        mpi_version TEXT,
        screen_width INTEGER,
        screen_height INTEGER,
        screen_depth INTEGER,
        git_revision TEXT)""",
    """CREATE TABLE run_windows (
        run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
        window INTEGER,
        host TEXT,
        frames INTEGER NOT NULL,
        seconds REAL,                  -- the window's total running time
        rate REAL,                     -- workload rate; NULL when it did not count
        state TEXT NOT NULL,           -- ok, or what is wrong with its figures
        PRIMARY KEY (run, window))""",
)

# MIGRATIONS[v]: the statements that take a database from version v to v + 1.
MIGRATIONS = {
    1: (
        "ALTER TABLE runs ADD COLUMN repeats INTEGER",
        """CREATE TABLE run_hosts (
            run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
            host TEXT NOT NULL,
            cpu_model TEXT,
            cores INTEGER,
            memory_bytes INTEGER,
            gl_renderer TEXT,
            mpi_library TEXT,
            windows INTEGER NOT NULL,      -- windows placed on the host
            rate REAL,                     -- their workload rates summed; NULL: none counted
            PRIMARY KEY (run, host))""",
        """INSERT INTO run_hosts (run, host, cpu_model, gl_renderer, mpi_library, windows, rate)
            SELECT w.run, coalesce(w.host, '?'),
                   CASE WHEN w.host = r.host THEN r.cpu_model END,
                   CASE WHEN w.host = r.host THEN r.gl_renderer END,
                   r.mpi_library, count(*), sum(w.rate)
            FROM run_windows w JOIN runs r ON r.id = w.run
            GROUP BY w.run, coalesce(w.host, '?')""",
        "CREATE INDEX runs_series ON runs (program, windows, screen_depth, gl_renderer, started)",
    ),
}

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
            elif not os.path.exists(self.path):
                return self  # no history yet: nothing recorded
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
        """(run id, True) when the run is recorded now, (its id, False) when it was before."""
        recorded_at = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
        with self._transaction():
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

    def earlier_comparable(self, entry, last):
        """The last `last` runs of the entry's series that started before it, ended ok (or
        have no run.json) and have a headline, newest first."""
        if self.conn is None:
            return []
        program, windows, depth, renderer = entry.series
        where = Where(program=program, windows=windows, depth=depth, renderer_is=renderer,
                      before=entry.run["started"], not_key=entry.run["run_key"],
                      usable=True)
        return self.runs(where, order="started DESC, id DESC LIMIT %d" % int(last))


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
    before: float = None
    not_key: str = None
    usable: bool = False           # status ok (or unknown) and a headline

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
            term("headline IS NOT NULL AND (status IS NULL OR status = 'ok')")
        return ("WHERE " + " AND ".join(terms) if terms else ""), values


# ---------------------------------------------------------------- for bench-run and add

def record_folder(db_path, folder, timeout=BUSY_TIMEOUT):
    """(run id, recorded now) for a run folder. Raises NotARun or HistoryError."""
    entry = read_run(folder)
    with History(db_path, timeout=timeout) as history:
        return history.record(entry)


def record_quietly(db_path, folder, timeout=BUSY_TIMEOUT, prog="bench-history"):
    """Records a run folder in the history (db_path None: the default one) and returns True
    when the run is in it (recorded now or before). When the database is locked beyond the
    timeout, read-only, damaged or of a newer schema, or the folder is not a run that has
    ended, prints one line on standard error and returns False; never raises for those."""
    try:
        record_folder(db_path, folder, timeout)
        return True
    except (NotARun, HistoryError) as e:
        print("%s: run not recorded in the history: %s" % (prog, e), file=sys.stderr)
        return False
