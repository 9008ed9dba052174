"""Progress lines of a run: one updating line on a terminal, plain lines otherwise."""

import sys
import time

from ..results.texts import for_console


def window_counts(windows, frames, target=None, last_times=None, appeared=None):
    """"w1 2/3 0.291s  w2 1/3 -": frames so far (of the target), last frame time; "w3 ..."
    for a window that has not appeared yet."""
    parts = []
    for w in windows:
        if appeared is not None and w not in appeared:
            parts.append("w%d ..." % w)
            continue
        count = "%d/%d" % (frames.get(w, 0), target) if target is not None \
            else "%d" % frames.get(w, 0)
        last = (last_times or {}).get(w)
        parts.append("w%d %s %s" % (w, count, "%.3gs" % last if last is not None else "-"))
    return "  ".join(parts)


def progress_line(phase, elapsed, counts):
    return "%s %.0fs | %s" % (phase, elapsed, counts)


class Progress:
    """Shows progress. On a terminal one line is rewritten; otherwise a line is printed when
    the phase changes and at most every few seconds within a phase."""

    def __init__(self, stream=None, every=2.0):
        self.stream = stream or sys.stdout
        self.tty = self.stream.isatty()
        self.every = every
        self.last_text = None
        self.last_phase = None
        self.last_time = 0.0
        self.last_key = None
        self.width = 0

    def show(self, phase, text, force=False):
        now = time.monotonic()
        if text == self.last_text and not force:
            return
        if self.tty:
            self.stream.write("\r" + text + " " * max(0, self.width - len(text)))
            self.width = len(text)
        else:
            if not force and phase == self.last_phase and now - self.last_time < self.every:
                return
            self.stream.write(text + "\n")
        self.stream.flush()
        self.last_text, self.last_phase, self.last_time = text, phase, now

    def show_made(self, phase, key, make, force=False):
        """show() with the line made by make() only when it may be printed: not when the
        phase's last line is too recent (not on a terminal), nor when key, what the line is
        made from, is that of the line shown last."""
        if not force:
            if not self.tty and phase == self.last_phase \
                    and time.monotonic() - self.last_time < self.every:
                return
            if key == self.last_key and self.last_text is not None:
                return
        self.show(phase, make(), force)
        self.last_key = key

    def say(self, text):
        """A message on a line of its own (it may quote the hosts: their notes, names)."""
        self.end_line()
        self.stream.write(for_console(text) + "\n")
        self.stream.flush()

    def end_line(self):
        if self.tty and self.width:
            self.stream.write("\n")
            self.stream.flush()
            self.width = 0
            self.last_text = None
