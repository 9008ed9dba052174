"""A real Slurm cluster on the simulated hosts: munged in the root namespace on a private
socket, slurmctld in the first host, one slurmd per host. Clients must run inside a host
(the controller's address is only reachable there) with SLURM_CONF set, or Slurm asks DNS."""

import os
import shutil
import subprocess
import time

from simcluster import run_checked

SLURM_TOOLS = ("munged", "mungekey", "slurmctld", "slurmd", "srun", "sinfo", "scontrol")

CONF = """\
ClusterName={name}
SlurmctldHost={first}({first_addr})
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={munge_socket}
StateSaveLocation={slurm_dir}/state
SlurmdSpoolDir={slurm_dir}/spool-%n
SlurmctldPidFile={slurm_dir}/slurmctld.pid
SlurmdPidFile={slurm_dir}/slurmd-%n.pid
SlurmctldLogFile={slurm_dir}/slurmctld.log
SlurmdLogFile={slurm_dir}/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MailProg=/bin/true
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
SlurmdTimeout=30
NodeName={nodes} NodeAddr={addrs} CPUs=2 State=UNKNOWN
PartitionName=bench Nodes=ALL Default=YES MaxTime=INFINITE State=UP
"""


def missing_tools():
    return [tool for tool in SLURM_TOOLS if shutil.which(tool) is None]


class Slurm:
    def __init__(self, cluster):
        self.cluster = cluster
        self.slurm_dir = os.path.join(cluster.dir, "slurm")
        self.munge_dir = os.path.join(cluster.dir, "munge")
        self.conf = os.path.join(self.slurm_dir, "slurm.conf")
        self.munge_socket = os.path.join(self.munge_dir, "munge.socket")

    def env(self, base=None):
        """An environment for Slurm clients: SLURM_CONF always set."""
        env = dict(os.environ if base is None else base)
        env["SLURM_CONF"] = self.conf
        return env

    def start(self, deadline=60):
        os.makedirs(os.path.join(self.slurm_dir, "state"))
        os.makedirs(self.munge_dir)
        os.chmod(self.munge_dir, 0o755)
        self._munge(deadline)
        self._write_conf()
        c = self.cluster
        self.controller = c.popen(c.names[0], ["slurmctld", "-D", "-c", "-i", "-f", self.conf],
                                  env=self.env(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        for host in c.names:
            c.popen(host, ["slurmd", "-D", "-f", self.conf], env=self.env(),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_idle(deadline)
        return self

    def _munge(self, deadline):
        key = os.path.join(self.munge_dir, "munge.key")
        run_checked(["mungekey", "--create", f"--keyfile={key}"])
        process = subprocess.Popen(
            ["timeout", str(self.cluster.lifetime), "munged", "-F", "--force",
             f"--socket={self.munge_socket}", f"--key-file={key}",
             f"--pid-file={self.munge_dir}/munged.pid", f"--log-file={self.munge_dir}/munged.log",
             f"--seed-file={self.munge_dir}/munged.seed"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
            start_new_session=True)
        self.cluster.processes.append(process)
        self.cluster.record_pid("munge-timeout", process.pid)
        end = time.monotonic() + deadline
        while not os.path.exists(self.munge_socket):
            if process.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"munged did not start; see {self.munge_dir}/munged.log")
            time.sleep(0.02)
        with open(f"{self.munge_dir}/munged.pid") as f:
            self.cluster.record_pid("munged", int(f.read().split()[0]))

    def _write_conf(self):
        c = self.cluster
        n = len(c.names)
        nodes = "node1" if n == 1 else f"node[1-{n}]"
        first = c.address(c.names[0])
        addrs = first if n == 1 else first.rsplit(".", 1)[0] + f".[1-{n}]"
        with open(self.conf, "w") as f:
            f.write(CONF.format(name=c.prefix.replace("-", ""), first=c.names[0], first_addr=first,
                                munge_socket=self.munge_socket, slurm_dir=self.slurm_dir,
                                nodes=nodes, addrs=addrs))

    def _wait_idle(self, deadline):
        c = self.cluster
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            if self.controller.poll() is not None:
                raise RuntimeError(f"slurmctld exited; see {self.slurm_dir}/slurmctld.log")
            result = c.run(c.names[0], ["sinfo", "-h", "-t", "idle", "-o", "%n"], timeout=20,
                           env=self.env(), check=False)
            if result.returncode == 0 and sorted(result.stdout.split()) == sorted(c.names):
                return
            time.sleep(0.2)
        raise RuntimeError(f"Slurm nodes not idle within {deadline} s; see {self.slurm_dir}")

    def run(self, argv, host=None, timeout=300, check=True, env=None):
        """A Slurm client command inside a host (the first by default)."""
        return self.cluster.run(host or self.cluster.names[0], argv, timeout=timeout,
                                env=self.env(env), check=check)
