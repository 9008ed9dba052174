"""Watching windows on an X display and sending them keys (python-xlib).

A runner has to pause a window before its first frame, so windows are found
from events, not by polling: the watcher listens on the root window for new
top-level windows, reads each title as soon as it is set and reports it through
a callback, from which a key can be sent at once (the benchmark windows accept
sent key events).

X errors caused by windows that vanish while being looked at (BadWindow) are
expected and ignored; a lost connection raises XDisplayError from whichever
call notices it.
"""

import os
import re
import select
import stat

from Xlib import X, XK, Xatom, error

from .displays import screen_number
from Xlib import display as xdisplay
from Xlib.protocol import event as xevent


class XDisplayError(Exception):
    """The display cannot be opened, or the connection to it was lost; display: its name."""

    def __init__(self, message, display=None):
        super().__init__(message)
        self.display = display


def _text(err):
    """What python-xlib says of a failure, without the bytes repr it gives the server's
    reason in ("b'No protocol specified\\n'")."""
    text = str(err)
    text = re.sub(r"""\bb(['"])(.*?)\1""", lambda m: m.group(2).replace("\\n", " "), text)
    return " ".join(text.split())


AUTHORITY_LIMIT = 1 << 20  # bytes: an authority file holds a few dozen bytes a display


def check_authority(environ=None):
    """Raises XDisplayError when the authority file an X client of ours would read (XAUTHORITY,
    else ~/.Xauthority) is not one: python-xlib reads it whole, so a device (/dev/zero), a
    FIFO or a huge file would hold or fill this process. Opened without blocking, and only
    looked at; one that does not exist is no cookie, as for any X client."""
    environ = os.environ if environ is None else environ
    path = environ.get("XAUTHORITY") or (
        os.path.join(environ["HOME"], ".Xauthority") if environ.get("HOME") else None)
    if not path:
        return
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        st = os.fstat(fd)
    finally:
        os.close(fd)
    if not stat.S_ISREG(st.st_mode):
        raise XDisplayError("the X authority file %s (XAUTHORITY) is not a regular file: name "
                            "the file that holds the display's cookie" % path)
    if st.st_size > AUTHORITY_LIMIT:
        raise XDisplayError("the X authority file %s (XAUTHORITY) holds %d bytes, more than the "
                            "%d an authority file may: name the file that holds the "
                            "display's cookie" % (path, st.st_size, AUTHORITY_LIMIT))


def _vanished(err):
    return isinstance(err, (error.BadWindow, error.BadDrawable, error.BadMatch))


def server_files(display_name, proc="/proc"):
    """[its limit of open files, the files it has open under it] of the process that serves
    a display of this machine (the one holding its listening socket); None when the display
    is not local, its process cannot be read (another user's) or has no limit. Every client
    takes one file: a server out of them leaves new clients waiting, unrefused. (A new file's
    number must be under the limit: files inherited above it take no room.)"""
    local = re.fullmatch(r"(?:unix)?:(\d+)(?:\.\d+)?", display_name or "")
    if not local:
        return None
    path = "/tmp/.X11-unix/X" + local.group(1)
    try:
        with open(os.path.join(proc, "net", "unix")) as f:
            # Its listening sockets and their accepted connections carry the path.
            sockets = {"socket:[%s]" % fields[6] for fields in map(str.split, f)
                       if len(fields) > 7 and fields[7] in (path, "@" + path)}
        pids = [p for p in os.listdir(proc) if p.isdigit()]
    except OSError:
        return None
    for pid in pids:
        fds = os.path.join(proc, pid, "fd")
        try:
            if not any(os.readlink(os.path.join(fds, fd)) in sockets for fd in os.listdir(fds)):
                continue
            with open(os.path.join(proc, pid, "limits")) as f:
                limit = int(next(line.split()[3] for line in f
                                 if line.startswith("Max open files")))
            return [limit, sum(int(fd) < limit for fd in os.listdir(fds))]
        except (OSError, ValueError, IndexError, StopIteration):
            continue  # gone, another user's, or "unlimited"
    return None


class WindowWatcher:
    """Top-level windows and their titles on one X display.

    on_named(window_id, title) is called from poll() whenever a top-level
    window's title becomes known or changes, on_destroyed(window_id) when a top-level
    window is destroyed (by its own client, by another one, or by the server when its
    client's connection ends).
    """

    def __init__(self, display_name, on_named=None):
        self.display_name = display_name
        self.on_named = on_named
        self.on_destroyed = None
        self.titles = {}        # window id -> title
        self.mapped = set()
        self.destroyed = set()
        self.async_errors = []  # errors of requests without replies, other than BadWindow
        self.dpy = None
        check_authority()
        try:
            self.dpy = xdisplay.Display(display_name)
        except (error.DisplayError, error.ConnectionClosedError, OSError) as e:
            raise XDisplayError("cannot open the X display %s: %s" % (display_name, _text(e)),
                                display_name) from None
        self.dpy.set_error_handler(self._on_error)
        # python-xlib opens the first screen when the name asks for one the server lacks.
        count = self.dpy.screen_count()
        if screen_number(display_name) >= count:
            self.close()
            raise XDisplayError("the X display %s has no screen %d (it has %d: %s)" % (
                display_name, screen_number(display_name), count,
                ", ".join(re.sub(r"(\.\d+)?$", ".%d" % s, display_name, count=1)
                          for s in range(count))), display_name)
        self.screen = self.dpy.screen()
        self.root = self.screen.root
        self._names = {Xatom.WM_NAME, self.dpy.intern_atom("_NET_WM_NAME")}
        self._call(self.root.change_attributes, event_mask=X.SubstructureNotifyMask)
        self._call(self.dpy.sync)

    def _on_error(self, err, _request):
        if not _vanished(err):
            self.async_errors.append(err)

    def _call(self, function, *args, **kwargs):
        """Runs one Xlib call, turning a lost connection into XDisplayError."""
        try:
            return function(*args, **kwargs)
        except (error.ConnectionClosedError, OSError) as e:
            raise XDisplayError("lost the connection to the X display %s (%s)"
                                % (self.display_name, _text(e)), self.display_name) from None

    def close(self):
        if self.dpy is not None:
            try:
                self.dpy.close()
            except (error.ConnectionClosedError, OSError):
                pass
            self.dpy = None

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        self.close()

    # ------------------------------------------------------------------ the screen
    def screen_size(self):
        """{"width", "height", "depth"} of the display's first screen."""
        return {"width": self.screen.width_in_pixels, "height": self.screen.height_in_pixels,
                "depth": self.screen.root_depth}

    def window_info(self, window_id):
        """Depth, visual and absolute geometry of a window; None when it is gone."""
        window = self.dpy.create_resource_object("window", window_id)
        try:
            geometry = self._call(window.get_geometry)
            attributes = self._call(window.get_attributes)
            origin = self._call(window.translate_coords, self.root, 0, 0)
        except error.XError as e:
            if _vanished(e):
                return None
            raise
        return {"id": hex(window_id), "depth": geometry.depth,
                "visual": hex(attributes.visual), "width": geometry.width,
                "height": geometry.height, "x": -origin.x, "y": -origin.y}

    def clients(self):
        """What the server tells of its clients: {"resource_id_mask": the mask it gave this
        connection (it tells how many clients it admits), "connected": the clients it has
        now, its own and this one included, from the X-Resource extension, or None without
        it, "files": server_files() of its process}."""
        connected = None
        if self.dpy.has_extension("X-Resource"):
            try:
                connected = len(self._call(self.dpy.res_query_clients).clients)
            except error.XError:
                pass
        return {"resource_id_mask": self.dpy.display.info.resource_id_mask,
                "connected": connected, "files": server_files(self.display_name)}

    # ------------------------------------------------------------------ windows
    def stacking_order(self):
        """The top-level windows from the bottom of the stack to the top."""
        tree = self._call(self.root.query_tree)
        return [child.id for child in tree.children]

    def raise_windows(self, window_ids):
        """Raises each window to the top of the stack in turn: the last ends on top."""
        for window_id in window_ids:
            window = self.dpy.create_resource_object("window", window_id)
            self._call(window.configure, stack_mode=X.Above)
        self._call(self.dpy.sync)

    def title(self, window_id):
        window = self.dpy.create_resource_object("window", window_id)
        try:
            name = self._call(window.get_full_text_property, Xatom.WM_NAME, X.AnyPropertyType)
        except error.XError as e:
            if _vanished(e):
                return None
            raise
        if isinstance(name, bytes):
            name = name.decode("utf-8", "replace")
        return name or None

    def existing_titles(self):
        """{window id: title} of the top-level windows that exist now."""
        titles = {}
        for window_id in self.stacking_order():
            name = self.title(window_id)
            if name is not None:
                titles[window_id] = name
        return titles

    def _check_title(self, window_id):
        name = self.title(window_id)
        if name is not None and self.titles.get(window_id) != name:
            self.titles[window_id] = name
            if self.on_named is not None:
                self.on_named(window_id, name)

    def display_of(self, _window_id):
        return self.display_name

    def pending_events(self):
        return self._call(self.dpy.pending_events)

    def poll(self, timeout):
        """Handles every pending event, waiting up to timeout seconds for the first."""
        if not self.pending_events():
            select.select([self.dpy], [], [], max(0.0, timeout))
        while self._call(self.dpy.pending_events):
            ev = self._call(self.dpy.next_event)
            if ev.type == X.CreateNotify:
                if ev.parent.id == self.root.id:
                    self._call(ev.window.change_attributes,
                               event_mask=X.PropertyChangeMask | X.StructureNotifyMask)
                    # The title may have been set before the selection took effect.
                    self._check_title(ev.window.id)
            elif ev.type == X.PropertyNotify:
                if ev.atom in self._names:
                    self._check_title(ev.window.id)
            elif ev.type == X.MapNotify:
                self.mapped.add(ev.window.id)
            elif ev.type == X.DestroyNotify:
                self.mapped.discard(ev.window.id)
                self.destroyed.add(ev.window.id)
                # The server hands the id out again to a later client (the next repeat's
                # window): it is named afresh then.
                self.titles.pop(ev.window.id, None)
                if self.on_destroyed is not None:
                    self.on_destroyed(ev.window.id)

    # ------------------------------------------------------------------ keys
    def send_key(self, window_id, key):
        """Sends a key press and release (key: a keysym name: "c", "Escape") to a window
        and waits until the server has handled them."""
        self.send_keys([window_id], key)

    def send_keys(self, window_ids, key):
        """Sends the same key to several windows back to back, then waits for the server."""
        keysym = XK.string_to_keysym(key)
        keycode = self.dpy.keysym_to_keycode(keysym) if keysym else 0
        if not keycode:
            raise XDisplayError("no key code for %r on %s" % (key, self.display_name))
        for window_id in window_ids:
            window = self.dpy.create_resource_object("window", window_id)
            for kind, mask in ((xevent.KeyPress, X.KeyPressMask),
                               (xevent.KeyRelease, X.KeyReleaseMask)):
                ev = kind(time=X.CurrentTime, root=self.root, window=window, same_screen=1,
                          child=X.NONE, root_x=1, root_y=1, event_x=1, event_y=1, state=0,
                          detail=keycode)
                self._call(window.send_event, ev, event_mask=mask, propagate=True)
        self._call(self.dpy.sync)
