"""Checks the bytes velkor_target puts on the wire, read with raw sockets.

The target server is what the other end-to-end tests measure against, so a
framing mistake here would show up as a false failure (or a false pass) of
the load generator. The binary comes from the VELKOR_TARGET_BIN variable.
"""

import os
import re
import signal
import socket
import subprocess
import unittest

TARGET_BIN = os.environ.get("VELKOR_TARGET_BIN", "")
GET = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


class Target:
    """One running server; stop() ends it and returns its served count."""

    def __init__(self, *args):
        self.process = subprocess.Popen(
            [TARGET_BIN, "--stop-after-sec", "20", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first_line = self.process.stdout.readline()
        match = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", first_line)
        if not match:
            self.process.kill()
            raise AssertionError("unexpected first line: %r" % first_line)
        self.port = int(match.group(1))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=5)
        if self.process.returncode != 0:
            raise AssertionError("exit status %d" % self.process.returncode)
        match = re.fullmatch(r"served (\d+)\n", out)
        if not match:
            raise AssertionError("unexpected exit output: %r" % out)
        return int(match.group(1))

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


class Reader:
    """Reads HTTP/1.1 responses from a socket, keeping bytes read past one."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def _fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("connection closed")
        self.buffer += data

    def line(self):
        while b"\r\n" not in self.buffer:
            self._fill()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def exactly(self, count):
        while len(self.buffer) < count:
            self._fill()
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def head(self):
        status = self.line()
        fields = []
        while True:
            line = self.line()
            if not line:
                return status, fields
            name, _, value = line.partition(b":")
            fields.append((name.strip().lower(), value.strip()))

    def chunked_body(self):
        """Returns (body, chunk extensions seen, trailer fields)."""
        body, extensions = b"", []
        while True:
            size_text, _, extension = self.line().partition(b";")
            size = int(size_text, 16)
            if extension:
                extensions.append(extension)
            if size == 0:
                break
            body += self.exactly(size)
            assert self.exactly(2) == b"\r\n", "chunk data not followed by CRLF"
        trailers = []
        while True:
            line = self.line()
            if not line:
                return body, extensions, trailers
            trailers.append(line)

    def response(self):
        """Reads one final response; returns (status line, fields dict, body)."""
        status, fields = self.head()
        values = dict(fields)
        if b"content-length" in values:
            return status, values, self.exactly(int(values[b"content-length"]))
        if values.get(b"transfer-encoding") == b"chunked":
            return status, values, self.chunked_body()[0]
        return status, values, b""


def pattern(count):
    return bytes(ord("a") + index % 26 for index in range(count))


def is_closed(sock):
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


@unittest.skipUnless(TARGET_BIN, "VELKOR_TARGET_BIN is not set")
class TargetServerTest(unittest.TestCase):
    def start(self, *args):
        target = Target(*args)
        self.addCleanup(target.kill)
        return target

    def connect(self, target):
        sock = socket.create_connection(("127.0.0.1", target.port), timeout=5)
        self.addCleanup(sock.close)
        return sock

    def test_fast_keeps_the_connection_and_answers_pipelined_requests(self):
        target = self.start("--body-bytes", "30")
        sock = self.connect(target)
        reader = Reader(sock)
        sock.sendall(GET)
        status, fields, body = reader.response()
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        self.assertEqual(body, pattern(30))
        self.assertNotIn(b"connection", fields)
        sock.sendall(GET + GET)  # two requests in one segment
        for _ in range(2):
            self.assertEqual(reader.response()[2], pattern(30))
        self.assertEqual(reader.buffer, b"")
        self.assertEqual(target.stop(), 3)

    def test_chunked_body_has_several_chunks_an_extension_and_a_trailer(self):
        target = self.start("--mode", "chunked", "--body-bytes", "100")
        sock = self.connect(target)
        reader = Reader(sock)
        for _ in range(2):  # the second answer shows the first one ended where it should
            sock.sendall(GET)
            status, fields = reader.head()
            self.assertEqual(status, b"HTTP/1.1 200 OK")
            self.assertIn((b"transfer-encoding", b"chunked"), fields)
            self.assertNotIn(b"content-length", dict(fields))
            body, extensions, trailers = reader.chunked_body()
            self.assertEqual(body, pattern(100))
            self.assertEqual(len(extensions), 1)
            self.assertEqual(len(trailers), 1)
        self.assertEqual(target.stop(), 2)

    def test_close_every_closes_after_the_nth_answer(self):
        target = self.start("--close-every", "2")
        sock = self.connect(target)
        reader = Reader(sock)
        sock.sendall(GET)
        self.assertNotIn(b"connection", reader.response()[1])
        sock.sendall(GET)
        self.assertEqual(reader.response()[1].get(b"connection"), b"close")
        self.assertEqual(reader.buffer, b"")
        self.assertTrue(is_closed(sock))
        self.assertEqual(target.stop(), 2)

    def test_early_hints_come_before_the_final_answer(self):
        target = self.start("--mode", "early-hints", "--body-bytes", "4")
        sock = self.connect(target)
        reader = Reader(sock)
        sock.sendall(GET)
        status, fields = reader.head()
        self.assertEqual(status, b"HTTP/1.1 103 Early Hints")
        self.assertIn(b"link", dict(fields))
        status, _, body = reader.response()
        self.assertEqual((status, body), (b"HTTP/1.1 200 OK", b"abcd"))
        self.assertEqual(target.stop(), 1)  # the interim answer is not counted

    def test_never_sends_nothing_and_counts_nothing(self):
        target = self.start("--mode", "never")
        sock = self.connect(target)
        sock.sendall(GET)
        sock.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            sock.recv(1)
        self.assertEqual(target.stop(), 0)

    def test_client_asking_to_close_is_answered_then_closed(self):
        target = self.start()
        sock = self.connect(target)
        reader = Reader(sock)
        sock.sendall(b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")
        self.assertEqual(reader.response()[1].get(b"connection"), b"close")
        self.assertTrue(is_closed(sock))

    def test_malformed_request_is_refused_and_not_counted(self):
        target = self.start()
        sock = self.connect(target)
        sock.sendall(b"GET /\r\n\r\n")
        status, fields, _ = Reader(sock).response()
        self.assertTrue(status.startswith(b"HTTP/1.1 400 "))
        self.assertEqual(fields.get(b"connection"), b"close")
        self.assertEqual(target.stop(), 0)

    def test_stops_by_itself(self):
        process = subprocess.run([TARGET_BIN, "--stop-after-sec", "1"],
                                 capture_output=True, text=True, timeout=10)
        self.assertEqual(process.returncode, 0)
        self.assertRegex(process.stdout, r"\Alistening on 127\.0\.0\.1:\d+\nserved 0\n\Z")

    def test_bad_arguments_exit_2_with_a_message(self):
        cases = [
            (["--mode", "sideways"], "sideways"),
            (["--delay-ms", "ten"], "--delay-ms"),
            (["--port", "70000"], "--port"),
            (["--verbose"], "--verbose"),
            (["--body-bytes"], "--body-bytes"),
        ]
        for args, mentioned in cases:
            with self.subTest(args=args):
                process = subprocess.run([TARGET_BIN, *args], capture_output=True,
                                         text=True, timeout=5)
                self.assertEqual(process.returncode, 2)
                self.assertEqual(process.stdout, "")
                self.assertIn(mentioned, process.stderr)
                self.assertIn("usage:", process.stderr)


if __name__ == "__main__":
    unittest.main()
