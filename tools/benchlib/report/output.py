"""Writing a report's files: each one whole or not at all, and never through a link that was
planted where the report writes (a new file is written beside, then renamed over the name)."""

import os
import tempfile

from ..results.files import shown


class OutputError(Exception):
    pass


def prepare_folder(folder, made_here=False):
    """The output folder, made if need be. A folder the report makes itself (made_here) must
    not be a link: it would lead the report's files elsewhere."""
    if made_here and os.path.islink(folder):
        raise OutputError("cannot write the report to %s: it is a symbolic link (to %s), not a "
                          "folder of the report's own" % (shown(folder),
                                                          shown(os.readlink(folder))))
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise OutputError("cannot write the report to %s: it is not a folder" % shown(folder))
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise OutputError("cannot create the output folder %s: %s"
                          % (shown(folder), e.strerror or e)) from None


def write_file(path, write, binary=False):
    """Calls write(f) on a new file beside path, then renames it to path; returns path."""
    folder, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(dir=folder or ".", prefix="." + name + ".")
    try:
        with (os.fdopen(fd, "wb") if binary else
              os.fdopen(fd, "w", encoding="utf-8", newline="")) as f:
            write(f)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return path


def write_in(folder, what, path, write, binary=False):
    """write_file, with a failure told as one OutputError naming what and where."""
    try:
        return write_file(path, write, binary)
    except OSError as e:
        raise OutputError("cannot write %s in %s: %s"
                          % (what, shown(folder), e.strerror or e)) from None
