"""The two programs, their window titles and their results files.

A results file is written line by line while a window runs: a title line,
the window's initialisation time, one block per reported frame and, once the
window has been ended with Esc, a summary. The parser is strict about the
layout (a wrong line is an error naming the file and line) but accepts a
file that stops after any complete line, as a killed run leaves it.
"""

import decimal
import math
import os
import re
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Program:
    name: str                 # shardfall | latticeglow
    display_name: str         # Shardfall | Latticeglow
    title_line: str           # first line of its results files
    title_blank_lines: int    # empty lines after the title line
    window_title_prefix: str  # window title without the window index
    quantity: str             # what a frame is counted in: triangles | vertices
    quantity_unit: str        # unit of the quantity rate
    frame_time_prefix: str    # start of the frame-time line of a frame block

    def window_title(self, window):
        return "%s%d" % (self.window_title_prefix, window)

    def window_from_title(self, title):
        """The window index a window title names, or None when it is not one of ours."""
        if not title.startswith(self.window_title_prefix):
            return None
        rest = title[len(self.window_title_prefix):]
        if not rest.isdigit() or rest != str(int(rest)):
            return None
        return int(rest)

    @property
    def results_prefix(self):
        return "results_%s_windows @ " % self.name

    def results_window(self, file_name):
        """The window index in a results file name, or None when the name is not one."""
        m = re.fullmatch(re.escape(self.results_prefix) + r"(\d+) of .* @ local date "
                         r"\d{4}\.\d\d\.\d\d time \d\d\.\d\d\.\d\d(?:-\d+)?\.txt", file_name)
        return int(m.group(1)) if m else None


SHARDFALL = Program(
    name="shardfall",
    display_name="Shardfall",
    title_line="Tarnwick :: Oxbrindle Benchmark Graphics Shardfall for Windows on x86 64bit "
               "system 2022.09.29.",
    title_blank_lines=2,
    window_title_prefix="OPENGL Shardfall 64  Thread: ",
    quantity="triangles",
    quantity_unit="triangles/s",
    frame_time_prefix="It spent: ",
)

LATTICEGLOW = Program(
    name="latticeglow",
    display_name="Latticeglow",
    title_line="Tarnwick :: Oxbrindle Benchmark Graphics Latticeglow for Windows on x86 64bit "
               "system 2022.09.29.",
    title_blank_lines=1,
    window_title_prefix="OPENGL Latticeglow  64  Thread: ",
    quantity="vertices",
    quantity_unit="vertices/s",
    frame_time_prefix="The system spent: ",
)

PROGRAMS = {p.name: p for p in (SHARDFALL, LATTICEGLOW)}


def program_by_title(line):
    for program in PROGRAMS.values():
        if line == program.title_line:
            return program
    return None


# A double as the C++ stream prints it by default (%g with six significant digits).
NUMBER = r"-?(?:\d+(?:\.\d+)?(?:e[+-]\d+)?|inf|nan)"
INTEGER = r"-?\d+"


@dataclass(frozen=True)
class Number:
    """A printed double: its value and how far the unrounded value can be from it."""
    text: str
    value: float
    bound: float  # half a unit in the sixth significant digit; 0 for 0, nan and inf

    @staticmethod
    def parse(text):
        value = float(text)
        if value == 0 or not math.isfinite(value):
            return Number(text, value, 0.0)
        exponent = decimal.Decimal(text).adjusted()
        return Number(text, value, 0.5 * 10.0 ** (exponent - 5))


def significant_digits(text):
    """How many significant digits a printed finite number carries."""
    mantissa = text.lstrip("-").split("e")[0].replace(".", "").lstrip("0")
    return len(mantissa)


class ParseError(Exception):
    def __init__(self, path, line, message):
        super().__init__("%s:%d: %s" % (path, line, message))
        self.path = path
        self.line = line
        self.message = message


@dataclass
class Frame:
    line: int                  # line number of the block's first line
    glut_window: int           # shardfall: GLUT window id; latticeglow: the window index
    frame_time: Number
    angle_rate: Number
    quantity_rate: Number
    quantity: int = None       # shardfall: triangles drawn; latticeglow: not printed


@dataclass
class Summary:
    line: int
    total_time: Number
    average_angle_rate: Number
    average_quantity_rate: Number


@dataclass
class ResultsFile:
    path: str
    program: Program
    window: int = None
    processor: str = None
    init_time: Number = None
    init_line: int = None
    frames: list = field(default_factory=list)
    summary: Summary = None
    notes: list = field(default_factory=list)  # what is missing from a file cut short

    @property
    def name(self):
        return os.path.basename(self.path)


class _Truncated(Exception):
    pass


class _Lines:
    def __init__(self, path, lines):
        self.path = path
        self.lines = lines
        self.index = 0  # index of the next line; its line number is index + 1
        self.block_start = 0  # first line of the frame block or summary being read

    @property
    def number(self):
        return self.index + 1

    def at_end(self):
        return self.index >= len(self.lines)

    def peek(self):
        return self.lines[self.index]

    def error(self, expected, line_number=None):
        number = line_number or self.number
        found = self.lines[number - 1]
        shown = found if len(found) <= 100 else found[:100] + "..."
        raise ParseError(self.path, number, "expected %s, found %r" % (expected, shown))

    def take(self, pattern, expected):
        if self.at_end():
            raise _Truncated()
        m = re.fullmatch(pattern, self.peek())
        if m is None:
            self.error(expected)
        self.index += 1
        return m

    def take_empty(self):
        self.take("", "an empty line")


def _number(lines, text, what, line_number):
    if text not in ("inf", "-inf", "nan", "-nan") and significant_digits(text) > 6:
        raise ParseError(lines.path, line_number,
                         "%s %s has more than six significant digits" % (what, text))
    return Number.parse(text)


def parse_results_file(path):
    """Reads one results file; raises ParseError for a file that does not follow the layout."""
    with open(path, "rb") as f:
        raw = f.read()
    if not raw:
        raise ParseError(path, 1, "expected the title line, found an empty file")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw[:e.start].count(b"\n") + 1
        raise ParseError(path, line, "expected text, found bytes that are not UTF-8") from None
    lines = text.split("\n")
    if lines[-1] != "":
        raise ParseError(path, len(lines), "the last line is cut short (it has no line end)")
    lines.pop()
    program = program_by_title(lines[0])
    if program is None:
        shown = lines[0] if len(lines[0]) <= 100 else lines[0][:100] + "..."
        raise ParseError(path, 1, "expected the title line of Shardfall or Latticeglow "
                         "(\"%s\"), found %r" % (SHARDFALL.title_line, shown))
    result = ResultsFile(path=path, program=program)
    cursor = _Lines(path, lines)
    cursor.index = 1
    stage = "before the initialisation line"
    try:
        for _ in range(program.title_blank_lines):
            cursor.take_empty()
        m = cursor.take(r"Window (\d+)@ (.*) spent: (%s) Secs to Initialize\." % NUMBER,
                        "\"Window <index>@ <processor> spent: <seconds> Secs to Initialize.\"")
        result.window = int(m.group(1))
        result.processor = m.group(2)
        result.init_line = cursor.number - 1
        result.init_time = _number(cursor, m.group(3), "the initialisation time",
                                   result.init_line)
        stage = "after the initialisation line"
        cursor.take_empty()
        cursor.take_empty()
        while True:
            stage = "summary"
            if cursor.at_end():
                raise _Truncated()
            line = cursor.peek()
            if line.startswith("window: "):
                stage = "frame"
                result.frames.append(_parse_frame(cursor, result))
            elif line.startswith("Total running time:"):
                stage = "in summary"
                result.summary = _parse_summary(cursor, result)
                break
            else:
                cursor.error("a frame block (\"window: ...\") or the summary "
                             "(\"Total running time:  ...\")")
        # Only empty lines may follow the summary.
        while not cursor.at_end():
            if cursor.peek() != "":
                cursor.error("nothing but empty lines after the summary")
            cursor.index += 1
    except _Truncated:
        n = len(result.frames)
        if stage == "before the initialisation line":
            result.notes.append("the file ends before the initialisation line")
        elif stage == "frame":
            result.notes.append("the file ends inside frame block %d (from line %d); the "
                                "incomplete block is left out" % (n + 1, cursor.block_start))
        elif stage == "in summary":
            result.notes.append("the file ends inside the summary (from line %d); the "
                                "incomplete summary is left out" % cursor.block_start)
        result.notes.append("summary missing: the file is cut short after %d complete "
                            "frame block(s)" % n)
    return result


def _parse_frame(cursor, result):
    program = result.program
    start = cursor.number
    cursor.block_start = start
    if program is SHARDFALL:
        m = cursor.take(r"window: (\d+)", "\"window: <GLUT window id>\"")
        glut_window = int(m.group(1))
        m = cursor.take(r"It drew (\d+) Triangles\.", "\"It drew <count> Triangles.\"")
        quantity = int(m.group(1))
        m = cursor.take(r"It spent: (%s) Secs\. " % NUMBER, "\"It spent: <seconds> Secs. \"")
        frame_time = _number(cursor, m.group(1), "the frame time", cursor.number - 1)
    else:
        m = cursor.take(r"window: (\d+) @ (.*)", "\"window: <index> @ <processor>\"")
        glut_window = int(m.group(1))
        if glut_window != result.window or m.group(2) != result.processor:
            raise ParseError(cursor.path, start, "frame block names window %s @ %s, but the "
                             "file belongs to window %d @ %s (line %d)" %
                             (m.group(1), m.group(2), result.window, result.processor,
                              result.init_line))
        quantity = None
        m = cursor.take(r"The system spent: (%s) Secs\. " % NUMBER,
                        "\"The system spent: <seconds> Secs. \"")
        frame_time = _number(cursor, m.group(1), "the frame time", cursor.number - 1)
    m = cursor.take(r"It was: (%s) Angles/sec\." % NUMBER, "\"It was: <rate> Angles/sec.\"")
    angle_rate = _number(cursor, m.group(1), "the angle rate", cursor.number - 1)
    unit = "Triangles" if program is SHARDFALL else "Vertex"
    m = cursor.take(r"It was: (%s) %s/sec\." % (NUMBER, unit),
                    "\"It was: <rate> %s/sec.\"" % unit)
    quantity_rate = _number(cursor, m.group(1), "the %s rate" % program.quantity,
                            cursor.number - 1)
    frame = Frame(line=start, glut_window=glut_window, frame_time=frame_time,
                  angle_rate=angle_rate, quantity_rate=quantity_rate, quantity=quantity)
    if not cursor.at_end():  # a block complete but for its closing empty line still counts
        cursor.take_empty()
    return frame


def _parse_summary(cursor, result):
    program = result.program
    start = cursor.number
    cursor.block_start = start
    m = cursor.take(r"Total running time:  (%s) Secs\. @ window: (\d+)" % NUMBER,
                    "\"Total running time:  <seconds> Secs. @ window: <index>\"")
    if int(m.group(2)) != result.window:
        raise ParseError(cursor.path, start, "the summary names window %s, but the file "
                         "belongs to window %d (line %d)" % (m.group(2), result.window,
                                                            result.init_line))
    total = _number(cursor, m.group(1), "the total running time", start)
    m = cursor.take(r"Average Angles/Sec: (%s) Angles/Sec\." % NUMBER,
                    "\"Average Angles/Sec: <rate> Angles/Sec.\"")
    angles = _number(cursor, m.group(1), "the average angle rate", cursor.number - 1)
    unit = "Triangles" if program is SHARDFALL else "Vertex"
    m = cursor.take(r"Average %s/Sec: (%s) %s/Sec\." % (unit, NUMBER, unit),
                    "\"Average %s/Sec: <rate> %s/Sec.\"" % (unit, unit))
    quantity = _number(cursor, m.group(1), "the average %s rate" % program.quantity,
                       cursor.number - 1)
    if not cursor.at_end():
        cursor.take_empty()
    return Summary(line=start, total_time=total, average_angle_rate=angles,
                   average_quantity_rate=quantity)


class ResultsFollower:
    """Follows a results file while its window runs: frames so far, summary written.

    Reads only what was added since the last look and only complete lines.
    """

    def __init__(self, path, program):
        self.path = path
        self.program = program
        self._offset = 0
        self._pending = b""
        self.initialised = False
        self.init_time = None
        self.frames = 0
        self.last_frame_time = None
        self.longest_frame_time = 0.0
        self.summary = False

    def update(self):
        """Reads new lines; returns True when something changed."""
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                data = f.read()
        except FileNotFoundError:
            return False
        if not data:
            return False
        self._offset += len(data)
        data = self._pending + data
        *complete, self._pending = data.split(b"\n")
        changed = False
        for raw in complete:
            line = raw.decode("utf-8", "replace")
            if line.startswith(self.program.frame_time_prefix):
                self.frames += 1
                changed = True
                m = re.match(re.escape(self.program.frame_time_prefix) + "(" + NUMBER + ")",
                             line)
                if m:
                    t = float(m.group(1))
                    if math.isfinite(t):
                        self.last_frame_time = t
                        self.longest_frame_time = max(self.longest_frame_time, t)
            elif line.startswith("Window ") and line.endswith(" Secs to Initialize."):
                self.initialised = True
                changed = True
                m = re.search(r" spent: (%s) Secs to Initialize\.$" % NUMBER, line)
                if m and math.isfinite(float(m.group(1))):
                    self.init_time = float(m.group(1))
            elif line.startswith("Total running time:"):
                self.summary = True
                changed = True
        return changed
