"""What a host can hold: screen, colour depth, memory, X clients and open files for its
windows. Each refusal is one line naming the limit and the way out; plain functions of
numbers, testable without a display.
"""

import resource

XVFB_MAX_SIDE = 32767       # X coordinates are 16-bit signed
XVFB_MAX_BYTES = 2 ** 31 - 1
XVFB_CLIENT_LIMITS = (64, 128, 256, 512, 1024, 2048)  # what Xvfb's -maxclients accepts
# X clients beside the windows: the server's own (it takes one of the limit's places), the
# runner's watcher, and one passing (glxinfo, the readiness probe); room for a few more (a
# user's xdotool or xwininfo).
CLIENTS_BESIDE_WINDOWS = 3
CLIENT_MARGIN = 8
# Open files of the launcher on one host, measured with OpenMPI's mpiexec: about 20 of its
# own, and 3 to 4 for every rank it starts (a pipe, a socket and a pseudo-terminal for its
# output, one more while it starts): 73 at 17 ranks, 252 at 65, 421 at 129.
LAUNCHER_FILES = 32
LAUNCHER_FILES_PER_WINDOW = 4
SHARDFALL_WINDOW_BYTES = 663_580_800  # the scene buffer of every shardfall window
# Memory is proportional set size (PSS: a shared page counted in equal parts by the processes
# that map it), measured under Mesa's llvmpipe (22.3) with bench/window_memory.py: what one
# more window adds to the run's PSS (its own process, its share of the libraries, the Xvfb's
# and the launcher's change), from 1 or 8 windows to 4, 8 or 32. A window's resident set
# (VmRSS, ~146 MB for latticeglow at depth 16) counts ~75 MB of libraries (LLVM, Mesa, MPI)
# that exist once however many windows map them: summed over the windows it counts them N
# times. No window holds more while it initialises than once it has drawn (VmHWM equals
# VmRSS then), so windows initialising together need no more than the figures here.
# A window process beside its scene: latticeglow at depth 16 adds 71.7 MB (OpenMPI, also
# with LP_NUM_THREADS=1) to 74.7 MB (MPICH), a 65,536-point lattice included; shardfall adds
# 718-726 MB at depth 16, 24 and 30, 55-62 MB beside its buffer. The GL context, the buffers
# of its 1440 x 1440 window and the shared-memory image it shows (8.3 MB), Mesa, MPI.
WINDOW_PROCESS_BYTES = 70_000_000
# A latticeglow window at depth 24: 884 MB (VmRSS) alone, about 44 bytes a point beside the
# process and the libraries. Drawing beside other windows it grows in steps of ~37 MB as
# llvmpipe keeps more scenes of binned points waiting for its rasterizer threads, up to about
# a whole frame's points: 1.83 GB with LP_NUM_THREADS=1 (2 windows, reached in 40 s and held
# for 5 minutes), 1.14 GB with llvmpipe's own threads in 2 minutes. The estimate takes the
# largest (about 102 bytes a point beside the process) with a little room.
LATTICE_BYTES_PER_POINT = 105
# The launcher, the console (rank 0) and the first copy of the libraries, once per host:
# 39-50 MB measured with either MPI.
LAUNCH_BYTES = 50_000_000
LATTICE_BITS = {16: 16, 24: 24, 30: 30}  # channel bits of the lattice at each screen depth


class Refusal(Exception):
    """A run that must not start; the message is the whole explanation."""


def framebuffer_row_bytes(width, depth):
    """Bytes of one row of an Xvfb screen: 2 per pixel up to depth 16, else 4, padded to 32
    bits."""
    return (width * (2 if depth <= 16 else 4) + 3) // 4 * 4


def xvfb_holds(side, depth):
    """Whether Xvfb can make a square screen of this side: X coordinates are 16-bit signed,
    and Xvfb counts its framebuffer's bytes in a signed 32-bit integer (a larger screen is
    refused, or, where the count wraps round, made with a framebuffer too small for it)."""
    return side <= XVFB_MAX_SIDE and framebuffer_bytes(side, side, depth) <= XVFB_MAX_BYTES


def xvfb_max_clients(windows):
    """The smallest -maxclients Xvfb accepts that holds the windows, the runner's own
    connections and a margin; None when even the largest does not."""
    need = windows + CLIENTS_BESIDE_WINDOWS + CLIENT_MARGIN
    return next((n for n in XVFB_CLIENT_LIMITS if n >= need), None)


def client_limit(resource_id_mask):
    """The clients an X server admits, from the resource-id mask it gives every client: of
    the 29 bits of an id, those the mask leaves out number the client. The server's own
    client takes one of them."""
    return 1 << (29 - bin(resource_id_mask).count("1"))


def check_clients(windows, limit, connected, display, files=None):
    """A display the user named: room for the windows beside the clients it has. connected:
    the clients it has now, the server's own and the runner's included (X-Resource tells), or
    None when the display does not tell (then only those two are assumed). files: [the
    server's limit of open files, the files it has open], when its process can be read: a
    client takes one more, and a server without one leaves the client waiting unrefused (the
    windows never appear)."""
    have = connected if connected is not None else 2
    free = limit - have
    if files is not None and files[0] - files[1] < min(windows, free):
        room = max(0, files[0] - files[1])
        raise Refusal("the display %s has room for %d more X client(s): its server's limit of "
                      "open files is %d and it has %d open (every client takes one), but %d "
                      "window(s) need one each: run at most %d window(s) there, start the "
                      "server with a higher limit (ulimit -n), or leave out --display "
                      "(bench-run then starts an Xvfb with room for them)"
                      % (display, room, files[0], files[1], windows, room))
    if windows <= free:
        return
    told = ("%d connected now (X-Resource), the server's own and the runner's among them"
            % connected if connected is not None else
            "assuming only the server's own and the runner's are connected: the display has "
            "no X-Resource extension to tell")
    raise Refusal("the display %s admits %d X clients (%s), but %d window(s) need one each: "
                  "run at most %d window(s) there, or leave out --display (bench-run then "
                  "starts an Xvfb with room for them)" % (display, limit, told, windows,
                                                          max(0, free)))


def raise_file_limit():
    """Raises this process's soft limit of open files to its hard limit (what it starts
    inherits it); returns the soft limit then, None for no limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        except (ValueError, OSError):
            pass
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    return None if soft == resource.RLIM_INFINITY else soft


def launcher_files(windows):
    return LAUNCHER_FILES + LAUNCHER_FILES_PER_WINDOW * windows


def check_open_files(windows, limit):
    """The launcher on this host holds a few open files for every window it starts."""
    if limit is None or launcher_files(windows) <= limit:
        return
    raise Refusal("%d windows need about %d open files in the launcher (%d and %d a window), "
                  "more than the limit of %d (the hard limit, ulimit -Hn, to which bench-run "
                  "raised its own): run at most %d window(s), or raise the hard limit (nofile "
                  "in /etc/security/limits.conf, LimitNOFILE= of a systemd service)"
                  % (windows, launcher_files(windows), LAUNCHER_FILES,
                     LAUNCHER_FILES_PER_WINDOW, limit,
                     max(0, (limit - LAUNCHER_FILES) // LAUNCHER_FILES_PER_WINDOW)))


def check_depth(requested, display, actual):
    if requested is not None and requested != actual:
        raise Refusal("--depth %d, but the display %s has depth %d: leave out --depth or use a "
                      "display of depth %d" % (requested, display, actual, requested))


def lattice_points(depth):
    """Points of latticeglow's lattice on a screen of this depth (one per colour)."""
    return 2 ** LATTICE_BITS.get(depth, depth)


def scene_bytes(program, depth):
    """Estimated memory of one window's scene."""
    if program == "shardfall":
        return SHARDFALL_WINDOW_BYTES
    return int(lattice_points(depth) * LATTICE_BYTES_PER_POINT)


def window_bytes(program, depth):
    """Estimated memory of one window process."""
    return WINDOW_PROCESS_BYTES + scene_bytes(program, depth)


def framebuffer_bytes(width, height, depth):
    return framebuffer_row_bytes(width, depth) * height


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


def windows_that_fit(program, depth, available, xvfb_bytes=0):
    """The most windows whose estimate fits in `available` beside the launcher and the
    Xvfb's screen."""
    return max(0, int((available - LAUNCH_BYTES - xvfb_bytes) // window_bytes(program, depth)))


def memory_way_out(program, windows, depth, available, xvfb_bytes=0):
    """What lets a run that does not fit go ahead: fewer windows, a lower depth for
    latticeglow (its lattice shrinks with the depth; only depths where more windows fit,
    each with how many), or else more memory or more hosts."""
    most = windows_that_fit(program, depth, available, xvfb_bytes)
    ways = ["run at most %d window(s)" % most] if most else []
    lower = sorted((d for d in LATTICE_BITS if d < depth), reverse=True)
    for d in (lower if program == "latticeglow" else []):
        if most >= windows:
            break
        # The runner's own Xvfb at that depth: 2 bytes a pixel up to depth 16, else 4.
        screen = xvfb_bytes * framebuffer_row_bytes(1, d) // framebuffer_row_bytes(1, depth)
        fit = windows_that_fit(program, d, available, screen)
        if fit > most:
            ways.append("use a screen of depth %d (--depth %d), where %s" % (
                d, d, "%d fit" % fit if fit < windows else
                "all %d fit" % windows if windows > 1 else "it fits"))
            most = fit
    if most < windows:
        ways.append("spread the windows over more hosts (--hostfile)" if most else
                    "free memory first or use more hosts (--hostfile)")
    return ", or ".join(ways)


def check_memory(program, windows, depth, available, xvfb_bytes=0):
    """Refuses when the windows, the launcher and the runner's own Xvfb would not fit in
    `available`."""
    if available is None:
        return
    each = window_bytes(program, depth)
    need = each * windows + LAUNCH_BYTES + xvfb_bytes
    if need <= available:
        return
    scene = scene_bytes(program, depth)
    what = "%s each: %s for the process and its window and %s; %s for the launcher and " \
        "the console%s" % (
            human_bytes(each), human_bytes(WINDOW_PROCESS_BYTES),
            "the scene buffer of %s bytes" % format(scene, ",") if program == "shardfall" else
            "%s for the %s points of the lattice at depth %d"
            % (human_bytes(scene), format(lattice_points(depth), ","), depth),
            human_bytes(LAUNCH_BYTES), ", with the Xvfb's screen" if xvfb_bytes else "")
    raise Refusal("%d %s window(s) need about %s (%s), more than the %s available "
                  "(MemAvailable): %s" % (windows, program, human_bytes(need), what,
                                          human_bytes(available),
                                          memory_way_out(program, windows, depth, available,
                                                         xvfb_bytes)))
