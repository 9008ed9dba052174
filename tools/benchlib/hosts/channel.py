"""One JSON object a line over a TCP connection between bench-run and its host agents."""

import json
import select
import socket
import time


class ChannelClosed(Exception):
    pass


class Channel:
    def __init__(self, sock, name=""):
        self.sock = sock
        self.name = name
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
        *lines, self._buffer = self._buffer.split(b"\n")
        self._messages += [json.loads(line) for line in lines if line.strip()]
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
