"""An Xvfb of the run's own, which only the runner's user can reach.

The server takes the number of a free display itself (-displayfd), so nobody can pick one
ahead of it, and it admits only clients that show its cookie: a fresh random one, kept with
the server's authority file and the clients' one in a private folder (mode 0700) that goes
with the server. The windows and the runner's own X clients (python-xlib, glxinfo) find the
clients' file through XAUTHORITY (client_env).
"""

import contextlib
import os
import secrets
import select
import shutil
import subprocess
import tempfile
import time

from .processes import die_with_parent, stop_process

COOKIE_PROTOCOL = "MIT-MAGIC-COOKIE-1"


XAUTH_PREFIX = "bench-xauth-"  # the private folder of a server's cookie

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


def write_cookie(path, display, cookie):
    """Adds the cookie (hex) for display ":N" to the authority file at path. The cookie goes
    to xauth on its input: on its command line every local user could read it."""
    try:
        proc = subprocess.run(["xauth", "-q", "-f", path, "source", "-"], text=True,
                              input="add %s %s %s\n" % (display, COOKIE_PROTOCOL, cookie),
                              capture_output=True, timeout=30)
    except (OSError, subprocess.SubprocessError) as e:
        raise XvfbError("cannot write the display's cookie with xauth: %s" % e) from None
    if proc.returncode != 0 or not os.path.exists(path):
        raise XvfbError("cannot write the display's cookie with xauth: %s"
                        % (proc.stderr.strip() or "status %d" % proc.returncode))


@contextlib.contextmanager
def x_authority(path):
    """Within it, this process's own X clients (python-xlib reads XAUTHORITY when it
    connects) show the cookies of the authority file at path."""
    if path is None:  # the clients' own (the user's) stays
        yield
        return
    before = os.environ.get("XAUTHORITY")
    os.environ["XAUTHORITY"] = path
    try:
        yield
    finally:
        if before is None:
            os.environ.pop("XAUTHORITY", None)
        else:
            os.environ["XAUTHORITY"] = before


def _client_connects(display, deadline, xauthority):
    """True once an X client with the cookie can connect to the display."""
    from Xlib import display as xdisplay, error
    while time.monotonic() < deadline:
        try:
            with x_authority(xauthority):
                xdisplay.Display(display).close()
            return True
        except (error.DisplayError, error.ConnectionClosedError, OSError):
            time.sleep(0.1)
    return False


class Xvfb:
    """An Xvfb of our own, ready once a client has connected to it.

    screens: how many screens of width x height x depth it has (":N.0", ":N.1", ...).
    number=None lets the server pick a free display; tests pass their own numbers.
    max_clients: its -maxclients (64, 128, 256, 512, 1024 or 2048; None: Xvfb's own 256).
    Once started: display (":N"), displays (one name a screen), xauthority (the clients'
    authority file) and client_env (what an X client of it needs in its environment).
    Usable as a context manager; stop() is safe to call twice and removes the cookie.
    """

    def __init__(self, width, height, depth, env=None, log=None, number=None, timeout=60.0,
                 max_clients=None, screens=1):
        if screens < 1:
            raise ValueError("an Xvfb has at least one screen")
        self.screen = {"width": width, "height": height, "depth": depth}
        self.process = None
        try:
            self.folder = tempfile.mkdtemp(prefix=XAUTH_PREFIX)
        except OSError as e:
            raise XvfbError("cannot make a private folder for the display's cookie: %s"
                            % e) from None
        self.xauthority = os.path.join(self.folder, "Xauthority")
        cookie = secrets.token_hex(16)
        server_auth = os.path.join(self.folder, "server")
        size = "%dx%dx%d" % (width, height, depth)
        # Whatever goes wrong before the server is ready (a timeout, an interrupt, a missing
        # module), neither the server nor its cookie is left behind a constructor that failed.
        try:
            # The server takes every cookie of its file whatever display the entry names.
            write_cookie(server_auth, ":%d" % (number or 0), cookie)
            read_fd, write_fd = os.pipe()
            command = ["Xvfb"] + ([":%d" % number] if number is not None else []) + [
                "-displayfd", str(write_fd), "-auth", server_auth, "-nolisten", "tcp",
                "-noreset"] + [a for s in range(screens) for a in ("-screen", str(s), size)] + (
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
            self._wait_ready(read_fd, number, screens, timeout, cookie)
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self, read_fd, number, screens, timeout, cookie):
        deadline = time.monotonic() + timeout
        try:
            reported = _read_line(read_fd, deadline, self.process)
        finally:
            os.close(read_fd)
        if not reported.isdigit() or (number is not None and int(reported) != number):
            raise XvfbError("Xvfb did not start (status %s)" % self.process.poll())
        self.display = ":%d" % int(reported)
        self.displays = ["%s.%d" % (self.display, s) for s in range(screens)]
        write_cookie(self.xauthority, self.display, cookie)
        if not _client_connects(self.display, deadline, self.xauthority):
            raise XvfbError("Xvfb on %s accepted no client within %g s" % (self.display,
                                                                           timeout))

    @property
    def pid(self):
        return self.process.pid

    @property
    def client_env(self):
        return {"XAUTHORITY": self.xauthority}

    def stop(self):
        # SIGTERM lets the server remove its lock file and socket for the next one.
        if self.process is not None:
            stop_process(self.process)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        self.stop()
