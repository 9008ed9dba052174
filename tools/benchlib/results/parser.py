"""Reading results files: the strict parser.

A results file is written line by line while a window runs: a title line, the window's
initialisation time, one block per reported frame and, once the window has been ended with
Esc, a summary. The parser is strict about the layout (a wrong line is an error naming the
file and line) but accepts a file that stops anywhere, as a killed run or a full disk
leaves it: a last line without its line end is left out with a note.

A file that follows the layout to the letter, as the programs write it, takes a quick way:
its frame blocks are matched and taken apart by one pattern, in C. Anything else (a file cut
short, a number not as the programs print it, a wrong line) goes line by line, which says
what is wrong where. Both give the same result for a file both accept. The frames are kept
column by column, as printed: a run of thousands of windows holds no object per frame.
"""

import functools
import os
import re
from dataclasses import dataclass, field

from .files import RESULTS_LIMIT, read_bytes, shown
from .layout import INIT_LINE, LATTICEGLOW, SHARDFALL, SUMMARY_TIME, Program, \
    parse_results_name, program_by_title
from .numbers import Number, significant_digits

HEAD_LINES = 3  # the initialisation line and two empty lines, after the title's lines


# The programs count in 64-bit signed integers.
COUNTER_MAX = 2 ** 63 - 1


class ParseError(Exception):
    def __init__(self, path, line, message):
        super().__init__("%s:%d: %s" % (shown(path), line, message))
        self.path = path
        self.line = line
        self.message = message


@dataclass
class FrameColumns:
    """A file's frame blocks, column by column, each number as printed."""
    first_line: int = 0        # line number of the first block's first line
    block_lines: int = 0       # lines a block takes, with its closing empty line
    seconds: list = field(default_factory=list)      # frame times
    angle_rates: list = field(default_factory=list)
    rates: list = field(default_factory=list)        # triangles/s or vertices/s
    triangles: list = None     # shardfall: triangles drawn (ints); latticeglow: not printed

    def __len__(self):
        return len(self.seconds)

    def line(self, i):
        """The line number of frame i's block (i from 0)."""
        return self.first_line + i * self.block_lines


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
    frames: FrameColumns = None
    summary: Summary = None
    notes: list = field(default_factory=list)  # what is missing from a file cut short

    @property
    def name(self):
        return os.path.basename(self.path)

    @functools.cached_property
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


def _read_text(path):
    raw = read_bytes(path, RESULTS_LIMIT)
    if not raw:
        raise ParseError(path, 1, "expected the title line, found an empty file")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw[:e.start].count(b"\n") + 1
        raise ParseError(path, line, "expected text, found bytes that are not UTF-8") from None


def parse_results_file(path, quick_way=True):
    """Reads one results file; raises ParseError for a file that does not follow the layout.
    quick_way=False goes line by line whatever the file."""
    text = _read_text(path)
    quick = _parse_exact(path, text) if quick_way else None
    if quick is not None:
        return quick
    lines = text.split("\n")
    cut = lines.pop()  # "" when the file ends with a line end
    if not lines:
        raise ParseError(path, 1, "expected the title line, found a line without its line end")
    program = program_by_title(lines[0])
    if program is None:
        shown = lines[0] if len(lines[0]) <= 100 else lines[0][:100] + "..."
        raise ParseError(path, 1, "expected the title line of Shardfall or Latticeglow "
                         "(\"%s\"), found %r" % (SHARDFALL.title_line, shown))
    result = ResultsFile(path=path, program=program, frames=_columns(program))
    if cut:
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
                _parse_frame(cursor, result)
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
    cursor.number_field(values["seconds"], "the frame time", seconds_line)
    cursor.number_field(values["angle_rate"], "the angle rate", last - 1)
    cursor.number_field(values["rate"], "the %s rate" % program.quantity, last)
    count = _counter(cursor, values.get("triangles"), start + 1)
    frames = result.frames
    frames.seconds.append(values["seconds"])
    frames.angle_rates.append(values["angle_rate"])
    frames.rates.append(values["rate"])
    if frames.triangles is not None:
        frames.triangles.append(count)
    if not cursor.at_end():  # a block complete but for its closing empty line still counts
        cursor.take_empty()


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


def _columns(program):
    return FrameColumns(first_line=1 + program.title_blank_lines + HEAD_LINES + 1,
                        block_lines=len(program.frame_lines) + 1,
                        triangles=[] if program is SHARDFALL else None)


# ---------------------------------------------------------------- the quick way

_CANONICAL = "%g".__mod__  # how the programs print a double (six significant digits)
_FIELDS = ("window", "host", "triangles", "seconds", "angle_rate", "rate")
_BLOCKS = {}


def _block(program):
    """(pattern, field names): one frame block with its closing empty line, as a whole and
    its fields, each a group, in the order they appear."""
    if program.name not in _BLOCKS:
        lines = "".join(line.regex(False, capture=_FIELDS) + "\n"
                        for line in program.frame_lines) + "\n"
        templates = "".join(line.template for line in program.frame_lines)
        names = [f for f in _FIELDS if "{%s}" % f in templates]
        _BLOCKS[program.name] = (re.compile("(%s)" % lines), names)
    return _BLOCKS[program.name]


def _parse_exact(path, text):
    """The file as the quick way reads it, or None when it must go line by line."""
    program = program_by_title(text[:text.find("\n")])
    if program is None:
        return None
    head_count = 1 + program.title_blank_lines + HEAD_LINES
    head = text.split("\n", head_count)
    if len(head) <= head_count or any(head[1:1 + program.title_blank_lines]) \
            or head[head_count - 2:head_count] != ["", ""]:
        return None
    init = INIT_LINE.match(head[head_count - 3])
    if init is None or not _canonical([init["seconds"]]):
        return None
    rest = head[head_count]
    prefix = SUMMARY_TIME.prefix
    at = 0 if rest.startswith(prefix) else rest.find("\n\n" + prefix) + 2
    if at == 1:
        return None
    window, host = int(init["window"]), init["host"]
    block, names = _block(program)
    found = block.findall(rest, 0, at)
    # The blocks found must tile the frames' part whole: nothing between or around them.
    if sum(len(g[0]) for g in found) != at:
        return None
    columns = _columns(program)
    if found:
        by_name = dict(zip(names, map(list, list(zip(*found))[1:])))
        if program is LATTICEGLOW and (set(by_name["window"]) != {str(window)}
                                       or set(by_name["host"]) != {host}):
            return None  # a block of another window: the careful way names it
        texts = by_name["seconds"] + by_name["angle_rate"] + by_name["rate"]
        if not _canonical(texts):
            return None
        columns.seconds, columns.angle_rates, columns.rates = \
            by_name["seconds"], by_name["angle_rate"], by_name["rate"]
        if program is SHARDFALL:
            if max(map(len, by_name["triangles"])) > 18:
                return None  # perhaps beyond a 64-bit counter: the careful way says
            columns.triangles = list(map(int, by_name["triangles"]))
    summary = rest[at:].split("\n")
    lines = program.summary_lines
    fields = [line.match(t) for line, t in zip(lines, summary)]
    if len(summary) < 4 or None in fields or any(summary[3:]) \
            or int(fields[0]["window"]) != window:
        return None
    numbers = [fields[0]["seconds"], fields[1]["angle_rate"], fields[2]["rate"]]
    if not _canonical(numbers):
        return None
    numbers = [Number.parse(t) for t in numbers]
    return ResultsFile(
        path=path, program=program, window=window, processor=host,
        init_time=Number.parse(init["seconds"]), init_line=head_count - 2, frames=columns,
        summary=Summary(columns.line(len(found)), *numbers))


def _canonical(texts):
    """Whether every number is printed as the programs print it (and so has at most six
    significant digits)."""
    try:
        return list(map(_CANONICAL, map(float, texts))) == texts
    except ValueError:
        return False
