"""The .deb: built by the package target, then installed into a fresh root (freshroot.py: only
the packages a new Debian host would get with it, no checkout) and used from an empty folder
as its README says, on one host and across the simulated cluster's three hosts; removed, it
leaves nothing behind."""

import io
import json
import os
import re
import signal
import subprocess
import sys
import tarfile
import time
import unittest
import uuid

import freshroot

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "cluster"))

from benchlib.hosts import processes  # noqa: E402
from benchlib.run.build import mpi_library_linked  # noqa: E402
import clustertest as C  # noqa: E402
import simcluster  # noqa: E402

BUILD_DIR = os.environ.get("PACKAGE_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "default"))
NAME = os.environ.get("PACKAGE_NAME", "tarnwick-benchmarks")
VERSION = os.environ.get("PACKAGE_VERSION", "")
SKIP_MARKER = "PACKAGE TESTS SKIPPED"
TAG_VARIABLE = "BENCH_PACKAGE_TEST"
RUN = ["bench-run", "latticeglow", "2", "--frames", "3", "--depth", "16"]


def package_file():
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()
    return os.path.join(BUILD_DIR, f"{NAME}_{VERSION}_{arch}.deb")


def clean_env(home, tag, **more):
    """`env -i` and the variables of a login on a host that has no checkout."""
    variables = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": home,
                 "LP_NUM_THREADS": "1", TAG_VARIABLE: tag, **more}
    return ["env", "-i", *(f"{k}={v}" for k, v in variables.items())]


def tail(result, lines=40):
    text = (result.stdout or "") + (result.stderr or "")
    return "\n".join(text.splitlines()[-lines:])


class Build(unittest.TestCase):
    def test_package_target_makes_the_deb_of_this_build(self):
        started = time.time()
        result = subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "package"],
                                capture_output=True, text=True, timeout=900)
        self.assertEqual(result.returncode, 0, tail(result))
        deb = package_file()
        self.assertGreaterEqual(os.path.getmtime(deb), started - 1, f"{deb} was not rebuilt")
        fields = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True,
                                check=True).stdout
        fields = dict(line.split(": ", 1) for line in fields.splitlines() if ": " in line)
        # Named after the MPI its programs link; the other MPI's package holds the same paths.
        flavours = {"openmpi": "tarnwick-benchmarks", "mpich": "tarnwick-benchmarks-mpich"}
        linked = mpi_library_linked(os.path.join(BUILD_DIR, "latticeglow", "latticeglow"))
        other = [name for mpi, name in flavours.items() if mpi != linked]
        self.assertEqual(fields["Package"], flavours[linked])
        self.assertEqual(fields["Conflicts"], other[0])
        self.assertEqual(fields["Replaces"], other[0])

        data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                              check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            members = {"/" + m.name.lstrip("./"): m for m in tar.getmembers()}
        private = f"/usr/lib/{NAME}/tools"
        # Every command of tools/ on PATH, as a link into the private folder.
        tools = sorted(f for f in os.listdir(os.path.join(SOURCE_DIR, "tools"))
                       if f.startswith("bench-"))
        for tool in tools:
            link = members.get(f"/usr/bin/{tool}")
            self.assertTrue(link is not None and link.issym(),
                            f"tools/{tool} is not on PATH as a link (/usr/bin/{tool}): add it "
                            "to BENCH_TOOLS in packaging/package.cmake")
            self.assertEqual(os.path.normpath(os.path.join("/usr/bin", link.linkname)),
                             f"{private}/{tool}")
            self.assertTrue(members[f"{private}/{tool}"].mode & 0o111, f"{tool} cannot run")
        # The whole Python package, nothing compiled; the programs; the docs.
        benchlib = os.path.join(SOURCE_DIR, "tools", "benchlib")
        expected = {f"{private}/benchlib/" + os.path.relpath(os.path.join(d, f), benchlib)
                    for d, dirs, files in os.walk(benchlib) for f in files
                    if "__pycache__" not in d}
        shipped = {p for p, m in members.items() if p.startswith(f"{private}/benchlib/")
                   and not m.isdir()}
        self.assertEqual(shipped, expected)
        for program in ("shardfall", "latticeglow"):
            self.assertTrue(members[f"/usr/bin/{program}"].mode & 0o111)
        docs = {"README.md"} | {"docs/" + f for f in os.listdir(os.path.join(SOURCE_DIR, "docs"))}
        for doc in docs:
            self.assertIn(f"/usr/share/doc/{NAME}/{doc}", members)


class FreshRootCase(unittest.TestCase):
    """A fresh root with the .deb installed with dpkg, as apt-get would after fetching its
    dependencies; everything a test starts carries a tag and is killed at the end."""

    def setUp(self):
        reason = freshroot.skip_reason()
        if reason:
            print(f"{SKIP_MARKER}: {reason}", file=sys.stderr, flush=True)
            self.skipTest(reason)
        self.tag = uuid.uuid4().hex
        started = time.monotonic()
        self.root = freshroot.FreshRoot(package_file(), hide=[SOURCE_DIR, BUILD_DIR]).start()
        self.addCleanup(self.root.stop)
        self.addCleanup(self.kill_tagged)     # first: what runs inside, then the root
        print(f"fresh root: {self.root.facts}", file=sys.stderr)
        # The root really is reduced (a package missing from the .deb's dependencies would
        # be missing there) and holds no checkout.
        self.assertTrue(os.path.exists("/usr/bin/cmake"))
        self.assertFalse(os.path.lexists(self.root.path("/usr/bin/cmake")))
        self.assertEqual(os.listdir(self.root.path(SOURCE_DIR)), [])
        self.upper_before = self.upper_entries()
        installed = self.root.run(["dpkg", "--log=/dev/null", "-i", self.root.facts["deb"]],
                                  timeout=300)
        self.assertEqual(installed.returncode, 0, tail(installed))
        print(f"installed in {time.monotonic() - started:.2f} s (fresh root included)",
              file=sys.stderr)

    def kill_tagged(self):
        for _ in range(3):
            pids = processes.tagged_processes(self.tag, TAG_VARIABLE)
            processes.signal_all(pids, signal.SIGKILL)
            if not pids:
                return
            time.sleep(0.5)

    def upper_entries(self):
        """What the overlay's upper layer holds over /usr: {path: is a folder}."""
        upper = self.root.path(os.path.join(self.root.root, "usr.upper"))
        found = {}
        for folder, dirs, files in os.walk(upper):
            for name in dirs + files:
                path = os.path.join(folder, name)
                found["/usr/" + os.path.relpath(path, upper)] = os.path.isdir(path)
        return found

    def check_run(self, output, work, outside, run_in):
        """The run folder bench-run made under ./runs, its run.json, and the report command it
        suggests, run as given. `outside` maps a path of the hosts to one the test can read."""
        done = re.search(r"^run complete: (\S+) \((\S+) (\S+) for the report\)$", output, re.M)
        self.assertIsNotNone(done, output[-3000:])
        folder, command, argument = done.groups()
        self.assertEqual(os.path.dirname(folder), os.path.join(work, "runs"))
        self.assertEqual((command, argument), ("bench-report", folder))
        with open(outside(os.path.join(folder, "run.json"))) as f:
            info = json.load(f)
        self.assertEqual(info["status"], "ok")
        self.assertEqual(info["program_path"], "/usr/bin/latticeglow")
        self.assertEqual(info["frames_reported"], {"1": 3, "2": 3})
        report = run_in([command, folder])
        self.assertEqual(report.returncode, 0, tail(report))
        self.assertIn("headline:", report.stdout)
        self.assertTrue(os.path.exists(outside(os.path.join(folder, "frame_time.png"))))
        return folder, info


class Installed(FreshRootCase):
    def test_run_report_and_removal_from_an_empty_folder(self):
        work, home = (os.path.join(self.root.root, d) for d in ("work", "home"))
        def run_in(argv, timeout=600):
            return self.root.run(clean_env(home, self.tag) + argv, cwd=work, timeout=timeout)

        started = time.monotonic()
        result = run_in(RUN)
        self.assertEqual(result.returncode, 0, tail(result))
        print(f"bench-run: {time.monotonic() - started:.2f} s", file=sys.stderr)
        self.check_run(result.stdout, work, self.root.path, run_in)

        listed = self.root.run(["dpkg-query", "-L", NAME]).stdout.split()
        removed = self.root.run(["dpkg", "--log=/dev/null", "--purge", NAME])
        self.assertEqual(removed.returncode, 0, tail(removed))
        left = [p for p in listed if os.path.lexists(self.root.path(p))
                and not os.path.isdir(p)]
        self.assertEqual(left, [], "files and folders of the package still there")
        after = self.upper_entries()
        new = sorted(p for p, is_dir in after.items()
                     if p not in self.upper_before and not (is_dir and os.path.isdir(p)))
        self.assertEqual(new, [], "left in /usr after the removal")


class InstalledAcrossHosts(FreshRootCase, C.ClusterCase):
    """The hosts start from the fresh root's namespace: each sees the installed /usr and runs
    the installed agent and program."""
    xvfb = False

    def setUp(self):
        reason = simcluster.skip_reason()
        if reason:
            print(f"{C.SKIP_MARKER}: {reason}", file=sys.stderr, flush=True)
            self.skipTest(reason)
        FreshRootCase.setUp(self)
        self.mount_ns = self.root.pid
        C.ClusterCase.setUp(self)

    def test_run_across_three_hosts_and_report(self):
        cluster = self.cluster
        work, home = (os.path.join(cluster.workdir, d) for d in ("empty", "home"))
        os.makedirs(work)
        os.makedirs(home)
        env = clean_env(home, self.tag)
        self.console = os.path.join(cluster.dir, "console.txt")
        with open(self.console, "wb") as out:
            process = cluster.popen("node1", env + RUN + [
                "--hostfile", os.path.join(cluster.dir, f"hostfile.{C.MPI}"),
                "--launcher-agent", cluster.agent], cwd=work, stdout=out,
                stderr=subprocess.STDOUT)
        self.addCleanup(self.print_console)
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        folder, info = self.check_run(
            self.console_text(), work, lambda path: path,
            lambda argv: cluster.run("node1", env + argv, cwd=work, check=False))
        self.assertEqual(info["window_hosts"], {"1": "node2", "2": "node3"})
        with open(os.path.join(folder, "summary.json")) as f:
            self.assertEqual(sorted(json.load(f)["hosts"]), ["node2", "node3"])


if __name__ == "__main__":
    unittest.main()
