"""Reference pictures: the frame a window must show, drawn by Mesa's software rasteriser on a
display of the tools' own.

A window's picture depends on the program, the screen's depth, the window's size, its angle
step and, for shardfall, its window number (window w at angle step a draws 3,600 x w x a
indices); latticeglow's windows of one depth draw the same lattice. One lone process of the
program draws each distinct picture: libbench-rank.so makes it take the window's number as
its rank without the windows before it. It is paused as its window appears and stepped with
c to the angle step, frame by frame as the run's windows drew theirs (a frame's lights
depend on the frames before it).
"""

import glob
import os
import subprocess
import tempfile
import time

from ..pictures import pixels
from ..results.follow import LineTail
from ..results.layout import INIT_LINE, PROGRAMS
from .processes import die_with_parent, stop_process
from .xvfb import Xvfb, x_authority
from .xwindows import WindowWatcher

SHIM_NAME = "libbench-rank.so"
# Mesa's software rasteriser, whatever the run's windows used.
SOFTWARE_GL = {"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "llvmpipe",
               "__GLX_VENDOR_LIBRARY_NAME": "mesa", "vblank_mode": "0"}
NOT_PASSED = ("LD_PRELOAD", "DISPLAY", "XAUTHORITY", "MESA_LOADER_DRIVER_OVERRIDE", "DRI_PRIME",
              "__NV_PRIME_RENDER_OFFLOAD")
# A launcher's variables (an agent started by mpirun, hydra or srun has them) would make the
# lone process join the launcher's job instead of being a job of its own.
LAUNCHER_PREFIXES = ("OMPI_", "PMIX_", "PMI_", "HYDRA_", "HYDI_", "MPIR_", "SLURM_")


def lone_env(environ, extra):
    """The environment of a lone process: environ without a launcher's variables, then
    extra (the variables MPI needs to start alone here, say)."""
    return dict({k: v for k, v in environ.items() if not k.startswith(LAUNCHER_PREFIXES)},
                **extra)


class ReferenceError(Exception):
    pass


def find_shim(program_path, build_dir, tools_dir):
    """libbench-rank.so beside the tools (installed) or in the build tree; None if absent."""
    places = [os.path.join(tools_dir, SHIM_NAME)]
    if build_dir:
        places.insert(0, os.path.join(build_dir, "tools", SHIM_NAME))
    places.append(os.path.join(os.path.dirname(os.path.dirname(program_path)), "tools",
                               SHIM_NAME))
    return next((p for p in places if os.path.isfile(p)), None)


def key_of(program, window, angle):
    """What tells two pictures of one run apart (same depth and size)."""
    return (window if program == "shardfall" else 0, angle)


class References:
    """Reference pictures of one program at one depth and window size, drawn on demand on an
    Xvfb of the tools' own (started on first use). env: the environment the processes start
    from (the run's tag, MPI's variables); timeout: seconds a picture may take."""

    def __init__(self, program, program_path, shim, depth, size, env, timeout):
        self.program = PROGRAMS[program]
        self.program_path = program_path
        self.shim = shim
        self.depth = depth
        self.size = size
        self.env = {k: v for k, v in env.items() if k not in NOT_PASSED}
        self.timeout = timeout
        self.xvfb = None
        self.watcher = None

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        if self.watcher is not None:
            self.watcher.close()
        if self.xvfb is not None:
            self.xvfb.stop()

    def _display(self):
        if self.xvfb is None:
            self.xvfb = Xvfb(self.size, self.size, self.depth, env=self.env)
            with x_authority(self.xvfb.xauthority):
                self.watcher = WindowWatcher(self.xvfb.display)
        return self.watcher

    def draw(self, wanted):
        """{(window, angle) key: colours} for every key in wanted (see key_of)."""
        by_window = {}
        for window, angle in wanted:
            by_window.setdefault(window, set()).add(angle)
        drawn = {}
        for window, angles in sorted(by_window.items()):
            drawn.update(self._draw_window(window, sorted(angles)))
        return drawn

    def _draw_window(self, window, angles):
        watcher = self._display()
        rank = window or 1
        env = dict(self.env, **SOFTWARE_GL, LD_PRELOAD=self.shim, BENCH_RANK=str(rank),
                   DISPLAY=self.xvfb.display, **self.xvfb.client_env)
        title = self.program.window_title(rank)
        found = {}
        watcher.on_named = lambda window_id, name: found.setdefault(name, window_id)
        with tempfile.TemporaryDirectory(prefix="bench-reference-") as folder:
            process = subprocess.Popen([self.program_path], cwd=folder, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, start_new_session=True,
                                       preexec_fn=die_with_parent)
            try:
                return self._step(process, watcher, found, title, folder, rank, angles)
            finally:
                watcher.on_named = None
                stop_process(process, grace=2.0)

    def _step(self, process, watcher, found, title, folder, rank, angles):
        deadline = time.monotonic() + self.timeout
        tail = Tail(folder, self.program)

        def wait(ready, what):
            """Until ready() (with the results file read anew each time)."""
            def refreshed():
                tail.read()
                return ready()
            self._wait(process, watcher, deadline, refreshed, what)
        wait(lambda: found.get(title), "its window did not appear")
        window_id = found[title]
        if not watcher.watch_drawing(window_id):
            raise ReferenceError("the X server has no Damage extension")
        # On a screen of the window's size, the window whole in view: freeglut draws no
        # window that cannot be seen. A move does not reshape it.
        window = watcher.dpy.create_resource_object("window", window_id)
        window.configure(x=0, y=0)
        watcher.send_key(window_id, "p")
        # Its first frame, at angle step 0 and unreported, sets the view (the window's first
        # reshape reads the angle step) as it did in the run's windows.
        wait(lambda: tail.initialised and watcher.drawings[window_id],
             "its first frame was not drawn")
        drawn = {}
        at = 0
        for angle in angles:
            # The lights keep the last attenuation GL accepted (it refuses negative ones): the
            # frames of the 5 angle steps before are drawn as the run's windows drew them.
            # Steps before those (shardfall's frames are dear) are taken at once.
            skip_to = angle - 5
            if self.program.name == "shardfall" and skip_to > at + 1:
                for _ in range(skip_to - at):
                    watcher.send_key(window_id, "c")
                wait(lambda: tail.triangles == 600 * rank * skip_to,
                     "no frame at angle step %d" % skip_to)
                at = skip_to
            while at < angle:
                reports, drawings = tail.reports, watcher.drawings[window_id]
                watcher.send_key(window_id, "c")
                wait(lambda: tail.reports > reports and watcher.drawings[window_id] > drawings,
                     "no frame at angle step %d" % (at + 1))
                if tail.reports != reports + 1:
                    raise ReferenceError("it drew %d frames for one step" % (tail.reports -
                                                                             reports))
                at += 1
            if tail.triangles is not None and tail.triangles != 600 * rank * angle:
                raise ReferenceError("it drew %d triangles at angle step %d, not %d"
                                     % (tail.triangles, angle, 600 * rank * angle))
            read = watcher.read_picture(window, self.size, self.size)
            if read is None:
                raise ReferenceError("its window went away")
            drawn[key_of(self.program.name, rank, angle)] = pixels.to_rgb(read[0], read[2])
        return drawn

    def _wait(self, process, watcher, deadline, ready, what):
        while True:
            value = ready()
            if value:
                return value
            if process.poll() is not None:
                raise ReferenceError("%s: the program ended (status %s)"
                                     % (what, process.returncode))
            if time.monotonic() > deadline:
                raise ReferenceError("%s within %g s" % (what, self.timeout))
            watcher.poll(0.05)


class Tail:
    """The reference process's results file: initialised, frames reported, the triangles of
    the last (shardfall)."""

    def __init__(self, folder, program):
        self.folder = folder
        self.program = program
        self.tail = None
        self.initialised = False
        self.reports = 0
        self.triangles = None

    def read(self):
        """Reads the lines added since the last read."""
        if self.tail is None:
            names = glob.glob(os.path.join(self.folder, "results_*.txt"))
            if not names:
                return
            self.tail = LineTail(names[0])
        drew = self.program.frame_lines[1] if self.program.name == "shardfall" else None
        for line in self.tail.new_lines():
            if INIT_LINE.match(line):
                self.initialised = True
            elif self.program.frame_time_line.match(line):
                self.reports += 1
            elif drew is not None and drew.match(line):
                self.triangles = int(drew.match(line)["triangles"])
