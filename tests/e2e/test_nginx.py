"""velkor against a real nginx that closes every 100th keep-alive connection."""

import os
import unittest

from harness import run_velkor
from nginx_server import Nginx, nginx_available


@unittest.skipUnless(nginx_available() or os.environ.get("CI"), "nginx is not installed")
class NginxTest(unittest.TestCase):
    def test_keepalive_limit_closes_are_not_errors(self):
        with Nginx(keepalive_requests=100) as nginx:
            run = run_velkor("-t", "3", "-c", "30", nginx.url)
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        self.assertEqual(summary["Total errors"], "0")
        self.assertGreater(int(summary["Completed requests"]), 3000)
        self.assertEqual(len(run.progress_lines()), 3)


if __name__ == "__main__":
    unittest.main()
