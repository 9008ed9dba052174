"""The picture check of one host's windows: each picture taken compared with its reference,
the pictures kept in the run folder (PNG, under pictures/), an entry a window for run.json.

An entry: {"window", "host", "angle_step", "status": "pass" | "fail" | "not checked",
"problems": [words], "figures": compare.measure(), "picture", "reference", "difference":
file names under the run folder (the picture of every window that failed or was not checked
but, of the windows that passed, of one a distinct frame; the difference only for a failed
picture), "why": why a window was not checked}.
"""

import os
import re

from ..pictures import FOLDER, compare, pixels
from ..results.run_json import read_run_json
from .references import ReferenceError, References, key_of
from .xvfb import XvfbError
from .xwindows import XDisplayError


def reference_name(program, host, key):
    """The file of a reference, by host: hosts that share the run folder each keep theirs."""
    depth, window, angle = key
    return "reference-%s-%s-d%d%s-a%d.png" % (re.sub(r"[^A-Za-z0-9_.-]", "_", host), program,
                                              depth, "-w%d" % window if window else "", angle)


def known_good(run_folder, program):
    """{key: path} of the pictures a known-good run kept (--picture-reference)."""
    info, notes = read_run_json(run_folder)
    if info is None:
        raise ReferenceError("cannot read the reference run %s: %s" % (
            run_folder, "; ".join(notes) or "it has no run.json"))
    found = {}
    if info.get("program") != program:
        return found
    for entry in (info.get("pictures") or {}).get("windows", []):
        if entry.get("picture") and isinstance(entry.get("angle_step"), int):
            # Only the run's own pictures/, whatever its run.json names.
            found[(entry.get("depth"),) + key_of(program, entry["window"],
                                                 entry["angle_step"])] = \
                os.path.join(run_folder, FOLDER, os.path.basename(entry["picture"]))
    return found


class HostCheck:
    """Checks the pictures a PictureTaker took on one host. source: None for references
    drawn by Mesa's software rasteriser here, or a known-good run's folder."""

    def __init__(self, program, program_path, shim, env, folder, tolerance, host,
                 source=None, timeout=300.0):
        self.program = program
        self.program_path = program_path
        self.shim = shim
        self.env = env
        self.folder = folder
        self.tolerance = tolerance
        self.host = host
        self.source = source
        self.timeout = timeout

    def run(self, taken, missed):
        """[entry] for every window taken or missed, in window order."""
        os.makedirs(os.path.join(self.folder, FOLDER), exist_ok=True)
        entries = {w: self._entry(w, None, None, status="not checked", why=why)
                   for w, why in missed.items()}
        wanted = {w: (depth,) + key_of(self.program, w, angle)
                  for w, (_rgb, angle, depth) in taken.items()}
        references, why_not = self._references(taken, set(wanted.values()))
        kept = set()  # the keys whose picture is kept (for a passing window, one a key)
        for w, (rgb, angle, depth) in sorted(taken.items()):
            entry = self._entry(w, angle, depth)
            ref = references.get(wanted[w])
            if ref is None:
                entry.update(status="not checked", why=why_not.get(wanted[w], "no reference"))
            elif ref[1].shape != rgb.shape:
                entry.update(status="not checked", why="the reference is %dx%d, the window "
                             "%dx%d" % (ref[1].shape[1], ref[1].shape[0], rgb.shape[1],
                                        rgb.shape[0]))
            else:
                entry["reference"] = ref[0]
                entry["figures"] = compare.measure(rgb, ref[1])
                entry["problems"] = compare.judge(entry["figures"], self.tolerance)
                if entry["problems"]:
                    entry["status"] = "fail"
                    entry["difference"] = self._save("difference-%d-a%d.png" % (w, angle),
                                                     compare.difference(rgb, ref[1]))
            if entry["status"] != "pass" or wanted[w] not in kept:
                kept.add(wanted[w])
                entry["picture"] = self._save("window-%d-a%d.png" % (w, angle), rgb)
            entries[w] = entry
        return [entries[w] for w in sorted(entries)]

    def _entry(self, w, angle, depth, status="pass", why=None):
        entry = {"window": w, "host": self.host, "angle_step": angle, "depth": depth,
                 "status": status, "problems": []}
        if why:
            entry["why"] = why
        return entry

    def _save(self, name, rgb):
        relative = os.path.join(FOLDER, name)
        pixels.save_png(os.path.join(self.folder, relative), rgb)
        return relative

    def _references(self, taken, keys):
        """({key: (file under the run folder or the reference run's path, colours)},
        {key: why there is none})."""
        if self.source is not None:
            try:
                found = known_good(self.source, self.program)
            except ReferenceError as e:
                return {}, dict.fromkeys(keys, str(e))
            refs, why = {}, {}
            for key in keys:
                if key in found and os.path.isfile(found[key]):
                    rgb = pixels.load_png(found[key])
                    refs[key] = (self._save(reference_name(self.program, self.host, key), rgb), rgb)
                else:
                    why[key] = "the reference run %s kept no picture of that window at angle " \
                               "step %d and depth %d" % (self.source, key[2], key[0])
            return refs, why
        size = next(iter(taken.values()))[0].shape[1] if taken else 0
        refs, why = {}, {}
        if not keys:
            return refs, why
        if self.shim is None:
            return {}, dict.fromkeys(keys, "libbench-rank.so was not found (it is built with "
                                           "the programs)")
        for depth in sorted({key[0] for key in keys}):
            with References(self.program, self.program_path, self.shim, depth, size,
                            self.env, self.timeout) as references:
                # One process draws every picture of a window (latticeglow: of all windows).
                for window in sorted({k[1] for k in keys if k[0] == depth}):
                    mine = sorted(k for k in keys if k[:2] == (depth, window))
                    try:
                        drawn = references.draw([k[1:] for k in mine])
                    except (ReferenceError, OSError, XvfbError, XDisplayError) as e:
                        why.update(dict.fromkeys(mine, "the reference could not be drawn: %s"
                                                 % e))
                        continue
                    for key in mine:
                        rgb = drawn[key[1:]]
                        refs[key] = (self._save(reference_name(self.program, self.host, key), rgb), rgb)
        return refs, why
