"""The deepest paths a client takes, with many clients taking turns on each
worker: a response whose header fills nearly the whole 64 KiB allowed,
followed by a long chunked body, and a TLS handshake that verifies a chain
of four certificates. Every response must arrive whole and be counted once,
with no error: a waiting client's frames that came back wrong, or a stack
too small for the path, shows as an error, a crash or a sanitizer report
(the sanitizer builds run this file too)."""

import os
import socket
import tempfile
import threading
import unittest

from harness import run_velkor, slack
from nginx_server import Nginx, nginx_available
from tls_certificates import make_chain

HEADER_BYTES = 64 * 1024 - 256  # the framer takes headers up to 64 KiB
CHUNKS = 4000                   # chunks in each body


def deep_response():
    lines = [b"HTTP/1.1 200 OK\r\n", b"Transfer-Encoding: chunked\r\n"]
    size = sum(len(line) for line in lines) + 2
    number = 0
    while size + 80 < HEADER_BYTES:
        line = b"X-Fill-%05d: %s\r\n" % (number, b"f" * 60)
        lines.append(line)
        size += len(line)
        number += 1
    lines.append(b"\r\n")
    body = b"".join(b"%x\r\n%s\r\n" % (1 + index % 9, b"b" * (1 + index % 9))
                    for index in range(CHUNKS))
    return b"".join(lines) + body + b"0\r\n\r\n"


class DeepServer:
    """Answers every GET on a keep-alive connection with deep_response(),
    counting the answers it sent whole."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=512)
        self.port = self.listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}/"
        self.answer = deep_response()
        self.answered = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        pending = b""
        with connection:
            try:
                while True:
                    while b"\r\n\r\n" not in pending:
                        chunk = connection.recv(65536)
                        if not chunk:
                            return
                        pending += chunk
                    _, _, pending = pending.partition(b"\r\n\r\n")
                    connection.sendall(self.answer)
                    with self.lock:
                        self.answered += 1
            except OSError:
                return

    def close(self):
        self.listener.close()


class DeepPaths(unittest.TestCase):
    def test_a_64_kib_header_and_a_long_chunked_body_arrive_whole(self):
        server = DeepServer()
        try:
            run = run_velkor("-t", "3", "-c", "40", server.url, timeout=slack(60))
        finally:
            server.close()
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        completed = int(summary["Completed requests"])
        self.assertEqual(int(summary["Total errors"]), 0, run.text())
        self.assertGreater(completed, 40)
        # Each answer the server finished is one the client counted, give or
        # take those still in flight at the end.
        self.assertLessEqual(completed, server.answered)
        self.assertGreaterEqual(completed, server.answered - 40)

    @unittest.skipUnless(nginx_available(), "nginx is not installed")
    def test_a_handshake_that_verifies_four_certificates(self):
        with tempfile.TemporaryDirectory() as directory:
            chain = make_chain(os.path.join(directory, "chain"), "localhost", intermediates=2)
            with Nginx(keepalive_requests=20, certificate=(chain["server"], chain["server_key"]),
                       access_log=True) as nginx:
                url = f"https://localhost:{nginx.port}/"
                run = run_velkor("-t", "3", "-c", "40", url, "--ca", chain["root"],
                                 timeout=slack(60))
                answered = sum(nginx.answered().values())
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        self.assertEqual(int(summary["Total errors"]), 0, run.text())
        completed = int(summary["Completed requests"])
        # keepalive_requests 20: every client handshakes again and again.
        self.assertGreater(completed, 40 * 20)
        self.assertLessEqual(completed, answered)


if __name__ == "__main__":
    unittest.main()
