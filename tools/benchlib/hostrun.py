"""The phases of a run across hosts: the agents first (one per host, with its display), then
the benchmark through the launcher, then the windows driven by the agents on the runner's
word, phase by phase, every host together."""

import os
import time

from . import clusterrun as C
from . import processes, runinfo, runner
from .agent import marker_name


SUMMARY_GRACE = 5.0


def make_check(plan, launcher, console):
    """Raises when a window's results file cannot be written, or the launcher ended before
    every window had written its summary."""
    ended = []

    def check(agents):
        for w, said in sorted(console.update().items()):
            if said["state"] == "not created" or agents.phase != "ending":
                raise runner.RunError(runner.file_complaint(w, said))
        if launcher.poll() is None:
            return
        # The agents report a summary up to half a second after the window wrote it: a
        # launcher that ended cleanly may have been quicker.
        if not ended:
            ended.append(time.monotonic())
        if launcher.returncode == 0 and time.monotonic() - ended[0] < SUMMARY_GRACE:
            return
        if not all(w in agents.summaries for w in plan.windows):
            missing = [w for w in plan.windows if w not in agents.appeared]
            what = ("before window(s) %s appeared" % ", ".join(map(str, missing)) if missing
                    else "while the windows were running")
            raise runner.RunError("the launcher ended with status %d %s.%s"
                                  % (launcher.returncode, what, runner.console_tail(plan.out)))
    return check


def describe(record, plan, agents):
    info = record.info
    env = dict(plan.env)
    info["mpi"].update(runinfo.launcher_version(plan.launcher, env))
    info["mpi"]["launcher"] = plan.launch_command()[0]
    first = next(agents.facts[h] for h, windows in plan.placement.items() if windows)
    glx = {"renderer": first["gl_renderer"], "version": first["gl_version"]}
    screen = first["screen"]
    info.update({"display": {"name": plan.args.display or first["display"],
                             "own_xvfb": not plan.args.display, "xvfb_pid": None,
                             "per_host": {h: f["display"] for h, f in agents.facts.items()}},
                 "screen": screen, "screen_depth": screen["depth"], "glx": glx,
                 "renderer": glx["renderer"], "shared_folder": agents.shared,
                 "placement": plan.placement})
    context = record.machine_context(glx, info["mpi"], screen, runner.SOURCE_DIR)
    info["git_revision"] = context["git_revision"]
    info["hosts"] = C.host_entries(plan, agents.facts)
    record.write()


def run_across_hosts(stack, plan, record, console, progress):
    a = plan.args
    with open(os.path.join(plan.out, marker_name(plan.token)), "w"):
        pass
    agents = C.Agents(plan, progress)
    agent_env = {k: v for k, v in plan.env.items() if k != processes.TAG_VARIABLE}
    agents.start(stack, agent_env)
    agents.configure({"program": a.program, "out": plan.out, "token": plan.token,
                      "display": a.display, "depth": a.depth, "frames": a.frames,
                      "timeouts": [a.appear_timeout, a.stall_timeout]})
    C.check_hosts(plan, agents.facts)
    collected = []

    def collect_after_failure():
        # Runs after the launcher has been stopped: what the windows wrote before the end.
        if not agents.shared and not collected:
            agents.collect(plan.out, timeout=15, failed=True)
    stack.callback(collect_after_failure)
    describe(record, plan, agents)
    mode = ("%d frame(s) per window" % a.frames if a.frames is not None
            else "%g s of animation" % a.seconds)
    progress.say("%s: %d window(s) on %s, %s, %s launcher %s, %s, output %s" % (
        a.program, a.windows, ", ".join("%s (%s)" % (h, ",".join(map(str, w)) or "console")
                                        for h, w in plan.placement.items()),
        mode, plan.mpi, plan.launch_command()[0],
        "display %s" % a.display if a.display else "own Xvfb on each host (depth %d)"
        % (a.depth or 24), plan.out))
    launcher = runner.launch(stack, plan, a.display or ":0", record, None)
    agents.wake = C.exit_fd(stack, launcher)
    check = make_check(plan, launcher, console)
    long = 2 * a.appear_timeout + 4 * a.stall_timeout
    agents.phase = "waiting for windows"
    started = agents.command("start", long, check)
    record.info["window_visuals"] = {w: v for r in started.values()
                                     for w, v in r.get("visuals", {}).items()}
    record.write()
    too_many = []
    if a.frames is not None:
        agents.phase = "stepping"
        steps = agents.command("step", long + a.frames * 4 * a.stall_timeout, check,
                               frames=a.frames)
        too_many = sorted(w for r in steps.values() for w in r.get("too_many", []))
    else:
        agents.phase = "animating"
        agents.command("animate", a.seconds + long, check, seconds=a.seconds)
    agents.phase = "ending"
    agents.command("end", long, check)
    C.wait_launcher(agents, launcher, a.exit_timeout)
    if launcher.returncode != 0:
        raise runner.RunError("the launcher ended with status %d.%s"
                              % (launcher.returncode, runner.console_tail(plan.out)))
    if not agents.shared:
        agents.collect(plan.out)
        collected.append(True)
    progress.end_line()
    runner.report(plan, console, too_many)
