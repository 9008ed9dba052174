"""Launch: the benchmark's launcher for one run, the check every phase makes of it, and the
wait for its end."""

import contextlib
import os
import shutil
import subprocess
import time

from ..hosts import processes
from . import orphans
from .preflight import FULL_BELOW
from .plan import launch_line

# The agents report a summary up to half a second after the window wrote it: a launcher
# that ended cleanly may have been quicker.
SUMMARY_GRACE = 5.0


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
    console = stack.enter_context(open(os.path.join(folder, "console.log"), "wb"))
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


def make_check(plan, launcher, console):
    """The check of every phase: no window has said that its results file cannot be written
    (while windows end, such a window is left for the final verdict, so that the others
    still end cleanly), and the launcher runs until every window has written its summary."""
    ended = []

    def check(fleet):
        folder = fleet.folder
        full = full_disk_note(folder)
        if full:  # a window then stalls on its next line, and console.log is cut short
            raise RunError("the output folder's file system filled up during the run." + full)
        ending = fleet.phase in ("ending", "waiting for the launcher")
        for w, said in sorted(console.update().items()):
            if said["state"] == "not created" or not ending:
                raise RunError(file_complaint(w, said) + full_disk_note(folder))
        if launcher.poll() is None:
            return
        if not ended:
            ended.append(time.monotonic())
        if launcher.returncode == 0 and time.monotonic() - ended[0] < SUMMARY_GRACE:
            return
        if not all(w in fleet.summaries for w in plan.windows):
            missing = [w for w in plan.windows if w not in fleet.appeared]
            what = ("before window(s) %s appeared" % ", ".join(map(str, missing)) if missing
                    else "while the windows were running")
            wrap = " (every window ran under --wrap %r)" % plan.args.wrap \
                if plan.args.wrap else ""
            raise RunError("the launcher ended with status %d %s%s.%s%s"
                           % (launcher.returncode, what, wrap, full_disk_note(folder),
                              console_tail(folder)))
    return check


def wait_for_launcher(fleet, launcher, timeout, check):
    fleet.order("waiting for the launcher")
    deadline = time.monotonic() + timeout
    while launcher.poll() is None:
        fleet.tick(0.2, check)
        if time.monotonic() > deadline:
            raise RunError("the launcher did not end within %g s after every window had "
                           "ended" % timeout)
    if launcher.returncode != 0:
        raise RunError("the launcher ended with status %d.%s"
                       % (launcher.returncode, console_tail(fleet.folder)))
