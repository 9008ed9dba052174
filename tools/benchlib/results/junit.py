"""Verdicts as JUnit XML, the test results every CI system reads: one <testsuite> with the
run's context as <properties>, then <testcase>s, each passed, failed (with a message), in
error (the check could not be made) or skipped (a gate that cannot tell), with its duration
in seconds and its figures in <system-out>.

A case is known to a CI by its class and name across builds, so both come from what stays
the same between builds of one set-up (program, host, display, window, gate), never from a
date or a run id; a class name's dots become "_", as Jenkins reads dotted class names as
packages. Outside texts (host names, renderers) are escaped by ElementTree, and the
characters XML 1.0 cannot hold at all (control characters) and bidirectional controls are
written as \\xNN or \\uNNNN.
The file is written beside its place, then renamed into it."""

import os
import re
import xml.etree.ElementTree as ET
from dataclasses import dataclass

# What XML 1.0 cannot hold, and the bidirectional controls that would reorder what a CI's
# page shows after them.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ud800-\udfff\ufffe\uffff"
                      "\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def xml_text(text):
    return _NOT_XML.sub(lambda m: "\\x%02x" % ord(m.group()) if ord(m.group()) < 256
                        else "\\u%04x" % ord(m.group()), str(text))


@dataclass
class Case:
    name: str
    classname: str
    output: str = ""
    failure: str = None   # why it failed
    skipped: str = None   # why it could not be judged
    seconds: float = 0.0  # what it timed (a window's frames) or took (a gate)
    error: str = None     # why the check could not be made at all


def properties_of(facts, keys):
    """[(key, value)] of the keys whose value in facts is a plain text or number."""
    return [(k, facts[k]) for k in keys if isinstance(facts.get(k), (str, int, float))
            and not isinstance(facts.get(k), bool)]


def _seconds(value):
    return "%.3f" % value


def document(suite, cases, properties=()):
    """The JUnit XML text of a suite of cases; properties: [(name, value)] of the run."""
    root = ET.Element("testsuites")
    element = ET.SubElement(root, "testsuite", name=xml_text(suite), tests=str(len(cases)),
                            failures=str(sum(c.failure is not None for c in cases)),
                            errors=str(sum(c.error is not None for c in cases)),
                            skipped=str(sum(c.skipped is not None for c in cases)),
                            time=_seconds(sum(c.seconds for c in cases)))
    if properties:
        listed = ET.SubElement(element, "properties")
        for name, value in properties:
            ET.SubElement(listed, "property", name=xml_text(name), value=xml_text(value))
    for c in cases:
        case = ET.SubElement(element, "testcase", name=xml_text(c.name),
                             classname=xml_text(c.classname).replace(".", "_"),
                             time=_seconds(c.seconds))
        if c.error is not None:
            ET.SubElement(case, "error", message=xml_text(c.error)).text = xml_text(c.error)
        elif c.failure is not None:
            ET.SubElement(case, "failure", message=xml_text(c.failure)).text = xml_text(c.failure)
        elif c.skipped is not None:
            ET.SubElement(case, "skipped", message=xml_text(c.skipped))
        if c.output:
            ET.SubElement(case, "system-out").text = xml_text(c.output)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode")


def write_junit(path, suite, cases, properties=()):
    """Writes the suite to path (beside, then renamed); OSError when it cannot."""
    partial = "%s.partial-%d" % (path, os.getpid())
    try:
        with open(partial, "x", encoding="utf-8") as f:
            f.write(document(suite, cases, properties) + "\n")
        os.replace(partial, path)
    except OSError:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise
