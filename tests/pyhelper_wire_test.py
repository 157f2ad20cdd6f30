#!/usr/bin/env python3
"""The Python example helper against a raw listener: what the platform's listener
cannot be made to send (malformed and oversized frames) and the cache seen frame by
frame. Usage: pyhelper_wire_test.py PATH/TO/pyhelper.py"""

import base64
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

HELPER = None
sys.dont_write_bytecode = True


def b64(text):
    return base64.b64encode(text.encode()).decode()


class Peer:
    """The application's end of one connection, frame by frame."""

    def __init__(self, wire, sock):
        self.wire, self.sock, self.sequence = wire, sock, 0

    def read(self):
        prefix = self._exactly(4)
        if prefix is None:
            return None
        body = self._exactly(struct.unpack(">I", prefix)[0])
        frame = self.wire.Frame()
        frame.ParseFromString(body)
        return frame

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def write_raw(self, data):
        self.sock.sendall(data)

    def write(self, frame):
        body = frame.SerializeToString()
        self.write_raw(struct.pack(">I", len(body)) + body)

    def send(self, entries):
        """Sends a request; returns its sequence."""
        self.sequence += 1
        frame = self.wire.Frame()
        frame.request.sequence = self.sequence
        for key, (kind, value) in entries.items():
            e = frame.request.message.entries.add()
            e.key = key
            setattr(e.value, kind, value)
        self.write(frame)
        return self.sequence

    def answer_of(self, sequence):
        """Reads until the response to sequence; answers the helper's own requests."""
        while True:
            frame = self.read()
            if frame is None:
                raise AssertionError("connection ended before the answer")
            if frame.WhichOneof("body") == "request":
                reply = self.wire.Frame()
                reply.response.sequence = frame.request.sequence
                reply.response.message_present = True
                e = reply.response.message.entries.add()
                e.key, e.value.int32_value = "response", 0
                self.write(reply)
            elif frame.response.sequence == sequence:
                return {e.key: getattr(e.value, e.value.WhichOneof("kind"))
                        for e in frame.response.message.entries}

    def call(self, entries):
        return self.answer_of(self.send(entries))


def I32(v): return ("int32_value", v)
def U64(v): return ("uint64_value", v)
def Str(v): return ("string_value", v)


class WireTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        d = self.dir.name
        sys.path.insert(0, os.path.dirname(HELPER))
        import pyhelper
        self.wire = pyhelper.load_wire()
        os.makedirs(os.path.join(d, "run", "tarvik", "wire.pfn"), mode=0o700)
        os.makedirs(os.path.join(d, "config", "tarvik"))
        os.makedirs(os.path.join(d, "served", "sub"))
        open(os.path.join(d, "served", "sub", "a.txt"), "w").close()
        with open(os.path.join(d, "config", "tarvik", "helper.json"), "w") as f:
            json.dump({"fileRoots": [os.path.join(d, "served")]}, f)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(os.path.join(d, "run", "tarvik", "wire.pfn", "svc.sock"))
        self.listener.listen(4)
        self.listener.settimeout(20)
        self.lock = os.path.join(d, "connect.lock")
        self.log = os.path.join(d, "helper.log")
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(d, "run"),
                   XDG_CONFIG_HOME=os.path.join(d, "config"))
        self.helper = subprocess.Popen(
            [sys.executable, HELPER, "--package", b64("wire.pfn"), "--service", b64("svc"),
             "--log", self.log, "--lock", self.lock, "--logLevel", "1"], env=env)

    def tearDown(self):
        self.helper.kill()
        self.helper.wait()
        self.listener.close()
        self.dir.cleanup()

    def accept(self):
        """Accepts the helper, answers its opening and reads its command 41."""
        sock, _ = self.listener.accept()
        sock.settimeout(20)
        self.addCleanup(sock.close)
        peer = Peer(self.wire, sock)
        opening = peer.read()
        self.assertEqual(opening.open.service_name, "svc")
        self.assertEqual(opening.open.caller_package_family_name, "")
        peer.write(self.wire.Frame(open_result=self.wire.OpenResult(status=0)))
        first = peer.read()
        entries = {e.key: e.value for e in first.request.message.entries}
        self.assertEqual(entries["command"].int32_value, 41)
        self.assertGreater(entries["commandId"].uint64_value, 0)
        return peer

    def reconnect(self):
        """Signals the lock file, so the helper comes back at once."""
        with open(self.lock, "wb") as f:
            f.write(b"\0\0\0\0")
        return self.accept()

    def assert_closed(self, peer):
        while True:
            frame = peer.read()
            if frame is None or frame.WhichOneof("body") == "close":
                return

    def test_results_cache_and_acknowledgements(self):
        peer = self.accept()
        self.assertEqual(peer.call({"command": I32(38), "TestDelay": U64(0),
                                    "commandId": U64(5)})["TestReponse"], "Delayed 0 ms")
        # A retry is answered from the first execution, not executed again.
        retry = peer.call({"command": I32(38), "TestDelay": U64(9), "commandId": U64(5),
                           "retry": ("boolean_value", True)})
        self.assertEqual(retry["TestReponse"], "Delayed 0 ms")
        # While the first copy runs, a retry is told to try again.
        first = peer.send({"command": I32(38), "TestDelay": U64(3000), "commandId": U64(6)})
        self.assertEqual(peer.call({"command": I32(38), "TestDelay": U64(3000),
                                    "commandId": U64(6)})["response"], 2)
        self.assertEqual(peer.answer_of(first)["TestReponse"], "Delayed 3000 ms")
        # Acknowledged, the answer is dropped: the same id executes afresh.
        peer.call({"command": I32(99), "ackCounts": I32(1), "Ack1": U64(5)})
        self.assertEqual(peer.call({"command": I32(38), "TestDelay": U64(7),
                                    "commandId": U64(5)})["TestReponse"], "Delayed 7 ms")

    def test_unimplemented_and_malformed_requests_fail_cleanly(self):
        peer = self.accept()
        for command in (0, 1, 8, 41, 56, 68, 1000):
            self.assertEqual(peer.call({"command": I32(command), "commandId": U64(command + 1)})
                             ["response"], 1, command)
        self.assertEqual(peer.call({"commandId": U64(77)})["response"], 1)
        # A key of the wrong type is a refusal, not a crash.
        self.assertEqual(peer.call({"command": I32(38), "TestDelay": Str("10"),
                                    "commandId": U64(78)})["response"], 1)
        answer = peer.call({"command": I32(4), "filePath": Str(os.path.join(
            self.dir.name, "served")), "doRecursiveListing": Str("true"), "commandId": U64(79)})
        self.assertEqual(json.loads(answer["directoryListing"]), [
            {"path": os.path.join(self.dir.name, "served", "sub"), "type": "folder"},
            {"path": os.path.join(self.dir.name, "served", "sub", "a.txt"), "type": "file"}])

    def test_bad_frames_close_the_connection_and_the_helper_comes_back(self):
        peer = self.accept()
        peer.write_raw(struct.pack(">I", 5) + b"\xff\xff\xff\xff\xff")
        self.assert_closed(peer)
        peer = self.reconnect()
        # A length above 16 MiB is refused before anything of it is read.
        peer.write_raw(struct.pack(">I", 16 * 1024 * 1024 + 1))
        self.assert_closed(peer)
        peer = self.reconnect()
        self.assertEqual(peer.call({"command": I32(38), "TestDelay": U64(0),
                                    "commandId": U64(1)})["response"], 0)
        with open(self.log) as f:
            text = f.read()
        self.assertIn("malformed frame", text)
        self.assertIn("frame of 16777217 bytes refused", text)
        self.assertNotIn("Traceback", text)
        self.assertIsNone(self.helper.poll())

    def test_kalder_test_sends_bus_messages_to_the_application(self):
        peer = self.accept()
        sequence = peer.send({"command": I32(40), "TestIterations": I32(2),
                              "commandId": U64(1)})
        messages, ids = [], set()
        while True:
            frame = peer.read()
            if frame.WhichOneof("body") == "response":
                self.assertEqual(frame.response.sequence, sequence)
                break
            entries = {e.key: e.value for e in frame.request.message.entries}
            self.assertEqual(entries["command"].int32_value, 37)
            ids.add(entries["commandId"].uint64_value)
            messages.append(entries["payload"].string_value)
            reply = self.wire.Frame()
            reply.response.sequence = frame.request.sequence
            reply.response.message_present = True
            e = reply.response.message.entries.add()
            e.key, e.value.int32_value = "response", 0
            peer.write(reply)
        self.assertEqual(messages, ["iteration 1", "iteration 2"])
        self.assertEqual(len(ids), 2)

    def test_exit_request_ends_the_helper(self):
        peer = self.accept()
        self.assertEqual(peer.call({"command": I32(39), "commandId": U64(1)})["response"], 0)
        self.assert_closed(peer)
        self.assertEqual(self.helper.wait(20), 0)


if __name__ == "__main__":
    HELPER = os.path.abspath(sys.argv.pop(1))
    unittest.main()
