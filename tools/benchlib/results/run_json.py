"""run.json as the readers take it: every field they use is checked for its kind; what is
unsound (a number where a text belongs, a list of nulls, NaN) is left out with a note, and
the rest is used."""

import math
import os

from .files import read_json
from .layout import END_STATES

TEXT, WHOLE, NUMBER, BOOL = "text", "whole number", "finite number", "true or false"
STATES = [state for state, _line in END_STATES]

# The fields read from run.json: a kind, a {key: field} record, [field] a list of them,
# ("map", field) for a record keyed by window number, ("names", field) for one keyed by any
# name.
SCREEN = {"width": WHOLE, "height": WHOLE, "depth": WHOLE}
# A display of a host as its windows saw it; a GPU as nvidia-smi or the kernel's DRM names it.
DISPLAY = {"name": TEXT, "screen": SCREEN, "gl_renderer": TEXT, "gl_version": TEXT,
           "gl_vendor": TEXT, "glx": ("names", TEXT)}
GPU = {"source": TEXT, "name": TEXT, "driver_version": TEXT, "bus_id": TEXT,
       "memory_bytes": WHOLE, "card": TEXT, "vendor_id": TEXT, "device_id": TEXT,
       "driver": TEXT}
HOST = {"name": TEXT, "cpu_model": TEXT, "cores": WHOLE, "memory_bytes": WHOLE,
        "gl_renderer": TEXT, "gl_version": TEXT, "gl_vendor": TEXT, "mpi_library": TEXT,
        "rendering_env": ("names", TEXT), "windows": [WHOLE], "displays": [DISPLAY],
        "gpus": [GPU]}
PICTURE = {"window": WHOLE, "host": TEXT, "angle_step": WHOLE, "depth": WHOLE, "status": TEXT,
           "problems": [TEXT], "why": TEXT, "picture": TEXT, "reference": TEXT,
           "difference": TEXT, "figures": {"drawn": NUMBER, "coverage": NUMBER,
                                           "overlap": NUMBER, "colour": NUMBER}}
FIELDS = {
    "program": TEXT, "status": TEXT, "error": TEXT, "start_time": TEXT, "end_time": TEXT,
    "run_id": TEXT, "windows": WHOLE, "frames": WHOLE, "seconds": NUMBER, "repeats": WHOLE,
    "host": TEXT, "mpi": {"library": TEXT, "version": TEXT, "launcher": TEXT},
    "context": {"host": TEXT, "cpu_model": TEXT, "cores": WHOLE, "memory_bytes": WHOLE,
                "load_start": [NUMBER], "load_end": [NUMBER], "gl_renderer": TEXT,
                "gl_version": TEXT, "mpi_library": TEXT, "mpi_version": TEXT,
                "screen": SCREEN, "git_revision": TEXT},
    "hosts": [HOST],
    "results_files": ("map", TEXT),
    "window_hosts": ("map", TEXT),
    "window_displays": ("map", TEXT),
    "results_file_states": ("map", {"state": TEXT, "error": TEXT}),
    "windows_ended_early": ("map", {"after_seconds": NUMBER, "how": TEXT, "phase": TEXT}),
    "screen_depth": WHOLE,
    "tag": TEXT,
    "rendering_env": ("names", TEXT),
    "vsync": BOOL,
    "wrap": TEXT,
    "runner": {"host": TEXT, "pid": WHOLE, "boot_id": TEXT, "start_ticks": WHOLE},
    "pictures": {"checked": BOOL, "reference": TEXT, "sampled": BOOL,
                 "tolerance": ("names", NUMBER), "windows": [PICTURE]},
}

_DROP = object()


def _is(kind, value):
    if kind == TEXT:
        return isinstance(value, str)
    if kind == BOOL:
        return isinstance(value, bool)
    if kind == WHOLE:
        return isinstance(value, int) and not isinstance(value, bool)
    return isinstance(value, (int, float)) and not isinstance(value, bool) \
        and math.isfinite(value)


def _check(value, field, where, notes):
    """The sound part of value, or _DROP; null is taken as "not known" and dropped quietly."""
    if value is None:
        return _DROP
    if isinstance(field, str):
        if _is(field, value):
            # A text that is no Unicode (a lone surrogate from a \ud800 escape) is shown as
            # the escape: it could not be printed otherwise.
            return value.encode("utf-8", "backslashreplace").decode() if field == TEXT \
                else value
        notes.append("%s is not a %s (%s): left out" % (where, field, _short(value)))
        return _DROP
    if isinstance(field, list):
        if not isinstance(value, list):
            notes.append("%s is not a list: left out" % where)
            return _DROP
        items = [_check(v, field[0], "%s[%d]" % (where, i), notes) for i, v in enumerate(value)]
        return [v for v in items if v is not _DROP]
    if not isinstance(value, dict):
        notes.append("%s is not a record: left out" % where)
        return _DROP
    if isinstance(field, tuple):  # ("map", item): keyed by window number; ("names", item)
        pairs = [(k, field[1]) for k in value
                 if isinstance(k, str) and (k.isdigit() or field[0] == "names")]
    else:
        pairs = [(k, field[k]) for k in field if k in value]
    sound = {}
    for key, kind in pairs:
        checked = _check(value[key], kind, "%s.%s" % (where, key), notes)
        if checked is not _DROP:
            sound[key] = checked
    return sound


def _short(value):
    text = repr(value)
    return text if len(text) <= 40 else text[:40] + "..."


def read_run_json(folder):
    """(sound fields of the folder's run.json or None, notes). No run.json: (None, []); one
    that cannot be read at all: (None, [why])."""
    path = os.path.join(folder, "run.json")
    if not os.path.lexists(path):
        return None, []
    data, problem = read_json(path)
    if problem is None and not isinstance(data, dict):
        problem = "not a JSON object"
    if problem is not None:
        return None, ["%s cannot be read (%s): the run's context is unknown" % (path, problem)]
    notes = []
    sound = {}
    for key, field in FIELDS.items():
        if key in data:
            checked = _check(data[key], field, "run.json: " + key, notes)
            if checked is not _DROP:
                sound[key] = checked
    for w, state in list(sound.get("results_file_states", {}).items()):
        if state.get("state") not in STATES:
            notes.append("run.json: results_file_states.%s names no known state: left out" % w)
            del sound["results_file_states"][w]
    return sound, notes
