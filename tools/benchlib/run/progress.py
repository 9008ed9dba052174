"""Progress lines of a run: one updating line on a terminal, plain lines otherwise; either way
each line fits the width (a terminal's, else 80 columns): windows that do not fit are
summed up by state, with the slowest and the fastest window's last frame time."""

import shutil
import sys
import time

from ..results.texts import for_console

PLAIN_WIDTH = 80


def window_parts(windows, frames, target=None, last_times=None, appeared=None):
    """"w1 2/3 0.291s", "w2 0/3 -": frames so far (of the target), last frame time; "w3 ..."
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
    return parts


def window_summary(windows, frames, target=None, last_times=None, appeared=None):
    """The windows summed up, most telling first: how many are in each state, the total of
    frames (without a target), the slowest and the fastest window's last frame time."""
    waiting = [w for w in windows if appeared is not None and w not in appeared]
    done = [w for w in windows if w not in waiting and target is not None
            and frames.get(w, 0) >= target]
    drawing = len(windows) - len(waiting) - len(done)
    counts = ["%d waiting" % len(waiting)] if waiting else []
    counts += ["%d drawing" % drawing] if drawing else []
    counts += ["%d done" % len(done)] if done else []
    parts = ["%d windows: %s" % (len(windows), ", ".join(counts))]
    if target is None:
        parts.append(", %d frames" % sum(frames.get(w, 0) for w in windows))
    timed = {w: t for w, t in (last_times or {}).items() if w in frames and t is not None}
    if timed:
        slowest, fastest = max(timed, key=timed.get), min(timed, key=timed.get)
        parts.append(" | slowest w%d %.3gs" % (slowest, timed[slowest]))
        parts.append(", fastest w%d %.3gs" % (fastest, timed[fastest]))
    return parts


def progress_line(phase, elapsed, windows, frames, target=None, last_times=None,
                  appeared=None, width=PLAIN_WIDTH):
    """The line for the windows in fewer than `width` columns: each window when they fit,
    else as many parts of their sum as fit."""
    line = "%s %.0fs | " % (phase, elapsed)
    each = "  ".join(window_parts(windows, frames, target, last_times, appeared))
    if len(line) + len(each) < width:
        return line + each
    for part in window_summary(windows, frames, target, last_times, appeared):
        if len(line) + len(part) >= width:
            break
        line += part
    return line[:width - 1]


class Progress:
    """Shows progress. On a terminal one line is rewritten; otherwise a line is printed when
    the phase changes and at most every few seconds within a phase."""

    def __init__(self, stream=None, every=10.0):
        self.stream = stream or sys.stdout
        self.tty = self.stream.isatty()
        self.every = every
        self.last_text = None
        self.last_phase = None
        self.last_time = 0.0
        self.last_key = None
        self.shown = 0

    @property
    def width(self):
        """Columns a line may take (one fewer than the terminal's: a full line wraps on
        some terminals)."""
        if not self.tty:
            return PLAIN_WIDTH
        return shutil.get_terminal_size((PLAIN_WIDTH, 24)).columns - 1

    def show(self, phase, text, force=False):
        now = time.monotonic()
        if text == self.last_text and not force:
            return
        if self.tty:
            self.stream.write("\r" + text + " " * max(0, self.shown - len(text)))
            self.shown = len(text)
        else:
            if not force and phase == self.last_phase and now - self.last_time < self.every:
                return
            self.stream.write(text + "\n")
        self.stream.flush()
        self.last_text, self.last_phase, self.last_time = text, phase, now

    def show_made(self, phase, key, make, force=False):
        """show() with the line made by make(width) only when it may be printed: not when the
        phase's last line is too recent (not on a terminal), nor when key, what the line is
        made from, is that of the line shown last."""
        if not force:
            if not self.tty and phase == self.last_phase \
                    and time.monotonic() - self.last_time < self.every:
                return
            if key == self.last_key and self.last_text is not None:
                return
        self.show(phase, make(self.width), force)
        self.last_key = key

    def say(self, text):
        """A message on a line of its own (it may quote the hosts: their notes, names)."""
        self.end_line()
        self.stream.write(for_console(text) + "\n")
        self.stream.flush()

    def end_line(self):
        if self.tty and self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = 0
            self.last_text = None
