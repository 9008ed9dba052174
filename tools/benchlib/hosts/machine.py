"""What a host is: its CPU, memory, load, limits, GL renderer, GPUs and the facts a run
records and checks of it."""

import os
import re
import resource
import shutil
import socket
import tempfile

from ..results.run_json import UNKNOWN_UNDER_WRAP
from .displays import screen_number
from .processes import run_bounded
from .wrap import wrapped


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


def file_limit():
    """The open files this process may have once it raises its limit (the hard limit), None
    for no limit."""
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    return None if hard == resource.RLIM_INFINITY else hard


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


def load_average():
    try:
        return [round(x, 2) for x in os.getloadavg()]
    except OSError:
        return None


def git_revision(source_dir):
    proc, _ = run_bounded(["git", "-C", source_dir, "rev-parse", "HEAD"], timeout=30)
    rev = proc.stdout.strip() if proc else ""
    return rev if proc and proc.returncode == 0 and re.fullmatch(r"[0-9a-f]{40,64}", rev) \
        else "unknown"


GLXINFO_KEYS = {"OpenGL vendor string": "vendor", "OpenGL renderer string": "renderer",
                "OpenGL version string": "version", "direct rendering": "direct_rendering"}
_SCREEN_LINE = re.compile(r"display: \S*\s+screen: (\d+)")


def parse_glxinfo(text, screen=0):
    """{vendor, renderer, version, direct_rendering} of one screen from the output of
    glxinfo -B, which has a block for each screen of the display; None where not told."""
    info = dict.fromkeys(GLXINFO_KEYS.values())
    current = 0
    for line in text.splitlines():
        m = _SCREEN_LINE.fullmatch(line.strip())
        if m:
            current = int(m.group(1))
        key, _, value = line.partition(":")
        if current == screen and key.strip() in GLXINFO_KEYS:
            info[GLXINFO_KEYS[key.strip()]] = value.strip()
    return info


def glx_info(env, display, wrap=None, window=None):
    """The GL facts of a display's screen as a window with the environment env (DISPLAY
    aside) sees them, read under the window's --wrap command (wrap, with {window} and {host}
    replaced as for the window) when it has one; "error" says why glxinfo did not tell them
    all. What a wrapper keeps from being read is UNKNOWN_UNDER_WRAP, never the facts without
    it."""
    command = ["glxinfo", "-B"]
    if wrap:
        command = wrapped(wrap, window, socket.gethostname(), command)
    # A wrapper's own files (a trace, a log) go into a scratch folder of their own.
    scratch = tempfile.mkdtemp(prefix="bench-glx-")
    try:
        proc, failure = run_bounded(command, env=dict(env, DISPLAY=display), cwd=scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    info = parse_glxinfo(proc.stdout if proc else "", screen_number(display))
    if proc is not None and proc.returncode != 0:
        failure = (proc.stderr.strip().splitlines() or ["glxinfo failed"])[-1][:300]
    if wrap and info["renderer"] is None:
        info.update(dict.fromkeys(("vendor", "renderer", "version"), UNKNOWN_UNDER_WRAP))
        failure = "glxinfo -B run through --wrap %r told no renderer%s" % (
            wrap, ": " + failure if failure else "")
    if failure:
        info["error"] = failure
    return info


def machine_facts():
    """What a host says about itself before anything starts: the same whether the host is the
    runner's own or one of a run across hosts. open_files: what its limit of open files can be
    raised to (the runner and the agents raise it before they start anything)."""
    return {"name": socket.gethostname(), "cpu_model": cpu_model(), "cores": os.cpu_count(),
            "memory_bytes": meminfo_bytes("MemTotal"),
            "mem_available": meminfo_bytes("MemAvailable"), "open_files": file_limit()}


def display_facts(display, screen, env, wrap=None, window=None):
    """The display the windows get and GL as they see it (read with their environment, under
    their --wrap command as window `window` and on their screen)."""
    glx = glx_info(env, display, wrap, window) if display else {}
    return {"display": display, "screen": screen, "glx": glx, "gl_vendor": glx.get("vendor"),
            "gl_renderer": glx.get("renderer"), "gl_version": glx.get("version")}
