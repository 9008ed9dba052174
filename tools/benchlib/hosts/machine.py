"""What a host is: its CPU, memory, load, GL renderer and the facts a run records of it."""

import os
import re
import socket
import subprocess

from . import limits


def run_quietly(command, env=None, timeout=60):
    """(completed process, None), or (None, why it could not run)."""
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                              env=env)
    except (OSError, subprocess.SubprocessError) as e:
        return None, str(e)
    return proc, None


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
    proc, _ = run_quietly(["git", "-C", source_dir, "rev-parse", "HEAD"], timeout=30)
    rev = proc.stdout.strip() if proc else ""
    return rev if proc and proc.returncode == 0 and re.fullmatch(r"[0-9a-f]{40,64}", rev) \
        else "unknown"


def glx_info(env):
    info = {"vendor": None, "renderer": None, "version": None, "direct_rendering": None}
    proc, failure = run_quietly(["glxinfo", "-B"], env=env)
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


def host_facts(display, screen):
    """The facts of this host that a run records and checks: the same whether the host is
    the runner's own or one of a run across hosts."""
    glx = glx_info(dict(os.environ, DISPLAY=display)) if display else {}
    return {"name": socket.gethostname(), "cpu_model": cpu_model(), "cores": os.cpu_count(),
            "memory_bytes": limits.meminfo_bytes("MemTotal"), "glx": glx,
            "gl_renderer": glx.get("renderer"), "gl_version": glx.get("version"),
            "display": display, "screen": screen, "mem_available": limits.mem_available()}
