"""The run history (tools/bench-history, benchlib.history): writers at once, databases that
cannot be used, the migration from schema version 1, check and its noise, the gates, add,
curation, references, what would poison a shared history, the queue's bad records, targets
that may hold a password, sources read read-only, and a server that freezes."""

import contextlib
import datetime
import io
import json
import os
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import tomllib
import unittest
from unittest import mock
import xml.etree.ElementTree as ET

import toolstest as T
from benchlib.history import queue, recording, store

BENCH_HISTORY = os.path.join(T.TOOLS_DIR, "bench-history")
LLVMPIPE = "llvmpipe (LLVM 15.0.6, 256 bits)"
DAY = datetime.timedelta(days=1)


def run_folder(root, name, start, headline, windows=2, renderer=LLVMPIPE, status="ok",
               **extra):
    """A Shardfall run folder as bench-run leaves it: every window on host vm at the same
    rate, headline / windows, over two frames; extra: run.json's fields to add or change."""
    folder = os.path.join(root, name)
    os.makedirs(folder)
    rate, files = headline / windows, {}
    for w in range(1, windows + 1):
        files[str(w)] = T.results_name("shardfall", w, "vm", start)
        frames = [(3600 * w * k, 3600 * w * k / rate) if rate else (0, k) for k in (1, 2)]
        T.write_lines(folder, files[str(w)], T.shardfall_lines(w, frames, "vm"))
    when = start.astimezone().isoformat()
    info = {"program": "shardfall", "windows": windows, "frames": 2, "run_id": name,
            "status": status, "error": None, "start_time": when, "end_time": when,
            "results_files": files,
            "context": {"host": "vm", "gl_renderer": renderer,
                        "screen": {"width": 1640, "height": 1640, "depth": 24}},
            "hosts": [{"name": "vm", "cpu_model": "Test CPU"}]}
    info.update(extra)
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump(info, f)
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
            result = recording.record_quietly(self.db, folder, timeout=timeout)
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
        # A series (bench-run --repeat) is its repeats, each a run.
        series = os.path.join(self.dir, "series")
        os.makedirs(series)
        for k in (1, 2):
            run_folder(series, "repeat-%d" % k, start + (2 + k) * DAY, 2000)
        with open(os.path.join(series, "run.json"), "w") as f:
            json.dump({"program": "shardfall", "status": "ok", "run_id": "s", "repeats": [
                {"folder": "repeat-%d" % k, "status": "ok"} for k in (1, 2)] + [
                {"folder": "../a", "status": "ok"}]}, f)
        proc = history(self.db, "add", series)
        self.assertEqual((proc.returncode, proc.stdout.count("added ")), (0, 2), proc.stderr)
        self.assertEqual(count_runs(self.db), 4)


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
            self.assertEqual(h.version(), store.CURRENT_VERSION)
            old, recorded = h.runs()
        self.assertEqual((old["run_key"], old["headline"], old["repeats"], old["mode"],
                          old["excluded"], old["pinned"], old["flagged"], old["accepted"]),
                         ("old", 3000, None, "frames", 0, 0, None, 0))
        self.assertCountEqual([(x["host"], x["windows"], x["rate"], x["cpu_model"])
                               for x in old["hosts"]],
                              [("vm", 2, 1800.0, "Test CPU"), ("node2", 1, 1200.0, None)])
        self.assertEqual(len(old["windows_list"]), 3)
        self.assertEqual((recorded["run_key"], [x["host"] for x in recorded["hosts"]]),
                         ("new", ["vm"]))

    def test_version_2_as_made_before_curation_opens_and_keeps_its_hosts_order(self):
        from benchlib.history import schema
        os.makedirs(os.path.dirname(self.db))
        with contextlib.closing(sqlite3.connect(self.db)) as conn:
            for statement in schema.SCHEMA_V1 + schema.MIGRATIONS[1]:
                conn.execute(statement)
            conn.execute("PRAGMA user_version = 2")
            conn.execute(
                "INSERT INTO runs (id, run_key, folder, recorded_at, program, windows, seconds, "
                "started, status, headline) VALUES (3, 'k', '/runs/k', '2026-12-08', "
                "'latticeglow', 2, 20, 1780000000, 'ok', 5e5)")
            conn.executemany("INSERT INTO run_hosts (run, host, windows) VALUES (3, ?, 1)",
                             [("node9",), ("node1",)])
            conn.commit()
        proc = history(self.db, "list")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("seconds  node9,node1", proc.stdout)
        with store.History(self.db) as h:
            self.assertEqual(h.version(), store.CURRENT_VERSION)


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

    def test_junit_for_a_ci_with_a_hostile_renderer(self):
        renderer = "llvm<pipe> & \x1b[2J\u202e"
        self.series(NOISY)
        start = datetime.datetime(2026, 12, 1, 10)
        for i, headline in enumerate(QUIET):
            run_folder(self.dir, "hostile-%d" % i, start + i * DAY / 4, headline,
                       renderer=renderer)
            history(self.db, "add", os.path.join(self.dir, "hostile-%d" % i))
        junit = os.path.join(self.dir, "check.xml")
        for headline, renderer_of, status, outcome in ((1600, renderer, 1, "failure"),
                                                       (1700, LLVMPIPE, 0, "skipped"),
                                                       (2000, renderer, 0, None)):
            proc = self.check(headline, "--fail-above", "10", "--junit", junit,
                              renderer=renderer_of)
            self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
            self.assertNotIn("\x1b", proc.stdout)
            (case,) = ET.parse(junit).getroot().iter("testcase")
            self.assertEqual([child.tag for child in case if child.tag != "system-out"],
                             [outcome] if outcome else [])
            self.assertIn("headline %d triangles/s" % headline, case.find("system-out").text)
            if renderer_of == renderer:
                properties = {p.get("name"): p.get("value")
                              for p in ET.parse(junit).getroot().iter("property")}
                self.assertEqual(properties["gl_renderer"], "llvm<pipe> & \\x1b[2J\\u202e")

    def test_too_few_comparable_runs(self):
        self.series(QUIET[:5])
        proc = self.check(100, "--fail-above", "5", windows=3)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("too few comparable runs to check against: 0 recorded before this one",
                      proc.stdout)


class Curation(Base):
    """exclude, annotate, pin, check --baseline, reference; series keyed by mode and
    rendering variables."""

    def setUp(self):
        super().setUp()
        self.start = datetime.datetime(2026, 12, 1, 10)
        self.ids = []
        for i, headline in enumerate(QUIET[:6]):
            folder = run_folder(self.dir, "ok-%d" % i, self.start + i * DAY, headline,
                                tag="nightly" if i % 2 else None)
            self.assertEqual(history(self.db, "add", folder).returncode, 0)
            self.ids.append(str(i + 1))

    def listed(self, *args):
        proc = history(self.db, "list", *args)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.splitlines()[2:]

    def test_exclude_annotate_pin_and_the_baseline(self):
        # A deliberate experiment, far below, excluded: check no longer counts it.
        slow = run_folder(self.dir, "experiment", self.start + 6 * DAY, 500)
        history(self.db, "add", slow)
        proc = history(self.db, "exclude", slow)
        self.assertEqual((proc.returncode, proc.stdout.split()[:3]), (0, ["excluded", "run",
                                                                          "7"]))
        self.assertEqual(history(self.db, "annotate", "experiment", "half \x1b[31mthe cores"
                                 ).returncode, 0)
        lines = self.listed()
        self.assertIn("excluded", lines[6])
        self.assertIn("half \\x1b[31mthe cores", lines[6])
        self.assertIn("nightly", lines[1])
        self.assertEqual(len(self.listed("--tag", "nightly")), 3)
        checked = run_folder(self.dir, "checked", self.start + 7 * DAY, 2000)
        proc = history(self.db, "check", checked, "--last", "7")
        self.assertIn("median of the last 6 runs", proc.stdout)
        # The baseline: the pinned runs only, whenever they ran.
        self.assertEqual(history(self.db, "pin", *self.ids[:5]).returncode, 0)
        proc = history(self.db, "check", checked, "--baseline")
        self.assertIn("median of the 5 pinned runs (the baseline)", proc.stdout)
        self.assertEqual(history(self.db, "pin", "--undo", "1").returncode, 0)
        proc = history(self.db, "check", checked, "--baseline")
        self.assertIn("too few comparable runs to check against: 4 pinned", proc.stdout)
        # A run no one can name is refused in one line.
        proc = history(self.db, "pin", "no-such-run")
        self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1), proc.stderr)

    def test_mode_and_rendering_variables_make_series_of_their_own(self):
        env = {"GALLIUM_DRIVER": "softpipe"}
        for name, extra in (("seconds", dict(frames=None, seconds=20)),
                            ("softpipe", dict(rendering_env=env))):
            history(self.db, "add", run_folder(self.dir, name, self.start + 6 * DAY, 2000,
                                               **extra))
        proc = history(self.db, "trend", "--no-plot")
        self.assertEqual(proc.returncode, 2)
        self.assertIn("the runs form 3 series", proc.stderr)
        self.assertIn("--mode seconds", proc.stderr)
        self.assertIn("--env 'GALLIUM_DRIVER=softpipe'", proc.stderr)
        self.assertEqual(len(self.listed("--env", "GALLIUM_DRIVER=softpipe")), 1)
        proc = history(self.db, "trend", "--no-plot", "--mode", "frames", "--env", "none")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("6 run(s)", proc.stdout)
        # A new GL driver within the series is named where it came.
        for k, version in ((6.2, "4.5 Mesa 22.3.6"), (6.4, "4.5 Mesa 23.1.0")):
            context = {"host": "vm", "gl_renderer": LLVMPIPE, "gl_version": version,
                       "screen": {"width": 1640, "height": 1640, "depth": 24}}
            history(self.db, "add", run_folder(self.dir, version, self.start + k * DAY, 2000,
                                               context=context))
        proc = history(self.db, "trend", "--no-plot", "--mode", "frames", "--env", "none")
        self.assertRegex(proc.stdout, r"note: the GL driver changed at .*: 4\.5 Mesa 22\.3\.6 "
                                      r"-> 4\.5 Mesa 23\.1\.0")
        # A run checked is judged by its own series only: the one softpipe run before it.
        checked = run_folder(self.dir, "checked", self.start + 7 * DAY, 2000,
                             rendering_env=env)
        self.assertIn("the median of the last 1 runs", history(self.db, "check", checked,
                                                               "--last", "1").stdout)

    def test_reference_from_the_pinned_runs(self):
        history(self.db, "pin", *self.ids)
        history(self.db, "annotate", "1", "x")
        out = os.path.join(self.dir, "reference.toml")
        proc = history(self.db, "reference", "--out", out, "--hosts", "node*")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(out, "rb") as f:
            (entry,) = tomllib.load(f)["reference"]
        rates = sorted(h / 2 for h in QUIET[:6])
        median = (rates[2] + rates[3]) / 2
        self.assertEqual(entry, {"program": "shardfall", "windows": 2, "depth": 24,
                                 "hosts": "node*", "renderer": LLVMPIPE,
                                 "rate_per_window": median, "lower": 5.0, "upper": 5.0})
        # The renderer is a pattern matching itself only; a wide spread widens the tolerance.
        for i, headline in enumerate([1000, 3000, 2000]):
            history(self.db, "add", run_folder(self.dir, "wide-%d" % i, self.start + i * DAY,
                                               headline, renderer="llvm*pipe [x]"))
        history(self.db, "pin", "7", "8", "9")
        proc = history(self.db, "reference", "--renderer", "[x]")
        entry = tomllib.loads(proc.stdout)["reference"][0]
        self.assertEqual(entry["renderer"], "llvm[*]pipe [[]x]")
        # The pinned runs are 50 % below and above their median: all of them are accepted.
        self.assertGreaterEqual(min(entry["lower"], entry["upper"]), 50.0)
        proc = history(self.db, "reference", "--program", "latticeglow")
        self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1))


class Poisoning(Base):
    """Runs and paths that would spoil the history for everyone sharing it."""

    def test_a_start_in_year_1_is_refused_and_an_old_such_row_shows_as_unknown(self):
        folder = run_folder(self.dir, "year1", datetime.datetime(2026, 12, 1, 10), 2000,
                            start_time="0001-01-01T00:00:00+14:00")
        proc = history(self.db, "add", folder)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
        self.assertIn("is not a time a run was made", proc.stderr)
        # A history that took such a row before the check still lists and trends.
        good = run_folder(self.dir, "good", datetime.datetime(2026, 12, 1, 10), 2000)
        self.assertEqual(history(self.db, "add", good).returncode, 0)
        with contextlib.closing(sqlite3.connect(self.db)) as conn, conn:
            conn.execute("UPDATE runs SET started = -62135647200")
        for command in (["list"], ["trend", "--out", os.path.join(self.dir, "t.png")]):
            proc = history(self.db, *command)
            self.assertEqual((proc.returncode, proc.stderr), (0, ""), command)
            self.assertIn("?", proc.stdout)

    def test_a_copied_run_id_does_not_turn_the_real_run_away(self):
        start = datetime.datetime(2026, 12, 1, 10)
        copy = run_folder(self.dir, "copy", start, 100, run_id="shared-id",
                          runner={"host": "x", "pid": 1})
        real = run_folder(self.dir, "real", start, 2000, run_id="shared-id",
                          runner={"host": "vm", "pid": 4242})
        self.assertEqual(self.record_quietly(copy), (True, []))
        result, lines = self.record_quietly(real)
        self.assertEqual(result, True)
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("also claimed by %s" % os.path.realpath(copy), lines[0])
        with store.History(self.db) as h:
            self.assertEqual(sorted((r["folder"], round(r["headline"])) for r in h.runs()),
                             [(os.path.realpath(copy), 100), (os.path.realpath(real), 2000)])
        # Each folder again is "already recorded", and nothing is added.
        for folder in (copy, real):
            self.assertIn("already recorded", history(self.db, "add", folder).stdout)
        self.assertEqual(count_runs(self.db), 2)

    def test_paths_that_are_not_a_history_are_refused_without_a_journal(self):
        folder = run_folder(self.dir, "run", datetime.datetime(2026, 12, 1, 10), 2000)
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        for path in ("/dev/null", "/dev/full", fifo, self.dir):
            with self.subTest(path):
                proc = history(path, "add", folder)
                self.assertEqual(proc.returncode, 2)
                self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
                self.assertIn("not a regular file", proc.stderr)
                self.assertFalse(os.path.lexists(path + "-journal"))

    def test_a_link_another_user_planted_is_refused(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to make a link owned by another user")
        shared = os.path.join(self.dir, "shared")
        os.makedirs(shared, mode=0o1777)
        victim = os.path.join(self.dir, "victim")
        with open(victim, "w") as f:
            f.write("root's own file\n")
        link = os.path.join(shared, "history.sqlite")
        os.symlink(victim, link)
        os.lchown(link, 12345, 12345)
        folder = run_folder(self.dir, "run", datetime.datetime(2026, 12, 1, 10), 2000)
        result, lines = self.record_quietly(folder)
        self.assertEqual(result, False)
        self.assertIn("a link owned by another user", lines[0])
        with open(victim) as f:
            self.assertEqual(f.read(), "root's own file\n")

    def test_trend_writes_no_file_through_a_planted_link(self):
        self.record_quietly(run_folder(self.dir, "run", datetime.datetime(2026, 12, 1, 10),
                                       2000))
        victim = os.path.join(self.dir, "victim")
        with open(victim, "w") as f:
            f.write("another user's file\n")
        planted = os.path.join(self.dir, "trend.png")
        os.symlink(victim, planted)
        proc = subprocess.run([BENCH_HISTORY, "--db", self.db, "trend", "--out", planted],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(victim) as f:
            self.assertEqual(f.read(), "another user's file\n")
        with open(planted, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertFalse(os.path.islink(planted))

    def test_a_last_beyond_any_history_is_refused_in_one_line(self):
        folder = run_folder(self.dir, "run", datetime.datetime(2026, 12, 1, 10), 2000)
        proc = history(self.db, "check", folder, "--last", "99999999999999999999")
        self.assertEqual(proc.returncode, 2)
        self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
        self.assertIn("--last: takes a whole number from 1 to 100000", proc.stderr)


class Gates(Base):
    """check --fail-above as a CI's gate: the load, a failed run kept out of the baseline
    until accepted, a changed renderer, values the statistics cannot model."""

    def setUp(self):
        super().setUp()
        self.start = datetime.datetime(2026, 12, 1, 10)
        for i, headline in enumerate(QUIET):
            self.assertTrue(self.record_quietly(
                run_folder(self.dir, "ok-%d" % i, self.start + i * DAY / 4, headline))[0])

    def listed_tag(self, tag):
        proc = history(self.db, "list", "--tag", tag)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.splitlines()[2:]

    def gate(self, name, days, headline, *args, record=True, **extra):
        folder = run_folder(self.dir, name, self.start + days * DAY, headline, **extra)
        if record:
            self.assertTrue(self.record_quietly(folder)[0])
        return history(self.db, "check", folder, "--fail-above", "10", *args)

    def test_busy_machine_failed_runs_and_a_changed_renderer(self):
        context = {"host": "vm", "gl_renderer": LLVMPIPE, "cores": 2, "load_end": [2.9, 2, 1],
                   "screen": {"width": 1640, "height": 1640, "depth": 24}}
        proc = self.gate("busy", 4, 1000, record=False, context=context)
        self.assertEqual(proc.returncode, 0, proc.stdout)
        self.assertIn("CANNOT TELL: the load average reached 2.90 on 2 cores", proc.stdout)
        # The same regression on the next build stays red: the first is out of the baseline.
        for name in ("slow-1", "slow-2"):
            proc = self.gate(name, 5 if name == "slow-1" else 6, 1000, "--last", "1")
            self.assertEqual(proc.returncode, 1, proc.stdout)
            self.assertIn("REGRESSION", proc.stdout)
        self.assertEqual(history(self.db, "accept", "slow-1").returncode, 0)
        slow2 = os.path.join(self.dir, "slow-2")
        proc = history(self.db, "check", slow2, "--fail-above", "10", "--last", "1")
        self.assertEqual(proc.returncode, 0, proc.stdout)
        # A build that falls back to another renderer fails, twice, until the change is accepted.
        for name in ("soft-1", "soft-2"):
            proc = self.gate(name, 7 if name == "soft-1" else 8, 1900, renderer="softpipe")
            self.assertEqual(proc.returncode, 1, proc.stdout)
            self.assertIn("renderer changed from %s to softpipe" % LLVMPIPE, proc.stdout)
        self.assertEqual(history(self.db, "accept", "soft-2").returncode, 0)
        proc = history(self.db, "check", os.path.join(self.dir, "soft-2"), "--fail-above", "10")
        self.assertEqual(proc.returncode, 0, proc.stdout)
        proc = history(self.db, "trend", "--no-plot", "--renderer", "llvmpipe")
        self.assertRegex(proc.stdout, r"\n\s*\d+ .*flagged accepted")
        self.assertIn("failed the gate, then was accepted", proc.stdout)

    def test_values_the_statistics_cannot_model(self):
        proc = history(self.db, "add", run_folder(self.dir, "huge", self.start, 2000,
                                                  frames=10 ** 30))
        self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (1, 1), proc.stderr)
        self.assertIn("beyond what a history keeps", proc.stderr)
        # A NUL, which no server keeps, is kept as its escape.
        self.assertTrue(self.record_quietly(run_folder(self.dir, "nul", self.start, 2000,
                                                       tag="a\x00b"))[0])
        self.assertEqual(len(self.listed_tag("a\\x00b")), 1)
        # A headline of 0 is kept, out of the statistics: what comes after it still judges.
        result, said = self.record_quietly(run_folder(self.dir, "zero", self.start + 3 * DAY, 0))
        self.assertEqual((result, len(said)), (True, 1), said)
        self.assertIn("left out of every comparison", said[0])
        self.assertEqual(history(self.db, "pin", "zero", "1", "2", "3").returncode, 0)
        proc = self.gate("after", 4, 2000)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""), proc.stdout)
        self.assertIn("within the noise", proc.stdout)
        proc = history(self.db, "reference", "--min-tolerance", "99.99")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("median of 3 pinned run(s)", proc.stdout)
        out = os.path.join(self.dir, "ref.toml")
        with open(out, "w") as f:
            f.write(proc.stdout)
        from benchlib.results.reference import read_reference
        self.assertEqual(len(read_reference(out)), 1)
        self.assertEqual(history(self.db, "reference", "--min-tolerance", "100").returncode, 2)
        # Two windows a host: a rate per window that holds for two windows only.
        proc = history(self.db, "reference", "--any-windows")
        self.assertEqual(proc.returncode, 2)
        self.assertIn("more than one window on a host", proc.stderr)


class QueuedRecords(Base):
    """What waits for a server: a record that cannot be read or sent is set aside with a note,
    the others go; the folder is this user's and private."""

    def setUp(self):
        super().setUp()
        patch = mock.patch.dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"))
        patch.start()
        self.addCleanup(patch.stop)
        self.start = datetime.datetime(2026, 12, 1, 10)

    def test_bad_records_set_aside_and_the_rest_sent(self):
        from benchlib.history.folder import read_run
        good = [queue.put(self.db, read_run(run_folder(self.dir, "good-%d" % i,
                                                       self.start + i * DAY, 2000)))
                for i in range(2)]
        where = os.path.dirname(good[0])
        with open(good[0]) as f:
            record = json.load(f)
        bad = {"nul": dict(record, run=dict(record["run"], tag="a\x00b", run_key="n")),
               "shape": dict(record, windows=None), "kept": dict(record, kept=[1]),
               "wide": dict(record, run=dict(record["run"], windows=2 ** 70, run_key="w"))}
        for name, data in bad.items():
            with open(os.path.join(where, name + ".json"), "w") as f:
                json.dump(data, f)
        with open(os.path.join(where, "deep.json"), "w") as f:
            f.write("[" * 100000 + "]" * 100000)
        with open(os.path.join(where, "cut.json"), "w") as f:
            f.write(json.dumps(record)[:200])
        os.mkfifo(os.path.join(where, "fifo.json"))
        os.symlink(good[1], os.path.join(where, "link.json"))
        os.chmod(where, 0o777)
        with store.History(self.db) as h:
            notes = []
            self.assertEqual(recording.send_queued(h, notes), 2)
        self.assertEqual(len(notes), 8, notes)
        self.assertEqual(os.stat(where).st_mode & 0o777, 0o700)
        self.assertEqual(sorted(os.listdir(where)), ["rejected"])
        self.assertEqual(len(os.listdir(os.path.join(where, "rejected"))), 8)
        self.assertEqual(count_runs(self.db), 2)

    def test_a_queue_folder_of_another_user_is_refused(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to make a folder owned by another user")
        from benchlib.history.folder import read_run
        entry = read_run(run_folder(self.dir, "a", self.start, 2000))
        where = os.path.dirname(queue.put(self.db, entry))
        os.chown(where, 12345, 12345)
        with store.History(self.db) as h:
            notes = []
            self.assertEqual(recording.send_queued(h, notes), 0)
        self.assertIn("not a folder of this user's own", notes[0])
        with self.assertRaises(OSError):
            queue.put(self.db, entry)


class Targets(Base):
    def test_what_may_hold_a_password_or_is_no_path_is_refused(self):
        for target in ("host=db password=S3cret", "password=S3cret host=db",
                       "postgresql://u@db/bench?sslpassword=S3cret",
                       "postgresql://u@db/bench?password=S3cret", "postgres://u:S3cret@db/b",
                       "postgresql:/dbserver/bench", "postgresql:dbserver"):
            with self.subTest(target):
                proc = subprocess.run([BENCH_HISTORY, "--db", target, "list"], cwd=self.dir,
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1))
                self.assertNotIn("S3cret", proc.stderr)
                self.assertEqual(os.listdir(self.dir), ["shared"] if os.path.isdir(
                    os.path.join(self.dir, "shared")) else [])
                with self.assertRaises(store.HistoryError):
                    recording.check_target(target)


def old_history(path, hostile=None):
    """A version 1 history of one run; hostile: SQL run in it after."""
    with contextlib.closing(sqlite3.connect(path)) as conn:
        conn.executescript(SCHEMA_V1)
        conn.execute("INSERT INTO runs (run_key, folder, recorded_at, program, windows, "
                     "frames, started, status, headline, host, gl_renderer, screen_depth) "
                     "VALUES ('old', '/runs/old', '2026-11-01', 'shardfall', 1, 2, 1780000000, "
                     "'ok', 3000, 'vm', 'llvmpipe', 24)")
        conn.execute("INSERT INTO run_windows VALUES (1, 1, 'vm', 2, 1.5, 3000, 'ok')")
        if hostile:
            conn.executescript(hostile)
        conn.commit()


class ReadOnlySources(Base):
    def test_import_never_writes_its_source_and_bounds_a_hostile_one(self):
        source = os.path.join(self.dir, "old.sqlite")
        old_history(source, "CREATE TABLE evil (x); CREATE TRIGGER t AFTER UPDATE ON runs "
                            "BEGIN INSERT INTO evil VALUES (1); END;")
        with open(source, "rb") as f:
            before = f.read()
        proc = history(self.db, "import", source)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("imported 1 run(s) of 1", proc.stdout)
        with open(source, "rb") as f:
            self.assertEqual(f.read(), before)
        for name, hostile, says in (
                ("view", "DROP TABLE run_windows; CREATE VIEW run_windows AS WITH RECURSIVE "
                         "n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i AS run, i "
                         "AS window, '' AS host, 1 AS frames, 1 AS seconds, 1 AS rate, 'ok' AS "
                         "state FROM n;", "not a table"),
                ("column", "ALTER TABLE run_windows DROP COLUMN rate;", "has no column rate")):
            path = os.path.join(self.dir, name + ".sqlite")
            old_history(path, hostile)
            proc = history(self.db, "import", path)
            self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1),
                             proc.stderr)
            self.assertIn(says, proc.stderr)

    def test_an_old_history_on_a_read_only_mount_is_listed_and_imported(self):
        if shutil.which("unshare") is None or subprocess.run(
                ["unshare", "--mount", "true"], capture_output=True).returncode:
            self.skipTest("needs a mount namespace of its own (unshare --mount, as root)")
        folder = os.path.join(self.dir, "mount")
        os.makedirs(folder)
        old_history(os.path.join(folder, "old.sqlite"))
        script = ('mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" && '
                  '"$2" --db "$1/old.sqlite" list && "$2" --db "$3" import "$1/old.sqlite"')
        proc = subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh", folder,
                               BENCH_HISTORY, self.db], capture_output=True, text=True,
                              timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("/runs/old", proc.stdout)
        self.assertIn("imported 1 run(s) of 1", proc.stdout)


class FrozenServer(unittest.TestCase):
    """A server (on loopback) that takes the login and then answers nothing, or answers
    with an error of 100 MB."""

    def setUp(self):
        try:
            import psycopg  # noqa: F401
        except ImportError:
            self.skipTest("psycopg is not installed")
        self.asked = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(self.listener.close)
        self.huge_error = False
        threading.Thread(target=self.serve, daemon=True).start()
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.tmp.name, "data"))
        self.uri = "postgresql://u@127.0.0.1:%d/bench" % self.listener.getsockname()[1]
        self.folder = run_folder(self.tmp.name, "a", datetime.datetime(2026, 12, 1, 10), 2000)

    def serve(self):
        held = []
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            held.append(conn)
            while True:  # SSL or GSS encryption asked first: refused
                length, code = struct.unpack("!ii", conn.recv(8, socket.MSG_WAITALL))
                conn.recv(length - 8, socket.MSG_WAITALL)
                if code not in (80877103, 80877104):
                    break
                conn.sendall(b"N")
            conn.sendall(b"R\0\0\0\x08\0\0\0\0" + b"K\0\0\0\x0c\0\0\0\x01\0\0\0\x02" +
                         b"Z\0\0\0\x05I")
            conn.recv(1)
            self.asked.set()
            if self.huge_error:  # to the first statement
                body = b"SERROR\0C42000\0M" + b"x" * (100 << 20) + b"\0\0"
                with contextlib.suppress(OSError):  # the client may go before the end
                    conn.sendall(b"E" + struct.pack("!i", len(body) + 4) + body +
                                 b"Z\0\0\0\x05I")

    def queued(self):
        where = os.path.join(self.tmp.name, "data", "tarnwick-benchmarks", "queue")
        return [n for n in os.listdir(where) if n.endswith(".json")]

    def test_add_ends_in_one_line_and_the_record_waits(self):
        proc = subprocess.run([BENCH_HISTORY, "--db", self.uri, "add", self.folder],
                              capture_output=True, text=True, timeout=120, env=self.env)
        self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (1, 1), proc.stderr)
        self.assertIn("no answer within", proc.stderr)
        self.assertEqual(len(self.queued()), 1)

    def test_an_ending_signal_held_by_the_caller_still_ends_the_wait(self):
        noting = ("import signal, sys; from benchlib.history import recording; "
                  "came = []; signal.signal(signal.SIGTERM, lambda s, f: came.append(s)); "
                  "print(recording.record_quietly(sys.argv[1], sys.argv[2]), came)")
        proc = subprocess.Popen([sys.executable, "-c", noting, self.uri, self.folder],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=dict(self.env, PYTHONPATH=T.TOOLS_DIR))
        self.addCleanup(proc.kill)
        self.assertTrue(self.asked.wait(60))
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(out.strip(), "False [15]", err)
        self.assertIn("interrupted by SIGTERM", err)
        self.assertEqual(len(self.queued()), 1)

    def test_an_error_of_100_mb_is_cut(self):
        self.huge_error = True
        proc = subprocess.run([BENCH_HISTORY, "--db", self.uri, "add", self.folder],
                              capture_output=True, text=True, timeout=120, env=self.env)
        self.assertEqual(proc.returncode, 2, proc.stderr[:300])
        self.assertLess(len(proc.stderr), 2000)


if __name__ == "__main__":
    unittest.main()
