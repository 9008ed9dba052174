"""Pictures: what a window drew, read from its display, compared with what it must draw.
The drawing of references and the check on a host are the hosts' (references.py,
picture_check.py)."""

FOLDER = "pictures"  # where a run folder keeps its pictures
