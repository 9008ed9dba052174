"""run.json's contract, run.schema.json beside this file (a JSON Schema), and run.json as the
readers take it: what the schema does not allow (a number where a text belongs, a list of
nulls, NaN) is left out with a note, and the rest is used. A null is "not known" and is left
out quietly, as are fields the schema does not name."""

import functools
import json
import math
import os
import re

import jsonschema

from .files import read_json

# The GL facts of windows run under a --wrap command that did not let them be read through it
# (a wrapper that does not start the program it is given): not a renderer to compare or match.
UNKNOWN_UNDER_WRAP = "unknown under --wrap"
SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.schema.json")
KINDS = {"integer": "whole number", "number": "finite number", "string": "text",
         "boolean": "true or false", "object": "record", "array": "list"}


@functools.lru_cache(maxsize=None)
def validator():
    with open(SCHEMA_PATH) as f:
        return jsonschema.Draft202012Validator(json.load(f))


def problems(info):
    """What in `info` breaks the contract, as jsonschema's errors (none: it holds)."""
    return list(validator().iter_errors(info))


def _where(path):
    text = "run.json: "
    for i, key in enumerate(path):
        text += "[%d]" % key if isinstance(key, int) else ("." if i else "") + key
    return text


def _short(value):
    if isinstance(value, float) and not math.isfinite(value):
        return json.dumps(value)  # NaN, Infinity: as the file spells them
    text = repr(value)
    return text if len(text) <= 40 else text[:40] + "..."


def _without_nulls(value):
    if isinstance(value, dict):
        return {k: _without_nulls(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [_without_nulls(v) for v in value if v is not None]
    return value


def _without_unknowns(value, path, notes):
    """value with nulls left out (quietly) and non-finite numbers the schema let through
    (with a note); a text that is no Unicode (a lone surrogate from a \\ud800 escape) shown
    as its escape."""
    if isinstance(value, dict):
        kept = {}
        for key, item in value.items():
            item = _without_unknowns(item, path + [key], notes)
            if item is not None:
                kept[key] = item
        return kept
    if isinstance(value, list):
        items = [_without_unknowns(item, path + [i], notes) for i, item in enumerate(value)]
        return [item for item in items if item is not None]
    if isinstance(value, float) and not math.isfinite(value):
        notes.append("%s is not a finite number (%s): left out" % (_where(path), _short(value)))
        return None
    if isinstance(value, str):
        return value.encode("utf-8", "backslashreplace").decode()
    return value


def _note(error):
    if error.validator == "type":
        kinds = error.validator_value if isinstance(error.validator_value, list) \
            else [error.validator_value]
        kind = " or ".join(KINDS.get(k, k) for k in kinds if k != "null")
        return "%s is not a %s (%s): left out" % (_where(error.absolute_path), kind,
                                                  _short(error.instance))
    return "%s does not fit (%s): left out" % (_where(error.absolute_path),
                                               error.message[:120])


def _at(data, path):
    for key in path:
        data = data[key]
    return data


def _unnamed_keys(error):
    """The keys of a record that its schema names neither as a property nor by a pattern."""
    named, patterns = error.schema.get("properties", {}), error.schema.get("patternProperties", {})
    return [k for k in error.instance
            if k not in named and not any(re.search(p, k) for p in patterns)]


def sound_fields(data):
    """(the fields of a run.json object that keep the contract, notes on what was left
    out)."""
    notes = []
    known = validator().schema["properties"]
    data = _without_nulls({k: v for k, v in data.items() if k in known})
    # The deepest first, and the later items of a list before the earlier.
    paths = sorted({tuple(e.absolute_path): e for e in problems(data)}.items(), reverse=True)
    failing = dict(paths)
    for path, error in paths:
        if any(path[:n] in failing for n in range(1, len(path))):
            continue  # a field around it goes too
        if error.validator == "additionalProperties":  # keys that are no window numbers
            record = _at(data, path)
            for key in _unnamed_keys(error):
                del record[key]
        elif path:  # (a field missing at the top: the readers cope with what is there)
            notes.append(_note(error))
            del _at(data, path[:-1])[path[-1]]
    return _without_unknowns(data, [], notes), notes


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
    return sound_fields(data)
