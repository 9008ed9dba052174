"""Which program to run, which MPI library it uses and which launcher starts it."""

import os
import re
import shutil
import subprocess

from .refusal import Refusal

LAUNCHERS = {"openmpi": "/usr/bin/mpiexec.openmpi", "mpich": "/usr/bin/mpiexec.mpich"}
# OpenMPI refuses root and more ranks than cores without these; MPICH ignores them.
OPENMPI_ENV = {
    "OMPI_ALLOW_RUN_AS_ROOT": "1",
    "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
    "OMPI_MCA_rmaps_base_oversubscribe": "1",
}


def locate_program(name, source_dir, program=None, build_dir=None, search_path=None):
    """(program path, build dir or None): --program, else --build-dir, else the checkout's
    build/default, else the installed program on PATH."""
    if program:
        path = os.path.abspath(program)
        where = "--program"
    elif build_dir:
        build_dir = os.path.abspath(build_dir)
        path = os.path.join(build_dir, name, name)
        where = "--build-dir"
    else:
        default_dir = os.path.join(source_dir, "build", "default")
        path = os.path.join(default_dir, name, name)
        if os.access(path, os.X_OK):
            return path, default_dir
        installed = shutil.which(name, path=search_path)
        if installed:
            return os.path.abspath(installed), None
        raise Refusal("no %s program: not built in %s and not installed on PATH (build it: "
                         "cmake --preset default && cmake --build --preset default, or name "
                         "it with --program PATH)" % (name, default_dir))
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise Refusal("the program %s (from %s) does not exist or cannot be run (build it "
                         "first: cmake --preset default && cmake --build --preset default)"
                         % (path, where))
    return path, build_dir


def read_cmake_cache(build_dir):
    values = {}
    path = os.path.join(build_dir, "CMakeCache.txt")
    try:
        with open(path, errors="replace") as f:
            for line in f:
                m = re.match(r"([A-Za-z0-9_.-]+):[A-Z]+=(.*)$", line.rstrip("\n"))
                if m:
                    values[m.group(1)] = m.group(2)
    except FileNotFoundError:
        return None
    return values


def mpi_library_of_path(path):
    """openmpi or mpich for a launcher or compiler wrapper path, None when unclear."""
    if not path:
        return None
    real = os.path.realpath(path)
    for candidate in (os.path.basename(path), os.path.basename(real), real):
        lowered = candidate.lower()
        if "openmpi" in lowered or "orterun" in lowered or "prterun" in lowered:
            return "openmpi"
        if "mpich" in lowered or "hydra" in lowered:
            return "mpich"
    return None


def mpi_library_linked(program_path):
    """The MPI library a program is linked against (from ldd), None when it cannot be told."""
    try:
        out = subprocess.run(["ldd", program_path], capture_output=True, text=True,
                             timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    if re.search(r"libmpich|libmpi\.so\.12\b", out):
        return "mpich"
    if re.search(r"libmpi\.so\.40\b|libopen-rte|libopen-pal", out):
        return "openmpi"
    return None


def build_mpi_library(build_dir, program_path):
    cache = read_cmake_cache(build_dir) or {}
    from_cache = (mpi_library_of_path(cache.get("MPI_CXX_COMPILER"))
                  or mpi_library_of_path(cache.get("MPIEXEC_EXECUTABLE")))
    linked = mpi_library_linked(program_path)
    return linked or from_cache, cache


def launcher_version(launcher, env):
    try:
        proc = subprocess.run([launcher, "--version"], capture_output=True, text=True,
                              timeout=60, env=env)
    except (OSError, subprocess.SubprocessError) as e:
        return {"version_line": None, "version": None, "error": str(e)}
    text = (proc.stdout or "") + (proc.stderr or "")
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    first = lines[0] if lines else None
    version = None
    m = re.search(r"\(Open(?:RTE|MPI|PRRTE)\)\s+(\S+)", text) or \
        re.search(r"^\s*Version:\s+(\S+)", text, re.M)
    if m:
        version = m.group(1)
    return {"version_line": first, "version": version}


def choose_mpi(program_path, build_dir, requested):
    """(library, launcher path) for a program; raises Refusal when they cannot match."""
    if build_dir:
        built_with, cache = build_mpi_library(build_dir, program_path)
    else:
        built_with, cache = mpi_library_linked(program_path), {}
    if requested and built_with and requested != built_with:
        raise Refusal("%s is built against %s; %s's launcher would start unrelated "
                         "single-process runs. Use the matching build (--build-dir) or leave "
                         "out --mpi." % (program_path, built_with, requested))
    library = requested or built_with
    if not library:
        raise Refusal("cannot tell which MPI library %s uses (no CMakeCache.txt with "
                         "MPI_CXX_COMPILER, nothing in ldd's output): say it with --mpi "
                         "openmpi|mpich" % program_path)
    cached = cache.get("MPIEXEC_EXECUTABLE")
    if cached and mpi_library_of_path(cached) == library and os.access(cached, os.X_OK):
        launcher = cached
    else:
        launcher = LAUNCHERS[library]
    if not os.access(launcher, os.X_OK):
        raise Refusal("the %s launcher %s is not installed" % (library, launcher))
    return library, launcher
