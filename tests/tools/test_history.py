"""The run history (tools/bench-history, benchlib.history): writers at once, databases that
cannot be used, the migration from schema version 1, check, and add."""

import contextlib
import datetime
import io
import json
import os
import sqlite3
import subprocess
import tempfile
import unittest

import toolstest as T
from benchlib.history import store

BENCH_HISTORY = os.path.join(T.TOOLS_DIR, "bench-history")
LLVMPIPE = "llvmpipe (LLVM 15.0.6, 256 bits)"
DAY = datetime.timedelta(days=1)


def run_folder(root, name, start, headline, windows=2, renderer=LLVMPIPE, status="ok"):
    """A Shardfall run folder as bench-run leaves it: every window on host vm at the same
    rate, headline / windows, over two frames."""
    folder = os.path.join(root, name)
    os.makedirs(folder)
    rate, files = headline / windows, {}
    for w in range(1, windows + 1):
        files[str(w)] = T.results_name("shardfall", w, "vm", start)
        frames = [(3600 * w * k, 3600 * w * k / rate) for k in (1, 2)]
        T.write_lines(folder, files[str(w)], T.shardfall_lines(w, frames, "vm"))
    when = start.astimezone().isoformat()
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump({"program": "shardfall", "windows": windows, "frames": 2, "run_id": name,
                   "status": status, "error": None, "start_time": when, "end_time": when,
                   "results_files": files,
                   "context": {"host": "vm", "gl_renderer": renderer,
                               "screen": {"width": 1640, "height": 1640, "depth": 24}},
                   "hosts": [{"name": "vm", "cpu_model": "Test CPU"}]}, f)
    return folder


def history(db, *args):
    return T.run_tool(BENCH_HISTORY, "--db", db, *args, timeout=120)


def count_runs(db):
    with contextlib.closing(sqlite3.connect(db)) as conn:
        return conn.execute("SELECT count(*) FROM runs").fetchone()[0]


class Base(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name
        self.db = os.path.join(self.dir, "shared", "history.sqlite")

    def record_quietly(self, folder, timeout=store.BUSY_TIMEOUT):
        """(result, lines on standard error) of record_quietly."""
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            result = store.record_quietly(self.db, folder, timeout=timeout)
        return result, err.getvalue().splitlines()


class Writers(Base):
    def test_writers_at_once_all_land(self):
        start = datetime.datetime(2026, 12, 1, 10)
        groups = [[run_folder(self.dir, "run-%d-%d" % (p, i), start + (3 * p + i) * DAY, 2000)
                   for i in range(3)] for p in range(6)]
        procs = [subprocess.Popen([BENCH_HISTORY, "--db", self.db, "add"] + folders,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                 for folders in groups]
        for proc in procs:
            self.assertEqual((proc.wait(timeout=120), proc.stderr.read()), (0, ""))
            proc.stderr.close()
        with contextlib.closing(sqlite3.connect(self.db)) as conn:
            self.assertEqual(conn.execute("SELECT count(*), count(DISTINCT folder) FROM runs "
                                          "WHERE id IN (SELECT run FROM run_windows) AND id IN "
                                          "(SELECT run FROM run_hosts)").fetchone(), (18, 18))

    def test_add_records_a_run_once_and_goes_past_a_folder_that_is_not_one(self):
        start = datetime.datetime(2026, 12, 1, 10)
        a = run_folder(self.dir, "a", start, 2000)
        b = run_folder(self.dir, "b", start + DAY, 2000)
        empty = os.path.join(self.dir, "empty")
        os.makedirs(empty)
        proc = history(self.db, "add", a, empty, b, a)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
        self.assertIn("empty is not a run folder", proc.stderr)
        proc = history(self.db, "add", a)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("already recorded", proc.stdout)
        self.assertEqual(count_runs(self.db), 2)


class UnusableDatabases(Base):
    def setUp(self):
        super().setUp()
        self.folder = run_folder(self.dir, "run", datetime.datetime(2026, 12, 1, 10), 2000)

    def test_locked_beyond_the_timeout_one_line_and_the_caller_goes_on(self):
        self.assertEqual(self.record_quietly(self.folder)[0], True)
        other = run_folder(self.dir, "other", datetime.datetime(2026, 12, 2, 10), 2000)
        holder = sqlite3.connect(self.db, isolation_level=None)
        holder.execute("BEGIN EXCLUSIVE")
        try:
            result, lines = self.record_quietly(other, timeout=0.2)
        finally:
            holder.close()
        self.assertEqual(result, False)
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("locked", lines[0])
        self.assertEqual(self.record_quietly(other), (True, []))
        self.assertEqual(count_runs(self.db), 2)

    def test_damaged_or_newer_database_one_line_and_left_as_it_is(self):
        os.makedirs(os.path.dirname(self.db))
        with contextlib.closing(sqlite3.connect(self.db)) as newer:
            newer.execute("PRAGMA user_version = %d" % (store.CURRENT_VERSION + 1))
        with open(self.db, "rb") as f:
            newer_bytes = f.read()
        for content, says in ((b"not a database at all\n" * 300, "damaged"),
                              (newer_bytes, "newer than this tool knows")):
            with self.subTest(says):
                with open(self.db, "wb") as f:
                    f.write(content)
                result, lines = self.record_quietly(self.folder)
                self.assertEqual(result, False)
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(says, lines[0])
                with open(self.db, "rb") as f:
                    self.assertEqual(f.read(), content)


# The first schema, as version 1 of bench-history made it.
SCHEMA_V1 = """
CREATE TABLE runs (id INTEGER PRIMARY KEY, run_key TEXT NOT NULL UNIQUE, folder TEXT NOT NULL,
    recorded_at TEXT NOT NULL, program TEXT NOT NULL, windows INTEGER NOT NULL, frames INTEGER,
    seconds REAL, start_time TEXT, end_time TEXT, started REAL, status TEXT, error TEXT,
    headline REAL, host TEXT, cpu_model TEXT, gl_renderer TEXT, gl_version TEXT,
    mpi_library TEXT, mpi_version TEXT, screen_width INTEGER, screen_height INTEGER,
    screen_depth INTEGER, git_revision TEXT);
CREATE TABLE run_windows (run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    window INTEGER, host TEXT, frames INTEGER NOT NULL, seconds REAL, rate REAL,
    state TEXT NOT NULL, PRIMARY KEY (run, window));
PRAGMA user_version = 1;
"""


class Migration(Base):
    def test_version_1_is_migrated_and_keeps_its_runs(self):
        os.makedirs(os.path.dirname(self.db))
        with contextlib.closing(sqlite3.connect(self.db)) as conn:
            conn.executescript(SCHEMA_V1)
            conn.execute(
                "INSERT INTO runs (id, run_key, folder, recorded_at, program, windows, frames, "
                "started, status, headline, host, cpu_model, gl_renderer, screen_depth) "
                "VALUES (7, 'old', '/runs/old', '2026-11-01T10:00:00+00:00', 'shardfall', 3, "
                "2, 1780000000, 'ok', 3000, 'vm', 'Test CPU', ?, 24)", (LLVMPIPE,))
            conn.executemany("INSERT INTO run_windows VALUES (7, ?, ?, 2, 1.5, ?, 'ok')",
                             [(1, "vm", 1000.0), (2, "node2", 1200.0), (3, "vm", 800.0)])
            conn.commit()
        new = run_folder(self.dir, "new", datetime.datetime(2026, 12, 1, 10), 2000)
        self.assertEqual(self.record_quietly(new), (True, []))
        with store.History(self.db) as h:
            self.assertEqual(h.version(), 2)
            old, recorded = h.runs()
        self.assertEqual((old["run_key"], old["headline"], old["repeats"]), ("old", 3000, None))
        self.assertCountEqual([(x["host"], x["windows"], x["rate"], x["cpu_model"])
                               for x in old["hosts"]],
                              [("vm", 2, 1800.0, "Test CPU"), ("node2", 1, 1200.0, None)])
        self.assertEqual(len(old["windows_list"]), 3)
        self.assertEqual((recorded["run_key"], [x["host"] for x in recorded["hosts"]]),
                         ("new", ["vm"]))


QUIET = [2000, 2010, 1990, 2020, 1985, 2005, 1995, 2015, 2000, 1980]     # about 1 %
NOISY = [2000, 2600, 1500, 2300, 1700, 2900, 1400, 2100, 1900, 2500]     # about 20 %


class Check(Base):
    def series(self, headlines):
        start = datetime.datetime(2026, 12, 1, 10)
        for i, headline in enumerate(headlines):
            self.assertTrue(self.record_quietly(
                run_folder(self.dir, "ok-%d" % i, start + i * DAY / 4, headline))[0])
        # Later, but not to be compared with: a failed run and a run on another renderer.
        for name, kwargs in (("failed", dict(status="failed")),
                             ("other", dict(renderer="softpipe"))):
            self.assertTrue(self.record_quietly(
                run_folder(self.dir, name, start + 3 * DAY, 500, **kwargs))[0])
        self.after = start + 4 * DAY

    def check(self, headline, *args, **kwargs):
        folder = run_folder(self.dir, "checked-%d" % len(os.listdir(self.dir)), self.after,
                            headline, **kwargs)
        return history(self.db, "check", folder, *args)

    def assert_gate(self, headline, pct, status, says):
        proc = self.check(headline, "--fail-above", str(pct))
        self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
        self.assertIn(says, proc.stdout)
        return proc.stdout

    def test_a_quiet_series_tells_a_regression_from_a_smaller_fall(self):
        self.series(QUIET)
        out = self.assert_gate(1600, 10, 1, "REGRESSION: significantly below the median, "
                                             "by more than 10%")
        self.assertIn("headline 20.0% below the median of the last 10 runs (2000 "
                      "triangles/s)", out)
        # Significantly below, but by less than the threshold: no regression.
        out = self.assert_gate(1900, 10, 0, "no regression beyond 10%")
        self.assertIn("significantly below", out)
        self.assert_gate(2010, 10, 0, "within the noise")

    def test_a_noisy_series_cannot_tell_a_small_fall_but_sees_a_large_one(self):
        self.series(NOISY)
        self.assert_gate(1700, 10, 0, "CANNOT TELL: the series is too noisy to see a fall of "
                                      "10%")
        self.assert_gate(400, 10, 1, "REGRESSION")
        # A threshold above what the noise hides passes a run within it.
        out = self.assert_gate(1700, 90, 0, "no regression beyond 90%")
        self.assertIn("within the noise", out)

    def test_too_few_comparable_runs(self):
        self.series(QUIET[:5])
        proc = self.check(100, "--fail-above", "5", windows=3)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("too few comparable runs to check against: 0 recorded before this one",
                      proc.stdout)


if __name__ == "__main__":
    unittest.main()
