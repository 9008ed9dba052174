"""The programs across three simulated hosts: MPICH's hydra and OpenMPI's mpirun through the
host agent, srun with each MPI on a real Slurm cluster, and a host that fails mid-run."""

import os
import signal
import subprocess
import sys
import time
import unittest

import clustertest as C
import simcluster
from benchlib.hosts import hostfile as H

ONE_WINDOW_EACH = {1: "node2", 2: "node3"}


class Fixture(unittest.TestCase):
    def setUp(self):
        reason = simcluster.skip_reason()
        if reason:
            print(f"{C.SKIP_MARKER}: {reason}", file=sys.stderr, flush=True)
            self.skipTest(reason)

    def test_hosts_are_apart_but_share_the_work_folder(self):
        with simcluster.Cluster(2) as cluster:
            shared = os.path.join(cluster.workdir, "from-node1")
            cluster.run("node1", ["sh", "-c", f"touch /tmp/private /var/lib/xkb/private {shared}"])
            probe = cluster.run("node2", ["sh", "-c", "hostname; ls /tmp/private "
                                          "/var/lib/xkb/private 2>/dev/null; ls " + shared])
            self.assertEqual(probe.stdout.split(), ["node2", shared])
            agent = cluster.run("node1", [cluster.agent, "-x", "198.18.0.2", "hostname"])
            self.assertEqual(agent.stdout.strip(), "node2")
        self.assertEqual(simcluster.leftovers(cluster.prefix), [])

    def test_a_crashed_owner_leaves_its_cluster_to_the_next_sweep(self):
        owner = subprocess.Popen(
            [sys.executable, "-c", "import sys, simcluster; c = simcluster.Cluster(2).start(); "
             "print(c.prefix, flush=True); sys.stdin.read()"],
            cwd=C.HERE, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        prefix = owner.stdout.readline().strip()
        self.assertTrue(simcluster.leftovers(prefix))
        owner.kill()
        owner.wait()
        owner.stdin.close()
        owner.stdout.close()
        self.assertIn(prefix, simcluster.sweep())
        self.assertEqual(simcluster.leftovers(prefix), [])


@C.needs_mpi("mpich")
class Hydra(C.ClusterCase):
    def test_smoke_across_three_hosts(self):
        hostfile = os.path.join(self.cluster.dir, "hostfile.mpich")
        placement = H.windows_by_host(H.read_hostfile(hostfile, "mpich"), 2)
        self.assertEqual(placement, {"node2": [1], "node3": [2]})
        argv = H.launch_command("mpich", [self.program("latticeglow")], 3, hostfile=hostfile,
                                agent=self.cluster.agent, env=C.RANK_ENV)
        self.smoke(self.launch(argv), "latticeglow", ONE_WINDOW_EACH)


class Srun(C.ClusterCase):
    slurm = True

    def test_srun_in_an_allocation_across_three_nodes(self):
        """salloc gives the allocation; inside it the placement comes from Slurm's variables
        and the ranks from srun with the plugin of this build's MPI."""
        launch = H.launch_command(C.MPI, [self.program("shardfall")], 3, env=C.RANK_ENV,
                                  slurm=True)
        placement = ("import os; from benchlib.hosts import hostfile as H; print(H.windows_by_host("
                     "H.slurm_hosts(os.environ['SLURM_JOB_NODELIST'], "
                     "os.environ['SLURM_TASKS_PER_NODE']), 2))")
        script = f'{sys.executable} -c "$1" && shift && exec "$@"'
        argv = ["salloc", "-N3", "-n3", "sh", "-c", script, "sh", placement] + launch
        env = dict(self.slurm_cluster.env(), PYTHONPATH=os.path.join(C.SOURCE_DIR, "tools"))
        process = self.launch(argv, env=env)
        self.smoke(process, "shardfall", ONE_WINDOW_EACH)
        self.assertIn("{'node2': [1], 'node3': [2]}", self.console_text())
        self.assert_nothing_running()


@C.needs_mpi("openmpi")
class HostFailure(C.ClusterCase):
    def test_a_killed_window_ends_the_run_on_every_host(self):
        hostfile = os.path.join(self.cluster.dir, "hostfile.openmpi")
        argv = H.launch_command("openmpi", [self.program("latticeglow")], 3, hostfile=hostfile,
                                agent=self.cluster.agent, env=C.RANK_ENV)
        process = self.launch(argv)
        self.wait_windows(process, "latticeglow", ONE_WINDOW_EACH)
        C.wait_for(lambda: min(self.frames("latticeglow", w) for w in (1, 2)) >= 3,
                   "a few frames from each window")
        victim = [pid for pid, name in self.cluster.host_processes("node3")
                  if name == "latticeglow"]
        self.assertEqual(len(victim), 1)
        killed = time.monotonic()
        os.kill(victim[0], signal.SIGKILL)
        self.assertNotEqual(self.wait_exit(process, timeout=30), 0)
        print(f"run ended {time.monotonic() - killed:.2f} s after the kill", file=sys.stderr)
        survivor = self.results_text("latticeglow", 1)
        self.assertTrue(survivor.endswith("\n"), f"last line cut: {survivor[-200:]!r}")
        self.assert_nothing_running()


if __name__ == "__main__":
    unittest.main()
