"""The Windows build's pollers under Wine: VELKOR_POLLER chooses the completion
port (iocp) or WSAPoll and refuses any other name in one line; under each,
connects to a port nobody listens on all fail within the run's first second,
and a server resetting every connection while its answer is half received
costs exactly one error per connection, with Wine's heap checks finding
nothing written into freed memory.

Run by tests/run_windows.sh (see test_windows_runs.py), once: the tests name
each poller themselves."""

import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from harness import ENCODING, LAUNCHER, Target, closed_port, errors_by_kind, run_velkor  # noqa: E402
from test_windows_https import windows_path  # noqa: E402
from test_windows_runs import BANNER, gbk_lines  # noqa: E402

POLLERS = ["iocp", "WSAPoll"]


def with_poller(poller, **more):
    return {**os.environ, "VELKOR_POLLER": poller, **more}


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsPollerTest(unittest.TestCase):
    def test_an_unknown_poller_is_refused_in_one_line(self):
        for name in ["epoll", "wsapoll", "IOCP"]:
            with self.subTest(name=name):
                run = run_velkor("-t", "1", "-c", "1", "http://127.0.0.1:1/",
                                 env=with_poller(name))
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stdout, BANNER)
                self.assertEqual(run.stderr, gbk_lines(
                    f"VELKOR_POLLER={name}: not a poller here; use iocp or WSAPoll"))

    def test_refused_connects_are_errors_within_the_first_second(self):
        clients = 200
        url = f"http://127.0.0.1:{closed_port()}/"
        for poller in POLLERS:
            with self.subTest(poller=poller), tempfile.TemporaryDirectory() as directory:
                saved = os.path.join(directory, "run.json")
                run = run_velkor("-t", "2", "-c", str(clients), url, "--save",
                                 windows_path(saved), env=with_poller(poller), timeout=120)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(errors_by_kind(run.summary()), {"connect refused": clients})
                with open(saved) as file:
                    seconds = json.load(file)["seconds"]
                self.assertEqual(seconds[0][2], clients, "not all refused in the first second")

    def test_resets_with_receives_in_flight_cost_one_error_per_connection(self):
        clients = 100
        for poller in POLLERS:
            with self.subTest(poller=poller), \
                    Target("--mode", "reset-in-body", "--count-connections") as target:
                run = run_velkor("-t", "3", "-c", str(clients), target.url, timeout=120,
                                 env=with_poller(poller, WINEDEBUG="-all,warn+heap,err+heap"))
                target.stop()
                self.assertEqual(run.returncode, 0, run.stderr[-2000:])
                self.assertEqual(run.stderr, b"")  # nor any heap report
                summary = run.summary()
                errors = int(summary["Total errors"])
                self.assertEqual(summary["Completed requests"], "0")
                self.assertEqual(errors_by_kind(summary), {"closed early": errors})
                # One failed exchange per connection, less at most one per
                # client: a reconnect made just before the deadline is never used.
                self.assertGreater(errors, clients)
                self.assertLessEqual(errors, target.accepted)
                self.assertGreaterEqual(errors, target.accepted - clients)


if __name__ == "__main__":
    unittest.main()
