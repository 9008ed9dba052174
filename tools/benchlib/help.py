"""--help as every command shows it: each option and its meaning on a line of its own; the
depth (what is refused, the statistics, the outputs) is in docs/tools.md alone."""

import argparse
import os


def one_line_help(prog):
    return argparse.RawDescriptionHelpFormatter(prog, max_help_position=32, width=118)


def complete(parser):
    """Answers bash's completion of the command line (argcomplete) when bash is asking; does
    nothing otherwise."""
    if "_ARGCOMPLETE" in os.environ:
        import argcomplete
        argcomplete.autocomplete(parser)
