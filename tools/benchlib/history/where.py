"""Which runs to read: a selection made into SQL both back-ends take."""

from dataclasses import dataclass

# Headlines the statistics model: 0 (windows that counted nothing), the smallest floats and
# the huge are kept in the history but out of every median and spread.
HEADLINE_RANGE = (1e-6, 1e18)


@dataclass
class Where:
    """Which runs to read. renderer matches a part of the renderer (any case); renderer_is
    the whole of it (None: unknown)."""
    program: str = None
    windows: int = None
    depth: int = None
    renderer: str = None
    host: str = None
    since: float = None            # seconds since the epoch
    renderer_is: object = ...      # ...: any
    mode: str = None               # frames | seconds
    mode_is: object = ...
    env_is: object = ...           # rendering_env exactly (None: none)
    tag: str = None
    before: float = None
    not_key: str = None
    usable: bool = False           # status ok (or unknown), a headline the statistics model,
    #                                not excluded, not failed by the gate unless accepted
    pinned: bool = None
    excluded: bool = None

    def sql(self, same="IS"):
        """(WHERE clause, values); same: the back-end's "equal, or both NULL"."""
        terms, values = [], []

        def term(text, *args):
            terms.append(text)
            values.extend(args)
        if self.program is not None:
            term("program = ?", self.program)
        if self.windows is not None:
            term("windows = ?", self.windows)
        if self.depth is not None:
            term("screen_depth = ?", self.depth)
        if self.renderer is not None:
            # No backslash in a literal: a server with standard_conforming_strings off reads
            # it as an escape, and the statement as an unended string.
            term("lower(gl_renderer) LIKE ? ESCAPE ?", "%%%s%%" % self.renderer.lower()
                 .replace("!", "!!").replace("%", "!%").replace("_", "!_"), "!")
        if self.renderer_is is not ...:
            term("gl_renderer %s ?" % same, self.renderer_is)
        if self.mode is not None:
            term("mode = ?", self.mode)
        if self.mode_is is not ...:
            term("mode %s ?" % same, self.mode_is)
        if self.env_is is not ...:
            term("rendering_env %s ?" % same, self.env_is)
        if self.tag is not None:
            term("tag = ?", self.tag)
        if self.excluded is not None:
            term("excluded = ?", int(self.excluded))
        if self.pinned is not None:
            term("pinned = ?", int(self.pinned))
        if self.host is not None:
            term("(host = ? OR id IN (SELECT run FROM run_hosts WHERE host = ?))",
                 self.host, self.host)
        if self.since is not None:
            term("started >= ?", self.since)
        if self.before is not None:
            term("started < ?", self.before)
        if self.not_key is not None:
            term("run_key != ?", self.not_key)
        if self.usable:
            term("headline >= ? AND headline <= ? AND (status IS NULL OR status = 'ok') AND "
                 "excluded = 0 AND (flagged IS NULL OR accepted = 1 OR pinned = 1)",
                 *HEADLINE_RANGE)
        return ("WHERE " + " AND ".join(terms) if terms else ""), values
