"""The history's schema and its versions (PRAGMA user_version).

  1  runs (one row a run) and run_windows (one row a window: host, frames, time, rate, state)
  2  adds runs.repeats, run_hosts (one row a host of a run: its CPU, cores, memory, GL
     renderer, MPI library, windows and rate) and an index on the runs' series and time.
     A version 1 database is migrated when it is opened; its hosts are derived from its
     windows (the runner's own host keeps its CPU model and renderer).
  3  adds to runs the series' mode (frames or seconds; derived for the runs before) and
     rendering variables, bench-run's tag, the claim (a digest of what identifies the
     folder's run, so that another folder naming the same run_id is told apart), and what
     a person curates: excluded, pinned (the baseline), note; and the hosts' order.
  4  adds to runs what the regression gate leaves: flagged (why `check` failed the run; such
     a run is out of later runs' baseline) and accepted (a person took the run as the new
     normal: `bench-history accept`).
The same schema and migrations make a history on a PostgreSQL server (backend.py rewrites
the types); a server's history begins at version 3.
A new database is made by the version 1 schema and every migration after it, so the path
from version 1 is the one every database takes.
"""

CURRENT_VERSION = 4

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
        "window" INTEGER,
        host TEXT,
        frames INTEGER NOT NULL,
        seconds REAL,                  -- the window's total running time
        rate REAL,                     -- workload rate; NULL when it did not count
        state TEXT NOT NULL,           -- ok, or what is wrong with its figures
        PRIMARY KEY (run, "window"))""",
)

# MIGRATIONS[v]: the statements that take a database from version v to v + 1; a pair is
# (for SQLite, for a server), None where a server needs nothing (its histories begin at 3).
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
                   max(CASE WHEN w.host = r.host THEN r.cpu_model END),
                   max(CASE WHEN w.host = r.host THEN r.gl_renderer END),
                   max(r.mpi_library), count(*), sum(w.rate)
            FROM run_windows w JOIN runs r ON r.id = w.run
            GROUP BY w.run, coalesce(w.host, '?')""",
        "CREATE INDEX runs_series ON runs (program, windows, screen_depth, gl_renderer, started)",
    ),
    2: (
        "ALTER TABLE runs ADD COLUMN mode TEXT",           # frames | seconds; NULL: unknown
        "ALTER TABLE runs ADD COLUMN rendering_env TEXT",  # JSON {name: value}; NULL: none
        "ALTER TABLE runs ADD COLUMN tag TEXT",            # bench-run --tag
        "ALTER TABLE runs ADD COLUMN claim TEXT",          # what proves the folder's run
        "ALTER TABLE runs ADD COLUMN excluded INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE runs ADD COLUMN pinned INTEGER NOT NULL DEFAULT 0",   # in the baseline
        "ALTER TABLE runs ADD COLUMN note TEXT",
        "UPDATE runs SET mode = CASE WHEN seconds IS NOT NULL THEN 'seconds' "
        "WHEN frames IS NOT NULL THEN 'frames' END",
        "ALTER TABLE run_hosts ADD COLUMN position INTEGER",  # the hosts' order in the run
        ("UPDATE run_hosts SET position = rowid", None),
        "DROP INDEX runs_series",
        "CREATE INDEX runs_series ON runs (program, windows, screen_depth, gl_renderer, mode, "
        "started)",
    ),
    3: (
        "ALTER TABLE runs ADD COLUMN flagged TEXT",   # why the gate failed it; NULL: it did not
        "ALTER TABLE runs ADD COLUMN accepted INTEGER NOT NULL DEFAULT 0",
    ),
}

