"""run.json: what ran, where, on what, and how it ended.

The record is written when the run starts (status "running") and rewritten at the
end with a final status and the frame counts found in the results files on disk.
"""

import datetime
import json
import os
import re
import socket
import subprocess
import time

from . import layout as L
from . import preflight
from . import results as R


def now_iso():
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def _run(command, env=None, timeout=60):
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                              env=env)
    except (OSError, subprocess.SubprocessError) as e:
        return None, str(e)
    return proc, None


# ---------------------------------------------------------------- the machine

def cpu_model(cpuinfo="/proc/cpuinfo"):
    try:
        with open(cpuinfo) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() in ("model name", "Model", "cpu model"):
                    return value.strip()
    except OSError:
        pass
    return "unknown"


def load_average():
    try:
        return [round(x, 2) for x in os.getloadavg()]
    except OSError:
        return None


def git_revision(source_dir):
    proc, _ = _run(["git", "-C", source_dir, "rev-parse", "HEAD"], timeout=30)
    rev = proc.stdout.strip() if proc else ""
    return rev if proc and proc.returncode == 0 and re.fullmatch(r"[0-9a-f]{40,64}", rev) \
        else "unknown"


def glx_info(env):
    info = {"vendor": None, "renderer": None, "version": None, "direct_rendering": None}
    proc, failure = _run(["glxinfo", "-B"], env=env)
    if proc is None:
        info["error"] = failure
        return info
    keys = {"OpenGL vendor string": "vendor", "OpenGL renderer string": "renderer",
            "OpenGL version string": "version", "direct rendering": "direct_rendering"}
    for line in proc.stdout.splitlines():
        key, _, value = line.partition(":")
        if key.strip() in keys:
            info[keys[key.strip()]] = value.strip()
    if proc.returncode != 0:
        info["error"] = (proc.stderr.strip().splitlines() or ["glxinfo failed"])[-1]
    return info


def launcher_version(launcher, env):
    proc, failure = _run([launcher, "--version"], env=env)
    if proc is None:
        return {"version_line": None, "version": None, "error": failure}
    text = (proc.stdout or "") + (proc.stderr or "")
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    m = re.search(r"\(Open(?:RTE|MPI|PRRTE)\)\s+(\S+)", text) or \
        re.search(r"^\s*Version:\s+(\S+)", text, re.M)
    return {"version_line": lines[0] if lines else None, "version": m.group(1) if m else None}


# ---------------------------------------------------------------- results files

# What a window prints on standard error (which the console also receives) when a write of
# its results file fails; the lines at a window's end are the layout module's.
_STDERR_STATES = (
    (re.compile(r"\S+: window (?P<window>\d+): writing the results file \"(?P<path>.*)\" "
                r"failed: (?P<error>.*); the console keeps every report"), "incomplete"),
    (re.compile(r"\S+: window (?P<window>\d+): cannot create the results file \"(?P<path>.*)\""
                r" in .*: (?P<error>.*); the reports go to the console only"), "not created"),
)


def console_states(lines):
    """{window: {"state", "error", "path"}} for the windows whose console lines say their
    results file is incomplete or was not created (the lines at a window's end, and the
    ones it prints on standard error when a write first fails)."""
    lines = [line.rstrip("\r") for line in lines]
    found = {}
    for line in lines:
        for pattern, state in _STDERR_STATES:
            m = pattern.fullmatch(line)
            if m:
                found.setdefault(int(m.group("window")), {
                    "state": state, "error": m.group("error"), "path": m.group("path")})
    for window, said in L.results_file_states("\n".join(lines)).items():
        if said["state"] != "complete":
            found.setdefault(window, said)
    return found


def window_host(file_name):
    name = L.parse_results_name(file_name)
    return name.host if name else None


class ConsoleFollower:
    """Reads console.log as it grows and keeps the windows' results-file complaints."""

    def __init__(self, path):
        self._tail = R.LineTail(path)
        self.states = {}

    def update(self):
        for window, state in console_states(self._tail.new_lines()).items():
            self.states.setdefault(window, state)
        return self.states


def files_on_disk(folder, program, windows):
    """{window: (file name, parsed results file or None, parse error or None)}."""
    found = {}
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        names = []
    for name in names:
        w = program.results_window(name)
        if w in windows and w not in found:
            try:
                found[w] = (name, R.parse_results_file(os.path.join(folder, name)), None)
            except (R.ParseError, OSError) as e:
                found[w] = (name, None, str(e))
    return found


def file_states(folder, program, windows, console):
    """The results_file_states entry of run.json for every window."""
    on_disk = files_on_disk(folder, program, windows)
    states = {}
    for w in windows:
        said = console.get(w)
        if said:
            states[str(w)] = {"state": said["state"], "error": said["error"]}
        elif w not in on_disk:
            states[str(w)] = {"state": "not created", "error": None}
        elif on_disk[w][2]:
            states[str(w)] = {"state": "incomplete", "error": on_disk[w][2]}
        else:
            states[str(w)] = {"state": "complete", "error": None}
    return states


# ---------------------------------------------------------------- the record

class RunRecord:
    def __init__(self, folder, info):
        self.path = os.path.join(folder, "run.json")
        self.info = info
        self.launched = None

    def mark_launch(self):
        """From here to the end, the runner's own CPU time is recorded ("runner_cpu")."""
        times = os.times()
        self.launched = (times.user + times.system, time.monotonic())

    def write(self):
        with open(self.path + ".tmp", "w") as f:
            json.dump(self.info, f, indent=2)
            f.write("\n")
        os.replace(self.path + ".tmp", self.path)

    def machine_context(self, gl, mpi, screen, source_dir):
        """The "context" and "hosts" keys for a run on this machine."""
        host = socket.gethostname()
        context = {"host": host, "cpu_model": cpu_model(), "cores": os.cpu_count(),
                   "memory_bytes": preflight.meminfo_bytes("MemTotal"),
                   "load_start": load_average(), "load_end": None,
                   "gl_renderer": gl.get("renderer"), "gl_version": gl.get("version"),
                   "mpi_library": mpi.get("library"), "mpi_version": mpi.get("version"),
                   "screen": dict(screen),
                   "git_revision": git_revision(source_dir)}
        self.info["context"] = context
        self.info["hosts"] = [{"name": host, "cpu_model": context["cpu_model"],
                               "cores": context["cores"],
                               "memory_bytes": context["memory_bytes"],
                               "gl_renderer": context["gl_renderer"],
                               "mpi_library": context["mpi_library"], "windows": []}]
        return context

    def finish(self, status, error, folder, program, windows, console):
        """Final state: status, end time, load, and what the results files on disk hold."""
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
        on_disk = files_on_disk(folder, program, windows)
        info["results_files"] = {str(w): on_disk[w][0] for w in sorted(on_disk)}
        info["frames_reported"] = {str(w): len(rf.frames) for w, (_, rf, _e) in
                                   sorted(on_disk.items()) if rf is not None}
        info["summaries_written"] = {str(w): rf is not None and rf.summary is not None
                                     for w, (_, rf, _e) in sorted(on_disk.items())}
        info["window_hosts"] = {str(w): window_host(name) for w, (name, _r, _e) in
                                sorted(on_disk.items())}
        info["results_file_states"] = file_states(folder, program, windows, console)
        hosts = info.get("hosts", [])
        for host in hosts:
            host["windows"] = list(windows) if len(hosts) == 1 else sorted(
                int(w) for w, h in info["window_hosts"].items() if h == host["name"])
        self.write()
