"""The two places a history lives, behind one small interface: an SQLite file (the default)
or a PostgreSQL server (a postgresql:// URI, through psycopg 3).

The store writes its SQL once, with ? for parameters and the types SQLite names; a server
connection rewrites it for PostgreSQL (%s parameters, BIGINT for INTEGER so that memory in
bytes fits, DOUBLE PRECISION for REAL, an identity column for the runs' id). The schema
version is SQLite's PRAGMA user_version, and on a server the one row of history_schema.

A server is asked with bounded waits, on its side and on ours: connecting (3 s), each
statement (statement_timeout and lock_timeout of 5 s, set at login; TCP keepalives and
tcp_user_timeout for a peer gone silent), and the client's own clock around each statement
(bounds.py), so that a server that takes the login and then freezes costs seconds. A server
that cannot be reached, refuses the login, does not answer in time or is read-only raises
ServerAway. Credentials come from libpq's own means (~/.pgpass, PGPASSWORD, a service file):
a target that may hold a password (a URI's user:password@ or ?password= / ?sslpassword=, a
libpq key=value string) is refused without repeating it, and a server is named in messages
without one. What a server says back is cut to one short line.
"""

import contextlib
import json
import re
import sqlite3

from . import bounds

CONNECT_TIMEOUT = 3        # seconds to reach a server
STATEMENT_TIMEOUT_MS = 5000
ANSWER_BOUND = 8           # seconds the client waits for any one answer (beyond the server's)
MESSAGE_LIMIT = 300        # characters of a server's message that are shown
SECRET_KEYS = ("password", "sslpassword")
KEY_VALUE = re.compile(r"\s*[A-Za-z_]+\s*=")       # libpq's "host=db dbname=bench ..."
SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*:")  # "postgresql:/db", "sqlite:x", "file:x"


class HistoryError(Exception):
    """The history cannot be used (locked, read-only, damaged, newer); one line says why."""


class ServerAway(HistoryError):
    """The history's server cannot take records now (down, login refused, no answer,
    read-only); they wait in the queue."""


def is_server(target):
    return isinstance(target, str) and target.startswith(("postgresql://", "postgres://"))


def _psycopg():
    try:
        import psycopg
    except ImportError:
        raise HistoryError("a history on a PostgreSQL server needs psycopg 3 (Debian: "
                           "python3-psycopg)") from None
    return psycopg


def check_target(target):
    """Refuses, in one line that never repeats it, a history target that may hold a password
    or that is neither a file path nor a postgresql:// URI (a mistyped URI would otherwise
    become local folders)."""
    if is_server(target):
        server_name(target)
        return
    if KEY_VALUE.match(target):
        raise HistoryError(
            "the history looks like a libpq key=value string%s: name a server by a "
            "postgresql://[user@]host[:port]/dbname URI, its password in ~/.pgpass or "
            "PGPASSWORD (a file so named: ./NAME)"
            % (" holding a password" if re.search(r"password\s*=", target, re.I) else ""))
    if SCHEME.match(target):
        raise HistoryError("the history is neither a file path nor a postgresql:// URI (a "
                           "server: postgresql://[user@]host[:port]/dbname; a file whose name "
                           "holds a colon: ./NAME)")


def server_name(target):
    """The URI as messages show it: user, host, port, database; never a password."""
    parts = _parts(target)
    return "postgresql://%s%s%s/%s" % (
        parts["user"] + "@" if parts.get("user") else "", parts.get("host", ""),
        ":" + parts["port"] if parts.get("port") else "", parts.get("dbname", ""))


def _parts(target):
    """A server URI's parts; HistoryError (without the text) when libpq does not take it or
    it holds a password."""
    _psycopg()
    from psycopg.conninfo import conninfo_to_dict
    try:
        parts = conninfo_to_dict(target)
    except Exception as e:  # not echoed: the text may hold a password
        raise HistoryError("the history URI is not one libpq takes (postgresql://[user@]host"
                           "[:port]/dbname): %s" % type(e).__name__) from None
    if any(parts.get(k) is not None for k in SECRET_KEYS):
        raise HistoryError("the history URI for %s holds a password: give it through "
                           "~/.pgpass or PGPASSWORD instead, so that it shows nowhere"
                           % shown_host(parts.get("host")))
    return parts


def shown_host(host):
    return "the server" if not host else first_line(host)


class Sqlite:
    same = "IS"                   # equal, or both NULL
    errors = (sqlite3.Error,)

    def __init__(self, path, timeout, conn=None):
        self.conn = conn or sqlite3.connect(path, timeout=timeout, isolation_level=None)
        self.conn.row_factory = sqlite3.Row
        self.conn.execute("PRAGMA foreign_keys = ON")

    def execute(self, sql, params=()):
        return [dict(r) for r in self.conn.execute(sql, params)]

    def executemany(self, sql, rows):
        self.conn.executemany(sql, rows)

    def begin(self):
        self.conn.execute("BEGIN IMMEDIATE")

    def end(self, commit):
        self.conn.execute("COMMIT" if commit else "ROLLBACK")

    def version(self):
        return self.conn.execute("PRAGMA user_version").fetchone()[0]

    def set_version(self, version):
        self.conn.execute("PRAGMA user_version = %d" % version)

    def holds_tables(self):
        return self.conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] > 0

    def lock_schema(self):
        pass  # BEGIN IMMEDIATE holds the database already

    def ddl(self, statement):
        return statement

    def close(self):
        self.conn.close()


_PG_TYPES = [(re.compile(r"\bINTEGER PRIMARY KEY\b"),
              "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"),
             (re.compile(r"\bINTEGER\b"), "BIGINT"), (re.compile(r"\bREAL\b"), "DOUBLE PRECISION")]
SCHEMA_LOCK = 0x62656e6368  # the advisory lock that makes one writer create or migrate


def _pg_sql(sql):
    """? parameters as %s, a literal % as %%, quoted text left as it is."""
    out, quoted = [], False
    for c in sql:
        if c == "'":
            quoted = not quoted
        out.append("%%" if c == "%" else "%s" if c == "?" and not quoted else c)
    return "".join(out)


class Postgres:
    same = "IS NOT DISTINCT FROM"

    def __init__(self, target):
        psycopg = _psycopg()
        from psycopg.rows import dict_row
        self.errors = (psycopg.Error,)
        self.name = server_name(target)
        self.conn = None
        settings = "-c statement_timeout=%d -c lock_timeout=%d -c client_min_messages=warning " \
                   "-c standard_conforming_strings=on" % ((STATEMENT_TIMEOUT_MS,) * 2)
        given = _parts(target).get("options")
        try:
            with self._bounded(CONNECT_TIMEOUT + ANSWER_BOUND):
                self.conn = psycopg.connect(
                    target, connect_timeout=CONNECT_TIMEOUT, autocommit=True,
                    row_factory=dict_row, keepalives=1, keepalives_idle=5,
                    keepalives_interval=2, keepalives_count=2,
                    tcp_user_timeout=ANSWER_BOUND * 1000,
                    options=given + " " + settings if given else settings)
        except psycopg.Error as e:
            raise ServerAway("the history server %s cannot be reached: %s"
                             % (self.name, first_line(e))) from None
        except bounds.NoAnswer as e:
            self.close()
            raise ServerAway(str(e)) from None

    @contextlib.contextmanager
    def _bounded(self, seconds=ANSWER_BOUND):
        try:
            with bounds.bounded(seconds, "the history server %s" % self.name):
                yield
        except BaseException as e:
            if not isinstance(e, self.errors):
                self.close()  # a conversation broken off half-way cannot go on
            raise

    def execute(self, sql, params=()):
        with self._bounded():
            return self._execute(sql, params)

    def _execute(self, sql, params):
        if sql.lstrip().startswith("SELECT"):
            # The rows as one JSON text the server makes and Python's C parser reads: psycopg
            # takes every cell apart in Python, ten times slower over a thousand runs. A
            # sorted subquery feeds the aggregate in its order.
            cur = self.conn.execute("SELECT coalesce(json_agg(q), '[]')::text AS rows FROM "
                                    "(%s) q" % _pg_sql(sql), params)
            return json.loads(cur.fetchone()["rows"])
        cur = self.conn.execute(_pg_sql(sql), params)
        return cur.fetchall() if cur.description else []

    def executemany(self, sql, rows):
        with self._bounded(), self.conn.cursor() as cur:
            cur.executemany(_pg_sql(sql), rows)

    def begin(self):
        self.execute("BEGIN")

    def end(self, commit):
        self.execute("COMMIT" if commit else "ROLLBACK")

    def version(self):
        # A query of the catalog, not to_regclass: it sees what another writer has just
        # committed (to_regclass may answer from a cache of before).
        if not self._one(
                "SELECT count(*) AS n FROM pg_catalog.pg_tables WHERE tablename = "
                "'history_schema' AND schemaname = current_schema()")["n"]:
            return 0
        return self._one("SELECT max(version) AS v FROM history_schema")["v"] or 0

    def set_version(self, version):
        self._one("CREATE TABLE IF NOT EXISTS history_schema (version BIGINT NOT NULL)")
        self._one("DELETE FROM history_schema")
        self._one("INSERT INTO history_schema VALUES (%s)", (version,))

    def holds_tables(self):
        return self._one("SELECT count(*) AS n FROM information_schema.tables "
                         "WHERE table_schema = current_schema()")["n"] > 0

    def lock_schema(self):
        self._one("SELECT pg_advisory_xact_lock(%d)" % SCHEMA_LOCK)

    def _one(self, sql, params=()):
        """The first row of a statement in psycopg's own form (None: no rows)."""
        with self._bounded():
            cur = self.conn.execute(sql, params)
            return cur.fetchone() if cur.description else None

    def ddl(self, statement):
        for pattern, replacement in _PG_TYPES:
            statement = pattern.sub(replacement, statement)
        return statement

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None


def first_line(error):
    """The first line of an error (or text), cut to MESSAGE_LIMIT characters."""
    line = (str(error)[:MESSAGE_LIMIT * 4].strip().splitlines() or [type(error).__name__])[0]
    return line if len(line) <= MESSAGE_LIMIT else line[:MESSAGE_LIMIT] + "... (cut)"


def is_psycopg_error(error):
    try:
        import psycopg
    except ImportError:
        return False
    return isinstance(error, psycopg.Error)


def away(error):
    """Whether a server's error means it cannot take records now, not that the history is
    wrong: the connection lost, no answer in time, read-only, not allowed."""
    import psycopg
    return isinstance(error, (psycopg.OperationalError, psycopg.errors.ReadOnlySqlTransaction,
                              psycopg.errors.InsufficientPrivilege,
                              psycopg.errors.QueryCanceled))
