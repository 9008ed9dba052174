"""Processes found by a tag in their environment, and the stop of a child.

Every process a run starts inherits one environment variable with a value of its own, so
whatever is left over is found and stopped by that tag, however deep the launcher buried it.
"""

import ctypes
import os
import signal
import subprocess
import time

import psutil

TAG_VARIABLE = "BENCH_RUN_ID"
# Where each launcher tells a process its rank: OpenMPI, MPICH's hydra, srun.
RANK_VARIABLES = ("OMPI_COMM_WORLD_RANK", "PMI_RANK", "SLURM_PROCID")
PR_SET_PDEATHSIG = 1


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
