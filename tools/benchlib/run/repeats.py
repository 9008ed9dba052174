"""--repeat K: the same run K times back to back, into one folder with a sub-folder per repeat
(repeat-1, repeat-2, ...), each a run folder of its own made by fresh processes. On this
machine the repeats share one display: the runner's own Xvfb (or the --display given) lives
for all of them. The folder's run.json lists the repeats with their status; a repeat that
fails ends the series."""

import contextlib
import copy
import datetime
import os
import sys

from ..hosts import limits, placement
from ..hosts.xvfb import Xvfb
from ..results.files import replace_json
from . import preflight, session
from .orphans import runner_identity
from .record import now_iso

PREFIX = "repeat-"


def repeat_folder(parent, k):
    return os.path.join(parent, "%s%d" % (PREFIX, k))


def run_repeats(args, argv, progress):
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    default = os.path.join("runs", "%s-%s" % (args.program, stamp))
    parent = preflight.check_out(args.out or default)
    info = {"program": args.program, "windows": args.windows, "frames": args.frames,
            "seconds": args.seconds, "repeat": args.repeat, "status": "running",
            "error": None, "start_time": now_iso(), "end_time": None,
            "command": [sys.argv[0]] + list(argv), "runner": runner_identity(), "repeats": []}
    made = not os.path.exists(parent)
    preflight.make_out(parent)
    path = os.path.join(parent, "run.json")
    replace_json(path, info)
    status, error = "ok", None
    try:
        with contextlib.ExitStack() as stack:
            shared = dict(vars(args), repeat=1)
            if not args.display and not args.hostfile and \
                    not os.environ.get("SLURM_JOB_NODELIST"):
                shared["display"] = own_display(stack, args, parent)
            for k in range(1, args.repeat + 1):
                progress.say("repeat %d of %d" % (k, args.repeat))
                one = copy.copy(args)
                vars(one).update(shared, out=repeat_folder(parent, k))
                entry = {"folder": os.path.basename(one.out), "status": "running"}
                info["repeats"].append(entry)
                try:
                    session.run(one, argv, progress)
                    entry["status"] = "ok"
                except BaseException as e:
                    entry["status"], entry["error"] = session.final_status(e)
                    raise
                finally:
                    replace_json(path, info)
    except limits.Refusal:
        if not os.path.exists(repeat_folder(parent, 1)):
            # Refused before anything ran: nothing is left behind.
            for name in ("run.json", "xvfb.log"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(parent, name))
            if made:
                with contextlib.suppress(OSError):
                    os.rmdir(parent)
            raise
        status, error = "failed", "a repeat was refused"
        raise
    except BaseException as e:
        status, error = session.final_status(e)
        raise
    finally:
        if os.path.exists(path):
            info.update(status=status, error=error, end_time=now_iso())
            replace_json(path, info)
    print("repeats complete: %s (tools/bench-report %s for the report)" % (parent, parent))


def own_display(stack, args, parent):
    """One Xvfb for every repeat, as large as the windows need, with room for their X
    clients."""
    size = placement.own_screen(range(1, args.windows + 1), args.depth or 24)
    log = stack.enter_context(open(os.path.join(parent, "xvfb.log"), "wb"))
    xvfb = stack.enter_context(Xvfb(size, size, args.depth or 24, log=log,
                                    max_clients=limits.xvfb_max_clients(args.windows)))
    os.environ.update(xvfb.client_env)  # for every repeat's X clients and windows
    return xvfb.display
