"""What the two programs write, line by line: the one description of the results layout.

Every tool and test reads and writes results files and console lines through this module:
the window titles, the lines of a results file (each a template that both formats and
matches), the number format, the results file name, and the console lines that tell whether
a window's results file is complete.
"""

import datetime
import re
from dataclasses import dataclass

from .numbers import cxx_double

# A double as the C++ stream prints it by default (%g with six significant digits; x86
# prints 0/0 as -nan).
NUMBER = r"-?(?:\d+(?:\.\d+)?(?:e[+-]\d+)?|inf|nan)"

_FIELD_PATTERNS = {"number": NUMBER, "integer": r"\d+", "text": r".+"}
_FIELD_KINDS = {
    "seconds": "number", "angle_rate": "number", "rate": "number",
    "window": "integer", "glut_window": "integer", "triangles": "integer",
    "host": "text", "path": "text", "error": "text", "name": "text", "program": "text",
    "folder": "text",
}


class Line:
    """One line of output: a template with {fields} that formats and matches."""

    def __init__(self, template):
        self.template = template
        parts = re.split(r"\{(\w+)\}", template)
        self.prefix = parts[0]
        self.fields = parts[1::2]
        regex = ""
        for i, part in enumerate(parts):
            if i % 2 == 0:
                regex += re.escape(part)
            else:
                regex += "(?P<%s>%s)" % (part, _FIELD_PATTERNS[_FIELD_KINDS[part]])
        self._compiled = re.compile(regex)

    def format(self, **values):
        return self.template.format(**{k: cxx_double(v) if isinstance(v, float) else v
                                       for k, v in values.items()})

    def match(self, text):
        """The fields of a line that is exactly this line, as text; None otherwise."""
        m = self._compiled.fullmatch(text)
        return m.groupdict() if m else None

    def regex(self, anchored=True, capture=(), **fixed):
        """A pattern of the line (anchored unless told) with some fields fixed to values and
        the fields named in `capture` as groups, in the order they appear."""
        regex = re.escape(self.template)
        for name in self.fields:
            hole = re.escape("{%s}" % name)
            value = (re.escape(str(fixed[name])) if name in fixed
                     else "(%s%s)" % ("" if name in capture else "?:",
                                      _FIELD_PATTERNS[_FIELD_KINDS[name]]))
            regex = regex.replace(hole, value, 1)
        return "^" + regex + "$" if anchored else regex


# Lines common to both programs.
INIT_LINE = Line("Window {window}@ {host} spent: {seconds} Secs to Initialize.")
SUMMARY_TIME = Line("Total running time:  {seconds} Secs. @ window: {window}")
SUMMARY_ANGLES = Line("Average Angles/Sec: {angle_rate} Angles/Sec.")
FRAME_ANGLES = Line("It was: {angle_rate} Angles/sec.")
RESULTS_SAVED = Line("Results have been saved in a file and you can find it at: {path}")
RESULTS_INCOMPLETE = Line("The results file is incomplete: {path} (first failed write: "
                          "{error}); the console holds the full reports.")
RESULTS_REMOVED = Line("The results file was removed during the run: {path}; the console holds "
                       "the full reports.")
RESULTS_NOT_CREATED = Line("The results file was not created: {path} ({error}); the console "
                           "holds the full reports.")
# What a window prints on standard error when its results file cannot be written.
WRITE_FAILED = Line("{program}: window {window}: writing the results file \"{name}\" failed: "
                    "{error}; the console keeps every report")
CREATE_FAILED = Line("{program}: window {window}: cannot create the results file \"{name}\" in "
                     "{folder}: {error}; the reports go to the console only")

NAME_STAMP = "local date %Y.%m.%d time %H.%M.%S"
_NAME = re.compile(r"results_(?P<program>[a-z]+)_windows @ (?P<window>\d+) of (?P<host>.*) @ "
                   r"(?P<stamp>local date \d{4}\.\d\d\.\d\d time \d\d\.\d\d\.\d\d)"
                   r"(?:-(?P<variant>\d+))?\.txt")


@dataclass(frozen=True)
class Program:
    name: str                 # shardfall | latticeglow
    display_name: str         # Shardfall | Latticeglow
    title_line: str           # first line of its results files
    title_blank_lines: int    # empty lines after the title line
    window_title_prefix: str  # window title without the window index
    quantity: str             # what a frame is counted in: triangles | vertices
    quantity_unit: str        # unit of the workload rate
    rate_word: str            # the rate lines' word: Triangles | Vertex
    frame_lines: tuple        # the frame report, without its closing empty line

    @property
    def frame_time_line(self):
        return next(line for line in self.frame_lines if "{seconds}" in line.template)

    @property
    def frame_rate_line(self):
        return self.frame_lines[-1]

    @property
    def summary_lines(self):
        return (SUMMARY_TIME, SUMMARY_ANGLES,
                Line("Average %s/Sec: {rate} %s/Sec." % (self.rate_word, self.rate_word)))

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

    @property
    def results_glob(self):
        return "results_%s_windows @ *.txt" % self.name

    def results_window(self, file_name):
        """The window index in a results file name of this program, or None."""
        name = parse_results_name(file_name)
        return name.window if name and name.program == self.name else None


SHARDFALL = Program(
    name="shardfall",
    display_name="Shardfall",
    title_line="Tarnwick :: Oxbrindle Benchmark Graphics Shardfall for Windows on x86 64bit "
               "system 2022.09.29.",
    title_blank_lines=2,
    window_title_prefix="OPENGL Shardfall 64  Thread: ",
    quantity="triangles",
    quantity_unit="triangles/s",
    rate_word="Triangles",
    frame_lines=(Line("window: {glut_window}"), Line("It drew {triangles} Triangles."),
                 Line("It spent: {seconds} Secs. "), FRAME_ANGLES,
                 Line("It was: {rate} Triangles/sec.")),
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
    rate_word="Vertex",
    frame_lines=(Line("window: {window} @ {host}"), Line("The system spent: {seconds} Secs. "),
                 FRAME_ANGLES, Line("It was: {rate} Vertex/sec.")),
)

PROGRAMS = {p.name: p for p in (SHARDFALL, LATTICEGLOW)}


def program_by_title(line):
    for program in PROGRAMS.values():
        if line == program.title_line:
            return program
    return None


# ---------------------------------------------------------------- results file names

@dataclass(frozen=True)
class ResultsName:
    program: str
    window: int
    host: str
    start: datetime.datetime  # local time of the window's start, to the second
    variant: int              # 1, or n for a name taken before: "... HH.MM.SS-n.txt"

    @property
    def stamp(self):
        return self.start.strftime("%Y.%m.%d %H.%M.%S")


def parse_results_name(file_name):
    m = _NAME.fullmatch(file_name)
    if m is None or m.group("program") not in PROGRAMS:
        return None
    try:
        start = datetime.datetime.strptime(m.group("stamp"), NAME_STAMP)
    except ValueError:
        return None
    return ResultsName(m.group("program"), int(m.group("window")), m.group("host"), start,
                       int(m.group("variant") or 1))


def results_name(program, window, host, start, variant=1):
    """The file name a window gives its results file; start is a datetime."""
    name = "results_%s_windows @ %d of %s @ %s" % (program, window, host,
                                                   start.strftime(NAME_STAMP))
    return name + ("-%d.txt" % variant if variant > 1 else ".txt")


# ---------------------------------------------------------------- console lines of a run

# The lines that say what became of a window's results file: one at the window's end, and
# the ones a window prints on standard error when the file first fails.
END_STATES = (("complete", RESULTS_SAVED), ("incomplete", RESULTS_INCOMPLETE),
              ("not created", RESULTS_NOT_CREATED), ("removed", RESULTS_REMOVED))
# The states in which a window's results file does not hold all its reports.
LOST_STATES = ("incomplete", "not created", "removed")
ERROR_STATES = (("incomplete", WRITE_FAILED), ("not created", CREATE_FAILED))


def results_file_states(lines):
    """{window: {"state", "error", "path"}} from the end-of-window lines among a run's
    console lines. A window that printed none of them is not in the result."""
    states = {}
    for line in lines:
        line = line.rstrip("\r")
        for state, template in END_STATES:
            fields = template.match(line)
            if fields is None:
                continue
            name = parse_results_name(fields["path"].replace("\\", "/").rsplit("/", 1)[-1])
            if name is not None:
                states[name.window] = {"state": state, "error": fields.get("error"),
                                       "path": fields["path"]}
            break
    return states
