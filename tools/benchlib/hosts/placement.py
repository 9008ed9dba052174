"""Where the programs put their windows, and the screens bench-run makes for them.

Window w belongs at (100 w, 100 w). A place fits a screen when the window's first 100 x 100
pixels lie on it and its corner within X's coordinates (up to 32,767; a screen of unknown
size is bounded by that alone): a window whose own
place fits keeps it; the others continue the diagonal from its top, window w at
100 x (w mod P), P being the number of places that fit. The programs place their windows so
(a window off the screen would never be visible, and freeglut draws only visible windows);
this module predicts it.

A screen suits a host's windows when each has a place of its own; bench-run prefers screens
on which every window lies whole (their frames then cost the same as on a screen where all
windows keep their own places), else one on which the last windows of the diagonal are partly
off the screen (the driver then stacks them so that each stays visible).
"""

from . import limits

WINDOW_SIZE = 1440
STEP = 100
X_MAX = 32767


def places_that_fit(width, height):
    """The places on the diagonal of a screen of this size (unknown: 0 or less)."""
    places = X_MAX // STEP + 1
    if width > 0 and height > 0:
        places = min(places, min(width, height) // STEP)
    return max(places, 1)


def place(window, width, height):
    """The window's offset from the screen's corner, the same on both axes."""
    return STEP * (window % places_that_fit(width, height))


def moved(windows, width, height):
    """The windows that a screen of this size does not show at their own place."""
    return [w for w in windows if place(w, width, height) != STEP * w]


def moved_note(away, screen, host=None):
    """The one line that says which windows (`away`, from moved()) do not sit at their own
    place."""
    width, height = screen["width"], screen["height"]
    return ("window(s) %s%s: their own places (100 x their number) do not fit the %dx%d "
            "screen; they continue the diagonal from its top, window w at 100 x (w mod %d)"
            % (span(away), " on " + host if host else "", width, height,
               places_that_fit(width, height)))


def own_places_screen(highest):
    """The side of the square screen on which windows up to `highest` keep their own places,
    whole: 1440 + 100 x highest."""
    return WINDOW_SIZE + STEP * highest


def suits(windows, width, height, whole=True):
    """Whether every window has a place of its own on a screen of this size, and (whole) lies
    wholly on it."""
    places = [place(w, width, height) for w in windows]
    if len(set(places)) != len(places):
        return False
    return not whole or max(places) + WINDOW_SIZE <= min(width, height)


def largest_side(depth):
    side = X_MAX
    while side > WINDOW_SIZE and not limits.xvfb_holds(side, depth):
        side -= 1
    return side


def own_screen(windows, depth):
    """The side of the square screen bench-run makes for a host's windows: the one on which
    every window keeps its own place if an Xvfb of this depth can make it; else the smallest
    side (100 x P + 40 for P places) that suits them whole, else partly; None when none
    does."""
    highest = max(windows)
    side = own_places_screen(highest)
    if limits.xvfb_holds(side, depth):
        return side
    sides = range(STEP * len(windows) + WINDOW_SIZE % STEP, largest_side(depth) + 1, STEP)
    for whole in (True, False):
        side = next((s for s in sides if suits(windows, s, s, whole)), None)
        if side is not None:
            return side
    return None


def most_windows(depth):
    """The most windows, numbered from 1, that one screen of this depth holds."""
    side = largest_side(depth)
    return places_that_fit(side, side)


def span(windows):
    """Window numbers as ranges: "1-3, 7"."""
    parts, run = [], []
    for w in sorted(windows):
        if run and w != run[-1] + 1:
            parts.append(run)
            run = []
        run.append(w)
    if run:
        parts.append(run)
    return ", ".join(str(r[0]) if len(r) == 1 else "%d-%d" % (r[0], r[-1]) for r in parts)
