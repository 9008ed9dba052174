"""Following a run as its files grow: a window's results file and the run's console.

Both read only what was added since the last look, and only complete lines.
"""

import math

from . import layout as L


class LineTail:
    """The complete lines added to a growing file since the last look."""

    def __init__(self, path):
        self.path = path
        self._offset = 0
        self._pending = b""

    def new_lines(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                data = f.read()
        except OSError:
            return []
        self._offset += len(data)
        *complete, self._pending = (self._pending + data).split(b"\n")
        return [line.decode("utf-8", "replace") for line in complete]


class ResultsFollower:
    """Follows a results file while its window runs: frames so far, summary written.

    Reads only what was added since the last look and only complete lines.
    """

    def __init__(self, path, program):
        self.path = path
        self.program = program
        self._tail = LineTail(path)
        self.initialised = False
        self.init_time = None
        self.frames = 0
        self.last_frame_time = None
        self.longest_frame_time = 0.0
        self.summary = False

    def update(self):
        """Reads new lines; returns True when something changed."""
        changed = False
        for line in self._tail.new_lines():
            frame = self.program.frame_time_line.match(line)
            init = L.INIT_LINE.match(line)
            if frame is not None:
                self.frames += 1
                changed = True
                t = float(frame["seconds"])
                if math.isfinite(t):
                    self.last_frame_time = t
                    self.longest_frame_time = max(self.longest_frame_time, t)
            elif init is not None:
                self.initialised = True
                changed = True
                if math.isfinite(float(init["seconds"])):
                    self.init_time = float(init["seconds"])
            elif L.SUMMARY_TIME.match(line) is not None:
                self.summary = True
                changed = True
        return changed


def console_states(lines):
    """{window: {"state", "error", "path"}} for the windows whose console lines say their
    results file is incomplete or was not created: the line a window prints on standard
    error when a write first fails, or the line at its end."""
    lines = [line.rstrip("\r") for line in lines]
    found = {}
    for line in lines:
        for state, template in L.ERROR_STATES:
            fields = template.match(line)
            if fields:
                found.setdefault(int(fields["window"]), {
                    "state": state, "error": fields["error"], "path": fields["name"]})
    for window, said in L.results_file_states(lines).items():
        if said["state"] != "complete":
            found.setdefault(window, said)
    return found


class ConsoleFollower:
    """Reads console.log as it grows and keeps the windows' results-file complaints."""

    def __init__(self, path):
        self._tail = LineTail(path)
        self.states = {}

    def update(self):
        for window, state in console_states(self._tail.new_lines()).items():
            self.states.setdefault(window, state)
        return self.states
