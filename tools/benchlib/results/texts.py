"""Texts from outside the tools (a renderer, a CPU model, a host, program or file name, a
note) made inert for each place they are shown: one function a sink.

What a text must not do anywhere: move the terminal's cursor, colour or retitle it (control
characters, escape sequences), turn the text after it around (bidirectional controls such
as U+202E), or fail the writing (lone surrogates, which carry bytes that were not UTF-8).
Those characters are shown as visible escapes: \\x1b, \\u202e, \\xff for a byte. Line ends
and tabs stay. JSON needs nothing here: the tools write it ASCII-only, every such
character as a \\u escape.
"""

import contextlib
import functools
import re
import sys
import unicodedata

# C0 and C1 controls but tab and line end, DEL, the bidirectional controls and marks, the
# line and paragraph separators, the byte order mark, and lone surrogates.
_UNSAFE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e"
                     "\u2066-\u2069\ufeff\ud800-\udfff]")


def _escape(match):
    code = ord(match.group())
    if 0xdc80 <= code <= 0xdcff:  # a byte that was not UTF-8, as Python carries it
        return "\\x%02x" % (code - 0xdc00)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def visible(text):
    return _UNSAFE.sub(_escape, str(text))


def for_console(text):
    return visible(text)


def for_html(text):
    """The text for a page (whose template escapes <, > and & itself)."""
    return visible(text)


def for_plot(text):
    """The text for a matplotlib title, label or legend: a `$` no longer starts mathtext
    (where `$\\foo{$` is an error that ends the plot), and a code point no font has a glyph
    for (unassigned, a noncharacter such as U+FFFE, private use) is a visible escape rather
    than a warning of matplotlib's per plot."""
    shown = "".join(("\\u%04x" if ord(c) < 0x10000 else "\\U%08x") % ord(c)
                    if unicodedata.category(c) in ("Cn", "Co") else c for c in visible(text))
    return shown.replace("$", r"\$").replace("\t", " ")


def for_csv(text):
    """A text cell of a CSV file (the csv module quotes separators and line ends): one that
    a spreadsheet would take for a formula starts with a quote."""
    text = visible(text)
    return "'" + text if text[:1] in ("=", "+", "-", "@") else text


class _InertStream:
    """A text stream that writes every text through for_console."""

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        return self._stream.write(for_console(text))

    def __getattr__(self, name):
        return getattr(self._stream, name)


def inert_console(main):
    """A command's main whose standard output and error show outside texts inert."""
    @functools.wraps(main)
    def wrapped(*args, **kwargs):
        with contextlib.ExitStack() as stack:
            for name in ("stdout", "stderr"):
                stream = getattr(sys, name)
                if not isinstance(stream, _InertStream):
                    stack.enter_context(_swapped(name, _InertStream(stream)))
            return main(*args, **kwargs)
    return wrapped


@contextlib.contextmanager
def _swapped(name, stream):
    before = getattr(sys, name)
    setattr(sys, name, stream)
    try:
        yield
    finally:
        setattr(sys, name, before)
