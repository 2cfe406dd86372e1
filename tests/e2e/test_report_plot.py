"""velkor-report --plot: the page opens in a browser without a network and
draws its six charts with no script error (headless Chromium)."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import Target, run_report, run_velkor

CHROMIUM = shutil.which("chromium")


def open_in_chromium(page, profile):
    """The page's DOM after its scripts ran, and Chromium's log."""
    done = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + profile,
         # Any name lookup fails: the page must need nothing from elsewhere.
         "--host-resolver-rules=MAP * ~NOTFOUND",
         "--enable-logging=stderr", "--v=0", "--dump-dom", "file://" + page],
        capture_output=True, timeout=120)
    return done.stdout.decode(), done.stderr.decode(errors="replace")


@unittest.skipUnless(CHROMIUM, "needs Debian's chromium")
class PlotPageTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="velkor-plot-e2e-")
        self.addCleanup(shutil.rmtree, self.directory)

    def path(self, name):
        return os.path.join(self.directory, name)

    def test_page_of_a_merge_draws_its_charts(self):
        with Target("--mode", "delay", "--delay-ms", "2") as target:
            for name, clients in (("a.json", "2"), ("b.json", "3")):
                # Paced: the latency spectrum has a curve from the planned start.
                run = run_velkor("-t", "2", "-c", clients, "-q", "200", target.url, "--save",
                                 self.path(name))
                self.assertEqual(run.returncode, 0, run.stderr)
        page = self.path("page.html")
        report = run_report("--plot", page, self.path("a.json"), self.path("b.json"))
        self.assertEqual(report.returncode, 0, report.stderr)

        dom, log = open_in_chromium(page, self.path("profile"))
        self.assertNotIn("data-script-error", dom)
        self.assertRegex(dom, r'<body[^>]*data-charts="6"')
        self.assertEqual(len(re.findall(r"<canvas", dom)), 6)
        for title in ("Requests per second", "Mean latency per second", "Errors per second",
                      "Latency distribution", "Connections held",
                      "Connect and handshake time"):
            self.assertIn(title, dom)
        self.assertIn("merged 2 runs", dom)  # the summary, as text on the page
        # The spectrum's legend, drawn by the chart, names both curves.
        self.assertIn('u-label">from the send (ms)', dom)
        self.assertIn('u-label">from the planned start (ms)', dom)
        # A paced run's requests are drawn beside the rate it planned.
        self.assertIn('u-label">planned (requests/s)', dom)
        self.assertIn('u-label">TCP connect (ms)', dom)
        console = [line for line in log.splitlines() if ":CONSOLE" in line]
        self.assertEqual(console, [])


if __name__ == "__main__":
    unittest.main()
