"""Whole runs against servers that fail on purpose: torn, malformed, slow,
silent and refusing answers, huge bodies and thousands of connections.

Whatever the server does, velkor must end in time with status 0 and count
every failed exchange or connect as exactly one error and nothing else as one.
"""

import inspect
import json
import os
import resource
import tempfile
import unittest

from harness import (SLOW, Target, closed_port, errors_by_kind, run_velkor, series_problem,
                     slack)
from nginx_server import Nginx, nginx_available

GIVE_UP_GRACE_SEC = 2  # pending exchanges are abandoned this long after a client's deadline
START_SLACK_SEC = 1.5  # process start, thread start-up and the summary
# Each client's run time counts from its own start, and on two cores the
# last of thousands of clients can start seconds after the first.
START_SEC_PER_THOUSAND_CLIENTS = 5
# Where everything runs this many times slower (ThreadSanitizer), thousands of
# clients queue for seconds, past the fixed grace: their runs are left to the
# faster builds.
MANY_CLIENTS = unittest.skipIf(SLOW >= 5, "thousands of clients are too slow in this build")


def raise_descriptor_limit():
    """Lets this process and the servers it starts hold thousands of sockets."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 65536 if hard == resource.RLIM_INFINITY else min(hard, 65536)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


class FaultTest(unittest.TestCase):
    def run_against(self, target_args, duration_sec, clients, timeout=120, scheme="http"):
        """Runs velkor against a fresh target, saving its result; returns
        (summary, run, served, accepted). The saved series adds up to the
        totals, and the errors by kind to the errors."""
        with Target("--count-connections", *target_args) as target, \
                tempfile.TemporaryDirectory() as directory:
            saved = os.path.join(directory, "run.json")
            url = target.url.replace("http:", scheme + ":")
            options = ["--insecure"] if scheme == "https" else []
            run = run_velkor("-t", str(duration_sec), "-c", str(clients), url, "--save", saved,
                             *options, timeout=timeout)
            served = target.stop()
            self.assertEqual(run.returncode, 0, run.stderr[-2000:])
            with open(saved) as file:
                self.assertIsNone(series_problem(json.load(file)))
        self.assertEqual(run.stderr, b"")
        self.assertEqual(len(run.progress_lines()), duration_sec)
        summary = run.summary()
        self.assertEqual(sum(errors_by_kind(summary).values()), int(summary["Total errors"]))
        return summary, run, served, target.accepted

    def assert_ends_in_time(self, run, duration_sec, extra_sec=0.0, clients=0):
        start_sec = START_SLACK_SEC + START_SEC_PER_THOUSAND_CLIENTS * clients / 1000
        bound = duration_sec + extra_sec + slack(start_sec)
        self.assertLess(run.seconds, bound, f"run took {run.seconds:.2f} s")

    def test_broken_answers_are_one_error_each_and_reconnect_at_once(self):
        # Every connection carries exactly one failed exchange, so errors equal
        # the connections taken, less at most one per client: a reconnect made
        # just before the deadline is never used.
        # Each mode's errors fall under one kind.
        modes = [("reset-in-header", "closed early"), ("reset-in-body", "closed early"),
                 ("close-after-header", "closed early"), ("huge-header", "malformed"),
                 ("garbage", "malformed"), ("bad-chunk", "malformed")]
        clients = 4
        for mode, kind in modes:
            with self.subTest(mode=mode):
                summary, run, served, accepted = self.run_against(["--mode", mode], 2, clients)
                errors = int(summary["Total errors"])
                self.assertEqual(errors_by_kind(summary), {kind: errors})
                self.assertEqual(summary["Completed requests"], "0")
                self.assertGreater(errors, clients, "no reconnect after a failed exchange")
                self.assertLessEqual(errors, accepted)
                self.assertGreaterEqual(errors, accepted - clients)
                if mode != "huge-header":  # its head may be sent whole before the client gives up
                    self.assertEqual(served, 0)
                self.assert_ends_in_time(run, 2)

    def test_an_answer_trickling_byte_by_byte_completes(self):
        # About 66 bytes at one per 10 ms: each answer takes over half a second.
        summary, run, served, _ = self.run_against(["--mode", "trickle"], 2, 2)
        self.assertEqual(summary["Total errors"], "0")
        self.assertEqual(int(summary["Completed requests"]), served)
        self.assertGreaterEqual(served, 2)
        self.assertGreaterEqual(int(summary["50%"].split()[0]), 500)
        self.assertLess(int(summary["100%"].split()[0]), 2000)
        self.assert_ends_in_time(run, 2, extra_sec=1)

    def test_a_server_falling_silent_costs_one_error_per_client(self):
        # From 1 s on no request is answered: each client's pending exchange is
        # abandoned when the grace after its deadline runs out.
        clients = 3
        summary, run, served, _ = self.run_against(
            ["--mode", "fast", "--fail-after-sec", "1"], 3, clients)
        self.assertEqual(summary["Total errors"], str(clients))
        self.assertEqual(errors_by_kind(summary), {"response unanswered": clients})
        self.assertEqual(int(summary["Completed requests"]), served)
        self.assertGreater(served, clients)
        self.assertGreater(run.seconds, 3 + GIVE_UP_GRACE_SEC - 0.5)
        self.assert_ends_in_time(run, 3, extra_sec=GIVE_UP_GRACE_SEC)

    def test_refused_reconnects_end_each_client_with_one_error(self):
        # From 1 s on the listener is gone. Clients whose server closes after
        # every answer must reconnect, fail once and stop; a connection made
        # just before the listener closed but never taken from its backlog is
        # reset, which can cost that client one failed exchange more. Clients
        # on kept-alive connections never notice.
        clients = 3
        cases = [("close", clients, 2 * clients), ("fast", 0, 0)]
        for mode, fewest_errors, most_errors in cases:
            with self.subTest(mode=mode):
                summary, run, served, _ = self.run_against(
                    ["--mode", mode, "--refuse-after-sec", "1"], 3, clients)
                errors = int(summary["Total errors"])
                kinds = errors_by_kind(summary)
                self.assertLessEqual(set(kinds), {"connect refused", "closed early"})
                self.assertGreaterEqual(kinds.get("connect refused", 0), fewest_errors // 2)
                self.assertGreaterEqual(errors, fewest_errors)
                self.assertLessEqual(errors, most_errors)
                self.assertEqual(int(summary["Completed requests"]), served)
                self.assertGreater(served, clients)
                self.assert_ends_in_time(run, 3)

    def test_failed_connects_count_under_their_kind(self):
        # Nothing listens: every client's one connect is refused. A server
        # that never answers the TLS handshake leaves it unfinished when the
        # run ends, whether it is silent or waits for an HTTP head.
        clients = 3
        with tempfile.TemporaryDirectory() as directory:
            saved = os.path.join(directory, "run.json")
            run = run_velkor("-t", "1", "-c", str(clients), f"http://127.0.0.1:{closed_port()}/",
                             "--save", saved)
            self.assertEqual(run.returncode, 0, run.stderr)
            with open(saved) as file:
                self.assertIsNone(series_problem(json.load(file)))
        self.assertEqual(errors_by_kind(run.summary()), {"connect refused": clients})
        for mode in ("never", "fast"):
            with self.subTest(mode=mode):
                summary, run, served, _ = self.run_against(["--mode", mode], 1, clients,
                                                           scheme="https")
                self.assertEqual(errors_by_kind(summary), {"TLS unfinished": clients})
                self.assertEqual(served, 0)
                self.assert_ends_in_time(run, 1, extra_sec=GIVE_UP_GRACE_SEC)

    def test_one_mebibyte_bodies_complete_without_errors(self):
        summary, run, served, _ = self.run_against(["--mode", "big-body"], 2, 3)
        self.assertEqual(summary["Total errors"], "0")
        self.assertEqual(int(summary["Completed requests"]), served)
        self.assertGreater(served, 3)
        self.assert_ends_in_time(run, 2)

    @MANY_CLIENTS
    def test_two_thousand_clients_against_the_target(self):
        raise_descriptor_limit()
        clients = 2000
        summary, run, served, accepted = self.run_against(["--mode", "fast"], 3, clients)
        self.assertEqual(summary["Total errors"], "0")
        self.assertEqual(int(summary["Completed requests"]), served)
        self.assertGreater(served, clients)
        self.assertEqual(accepted, clients)
        self.assert_ends_in_time(run, 3, extra_sec=GIVE_UP_GRACE_SEC, clients=clients)

    @MANY_CLIENTS
    @unittest.skipUnless(nginx_available(), "nginx is not installed")
    def test_two_thousand_clients_against_nginx(self):
        raise_descriptor_limit()  # nginx's one worker needs a descriptor per connection
        clients = 2000
        options = {"connections": clients * 2}
        # Taking one new connection per event loop turn would keep the last
        # of 2000 clients waiting seconds for its first answer.
        if "multi_accept" in inspect.signature(Nginx).parameters:
            options["multi_accept"] = True
        with Nginx(**options) as server:
            run = run_velkor("-t", "3", "-c", str(clients), server.url, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertEqual(run.stderr, b"")
        summary = run.summary()
        self.assertEqual(summary["Total errors"], "0")
        self.assertGreater(int(summary["Completed requests"]), clients)
        self.assert_ends_in_time(run, 3, extra_sec=GIVE_UP_GRACE_SEC, clients=clients)


if __name__ == "__main__":
    unittest.main()
