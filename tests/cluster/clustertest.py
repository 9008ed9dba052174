"""Test cases on the simulated cluster: a fresh cluster per test, the programs launched from
its first host, windows found and driven with xdotool on the display of their own host."""

import os
import re
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

import simcluster  # noqa: E402
import slurmsim  # noqa: E402
from e2elib import wait_for  # noqa: E402,F401  (also used by the tests and measure-cluster)

BUILD_DIR = os.environ.get("CLUSTER_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "default"))
MPI = os.environ.get("CLUSTER_MPI", "openmpi")
DEADLINE = float(os.environ.get("CLUSTER_DEADLINE", "120"))
# CTest marks a test skipped when its output carries this (SKIP_REGULAR_EXPRESSION).
SKIP_MARKER = "CLUSTER TESTS SKIPPED"
TITLES = {"shardfall": "OPENGL Shardfall 64  Thread: {}",
          "latticeglow": "OPENGL Latticeglow  64  Thread: {}"}
# What the launcher needs on any host, whichever way it starts the ranks.
RANK_ENV = {"DISPLAY": ":1", "LP_NUM_THREADS": "1"}
ROOT_ENV = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"}


def xdotool(cluster, host, *args, check=True):
    result = cluster.run(host, ["xdotool", *args], timeout=60, check=False,
                         env=dict(os.environ, DISPLAY=":1"))
    if check and result.returncode != 0:
        raise AssertionError(f"xdotool {' '.join(args)} on {host}: {result.stderr}")
    return result.stdout


def window_on(cluster, host, program, window):
    """The id of a window on a host's display :1, or None."""
    title = "^" + re.escape(TITLES[program].format(window)) + "$"
    ids = xdotool(cluster, host, "search", "--onlyvisible", "--name", title, check=False).split()
    return ids[0] if ids else None


def results_files(workdir, program):
    prefix = f"results_{program}_windows @ "
    return sorted(f for f in os.listdir(workdir) if f.startswith(prefix))


def frames(workdir, program, window):
    """Frames reported so far in a window's results file."""
    marker = "Triangles/sec." if program == "shardfall" else "Vertex/sec."
    names = [f for f in results_files(workdir, program)
             if f.split(" @ ")[1].startswith(f"{window} of ")]
    if len(names) != 1:
        return 0
    with open(os.path.join(workdir, names[0]), errors="replace") as f:
        return sum(1 for line in f if line.startswith("It was: ") and
                   line.rstrip("\n").endswith(marker))


def needs_mpi(flavour):
    return unittest.skipUnless(MPI == flavour, f"needs the {flavour} build (this is {MPI})")


class ClusterCase(unittest.TestCase):
    hosts = 3
    slurm = False
    xvfb = True     # an Xvfb :1 on every host (bench-run starts its own)
    mount_ns = None     # a pid whose mount namespace the hosts start from (simcluster.Cluster)

    def setUp(self):
        reason = simcluster.skip_reason()
        if reason is None and self.slurm and slurmsim.missing_tools():
            reason = "missing " + ", ".join(slurmsim.missing_tools())
        if reason:
            print(f"{SKIP_MARKER}: {reason}", file=sys.stderr, flush=True)
            self.skipTest(reason)
        started = time.monotonic()
        self.cluster = simcluster.Cluster(self.hosts, mount_ns=self.mount_ns).start()
        self.addCleanup(self.teardown_cluster)
        if self.slurm:
            self.slurm_cluster = slurmsim.Slurm(self.cluster).start()
        for host in self.cluster.names if self.xvfb else ():
            self.cluster.start_xvfb(host)
        print(f"cluster {self.cluster.prefix} up in {time.monotonic() - started:.2f} s",
              file=sys.stderr)

    def teardown_cluster(self):
        started = time.monotonic()
        self.cluster.stop()
        print(f"cluster {self.cluster.prefix} down in {time.monotonic() - started:.2f} s",
              file=sys.stderr)
        self.assertEqual(simcluster.leftovers(self.cluster.prefix), [])

    # Launching
    def program(self, name):
        return os.path.join(BUILD_DIR, name, name)

    def launch(self, argv, env=None):
        """Starts argv on the first host; the console goes to a file in the shared folder."""
        self.console = os.path.join(self.cluster.workdir, "console.txt")
        environment = dict(os.environ, **ROOT_ENV, **(env or {}))
        environment.pop("DISPLAY", None)
        with open(self.console, "wb") as out:
            process = self.cluster.popen(self.cluster.names[0], argv, env=environment,
                                         stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(self.print_console)
        return process

    def print_console(self):
        # CTest shows a test's output when it fails: leave the end of the console there.
        with open(self.console, errors="replace") as f:
            lines = [l for l in f.read().split("\n") if "XGetInputFocus" not in l]
        print("--- console (last 30 lines) ---\n" + "\n".join(lines[-30:]), file=sys.stderr)

    def console_text(self):
        with open(self.console, errors="replace") as f:
            return f.read()

    def wait_exit(self, process, timeout=DEADLINE):
        wait_for(lambda: process.poll() is not None, "the launcher to exit", timeout)
        return process.returncode

    # Windows
    def xdotool(self, host, *args, check=True):
        return xdotool(self.cluster, host, *args, check=check)

    def window_on(self, host, program, window):
        return window_on(self.cluster, host, program, window)

    def wait_windows(self, process, program, placement):
        """{window: id} once every window shows on its host's display, and on no other."""
        def found():
            if process.poll() is not None:
                raise AssertionError(f"launcher ended ({process.returncode}) before the windows "
                                     f"appeared:\n{self.console_text()}")
            ids = {w: self.window_on(h, program, w) for w, h in placement.items()}
            return ids if all(ids.values()) else None
        ids = wait_for(found, f"windows {sorted(placement)} on {placement}")
        for window, host in placement.items():
            for other in self.cluster.names:
                if other != host:
                    self.assertIsNone(self.window_on(other, program, window),
                                      f"window {window} also shows on {other}")
        return ids

    # Results files in the shared folder
    def results_files(self, program):
        return results_files(self.cluster.workdir, program)

    def results_text(self, program, window):
        names = [f for f in self.results_files(program)
                 if f.split(" @ ")[1].startswith(f"{window} of ")]
        self.assertEqual(len(names), 1, f"results files: {self.results_files(program)}")
        with open(os.path.join(self.cluster.workdir, names[0]), errors="replace") as f:
            return f.read()

    def frames(self, program, window):
        return frames(self.cluster.workdir, program, window)

    def smoke(self, process, program, placement):
        """Pauses every window, steps each once, ends each with Esc: status 0, one console,
        each window's file named after its host."""
        ids = self.wait_windows(process, program, placement)
        for window, wid in ids.items():
            self.xdotool(placement[window], "key", "--window", wid, "p")
        for window, wid in ids.items():
            before = self.frames(program, window)
            self.xdotool(placement[window], "key", "--window", wid, "c")
            wait_for(lambda: self.frames(program, window) > before, f"a frame of window {window}")
        for window, wid in ids.items():
            self.xdotool(placement[window], "key", "--window", wid, "Escape", check=False)
        self.assertEqual(self.wait_exit(process), 0, self.console_text())
        console = self.console_text()
        self.assertEqual(console.count("Initializing . . ."), 1, "more than one rank 0")
        self.assertEqual(console.count("Total running time:  "), len(placement))
        self.assertEqual(len(self.results_files(program)), len(placement))
        for window, host in placement.items():
            self.assertIn("Total running time:  ", self.results_text(program, window))
            named = [f for f in self.results_files(program) if f" @ {window} of {host} @ " in f]
            self.assertEqual(len(named), 1, f"window {window}'s file is not named after {host}")

    def assert_nothing_running(self, ignore=("Xvfb", "slurmd", "slurmctld", "slurmscriptd")):
        def idle():
            busy = {h: [p for p in self.cluster.host_processes(h) if p[1] not in ignore]
                    for h in self.cluster.names}
            self.busy = busy
            return not any(busy.values())
        try:
            wait_for(idle, "every host to be idle", timeout=30)
        except AssertionError:
            raise AssertionError(f"still running: {self.busy}") from None
