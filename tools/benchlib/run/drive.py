"""Drive: the windows through their phases, on every host together."""


def drive(plan, fleet, record, check):
    """Start, then step (--frames) or animate (--seconds), then end; returns the windows that
    drew more than --frames before the pause took effect."""
    a = plan.args
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
    return too_many
