"""Drives the benchmark windows of one display through a run, from what the display and the
results files show.

A WindowDriver knows nothing of the launcher: whoever started the processes passes a
check(driver), called on every tick, that raises when they have gone wrong. It drives any
set of window numbers on one display: each host of a run drives its own share.
Progress is read from the results files (written line by line); the console does not tell
the windows' shardfall reports apart. The driver hands it to a reporter:
reporter.show(phase, state, force) with the state of every window, reporter.say(text) for a
note. The state is the same object until something in it changes; a reporter never alters it.

The cost of a tick does not grow with the windows: a tick reads the results files of the
windows whose state can change in the phase (while the windows start: those still
initialising or not paused before their loop began; while stepping or ending: the one window
in hand; while pausing or animating: all of them, a file only when its size changed), and the
folder is listed once a tick, and only while a window it reads has no file yet.
"""

import os
import socket
import time
from dataclasses import dataclass

from ..results.follow import ResultsFollower
from .xwindows import XDisplayError


class DriveError(Exception):
    pass


@dataclass
class Timeouts:
    appear: float = 300.0   # launch to window, and window to initialised
    stall: float = 120.0    # a frame that is owed; four times the longest frame when longer


def _list(numbers):
    return ", ".join(str(n) for n in numbers)


class WindowDriver:
    def __init__(self, watcher, program, folder, windows, reporter, timeouts=None,
                 check=None):
        self.watcher = watcher
        self.program = program
        self.folder = folder
        self.windows = list(windows)
        self.timeouts = timeouts or Timeouts()
        self.reporter = reporter
        self.check = check or (lambda _driver: None)
        self.ids = {}            # window -> X window id
        self.geometry = {}       # window -> watcher.window_info once every window appeared
        self.appeared_at = {}    # window -> monotonic time
        self.paused_early = {}   # window -> the pause reached it before its loop started
        self.followers = {}      # window -> ResultsFollower
        self.last_change = {}    # window -> monotonic time of its last new line
        self.escaped = set()     # windows already sent Escape
        self.ended_early = {}    # window -> when and in which phase it ended unasked
        self.gone = {}           # window -> how its window went before it was sent Escape
        self._window_of = {}     # X window id -> window
        self.watched = set()     # windows whose results files a tick reads (see _watch)
        self.phase = "starting"
        self.phase_began = time.monotonic()
        self._ours = set(self.windows)
        self._names_seen = set()  # names in the folder already looked at
        self._sizes = {}          # window -> size of its results file at the last read
        # The state as the reporter gets it, kept up to date window by window.
        self._frames = dict.fromkeys(self.windows, 0)
        self._last = {}
        self._summaries = set()
        self._state = None        # built from the above when something has changed
        watcher.on_named = self._on_named
        watcher.on_destroyed = self._on_destroyed

    # ------------------------------------------------------------------ state
    def _on_named(self, window_id, title):
        w = self.program.window_from_title(title)
        if w not in self._ours or w in self.ids:
            return
        # Paused as they appear, so that frames are stepped, or animated for a time, from the
        # same moment in every window.
        self.watcher.send_key(window_id, "p")
        self.ids[w] = window_id
        self._window_of[window_id] = w
        self.appeared_at[w] = self.last_change[w] = time.monotonic()
        self._state = None
        if w not in self.followers:
            self._find_files()
        follower = self.followers.get(w)
        if follower is not None:
            self._read(w, force=True)
        # A key that reaches a window still initialising waits in its queue and is handled
        # before the first animated frame.
        self.paused_early[w] = follower is not None and not follower.initialised
        self.watched.add(w)

    def _on_destroyed(self, window_id):
        """A window of ours destroyed before it was sent Escape: by another X client
        (XDestroyWindow), or by the server when its process ended (killed, crashed)."""
        w = self._window_of.pop(window_id, None)
        if w is not None and w not in self.escaped:
            self.gone.setdefault(w, "its window was destroyed (by another X client, or its "
                                    "process ended)")

    def display_lost(self, error):
        """The windows on a display whose connection was lost (XDisplayError) are gone with
        it: raises DriveError naming them, unless each had been ended already."""
        whole = error.display in (None, self.watcher.display_name)
        for w in self.windows:
            if w not in self.escaped and (whole or (
                    w in self.ids and self.watcher.display_of(self.ids[w]) == error.display)):
                self.gone.setdefault(w, "its display %s went away" % (error.display or
                                                                     self.watcher.display_name))
        self._ended_unasked()

    def _find_files(self):
        """Followers for the windows whose results files have appeared: one listing of the
        folder; only names not seen before are looked at."""
        names = set(os.listdir(self.folder)) - self._names_seen
        self._names_seen |= names
        for name in sorted(names):
            w = self.program.results_window(name)
            if w in self._ours and w not in self.followers:
                self.followers[w] = ResultsFollower(os.path.join(self.folder, name),
                                                    self.program)
                self._last[w] = None
                self._state = None

    def _read(self, w, force=False):
        """Reads window w's new results lines (only when its file's size has changed, unless
        forced); returns True when its state changed."""
        f = self.followers.get(w)
        if f is None:
            return False
        if not force:
            try:
                size = os.stat(f.path).st_size
            except OSError:
                return False
            if size == self._sizes.get(w):
                return False
            self._sizes[w] = size
        if not f.update():
            return False
        self.last_change[w] = time.monotonic()
        self._frames[w] = f.frames
        self._last[w] = f.last_frame_time
        if f.summary:
            self._summaries.add(w)
        self._state = None
        return True

    def _watch(self, windows):
        """The windows whose state can change from now on, read on every tick; each is read
        once now, so that it is up to date when the phase looks at it."""
        self.watched = set(windows)
        for w in self.watched:
            self._read(w)

    def frames(self, w):
        f = self.followers.get(w)
        return f.frames if f else 0

    def stall_limit(self, w):
        f = self.followers.get(w)
        return max(self.timeouts.stall, 4 * (f.longest_frame_time if f else 0.0))

    def tick(self, timeout=0.1):
        """Handles X events, reads new results lines of the watched windows, runs the
        caller's check, shows progress."""
        try:
            self.watcher.poll(timeout)
        except XDisplayError as e:
            self.display_lost(e)
            raise
        if any(w not in self.followers for w in self.watched):
            self._find_files()
        for w in self.watched:
            self._read(w)
        self._ended_unasked()
        self.check(self)
        self.show()

    def _ended_unasked(self):
        """A window that wrote its summary, or whose window went, before it was sent Escape
        ended before the run did (closed by the window manager or by hand, destroyed by
        another X client, its process killed, its display gone): its frames cover only part
        of the run, so the run fails at once, naming it, its host and its display."""
        early = sorted((self._summaries | set(self.gone)) - self.escaped - set(self.ended_early))
        if not early:
            return
        after = round(time.monotonic() - self.phase_began, 1)
        for w in early:
            self.ended_early[w] = {"phase": self.phase, "after_seconds": after,
                                   "how": "wrote its summary before it was sent Escape"
                                   if w in self._summaries else self.gone[w]}
        self._state = None
        self.show(force=True)
        where = sorted({self.watcher.display_of(self.ids[w]) if w in self.ids
                        else self.watcher.display_name for w in early})
        raise DriveError("window(s) %s ended %.1f s into the phase \"%s\", before the run did: "
                         "%s, on %s (display %s); their frames cover part of the run only"
                         % (_list(early), after, self.phase,
                            "; ".join(sorted({self.ended_early[w]["how"] for w in early})),
                            socket.gethostname(), ", ".join(where)))

    def state(self):
        """What the runner shows and checks: frames, last frame time, which windows have
        appeared and which have written their summary. The same object until one of them
        changes."""
        if self._state is None:
            self._state = {"frames": dict(self._frames), "last": dict(self._last),
                           "appeared": sorted(self.ids), "summaries": sorted(self._summaries),
                           "ended_early": dict(self.ended_early)}
        return self._state

    def show(self, force=False):
        self.reporter.show(self.phase, self.state(), force)

    # ------------------------------------------------------------------ phases
    def wait_for_windows(self):
        self.phase = "waiting for windows"
        self.phase_began = time.monotonic()
        deadline = time.monotonic() + self.timeouts.appear
        while len(self.ids) < len(self.windows):
            self._starting_tick()
            if time.monotonic() > deadline:
                missing = [w for w in self.windows if w not in self.ids]
                raise DriveError("window(s) %s never appeared on %s within %g s (looked for "
                                 "titles like \"%s\")" % (
                                     _list(missing), self.watcher.display_name,
                                     self.timeouts.appear, self.program.window_title(missing[0])))
        self.geometry = {w: self.watcher.window_info(self.ids[w]) for w in self.windows}
        self._keep_visible()

    def _keep_visible(self):
        """A window partly off the screen (at the last places of the diagonal) is wholly
        covered when its neighbours lie above it, and freeglut draws no window that cannot be
        seen: stacked in the order of their places, the last on top, each keeps a corner in
        view. Windows that lie whole on the screen keep one in any order."""
        screen = self.watcher.screen_size()
        shown = {w: g for w, g in self.geometry.items() if g is not None}
        if all(g["x"] + g["width"] <= screen["width"] and g["y"] + g["height"] <= screen["height"]
               for g in shown.values()):
            return
        self.watcher.raise_windows([self.ids[w] for w in sorted(shown, key=lambda w: (
            shown[w]["x"], shown[w]["y"]))])

    def _starting_tick(self):
        """A tick while the windows start. A window the pause reached before its loop
        began draws nothing once it has initialised: its file is not read again until the
        windows settle."""
        self.tick()
        self.watched = {w for w in self.watched
                        if not (self.paused_early.get(w) and self.followers[w].initialised)}

    def wait_for_initialisation(self):
        self.phase = "initialising"
        self.phase_began = time.monotonic()
        waiting = list(self.windows)
        while True:
            waiting = [w for w in waiting
                       if not (w in self.followers and self.followers[w].initialised)]
            if not waiting:
                return
            self._starting_tick()
            now = time.monotonic()
            late = [w for w in waiting if now - self.appeared_at[w] > self.timeouts.appear]
            if late:
                raise DriveError("window(s) %s did not finish initialising within %g s of "
                                 "appearing (no \"Secs to Initialize.\" line in the results "
                                 "file)" % (_list(late), self.timeouts.appear))

    def settle(self):
        """Waits until every window has stopped reporting after a pause (p). A frame in
        flight still reports: a window counts as quiet after three of its longest frames
        (at least a second; a first frame costs about what building the scene did)."""
        self.phase = "pausing"
        self.phase_began = time.monotonic()
        self._watch(self.windows)
        since = time.monotonic()
        for w in self.windows:
            self.last_change[w] = since
        while True:
            self.tick()
            now = time.monotonic()
            busy = []
            for w in self.windows:
                f = self.followers[w]
                if self.paused_early.get(w) and f.frames == 0:
                    quiet = 0.3
                else:
                    quiet = max(1.0, 3 * f.longest_frame_time, f.init_time or 0.0)
                if now - self.last_change[w] < quiet:
                    busy.append(w)
            if not busy:
                self.watched = set()
                return
            if now - since > max(self.stall_limit(w) for w in busy):
                raise DriveError("window(s) %s kept reporting frames after p (pause)"
                                 % _list(busy))

    def step_frames(self, target):
        """Steps every window with c, one frame and one window at a time, until each has
        reported `target` frames. Returns the windows that had more before the pause."""
        self.phase = "stepping"
        self.phase_began = time.monotonic()
        early = {w: self.frames(w) for w in self.windows}
        if any(early.values()):
            self.reporter.say("note: frames reported before the pause took effect: %s"
                              % ", ".join("window %d: %d" % (w, k) for w, k in early.items()
                                          if k))
        for frame in range(1, target + 1):
            for w in self.windows:
                self._watch([w])
                before = self.frames(w)
                if before >= frame:
                    continue
                self.watcher.send_key(self.ids[w], "c")
                sent = time.monotonic()
                while self.frames(w) <= before:
                    self.tick()
                    if time.monotonic() - sent > self.stall_limit(w):
                        raise DriveError("window %d did not report frame %d within %g s of "
                                         "being stepped (c)" % (w, frame, self.stall_limit(w)))
                if self.frames(w) > before + 1:
                    raise DriveError("window %d reported %d frames for one step (c); it is "
                                     "not paused" % (w, self.frames(w) - before))
        self.watched = set()
        return [w for w, k in early.items() if k > target]

    def start_animation(self):
        """Lets the paused windows animate together (r) and waits until each has reported a
        frame since: when r arrives a window may still be drawing its first frame (at angle
        step 0, which reports nothing; with many windows on few cores that takes seconds),
        and a window that cannot be seen draws nothing. Returns each window's seconds from r
        to the report of its first frame since."""
        self.phase = "starting to animate"
        self.phase_began = time.monotonic()
        self._watch(self.windows)
        before = {w: self.frames(w) for w in self.windows}
        self.watcher.send_keys([self.ids[w] for w in self.windows], "r")
        sent = time.monotonic()
        first = {}
        while True:
            for w in self.windows:
                if w not in first and self.frames(w) > before[w]:
                    first[w] = round(self.last_change[w] - sent, 3)
            waiting = [w for w in self.windows if w not in first]
            if not waiting:
                return first
            self.tick()
            late = [w for w in waiting if time.monotonic() - sent > self.stall_limit(w)]
            if late:
                raise DriveError(
                    "window(s) %s drew no frame within %g s of being told to animate (r); "
                    "initialisation took %s (a window that is covered or off the screen is "
                    "never drawn)" % (_list(late), self.stall_limit(late[0]), ", ".join(
                        "%.3g s" % (self.followers[w].init_time or 0.0) for w in late[:8])
                        + (", ..." if len(late) > 8 else "")))

    def animate_for(self, seconds):
        """Keeps the animating windows at it for `seconds`, then sends every window Escape
        at once, from the bottom of the stack up. A window handles its keys between frames,
        before the redisplay its last idle tick posted: Escape ends it when the frame in
        flight is done, so its last frame ends within one frame of the deadline (p would let
        the posted frame run too)."""
        self.phase = "animating"
        self.phase_began = time.monotonic()
        self._watch(self.windows)
        start = time.monotonic()
        deadline = start + seconds
        for w in self.windows:
            self.last_change[w] = max(self.last_change.get(w, start), start)
        while True:
            now = time.monotonic()
            if now >= deadline:
                break
            self.tick(min(0.2, deadline - now))
            now = time.monotonic()
            for w in self.windows:
                if now - self.last_change[w] > self.stall_limit(w):
                    raise DriveError("window %d stopped reporting: no frame for %.0f s"
                                     % (w, now - self.last_change[w]))
        order = self.bottom_up()
        self.watcher.send_keys([self.ids[w] for w in order], "Escape")
        self.escaped.update(order)

    def bottom_up(self):
        place = {window_id: i for i, window_id in enumerate(self.watcher.stacking_order())}
        return sorted(self.windows, key=lambda w: place.get(self.ids[w], -1))

    def end_windows(self):
        """Ends every window with Escape and waits for its summary. A window that closes
        uncovers the windows below it, which then redraw and report once more: ending them
        from the bottom of the stack up uncovers none."""
        self.phase = "ending"
        self.phase_began = time.monotonic()
        for w in self.bottom_up():
            if w not in self.escaped:
                self.watcher.send_key(self.ids[w], "Escape")
                self.escaped.add(w)
            self._watch([w])
            sent = time.monotonic()
            while not self.followers[w].summary:
                self.tick()
                if time.monotonic() - sent > self.stall_limit(w):
                    raise DriveError("window %d did not write a summary within %g s of "
                                     "Escape" % (w, self.stall_limit(w)))
        self.watched = set()
