"""Runs across hosts: hostfiles, where each window lands, and the launch command for each MPI.

Rank 0 (the console) takes the first slot of the first host; windows 1..N take the following
slots in hostfile order, host by host, as both launchers map by slot.
"""

import itertools
import re
import shutil
import subprocess
from dataclasses import dataclass

from .limits import MAX_RANKS

FLAVOURS = ("openmpi", "mpich")
# MPI plugin srun must use for each library (Debian's OpenMPI has no PMI2 support, and MPICH
# under pmix silently runs one-process jobs).
SRUN_MPI = {"openmpi": "pmix", "mpich": "pmi2"}
HOSTNAME = r"[A-Za-z0-9_.][A-Za-z0-9_.\-]*"
OPENMPI_LINE = re.compile(rf"^({HOSTNAME})((?:\s+\S+)*)$")
MPICH_LINE = re.compile(rf"^({HOSTNAME})(?::(\S*))?$")




class HostfileError(ValueError):
    pass


@dataclass(frozen=True)
class Host:
    name: str
    slots: int = 1


def _slots(text, where):
    if not re.fullmatch(r"[0-9]+", text or "") or int(text) < 1:
        raise HostfileError(f"{where}: slots must be a whole number of at least 1, not {text!r}")
    if len(text) > 5 or int(text) > MAX_RANKS:
        raise HostfileError(f"{where}: slots={text[:12]}{'...' if len(text) > 12 else ''} is "
                            f"more than a run can use (at most {MAX_RANKS})")
    return int(text)


def _openmpi_host(line, where):
    match = OPENMPI_LINE.match(line)
    if not match:
        raise HostfileError(f"{where}: expected 'HOST [slots=N]', got {line!r}")
    slots = 1
    for option in match.group(2).split():
        key, _, value = option.partition("=")
        if key == "slots":
            slots = _slots(value, where)
        elif key not in ("max_slots", "max-slots"):
            raise HostfileError(f"{where}: unknown option {option!r} (OpenMPI syntax: "
                                "'node1 slots=2')")
    return Host(match.group(1), slots)


def _mpich_host(line, where):
    match = MPICH_LINE.match(line)
    if not match:
        raise HostfileError(f"{where}: expected 'HOST[:N]', got {line!r} (MPICH syntax: "
                            "'node1:2')")
    slots = 1 if match.group(2) is None else _slots(match.group(2), where)
    return Host(match.group(1), slots)


def parse_hostfile(text, flavour, source="hostfile"):
    """Hosts in file order. `#` starts a comment; blank lines are skipped. A host named twice
    has its slots added up in the place it first appeared."""
    if flavour not in FLAVOURS:
        raise ValueError(f"unknown MPI flavour {flavour!r}")
    parse = _openmpi_host if flavour == "openmpi" else _mpich_host
    slots = {}
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if line:
            host = parse(line, f"{source} line {number}")
            slots[host.name] = slots.get(host.name, 0) + host.slots
    if not slots:
        raise HostfileError(f"{source}: no hosts in it")
    return [Host(name, count) for name, count in slots.items()]


def read_hostfile(path, flavour):
    try:
        with open(path) as f:
            text = f.read()
    except OSError as error:
        raise HostfileError(f"cannot read hostfile {path}: {error.strerror}") from None
    return parse_hostfile(text, flavour, path)


def format_hostfile(hosts, flavour):
    line = "{} slots={}" if flavour == "openmpi" else "{}:{}"
    return "".join(line.format(host.name, host.slots) + "\n" for host in hosts)


def rank_hosts(hosts, windows):
    """The host of each rank: index 0 is the console, index w is window w."""
    ranks = windows + 1
    total = sum(host.slots for host in hosts)
    if ranks > total:
        raise HostfileError(f"{windows} windows and the console need {ranks} slots; the hosts "
                            f"give {total}")
    placed = (host.name for host in hosts for _ in range(host.slots))
    return list(itertools.islice(placed, ranks))


def windows_by_host(hosts, windows):
    """{host name: [window numbers]} for every host that gets a window, in host order."""
    grouped = {}
    for window, name in enumerate(rank_hosts(hosts, windows)):
        if window:
            grouped.setdefault(name, []).append(window)
    return grouped


def slurm_hostnames(nodelist, run=subprocess.run):
    """Expands a Slurm node list (`node[1-3]`) with Slurm's own `scontrol show hostnames`."""
    scontrol = shutil.which("scontrol") or "scontrol"
    result = run([scontrol, "show", "hostnames", nodelist], capture_output=True, text=True,
                 timeout=30)
    if result.returncode != 0:
        raise HostfileError(f"scontrol show hostnames {nodelist} failed: {result.stderr.strip()}")
    return result.stdout.split()


def slurm_tasks_per_node(text):
    """Expands SLURM_TASKS_PER_NODE (`2(x3),1`) to one count per node."""
    counts = []
    for part in text.split(","):
        match = re.fullmatch(r"([0-9]+)(?:\(x([0-9]+)\))?", part.strip())
        if not match or len(match.group(1)) > 5 or len(match.group(2) or "") > 6:
            raise HostfileError(f"SLURM_TASKS_PER_NODE: cannot read {part!r} in {text!r}")
        counts += [int(match.group(1))] * int(match.group(2) or 1)
    return counts


def slurm_hosts(nodelist, tasks_per_node, run=subprocess.run):
    """The allocation's hosts, slots from the tasks Slurm gives each node."""
    names = slurm_hostnames(nodelist, run)
    counts = slurm_tasks_per_node(tasks_per_node)
    if len(counts) != len(names):
        raise HostfileError(f"SLURM_TASKS_PER_NODE {tasks_per_node!r} does not match the "
                            f"{len(names)} nodes of {nodelist}")
    return [Host(name, count) for name, count in zip(names, counts)]


def launch_command(flavour, program, ranks, hostfile=None, agent=None, env=None, launcher=None,
                   slurm=False, cwd=None, extra=(), forward=()):
    """The argv that starts `program` (a list) on `ranks` processes.

    hostfile: a file in the flavour's syntax; agent: a command that stands in for ssh;
    env: variables every rank gets (MPICH's hydra and ssh-started daemons do not forward them
    all); slurm: launch with srun inside the current allocation instead; cwd: the ranks'
    working directory on every host; extra: the user's own launcher options, just before the
    program; forward: variables passed on by name from the launcher's own environment, so
    that their values appear on no command line (OpenMPI needs them named; hydra and srun
    pass the whole environment on).
    """
    if flavour not in FLAVOURS:
        raise ValueError(f"unknown MPI flavour {flavour!r}")
    env = env or {}
    if slurm:
        export = ["ALL"] + [f"{key}={value}" for key, value in env.items()]
        if any("," in item for item in export):
            raise ValueError("srun --export cannot carry values with commas")
        return [launcher or "srun", f"--mpi={SRUN_MPI[flavour]}", "-K", "--distribution=block",
                "-n", str(ranks), "--export=" + ",".join(export)] + (
                    [f"--chdir={cwd}"] if cwd else []) + list(extra) + list(program)
    if flavour == "openmpi":
        argv = [launcher or "mpirun.openmpi", "-n", str(ranks)]
        if hostfile:
            argv += ["--hostfile", hostfile, "--map-by", "slot"]
        if agent:
            argv += ["--mca", "plm_rsh_agent", agent]
        if cwd:
            argv += ["--wdir", cwd]
        for key, value in env.items():
            argv += ["-x", f"{key}={value}"]
        for name in forward:
            argv += ["-x", name]
        return argv + list(extra) + list(program)
    argv = [launcher or "mpiexec.mpich", "-n", str(ranks)]
    if hostfile:
        argv += ["-f", hostfile]
    if agent:
        argv += ["-launcher", "ssh", "-launcher-exec", agent]
    if cwd:
        argv += ["-wdir", cwd]
    for key, value in env.items():
        argv += ["-genv", key, value]
    # hydra passes its whole environment on, `forward` included.
    return argv + list(extra) + list(program)
