"""Taking the windows' pictures during a run, without touching their timed frames.

A checked window's contents are kept off the screen by the X server (Composite) from the
moment the window appears, while its angle step is still 0: a window that others cover or
uncover is then never exposed again, so it draws no frame beyond those it is asked for, and
its whole picture can be read whatever lies above it. Just before the window is sent
Escape, the server is asked for the pixmap that holds its picture; that pixmap stays when
the window goes, and is read once the window has written its summary (its last frame is then
on the display). The angle step of that frame is the number of frames it reported: each
frame with a non-zero angle step is reported, and each step of the angle draws one.

Beyond SAMPLE windows only SAMPLE of them are checked, spread evenly over the window numbers
from the first to the last: each kept picture costs the X server a window's pixels, and
each check a comparison (and, for shardfall, a reference drawn for that window).
"""

from . import pixels

SAMPLE = 16


def sample(windows, most=SAMPLE):
    """The windows checked of a run's windows."""
    windows = sorted(windows)
    if len(windows) <= most:
        return windows
    return sorted({windows[round(i * (len(windows) - 1) / (most - 1))] for i in range(most)})


class PictureTaker:
    """The pictures of a host's checked windows, taken through the driver's watcher.
    taken: {window: (colours, angle step, depth)}; missed: {window: why none was taken}."""

    def __init__(self, watcher, windows):
        self.watcher = watcher
        self.windows = set(windows)
        self.kept = set()      # windows whose contents the server keeps
        self.pixmaps = {}      # window -> its picture's pixmap, named before Escape
        self.taken = {}
        self.missed = {}

    def appeared(self, w, window_id):
        if w in self.windows and w not in self.kept:
            if self.watcher.keep_contents(window_id):
                self.kept.add(w)
            else:
                self.missed[w] = "the X server has no Composite extension"

    def ending(self, w, window_id):
        """Called just before the window is sent Escape."""
        if w in self.kept and w not in self.pixmaps:
            pixmap = self.watcher.keep_picture(window_id)
            if pixmap is None:
                self.missed[w] = "the window was gone before its picture could be kept"
            else:
                self.pixmaps[w] = pixmap

    def take(self, w, angle, width, height):
        """Called once the window has written its summary."""
        pixmap = self.pixmaps.pop(w, None)
        if pixmap is None:
            return
        try:
            read = self.watcher.read_picture(pixmap, width, height)
        finally:
            self.watcher.free_picture(pixmap)
        if read is None:
            self.missed[w] = "its picture could not be read"
        else:
            self.taken[w] = (pixels.to_rgb(read[0], read[2]), angle, read[1])
