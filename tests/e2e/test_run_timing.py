"""How a run spreads its requests over time and holds its connections: one
even schedule over all clients, one run window, idle closes reopened."""

import os
import socket
import threading
import time
import unittest

from harness import Target, established_connections, run_velkor, slack
from nginx_server import Nginx, nginx_available


def count_connections_later(pid, delay_sec, found):
    """Counts the server's established connections delay_sec from now, in the background."""
    def count():
        time.sleep(delay_sec)
        found.append(established_connections(pid))
    watcher = threading.Thread(target=count)
    watcher.start()
    return watcher


class RunTimingTest(unittest.TestCase):
    def paced_run(self, target, qps, clients, seconds, *options):
        run = run_velkor("-t", str(seconds), "-c", str(clients), "-q", str(qps), target.url,
                         *options, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run

    def test_requests_spread_evenly_over_the_run_at_the_asked_rate(self):
        # Run times that are no multiple of the interval, and rates below the
        # client count: the asked q * t, about q each second, no flood.
        cases = [(20, 30, 2), (4, 10, 3), (100, 1000, 3), (30, 45, 4)]
        for qps, clients, seconds in cases:
            with self.subTest(q=qps, c=clients, t=seconds), Target("--mode", "fast") as target:
                run = self.paced_run(target, qps, clients, seconds)
                served = target.stop()
                summary = run.summary()
                completed = int(summary["Completed requests"])
                self.assertEqual(summary["Total errors"], "0")
                self.assertEqual(completed, served)
                self.assertAlmostEqual(completed, qps * seconds, delta=max(3, qps * seconds * 0.03))
                lines = run.progress_lines()
                self.assertEqual(len(lines), seconds)
                for _, second, _ in lines[1:]:
                    self.assertAlmostEqual(second, qps, delta=max(4, qps * 0.2), msg=lines)

    def test_a_paced_run_holds_every_connection_to_its_end(self):
        # One request every 0.1 s over 200 clients: most never send in a 4 s
        # run, yet each keeps its connection open until the run ends.
        with Target("--mode", "fast", "--count-connections") as target:
            found = []
            watcher = count_connections_later(target.process.pid, 2.5, found)
            run = self.paced_run(target, 10, 200, 4)
            watcher.join()
            served = target.stop()
        summary = run.summary()
        self.assertEqual(summary["Total errors"], "0")
        self.assertAlmostEqual(int(summary["Completed requests"]), 40, delta=3)
        self.assertEqual(served, int(summary["Completed requests"]))
        self.assertGreaterEqual(found[0], 195)
        self.assertEqual(target.accepted, 200)
        self.assertGreater(run.seconds, 3.9)
        self.assertLess(run.seconds, 4 + slack(1.5))

    def test_a_start_time_delays_the_run_and_its_seconds(self):
        with Target("--mode", "fast") as target:
            begun = time.time()
            run = self.paced_run(target, 10, 5, 2, "--start-at", f"{begun + 2:.3f}")
            served = target.stop()
        # The wait precedes the run: 2 s of waiting, then the full 2 s run.
        self.assertGreater(run.seconds, 3.8)
        self.assertLess(run.seconds, 4 + slack(1.5))
        seconds = [second for _, second, _ in run.progress_lines()]
        self.assertEqual(len(seconds), 2)
        for second in seconds:
            self.assertAlmostEqual(second, 10, delta=2, msg=seconds)
        self.assertEqual(served, 20)

    def test_an_agent_runs_its_share_of_clients_on_the_whole_runs_schedule(self):
        # Agent 2 of 3 runs clients 1, 4, 7, ... of 30: 10 connections, and
        # a third of the 20 requests a second the whole run asks for.
        with Target("--mode", "fast", "--count-connections") as target:
            run = self.paced_run(target, 30, 30, 2, "--agent", "2/3")
            served = target.stop()
        self.assertEqual(target.accepted, 10)
        self.assertEqual(served, 20)
        self.assertEqual(run.summary()["Total errors"], "0")

    def test_connects_the_server_never_answers_are_errors_and_end_with_the_run(self):
        # A listener that never accepts: once its queue is full the kernel
        # drops further SYNs, and those connects are still pending at the
        # run's end. Each is one error; the queued ones fail their exchange.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            port = listener.getsockname()[1]
            run = run_velkor("-t", "1", "-c", "20", f"http://127.0.0.1:{port}/")
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        self.assertEqual(summary["Completed requests"], "0")
        self.assertEqual(summary["Total errors"], "20")
        self.assertLess(run.seconds, 1 + slack(3))


@unittest.skipUnless(nginx_available() or os.environ.get("CI"), "nginx is not installed")
class IdleCloseTest(unittest.TestCase):
    def test_a_server_closing_idle_connections_causes_no_errors(self):
        # Each client sends every 2.5 s; nginx closes a connection idle for 1 s.
        with Nginx(keepalive_timeout="1s") as nginx:
            run = run_velkor("-t", "5", "-c", "10", "-q", "4", nginx.url)
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        self.assertEqual(summary["Total errors"], "0")
        self.assertAlmostEqual(int(summary["Completed requests"]), 20, delta=2)


if __name__ == "__main__":
    unittest.main()
