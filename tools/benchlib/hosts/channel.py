"""One JSON object a line over a TCP connection between bench-run and its host agents, the
proof an agent gives that it belongs to the run, and the runner's address as the agents reach
it.

The runner gives the agents a secret through the launcher's environment; on the wire it only
sends each connection a challenge, which an agent answers with an HMAC of it under the secret.
"""

import hashlib
import hmac
import json
import select
import socket
import time

SECRET_VARIABLE = "BENCH_AGENT_SECRET"


def proof(secret, challenge):
    return hmac.new(secret.encode(), challenge.encode(), hashlib.sha256).hexdigest()


def proves(secret, challenge, answer):
    """Whether answer (anything a connection sent) is the proof for challenge."""
    return isinstance(answer, str) and answer.isascii() and \
        hmac.compare_digest(proof(secret, challenge), answer)


class ChannelClosed(Exception):
    pass


class Channel:
    def __init__(self, sock, name="", limit=None):
        self.sock = sock
        self.name = name
        self.limit = limit  # most bytes a line may take (None: no limit)
        self.sock.setblocking(False)
        self._buffer = b""
        self._messages = []

    def fileno(self):
        return self.sock.fileno()

    def send(self, message):
        data = (json.dumps(message) + "\n").encode()
        self.sock.setblocking(True)
        try:
            self.sock.sendall(data)
        except OSError as e:
            raise ChannelClosed("connection to %s lost: %s" % (self.name, e)) from None
        finally:
            self.sock.setblocking(False)

    def receive(self):
        """The messages that have arrived (without waiting); ChannelClosed once the other
        end has closed and every message it sent has been taken."""
        closed = False
        while True:
            try:
                chunk = self.sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                break
            except OSError as e:
                raise ChannelClosed("connection to %s lost: %s" % (self.name, e)) from None
            if not chunk:
                closed = True
                break
            self._buffer += chunk
            if self.limit is not None and len(self._buffer) > self.limit:
                raise ChannelClosed("%s sent more than %d bytes in a line"
                                    % (self.name, self.limit))
        *lines, self._buffer = self._buffer.split(b"\n")
        for line in lines:
            if line.strip():
                try:
                    message = json.loads(line)
                except (ValueError, RecursionError):  # not JSON, or nested beyond Python's stack
                    message = None
                if not isinstance(message, dict):
                    raise ChannelClosed("%s sent a line that is no message" % self.name)
                self._messages.append(message)
        messages, self._messages = self._messages, []
        if closed and not messages:
            raise ChannelClosed("%s closed the connection" % self.name)
        return messages

    def wait(self, timeout):
        """The next message within timeout seconds, or None."""
        deadline = time.monotonic() + timeout
        while True:
            messages = self.receive()
            if messages:
                self._messages = messages[1:] + self._messages
                return messages[0]
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.sock], [], [], left)

    def close(self):
        self.sock.close()


def connect(address, timeout=60.0):
    host, _, port = address.rpartition(":")
    return Channel(socket.create_connection((host, int(port)), timeout=timeout), address)


def own_address(host_names):
    """This host's address as the other hosts reach it: the local end of a route to one of
    them (a UDP socket's connect sends nothing). A host's name may resolve to a loopback
    address on the host itself (Debian's 127.0.1.1), which no other host can use."""
    me = socket.gethostname()
    for name in host_names:
        if name == me:
            continue
        try:
            peer = socket.getaddrinfo(name, 9, socket.AF_INET, socket.SOCK_DGRAM)[0][4]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.connect(peer)
                address = probe.getsockname()[0]
        except OSError:
            continue
        if not address.startswith("127."):
            return address
    return me
