"""Where the history is when no --db names it, and the queue beside the user's own file."""

import os


def default_path(env=None):
    env = os.environ if env is None else env
    return env.get("BENCH_HISTORY") or default_file(env)


def default_file(env=None):
    """The user's own SQLite history (beside it, the queue of records for a server)."""
    env = os.environ if env is None else env
    base = env.get("XDG_DATA_HOME")
    if not base or not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "tarnwick-benchmarks", "history.sqlite")


def queue_folder(env=None):
    """Where records wait for a history server that was away."""
    return os.path.join(os.path.dirname(default_file(env)), "queue")
