"""--method, --header and --body-file, checked against the exact bytes that
velkor_target --capture receives: the request guide's example, a 1 MiB
body, a body of unknown size read from a pipe, HEAD answers without a body,
and refusals that send nothing."""

import json
import os
import pathlib
import re
import shlex
import subprocess
import tempfile
import unittest

from harness import LAUNCHER, VELKOR, Target, run_report, run_velkor

ROOT = pathlib.Path(__file__).resolve().parents[2]
REQUEST_GUIDE = (ROOT / "docs" / "request.md").read_text(encoding="utf-8")


def guide_example():
    """The documented command's options after the URL, and the head it sends."""
    section = REQUEST_GUIDE.split("\n## An example\n", 1)[1]
    command = re.search(r"```sh\n(.*?)```", section, re.S)[1].replace("\\\n", " ")
    head = re.search(r"```http\n(.*?)```", section, re.S)[1]
    words = shlex.split(command)
    url_at = next(i for i, word in enumerate(words) if word.startswith("http://"))
    path = "/" + words[url_at].split("/", 3)[3]
    return path, words[url_at + 1:], head.replace("\n", "\r\n").encode()


def captured_counts(target):
    match = re.search(rb"captured (\d+), unlike the first (\d+)", target.output)
    return int(match[1]), int(match[2])


class RequestBytes(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def capture(self, path, options, stdin=None):
        """One short run against a capturing target: velkor's outcome, the
        first request's bytes, requests captured and how many were unlike it."""
        capture_file = self.path("captured.bin")
        with Target("--capture", capture_file, "--count-connections") as target:
            # Paced: a hundred requests show that all are alike, and little
            # traffic keeps a loaded machine's loopback from dropping any.
            args = ["-t", "1", "-c", "3", "-q", "100", target.url.rstrip("/") + path, *options]
            done = subprocess.run(LAUNCHER + [VELKOR, *args], input=stdin,
                                  capture_output=True, timeout=60)
            served = target.stop()
            captured, unlike = captured_counts(target)
        with open(capture_file, "rb") as file:
            first = file.read()
        summary = done.stdout.decode()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("Total errors:        0\n", summary)
        completed = int(re.search(r"Completed requests:  (\d+)", summary)[1])
        self.assertGreater(completed, 0)
        self.assertEqual(served, captured)
        self.assertLessEqual(completed, served)  # some may be cut by the run's end
        self.assertEqual(unlike, 0, "every request must be the same bytes")
        return first

    def test_every_request_is_the_documented_bytes(self):
        guide_path, guide_options, guide_head = guide_example()
        item = bytes(range(256)) * 4  # 1 KiB, every byte value
        with open(self.path("item.json"), "wb") as file:
            file.write(item)
        big = bytes(i * 7 % 251 for i in range(1 << 20))
        with open(self.path("big.bin"), "wb") as file:
            file.write(big)
        piped = b'{"from": "a pipe"}\n'
        cases = [
            ("no options: as before", "/", [], None,
             b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n"),
            ("the request guide's example", guide_path,
             [self.path("item.json") if word == "item.json" else word
              for word in guide_options], None, guide_head + item),
            ("1 MiB body, Host replaced", "/up?x=1",
             ["--method", "PUT", "--body-file", self.path("big.bin"),
              "--header", "host: example.test:8080", "--header", "X-Tab:\ta"], None,
             b"PUT /up?x=1 HTTP/1.1\r\nhost: example.test:8080\r\nConnection: keep-alive\r\n"
             b"X-Tab:\ta\r\nContent-Length: 1048576\r\n\r\n" + big),
            ("body of unknown size from a pipe", "/p",
             ["--method", "POST", "--body-file", "/dev/stdin"], piped,
             b"POST /p HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n"
             b"Content-Length: 19\r\n\r\n" + piped),
            # Servers answer a POST with no length 411 Length Required.
            ("POST without a body", "/form", ["--method", "POST"], None,
             b"POST /form HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n"
             b"Content-Length: 0\r\n\r\n"),
            # The target answers HEAD with "Content-Length: 2" and no body: a
            # client waiting for those 2 bytes would count only errors.
            ("HEAD", "/", ["--method", "HEAD"], None,
             b"HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n"),
        ]
        for name, path, options, stdin, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.capture(path, options, stdin), expected)

    def test_refusals_send_nothing(self):
        cases = [
            (["--body-file", self.path("missing.json")],
             '无法读取请求体文件: "%s"\n' % self.path("missing.json")),
            (["--header", "X-A: 1\r\nX-B: 2"],
             '选项 --header 的值无效: "X-A: 1\\x0D\\x0AX-B: 2"（值中不能有制表符以外的控制字符）\n'),
            (["--method", "GET /admin"],
             "选项 --method 的值无效: \"GET /admin\"（须为方法名，只含字母、数字和 !#$%&'*+-.^_`|~）\n"),
        ]
        for options, message in cases:
            with self.subTest(options), Target("--count-connections") as target:
                run = run_velkor("-t", "1", "-c", "2", target.url, *options)
                target.stop()
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stderr.decode(), message)
                self.assertEqual(target.accepted, 0)

    def test_result_file_keeps_the_request_but_no_header_value(self):
        with open(self.path("body.txt"), "wb") as file:
            file.write(b"0123456789")
        posted, plain = self.path("posted.json"), self.path("plain.json")
        with Target("--capture", self.path("captured.bin")) as target:
            for options in (["--method", "POST", "--header", "Authorization: Bearer s3cret",
                             "--body-file", self.path("body.txt"), "--save", posted],
                            ["--save", plain]):
                self.assertEqual(run_velkor("-t", "1", "-c", "1", target.url, *options).returncode, 0)
            target.stop()
        with open(posted, encoding="utf-8") as file:
            text = file.read()
        self.assertNotIn("s3cret", text)
        self.assertEqual(json.loads(text)["settings"]["request"],
                         {"method": "POST", "header_names": ["Authorization"], "body_bytes": 10})
        merged = run_report(posted, plain)
        self.assertEqual(merged.returncode, 1)
        self.assertEqual(merged.stderr.decode(),
                         'velkor-report: "%s": request "GET" with no headers and no body differs from '
                         '"POST" with headers "Authorization" and a 10-byte body in "%s"\n'
                         % (plain, posted))


if __name__ == "__main__":
    unittest.main()
