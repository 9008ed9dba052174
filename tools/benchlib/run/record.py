"""run.json: what ran, where, on what, and how it ended.

The record is written when the run starts (status "running") and rewritten at the
end with a final status and the frame counts found in the results files on disk.
"""

import contextlib
import datetime
import os
import socket
import sys
import time
import uuid

from ..hosts import placement
from ..hosts.machine import cpu_model, git_revision, load_average, meminfo_bytes
from ..results.files import create_new, replace_json
from . import build
from .orphans import RESERVE_NAME, runner_identity
from .plan import SOURCE_DIR, launch_line
from .signals import Interrupted
from .verify import window_host


def now_iso():
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


# ---------------------------------------------------------------- the record

class RecordError(Exception):
    pass


# Room kept free beside run.json until its final write, so that a disk the windows fill still
# takes the run's last word: a fixed part and a part per window (its file name and counts).
def reserve_bytes(windows):
    return 65536 + 1024 * windows


class RunRecord:
    def __init__(self, folder, info):
        self.path = os.path.join(folder, "run.json")
        self.reserve = os.path.join(folder, RESERVE_NAME)
        self.info = info
        self.launched = None

    def keep_room(self):
        """Sets the reserve aside (best effort: a disk already full has none to give)."""
        try:
            with create_new(self.reserve) as f:
                os.posix_fallocate(f.fileno(), 0, reserve_bytes(self.info["windows"]))
        except OSError:
            with contextlib.suppress(OSError):
                os.unlink(self.reserve)

    def release_room(self):
        with contextlib.suppress(OSError):
            os.unlink(self.reserve)

    def mark_launch(self):
        """From here to the end, the runner's own CPU time is recorded ("runner_cpu")."""
        times = os.times()
        self.launched = (times.user + times.system, time.monotonic())

    def write(self):
        """run.json replaced whole (written beside, then renamed), or RecordError."""
        try:
            replace_json(self.path, self.info)
        except OSError as e:
            raise RecordError("cannot write %s: %s" % (self.path, e.strerror or e)) from None

    def finish(self, status, error, results):
        """Final state: status, end time, load, and what the results files hold (results:
        the windows' files as read once at the run's end, verify.Results)."""
        self.release_room()
        info = self.info
        info["status"] = status
        info["error"] = error
        info["end_time"] = now_iso()
        if self.launched:
            times = os.times()
            cpu, wall = times.user + times.system - self.launched[0], \
                time.monotonic() - self.launched[1]
            info["runner_cpu"] = {"seconds": round(cpu, 3), "wall_seconds": round(wall, 3),
                                  "share": round(cpu / wall, 4) if wall > 0 else None}
        if "context" in info:
            info["context"]["load_end"] = load_average()
        on_disk, windows = results.on_disk, results.windows
        info["results_files"] = {str(w): on_disk[w][0] for w in sorted(on_disk)}
        info["frames_reported"] = {str(w): len(rf.frames) for w, (_, rf, _e) in
                                   sorted(on_disk.items()) if rf is not None}
        info["summaries_written"] = {str(w): rf is not None and rf.summary is not None
                                     for w, (_, rf, _e) in sorted(on_disk.items())}
        info["window_hosts"] = {str(w): window_host(name) for w, (name, _r, _e) in
                                sorted(on_disk.items())}
        info["results_file_states"] = results.states
        hosts = info.get("hosts", [])
        for host in hosts:
            host["windows"] = list(windows) if len(hosts) == 1 else sorted(
                int(w) for w, h in info["window_hosts"].items() if h == host["name"])
        self.write()


def final_status(exc):
    if exc is None:
        return "ok", None
    if isinstance(exc, (KeyboardInterrupt, Interrupted)):
        return "interrupted", str(exc) or "interrupted by SIGINT"
    if isinstance(exc, BrokenPipeError):
        return "interrupted", "standard output was closed"
    return "failed", str(exc) or type(exc).__name__


# ---------------------------------------------------------------- what ran, and where

def new_record(plan, folder, argv):
    """run.json of a run into `folder` as it starts: what is to run (status "running")."""
    a = plan.args
    return RunRecord(folder, {
        "program": a.program, "windows": len(plan.windows), "frames": a.frames,
        "seconds": a.seconds, "status": "running", "error": None, "run_id": uuid.uuid4().hex,
        "mpi": {"library": plan.mpi, "launcher": plan.launcher},
        "host": socket.gethostname(), "start_time": now_iso(),
        "end_time": None, "source_dir": SOURCE_DIR, "build_dir": plan.build_dir,
        "program_path": plan.program_path, "output_folder": folder,
        "command": [sys.argv[0]] + list(argv), "launcher_command": launch_line(plan, folder),
        "launcher_args": plan.user_args, "runner": runner_identity(),
        "tag": a.tag, "vsync": bool(a.vsync), "wrap": a.wrap,
        "rendering_env": plan.rendering,
        "launcher_status": None, "results_files": {}, "frames_reported": {},
        "summaries_written": {}, "window_visuals": {}})


def describe(record, plan, fleet):
    """What the run meets: display, screen, GL and MPI, the runner's machine (the context)
    and every host. A run across hosts takes display, screen and GL from its first host
    with windows."""
    info = record.info
    facts = {h.name: fleet.facts[h.name] for h in plan.hosts}  # in rank order
    info["mpi"].update(build.launcher_version(plan.launcher, plan.env))
    info["mpi"]["launcher"] = info["launcher_command"][0]
    first = next(facts[h.name] for h in plan.hosts if h.windows)
    display = {"name": ",".join(plan.displays) if plan.displays else first["display"],
               "own_xvfb": plan.own_display,
               "xvfb_pid": first["xvfb_pid"] if not plan.across else None}
    if not plan.across:  # the cookie's private folder: a sweep removes it after a SIGKILL
        info["xauth_folder"] = first.get("xauth_folder")
    if plan.across:
        display["per_host"] = {h: f["display"] for h, f in facts.items()}
        info.update({"shared_folder": fleet.shared, "placement": plan.placement})
    info["display"] = display
    # The renderer, the screen and the revision have one home: the context (and each host).
    info["context"] = {
        "host": socket.gethostname(), "cpu_model": cpu_model(), "cores": os.cpu_count(),
        "memory_bytes": meminfo_bytes("MemTotal"), "load_start": load_average(),
        "load_end": None, "gl_renderer": first["gl_renderer"],
        "gl_version": first["gl_version"], "mpi_library": info["mpi"]["library"],
        "mpi_version": info["mpi"].get("version"), "screen": dict(first["screen"]),
        "git_revision": git_revision(SOURCE_DIR)}
    info["window_displays"] = {str(w): d["name"] for f in facts.values()
                               for d in f.get("displays", []) for w in d["windows"]}
    info["hosts"] = [{"name": f["name"], "cpu_model": f["cpu_model"], "cores": f["cores"],
                      "memory_bytes": f["memory_bytes"], "gl_renderer": f["gl_renderer"],
                      "gl_version": f["gl_version"], "gl_vendor": f["glx"].get("vendor"),
                      "mpi_library": plan.mpi, "rendering_env": f.get("rendering_env"),
                      "windows": host.windows if plan.across else [],
                      "screen": f["screen"], "gpus": f.get("gpus", []),
                      "displays": [{k: d.get(k) for k in DISPLAY_FACTS}
                                   for d in f.get("displays", [])],
                      "moved_windows": placement.moved(host.windows, **size(f))}
                     for host, f in ((h, facts[h.name]) for h in plan.hosts)]
    record.write()


DISPLAY_FACTS = ("name", "screen", "windows", "gl_renderer", "gl_version", "gl_vendor", "glx")


def size(facts):
    screen = facts["screen"] or {}
    return {"width": screen.get("width", 0), "height": screen.get("height", 0)}
