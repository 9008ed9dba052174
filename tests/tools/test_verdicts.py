"""The verdicts an operator acts on: hosts that disagree, a reference with tolerances, and
bench-sbatch passing the gates through."""

import json
import os
import shutil
import tempfile
import unittest

import toolstest as T
from benchlib.report.mixed_hosts import disagreements

LLVMPIPE = "llvmpipe (LLVM 15.0.6, 256 bits)"


def host(name, **facts):
    entry = {"name": name, "gl_renderer": LLVMPIPE, "gl_version": "4.5 Mesa 22.3.6",
             "cpu_model": "AMD EPYC", "cores": 2, "mpi_library": "openmpi"}
    entry.update(facts)
    return {k: v for k, v in entry.items() if v is not None}


def write_hosts_run(folder, hosts, frame_time=0.02, frames=10, slow=None):
    """A Latticeglow run of one window a host; run.json lists the hosts."""
    for w, entry in enumerate(hosts, 1):
        name = entry["name"]
        t = frame_time * (slow.get(name, 1) if slow else 1)
        T.write_lines(folder, T.results_name("latticeglow", w, processor=name),
                      T.latticeglow_lines(w, [t * (1 + 0.01 * (i % 3)) for i in range(frames)],
                                          65536, processor=name))
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump({"program": "latticeglow", "status": "ok", "windows": len(hosts),
                   "screen_depth": 24, "hosts": hosts,
                   "context": {"host": hosts[0]["name"], "gl_renderer": LLVMPIPE}}, f)


class FolderCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-verdicts-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def report(self, *args):
        return T.run_tool(T.BENCH_REPORT, "--no-plots", *args, timeout=120)

    def summary(self, folder=None):
        with open(os.path.join(folder or self.dir, "summary.json")) as f:
            return json.load(f)


class MixedHosts(FolderCase):
    def test_the_host_that_differs_is_named_against_the_others(self):
        hosts = [host("node1", rendering_env={"LIBGL_ALWAYS_SOFTWARE": "1"}),
                 host("node2", cores=4, rendering_env={"LIBGL_ALWAYS_SOFTWARE": "1"}),
                 host("node3", gl_renderer="softpipe", gl_version=None,
                      rendering_env={"LIBGL_ALWAYS_SOFTWARE": "1",
                                     "GALLIUM_DRIVER": "softpipe"}),
                 host("node4", rendering_env={"LIBGL_ALWAYS_SOFTWARE": "1"})]
        lines = [d.line() for d in disagreements(hosts)]
        self.assertEqual(lines, [
            "node3: renderer softpipe, the others %s" % LLVMPIPE,
            "node2: cores 4, the others 2",
            "node3: GALLIUM_DRIVER softpipe, the others unset"])
        two = disagreements([host("a", mpi_library="mpich"), host("b")])
        self.assertEqual([d.line() for d in two], ["MPI library differs: a mpich, b openmpi"])
        self.assertEqual(disagreements([{"name": "a"}, host("b")]), [])  # nothing to compare

    def test_fail_mixed_and_expect_renderer_fail_the_run(self):
        write_hosts_run(self.dir, [host("node1"), host("node2"),
                                   host("node3", gl_renderer="softpipe"), host("node4")])
        proc = self.report(self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("node3: renderer softpipe, the others llvmpipe", proc.stdout)
        mixed = self.summary()["mixed_hosts"]["disagreements"]
        self.assertEqual([(d["fact"], d["hosts"]) for d in mixed], [("renderer", ["node3"])])
        proc = self.report("--fail-mixed", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("verdict: FAIL (mixed hosts)", proc.stdout)
        proc = self.report("--expect-renderer", "llvmpipe*", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("node3: renderer softpipe, not llvmpipe*", proc.stdout)
        proc = self.report("--expect-renderer", "*pipe*", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout)


if __name__ == "__main__":
    unittest.main()
