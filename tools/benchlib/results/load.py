"""Whether a run's machine was busy beside it, from the load averages run.json keeps: the
same sentence for bench-report's warning and bench-history check's CANNOT TELL."""


def load_warning(context):
    """A sentence when the machine's load average (1, 5 or 15 minutes, at the start or the
    end) exceeded its cores: its figures are then those of a busy machine."""
    cores = context.get("cores")
    loads = [v for key in ("load_start", "load_end")
             for v in (context.get(key) or []) if isinstance(v, (int, float))]
    if not isinstance(cores, int) or not loads or max(loads) <= cores:
        return None
    return ("the load average reached %.2f on %d cores: the machine was busy beside the run, "
            "its rates may be low and its frame times uneven" % (max(loads), cores))
