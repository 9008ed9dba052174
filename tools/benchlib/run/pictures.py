"""Pictures: after the windows have ended, each host compares its checked windows' last
frames with their references (benchlib.pictures); run.json's "pictures" says what was
checked against what, and a wrong picture makes the run fail."""

import base64
import os

from ..hosts import placement
from ..pictures import FOLDER, compare, pixels

PICTURE_TIMEOUT = 1800.0  # a shardfall reference of a late window at a high angle step


def check_pictures(plan, fleet, record, folder):
    """Runs the check on every host; returns the problems (a line each, window and host
    named) that fail the run."""
    a = plan.args
    if a.no_picture_check:
        record.info["pictures"] = {"checked": False}
        record.write()
        return []
    replies = fleet.command("pictures", PICTURE_TIMEOUT, None)
    entries = sorted((e for reply in replies.values() for e in reply.get("pictures", [])),
                     key=lambda e: e["window"])
    for reply in replies.values():
        write_pictures(folder, reply.get("files", {}))
    checked = plan.checked_windows
    record.info["pictures"] = {
        "checked": True,
        "reference": a.picture_reference or "Mesa's software rasteriser (llvmpipe) on each host",
        "tolerance": a.picture_tolerance.as_dict(),
        "sampled": len(checked) < len(plan.windows),
        "windows": entries}
    record.write()
    return [picture_problem(e) for e in entries if e["status"] == "fail"] + \
        odd_hosts(plan, entries, folder)


def odd_hosts(plan, entries, folder):
    """Across hosts: the windows that must draw the same picture (latticeglow's, one depth and
    angle step) compared with each other, host with host; a host whose picture differs from
    those of most other hosts is named."""
    if not plan.across or plan.program.name != "latticeglow":
        return []
    groups = {}
    for e in entries:
        if e.get("picture") and e["status"] != "not checked":
            groups.setdefault((e["depth"], e["angle_step"]), {}).setdefault(e["host"], e)
    tolerance = plan.args.picture_tolerance
    found = []
    for (_depth, angle), by_host in sorted(groups.items()):
        if len(by_host) < 2:
            continue
        shown = {h: pixels.load_png(os.path.join(folder, FOLDER, os.path.basename(
            e["picture"]))) for h, e in by_host.items()}
        for host, e in sorted(by_host.items()):
            differ = [other for other in shown if other != host and compare.judge(
                compare.measure(shown[host], shown[other]), tolerance)]
            if len(differ) * 2 > len(shown) - 1 or (len(shown) == 2 and differ):
                found.append("window %d on %s: its picture at angle step %d differs from the "
                             "same frame on %s" % (e["window"], host, angle, ", ".join(differ)))
    return found


def picture_problem(entry):
    return "window %d on %s: %s" % (entry["window"], entry["host"], "; ".join(entry["problems"]))


def picture_lines(info):
    """What bench-run prints of the check."""
    pictures = info.get("pictures") or {}
    if not pictures.get("checked"):
        return ["pictures: not checked (--no-picture-check)"]
    entries = pictures.get("windows", [])
    unchecked = {}  # one line for the windows of a host left unchecked for one reason
    for e in entries:
        if e["status"] == "not checked":
            unchecked.setdefault((e["host"], e.get("why")), []).append(e["window"])
    lines = ["window(s) %s on %s: picture not checked: %s" % (placement.span(windows), host, why)
             for (host, why), windows in unchecked.items()]
    passed = sum(e["status"] == "pass" for e in entries)
    lines.append("pictures: %d of %d window(s) checked%s, %d like their reference" % (
        sum(e["status"] != "not checked" for e in entries), len(entries),
        " (a sample)" if pictures.get("sampled") else "", passed))
    return lines


def write_pictures(folder, files):
    """PNGs an agent brought back ({name under the run folder: base64}), into pictures/."""
    os.makedirs(os.path.join(folder, FOLDER), exist_ok=True)
    for name, data in files.items():
        path = os.path.join(folder, FOLDER, os.path.basename(name))
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(base64.b64decode(data))
