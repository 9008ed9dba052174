"""The windows of one host on several displays (one X screen or one X server a GPU), watched
as one: the window driver sees a single watcher whose window ids carry their display.

A window id here is (display index, X window id): ids of two X servers may be equal.
"""

import select


class DisplayWatchers:
    """WindowWatchers of a host's displays, with the interface of one."""

    def __init__(self, watchers):
        self.watchers = list(watchers)
        self.display_name = ",".join(w.display_name for w in self.watchers)
        self._on_named = None
        self._on_destroyed = None

    @property
    def on_destroyed(self):
        return self._on_destroyed

    @on_destroyed.setter
    def on_destroyed(self, callback):
        self._on_destroyed = callback
        for i, watcher in enumerate(self.watchers):
            watcher.on_destroyed = None if callback is None else (
                lambda window_id, i=i: callback((i, window_id)))

    @property
    def on_named(self):
        return self._on_named

    @on_named.setter
    def on_named(self, callback):
        self._on_named = callback
        for i, watcher in enumerate(self.watchers):
            watcher.on_named = None if callback is None else (
                lambda window_id, title, i=i: callback((i, window_id), title))

    def display_of(self, window_id):
        return self.watchers[window_id[0]].display_name

    def screen_size(self):
        """The smallest of the displays' screens: a place that fits it fits every one."""
        sizes = [w.screen_size() for w in self.watchers]
        return min(sizes, key=lambda s: (s["width"] * s["height"], s["depth"]))

    def window_info(self, window_id):
        info = self.watchers[window_id[0]].window_info(window_id[1])
        if info is not None:
            info["display"] = self.display_of(window_id)
        return info

    def stacking_order(self):
        """Each display's windows from the bottom of its stack up, display after display."""
        return [(i, w) for i, watcher in enumerate(self.watchers)
                for w in watcher.stacking_order()]

    def raise_windows(self, window_ids):
        for i, watcher in enumerate(self.watchers):
            mine = [w for d, w in window_ids if d == i]
            if mine:
                watcher.raise_windows(mine)

    def existing_titles(self):
        return {(i, w): t for i, watcher in enumerate(self.watchers)
                for w, t in watcher.existing_titles().items()}

    def poll(self, timeout):
        """Waits up to timeout seconds for an event on any display, then handles them all."""
        pending = [w for w in self.watchers if w.pending_events()]
        if not pending:
            select.select([w.dpy for w in self.watchers], [], [], max(0.0, timeout))
        for watcher in self.watchers:
            watcher.poll(0)

    def send_key(self, window_id, key):
        self.watchers[window_id[0]].send_key(window_id[1], key)

    def send_keys(self, window_ids, key):
        for i, watcher in enumerate(self.watchers):
            mine = [w for d, w in window_ids if d == i]
            if mine:
                watcher.send_keys(mine, key)
