"""Servers beyond IPv4: nginx listening on [::1] alone, over http and https;
a name with only an IPv6 address, from a test name server; nginx on a Unix
socket. Every run's completed requests are nginx's logged ones, with no
error, and the Host line is the URL's; what cannot be reached is refused
before the run, in one line."""

import collections
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import BANNER, VELKOR, Run, run_report, run_velkor, slack
from nginx_server import Nginx, nginx_available
from tls_certificates import make_certificate

# Per request: status, Host line, SNI ("" when none) and the client's address.
LOG_FORMAT = '$status "$http_host" "$ssl_server_name" $remote_addr'
NAME = "v6only.test"


def logged(nginx, expected):
    """nginx's log lines, counted; waits (bounded) for the expected number,
    since nginx logs a request just after it has sent the response."""
    deadline = time.monotonic() + 10
    while len(nginx.access_log()) < expected and time.monotonic() < deadline:
        time.sleep(0.1)
    return collections.Counter(nginx.access_log())


class NameServer:
    """Answers queries for NAME on UDP port 53 of a loopback address of its
    own: one AAAA record, ::1, and no A record; every other name does not
    exist. A run uses it through a resolv.conf bound over the system's in a
    mount namespace of the run's own (run_with_name_server)."""

    def __init__(self):
        pid = os.getpid()
        self.address = f"127.53.{pid >> 8 & 255}.{pid & 255 or 1}"
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind((self.address, 53))
        self.socket.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def answer(self, query):
        at = 12
        labels = []
        while query[at]:
            labels.append(query[at + 1:at + 1 + query[at]].decode().lower())
            at += 1 + query[at]
        question = query[12:at + 5]
        kind = int.from_bytes(query[at + 1:at + 3], "big")
        known = ".".join(labels) == NAME
        answers = 1 if known and kind == 28 else 0
        flags = b"\x81\x80" if known else b"\x81\x83"  # a response; "no such name"
        head = query[:2] + flags + b"\x00\x01" + answers.to_bytes(2, "big") + b"\x00\x00" * 2
        record = b"\xc0\x0c\x00\x1c\x00\x01\x00\x00\x00\x3c\x00\x10" + socket.inet_pton(
            socket.AF_INET6, "::1")
        return head + question + record * answers

    def serve(self):
        while self.running:
            try:
                query, peer = self.socket.recvfrom(512)
                self.socket.sendto(self.answer(query), peer)
            except (socket.timeout, IndexError, UnicodeDecodeError):
                continue

    def close(self):
        self.running = False
        self.thread.join()
        self.socket.close()

    def run_velkor(self, *args):
        """velkor with this name server as the system's."""
        with tempfile.TemporaryDirectory() as scratch:
            resolv = os.path.join(scratch, "resolv.conf")
            with open(resolv, "w") as file:
                file.write(f"nameserver {self.address}\noptions attempts:1\n")
            script = 'mount --bind "$1" /etc/resolv.conf && shift && exec "$@"'
            started = time.monotonic()
            done = subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh", resolv,
                                   VELKOR, *args], capture_output=True, timeout=60)
            return Run(args, done.returncode, done.stdout, done.stderr,
                       time.monotonic() - started)


@unittest.skipUnless(nginx_available(), "nginx is not installed")
class ReachTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="velkor-reach-")
        cls.certificate = make_certificate(cls.directory, ["::1", "app"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def assert_all_logged(self, run, nginx, line):
        """No error, and nginx logged each completed request as line."""
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.summary()["Total errors"], "0", run.summary().get("Errors by kind"))
        completed = int(run.summary()["Completed requests"])
        self.assertGreater(completed, 0)
        self.assertEqual(logged(nginx, completed), {line: completed})

    def assert_refused(self, run, line):
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, BANNER)
        self.assertEqual(run.stderr.decode(), line + "\n")
        self.assertLess(run.seconds, slack(5))

    def test_nginx_on_ipv6_loopback_alone_over_http_and_https(self):
        for https in (False, True):
            with self.subTest(https=https), \
                    Nginx(address="::1", log_format=LOG_FORMAT,
                          certificate=self.certificate if https else None) as nginx:
                saved = os.path.join(self.directory, "run.json")
                options = ["--ca", self.certificate[0]] if https else ["--save", saved]
                run = run_velkor("-t", "3", "-c", "100", nginx.url, *options, timeout=120)
                # The Host line carries the brackets; an address is sent as no SNI.
                self.assert_all_logged(run, nginx, '200 "[::1]" "-" ::1')
                # Both pages name the URL as typed.
                self.assertEqual(run.summary()["Target URL"], nginx.url)
                if not https:
                    self.assertEqual(run_report(saved).summary()["Target URL"], nginx.url)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root and unshare")
    def test_a_name_with_only_an_ipv6_address(self):
        server = NameServer()
        try:
            with Nginx(address="::1", log_format=LOG_FORMAT) as nginx:
                url = f"http://{NAME}:{nginx.port}/"
                run = server.run_velkor("-t", "3", "-c", "100", url, "--source", "::1")
                self.assert_all_logged(run, nginx, f'200 "{NAME}" "-" ::1')
                self.assert_refused(server.run_velkor("-t", "3", "-c", "100", url, "--ipv4"),
                                    f'无法解析主机名: "{NAME}"（找不到它的IPv4地址）')
        finally:
            server.close()

    def test_nginx_on_a_unix_socket_over_http_and_https(self):
        path = os.path.join(self.directory, "app.sock")
        for https in (False, True):
            with self.subTest(https=https), \
                    Nginx(unix_socket=path, log_format=LOG_FORMAT,
                          certificate=self.certificate if https else None) as nginx:
                url = f"{'https' if https else 'http'}://app/"
                options = ["--ca", self.certificate[0]] if https else []
                run = run_velkor("-t", "3", "-c", "100", url, "--unix-socket", path, *options,
                                 timeout=120)
                # The URL still names the host, for the Host line and the SNI.
                self.assert_all_logged(run, nginx, f'200 "app" "{"app" if https else "-"}" unix:')
        # nginx has removed its socket: the path is missing.
        self.assert_refused(run_velkor("-t", "3", "-c", "100", "http://app/",
                                       "--unix-socket", path),
                            f'无法连接Unix套接字: "{path}"（路径不存在、不是套接字或无权访问）')
        with socket.socket(socket.AF_UNIX) as stale:
            stale.bind(path)  # a socket file nobody listens on, as a crashed server leaves
            self.assert_refused(run_velkor("-t", "3", "-c", "100", "http://app/",
                                           "--unix-socket", path),
                                f'无法连接Unix套接字: "{path}"（没有程序在此套接字上监听）')
        os.unlink(path)

    def test_what_cannot_be_reached_is_refused_before_the_run(self):
        cases = [
            (["http://[::1]:9/", "--source", "127.0.0.1"],
             '源地址与目标的IP版本不同: "127.0.0.1"（目标通过IPv6连接，源地址须为IPv6地址）'),
            (["http://127.0.0.1:9/", "--source", "::1"],
             '源地址与目标的IP版本不同: "::1"（目标通过IPv4连接，源地址须为IPv4地址）'),
            (["http://[::1]:9/", "--ipv4"], '无法解析主机名: "::1"（找不到它的IPv4地址）'),
            (["http://app/", "--unix-socket", "/tmp/none.sock", "--source", "127.0.0.1"],
             "选项 --unix-socket 不能与 --source 同时使用"),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                self.assert_refused(run_velkor("-t", "3", "-c", "100", *args), line)


if __name__ == "__main__":
    unittest.main()
