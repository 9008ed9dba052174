"""A small X client (libX11 through ctypes) that watches windows and sends keys.

The runner has to pause a window before its first frame. Polling with an
external tool is too slow for windows that initialise in a fraction of a
second, so this client listens on the root window for windows being created,
reads their titles as soon as they are set and can send a key press to a
window at once (the benchmark windows accept sent key events).
"""

import ctypes
import ctypes.util
import os
import select

# Event types and masks from X.h
KEY_PRESS = 2
KEY_RELEASE = 3
CREATE_NOTIFY = 16
DESTROY_NOTIFY = 17
MAP_NOTIFY = 19
PROPERTY_NOTIFY = 28

KEY_PRESS_MASK = 1 << 0
KEY_RELEASE_MASK = 1 << 1
STRUCTURE_NOTIFY_MASK = 1 << 17
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
PROPERTY_CHANGE_MASK = 1 << 22

Window = ctypes.c_ulong
Atom = ctypes.c_ulong
Time = ctypes.c_ulong
Display_p = ctypes.c_void_p


class XAnyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", Display_p),
                ("window", Window)]


class XCreateWindowEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", Display_p),
                ("parent", Window), ("window", Window),
                ("x", ctypes.c_int), ("y", ctypes.c_int),
                ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("override_redirect", ctypes.c_int)]


class XDestroyWindowEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", Display_p),
                ("event", Window), ("window", Window)]


class XPropertyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", Display_p),
                ("window", Window), ("atom", Atom), ("time", Time),
                ("state", ctypes.c_int)]


class XKeyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", Display_p),
                ("window", Window), ("root", Window), ("subwindow", Window),
                ("time", Time), ("x", ctypes.c_int), ("y", ctypes.c_int),
                ("x_root", ctypes.c_int), ("y_root", ctypes.c_int),
                ("state", ctypes.c_uint), ("keycode", ctypes.c_uint),
                ("same_screen", ctypes.c_int)]


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xany", XAnyEvent),
                ("xcreatewindow", XCreateWindowEvent),
                ("xdestroywindow", XDestroyWindowEvent),
                ("xproperty", XPropertyEvent), ("xkey", XKeyEvent),
                ("pad", ctypes.c_long * 24)]


class XErrorEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("display", Display_p),
                ("resourceid", ctypes.c_ulong), ("serial", ctypes.c_ulong),
                ("error_code", ctypes.c_ubyte), ("request_code", ctypes.c_ubyte),
                ("minor_code", ctypes.c_ubyte)]


ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, Display_p, ctypes.POINTER(XErrorEvent))
IO_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, Display_p)

_lib = None


def _xlib():
    global _lib
    if _lib is not None:
        return _lib
    name = ctypes.util.find_library("X11") or "libX11.so.6"
    lib = ctypes.CDLL(name)
    lib.XOpenDisplay.restype = Display_p
    lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    lib.XCloseDisplay.argtypes = [Display_p]
    lib.XDefaultRootWindow.restype = Window
    lib.XDefaultRootWindow.argtypes = [Display_p]
    lib.XSelectInput.argtypes = [Display_p, Window, ctypes.c_long]
    lib.XPending.argtypes = [Display_p]
    lib.XNextEvent.argtypes = [Display_p, ctypes.POINTER(XEvent)]
    lib.XFetchName.argtypes = [Display_p, Window, ctypes.POINTER(ctypes.c_void_p)]
    lib.XFree.argtypes = [ctypes.c_void_p]
    lib.XInternAtom.restype = Atom
    lib.XInternAtom.argtypes = [Display_p, ctypes.c_char_p, ctypes.c_int]
    lib.XStringToKeysym.restype = ctypes.c_ulong
    lib.XStringToKeysym.argtypes = [ctypes.c_char_p]
    lib.XKeysymToKeycode.restype = ctypes.c_ubyte
    lib.XKeysymToKeycode.argtypes = [Display_p, ctypes.c_ulong]
    lib.XSendEvent.argtypes = [Display_p, Window, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    lib.XSync.argtypes = [Display_p, ctypes.c_int]
    lib.XFlush.argtypes = [Display_p]
    lib.XConnectionNumber.argtypes = [Display_p]
    lib.XQueryTree.argtypes = [Display_p, Window, ctypes.POINTER(Window),
                               ctypes.POINTER(Window),
                               ctypes.POINTER(ctypes.POINTER(Window)),
                               ctypes.POINTER(ctypes.c_uint)]
    lib.XSetErrorHandler.restype = ctypes.c_void_p
    lib.XSetErrorHandler.argtypes = [ctypes.c_void_p]
    lib.XSetIOErrorHandler.restype = ctypes.c_void_p
    lib.XSetIOErrorHandler.argtypes = [ctypes.c_void_p]
    _lib = lib
    return lib


@ERROR_HANDLER
def _ignore_error(_display, _event):
    # Windows come and go while we look at them (BadWindow): not fatal here.
    return 0


class XDisplayError(RuntimeError):
    pass


class WindowWatcher:
    """Keeps track of top-level windows and their titles on one X display.

    on_named(window_id, title) is called from poll() as soon as a window's
    title is known, so a key can be sent to it without delay.
    on_lost() is called if the connection to the X server breaks; it must not
    return (Xlib ends the process after it).
    """

    def __init__(self, display, on_named=None, on_lost=None):
        self.display_name = display
        lib = _xlib()
        self._lib = lib
        lib.XSetErrorHandler(ctypes.cast(_ignore_error, ctypes.c_void_p))
        self._on_lost = on_lost

        def io_error(_display):
            if self._on_lost is not None:
                self._on_lost()
            os._exit(1)

        self._io_error_cb = IO_ERROR_HANDLER(io_error)
        lib.XSetIOErrorHandler(ctypes.cast(self._io_error_cb, ctypes.c_void_p))
        self.dpy = lib.XOpenDisplay(display.encode())
        if not self.dpy:
            raise XDisplayError("cannot open the X display %s" % display)
        self.root = lib.XDefaultRootWindow(self.dpy)
        self.on_named = on_named
        self.titles = {}        # window id -> title
        self.destroyed = set()  # window ids seen destroyed
        self.mapped = set()
        self._wm_name = lib.XInternAtom(self.dpy, b"WM_NAME", 0)
        self._net_wm_name = lib.XInternAtom(self.dpy, b"_NET_WM_NAME", 0)
        lib.XSelectInput(self.dpy, self.root, SUBSTRUCTURE_NOTIFY_MASK)
        lib.XSync(self.dpy, 0)

    def close(self):
        if self.dpy:
            self._lib.XCloseDisplay(self.dpy)
            self.dpy = None

    def existing_titles(self):
        """Titles of the top-level windows that exist now: {window id: title}."""
        result = {}
        for wid in self.stacking_order():
            title = self._fetch_name(wid)
            if title is not None:
                result[wid] = title
        return result

    def stacking_order(self):
        """The top-level windows from the bottom of the stack to the top."""
        lib = self._lib
        root_ret, parent_ret = Window(), Window()
        children = ctypes.POINTER(Window)()
        count = ctypes.c_uint()
        if not lib.XQueryTree(self.dpy, self.root, ctypes.byref(root_ret),
                              ctypes.byref(parent_ret), ctypes.byref(children),
                              ctypes.byref(count)):
            return []
        ids = [children[i] for i in range(count.value)]
        if children:
            lib.XFree(children)
        return ids

    def _fetch_name(self, wid):
        name = ctypes.c_void_p()
        if not self._lib.XFetchName(self.dpy, wid, ctypes.byref(name)) or not name.value:
            return None
        try:
            return ctypes.string_at(name.value).decode("utf-8", "replace")
        finally:
            self._lib.XFree(name)

    def _check_name(self, wid):
        title = self._fetch_name(wid)
        if title is not None and self.titles.get(wid) != title:
            self.titles[wid] = title
            if self.on_named is not None:
                self.on_named(wid, title)

    def poll(self, timeout):
        """Handle every pending event, waiting up to timeout seconds for the first."""
        lib = self._lib
        if not lib.XPending(self.dpy):
            fd = lib.XConnectionNumber(self.dpy)
            select.select([fd], [], [], max(0.0, timeout))
        event = XEvent()
        while lib.XPending(self.dpy):
            lib.XNextEvent(self.dpy, ctypes.byref(event))
            kind = event.type
            if kind == CREATE_NOTIFY:
                wid = event.xcreatewindow.window
                if event.xcreatewindow.parent == self.root:
                    lib.XSelectInput(self.dpy, wid, PROPERTY_CHANGE_MASK | STRUCTURE_NOTIFY_MASK)
                    # The title may have been set before the selection took effect.
                    self._check_name(wid)
            elif kind == PROPERTY_NOTIFY:
                if event.xproperty.atom in (self._wm_name, self._net_wm_name):
                    self._check_name(event.xproperty.window)
            elif kind == DESTROY_NOTIFY:
                wid = event.xdestroywindow.window
                self.destroyed.add(wid)
                self.mapped.discard(wid)
            elif kind == MAP_NOTIFY:
                self.mapped.add(event.xany.window)

    def send_key(self, wid, keysym_name):
        """Send a key press and release to a window and wait until the server has them."""
        lib = self._lib
        keysym = lib.XStringToKeysym(keysym_name.encode())
        keycode = lib.XKeysymToKeycode(self.dpy, keysym)
        if keysym == 0 or keycode == 0:
            raise XDisplayError("no key code for %r on %s" % (keysym_name, self.display_name))
        for kind, mask in ((KEY_PRESS, KEY_PRESS_MASK), (KEY_RELEASE, KEY_RELEASE_MASK)):
            event = XEvent()
            key = event.xkey
            key.type = kind
            key.send_event = 1
            key.display = self.dpy
            key.window = wid
            key.root = self.root
            key.subwindow = 0
            key.time = 0
            key.x = key.y = key.x_root = key.y_root = 1
            key.state = 0
            key.keycode = keycode
            key.same_screen = 1
            lib.XSendEvent(self.dpy, wid, 1, mask, ctypes.byref(event))
        lib.XSync(self.dpy, 0)
