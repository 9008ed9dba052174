"""A run that must not start."""


class Refusal(Exception):
    """A run refused before anything started; the message is the whole explanation (one line
    that names the limit and the way out). bench-run's status 2."""
