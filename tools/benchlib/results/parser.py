"""Reading results files: the strict parser.

A results file is written line by line while a window runs: a title line, the window's
initialisation time, one block per reported frame and, once the window has been ended with
Esc, a summary. The parser is strict about the layout (a wrong line is an error naming the
file and line) but accepts a file that stops anywhere, as a killed run or a full disk
leaves it: a last line without its line end is left out with a note.
"""

import os
import re
from dataclasses import dataclass, field

from .files import RESULTS_LIMIT, read_bytes, shown
from .layout import INIT_LINE, LATTICEGLOW, SHARDFALL, SUMMARY_TIME, Program, \
    parse_results_name, program_by_title
from .numbers import Number, significant_digits


# The programs count in 64-bit signed integers.
COUNTER_MAX = 2 ** 63 - 1


class ParseError(Exception):
    def __init__(self, path, line, message):
        super().__init__("%s:%d: %s" % (shown(path), line, message))
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
    window: int = None         # from the initialisation line
    processor: str = None
    init_time: Number = None
    init_line: int = None
    frames: list = field(default_factory=list)
    summary: Summary = None
    notes: list = field(default_factory=list)  # what is missing from a file cut short
    cut_line: bool = False     # the last line had no line end and was left out

    @property
    def name(self):
        return os.path.basename(self.path)

    @property
    def name_info(self):
        """The window, host and start time the file name carries (None for other names)."""
        return parse_results_name(self.name)


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

    def take(self, line):
        """The fields of the next line, which must be `line` (a layout Line)."""
        if self.at_end():
            raise _Truncated()
        fields = line.match(self.peek())
        if fields is None:
            self.error('"%s"' % re.sub(r"\{(\w+)\}", r"<\1>", line.template))
        self.index += 1
        return fields

    def take_empty(self):
        if self.at_end():
            raise _Truncated()
        if self.peek() != "":
            self.error("an empty line")
        self.index += 1

    def number_field(self, text, what, line_number=None):
        if text not in ("inf", "-inf", "nan", "-nan") and significant_digits(text) > 6:
            raise ParseError(self.path, line_number or self.index,
                             "%s %s has more than six significant digits" % (what, text))
        return Number.parse(text)


def _read_lines(path):
    raw = read_bytes(path, RESULTS_LIMIT)
    if not raw:
        raise ParseError(path, 1, "expected the title line, found an empty file")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw[:e.start].count(b"\n") + 1
        raise ParseError(path, line, "expected text, found bytes that are not UTF-8") from None
    lines = text.split("\n")
    cut = lines.pop()  # "" when the file ends with a line end
    return lines, cut


def parse_results_file(path):
    """Reads one results file; raises ParseError for a file that does not follow the layout."""
    lines, cut = _read_lines(path)
    if not lines:
        raise ParseError(path, 1, "expected the title line, found a line without its line end")
    program = program_by_title(lines[0])
    if program is None:
        shown = lines[0] if len(lines[0]) <= 100 else lines[0][:100] + "..."
        raise ParseError(path, 1, "expected the title line of Shardfall or Latticeglow "
                         "(\"%s\"), found %r" % (SHARDFALL.title_line, shown))
    result = ResultsFile(path=path, program=program)
    if cut:
        result.cut_line = True
        result.notes.append("the last line (line %d) is cut short (no line end): it is left "
                            "out" % (len(lines) + 1))
    cursor = _Lines(path, lines)
    cursor.index = 1
    stage = "before the initialisation line"
    try:
        for _ in range(program.title_blank_lines):
            cursor.take_empty()
        fields = cursor.take(INIT_LINE)
        result.window = int(fields["window"])
        result.processor = fields["host"]
        result.init_line = cursor.index
        result.init_time = cursor.number_field(fields["seconds"], "the initialisation time")
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
            elif line.startswith(SUMMARY_TIME.prefix.rstrip()):
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
    values, seconds_line = {}, None
    for line in program.frame_lines:
        values.update(cursor.take(line))
        if "seconds" in line.fields:
            seconds_line = cursor.index
    if program is LATTICEGLOW and (int(values["window"]) != result.window
                                   or values["host"] != result.processor):
        raise ParseError(cursor.path, start, "frame block names window %s @ %s, but the "
                         "file belongs to window %d @ %s (line %d)" %
                         (values["window"], values["host"], result.window, result.processor,
                          result.init_line))
    last = cursor.index
    frame = Frame(
        line=start,
        glut_window=int(values.get("glut_window") or values.get("window")),
        frame_time=cursor.number_field(values["seconds"], "the frame time", seconds_line),
        angle_rate=cursor.number_field(values["angle_rate"], "the angle rate", last - 1),
        quantity_rate=cursor.number_field(values["rate"], "the %s rate" % program.quantity,
                                          last),
        quantity=_counter(cursor, values.get("triangles"), start + 1))
    if not cursor.at_end():  # a block complete but for its closing empty line still counts
        cursor.take_empty()
    return frame


def _counter(cursor, text, line_number):
    """A printed triangle count, which a 64-bit counter must be able to hold."""
    if text is None:
        return None
    if len(text) > 19 or int(text) > COUNTER_MAX:
        raise ParseError(cursor.path, line_number, "the triangle count %s is more than a 64-bit "
                         "counter holds" % (text if len(text) <= 30 else text[:30] + "..."))
    return int(text)


def _parse_summary(cursor, result):
    start = cursor.number
    cursor.block_start = start
    time_line, angle_line, rate_line = result.program.summary_lines
    fields = cursor.take(time_line)
    if int(fields["window"]) != result.window:
        raise ParseError(cursor.path, start, "the summary names window %s, but the file "
                         "belongs to window %d (line %d)"
                         % (fields["window"], result.window, result.init_line))
    total = cursor.number_field(fields["seconds"], "the total running time", start)
    angles = cursor.number_field(cursor.take(angle_line)["angle_rate"],
                                 "the average angle rate", cursor.index)
    quantity = cursor.number_field(cursor.take(rate_line)["rate"],
                                   "the average %s rate" % result.program.quantity,
                                   cursor.index)
    if not cursor.at_end():
        cursor.take_empty()
    return Summary(line=start, total_time=total, average_angle_rate=angles,
                   average_quantity_rate=quantity)
