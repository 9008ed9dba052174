"""An Xvfb of the run's own."""

import os
import select
import subprocess
import time

from .processes import die_with_parent, stop_process


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
    max_clients: its -maxclients (64, 128, 256, 512, 1024 or 2048; None: Xvfb's own 256).
    Usable as a context manager; stop() is safe to call twice.
    """

    def __init__(self, width, height, depth, env=None, log=None, number=None, timeout=60.0,
                 max_clients=None):
        self.screen = {"width": width, "height": height, "depth": depth}
        read_fd, write_fd = os.pipe()
        command = ["Xvfb"] + ([":%d" % number] if number is not None else []) + [
            "-displayfd", str(write_fd), "-screen", "0", "%dx%dx%d" % (width, height, depth),
            "-nolisten", "tcp", "-noreset"] + (
            ["-maxclients", str(max_clients)] if max_clients else [])
        try:
            self.process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=log or subprocess.DEVNULL,
                stderr=subprocess.STDOUT if log else subprocess.DEVNULL,
                pass_fds=(write_fd,), start_new_session=True, env=env,
                preexec_fn=die_with_parent)
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
