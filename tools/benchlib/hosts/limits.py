"""What a host can hold: screen, colour depth and memory for its windows. Each refusal is one
line naming the limit and the way out; plain functions of numbers, testable without a display.
"""

WINDOW_SIZE = 1440
WINDOW_STEP = 100
SHARDFALL_WINDOW_BYTES = 663_580_800  # the scene buffer of every shardfall window
# A latticeglow display list under Mesa: about 714 MB for the 2^24 points of depth 24.
LATTICE_BYTES_PER_POINT = 714e6 / 2 ** 24
LATTICE_BITS = {16: 16, 24: 24, 30: 30}  # channel bits of the lattice at each screen depth


class Refusal(Exception):
    """A run that must not start; the message is the whole explanation."""


def screen_needed(windows):
    """Width and height of a screen that holds every window: 1440 + 100 * N square."""
    return WINDOW_SIZE + WINDOW_STEP * windows


def check_screen(screen, windows, display):
    need = screen_needed(windows)
    if screen["width"] < need or screen["height"] < need:
        raise Refusal("the screen of %s is %dx%d, but %d window(s) need %dx%d (1440 + 100 x %d): "
                      "use a larger screen or leave out --display (bench-run then starts an "
                      "Xvfb of that size)" % (display, screen["width"], screen["height"],
                                              windows, need, need, windows))


def check_depth(requested, display, actual):
    if requested is not None and requested != actual:
        raise Refusal("--depth %d, but the display %s has depth %d: leave out --depth or use a "
                      "display of depth %d" % (requested, display, actual, requested))


def lattice_points(depth):
    """Points of latticeglow's lattice on a screen of this depth (one per colour)."""
    return 2 ** LATTICE_BITS.get(depth, depth)


def window_bytes(program, depth):
    """Estimated memory of one window process beyond the program itself."""
    if program == "shardfall":
        return SHARDFALL_WINDOW_BYTES
    return int(lattice_points(depth) * LATTICE_BYTES_PER_POINT)


def framebuffer_bytes(width, height, depth):
    return width * height * (2 if depth <= 16 else 4)


def meminfo_bytes(key, meminfo="/proc/meminfo"):
    """A /proc/meminfo value ("MemAvailable", "MemTotal") in bytes; None when missing."""
    try:
        with open(meminfo) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def mem_available():
    return meminfo_bytes("MemAvailable")


def human_bytes(n):
    for unit, size in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6)):
        if n >= size:
            return "%.3g %s" % (n / size, unit)
    return "%d bytes" % n


def check_memory(program, windows, depth, available, xvfb_bytes=0):
    """Refuses when the windows (and the runner's own Xvfb) would not fit in `available`."""
    if available is None:
        return
    each = window_bytes(program, depth)
    need = each * windows + xvfb_bytes
    if need <= available:
        return
    fit = max(0, (available - xvfb_bytes) // each)
    what = ("%s bytes each" % format(each, ",") if program == "shardfall" else
            "a display list of about %s each for %s points at depth %d"
            % (human_bytes(each), format(lattice_points(depth), ","), depth))
    way_out = "run at most %d window(s)" % fit if fit else (
        "use a screen of lower depth (--depth 24 or 16)" if program == "latticeglow"
        else "free memory first")
    raise Refusal("%d %s window(s) need about %s (%s%s), more than the %s available "
                  "(MemAvailable): %s" % (windows, program, human_bytes(need), what,
                                          ", with the Xvfb's screen" if xvfb_bytes else "",
                                          human_bytes(available), way_out))
