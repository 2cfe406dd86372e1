"""The Windows build's https under Wine, against nginx serving TLS with
certificates the test makes: whole runs counted against nginx's log, and the
refused-certificate line in GBK, which Wine's Schannel would never give by
itself (it validates nothing; velkor checks the chain by hand).

Run by tests/run_windows.sh (see test_windows_runs). Wine's Schannel speaks
TLS 1.2 only and resumes no session, so neither TLS 1.3 nor resumption is
looked at here.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from harness import ENCODING, LAUNCHER, run_velkor  # noqa: E402
from nginx_server import Nginx, nginx_available  # noqa: E402
from test_https import (  # noqa: E402
    EXPIRED,
    LOG_FORMAT,
    NAME_MISMATCH,
    UNTRUSTED,
    logged_requests,
)
from test_windows_runs import BANNER, PROGRESS_BYTES, gbk_lines  # noqa: E402
from tls_certificates import (  # noqa: E402
    make_certificate,
    make_client_certificate,
    make_expired_certificate,
)

# The server that breaks off mid-response is tested under Wine unchanged: Wine
# ends the stream at a close_notify differently from Windows, and a client
# that missed it would wait for the rest of the response until the run's end.
from test_https import HttpsServerBreaksOff  # noqa: E402,F401

# A handshake whose give-up passes while the server's answer waits takes no
# further step and prints no certificate reason, on Windows as on Linux.
from test_https import HandshakeAtTheGiveUp  # noqa: E402,F401

# With the protocol ALPN settled on last.
ALPN_LOG_FORMAT = LOG_FORMAT + " $ssl_alpn_protocol"


def windows_path(path):
    """The path as a Windows program under Wine names it: drive Z: is the Unix root."""
    return "Z:" + path.replace("/", "\\")


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk" and nginx_available(),
                     "needs the Windows build under Wine, and nginx")
class WindowsHttpsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="velkor-wine-https-")
        # Names localhost only: a URL with 127.0.0.1 does not match it.
        cls.certificate = make_certificate(cls.directory, ["localhost"])
        cls.expired = make_expired_certificate(os.path.join(cls.directory, "expired"),
                                               "localhost")
        # Wine reports the signature it misreads before the time: the reason
        # must come from the certificate's dates all the same.
        cls.expired_short = make_expired_certificate(
            os.path.join(cls.directory, "expired-short"), "localhost", full_signature=False)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def test_runs_complete_what_nginx_served(self):
        with Nginx(certificate=self.certificate, log_format=ALPN_LOG_FORMAT) as nginx:
            # 300 KB: many full records, which the receives split anywhere.
            with open(os.path.join(nginx.prefix, "www", "large.bin"), "wb") as large:
                large.write(os.urandom(300_000))
            ca = ["--ca", windows_path(self.certificate[0])]
            cases = [
                # Verified against --ca, with the host name as SNI.
                (f"https://localhost:{nginx.port}/", ca, '"localhost"', 100),
                # Not verified, so an address the certificate does not name
                # passes; an address is never sent as SNI.
                (nginx.url, ["--insecure"], '"-"', 100),
                (f"https://localhost:{nginx.port}/large.bin", ca, '"localhost"', 4),
            ]
            for url, options, sni, fewest in cases:
                with self.subTest(url=url, options=options):
                    logged_before = len(nginx.access_log())
                    # 4 s: a loaded machine may take more than a second over
                    # a first handshake under Wine, and one still unfinished
                    # when the run ends is an error.
                    run = run_velkor("-t", "4", "-c", "4", url, *options)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertEqual(run.stderr, b"")
                    self.assertTrue(run.stdout.startswith(BANNER))
                    self.assertEqual(len(PROGRESS_BYTES.findall(run.stdout)), 4)
                    summary = run.summary()
                    self.assertEqual(summary["Target URL"], url)
                    self.assertEqual(summary["Total errors"], "0")
                    completed = int(summary["Completed requests"])
                    self.assertGreaterEqual(completed, fewest)
                    log = logged_requests(nginx, logged_before + completed)[logged_before:]
                    self.assertEqual(len(log), completed)
                    self.assertEqual({(line[2], line[5], line[6]) for line in log},
                                     {(sni, "200", "http/1.1")})
                    self.assertTrue({line[0] for line in log} <= {"TLSv1.2", "TLSv1.3"})
                    print(f"\n  wine {url} -t 4 -c 4 {' '.join(options)}: {completed} requests",
                          file=sys.stderr)

    def test_refused_certificate_gives_one_gbk_line_and_an_error_per_client(self):
        ca = ["--ca", windows_path(self.certificate[0])]
        cases = [
            ("untrusted root", self.certificate, "localhost", [], UNTRUSTED),
            ("name mismatch", self.certificate, "127.0.0.1", ca, NAME_MISMATCH),
            ("expired", self.expired, "localhost", ["--ca", windows_path(self.expired[0])],
             EXPIRED),
            ("expired, a signature Wine misreads", self.expired_short, "localhost",
             ["--ca", windows_path(self.expired_short[0])], EXPIRED),
        ]
        for name, certificate, host, options, line in cases:
            with self.subTest(name), Nginx(certificate=certificate,
                                           log_format=LOG_FORMAT) as nginx:
                run = run_velkor("-t", "1", "-c", "3", f"https://{host}:{nginx.port}/", *options)
                self.assertEqual(run.returncode, 0, run.stderr)
                # Once per run, however many connects were refused.
                self.assertEqual(run.stderr, gbk_lines(line.rstrip("\n")))
                summary = run.summary()
                self.assertEqual(summary["Completed requests"], "0")
                self.assertGreaterEqual(int(summary["Total errors"]), 3)
                self.assertEqual(nginx.access_log(), [])


    def test_client_certificate_held_in_memory(self):
        """Wine's Schannel takes an RSA key imported as PKCS#1 into an
        ephemeral CryptoAPI key set (its CNG imports no PKCS#8): nginx verifies
        it. Without one the handshake goes on, and nginx answers 400."""
        client = make_client_certificate(os.path.join(self.directory, "client"), "pw", rsa=True)
        pair = ["--cert", windows_path(client["certificate"]),
                "--key", windows_path(client["rsa_key"])]
        with Nginx(certificate=self.certificate, client_ca=client["ca"],
                   log_format="$ssl_client_verify $status") as nginx:
            url = f"https://localhost:{nginx.port}/"
            for options, line in ((pair, "SUCCESS 200"), ([], "NONE 400")):
                with self.subTest(options=options):
                    before = len(nginx.access_log())
                    run = run_velkor("-t", "3", "-c", "2", url, "--insecure", *options)
                    self.assertEqual((run.returncode, run.stderr), (0, b""))
                    self.assertEqual(run.summary()["Total errors"], "0")
                    completed = int(run.summary()["Completed requests"])
                    self.assertGreater(completed, 0)
                    self.assertEqual(nginx.access_log()[before:], [line] * completed)
        other = make_client_certificate(os.path.join(self.directory, "other"), "pw", rsa=True)
        other_key = windows_path(other["rsa_key"])
        run = run_velkor("-t", "1", "-c", "1", "https://localhost:9/", pair[0], pair[1],
                         "--key", other_key)
        self.assertEqual((run.returncode, run.stderr), (1, gbk_lines(
            f'选项 --key 的值无效: "{other_key}"（私钥与 --cert 的证书不匹配）')))
        run = run_velkor("-t", "1", "-c", "1", "https://localhost:9/", *pair[:2])
        self.assertEqual(run.stderr, gbk_lines("选项 --cert 须与 --key 一起给出"))


if __name__ == "__main__":
    unittest.main()
