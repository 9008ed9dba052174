"""The runner's door for its agents, against strangers on its port: whatever a connection sends
before it has proved itself closes that connection alone, with few notes, and the agent that
holds the run's secret still gets in."""

import json
import os
import random
import socket
import threading
import time
import unittest

import toolstest as T
from benchlib.hosts.channel import connect, proof
from benchlib.hosts.handshake import NOTED, Door

SECRET = "5e" * 32


def nested(rng, depth):
    """A JSON value nested `depth` deep, its texts from all of Unicode."""
    if depth == 0:
        return rng.choice([None, True, 1.5, -(10 ** 30), "".join(
            chr(rng.choice([rng.randrange(0x20, 0x7f), rng.randrange(0x80, 0x10ffff)]))
            for _ in range(rng.randrange(8)))])
    inner = nested(rng, depth - 1)
    return rng.choice([[inner], {"hello": 0, "proof": inner}, {"x": inner}])


def hostile_inputs(seed):
    """(what, bytes) a stranger sends: the known ways to fail a run, then random ones."""
    known = [
        ("60,000 [", b"[" * 60000 + b"\n"),
        ("deep objects", b'{"a":' * 30000 + b"1" + b"}" * 30000 + b"\n"),
        ("non-ASCII proof", json.dumps({"hello": 0, "proof": "\u00e9" * 64}).encode() + b"\n"),
        ("raw UTF-8 proof", '{"hello": 0, "proof": "%s"}\n'.encode() % ("\u00e9" * 64).encode()),
        ("lone surrogate proof", b'{"hello": 0, "proof": "\\ud800\\udfff\\ud800"}\n'),
        ("NUL proof", b'{"hello": 0, "proof": "\\u0000"}\n'),
        ("wrong proof", json.dumps({"hello": 0, "proof": "0" * 64}).encode() + b"\n"),
        ("proof of another type", b'{"hello": 0, "proof": [1, {"a": null}]}\n'),
        ("no proof", b'{"hello": 0}\n'),
        ("64 KiB + 1", b"x" * (64 * 1024 + 1)),
        ("one long line", b'{"proof": "' + b"a" * 200000 + b'"}\n'),
        ("invalid UTF-8", b'{"hello": 0, "proof": "\xff\xfe\xc0\x80"}\n'),
        ("NUL bytes", b"\x00" * 4096 + b"\n"),
        ("huge number", b"9" * 50000 + b"\n"),
        ("huge exponent", b"1e999999999\n"),
        ("half a line", b'{"hello": 0, "pro'),
        ("empty lines", b"\n" * 10000),
        ("no bytes", b""),
    ]
    rng = random.Random(seed)
    randoms = []
    for i in range(30):
        if i % 3 == 0:
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 3000)))
        elif i % 3 == 1:
            data = json.dumps(nested(rng, rng.randrange(1, 400))).encode() + b"\n"
        else:
            data = json.dumps(nested(rng, rng.randrange(1, 5)),
                              ensure_ascii=False).encode("utf-8", "surrogatepass") + b"\n"
        randoms.append(("random %d (seed %d)" % (i, seed), data))
    return known + randoms


def agent(address, index=0, secret=SECRET):
    """What bench-agent does at the door."""
    channel = connect(address, timeout=30)
    challenge = channel.wait(30)
    channel.send({"hello": index, "host": "node2", "proof": proof(secret, challenge["challenge"])})
    return channel


class Strangers(unittest.TestCase):
    def setUp(self):
        self.server = socket.create_server(("127.0.0.1", 0), backlog=1024)
        self.address = "127.0.0.1:%d" % self.server.getsockname()[1]
        self.notes = []
        self.door = Door(self.server, SECRET, self.notes.append, room=8, timeout=0.5,
                         grace=0.01)
        self.held = []
        self.addCleanup(self.server.close)
        self.addCleanup(lambda: [s.close() for s in self.held])

    def visit(self, strangers):
        """Lets every stranger (a function of its connected socket) at the door, then an
        agent that holds the secret; returns the door's admissions once the agent is in."""
        failures = []

        def outside():
            for stranger in strangers:
                try:
                    s = socket.create_connection(self.server.getsockname(), timeout=30)
                    self.held.append(s)
                    stranger(s)
                except OSError:
                    pass  # the door closed it while it was still sending
            try:
                self.held.append(agent(self.address).sock)
            except Exception as e:  # reported by the test's own thread
                failures.append(e)
        thread = threading.Thread(target=outside)
        thread.start()
        admitted = []
        deadline = time.monotonic() + 120
        try:
            while not admitted and time.monotonic() < deadline and not failures:
                admitted += self.door.admit(0.05)
                self.assertLessEqual(len(self.door.pending), 8)
        finally:
            thread.join(60)
        for _hello, channel in admitted:
            self.addCleanup(channel.close)
        self.assertEqual(failures, [])
        self.door.close_pending("every agent had connected")
        return admitted

    def assert_only_the_agent_got_in(self, admitted, strangers):
        self.assertEqual([hello["hello"] for hello, _ in admitted], [0])
        self.assertEqual(admitted[0][1].limit, None)  # an agent's lines are not bounded
        self.assertGreaterEqual(self.door.turned_away, strangers)
        self.assertLessEqual(len(self.notes), NOTED + 1)
        self.assertTrue(all("the run goes on" in note for note in self.notes), self.notes)
        if self.door.turned_away > NOTED:
            self.assertIn("%d more connections" % (self.door.turned_away - NOTED),
                          self.notes[-1])

    def test_any_bytes_any_depth_any_unicode_any_length(self):
        # A fixed seed, so that a failure can be repeated; BENCH_FUZZ_SEED tries others.
        seed = int(os.environ.get("BENCH_FUZZ_SEED", "20261209"))
        inputs = hostile_inputs(seed)

        def sender(data):
            return lambda s: s.sendall(data) if data else s.close()
        admitted = self.visit([sender(data) for _what, data in inputs])
        self.assert_only_the_agent_got_in(admitted, len(inputs))

    def test_timing_slow_silent_and_abrupt_connections(self):
        def byte_by_byte(s):
            for b in b'{"hello": 0, "proof": "ab':
                s.send(bytes([b]))
                time.sleep(0.01)

        def reset(s):  # closed with a reset, before the door could take it
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            s.close()

        def silent(_s):
            pass
        strangers = [byte_by_byte, reset, silent, silent]
        admitted = self.visit(strangers)
        self.assert_only_the_agent_got_in(admitted, len(strangers))

    def test_held_connections_cannot_hold_the_runners_files(self):
        # Far more connections than the door keeps waiting, all silent and held open.
        admitted = self.visit([lambda _s: None] * 930)
        self.assert_only_the_agent_got_in(admitted, 930 - 8)

    def test_a_burst_of_strangers_cannot_push_out_an_agent_let_in_before_it(self):
        self.door.grace = 5.0
        answered = []

        def outside():
            channel = connect(self.address, timeout=30)
            self.held.append(channel.sock)
            challenge = channel.wait(30)["challenge"]
            for _ in range(50):
                self.held.append(socket.create_connection(self.server.getsockname()))
            # The door takes what it may of the burst: a full room, the agent in it.
            T.wait_until(lambda: len(self.door.pending) == 8, 30)
            channel.send({"hello": 0, "proof": proof(SECRET, challenge)})
            answered.append(True)
        thread = threading.Thread(target=outside)
        thread.start()
        admitted = []
        deadline = time.monotonic() + 30
        while not admitted and time.monotonic() < deadline:
            admitted += self.door.admit(0.05)
        thread.join(30)
        for _hello, channel in admitted:
            self.addCleanup(channel.close)
        self.assertEqual(answered, [True])
        self.assertEqual([hello["hello"] for hello, _ in admitted], [0])
        self.door.close_pending("every agent had connected")

    def test_a_wrong_secret_is_turned_away(self):
        thread = threading.Thread(target=lambda: self.held.append(
            agent(self.address, secret="other").sock))
        thread.start()
        deadline = time.monotonic() + 30
        while not self.door.turned_away and time.monotonic() < deadline:
            self.assertEqual(self.door.admit(0.05), [])
        thread.join(30)
        self.assertEqual(self.door.turned_away, 1)
        self.assertIn("did not prove that it belongs to the run", self.notes[0])


if __name__ == "__main__":
    unittest.main()
