"""velkor with a client certificate (mutual TLS): against nginx that demands
one of its CA, against a server that demands one in the handshake, and with
files that cannot make a pair, refused before the run."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import ENCODING, closed_port, errors_by_kind, run_velkor
from nginx_server import Nginx, nginx_available
from tls_certificates import make_certificate, make_client_certificate

MISSING = ("服务器要求客户端证书，而运行时没有给出"
           "（可在URL后加 --cert <PEM文件> --key <PEM文件>）\n")
UNTRUSTED = "服务器拒绝了客户端证书: 服务器不信任证书的签发者\n"


def logged(nginx, expected):
    """nginx's log lines; waits (bounded) until expected lines are there."""
    deadline = time.monotonic() + 10
    while len(nginx.access_log()) < expected and time.monotonic() < deadline:
        time.sleep(0.1)
    return nginx.access_log()


class DemandingServer:
    """openssl s_server on a free loopback port that demands a client
    certificate in the handshake, of one TLS version, and answers each
    request with its status page."""

    def __init__(self, certificate, client_ca, version):
        self.port = closed_port()
        self.process = subprocess.Popen(
            ["openssl", "s_server", "-accept", f"127.0.0.1:{self.port}", "-cert",
             certificate[0], "-key", certificate[1], "-CAfile", client_ca, "-Verify", "1",
             "-verify_return_error", "-www", "-quiet", version],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.process.kill()
        raise RuntimeError("openssl s_server did not listen in time")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()


@unittest.skipUnless(nginx_available() or os.environ.get("CI"), "nginx is not installed")
class ClientCertificates(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="velkor-mtls-")
        cls.server = make_certificate(cls.directory, ["localhost"])
        cls.client = make_client_certificate(os.path.join(cls.directory, "client"), "s3cret")
        # A pair no CA of the servers issued; its key is no other certificate's.
        stranger = os.path.join(cls.directory, "stranger")
        os.makedirs(stranger)
        cls.stranger = make_certificate(stranger, ["stranger"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def pair(self, encrypted=False):
        if encrypted:
            return ["--cert", self.client["certificate"], "--key", self.client["encrypted_key"],
                    "--key-password-file", self.client["password_file"]]
        return ["--cert", self.client["certificate"], "--key", self.client["key"]]

    def test_nginx_verifies_the_certificate_and_counts_match_its_log(self):
        with Nginx(certificate=self.server, client_ca=self.client["ca"],
                   log_format="$ssl_client_verify $status") as nginx:
            url = f"https://localhost:{nginx.port}/"
            saved = os.path.join(self.directory, "run.json")
            cases = [("plain key", self.pair(), "SUCCESS 200"),
                     ("encrypted key", self.pair(encrypted=True), "SUCCESS 200"),
                     # nginx answers "400 No required SSL certificate was sent".
                     ("no certificate", [], "NONE 400")]
            for name, options, line in cases:
                with self.subTest(name):
                    before = len(nginx.access_log())
                    run = run_velkor("-t", "2", "-c", "4", url, "--ca", self.server[0],
                                     *options, "--save", saved)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertEqual(run.stderr, b"")
                    summary = run.summary()
                    if options:
                        self.assertEqual(summary["Total errors"], "0")
                    else:
                        # nginx closes after each 400, so every request opens a
                        # connection; a loaded machine may see one cut off at
                        # the run's end, but no handshake is refused.
                        self.assertNotIn("TLS failed", errors_by_kind(summary))
                    completed = int(summary["Completed requests"])
                    self.assertGreater(completed, 50)
                    self.assertEqual(logged(nginx, before + completed)[before:],
                                     [line] * completed)
                    refused = summary.get("Non-2xx or 3xx responses")
                    self.assertEqual(refused, None if options else str(completed))
                    with open(saved) as file:
                        settings = json.load(file)["settings"]
                    self.assertEqual(settings["client_certificate"], bool(options))

    def test_a_server_that_demands_one_in_the_handshake(self):
        for version in ("-tls1_2", "-tls1_3"):
            with DemandingServer(self.server, self.client["ca"], version) as server:
                url = f"https://localhost:{server.port}/"
                stranger = ["--cert", self.stranger[0], "--key", self.stranger[1]]
                # Under TLS 1.3 the refusal arrives with the first read after
                # the handshake: a handshake error all the same.
                for name, options, line in (("none", [], MISSING),
                                            ("untrusted", stranger, UNTRUSTED)):
                    with self.subTest(version=version, certificate=name):
                        run = run_velkor("-t", "1", "-c", "3", url, "--ca", self.server[0],
                                         *options)
                        self.assertEqual(run.returncode, 0, run.stderr)
                        self.assertEqual(run.stderr.decode(ENCODING), line)
                        summary = run.summary()
                        self.assertEqual(summary["Completed requests"], "0")
                        self.assertEqual(errors_by_kind(summary), {"TLS failed": 3})
                with self.subTest(version=version, certificate="issued by its CA"):
                    run = run_velkor("-t", "1", "-c", "3", url, "--ca", self.server[0],
                                     *self.pair())
                    self.assertEqual(run.stderr, b"")
                    self.assertEqual(run.summary()["Total errors"], "0")
                    self.assertGreater(int(run.summary()["Completed requests"]), 0)

    def test_files_that_make_no_pair_are_refused_before_the_run(self):
        client = self.client
        wrong_password = os.path.join(self.directory, "wrong.txt")
        with open(wrong_password, "w") as file:
            file.write("not it\n")
        missing = os.path.join(self.directory, "missing.pem")
        bad = '选项 {} 的值无效: "{}"（{}）'
        cases = [
            (["--cert", client["certificate"]], "选项 --cert 须与 --key 一起给出"),
            (["--key", client["key"]], "选项 --key 须与 --cert 一起给出"),
            (["--key-password-file", client["password_file"]],
             "选项 --key-password-file 须与 --key 一起给出"),
            (["--cert", client["certificate"], "--key", self.stranger[1]],
             bad.format("--key", self.stranger[1], "私钥与 --cert 的证书不匹配")),
            (["--cert", missing, "--key", client["key"]],
             bad.format("--cert", missing, "须为可读的PEM证书文件")),
            (["--cert", client["key"], "--key", client["key"]],
             bad.format("--cert", client["key"], "文件中没有可用的PEM格式证书")),
            (["--cert", client["certificate"], "--key", client["certificate"]],
             bad.format("--key", client["certificate"], "文件中没有可用的PEM格式私钥")),
            (["--cert", client["certificate"], "--key", client["encrypted_key"]],
             bad.format("--key", client["encrypted_key"],
                        "私钥已加密，须用 --key-password-file 给出密码")),
            (["--cert", client["certificate"], "--key", client["encrypted_key"],
              "--key-password-file", wrong_password],
             bad.format("--key-password-file", wrong_password, "密码无法解密 --key 的私钥")),
            (["--cert", client["certificate"], "--key", client["encrypted_key"],
              "--key-password-file", missing],
             bad.format("--key-password-file", missing, "须为可读的密码文件")),
        ]
        for options, line in cases:
            with self.subTest(options=options):
                run = run_velkor("-t", "1", "-c", "1", "https://127.0.0.1:9/", *options)
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stderr.decode(ENCODING), line + "\n")
                self.assertNotIn("Total errors", run.text())
        run = run_velkor("-t", "1", "-c", "1", "http://127.0.0.1:9/", *self.pair())
        self.assertEqual((run.returncode, run.stderr.decode(ENCODING)),
                         (1, "选项 --cert 只能用于https URL\n"))


if __name__ == "__main__":
    unittest.main()
