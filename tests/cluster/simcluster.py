"""A simulated cluster on one machine: each host is a network namespace (its own address on a
bridge that lives in a namespace of its own) plus a holder process that owns the host's UTS
namespace (hostname) and mount namespace (private /tmp and /var/lib/xkb, its own /etc/hosts).

Everything of one cluster carries one prefix: the namespaces `<prefix>-node1...`, the bridge's
`<prefix>-br` and the state folder /tmp/<prefix>, which every host sees at the same path (it is
bound back into each private /tmp), so it serves as the shared work folder. Teardown kills by
pid whatever lives in the hosts' namespaces, then the pids recorded in the state folder.
"""

import os
import re
import secrets
import shlex
import shutil
import signal
import subprocess
import time

SUBNET = "198.18.0"
STATE_ROOT = "/tmp"
CHECKOUT = os.path.realpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PREFIX_PATTERN = re.compile(r"^bcl-[0-9a-f]{8}$")
CAP_NET_ADMIN, CAP_SYS_ADMIN = 12, 21
# Every command the fixture starts runs under `timeout`: a hung command cannot outlive this,
# nor a host or daemon the cluster's lifetime (the bound on what a crashed run leaves running).
LAUNCH_TIMEOUT = int(os.environ.get("CLUSTER_LAUNCH_TIMEOUT", "900"))
LIFETIME = int(os.environ.get("CLUSTER_LIFETIME", "3600"))
AGENT_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "host-agent.in")


def skip_reason(tools=("ip", "nsenter", "unshare", "timeout", "Xvfb", "xdpyinfo")):
    """Why the fixture cannot run here, or None."""
    if os.geteuid() != 0:
        return "not root"
    with open("/proc/self/status") as f:
        caps = int(re.search(r"^CapEff:\s*([0-9a-f]+)$", f.read(), re.M).group(1), 16)
    for bit, name in ((CAP_SYS_ADMIN, "CAP_SYS_ADMIN"), (CAP_NET_ADMIN, "CAP_NET_ADMIN")):
        if not caps & (1 << bit):
            return f"root without {name}"
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        return "missing " + ", ".join(missing)
    return None


def run_checked(argv, timeout=30, **kwargs):
    result = subprocess.run(["timeout", str(timeout)] + list(argv), capture_output=True,
                            text=True, **kwargs)
    if result.returncode != 0:
        raise RuntimeError(f"{shlex.join(argv)} failed ({result.returncode}): {result.stderr}")
    return result.stdout


def netns_pids(namespace):
    result = subprocess.run(["timeout", "10", "ip", "netns", "pids", namespace],
                            capture_output=True, text=True)
    return [int(pid) for pid in result.stdout.split()]


def pid_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def start_time(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


def kill_pids(pids, grace=3.0):
    """SIGTERM, then SIGKILL whatever is still there after the grace period."""
    pids = [pid for pid in pids if pid != os.getpid()]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        end = time.monotonic() + grace
        while time.monotonic() < end and any(pid_alive(pid) for pid in pids):
            time.sleep(0.02)
        pids = [pid for pid in pids if pid_alive(pid)]
        if not pids:
            return


def prefix_namespaces(prefix):
    listing = subprocess.run(["timeout", "10", "ip", "netns", "list"], capture_output=True,
                             text=True).stdout
    names = [line.split()[0] for line in listing.splitlines() if line.strip()]
    return [name for name in names if name.startswith(prefix + "-")]


def cpu_cgroup_root():
    """Where a CPU cgroup can be made: cgroup v2 with the cpu controller (cpu.max), else v1's
    cpu hierarchy (cpu.cfs_quota_us); None when neither is there."""
    try:
        with open("/sys/fs/cgroup/cgroup.controllers") as f:
            if "cpu" in f.read().split():
                return "/sys/fs/cgroup"
    except OSError:
        pass
    return "/sys/fs/cgroup/cpu" if os.path.exists("/sys/fs/cgroup/cpu/cpu.cfs_quota_us") \
        else None


def cgroups_of(prefix):
    root = cpu_cgroup_root()
    if root is None:
        return []
    return [os.path.join(root, name) for name in os.listdir(root)
            if name.startswith(prefix + "-")]


def teardown(prefix):
    """Removes everything of a cluster: processes in its namespaces, the recorded pids (daemons
    of the root namespace), the namespaces and the state folder."""
    state = os.path.join(STATE_ROOT, prefix)
    namespaces = prefix_namespaces(prefix)
    # Rounds: a dying daemon may still start a helper (slurmd forks slurmstepd).
    for _ in range(5):
        pids = [pid for ns in namespaces for pid in netns_pids(ns)]
        if not pids:
            break
        kill_pids(pids)
    recorded = []
    pid_dir = os.path.join(state, "pids")
    for name in os.listdir(pid_dir) if os.path.isdir(pid_dir) else []:
        try:
            with open(os.path.join(pid_dir, name)) as f:
                pid, started = f.read().split()
        except (OSError, ValueError):
            continue
        if start_time(int(pid)) == started:
            recorded.append(int(pid))
    kill_pids(recorded)
    for ns in namespaces:
        subprocess.run(["timeout", "10", "ip", "netns", "delete", ns], capture_output=True)
    for folder in cgroups_of(prefix):  # empty now that their processes are gone
        for _ in range(50):
            try:
                os.rmdir(folder)
                break
            except OSError:
                time.sleep(0.1)
    shutil.rmtree(state, ignore_errors=True)


def owner_alive(prefix):
    try:
        with open(os.path.join(STATE_ROOT, prefix, "owner")) as f:
            pid, started = f.read().split()
    except (OSError, ValueError):
        return False
    return start_time(int(pid)) == started


def sweep():
    """Tears down the clusters of earlier runs whose owning process is gone (a crashed or
    killed test); clusters of runs still going are left alone."""
    listing = subprocess.run(["timeout", "10", "ip", "netns", "list"], capture_output=True,
                             text=True).stdout
    prefixes = {line.split()[0].rsplit("-", 1)[0] for line in listing.splitlines() if line.strip()}
    prefixes |= set(os.listdir(STATE_ROOT))
    swept = []
    for name in prefixes:
        # A set-up that died before its folder got its name.
        if name.startswith(".") and PREFIX_PATTERN.match(name[1:]) and not owner_alive(name):
            shutil.rmtree(os.path.join(STATE_ROOT, name), ignore_errors=True)
    for prefix in sorted(p for p in prefixes if PREFIX_PATTERN.match(p)):
        if not owner_alive(prefix):
            teardown(prefix)
            swept.append(prefix)
    return swept


def leftovers(prefix):
    """What of a cluster still exists (empty after a clean teardown)."""
    found = prefix_namespaces(prefix) + cgroups_of(prefix)
    if os.path.exists(os.path.join(STATE_ROOT, prefix)):
        found.append(os.path.join(STATE_ROOT, prefix))
    return found


class Cluster:
    """N hosts node1..nodeN at 198.18.0.1..N. Use as a context manager, or start()/stop().
    Each host's mount namespace starts as a copy of this process's, or of the one process
    `mount_ns` (a pid) is in: the hosts then see its mounts (a fresh /usr, say)."""

    def __init__(self, hosts=3, lifetime=LIFETIME, mount_ns=None):
        if not 1 <= hosts <= 250:
            raise ValueError("1 to 250 hosts")
        self.lifetime = lifetime
        self.prefix = "bcl-" + secrets.token_hex(4)
        self.dir = os.path.join(STATE_ROOT, self.prefix)
        self.workdir = os.path.join(self.dir, "work")
        self.names = [f"node{i}" for i in range(1, hosts + 1)]
        self.holders = {}
        self.processes = []
        self.agent = os.path.join(self.dir, "host-agent")
        self.mount_ns = mount_ns

    def throttle(self, host, share):
        """Holds the processes started on a host from now on to `share` of one core (a CPU
        cgroup the host agent puts them in)."""
        root = cpu_cgroup_root()
        folder = os.path.join(root, f"{self.prefix}-{host}")
        os.mkdir(folder)
        period = 100000
        if os.path.exists(os.path.join(folder, "cpu.max")):
            with open(os.path.join(folder, "cpu.max"), "w") as f:
                f.write(f"{int(share * period)} {period}\n")
        else:
            with open(os.path.join(folder, "cpu.cfs_period_us"), "w") as f:
                f.write(f"{period}\n")
            with open(os.path.join(folder, "cpu.cfs_quota_us"), "w") as f:
                f.write(f"{int(share * period)}\n")
        with open(os.path.join(self.dir, f"cgroup.{host}"), "w") as f:
            f.write(folder + "\n")

    def address(self, host):
        return f"{SUBNET}.{self.names.index(host) + 1}"

    # Set-up
    def start(self, owner_pid=None):
        sweep()
        # The folder appears under its swept name only once it names its owner.
        staging = os.path.join(STATE_ROOT, "." + self.prefix)
        os.makedirs(os.path.join(staging, "pids"))
        owner = owner_pid or os.getpid()
        with open(os.path.join(staging, "owner"), "w") as f:
            f.write(f"{owner} {start_time(owner)}\n")
        os.chmod(staging, 0o755)
        os.rename(staging, self.dir)
        try:
            os.makedirs(self.workdir)
            self._write_files()
            self._network()
            for host in self.names:
                self._holder(host)
        except BaseException:
            self.stop()
            raise
        return self

    def _write_files(self):
        lines = ["127.0.0.1 localhost"] + [f"{self.address(h)} {h}" for h in self.names]
        with open(os.path.join(self.dir, "etc-hosts"), "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.join(self.dir, "holders"), "w") as f:
            pass
        with open(AGENT_TEMPLATE) as f:
            agent = f.read().replace("@CLUSTER_DIR@", self.dir)
        with open(self.agent, "w") as f:
            f.write(agent)
        os.chmod(self.agent, 0o755)
        for flavour, line in (("openmpi", "{} slots=1"), ("mpich", "{}:1")):
            with open(os.path.join(self.dir, f"hostfile.{flavour}"), "w") as f:
                f.write("".join(line.format(h) + "\n" for h in self.names))

    def _network(self):
        bridge_ns = f"{self.prefix}-br"
        run_checked(["ip", "netns", "add", bridge_ns])
        run_checked(["ip", "-n", bridge_ns, "link", "add", "br0", "type", "bridge"])
        run_checked(["ip", "-n", bridge_ns, "link", "set", "br0", "up"])
        for host in self.names:
            ns = f"{self.prefix}-{host}"
            run_checked(["ip", "netns", "add", ns])
            port = "p" + host
            run_checked(["ip", "-n", bridge_ns, "link", "add", port, "type", "veth", "peer",
                         "name", "eth0", "netns", ns])
            run_checked(["ip", "-n", bridge_ns, "link", "set", port, "master", "br0", "up"])
            run_checked(["ip", "-n", ns, "addr", "add", f"{self.address(host)}/24", "dev", "eth0"])
            run_checked(["ip", "-n", ns, "link", "set", "eth0", "up"])
            run_checked(["ip", "-n", ns, "link", "set", "lo", "up"])

    def _holder(self, host):
        private_tmp = os.path.join(self.dir, "hosts", host, "tmp")
        os.makedirs(os.path.join(private_tmp, self.prefix))
        os.makedirs("/var/lib/xkb", exist_ok=True)
        os.chmod(private_tmp, 0o1777)
        q = shlex.quote
        # Every host sees the checkout at the same path, as on a cluster; a checkout under
        # /tmp (a CI clone, say) is bound into the private /tmp like the shared folder.
        binds = [(self.dir, os.path.join(private_tmp, self.prefix))]
        if os.path.commonpath([CHECKOUT, STATE_ROOT]) == STATE_ROOT:
            inside = os.path.join(private_tmp, os.path.relpath(CHECKOUT, STATE_ROOT))
            os.makedirs(inside, exist_ok=True)
            binds.append((CHECKOUT, inside))
        script = "; ".join([
            "set -e", f"hostname {host}",
            f"mount --bind {q(self.dir)}/etc-hosts /etc/hosts",
            "mount -t tmpfs -o mode=755 xkb /var/lib/xkb",
            # Bound into the private /tmp before that covers /tmp.
            *(f"mount --bind {q(source)} {q(target)}" for source, target in binds),
            f"mount --rbind {q(private_tmp)} /tmp",
            "echo ready", f"exec sleep {self.lifetime}"])
        base = ["nsenter", "-t", str(self.mount_ns), "--mount", "--"] if self.mount_ns else []
        process = subprocess.Popen(
            ["nsenter", f"--net=/run/netns/{self.prefix}-{host}", *base, "unshare", "--uts",
             "--mount", "--propagation", "private", "sh", "-c", script],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            text=True, start_new_session=True)
        self.processes.append(process)
        self.holders[host] = process.pid
        line = process.stdout.readline().strip()
        if line != "ready":
            process.wait(10)
            raise RuntimeError(f"host {host} did not come up: {process.stderr.read()}")
        with open(os.path.join(self.dir, "holders"), "a") as f:
            f.write(f"{host} {process.pid}\n")

    # Entering hosts
    def enter(self, host, argv, cwd=None, timeout=LAUNCH_TIMEOUT):
        """The command line that runs argv inside a host, under timeout."""
        return ["timeout", "-k", "5", str(timeout), "nsenter", "-t", str(self.holders[host]),
                "--net", "--uts", "--mount", f"--wd={cwd or self.workdir}", "--"] + list(argv)

    def run(self, host, argv, timeout=120, env=None, check=True, cwd=None):
        result = subprocess.run(self.enter(host, argv, cwd, timeout), capture_output=True,
                                text=True, env=env, stdin=subprocess.DEVNULL)
        if check and result.returncode != 0:
            raise RuntimeError(f"{host}: {shlex.join(argv)} failed ({result.returncode}):\n"
                               f"{result.stdout}{result.stderr}")
        return result

    def popen(self, host, argv, cwd=None, timeout=None, **kwargs):
        """Starts a long-lived process inside a host; stop() ends it."""
        process = subprocess.Popen(self.enter(host, argv, cwd, timeout or self.lifetime),
                                   start_new_session=True,
                                   stdin=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def record_pid(self, name, pid):
        """Remembers a process of the root namespace for teardown (also after a crash)."""
        with open(os.path.join(self.dir, "pids", name), "w") as f:
            f.write(f"{pid} {start_time(pid)}\n")

    def host_processes(self, host):
        """Commands running in a host, apart from its holder: [(pid, command name)]."""
        found = []
        for pid in netns_pids(f"{self.prefix}-{host}"):
            if pid == self.holders[host]:
                continue
            try:
                with open(f"/proc/{pid}/comm") as f:
                    found.append((pid, f.read().strip()))
            except OSError:
                pass
        return found

    # Displays
    def start_xvfb(self, host, display=":1", size="1600x1600x16", deadline=60):
        """An Xvfb inside a host, returned once a client has connected to it."""
        log = open(os.path.join(self.dir, "hosts", host, f"xvfb{display}.log"), "wb")
        with log:
            process = self.popen(host, ["Xvfb", display, "-screen", "0", size, "-nolisten", "tcp",
                                        "-noreset"], stdout=log, stderr=subprocess.STDOUT)
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            if process.poll() is not None:
                raise RuntimeError(f"Xvfb {display} on {host} exited ({process.returncode})")
            probe = self.run(host, ["xdpyinfo", "-display", display], timeout=20, check=False)
            if probe.returncode == 0:
                return process
            time.sleep(0.1)
        raise RuntimeError(f"Xvfb {display} on {host} did not answer within {deadline} s")

    # Teardown
    def stop(self):
        teardown(self.prefix)
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            for pipe in (process.stdout, process.stderr):
                if pipe:
                    pipe.close()
        self.processes = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
