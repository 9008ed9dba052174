#!/usr/bin/python3
"""Prints the picture check's figures (benchlib.pictures.compare) for frames that two
correct GLs draw differently and for frames that are wrong, so that its thresholds can be
set between them.

Each frame is drawn the way bench-run draws its references (one lone process, stepped with
c), once by llvmpipe (the reference) and once by each variant: softpipe, llvmpipe with one
render thread, a stand-in GL library that leaves point smoothing off (legal) and the
stand-ins that draw nothing, half the geometry, white, or turned by 40 degrees (wrong).
The stand-in is tests/tools/standin_gl/standin_gl.cpp, built by this script with g++.
Run it under `flock /tmp/tarnwick-e2e.lock`: it starts Xvfb and the programs.

    bench/picture_calibration.py [--build-dir build/default] [--rank-shim PATH]
                                 [--only latticeglow|shardfall] [--depth 16|24|30]
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

from benchlib.hosts import references as reference  # noqa: E402
from benchlib.pictures import compare  # noqa: E402
from benchlib.run.build import OPENMPI_ENV  # noqa: E402

CASES = [("latticeglow", 16, [(1, 1), (1, 5)]), ("latticeglow", 24, [(1, 2)]),
         ("shardfall", 24, [(1, 1), (2, 2)]), ("shardfall", 16, [(3, 1)])]
VARIANTS = [("softpipe", {"GALLIUM_DRIVER": "softpipe"}, None),
            ("llvmpipe, 1 thread", {"LP_NUM_THREADS": "1"}, None),
            ("point smoothing off", {}, "nosmooth"),
            ("WRONG: nothing", {}, "nothing"), ("WRONG: half", {}, "half"),
            ("WRONG: white", {}, "white"), ("WRONG: turned", {}, "turned")]


def draw(args, program, depth, wanted, gl_env, fault, standin):
    env = dict(os.environ, **OPENMPI_ENV)
    shim = args.rank_shim
    if fault:
        env["STANDIN_GL"] = fault
        shim = shim + ":" + standin
    saved = dict(reference.SOFTWARE_GL)
    reference.SOFTWARE_GL.update(gl_env)
    try:
        path = os.path.join(args.build_dir, program, program)
        with reference.References(program, path, shim, depth, 1440, env, 300) as refs:
            return refs.draw(wanted)
    finally:
        reference.SOFTWARE_GL.clear()
        reference.SOFTWARE_GL.update(saved)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build-dir", default=os.path.join(HERE, "..", "build", "default"))
    p.add_argument("--rank-shim")
    p.add_argument("--only", choices=("latticeglow", "shardfall"))
    p.add_argument("--depth", type=int, choices=(16, 24, 30))
    args = p.parse_args()
    args.rank_shim = args.rank_shim or os.path.join(args.build_dir, "tools",
                                                    reference.SHIM_NAME)
    with tempfile.TemporaryDirectory() as tmp:
        standin = os.path.join(tmp, "standin_gl.so")
        subprocess.run(["g++", "-shared", "-fPIC", "-O2", "-o", standin, os.path.join(
            HERE, "..", "tests", "tools", "standin_gl", "standin_gl.cpp"), "-ldl"], check=True)
        print("%-12s %-5s %-7s %-22s %7s %8s %7s %6s  %s" % (
            "program", "depth", "w,a", "variant", "drawn", "coverage", "overlap", "colour",
            "verdict"))
        for program, depth, wanted in CASES:
            if args.only and program != args.only or args.depth and depth != args.depth:
                continue
            base = draw(args, program, depth, wanted, {}, None, standin)
            for name, gl_env, fault in VARIANTS:
                other = draw(args, program, depth, wanted, gl_env, fault, standin)
                for key, picture in sorted(other.items()):
                    ref = base[key]
                    figures = compare.measure(picture, ref)
                    wrong = compare.judge(figures, compare.Tolerance())
                    print("%-12s %-5d %-7s %-22s %7.4f %8s %7.3f %6.1f  %s" % (
                        program, depth, "%d,%d" % key, name, figures["drawn"],
                        figures["coverage"], figures["overlap"], figures["colour"],
                        "; ".join(wrong) or "pass"), flush=True)


if __name__ == "__main__":
    main()
