"""The verdicts an operator acts on: hosts that disagree, a reference with tolerances, and
bench-sbatch passing the gates through."""

import json
import os
import shutil
import tempfile
import unittest

import toolstest as T
from benchlib.report.mixed_hosts import disagreements
from benchlib.results.reference import ReferenceError, match, read_reference

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
        with open(os.path.join(self.dir, "report.html")) as f:
            page = f.read()
        self.assertEqual(page.count('<td class="bad">softpipe</td>'), 1)  # the hosts table
        proc = self.report("--fail-mixed", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("verdict: FAIL (mixed hosts)", proc.stdout)
        proc = self.report("--expect-renderer", "llvmpipe*", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("node3: renderer softpipe, not llvmpipe*", proc.stdout)
        proc = self.report("--expect-renderer", "*pipe*", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout)

    def test_a_renderer_unknown_under_wrap_fails_both_gates(self):
        unknown = "unknown under --wrap"
        write_hosts_run(self.dir, [host(n, gl_renderer=unknown) for n in ("node1", "node2")]
                        + [host("node3")])
        for option in (("--fail-mixed",), ("--expect-renderer", "*")):
            with self.subTest(option=option[0]):
                proc = self.report(*option, self.dir)
                self.assertEqual(proc.returncode, 1, proc.stdout)
                self.assertIn("node2: renderer %s" % unknown, proc.stdout)
                self.assertNotIn("the others", proc.stdout)  # named once, not compared

    def test_gpus_and_their_drivers_are_shown_and_compared(self):
        def a100(bus, driver="535.54.03"):
            return {"source": "nvidia-smi", "name": "NVIDIA A100-SXM4-40GB",
                    "driver_version": driver, "bus_id": bus, "memory_bytes": 40 * 2 ** 30}
        pair = [a100("0000:01:00.0"), a100("0000:41:00.0")]
        hosts = [host("node1", gpus=pair), host("node2", gpus=pair),
                 host("node3", gpus=[a100("0000:01:00.0", "550.90.07"),
                                     a100("0000:41:00.0", "550.90.07")]),
                 host("node4", gpus=[{"source": "drm", "card": "card0", "vendor_id": "0x1002",
                                      "device_id": "0x73bf", "driver": "amdgpu",
                                      "driver_version": None, "bus_id": "0000:03:00.0"},
                                     {"source": "drm", "memory_bytes": "lots"}])]
        write_hosts_run(self.dir, hosts)
        proc = self.report("--fail-mixed", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertIn("mixed hosts: FAIL: node3: GPU driver nvidia 550.90.07, the others "
                      "nvidia 535.54.03; node4: GPU driver amdgpu, the others nvidia 535.54.03",
                      proc.stdout)
        gpus = "NVIDIA A100-SXM4-40GB at 0000:01:00.0 (40.0 GiB); NVIDIA A100-SXM4-40GB at " \
            "0000:41:00.0 (40.0 GiB)"
        lines = [line.strip() for line in proc.stdout.splitlines() if line.startswith("  GPU")]
        self.assertEqual(lines, [
            "GPUs of node1, node2: %s; driver nvidia 535.54.03" % gpus,
            "GPUs of node3: %s; driver nvidia 550.90.07" % gpus,
            "GPUs of node4: 1002:73bf at 0000:03:00.0; a GPU; driver amdgpu"])
        data = self.summary()
        self.assertEqual(data["context"]["hosts"][0]["gpus"], pair)
        self.assertIn("GPU driver", data["mixed_hosts"]["facts"])
        self.assertTrue(any("hosts[3].gpus[1].memory_bytes is not a whole number" in n
                            for n in data["notes"]))
        with open(os.path.join(self.dir, "report.html")) as f:
            page = f.read()
        self.assertIn("<th>GPUs</th><th>GPU driver</th>", page)
        self.assertEqual(page.count('<td class="bad">nvidia 550.90.07</td>'), 1)
        self.assertEqual(page.count("<td>nvidia 535.54.03</td>"), 2)
        # Hosts on one driver agree; a host that lists no GPU (llvmpipe) is not compared.
        self.assertEqual(disagreements([host("a", gpus=pair), host("b", gpus=pair),
                                        host("c", gpus=[])]), [])
        # Two runs on the same GPUs under different drivers do not compare as equals.
        before, after = (os.path.join(self.dir, name) for name in ("before", "after"))
        for folder, driver in ((before, "535.54.03"), (after, "550.90.07")):
            os.mkdir(folder)
            write_hosts_run(folder, [host("node1", gpus=[a100("0000:01:00.0", driver)])])
        proc = self.report(before, after)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("note: the runs' GPU drivers differ (A nvidia 535.54.03, B nvidia "
                      "550.90.07): a change may be the driver's", proc.stderr)
        self.assertIn("GPU: NVIDIA A100-SXM4-40GB at 0000:01:00.0 (40.0 GiB); driver nvidia "
                      "550.90.07", proc.stdout)


ENTRY = """[[reference]]
program = "latticeglow"
rate_per_window = %s
lower = 10
upper = 25
"""


class References(FolderCase):
    def write(self, text, name="reference.toml"):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_entries_are_read_and_the_most_specific_covers_a_host(self):
        path = self.write(ENTRY % "1.3e6" + '\n[[reference]]\nprogram = "latticeglow"\n'
                          'hosts = "gpu*"\nrenderer = "NVIDIA*"\nrate_per_window = 9e6\n'
                          'lower = 5\nupper = 5\nnote = "A100 nodes"\n')
        entries = read_reference(path)
        self.assertEqual([(e.line, e.rate_per_window) for e in entries], [(1, 1.3e6), (7, 9e6)])
        self.assertIs(match(entries, "latticeglow", host="gpu3", renderer="NVIDIA A100"),
                      entries[1])
        self.assertIs(match(entries, "latticeglow", host="gpu3", renderer="llvmpipe"),
                      entries[0])
        self.assertIsNone(match(entries, "shardfall", host="gpu3"))

    def test_what_a_reference_must_not_hold_is_refused_with_its_line(self):
        for text, found in (
                (ENTRY % "1" + "\n[[reference]]\nprogram = 'shardfall'\nlowr = 3\n",
                 ":9: reference 2: unknown key 'lowr'"),
                (ENTRY % "'fast'", ":3: reference 1: rate_per_window must be a number"),
                ('[[reference]]\nprogram = "latticeglow"\n', ":1: reference 1 has no "
                                                              "rate_per_window"),
                (ENTRY % "1" + "version = 2\n", ":6: reference 1: unknown key 'version'"),
                ("[[reference]\n", ": not TOML"),
                ("a = " + "[" * 100000 + "]" * 100000, ": nested too deep"),
                ("\xff", ": not UTF-8")):
            with self.subTest(found):
                path = self.write(text) if text != "\xff" else None
                if path is None:
                    path = os.path.join(self.dir, "reference.toml")
                    with open(path, "wb") as f:
                        f.write(b"\xff")
                with self.assertRaises(ReferenceError) as caught:
                    read_reference(path)
                self.assertIn(path + found, str(caught.exception))
        proc = self.report("--reference", path, self.dir)
        self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1), proc.stderr)

    def test_a_run_30_percent_below_fails_and_one_within_tolerance_passes(self):
        write_hosts_run(self.dir, [host("node%d" % i) for i in range(1, 5)])
        self.assertEqual(self.report(self.dir).returncode, 0)
        data = self.summary()
        rate = data["across_windows"]["headline_rate"] / 4  # one window a host, all alike
        below = self.write(ENTRY % (rate / 0.7), "below.toml")
        proc = self.report("--reference", below, "--fail-reference", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("run: %s vertices/s per window, BELOW the reference" %
                      "{:,.0f}".format(rate), proc.stdout)
        # One headline says FAIL; the run and every host are reasons beneath it.
        gate = [line for line in proc.stdout.splitlines() if line.startswith("reference")]
        self.assertEqual(len(gate), 1, proc.stdout)
        self.assertIn("FAIL", gate[0])
        reasons = proc.stdout.split(gate[0] + "\n", 1)[1].splitlines()[:5]
        self.assertEqual([r.split(":")[0].strip() for r in reasons],
                         ["run", "node1", "node2", "node3", "node4"])
        self.assertTrue(all(r.startswith("  ") and "FAIL" not in r for r in reasons))
        judged = self.summary()["reference"]["judged"]
        self.assertEqual([j["verdict"] for j in judged], ["BELOW"] * 5)
        self.assertAlmostEqual(judged[0]["change_percent"], -30, delta=0.01)
        self.assertEqual(self.report("--reference", below, self.dir).returncode, 0)
        within = self.write(ENTRY % (rate * 1.05), "within.toml")
        proc = self.report("--reference", within, "--fail-reference", self.dir)
        self.assertEqual(proc.returncode, 0, proc.stdout)
        self.assertIn("verdict: PASS", proc.stdout)
        # Figures at the ends of the doubles: short on the console and the page.
        for tiny in ("5e-324", "1e-300"):
            proc = self.report("--reference", self.write(ENTRY % tiny, "tiny.toml"),
                               "--fail-reference", self.dir)
            self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
            with open(os.path.join(self.dir, "report.html"), encoding="utf-8") as f:
                page = f.read()
            for text in (proc.stdout, page):
                self.assertNotRegex(text, r"[0-9,.]{30}", tiny)
                self.assertNotIn("inf%", text.replace(" ", ""))
        shardfall = self.write(ENTRY.replace("latticeglow", "shardfall") % rate, "other.toml")
        proc = self.report("--reference", shardfall, "--fail-reference", self.dir)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        self.assertIn("node1: no reference covers it", proc.stdout)


class GlyphlessNames(FolderCase):
    def test_a_host_name_without_glyphs_is_plotted_without_warnings(self):
        write_hosts_run(self.dir, [host("node\ufffe%d" % i) for i in range(1, 4)] +
                        [host("node\U0010fffe")])
        proc = T.run_tool(T.BENCH_REPORT, self.dir, timeout=120)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        self.assertTrue(os.path.getsize(os.path.join(self.dir, "vertex_rate.png")))


# bench-run as bench-sbatch sees it: it writes its arguments and copies a prepared run
# ($FAKE_RUN) to its --out, and ends with $FAKE_STATUS.
FAKE_RUN = """#!/bin/sh
printf '%s\\n' "$@" > "$FAKE_ARGS"
while [ $# -gt 1 ]; do [ "$1" = --out ] && out=$2; shift; done
cp -r "$FAKE_RUN" "$out"
exit $FAKE_STATUS
"""


class Sbatch(FolderCase):
    def test_the_gates_reach_the_report_and_its_status_ends_the_job(self):
        tools = os.path.join(self.dir, "tools")
        os.makedirs(tools)
        with open(os.path.join(tools, "bench-run"), "w") as f:
            f.write(FAKE_RUN)
        os.chmod(os.path.join(tools, "bench-run"), 0o755)
        os.symlink(T.BENCH_REPORT, os.path.join(tools, "bench-report"))
        run = os.path.join(self.dir, "prepared")
        os.makedirs(run)
        write_hosts_run(run, [host("node1"), host("node2"), host("node3", cores=4)])
        reference = os.path.join(self.dir, "it's a reference.toml")
        with open(reference, "w") as f:
            f.write(ENTRY % "1e6")

        def job(*args, status=0):
            out = os.path.join(self.dir, "out-%d" % len(os.listdir(self.dir)))
            env = dict(os.environ, BENCH_TOOLS=tools, BENCH_OUT=out, SLURM_JOB_ID="42",
                       FAKE_RUN=run, FAKE_ARGS=os.path.join(self.dir, "args"),
                       FAKE_STATUS=str(status))
            proc = T.run_tool(os.path.join(T.TOOLS_DIR, "bench-sbatch"), "latticeglow", "3",
                              *args, env=env, timeout=120)
            with open(os.path.join(self.dir, "args")) as f:
                return proc, f.read().split("\n")[:-1], out

        proc, run_args, out = job("--frames", "10", "--fail-mixed", "--reference", reference,
                                  "--fail-reference", "--fail-slow-host", "10")
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertEqual(run_args, ["--out", out, "latticeglow", "3", "--frames", "10"])
        self.assertIn("node3: cores 4, the others 2", proc.stdout)
        self.assertIn("verdict: FAIL (mixed hosts, reference)", proc.stdout)
        self.assertIn(reference, self.summary(out)["reference"]["file"])
        with open(os.path.join(out, "report.txt")) as f:
            self.assertIn("verdict: FAIL", f.read())
        # After --report, bench-report's options (also after bench-run's --); the user's own
        # --out names the folder, and goes before a -- that would give it to the launcher.
        mine, junit = os.path.join(self.dir, "mine"), os.path.join(self.dir, "report.xml")
        proc, run_args, _out = job("--frames", "10", "--out", mine, "--", "--bind-to", "core",
                                   "--report", "--junit", junit, "--allow-failed")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertEqual(run_args, ["--out", mine, "latticeglow", "3", "--frames", "10", "--",
                                    "--bind-to", "core"])
        self.assertTrue(os.path.exists(junit))
        proc, _args, _out = job("--frames", "10", status=143)  # the run's own status stays
        self.assertEqual(proc.returncode, 143, proc.stdout + proc.stderr)


if __name__ == "__main__":
    unittest.main()
