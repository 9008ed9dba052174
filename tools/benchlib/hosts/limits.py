"""What a host can hold, as figures: the screens an Xvfb makes, the X clients a display
admits, the open files a launcher needs and the memory a window takes. Plain functions of
numbers; the refusals built on them are the pre-flight's.
"""

# The programs' tables hold 4,096 processes (harness/state.hpp's MaxWindows): the console
# rank and 4,095 windows. No host needs more slots than that either.
MAX_RANKS = 4096
MAX_WINDOWS = MAX_RANKS - 1
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






def launcher_files(windows):
    return LAUNCHER_FILES + LAUNCHER_FILES_PER_WINDOW * windows






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


def windows_that_fit(program, depth, available, xvfb_bytes=0):
    """The most windows whose estimate fits in `available` beside the launcher and the
    Xvfb's screen."""
    return max(0, int((available - LAUNCH_BYTES - xvfb_bytes) // window_bytes(program, depth)))


def memory_needed(program, windows, depth, xvfb_bytes=0):
    """The memory the windows, the launcher and the runner's own Xvfb take together."""
    return window_bytes(program, depth) * windows + LAUNCH_BYTES + xvfb_bytes
