"""Several displays a host: the list a user names, and the windows dealt over it.

A node with several GPUs drives them as one X screen each (":0.0", ":0.1", ...) or as one
X server each (":0", ":1", ...); each window goes to one of them in turn.
"""

import re

# :display[.screen] of the host's own X server: a display over TCP ("localhost:0",
# "127.0.0.1:77") is another machine's to the other hosts of a run, and unencrypted.
_NAME = re.compile(r":(?P<number>\d+)(?:\.(?P<screen>\d+))?")


def _key(name):
    """What tells two names of one screen apart: ":0" and ":0.0" are the same."""
    m = _NAME.fullmatch(name)
    return int(m.group("number")), int(m.group("screen") or 0)


def screen_number(display):
    """The screen a display name opens (":0.1" -> 1, ":0" -> 0)."""
    m = _NAME.fullmatch(display or "")
    return int(m.group("screen") or 0) if m else 0


def parse_display_list(text):
    """The displays of "--display :0.0,:0.1" (or ":0,:1") in their order. Raises ValueError
    with one line naming every item that is not a display, or a screen named twice."""
    items = [item.strip() for item in text.split(",")]
    bad = [item for item in items if not _NAME.fullmatch(item)]
    if bad:
        raise ValueError("not a display: %s (each item is :N or :N.S, a display of the host's "
                         "own X server, e.g. --display "
                         ":0.0,:0.1 or --display :0,:1)"
                         % ", ".join('"%s"' % item for item in bad))
    seen = {}
    for item in items:
        if _key(item) in seen:
            raise ValueError("the display list names one screen twice: %s and %s"
                             % (seen[_key(item)], item))
        seen[_key(item)] = item
    return items


def deal_windows(windows, displays):
    """{window: display}: a host's windows, in their order, dealt over its displays in turn."""
    if not displays:
        raise ValueError("no display to put the windows on")
    return {window: displays[i % len(displays)] for i, window in enumerate(windows)}
