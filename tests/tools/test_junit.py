"""JUnit as a CI reads it (junitparser): the same set-up names the same cases build after
build (no date, no run id, no dotted class), each with its duration and the run's facts as
properties; a case for every gate that decides; check's case in error when the history
cannot be reached."""

import datetime
import os
import re
import shutil
import tempfile
import unittest

from junitparser import Error, Failure, JUnitXml

import toolstest as T
from test_history import DAY, LLVMPIPE, history, run_folder

START = datetime.datetime(2026, 12, 1, 10)
HOSTS = [{"name": "vm", "gl_renderer": LLVMPIPE}]
# A history server nobody listens at (port 1 of loopback).
AWAY = "postgresql://bench@127.0.0.1:1/history?connect_timeout=5"


def read(path):
    """(suite properties {name: value}, {(classname, name): case})"""
    (suite,) = JUnitXml.fromfile(path)
    properties = {p.name: p.value for p in suite.properties()}
    return properties, {(c.classname, c.name): c for c in suite}


class JUnitCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-junit-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.xml = os.path.join(self.dir, "out.xml")


class Report(JUnitCase):
    def report(self, folder, *args):
        proc = T.run_tool(T.BENCH_REPORT, "--no-plots", "--junit", self.xml, "--fail-mixed",
                          "--expect-renderer", "llvmpipe*", *args, folder, timeout=120)
        return (proc.returncode, *read(self.xml))

    def test_two_builds_of_one_set_up_name_the_same_cases(self):
        seen = []
        for name, when in (("build-1", START), ("build-2", START + DAY)):
            status, properties, cases = self.report(run_folder(self.dir, name, when, 2000,
                                                        hosts=HOSTS))
            self.assertEqual(status, 0)
            self.assertEqual(properties["run_id"], name)    # the run's facts, not its cases'
            seen.append(set(cases))
        self.assertEqual(seen[0], seen[1])
        for classname, name in seen[0]:
            self.assertNotIn(".", classname)
            self.assertIsNone(re.search(r"\d{4}-\d\d-\d\d|build-", classname + name))
        # Every gate asked for is a case; each window timed what it drew (window 2 draws
        # twice window 1's workload at the same rate).
        gates = {name for classname, name in seen[0] if classname.endswith(" gates")}
        self.assertEqual(gates, {"complete", "files", "mixed hosts", "renderer"})
        windows = {name: c.time for (classname, name), c in cases.items()
                   if classname.endswith(" windows")}
        self.assertGreater(windows["window 2"], windows["window 1"] * 1.5)
        self.assertGreater(windows["window 1"], 0)

    def test_the_gates_that_fail_the_run_fail_their_cases(self):
        folder = run_folder(self.dir, "failed", START, 2000, status="failed",
                            error="the launcher ended with status 1", hosts=HOSTS)
        status, _properties, cases = self.report(folder, "--expect-renderer", "softpipe")
        self.assertEqual(status, 1)
        failed = sorted(name for (_c, name), case in cases.items()
                        if any(isinstance(r, Failure) for r in case.result))
        self.assertEqual(failed, ["complete", "renderer"])
        (complete,) = [c for (_c, name), c in cases.items() if name == "complete"]
        self.assertIn("the launcher ended with status 1", complete.result[0].message)


class Check(JUnitCase):
    def test_a_history_out_of_reach_is_an_error_of_the_same_case(self):
        folder = run_folder(self.dir, "run", START, 2000)
        db = os.path.join(self.dir, "history.sqlite")
        self.assertEqual(history(db, "add", folder).returncode, 0)
        proc = history(db, "check", folder, "--fail-above", "10", "--junit", self.xml)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        _properties, reached = read(self.xml)

        proc = history(AWAY, "check", folder, "--fail-above", "10", "--junit", self.xml)
        self.assertEqual(proc.returncode, 2, proc.stdout + proc.stderr)
        properties, away = read(self.xml)
        self.assertEqual(set(away), set(reached))
        (case,) = away.values()
        self.assertIsInstance(case.result[0], Error)
        self.assertIn("127.0.0.1", case.result[0].message)
        self.assertNotIn(".", case.classname)
        self.assertEqual(properties["run_key"], "run")


if __name__ == "__main__":
    unittest.main()
