"""bench-run and bench-sbatch across three simulated hosts: a run through mpirun --hostfile,
a host that fails mid-run, and the batch script submitted to Slurm."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

import clustertest as C
import simcluster

TOOLS = os.path.join(C.SOURCE_DIR, "tools")
RUN_ENV = {"LP_NUM_THREADS": "1"}


class BenchRunCase(C.ClusterCase):
    xvfb = False

    def out(self, name="run"):
        return os.path.join(self.cluster.workdir, name)

    def bench_run(self, *args, env=None, out=None):
        argv = [os.path.join(TOOLS, "bench-run"), *args, "--program",
                self.program(args[0]), "--out", out or self.out()]
        return self.launch(argv, env=dict(RUN_ENV, **(env or {})))

    def run_json(self, folder=None):
        with open(os.path.join(folder or self.out(), "run.json")) as f:
            return json.load(f)

    def hostfile_args(self):
        return ["--hostfile", os.path.join(self.cluster.dir, f"hostfile.{C.MPI}"),
                "--launcher-agent", self.cluster.agent]

    def window_files(self, folder, program):
        return C.results_files(folder, program)


class BenchRunHostfile(BenchRunCase):
    def test_three_hosts_one_window_each_on_its_own_display(self):
        started = time.monotonic()
        process = self.bench_run("latticeglow", "2", "--frames", "3", "--depth", "16",
                                 *self.hostfile_args())
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        print(f"bench-run across 3 hosts: {time.monotonic() - started:.2f} s", file=sys.stderr)
        info = self.run_json()
        self.assertEqual(info["status"], "ok")
        print(f"runner CPU: {info['runner_cpu']}", file=sys.stderr)
        self.assertEqual(info["window_hosts"], {"1": "node2", "2": "node3"})
        self.assertEqual(info["frames_reported"], {"1": 3, "2": 3})
        self.assertEqual({h["name"]: h["windows"] for h in info["hosts"]},
                         {"node1": [], "node2": [1], "node3": [2]})
        self.assertTrue(all(h["gl_renderer"] for h in info["hosts"] if h["windows"]))
        # Each agent watches only its own host's display: a window found there is on it.
        self.assertEqual(sorted(info["window_visuals"]), ["1", "2"])
        self.assertEqual(info["context"]["screen"], {"width": 1540, "height": 1540, "depth": 16})
        # Each host checked its window's picture against a reference drawn there.
        self.assertEqual({(e["window"], e["host"], e["status"])
                          for e in info["pictures"]["windows"]},
                         {(1, "node2", "pass"), (2, "node3", "pass")})
        files = self.window_files(self.out(), "latticeglow")
        self.assertEqual(len(files), 2)
        self.assertTrue(any(" @ 1 of node2 @ " in f for f in files), files)
        self.assertTrue(any(" @ 2 of node3 @ " in f for f in files), files)
        report = subprocess.run([os.path.join(TOOLS, "bench-report"), "--no-plots", self.out()],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(report.returncode, 0, report.stdout + report.stderr)
        with open(os.path.join(self.out(), "summary.json")) as f:
            totals = json.load(f)["hosts"]
        self.assertEqual(sorted(totals), ["node2", "node3"])
        self.assertTrue(all(t["frames"] == 3 for t in totals.values()), totals)
        self.assert_nothing_running(ignore=())

    def test_two_screens_a_host_with_the_ranks_renderer(self):
        """Each host's own Xvfb with 2 screens, its 2 windows one on each; the hosts' GL facts
        read as their ranks see them (a driver chosen in the environment), and sync to the
        refresh off on every host."""
        hostfile = os.path.join(self.cluster.dir, "hostfile-two-a-host")
        with open(hostfile, "w") as f:
            f.write("node1 slots=1\nnode2 slots=2\nnode3 slots=2\n" if C.MPI == "openmpi"
                    else "node1:1\nnode2:2\nnode3:2\n")
        process = self.bench_run("latticeglow", "4", "--frames", "1", "--depth", "16",
                                 "--screens", "2", "--hostfile", hostfile, "--launcher-agent",
                                 self.cluster.agent, env={"GALLIUM_DRIVER": "softpipe"})
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        info = self.run_json()
        displays = {h["name"]: [d["name"] for d in h["displays"]] for h in info["hosts"]}
        self.assertEqual([len(displays[h]) for h in ("node2", "node3")], [2, 2])
        dealt = {"1": displays["node2"][0], "2": displays["node2"][1],
                 "3": displays["node3"][0], "4": displays["node3"][1]}
        self.assertEqual(info["window_displays"], dealt)
        self.assertEqual({w: v["display"] for w, v in info["window_visuals"].items()}, dealt)
        for host in info["hosts"][1:]:
            self.assertIn("softpipe", host["gl_renderer"])
            self.assertEqual((host["rendering_env"]["vblank_mode"],
                              host["rendering_env"]["GALLIUM_DRIVER"]), ("0", "softpipe"))
        self.assert_nothing_running(ignore=())

    def test_the_renderer_of_each_host_is_read_under_its_wrapper(self):
        """A wrapper that changes the renderer on node3 alone: run.json records it there,
        and bench-report's mixed-hosts gate names node3."""
        wrap = ("sh -c 'case {host} in node3) export GALLIUM_DRIVER=softpipe;; esac; "
                "exec \"$@\"' wrap")
        process = self.bench_run("latticeglow", "2", "--frames", "1", "--depth", "16",
                                 "--wrap", wrap, *self.hostfile_args())
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        renderers = {h["name"]: h["gl_renderer"] for h in self.run_json()["hosts"]}
        self.assertEqual(renderers["node3"], "softpipe")
        self.assertIn("llvmpipe", renderers["node2"])
        report = subprocess.run([os.path.join(TOOLS, "bench-report"), "--no-plots",
                                 "--fail-mixed", self.out()],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(report.returncode, 1, report.stdout + report.stderr)
        self.assertRegex(report.stdout, r"mixed hosts: FAIL: renderer differs: .*node3 softpipe")
        self.assert_nothing_running(ignore=())

    def test_without_a_shared_folder_the_agents_bring_the_files_back(self):
        """A run folder in the hosts' private /tmp: each host has its own. The windows
        animate for a time, ended together on every host."""
        process = self.bench_run("latticeglow", "2", "--seconds", "2", "--depth", "16",
                                 *self.hostfile_args(), out="/tmp/private-run")
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        folder = os.path.join(self.cluster.dir, "hosts", "node1", "tmp", "private-run")
        self.assertFalse(self.run_json(folder)["shared_folder"])
        files = self.window_files(folder, "latticeglow")
        self.assertEqual([f.split(" @ ")[1] for f in files], ["1 of node2", "2 of node3"])
        for name in files:
            with open(os.path.join(folder, name)) as f:
                self.assertIn("Total running time:  ", f.read())

    def test_a_stranger_on_the_agents_port_is_turned_away(self):
        """A process on another host connects to the agents' port while the run goes on: it
        learns nothing of the run, its connection is closed and the run ends well."""
        process = self.bench_run("latticeglow", "1", "--seconds", "4", "--depth", "16",
                                 *self.hostfile_args())

        def agents_port():
            for entry in os.listdir("/proc"):
                try:
                    with open(f"/proc/{entry}/cmdline", "rb") as f:
                        argv = f.read().decode(errors="replace").split("\0")
                except OSError:
                    continue
                if "--connect" in argv and any(a.endswith("bench-agent") for a in argv):
                    return argv[argv.index("--connect") + 1]
            return None
        address = C.wait_for(lambda: process.poll() is None and agents_port(),
                             "the agents' port", timeout=120)
        stranger = (
            "import json, socket, sys\n"
            "host, port = sys.argv[1].rsplit(':', 1)\n"
            "s = socket.create_connection((host, int(port)), timeout=60)\n"
            "s.sendall(b'{\"hello\": 1, \"proof\": \"00\"}\\n')\n"
            "got = b''\n"
            "while True:\n"
            "    chunk = s.recv(65536)\n"
            "    if not chunk: break\n"
            "    got += chunk\n"
            "print(got.decode())\n"
            # and many more connections, held open: a few notes and one line for the rest
            "held = []\n"
            "for _ in range(40):\n"
            "    try: held.append(socket.create_connection((host, int(port)), timeout=60))\n"
            "    except OSError: break\n"
            "for h in held:\n"
            "    try: h.recv(1)\n"
            "    except OSError: pass\n")
        heard = self.cluster.run("node3", [sys.executable, "-c", stranger, address], timeout=90)
        self.assertNotIn("config", heard.stdout)
        # The run folder is made once every host has answered and pre-flight has passed.
        C.wait_for(lambda: os.path.exists(os.path.join(self.out(), ".bench-run-tag")),
                   "the run folder", timeout=120)
        with open(os.path.join(self.out(), ".bench-run-tag")) as f:
            tag = f.read().strip()
        self.assertNotIn(tag, heard.stdout)
        self.assertNotIn(self.run_json()["run_id"], heard.stdout)
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        console = self.console_text()
        self.assertIn("a connection from 198.18.0.3: closed", console)
        self.assertLessEqual(console.count("a connection from 198.18.0.3: closed"), 3, console)
        self.assertRegex(console, r"\d+ more connections that did not prove")
        self.assert_nothing_running(ignore=())

    def test_a_host_that_fails_ends_the_run_everywhere(self):
        """Without a shared folder: the files written until the failure still come back."""
        process = self.bench_run("latticeglow", "2", "--seconds", "120", "--depth", "16",
                                 *self.hostfile_args(), out="/tmp/failed-run")
        folders = {h: os.path.join(self.cluster.dir, "hosts", h, "tmp", "failed-run")
                   for h in self.cluster.names}

        def frames(window, host):
            folder = folders[host]
            return C.frames(folder, "latticeglow", window) if os.path.isdir(folder) else 0
        C.wait_for(lambda: process.poll() is not None or
                   min(frames(1, "node2"), frames(2, "node3")) >= 3,
                   "a few frames from each window", timeout=120)
        self.assertIsNone(process.poll(), self.console_text())
        victim = [pid for pid, name in self.cluster.host_processes("node3")
                  if name == "latticeglow"]
        self.assertEqual(len(victim), 1)
        killed = time.monotonic()
        os.kill(victim[0], signal.SIGKILL)
        status = self.wait_exit(process, timeout=60)
        print(f"bench-run ended {time.monotonic() - killed:.2f} s after the kill",
              file=sys.stderr)
        self.assertEqual(status, 1, self.console_text())
        # The killed window's host sees it go (its window destroyed) and is the one named.
        self.assertRegex(self.console_text(), r"node3: window\(s\) 2 ended .* on node3 ")
        info = self.run_json(folders["node1"])
        self.assertEqual((info["status"], list(info["windows_ended_early"]),
                          info["failed_hosts"]), ("failed", ["2"], ["node3"]))
        files = self.window_files(folders["node1"], "latticeglow")
        self.assertEqual([f.split(" @ ")[1] for f in files], ["1 of node2", "2 of node3"])
        with open(os.path.join(folders["node1"], files[0]), errors="replace") as f:
            survivor = f.read()
        self.assertGreaterEqual(survivor.count("Vertex/sec."), 3)
        self.assertTrue(survivor.endswith("\n"), f"last line cut: {survivor[-200:]!r}")
        self.assert_nothing_running(ignore=())


class SlowNode(BenchRunCase):
    """Four hosts, the console on node1 and a window on each other: a host held to a fraction
    of a core is named; without it, nobody is."""
    hosts = 4

    def report(self, folder):
        return subprocess.run([os.path.join(TOOLS, "bench-report"), "--no-plots",
                               "--fail-slow-host", "10", folder],
                              capture_output=True, text=True, timeout=120)

    def run_once(self, name):
        # The pictures are checked elsewhere; here every run's time goes to the frames.
        process = self.bench_run("latticeglow", "3", "--frames", "20", "--depth", "16",
                                 "--no-picture-check", *self.hostfile_args(),
                                 out=self.out(name))
        self.assertEqual(self.wait_exit(process, timeout=300), 0, self.console_text())
        return self.report(self.out(name))

    def test_a_throttled_host_is_named_and_equal_hosts_are_not(self):
        if simcluster.cpu_cgroup_root() is None:
            self.skipTest("no CPU cgroup to throttle a host with")
        for attempt in range(5):
            report = self.run_once("even-%d" % attempt)
            self.assertEqual(report.returncode, 0, report.stdout + report.stderr)
            self.assertIn("no host significantly slower", report.stdout)
        self.cluster.throttle("node3", 0.3)
        report = self.run_once("throttled")
        print(report.stdout, file=sys.stderr)
        self.assertEqual(report.returncode, 1, report.stdout + report.stderr)
        self.assertRegex(report.stdout, r"SLOW HOST beyond 10%: node3 \(-\d")
        with open(os.path.join(self.out("throttled"), "summary.json")) as f:
            verdicts = {v["host"]: v["verdict"] for v in json.load(f)["host_verdicts"]}
        self.assertEqual(verdicts, {"node2": "fine", "node3": "SLOWER", "node4": "fine"})


class BenchSbatch(BenchRunCase):
    slurm = True

    def test_batch_job_on_three_nodes_writes_its_report(self):
        out = self.out("batch")
        env = dict(self.slurm_cluster.env(), BENCH_OUT=out, **RUN_ENV)
        argv = ["sbatch", "-W", "-N3", "-n3", f"--chdir={self.cluster.workdir}",
                f"--output={self.cluster.workdir}/job.out", os.path.join(TOOLS, "bench-sbatch"),
                "latticeglow", "2", "--frames", "2", "--depth", "16",
                "--program", self.program("latticeglow"),
                "--report", "--junit", os.path.join(self.cluster.workdir, "report.xml")]
        process = self.launch(argv, env=env)
        status = self.wait_exit(process, timeout=400)
        with open(os.path.join(self.cluster.workdir, "job.out"), errors="replace") as f:
            job = f.read()
        print("--- the job's output ---\n" + job, file=sys.stderr)
        self.assertEqual(status, 0, self.console_text() + job)
        info = self.run_json(out)
        self.assertEqual(info["status"], "ok", job)
        self.assertEqual(info["window_hosts"], {"1": "node2", "2": "node3"})
        self.assertTrue(info["mpi"]["launcher"].endswith("srun"))
        with open(os.path.join(out, "summary.json")) as f:
            self.assertEqual(sorted(json.load(f)["hosts"]), ["node2", "node3"])
        self.assertIn("node2", job)
        # What follows --report reaches bench-report whole.
        self.assertTrue(os.path.exists(os.path.join(self.cluster.workdir, "report.xml")), job)
        self.assert_nothing_running()


if __name__ == "__main__":
    unittest.main()
