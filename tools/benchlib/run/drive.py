"""Drive: the windows through their phases, on every host together, each phase checked, until
the launcher has ended."""

import time

from .launch import RunError, console_tail, file_complaint, full_disk_note

# The agents report a summary up to half a second after the window wrote it: a launcher
# that ended cleanly may have been quicker.
SUMMARY_GRACE = 5.0
# Across hosts, a launcher that failed may end before the agent of the host where a window
# ended has said which window, and how (it sees the window go within a tick of its own).
HOSTS_WORD_GRACE = 2.0


def drive(plan, fleet, record, launcher, console):
    """Start, then step (--frames) or animate (--seconds), then end, then wait for the
    launcher; returns the windows that drew more than --frames before the pause took
    effect."""
    a = plan.args
    check = make_check(plan, launcher, console)
    long = 2 * a.appear_timeout + 4 * a.stall_timeout
    started = fleet.command("start", long, check)
    record.info["window_visuals"] = {w: v for r in started.values()
                                     for w, v in r.get("visuals", {}).items()}
    record.write()
    too_many = []
    if a.frames is not None:
        steps = fleet.command("step", long + a.frames * 4 * a.stall_timeout, check,
                              frames=a.frames)
        too_many = sorted(w for r in steps.values() for w in r.get("too_many", []))
    else:
        # The seconds count from the moment every window of every host animates.
        first = fleet.command("animate", long, check)
        record.info["first_frame_after_r"] = {w: s for r in first.values()
                                              for w, s in r.get("first_frames", {}).items()}
        record.write()
        fleet.command("animate_for", a.seconds + long, check, seconds=a.seconds)
    fleet.command("end", long, check)
    wait_for_launcher(fleet, launcher, a.exit_timeout, check)
    return too_many


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
        grace = SUMMARY_GRACE if launcher.returncode == 0 else \
            HOSTS_WORD_GRACE if plan.across else 0.0
        if time.monotonic() - ended[0] < grace:
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
