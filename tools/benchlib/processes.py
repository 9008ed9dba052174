"""Xvfb servers and processes found by a tag in their environment.

Every process a run (or a test) starts inherits one environment variable with a
value of its own, so whatever is left over is found and stopped by that tag,
however deep the launcher buried it. Used by bench-run, the tests and bench/.
"""

import os
import select
import signal
import subprocess
import time

TAG_VARIABLE = "BENCH_RUN_ID"


# ---------------------------------------------------------------- /proc

def proc_state(pid):
    """(state letter, parent pid, session id) of a process, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    fields = stat[stat.rfind(")") + 2:].split()
    return fields[0], int(fields[1]), int(fields[3])


def alive(pid):
    state = proc_state(pid)
    return state is not None and state[0] not in ("Z", "X")


def environ_of(pid):
    """A process's environment as a dict ({} when it cannot be read)."""
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            raw = f.read()
    except OSError:
        return {}
    pairs = (item.partition(b"=") for item in raw.split(b"\0") if item)
    return {k.decode(errors="replace"): v.decode(errors="replace") for k, _, v in pairs}


def _cwd_of(pid):
    try:
        return os.readlink("/proc/%d/cwd" % pid)
    except OSError:
        return None


def tagged_processes(tag, variable=TAG_VARIABLE, session=None, exclude=(), folder=None):
    """Live processes whose environment holds variable=tag, that belong to a session, or
    whose working directory is inside a folder."""
    folder = os.path.realpath(folder) if folder else None
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        if pid == me or pid in exclude:
            continue
        state = proc_state(pid)
        if state is None or state[0] in ("Z", "X"):
            continue
        if session is not None and state[2] == session:
            found.append(pid)
        elif tag and environ_of(pid).get(variable) == tag:
            found.append(pid)
        elif folder:
            cwd = _cwd_of(pid)
            if cwd and (cwd == folder or cwd.startswith(folder + os.sep)):
                found.append(pid)
    return found


def children_of(pid):
    return [int(e) for e in os.listdir("/proc")
            if e.isdigit() and (proc_state(int(e)) or ("X", -1, -1))[1] == pid
            and alive(int(e))]


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


def kill_tagged(tag, variable=TAG_VARIABLE, attempts=3):
    """SIGKILL at once to every tagged process (tests' clean-up); a process started by one
    that was being killed is caught by the next attempt. Returns the pids still there."""
    for _ in range(attempts):
        pids = tagged_processes(tag, variable) if tag else []
        if not pids:
            return []
        signal_all(pids, signal.SIGKILL)
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline and any(alive(pid) for pid in pids):
            time.sleep(0.02)
    return tagged_processes(tag, variable)


# ---------------------------------------------------------------- Xvfb

class XvfbError(Exception):
    pass


def _read_line(fd, deadline, process):
    """Reads up to a newline. Xvfb writes the display number and the newline separately and
    dies if the pipe is closed between the two writes."""
    data = b""
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], min(left, 0.5))
        if ready:
            chunk = os.read(fd, 64)
            if not chunk:
                break
            data += chunk
        elif process.poll() is not None:
            break
    return data.decode(errors="replace").strip()


def _client_connects(display, deadline):
    """True once an X client can connect to the display."""
    from Xlib import display as xdisplay, error
    while time.monotonic() < deadline:
        try:
            xdisplay.Display(display).close()
            return True
        except (error.DisplayError, error.ConnectionClosedError, OSError):
            time.sleep(0.1)
    return False


class Xvfb:
    """An Xvfb of our own, ready once a client has connected to it.

    number=None lets the server pick a free display; tests pass their own numbers.
    Usable as a context manager; stop() is safe to call twice.
    """

    def __init__(self, width, height, depth, env=None, log=None, number=None, timeout=60.0):
        self.screen = {"width": width, "height": height, "depth": depth}
        read_fd, write_fd = os.pipe()
        command = ["Xvfb"] + ([":%d" % number] if number is not None else []) + [
            "-displayfd", str(write_fd), "-screen", "0", "%dx%dx%d" % (width, height, depth),
            "-nolisten", "tcp", "-noreset"]
        try:
            self.process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=log or subprocess.DEVNULL,
                stderr=subprocess.STDOUT if log else subprocess.DEVNULL,
                pass_fds=(write_fd,), start_new_session=True, env=env)
        except OSError as e:
            os.close(read_fd)
            raise XvfbError("cannot start Xvfb: %s" % e) from None
        finally:
            os.close(write_fd)
        # Whatever goes wrong before the server is ready (a timeout, an interrupt, a missing
        # module), the server is not left running behind a constructor that failed.
        try:
            self._wait_ready(read_fd, number, timeout)
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self, read_fd, number, timeout):
        deadline = time.monotonic() + timeout
        try:
            reported = _read_line(read_fd, deadline, self.process)
        finally:
            os.close(read_fd)
        if not reported.isdigit() or (number is not None and int(reported) != number):
            raise XvfbError("Xvfb did not start (status %s)" % self.process.poll())
        self.display = ":%d" % int(reported)
        if not _client_connects(self.display, deadline):
            raise XvfbError("Xvfb on %s accepted no client within %g s" % (self.display,
                                                                           timeout))

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        # SIGTERM lets the server remove its lock file and socket for the next one.
        stop_process(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        self.stop()


def start_xvfb_on_free_number(width, height, depth, env=None, first=300, last=900,
                              attempts=20):
    """An Xvfb on a display number picked at random from a range nothing else uses here."""
    import random
    for _ in range(attempts):
        number = random.randrange(first, last)
        if os.path.exists("/tmp/.X%d-lock" % number) or \
                os.path.exists("/tmp/.X11-unix/X%d" % number):
            continue
        try:
            return Xvfb(width, height, depth, env=env, number=number, timeout=30)
        except XvfbError:
            continue
    raise XvfbError("could not start Xvfb on a free display")
