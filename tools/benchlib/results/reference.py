"""Reference rates: what one window of a kind of node should reach, with tolerances.

A reference file is TOML (docs/tools.md, "References with tolerances"), one table a kind of
node:

    [[reference]]
    program = "latticeglow"
    windows = 4                  # optional: only runs of this many windows
    depth = 16                   # optional: only runs at this screen depth
    hosts = "node*"              # optional: host names it covers (shell pattern)
    renderer = "llvmpipe*"       # optional: renderers it covers (shell pattern)
    rate_per_window = 1.3e6      # the workload rate (vertices/s, triangles/s) of one window
    lower = 10                   # per cent below it still accepted
    upper = 25                   # per cent above it still accepted
    note = "accepted nodes, December"   # optional

read_reference(path) gives its entries or raises ReferenceError naming the file and line;
match() picks the entry that covers one host of a run: the one naming the most of windows,
depth, hosts and renderer, the first in the file among equals.
"""

import fnmatch
import math
import re
import tomllib
from dataclasses import dataclass

from .files import read_bytes, shown
from .layout import PROGRAMS

SIZE_LIMIT = 1 << 20
TEXT, WHOLE, NUMBER = "a text", "a whole number of 1 or more", "a number"
KEYS = {"program": TEXT, "windows": WHOLE, "depth": WHOLE, "hosts": TEXT, "renderer": TEXT,
        "rate_per_window": NUMBER, "lower": NUMBER, "upper": NUMBER, "note": TEXT}
REQUIRED = ("program", "rate_per_window", "lower", "upper")
CHOOSING = ("windows", "depth", "hosts", "renderer")  # what narrows an entry to some runs


class ReferenceError(Exception):
    pass


@dataclass(frozen=True)
class Entry:
    program: str
    rate_per_window: float
    lower: float          # per cent
    upper: float          # per cent
    windows: int = None
    depth: int = None
    hosts: str = None
    renderer: str = None
    note: str = None
    line: int = None      # the line of its [[reference]]

    @property
    def low(self):
        return self.rate_per_window * (1 - self.lower / 100)

    @property
    def high(self):
        return self.rate_per_window * (1 + self.upper / 100)

    def covers(self, program, windows=None, depth=None, host=None, renderer=None):
        """Whether the entry applies to a host of a run; a fact the run does not know never
        matches an entry that asks for it."""
        return program == self.program and \
            (self.windows is None or windows == self.windows) and \
            (self.depth is None or depth == self.depth) and \
            (self.hosts is None or (host is not None and
                                    fnmatch.fnmatchcase(host, self.hosts))) and \
            (self.renderer is None or (renderer is not None and
                                       fnmatch.fnmatchcase(renderer, self.renderer)))

    @property
    def specificity(self):
        return sum(getattr(self, k) is not None for k in CHOOSING)


def match(entries, program, windows=None, depth=None, host=None, renderer=None):
    """The entry covering a host of a run, or None."""
    found = [e for e in entries if e.covers(program, windows, depth, host, renderer)]
    return max(found, key=lambda e: e.specificity) if found else None  # max keeps the first


def _header_lines(lines):
    return [i + 1 for i, line in enumerate(lines)
            if re.match(r"\s*\[\[\s*reference\s*\]\]", line)]


def _key_line(lines, key, start=1, end=None):
    """The line (1-based) where key is set between lines start and end, or None: tomllib
    does not say where a value stood."""
    pattern = re.compile(r"""\s*(%s|"%s"|'%s')\s*[=.]""" % ((re.escape(key),) * 3))
    for number in range(start, (end or len(lines)) + 1):
        if number <= len(lines) and pattern.match(lines[number - 1]):
            return number
    return None


def _check(value, kind):
    if kind == TEXT:
        return isinstance(value, str)
    if kind == WHOLE:
        return isinstance(value, int) and not isinstance(value, bool) and value >= 1
    return isinstance(value, (int, float)) and not isinstance(value, bool) and \
        math.isfinite(value)


def read_reference(path):
    """[Entry] of a reference file; ReferenceError (one line, with file and line) when it
    cannot be read or holds anything it should not."""
    where = shown(path)
    try:
        text = read_bytes(path, SIZE_LIMIT).decode("utf-8")
    except OSError as e:
        raise ReferenceError("cannot read the reference %s: %s" % (where, e.strerror or e)) \
            from None
    except UnicodeDecodeError as e:
        raise ReferenceError("%s: not UTF-8 text (byte %d)" % (where, e.start)) from None
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ReferenceError("%s: not TOML: %s" % (where, e)) from None
    except RecursionError:  # arrays or tables nested without end
        raise ReferenceError("%s: nested too deep to be a reference file" % where) from None
    lines = text.splitlines()

    def fail(line, message):
        raise ReferenceError("%s:%s %s" % (where, "%d:" % line if line else "", message))

    for key in data:
        if key != "reference":
            fail(_key_line(lines, key), "unknown key %r (a reference file holds "
                                        "[[reference]] tables)" % key)
    tables = data.get("reference")
    if not isinstance(tables, list) or not tables or \
            not all(isinstance(t, dict) for t in tables):
        fail(_key_line(lines, "reference"), "no [[reference]] tables")
    headers = _header_lines(lines)
    entries = []
    for i, table in enumerate(tables):
        start = headers[i] if i < len(headers) else None
        end = headers[i + 1] - 1 if i + 1 < len(headers) else None
        name = "reference %d" % (i + 1)
        for key, value in table.items():
            line = _key_line(lines, key, start or 1, end) if start else None
            if key not in KEYS:
                fail(line, "%s: unknown key %r (known: %s)" % (name, key, ", ".join(KEYS)))
            if not _check(value, KEYS[key]):
                fail(line, "%s: %s must be %s, not %r" % (name, key, KEYS[key], value))
        for key in REQUIRED:
            if key not in table:
                fail(start, "%s has no %s" % (name, key))
        if table["program"] not in PROGRAMS:
            fail(_key_line(lines, "program", start or 1, end) if start else None,
                 "%s: program %r is none of %s" % (name, table["program"],
                                                   ", ".join(PROGRAMS)))
        if table["rate_per_window"] <= 0 or not 0 <= table["lower"] < 100 or \
                table["upper"] < 0:
            fail(start, "%s: rate_per_window must be above 0, lower from 0 to below 100, "
                        "upper 0 or more" % name)
        entries.append(Entry(line=start, **table))
    return entries
