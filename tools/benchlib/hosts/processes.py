"""Processes found by a tag in their environment, and the stop of a child.

Every process a run starts inherits one environment variable with a value of its own, so
whatever is left over is found and stopped by that tag, however deep the launcher buried it.
"""

import contextlib
import ctypes
import os
import selectors
import signal
import subprocess
import time

import psutil

TAG_VARIABLE = "BENCH_RUN_ID"
# Where each launcher tells a process its rank: OpenMPI, MPICH's hydra, srun.
RANK_VARIABLES = ("OMPI_COMM_WORLD_RANK", "PMI_RANK", "SLURM_PROCID")
PR_SET_PDEATHSIG = 1
OUTPUT_LIMIT = 1 << 20  # bytes a helper program may print (its output and errors together)


def launcher_rank(environ):
    """The rank the launcher gave this process, or None."""
    for name in RANK_VARIABLES:
        if environ.get(name, "").isdigit():
            return int(environ[name])
    return None


def die_with_parent():
    """Makes a child we start (called between fork and exec) receive SIGTERM when the process
    that started it ends, however it ends (SIGKILL included): nothing outlives its runner."""
    parent = os.getppid()
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    if os.getppid() != parent:  # the parent was gone before the request took effect
        os._exit(1)


# ---------------------------------------------------------------- process facts

def alive(pid):
    """Whether a process runs (a zombie does not)."""
    try:
        return psutil.Process(pid).status() not in (psutil.STATUS_ZOMBIE, psutil.STATUS_DEAD)
    except psutil.Error:
        return False


def started(pid):
    """When a process started (seconds since the epoch, as the kernel counts it from boot),
    or None when it is gone: with the pid, what tells it from a later process."""
    try:
        return round(psutil.Process(pid).create_time(), 2)
    except psutil.Error:
        return None


def environ_of(pid):
    """A process's environment as a dict ({} when it cannot be read)."""
    try:
        return psutil.Process(pid).environ()
    except psutil.Error:
        return {}


def _in_session(pid, session):
    try:
        return os.getsid(pid) == session
    except OSError:
        return False


def _works_in(process, folder):
    try:
        cwd = process.cwd()
    except psutil.Error:
        return False
    return bool(cwd) and (cwd == folder or cwd.startswith(folder + os.sep))


def tagged_processes(tag, variable=TAG_VARIABLE, session=None, exclude=(), folder=None):
    """Live processes whose environment holds variable=tag, that belong to a session, or
    whose working directory is inside a folder."""
    folder = os.path.realpath(folder) if folder else None
    me = os.getpid()
    found = []
    for process in psutil.process_iter():
        pid = process.pid
        if pid == me or pid in exclude or not alive(pid):
            continue
        if session is not None and _in_session(pid, session):
            found.append(pid)
        elif tag and environ_of(pid).get(variable) == tag:
            found.append(pid)
        elif folder and _works_in(process, folder):
            found.append(pid)
    return found


def signal_all(pids, signum):
    for pid in pids:
        try:
            os.kill(pid, signum)
        except (ProcessLookupError, PermissionError):
            pass


def stop_tagged(tag, variable=TAG_VARIABLE, session=None, exclude=(), grace=5.0):
    """SIGTERM, then after `grace` seconds SIGKILL, to every tagged process; waits until they
    are gone (at most grace seconds after SIGKILL). Returns the pids that would not die."""
    left = []
    for signum in (signal.SIGTERM, signal.SIGKILL):
        left = tagged_processes(tag, variable, session, exclude)
        if not left:
            return []
        signal_all(left, signum)
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline:
            left = [pid for pid in left if alive(pid)]
            if not left:
                break
            time.sleep(0.05)
    return tagged_processes(tag, variable, session, exclude)


def stop_process(process, grace=10.0):
    """SIGTERM to a child we started, SIGKILL if it is still there after `grace` seconds;
    waits for it either way. Safe on a child that has already ended."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# ---------------------------------------------------------------- programs asked for facts

def run_bounded(command, env=None, timeout=60.0, limit=OUTPUT_LIMIT, cwd=None):
    """Runs a program we ask for a fact (glxinfo, nvidia-smi, git): (completed process with
    text output, None), or (None, why not). Its time and output are capped: one that runs
    past `timeout` seconds or prints more than `limit` bytes is killed with whatever it
    started, and its answer is not used."""
    try:
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, cwd=cwd,
                                start_new_session=True, preexec_fn=die_with_parent)
    except OSError as e:
        return None, "cannot start %s: %s" % (command[0], e.strerror or e)
    output = {proc.stdout: [], proc.stderr: []}
    size, failure = 0, None
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as selector:
        for stream in output:
            selector.register(stream, selectors.EVENT_READ)
        while selector.get_map() and failure is None:
            left = deadline - time.monotonic()
            if left <= 0:
                failure = "%s did not end within %g s" % (command[0], timeout)
                break
            for key, _ in selector.select(left):
                chunk = os.read(key.fd, 65536)
                if not chunk:
                    selector.unregister(key.fileobj)
                    continue
                output[key.fileobj].append(chunk)
                size += len(chunk)
                if size > limit:
                    failure = "%s printed more than %d bytes" % (command[0], limit)
    if failure is not None:
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)
    for stream in output:
        stream.close()
    try:
        proc.wait(timeout=max(0.0, deadline - time.monotonic()) + 5)
    except subprocess.TimeoutExpired:  # its output closed, the process itself still there
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        failure = failure or "%s did not end within %g s" % (command[0], timeout)
    if failure is not None:
        return None, failure
    text = [b"".join(output[s]).decode(errors="replace") for s in (proc.stdout, proc.stderr)]
    return subprocess.CompletedProcess(command, proc.returncode, *text), None
