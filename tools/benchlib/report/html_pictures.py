"""report.html's section of the picture check: for each failed picture, the window's
picture beside its reference and their difference; for a passing run, one thumbnail per
distinct picture. The PNGs are read from the run folder's pictures/ only (whatever run.json
names), made small and put in the page itself (data: URIs)."""

import base64
import os

from ..pictures import FOLDER, pixels
from . import html_page as P

SIDE = 240


def _image(folder, name, label):
    """{"label", "src"} of a kept PNG, or {"label", "missing"}."""
    if not isinstance(name, str) or folder is None:
        return {"label": label, "missing": "not kept"}
    path = os.path.join(folder, FOLDER, os.path.basename(name))
    try:
        data = pixels.thumbnail(pixels.load_png(path), SIDE)
    except (OSError, ValueError) as e:
        return {"label": label, "missing": "cannot be read (%s)" % (
            getattr(e, "strerror", None) or e)}
    return {"label": label, "src": "data:image/png;base64," + base64.b64encode(data).decode()}


def pictures_section(pictures, folder):
    """The section, or None when run.json says nothing of pictures. folder: the run folder
    (None when unknown)."""
    if not isinstance(pictures, dict):
        return None
    if not pictures.get("checked"):
        return P.section("Pictures", P.text("The pictures were not checked "
                                            "(--no-picture-check).", "note"))
    entries = pictures.get("windows", [])
    failed = [e for e in entries if e.get("status") == "fail"]
    shown = []
    for e in failed:
        shown.append({"caption": "window %s on %s, angle step %s: %s" % (
            e.get("window"), e.get("host"), e.get("angle_step"),
            "; ".join(e.get("problems", []))), "css": "bad", "images": [
                _image(folder, e.get("picture"), "the window"),
                _image(folder, e.get("reference"), "the reference"),
                _image(folder, e.get("difference"), "the difference")]})
    if not failed:
        by_reference = {}
        for e in entries:
            if e.get("status") == "pass":
                by_reference.setdefault(e.get("reference"), []).append(e)
        for name, group in by_reference.items():
            shown.append({"caption": "window(s) %s, angle step %s" % (
                ", ".join(str(e.get("window")) for e in group),
                ", ".join(sorted({str(e.get("angle_step")) for e in group}))),
                "css": None, "images": [_image(folder, group[0].get("picture"), "window %s"
                                               % group[0].get("window"))]})
    rule = "Compared with %s; thresholds %s." % (pictures.get("reference", "a reference"), ", ".join(
        "%s %s" % (k, v) for k, v in sorted((pictures.get("tolerance") or {}).items())))
    missed = ["window %s on %s: not checked: %s" % (e.get("window"), e.get("host"),
                                                    e.get("why"))
              for e in entries if e.get("status") == "not checked"]
    return P.section("Pictures", P.text(rule, "note"), P.items(missed, "note") if missed
                     else None, {"kind": "pictures", "shown": shown})
