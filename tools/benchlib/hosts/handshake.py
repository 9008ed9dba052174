"""The runner's door for its agents: every connection to the runner's port gets a challenge
and is let in only once it has answered it with the run's proof (see channel.py).

The port's address is on every host's process list, so anything may connect: until a
connection has proved itself, whatever it sends (any bytes, any depth of JSON, any length,
nothing at all) only closes that connection, with a note. Strangers cannot hold the runner's
files: at most `room` connections wait for their answer, the oldest is closed to make room
once it has had GRACE seconds to answer (until then newcomers wait in the listen backlog: a
burst of strangers cannot push out an agent that was let in just before it).
The first few connections turned away get a note each, the rest one line at the end.
"""

import select
import secrets
import time

from .channel import Channel, ChannelClosed, proves

HELLO_TIMEOUT = 10.0   # a connection that has not proved itself by then is closed
HELLO_LIMIT = 65536    # the most bytes a connection may send before it has proved itself
ROOM = 64              # connections waiting for their answer at once, besides the agents'
GRACE = 1.0            # the least time a connection has to answer before it may make room
NOTED = 3              # connections turned away with a note of their own


class Door:
    def __init__(self, server, secret, say, room=ROOM, timeout=HELLO_TIMEOUT, grace=GRACE):
        self.server = server
        self.server.setblocking(False)
        self.secret = secret
        self.say = say
        self.room = room
        self.timeout = timeout
        self.grace = grace
        self.pending = {}   # channel -> (challenge, when it came); oldest first
        self.turned_away = 0
        self.summarised = 0
        self.out_of_files = False

    def turn_away(self, channel, why):
        channel.close()
        self.turned_away += 1
        if self.turned_away <= NOTED:
            self.say("bench-run: note: a connection from %s: closed (%s); the run goes on"
                     % (channel.name, why))

    def summarise(self):
        """One line for the connections turned away since the notes stopped."""
        unsaid = self.turned_away - max(NOTED, self.summarised)
        if unsaid > 0:
            self.say("bench-run: note: %d more connections that did not prove they belong "
                     "to the run were closed; the run goes on" % unsaid)
        self.summarised = self.turned_away

    def _accept(self):
        try:
            conn, peer = self.server.accept()
        except (BlockingIOError, InterruptedError, ConnectionAbortedError):
            return None
        except OSError as e:  # out of files, say: the connection waits in the backlog
            if not self.out_of_files:
                self.say("bench-run: note: cannot take a connection now: %s" % e.strerror)
            self.out_of_files = True
            return None
        return Channel(conn, peer[0], limit=HELLO_LIMIT)  # named by its address until it proves

    def admit(self, timeout):
        """Waits up to timeout seconds; returns [(hello, channel)] of the connections that
        proved themselves meanwhile (hello: their first message)."""
        door = [self.server] if self._room() else []
        ready, _, _ = select.select(door + list(self.pending), [], [], timeout)
        if self.server in ready:
            channel = self._accept()
            if channel is not None:
                if len(self.pending) >= self.room:
                    oldest = next(iter(self.pending))
                    del self.pending[oldest]
                    self.turn_away(oldest, "too many connections waiting to prove themselves")
                challenge = secrets.token_hex(16)
                try:
                    channel.send({"challenge": challenge})
                    self.pending[channel] = (challenge, time.monotonic())
                except ChannelClosed as e:
                    self.turn_away(channel, str(e))
        admitted = []
        for channel, (challenge, since) in list(self.pending.items()):
            try:
                hello = channel.wait(0) if channel in ready else None
            except ChannelClosed as e:
                del self.pending[channel]
                self.turn_away(channel, str(e))
                continue
            if hello is None:
                if time.monotonic() > since + self.timeout:
                    del self.pending[channel]
                    self.turn_away(channel, "no answer to its challenge")
                continue
            del self.pending[channel]
            if not proves(self.secret, challenge, hello.get("proof")):
                self.turn_away(channel, "it did not prove that it belongs to the run")
                continue
            channel.limit = None
            admitted.append((hello, channel))
        return admitted

    def _room(self):
        """Whether a newcomer may come in: there is room, or the oldest waiting connection
        has had its grace (and makes room)."""
        if len(self.pending) < self.room:
            return True
        _challenge, since = next(iter(self.pending.values()))
        return time.monotonic() >= since + self.grace

    def close_pending(self, why):
        for channel in self.pending:
            self.turn_away(channel, why)
        self.pending = {}
        self.summarise()

    def turn_away_newcomer(self):
        """Once every agent is in, whoever connects is a stranger."""
        channel = self._accept()
        if channel is not None:
            self.turn_away(channel, "every agent had connected")
