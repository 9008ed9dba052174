"""Writes the man pages of the tools from what their --help shows, so that the two cannot say
different things: the Python tools' from their own argument parsers (argparse-manpage),
bench-sbatch's from its opening comment (its --help); the programs, which take no options,
have pages written by hand in packaging/man/. Each is written gzipped, as packages ship them.

    /usr/bin/python3 packaging/manpages.py OUT_DIR VERSION COMMAND...
"""

import gzip
import importlib
import os
import sys

from build_manpages.manpage import Manpage

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HERE), "tools")
sys.path.insert(0, TOOLS)

# command: (module holding build_parser, its arguments)
PARSERS = {
    "bench-run": ("benchlib.run.command", {}),
    "bench-report": ("benchlib.report.command", {}),
    "bench-compare": ("benchlib.report.command", {"prog": "bench-compare"}),
    "bench-history": ("benchlib.history.command", {}),
    "bench-agent": ("benchlib.hosts.agent", {}),
    "bench-wrap": ("benchlib.hosts.wrap", {}),
}


def parser_of(command):
    module, arguments = PARSERS[command]
    return importlib.import_module(module).build_parser(**arguments)


def page(parser, version):
    """The man page of a parser: its --help as roff, the epilog as the page's last section."""
    # The first sentence of the description is the page's one-line summary (whatis).
    summary = (parser.description or "").split(". ")[0].rstrip(".")
    parser.man_short_description = summary[:1].lower() + summary[1:]
    parser._manpage = [{"heading": "see also", "content": parser.epilog}] if parser.epilog \
        else []
    man = Manpage(parser)
    # Its own split of the usage line at ":" cuts a metavar such as HOST:PORT.
    man.synopsis = parser.format_usage().split(":", 1)[1].split()
    text = str(man)
    return text.replace('.TH %s "1" Manual' % parser.prog,
                        '.TH %s 1 "" "Tarnwick benchmarks %s" "User Commands"'
                        % (parser.prog.upper(), version), 1)


def script_page(command, version):
    """The page of a shell script whose --help prints its opening comment (up to #SBATCH)."""
    with open(os.path.join(TOOLS, command), encoding="utf-8") as f:
        lines = f.read().splitlines()[1:]
    comment = []
    for line in lines:
        if not line.startswith("#") or line.startswith("#SBATCH"):
            break
        comment.append(line[2:] if line.startswith("# ") else line[1:])
    summary = comment[0].rstrip(":.")
    body = "\n".join(("\\&" if line.startswith((".", "'")) else "") +
                     line.replace("\\", "\\\\").replace("-", "\\-")
                     for line in comment[1:]).strip("\n")
    return "\n".join([
        '.TH %s 1 "" "Tarnwick benchmarks %s" "User Commands"' % (command.upper(), version),
        ".SH NAME", "%s \\- %s" % (command, summary[:1].lower() + summary[1:]),
        ".SH DESCRIPTION", ".nf", body, ".fi", ""])


def write_gzip(path, text):
    """gzip -9n: no name or time inside, so the same page makes the same file."""
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                  compresslevel=9, mtime=0) as f:
        f.write(text.encode("utf-8"))


def text_of(command, version):
    if command in PARSERS:
        return page(parser_of(command), version)
    script = os.path.join(TOOLS, command)
    if os.path.exists(script):
        with open(script, encoding="utf-8") as f:
            if f.readline().startswith("#!/bin/sh"):
                return script_page(command, version)
        sys.exit("manpages.py: %s has no parser: add it to PARSERS" % command)
    try:
        with open(os.path.join(HERE, "man", command + ".1"), encoding="utf-8") as f:
            return f.read().replace("@VERSION@", version)
    except FileNotFoundError:
        sys.exit("manpages.py: no man page for %s: write packaging/man/%s.1" % (command, command))


def main(out_dir, version, *commands):
    os.makedirs(out_dir, exist_ok=True)
    for command in commands:
        write_gzip(os.path.join(out_dir, command + ".1.gz"), text_of(command, version))


if __name__ == "__main__":
    main(*sys.argv[1:])
