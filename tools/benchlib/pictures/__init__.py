"""Pictures: what a window drew, read from its display, compared with what it must draw."""
