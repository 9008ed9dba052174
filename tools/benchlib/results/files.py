"""Reading what a run folder holds, safely: regular files only (a FIFO would block, a device
would never end), never more than a bound, and names shown whatever bytes they carry."""

import contextlib
import errno
import json
import math
import os
import stat
import tempfile

# The most frames a window's results file holds (bench-run's --frames takes no more), and
# the most bytes a frame takes there: its lines with a 20-digit count and a long host name.
# A results file of 2,000 frames is about 300 KB.
MOST_FRAMES = 5_000_000
FRAME_BYTES = 200
RESULTS_LIMIT = MOST_FRAMES * FRAME_BYTES + (64 << 10)  # and the title, first and last lines
JSON_LIMIT = 64 << 20


def shown(text):
    """A name for the eyes: bytes that are not UTF-8 (kept by the file system, carried in
    Python's strings as lone surrogates) written as \\x.. escapes."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def open_regular(path):
    """A binary file object for a regular file; OSError for anything else. The open itself
    does not wait (a FIFO with no writer would)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_bytes(path, limit):
    """The file whole, or OSError when it holds more than limit bytes: told by its size
    before anything is read (a sparse file of terabytes costs nothing), then by what was
    read (it may have grown)."""
    with open_regular(path) as f:
        too_large = os.fstat(f.fileno()).st_size > limit
        data = b"" if too_large else f.read(limit + 1)
    if too_large or len(data) > limit:
        raise OSError(errno.EFBIG, "larger than %d bytes" % limit, path)
    return data


def text_lines(path):
    """The lines of a regular text file, read as they come; undecodable bytes replaced."""
    with open_regular(path) as f:
        for raw in f:
            yield raw.decode("utf-8", "replace").rstrip("\n")


class NotFinite:
    """What strict reading makes of JSON's non-standard NaN and Infinity."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


def read_json(path):
    """(object, None), or (None, why it cannot be read). NaN and Infinity become NotFinite."""
    try:
        data = json.loads(read_bytes(path, JSON_LIMIT), parse_constant=NotFinite)
    except OSError as e:
        return None, e.strerror or str(e)
    except RecursionError:
        return None, "nested too deeply"
    except ValueError as e:
        return None, "not JSON (%s)" % e
    return data, None


def _strict(value):
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {k: _strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(v) for v in value]
    if isinstance(value, NotFinite):
        return value.text
    return value


def write_json(f, data):
    """Strict JSON with the tools' indentation and a final line end: JSON has no nan or
    infinity, so those are written as the strings "nan", "inf" and "-inf"."""
    json.dump(_strict(data), f, indent=2, allow_nan=False)
    f.write("\n")


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def create_new(path, mode=0o666):
    """A new file for writing (binary), made exclusively: a name already there (a link
    someone planted, a FIFO) is an OSError, never followed or written through."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                 mode)
    return os.fdopen(fd, "wb")


def replace_json(path, data):
    """Writes a JSON file whole: into a new file of its own beside it first (made
    exclusively, so a name planted there, a link to another file, is never written
    through), then renamed over it; nothing is left of the attempt when it fails."""
    folder, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=folder or ".")
    try:
        os.fchmod(fd, 0o666 & ~_umask())  # as open() would have made it
        with os.fdopen(fd, "w") as f:
            fd = None
            write_json(f, data)
        os.replace(temporary, path)
    except BaseException:
        if fd is not None:  # (a signal between fdopen and here: the file object closed it)
            with contextlib.suppress(OSError):
                os.close(fd)
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
