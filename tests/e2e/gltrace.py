"""Reads `apitrace dump` output: one call a line, with its arguments."""

import math
import os
import re
import struct
import subprocess

CALL = re.compile(r"^(\d+) (\w+)\((.*)\)(?: = (.*?))?(?: // fake)?$")


class Call:
    def __init__(self, number, name, args, result):
        self.number = number
        self.name = name
        self.args = args
        self.result = result

    def arg(self, key):
        return self.args[key]

    def numbers(self, key):
        """An argument of the form {a, b, c} as floats."""
        return [to_float(v) for v in self.args[key].strip("{}").split(",")]

    def __repr__(self):
        inner = ", ".join(f"{k} = {v}" for k, v in self.args.items())
        return f"{self.name}({inner})"


def to_float(text):
    text = text.strip()
    if text.lower() in ("nan", "-nan"):
        return math.nan
    return float(text)


def split_args(text):
    """Splits "a = 1, b = {2, 3}" at its top-level commas."""
    args, depth, current = {}, 0, ""
    for ch in text + ",":
        if ch in "{(":
            depth += 1
        elif ch in "})":
            depth -= 1
        if ch == "," and depth == 0:
            if "=" in current:
                key, value = current.split("=", 1)
                args[key.strip()] = value.strip()
            current = ""
        else:
            current += ch
    return args


def dump(trace_path):
    out = subprocess.run(["apitrace", "dump", "--color=never", trace_path], capture_output=True,
                         text=True, check=True).stdout
    calls = []
    for line in out.split("\n"):
        match = CALL.match(line)
        if match:
            calls.append(Call(int(match.group(1)), match.group(2), split_args(match.group(3)),
                              match.group(4)))
    return calls


def without_bitmap_characters(calls):
    """Drops what glutBitmapCharacter issues (pixel-store push, stores, glBitmap, pop),
    returning the other calls and the number of characters drawn."""
    kept, characters, inside = [], 0, False
    for call in calls:
        if call.name == "glPushClientAttrib" and call.args.get("mask") == "GL_CLIENT_PIXEL_STORE_BIT":
            inside = True
            continue
        if inside:
            if call.name == "glBitmap":
                characters += 1
            if call.name == "glPopClientAttrib":
                inside = False
            continue
        kept.append(call)
    return kept, characters


def frames(calls):
    """Splits calls into frames, each ending with its buffer swap."""
    result, current = [], []
    for call in calls:
        current.append(call)
        if call.name == "glXSwapBuffers":
            result.append(current)
            current = []
    return result


def f32(value):
    """A double as GL receives it through a single-precision parameter."""
    return struct.unpack("f", struct.pack("f", value))[0]


def blobs(trace_path, first, last, folder):
    """The blobs (client memory a call read) of calls first..last, by call number."""
    subprocess.run(["apitrace", "dump", "--color=never", "--blobs", f"--calls={first}-{last}",
                    os.path.abspath(trace_path)], cwd=folder, capture_output=True, check=True)
    found = {}
    for name in os.listdir(folder):
        match = re.match(r"blob_call(\d+)\.bin$", name)
        if match:
            with open(os.path.join(folder, name), "rb") as f:
                found[int(match.group(1))] = f.read()
    return found
