"""The run history on a PostgreSQL server: the same answers as an SQLite file, writers at
once, a server away (records queued, then pushed), import, and credentials that show nowhere.

A throw-away PostgreSQL 15 cluster is made for the module with pg_virtualenv (run as root
here; it drops the cluster when its command ends) and removed after it, also when a test
fails. Skipped, with a line saying so, only where PostgreSQL is not installed."""

import datetime
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

import toolstest as T
from benchlib.history import recording, store
from test_history import BENCH_HISTORY, DAY, QUIET, run_folder

SERVER = None


class Server:
    """pg_virtualenv running a child that prints the cluster's PG* settings and waits for
    its standard input to close."""

    CHILD = ("import json, os, sys; print(json.dumps({k: v for k, v in os.environ.items() "
             "if k.startswith('PG')}), flush=True); sys.stdin.read()")

    def __init__(self):
        self.proc = subprocess.Popen(["pg_virtualenv", sys.executable, "-c", self.CHILD],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True,
                                     start_new_session=True)
        try:
            for line in self.proc.stdout:
                if line.startswith("{"):
                    self.env = json.loads(line)
                    break
            else:
                raise RuntimeError("pg_virtualenv ended without a server (status %s)"
                                   % self.proc.wait())
        except BaseException:
            self.stop()
            raise
        self.uri = "postgresql://%s@%s:%s/postgres" % (
            self.env["PGUSER"], self.env["PGHOST"], self.env["PGPORT"])

    def cluster(self, action, check=True):
        """pg_ctlcluster stop or start; start returns once the server takes connections."""
        subprocess.run(["pg_ctlcluster", self.env["PGVERSION"], "regress", action],
                       env=dict(os.environ, **self.env), check=check, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def sql(self, statement):
        import psycopg
        with psycopg.connect(self.uri, password=self.env["PGPASSWORD"], autocommit=True) as c:
            c.execute("SET default_transaction_read_only = off")  # to take it back
            return c.execute(statement).fetchall() if statement.lstrip().upper().startswith(
                "SELECT") else c.execute(statement)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=120)
        except (OSError, subprocess.TimeoutExpired):
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.proc.stdout.close()


def setUpModule():
    global SERVER
    if shutil.which("pg_virtualenv") is None:
        raise unittest.SkipTest("PostgreSQL is not installed (tools/setup-debian all installs "
                                "postgresql and python3-psycopg): the server history is not "
                                "tested")
    SERVER = Server()


def tearDownModule():
    if SERVER is not None:
        SERVER.stop()


class ServerCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name
        SERVER.sql("DROP SCHEMA public CASCADE")
        SERVER.sql("CREATE SCHEMA public")
        self.env = dict(os.environ, **SERVER.env, XDG_DATA_HOME=os.path.join(self.dir, "data"))
        self.env.pop("BENCH_HISTORY", None)
        self.start = datetime.datetime(2026, 12, 1, 10)

    def history(self, *args, db=None, env=None):
        return subprocess.run([BENCH_HISTORY, "--db", db or SERVER.uri, *args], text=True,
                              capture_output=True, env=env or self.env, timeout=120)

    def folder(self, name, headline=2000, at=0, **extra):
        return run_folder(self.dir, name, self.start + at * DAY, headline, **extra)

    def queued(self):
        where = os.path.join(self.dir, "data", "tarnwick-benchmarks", "queue")
        return sorted(os.listdir(where)) if os.path.isdir(where) else []

    def listed(self):
        proc = self.history("list")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.splitlines()[2:]


class OnServer(ServerCase):
    def test_the_same_answers_as_a_file(self):
        sqlite = os.path.join(self.dir, "h.sqlite")
        folders = [self.folder("ok-%d" % i, h, i / 4, tag="nightly" if i % 3 else None)
                   for i, h in enumerate(QUIET)]
        folders.append(self.folder("failed", 500, 3, status="failed"))
        folders.append(self.folder("seconds", 1900, 3, frames=None, seconds=20))
        for db in (sqlite, SERVER.uri):
            self.assertEqual(self.history("add", *folders, db=db).returncode, 0)
            self.assertEqual(self.history("pin", "2", "3", "4", db=db).returncode, 0)
            self.assertEqual(self.history("exclude", "5", db=db).returncode, 0)
            self.assertEqual(self.history("annotate", "6", "a note", db=db).returncode, 0)
        checked = [self.folder("checked-%d" % h, h, 4) for h in (1600, 1990)]
        commands = [["list"], ["list", "--renderer", "LLVM 15", "--tag", "nightly"],
                    ["trend", "--no-plot", "--mode", "frames"],
                    ["reference", "--min-tolerance", "1"]]
        commands += [["check", c, "--fail-above", "10"] for c in checked]
        commands += [["check", checked[0], "--baseline", "--last", "3"]]
        for command in commands:
            with self.subTest(command):
                on_file, on_server = (self.history(*command, db=db) for db in (sqlite,
                                                                                SERVER.uri))
                self.assertEqual((on_server.returncode, on_server.stdout, on_server.stderr),
                                 (on_file.returncode, on_file.stdout, on_file.stderr))
                self.assertGreater(len(on_file.stdout.splitlines()), 1)

    def test_sixteen_writers_at_once_all_land_once(self):
        shared = self.folder("shared")
        procs = [subprocess.Popen([BENCH_HISTORY, "--db", SERVER.uri, "add", shared,
                                   self.folder("run-%d" % i, at=i)], env=self.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                 for i in range(16)]
        for proc in procs:
            with proc:
                self.assertEqual((proc.wait(timeout=120), proc.stderr.read()), (0, ""))
        self.assertEqual(SERVER.sql("SELECT count(*), count(DISTINCT run_key) FROM runs"),
                         [(17, 17)])
        self.assertEqual(SERVER.sql("SELECT count(*) FROM run_windows"), [(34,)])

    def test_a_server_away_keeps_the_records_until_they_are_pushed(self):
        SERVER.cluster("stop")
        self.addCleanup(SERVER.cluster, "start", check=False)  # when the test fails early
        for name in ("a", "b"):
            proc = self.history("add", self.folder(name))
            self.assertEqual(proc.returncode, 1)
            self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
            self.assertIn("cannot be reached", proc.stderr)
            self.assertIn("the record waits in", proc.stderr)
        # bench-run's quiet recording: one line, and the run goes on.
        code = ("import sys; sys.path.insert(0, %r); from benchlib.history.recording import "
                "record_quietly; print(record_quietly(%r, %r, prog='bench-run'))"
                % (T.TOOLS_DIR, SERVER.uri, self.folder("c")))
        proc = subprocess.run([sys.executable, "-c", code], env=self.env, text=True,
                              capture_output=True, timeout=60)
        self.assertEqual((proc.stdout, len(proc.stderr.splitlines())), ("False\n", 1))
        self.assertEqual(len(self.queued()), 3)
        SERVER.cluster("start")
        # The next recording that reaches the server sends what waited, then push the rest.
        proc = self.history("add", self.folder("d"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("sent 3 record(s) that waited for the server", proc.stdout)
        self.assertEqual(self.history("push").stdout.split()[:2], ["sent", "0"])
        self.assertEqual(self.queued(), [])
        self.assertEqual(sorted(line.split()[-1][-1] for line in self.listed()),
                         ["a", "b", "c", "d"])

    def test_a_server_that_does_not_answer_costs_a_few_seconds(self):
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen(8)  # connections are taken, never answered
            uri = "postgresql://postgres@127.0.0.1:%d/postgres" % silent.getsockname()[1]
            began = time.monotonic()
            proc = self.history("add", self.folder("a"), db=uri)
            waited = time.monotonic() - began
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn("the record waits in", proc.stderr)
        self.assertLess(waited, 15)  # the connection's bound is 3 s; Python starts twice
        self.assertEqual(len(self.queued()), 1)

    def test_read_only_or_refused_login_queue_and_no_password_shows(self):
        secret = SERVER.env["PGPASSWORD"]
        refused = dict(self.env, PGPASSWORD="not-the-password-x1")
        proc = self.history("add", self.folder("a"), env=refused)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("password authentication failed", proc.stderr)
        SERVER.sql("ALTER DATABASE postgres SET default_transaction_read_only = on")
        try:
            proc = self.history("add", self.folder("b"))
        finally:
            SERVER.sql("ALTER DATABASE postgres SET default_transaction_read_only = off")
        self.assertEqual(proc.returncode, 1)
        self.assertIn("read-only", proc.stderr)
        self.assertEqual(len(self.queued()), 2)
        # A password in the URI is refused, and not repeated.
        with_password = SERVER.uri.replace("postgres@", "postgres:%s@" % secret)
        proc = self.history("list", db=with_password)
        self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1))
        self.assertIn("holds a password", proc.stderr)
        with self.assertRaises(store.HistoryError):  # what bench-run can ask before it starts
            recording.check_target(with_password)
        recording.check_target(SERVER.uri)
        self.assertEqual(self.history("push").returncode, 0)
        outputs = [proc.stdout + proc.stderr]
        for name in os.listdir(self.dir):
            path = os.path.join(self.dir, name)
            if os.path.isfile(path):
                with open(path, errors="replace") as f:
                    outputs.append(f.read())
        outputs += [str(row) for row in SERVER.sql("SELECT * FROM runs")]
        self.assertFalse([o for o in outputs if secret in o or "not-the-password" in o])

    def test_a_record_the_server_refuses_is_set_aside_and_old_settings_do_not_matter(self):
        from benchlib.history import queue
        from benchlib.history.folder import read_run
        with mock.patch.dict(os.environ, XDG_DATA_HOME=self.env["XDG_DATA_HOME"]):
            name = store.backend.server_name(SERVER.uri)
            queue.put(name, read_run(self.folder("a")))
            refused = read_run(self.folder("b", at=1))
            refused.run["windows"] = "many"  # of a record's shape, but no whole number
            queue.put(name, refused)
        proc = self.history("push")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("sent 1 record(s)", proc.stdout)
        self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
        self.assertIn("the server refused it", proc.stderr)
        self.assertEqual(self.queued(), ["rejected"])
        self.assertEqual(self.history("add", self.folder("c", at=2)).returncode, 0)
        # A server that reads backslashes in literals as escapes.
        SERVER.sql("ALTER DATABASE postgres SET standard_conforming_strings = off")
        self.addCleanup(SERVER.sql, "ALTER DATABASE postgres RESET standard_conforming_strings")
        proc = self.history("list", "--renderer", "llvm_pipe%\\")
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        self.assertEqual(len(self.listed()), 2)

    def test_a_backend_that_stops_answering_costs_seconds(self):
        """The backend serving bench-history is stopped (SIGSTOP) while it waits for a lock:
        nothing on the server's side can end the wait then."""
        self.history("add", self.folder("a"))
        import psycopg
        admin = psycopg.connect(SERVER.uri, password=SERVER.env["PGPASSWORD"])
        self.addCleanup(admin.close)
        admin.execute("LOCK TABLE runs IN ACCESS EXCLUSIVE MODE")
        proc = subprocess.Popen([BENCH_HISTORY, "--db", SERVER.uri, "add", self.folder("b")],
                                env=dict(self.env, PGAPPNAME="frozen"), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        while True:
            found = SERVER.sql("SELECT pid FROM pg_stat_activity WHERE application_name = "
                               "'frozen' AND wait_event_type = 'Lock'")
            if found or proc.poll() is not None:
                break
            time.sleep(0.05)
        self.assertTrue(found, proc.stderr.read() if proc.poll() is not None else "")
        os.kill(found[0][0], signal.SIGSTOP)
        self.addCleanup(os.kill, found[0][0], signal.SIGCONT)
        admin.rollback()
        out, err = proc.communicate(timeout=120)
        self.assertEqual((proc.returncode, len(err.splitlines())), (1, 1), err)
        self.assertIn("no answer within", err)
        self.assertEqual(len(self.queued()), 1)

    def test_import_a_file_history_twice_adds_it_once(self):
        sqlite = os.path.join(self.dir, "h.sqlite")
        self.history("add", *(self.folder("r%d" % i, at=i) for i in range(3)), db=sqlite)
        self.history("pin", "2", db=sqlite)
        self.history("annotate", "3", "before the driver update", db=sqlite)
        for added in (3, 0):
            proc = self.history("import", sqlite)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertIn("imported %d run(s) of 3" % added, proc.stdout)
        lines = self.listed()
        self.assertEqual(len(lines), 3)
        self.assertIn("pinned", lines[1])
        self.assertIn("before the driver update", lines[2])


class BenchRunOnServer(ServerCase):
    """bench-run recording on the server, and on no server: the run ends as it would have."""

    def bench_run(self, name):
        out = os.path.join(self.dir, name)
        proc = subprocess.run([T.BENCH_RUN, "latticeglow", "2", "--frames", "3", "--depth",
                               "16", "--build-dir", T.BUILD_DIR, "--history", SERVER.uri,
                               "--out", out], env=self.env, text=True, capture_output=True,
                              timeout=600, start_new_session=True)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("run complete", proc.stdout)
        return out, proc.stderr

    def test_runs_recorded_queued_and_pushed(self):
        if shutil.which("Xvfb") is None:
            self.skipTest("Xvfb is not installed")
        folders = [self.bench_run("first")[0], self.bench_run("second")[0]]
        SERVER.cluster("stop")
        self.addCleanup(SERVER.cluster, "start", check=False)
        third, said = self.bench_run("third")
        folders.append(third)
        self.assertIn("the record waits in", said)
        SERVER.cluster("start")
        self.assertIn("sent 1 record(s)", self.history("push").stdout)
        self.assertEqual(sorted(line.split()[-1] for line in self.listed()),
                         sorted(os.path.realpath(f) for f in folders))


if __name__ == "__main__":
    unittest.main()
