"""An SQLite history read without a write to it: the source of an import, or an older history
that cannot be migrated where it lies (a read-only mount, another user's file).

The file is opened read-only (immutable on a read-only mount, where no journal can be made),
and only its three tables are read, by explicit column lists, into a database in memory made
by this tool's own schema at the file's version; the copy is then migrated as any history.
Nothing stored in the file runs: its views, triggers and migrations stay where they are, and
reading it stops after READ_BOUND seconds.
"""

import os
import sqlite3
import time
import urllib.parse

from .backend import HistoryError
from .schema import CURRENT_VERSION, MIGRATIONS, SCHEMA_V1

READ_BOUND = 60          # seconds the reading of a file may take
TABLES = ("runs", "run_windows", "run_hosts")


def _schema_at(version):
    """A database in memory with the schema of a history at this version."""
    conn = sqlite3.connect(":memory:", isolation_level=None)
    for statement in SCHEMA_V1:
        conn.execute(statement)
    for v in range(1, version):
        for statement in MIGRATIONS[v]:
            statement = statement[0] if isinstance(statement, tuple) else statement
            conn.execute(statement)
    conn.execute("PRAGMA user_version = %d" % version)
    return conn


def _columns(conn, table):
    return [row[1] for row in conn.execute('PRAGMA table_info("%s")' % table)]


def copy_in_memory(path):
    """The history in the file at path as a database in memory at the file's own version
    (0 and empty when the file holds nothing yet); HistoryError with one line when it is not a
    history this tool reads."""
    folder = os.path.dirname(os.path.abspath(path))
    read_only_mount = bool(os.statvfs(folder).f_flag & os.ST_RDONLY)
    uri = "file:%s?mode=ro%s" % (urllib.parse.quote(os.path.abspath(path)),
                                 "&immutable=1" if read_only_mount else "")
    source = sqlite3.connect(uri, uri=True, isolation_level=None)
    deadline = time.monotonic() + READ_BOUND
    source.set_progress_handler(lambda: time.monotonic() > deadline, 10000)
    try:
        return _copy(source, path)
    except sqlite3.OperationalError as e:
        if "interrupted" in str(e):
            raise HistoryError("reading the history %s took more than %d s: stopped"
                               % (path, READ_BOUND)) from None
        raise
    finally:
        source.close()


def _copy(source, path):
    version = source.execute("PRAGMA user_version").fetchone()[0]
    if version > CURRENT_VERSION:
        raise HistoryError("the history %s has schema version %d, newer than this tool knows "
                           "(%d): use a newer checkout" % (path, version, CURRENT_VERSION))
    kinds = dict(source.execute("SELECT name, type FROM sqlite_master WHERE name IN (%s)"
                                % ", ".join("'%s'" % t for t in TABLES)).fetchall())
    if version == 0:
        if source.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
            raise HistoryError("%s is a database but not a run history" % path)
        return _schema_at(1)
    copy = _schema_at(version)
    for table in TABLES:
        wanted = _columns(copy, table)
        if not wanted:
            continue  # not yet at the file's version
        if kinds.get(table) != "table":
            raise HistoryError("%s is not a run history: its %s is %s, not a table"
                               % (path, table, kinds.get(table) or "missing"))
        missing = [c for c in wanted if c not in _columns(source, table)]
        if missing:
            raise HistoryError("%s is not a run history of schema version %d: its table %s "
                               "has no column %s" % (path, version, table, missing[0]))
        names = ", ".join('"%s"' % c for c in wanted)
        rows = source.execute('SELECT %s FROM "%s"' % (names, table))
        copy.executemany('INSERT INTO "%s" (%s) VALUES (%s)'
                         % (table, names, ", ".join("?" * len(wanted))), rows)
    return copy
