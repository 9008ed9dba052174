"""Pre-flight: every check of a run before anything starts. A run that cannot work is refused
here, in one line that names the limit and the way out (bench-run's status 2). The figures
are hosts.limits' and hosts.placement's.

Two stages. The plan checks need the plan alone and come before any host is asked anything
(no agent, launcher or Xvfb has started): the window count, the launcher's options, the
output folder, --wrap, --history, --repeat-until and the screens bench-run would make. The
host checks come once every host has said what it is: the displays the user named (depth,
size, X clients, another run on them), each host's memory (its Xvfb's screens counted) and,
on the runner's machine, the launcher's open files.
"""

import contextlib
import os
import shlex
import shutil
import stat

from ..history.recording import HistoryError, check_target
from ..hosts import limits, placement
from ..results.numbers import decimal_bytes
from .refusal import Refusal

# Below this much free space the output folder's file system counts as full.
FULL_BELOW = 1 << 20


def check_plan(plan):
    """What needs the plan alone, before anything starts on any host."""
    check_window_count(len(plan.windows), plan.max_windows)
    check_launcher_options(plan)
    check_out(plan.out, new=plan.args.out is None)
    check_wrap(plan)
    check_history(plan.args)
    if plan.args.repeat_until and plan.args.repeat < 3:
        raise Refusal("--repeat-until needs --repeat K of 3 or more: K is the most repeats the "
                      "series runs, and a spread needs 3")
    for host in plan.hosts:
        if host.windows and plan.own_display:
            with naming(plan, host):
                check_own_screen(host.windows, plan.depth, host.screen)


def check_hosts(plan, facts):
    """What needs the hosts' word; facts: {host: what the host said about itself}."""
    for host in plan.hosts:
        if host.windows:
            with naming(plan, host):
                check_host(plan, host, facts[host.name])


@contextlib.contextmanager
def naming(plan, host):
    """A refusal about one host of a run across hosts names it and its windows."""
    try:
        yield
    except Refusal as e:
        if not plan.across:
            raise
        raise Refusal("host %s (window(s) %s): %s" % (
            host.name, ", ".join(map(str, host.windows)), e)) from None


def check_host(plan, host, fact):
    depth = plan.depth
    if plan.displays:
        for display in fact["displays"]:
            check_named_display(plan, host, display)
        depth = min(display["screen"]["depth"] for display in fact["displays"])
    check_memory(plan.args.program, len(host.windows), depth, fact.get("mem_available"),
                 host.xvfb_bytes)
    if not plan.across:
        check_open_files(len(host.windows), fact.get("open_files"))


def check_named_display(plan, host, display):
    """One display the user named, with the windows dealt to it: let in, of the depth asked,
    large enough, room for their X clients, and no other run's windows on it."""
    name, windows = display["name"], display["windows"]
    if "error" in display:
        if "uthoriz" in display["error"]:
            raise Refusal("the display %s on %s refused the connection: set XAUTHORITY to a "
                          "file that holds its cookie (%s)" % (name, host.name, display["error"]))
        raise Refusal("the display %s on %s cannot be opened (%s): name a display that runs "
                      "there, or leave out --display" % (name, host.name, display["error"]))
    screen = display["screen"]
    check_depth(plan.args.depth, name, screen["depth"])
    check_display_size(screen, windows, name)
    clients = display.get("x_clients")
    if clients:
        check_clients(len(windows), limits.client_limit(clients["resource_id_mask"]),
                      clients["connected"], name, clients.get("files"))
    if display.get("titles_shown"):
        raise Refusal("the display %s already shows %s window(s) (%s): another run? Use the "
                      "runner's own Xvfb (leave out --display)"
                      % (name, plan.program.display_name, display["titles_shown"][0]))


# ---------------------------------------------------------------- the run as asked

def check_window_count(windows, most):
    if windows > most:
        raise Refusal("%d windows is more than %d, the most the programs hold (%s processes "
                      "with the console rank): run at most %d" % (windows, most,
                                                                  format(most + 1, ","), most))


def check_launcher_options(plan):
    """The user's own launcher options go to the launcher that starts the ranks."""
    a = plan.args
    if plan.slurm and a.launcher_args:
        raise Refusal("inside a Slurm allocation srun starts the ranks: give its options with "
                      "--srun-args, not --launcher-args or after --")
    if not plan.slurm and a.srun_args:
        raise Refusal("--srun-args is for runs inside a Slurm allocation; mpirun's options go "
                      "in --launcher-args or after --")


def check_wrap(plan):
    """A --wrap command that this machine cannot start (on other hosts it is found there)."""
    wrap = plan.args.wrap
    if wrap is None:
        return
    try:
        words = shlex.split(wrap)
    except ValueError as e:
        raise Refusal("--wrap %r cannot be split as a shell would: %s" % (wrap, e)) from None
    if not words:
        raise Refusal("--wrap is empty: name a command (e.g. \"taskset -c 0\")")
    if not plan.across and shutil.which(words[0]) is None:
        raise Refusal("the --wrap command %r is not found (PATH=%s): install it or name it by "
                      "its path" % (words[0], os.environ.get("PATH", "")))


def check_history(args):
    """A history the run could not be recorded in: a server URI holding a password (it would
    stand in run.json) or one libpq refuses, before anything is written."""
    target = None if args.no_history else args.history or os.environ.get("BENCH_HISTORY")
    if target:
        try:
            check_target(target)
        except HistoryError as e:
            raise Refusal("--history: %s" % e) from None


def check_out(path, new=False):
    """Refuses an --out that names a file, a folder that is not empty or not the user's alone,
    or a place that cannot be written. The folder itself is made once every check has passed
    (new: the default folder, made under a free name then: only its place is checked)."""
    if new:
        path = os.path.dirname(path)
    elif os.path.exists(path) and not os.path.isdir(path):
        raise Refusal("--out %s is a file, not a folder: name a new folder" % path)
    elif os.path.isdir(path):
        try:
            if os.listdir(path):
                raise Refusal("--out %s is not empty: name a new or empty folder" % path)
        except OSError as e:
            raise Refusal("cannot read --out %s (%s): name a folder you can write to"
                          % (path, e.strerror)) from None
        check_own_folder(path)
    parent = path
    while not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise Refusal("--out %s lies under the file %s: name a folder elsewhere"
                      % (path, parent))
    st = os.statvfs(parent)
    if not os.access(parent, os.W_OK | os.X_OK):
        read_only = st.f_flag & os.ST_RDONLY
        raise Refusal("--out %s cannot be written (%s %s): name a folder you can write to"
                      % (path, parent, "is on a read-only file system" if read_only
                         else "is not writable"))
    free = st.f_bavail * st.f_frsize
    if free < FULL_BELOW:
        raise Refusal("--out %s: the file system of %s is full (%d bytes free): free some "
                      "space or name a folder elsewhere" % (path, parent, free))


def check_own_folder(path):
    """An output folder that exists must be the user's and writable by nobody else: another
    user could plant links in it where the run writes its files."""
    st = os.stat(path)
    why = ("is owned by another user (uid %d)" % st.st_uid if st.st_uid != os.geteuid() else
           "may be written by others (mode %04o)" % stat.S_IMODE(st.st_mode)
           if st.st_mode & 0o022 else None)
    if why:
        raise Refusal("--out %s %s: name a new folder, or one of your own that only you may "
                      "write" % (path, why))


def out_unwritable(path, error):
    """The output folder could not be made or written after all."""
    return Refusal("cannot write to --out %s (%s): name a folder with room you can write to"
                   % (path, error))


# ---------------------------------------------------------------- screens and displays

def check_own_screen(windows, depth, side):
    """The screen bench-run makes for a host's windows (side None: no screen suits them)."""
    if side is not None:
        return
    most = placement.most_windows(depth)
    deeper = placement.most_windows(16)
    raise Refusal("%d window(s) numbered %d to %d cannot each have a place of their own on one "
                  "screen of depth %d (an Xvfb's framebuffer stays under 2 GiB and its "
                  "coordinates under 32768, room for %d places): put at most %d window(s) on "
                  "a host%s, or run across more hosts (--hostfile)"
                  % (len(windows), min(windows), max(windows), depth, most, most,
                     " (%d at --depth 16)" % deeper if deeper > most else ""))


def check_display_size(screen, windows, display):
    """A display the user named: each window whole at a place of its own."""
    width, height = screen["width"], screen["height"]
    if placement.suits(windows, width, height):
        return
    need = placement.own_places_screen(max(windows))
    raise Refusal("the screen of %s is %dx%d, too small for window(s) %s to each lie whole at "
                  "a place of their own (%dx%d would keep them at 100 x their number): give "
                  "the X server a larger screen (xrandr -d %s --fb %dx%d where its driver "
                  "allows; else Virtual %d %d in the Display subsection of xorg.conf's Screen, "
                  "with NVIDIA a MetaModes panning domain: docs/cluster.md, On GPU nodes), or "
                  "leave out --display (bench-run then starts an Xvfb that holds them)"
                  % (display, width, height, placement.span(windows), need, need, display,
                     need, need, need, need))


def check_depth(requested, display, actual):
    if requested is not None and requested != actual:
        raise Refusal("--depth %d, but the display %s has depth %d: leave out --depth or use a "
                      "display of depth %d" % (requested, display, actual, requested))


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


# ---------------------------------------------------------------- memory and open files

def check_open_files(windows, limit):
    """The launcher on this host holds a few open files for every window it starts."""
    if limit is None or limits.launcher_files(windows) <= limit:
        return
    raise Refusal("%d windows need about %d open files in the launcher (%d and %d a window), "
                  "more than the limit of %d (the hard limit, ulimit -Hn, to which bench-run "
                  "raised its own): run at most %d window(s), or raise the hard limit (nofile "
                  "in /etc/security/limits.conf, LimitNOFILE= of a systemd service)"
                  % (windows, limits.launcher_files(windows), limits.LAUNCHER_FILES,
                     limits.LAUNCHER_FILES_PER_WINDOW, limit,
                     max(0, (limit - limits.LAUNCHER_FILES) // limits.LAUNCHER_FILES_PER_WINDOW)))


def memory_way_out(program, windows, depth, available, xvfb_bytes=0):
    """What lets a run that does not fit go ahead: fewer windows, a lower depth for
    latticeglow (its lattice shrinks with the depth; only depths where more windows fit,
    each with how many), or else more memory or more hosts."""
    most = limits.windows_that_fit(program, depth, available, xvfb_bytes)
    ways = ["run at most %d window(s)" % most] if most else []
    lower = sorted((d for d in limits.LATTICE_BITS if d < depth), reverse=True)
    for d in (lower if program == "latticeglow" else []):
        if most >= windows:
            break
        # The runner's own Xvfb at that depth: 2 bytes a pixel up to depth 16, else 4.
        screen = xvfb_bytes * limits.framebuffer_row_bytes(1, d) \
            // limits.framebuffer_row_bytes(1, depth)
        fit = limits.windows_that_fit(program, d, available, screen)
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
    `available` (None: the host did not tell)."""
    if available is None:
        return
    need = limits.memory_needed(program, windows, depth, xvfb_bytes)
    if need <= available:
        return
    each, scene = limits.window_bytes(program, depth), limits.scene_bytes(program, depth)
    what = "%s each: %s for the process and its window and %s; %s for the launcher and " \
        "the console%s" % (
            decimal_bytes(each), decimal_bytes(limits.WINDOW_PROCESS_BYTES),
            "the scene buffer of %s bytes" % format(scene, ",") if program == "shardfall" else
            "%s for the %s points of the lattice at depth %d"
            % (decimal_bytes(scene), format(limits.lattice_points(depth), ","), depth),
            decimal_bytes(limits.LAUNCH_BYTES), ", with the Xvfb's screen" if xvfb_bytes else "")
    raise Refusal("%d %s window(s) need about %s (%s), more than the %s available "
                  "(MemAvailable): %s" % (windows, program, decimal_bytes(need), what,
                                          decimal_bytes(available),
                                          memory_way_out(program, windows, depth, available,
                                                         xvfb_bytes)))
