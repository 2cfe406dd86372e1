"""The Windows build under Wine against nginx listening on [::1] alone, over
http and https: every completed request is one nginx logged, with the Host
line in brackets and no SNI. A Unix socket is refused in one GBK line, since
Wine has no Unix sockets to test the Windows build on.

Run by tests/run_windows.sh (see test_windows_runs.py)."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from harness import ENCODING, LAUNCHER, run_velkor  # noqa: E402
from nginx_server import Nginx, nginx_available  # noqa: E402
from test_reach import LOG_FORMAT, logged  # noqa: E402
from test_windows_https import windows_path  # noqa: E402
from test_windows_runs import BANNER, gbk_lines  # noqa: E402
from tls_certificates import make_certificate  # noqa: E402


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk" and nginx_available(),
                     "needs the Windows build under Wine, and nginx")
class WindowsReachTest(unittest.TestCase):
    def test_nginx_on_ipv6_loopback_alone_over_http_and_https(self):
        directory = tempfile.mkdtemp(prefix="velkor-wine-reach-")
        certificate = make_certificate(directory, ["::1"])
        try:
            for https in (False, True):
                with self.subTest(https=https), \
                        Nginx(address="::1", log_format=LOG_FORMAT,
                              certificate=certificate if https else None) as nginx:
                    options = ["--ca", windows_path(certificate[0])] if https else []
                    # 4 s and 20 clients: handshakes under Wine on a loaded machine are slow.
                    run = run_velkor("-t", "4", "-c", "20", nginx.url, *options, timeout=120)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    summary = run.summary()
                    self.assertEqual(summary["Target URL"], nginx.url)
                    self.assertEqual(summary["Total errors"], "0")
                    completed = int(summary["Completed requests"])
                    self.assertGreater(completed, 0)
                    self.assertEqual(logged(nginx, completed), {'200 "[::1]" "-" ::1': completed})
        finally:
            shutil.rmtree(directory, ignore_errors=True)

    def test_a_unix_socket_is_refused_in_one_line(self):
        run = run_velkor("-t", "1", "-c", "1", "http://app/", "--unix-socket", "C:\\app.sock")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, BANNER)
        self.assertEqual(run.stderr, gbk_lines("选项 --unix-socket 只能在Linux上使用"))


if __name__ == "__main__":
    unittest.main()
