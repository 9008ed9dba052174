"""Recording runs: what bench-run and `bench-history add` call. A run folder's record goes
into the history (a file or a server); for a server, the records that waited in the queue go
with it, and while the server is away the record waits there."""

import contextlib
import sys

from ..results.numbers import g
from . import analysis, backend, bounds, queue
from .backend import HistoryError, ServerAway
from .folder import NotARun, read_run
from .store import BUSY_TIMEOUT, RECORD_BOUND, History
from .where import HEADLINE_RANGE


def check_target(target):
    """Refuses, before a run starts, a history bench-run could not use: a target that may
    hold a password (it would show in run.json's command and the process list), text that is
    neither a file path nor a server URI libpq takes, or psycopg missing. Raises HistoryError
    with one line."""
    backend.check_target(target)


def record_entry(db_path, entry, timeout=BUSY_TIMEOUT):
    """Records an entry; for a server, the records waiting for it go too, and when it is
    away (or the whole takes more than RECORD_BOUND seconds, or an ending signal comes) the
    entry joins them (entry.queued) and ServerAway is raised. Once the entry is recorded,
    what goes wrong with the others is only noted (entry.notes)."""
    headline = entry.run["headline"]
    if headline is not None and not analysis.modelled(headline):
        entry.notes.append("the run's headline, %s, is kept but left out of every comparison "
                           "(the statistics take %g to %g)" % ((g(headline),)
                                                               + HEADLINE_RANGE))
    history = History(db_path, timeout=timeout)
    bound = bounds.bounded(RECORD_BOUND, "the recording in the history server") \
        if history.server else contextlib.nullcontext()
    try:
        with bound, history:
            entry.recorded = history.record(entry)
            if history.server:
                entry.sent = send_queued(history, entry.notes)
    except HistoryError as e:
        if entry.recorded:
            entry.notes.append("the records that waited for the server were not all sent: %s"
                               % e)
            return
        if not isinstance(e, ServerAway):
            raise
        try:
            entry.queued = queue.put(history.path, entry)
        except OSError as failed:
            raise HistoryError("%s; nor can the record wait in the queue: %s"
                               % (e, failed.strerror or failed)) from None
        raise ServerAway("%s; the record waits in %s (bench-history --db %s push sends it)"
                         % (e, entry.queued, history.path)) from None


def send_queued(history, notes):
    """Records what waits in the queue for this server; the number sent. A record that
    cannot be read or that the server refuses is set aside, with a note; a server that
    stops answering ends the sending (ServerAway, through the history)."""
    try:
        records, set_aside = queue.waiting(history.path)
    except OSError as e:
        notes.append("the queue cannot be read: %s" % (e.strerror or e))
        return 0
    notes.extend(set_aside)
    sent = 0
    for path, entry, kept in records:
        try:
            history.record(entry, kept)
        except Exception as e:
            if history.lost(e):
                raise
            notes.append(queue.reject(path, "the server refused it: %s" % backend.first_line(e)))
            continue
        queue.done(path)
        sent += 1
    return sent


def disputed_line(entry):
    return ("its run id is also claimed by %s, another run: recorded apart, as %s"
            % (entry.disputed, entry.run["run_key"]))


def record_quietly(db_path, folder, timeout=BUSY_TIMEOUT, prog="bench-history", parsed=None):
    """Records a run folder in the history (db_path None: the default one) and returns True
    when the run is in it (recorded now or before). When the database is locked beyond the
    timeout, read-only, damaged or of a newer schema, a server is away (the record then
    waits in the queue), or the folder is not a run that has ended, prints one line on
    standard error and returns False; never raises for those."""
    entry = None
    try:
        entry = read_run(folder, parsed)
        record_entry(db_path, entry, timeout)
        if entry.disputed:
            print("%s: %s" % (prog, disputed_line(entry)), file=sys.stderr)
        return True
    except (NotARun, HistoryError) as e:
        print("%s: run not recorded in the history: %s" % (prog, e), file=sys.stderr)
        return False
    finally:
        for note in entry.notes if entry else []:
            print("%s: note: %s" % (prog, note), file=sys.stderr)
