"""Writes the bash completion of each tool (argcomplete: the tools complete their own
options when bash asks them to): packaging/completions.py OUT_DIR COMMAND..."""

import os
import subprocess
import sys


def main(out_dir, *commands):
    os.makedirs(out_dir, exist_ok=True)
    for command in commands:
        script = subprocess.run(["register-python-argcomplete", command], check=True,
                                capture_output=True, text=True).stdout
        with open(os.path.join(out_dir, command), "w", encoding="utf-8") as f:
            f.write(script)


if __name__ == "__main__":
    main(*sys.argv[1:])
