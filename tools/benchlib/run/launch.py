"""Launch: the benchmark's launcher for one run, stopped with all it started on the way out."""

import contextlib
import os
import shutil
import subprocess

from ..hosts import processes
from ..results.files import create_new
from . import orphans
from .preflight import FULL_BELOW
from .plan import launch_line

class RunError(Exception):
    pass


def console_tail(folder, lines=12):
    try:
        with open(os.path.join(folder, "console.log"), errors="replace") as f:
            text = f.read().strip().splitlines()
    except OSError:
        return " (there is no console.log)"
    if not text:
        return " (console.log is empty)"
    return " Last lines of console.log:\n    " + "\n    ".join(text[-lines:])


def full_disk_note(folder):
    """A sentence naming a full file system under the output folder, or ""."""
    try:
        st = os.statvfs(folder)
    except OSError:
        return ""
    free = st.f_bavail * st.f_frsize
    if free >= FULL_BELOW:
        return ""
    return (" The file system of %s is full (%d bytes free): the windows could not write "
            "their reports there." % (folder, free))


def file_complaint(w, said):
    """bench-run's line for a window whose results file is incomplete or was not created."""
    name = os.path.basename(said["path"])
    if said["state"] == "incomplete":
        what = "is incomplete: %s (first failed write: %s)" % (name, said["error"])
    elif said["state"] == "removed":
        what = "was removed during the run: %s" % name
    else:
        what = "was not created: %s (%s)" % (name, said["error"])
    return "window %d: the results file %s; the console holds the full reports" % (w, what)


def launcher_folder(stack, plan, record):
    """A folder of the run's own for an OpenMPI launcher on this machine: its session folder
    and shared-memory segments, removed at the end whatever happened (also when the launcher
    was killed, which leaves them behind)."""
    if plan.mpi != "openmpi" or plan.across:
        return {}
    folder = orphans.launcher_folder(record.info["run_id"])
    stack.callback(shutil.rmtree, folder, ignore_errors=True)
    record.info["launcher_tmpdir"] = folder
    record.write()
    return {"TMPDIR": folder, "OMPI_MCA_orte_tmpdir_base": folder,
            "OMPI_MCA_btl_vader_backing_directory": folder}


def launch(stack, plan, fleet, record, signals):
    """Starts the launcher of the run in fleet.folder; on the way out it is stopped with
    everything it started, the clean-up held from signals."""
    folder = fleet.folder
    console = stack.enter_context(create_new(os.path.join(folder, "console.log")))
    env = dict(plan.env, **fleet.launch_env(), **launcher_folder(stack, plan, record))
    command = launch_line(plan, folder)
    record.mark_launch()
    try:
        launcher = subprocess.Popen(command, cwd=folder, env=env,
                                    stdin=subprocess.DEVNULL, stdout=console,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=processes.die_with_parent)
    except OSError as e:
        raise RunError("cannot start %s: %s" % (command[0], e)) from None

    def stop():
        processes.stop_tagged(plan.token, session=launcher.pid, exclude=fleet.own_xvfb)
        with contextlib.suppress(subprocess.TimeoutExpired):
            launcher.wait(timeout=5)
        record.info["launcher_status"] = launcher.returncode
    stack.callback(stop)
    stack.callback(signals.hold)  # runs first: nothing interrupts the clean-up
    fleet.watch(stack, launcher)
    return launcher
