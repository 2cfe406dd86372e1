"""The connections themselves: opened at a set rate, held, closed by the
server, and the warm-up kept out of the request figures."""

import json
import os
import tempfile
import unittest

import agent_runs
from harness import (Run, Target, connection_block, errors_by_kind, run_velkor, series_problem,
                     slack)
from simulated_hosts import SimulatedHosts, why_unavailable


class ConnectionsTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def test_connections_open_at_the_set_rate_and_are_all_held(self):
        saved = self.path("run.json")
        with Target("--count-connections") as target:
            run = run_velkor("-t", "4", "-c", "200", target.url, "--connect-rate", "100",
                             "--connections", "--save", saved)
            target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(target.accepted, 200)
        labels, times = connection_block(run.text())
        self.assertEqual(labels["Opened"], "200")
        self.assertEqual(labels["Reopened"], "0")
        self.assertEqual(labels["Most held at once"], "200")
        # Client 199 opens 1.99 s after the start.
        all_held = float(labels["All held after"].split()[0])
        self.assertGreaterEqual(all_held, 1.9)
        self.assertLess(all_held, 1.99 + slack(0.8))
        self.assertEqual(sorted(times), ["100.000", "50.000", "90.000", "99.000"])
        with open(saved, encoding="utf-8") as file:
            document = json.load(file)
        self.assertIsNone(series_problem(document))
        held = document["seconds_columns"].index("connections_held")
        connects = document["seconds_columns"].index("connects")
        rows = document["seconds"]
        # About 100 more held each second until all 200 are, then all of them.
        self.assertTrue(60 <= rows[0][held] <= 140, rows[0][held])
        self.assertTrue(160 <= rows[1][held] <= 200, rows[1][held])
        self.assertEqual(rows[2][held], 200)
        self.assertTrue(60 <= rows[0][connects] <= 140, rows[0][connects])
        self.assertEqual(sum(row[connects] for row in rows), 200)
        self.assertEqual(document["settings"]["connect_rate"], 100)
        self.assertEqual(document["connections"]["opened"], 200)

    def test_a_paced_client_skips_the_starts_before_its_connection(self):
        # Client i opens at i/10 s; its starts at i/200 + k/10 s before that
        # are skipped: about 0.95 i each, 180 over the 20 clients.
        saved = self.path("paced.json")
        with Target() as target:
            run = run_velkor("-t", "3", "-c", "20", "-q", "200", target.url, "--connect-rate",
                             "10", "--save", saved)
            target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(saved, encoding="utf-8") as file:
            document = json.load(file)
        planned = sum(count for _, count in document["planned_latency_counts_us"])
        skipped = planned - document["completed"]
        self.assertTrue(150 <= skipped <= 200, skipped)
        self.assertTrue(600 - 200 - 30 <= document["completed"] <= 600 - 150, document["completed"])

    def test_the_warmup_is_in_no_request_figure(self):
        log = self.path("arrivals.txt")
        with Target("--arrival-log", log) as target:
            run = run_velkor("-t", "4", "-c", "4", "-q", "2000", target.url, "--warmup", "2",
                             "--connections")
            target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        self.assertEqual(summary["Warm-up (s)"], "2")
        self.assertEqual(summary["Max time (s)"], "4")
        with open(log, encoding="ascii") as file:
            arrivals = [int(line) for line in file if line.strip()]
        # The target counts from the first request, which came at the run's
        # start give or take a connect; a few were in flight at the edge.
        after = sum(1 for at in arrivals if at >= 2_000_000_000)
        completed = int(summary["Completed requests"])
        self.assertLess(abs(completed - after), 30, (completed, after, len(arrivals)))
        self.assertLess(completed, len(arrivals) * 0.6)
        self.assertAlmostEqual(float(summary["Effective rps"]), completed / 2, delta=1)
        # The connections opened in the warm-up are still counted.
        labels, _ = connection_block(run.text())
        self.assertEqual(labels["Opened"], "4")

    def test_a_closing_server_s_closes_are_counted_and_reopened(self):
        with Target("--close-every", "1") as target:
            run = run_velkor("-t", "2", "-c", "4", target.url, "--connections")
            target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        completed = int(run.summary()["Completed requests"])
        self.assertGreater(completed, 100)
        labels, _ = connection_block(run.text())
        reopened = int(labels["Reopened"])
        # Each answer closed its connection; every close but the last few
        # at the run's end was reopened.
        self.assertLessEqual(completed - reopened, 4)
        self.assertGreaterEqual(completed - reopened, 0)
        self.assertEqual(int(labels["Opened"]), reopened + 4)
        self.assertTrue(labels["Closed by server"].startswith(f"{completed} (announced {completed},"),
                        labels["Closed by server"])

    def test_bad_values_stop_before_the_run(self):
        cases = [
            (["--warmup", "4"], "--warmup"),
            (["--warmup", "x"], "--warmup"),
            (["--connect-rate", "0"], "--connect-rate"),
            (["--connections", "--connections"], "--connections"),
        ]
        for options, named in cases:
            with self.subTest(options=options):
                run = run_velkor("-t", "4", "-c", "1", "http://127.0.0.1:9/", *options)
                self.assertEqual(run.returncode, 1)
                lines = run.stderr.decode("utf-8").strip().split("\n")
                self.assertEqual(len(lines), 1)
                self.assertIn(named, lines[0])
                self.assertNotIn(b"Target URL", run.stdout)


@unittest.skipIf(why_unavailable(), why_unavailable())
class SilentHostTest(unittest.TestCase):
    def test_a_host_whose_answers_never_arrive_leaves_each_connect_unanswered(self):
        # The server host routes its answers to the agent into a black hole:
        # neither a SYN-ACK nor a reset ever arrives, as behind a firewall that
        # drops SYNs. Each client's one connect is given up at the run's end.
        clients = 5
        with SimulatedHosts(1) as hosts:
            hosts.run_in(hosts.server_host, "ip", "route", "add", "blackhole",
                         hosts.agent_address(1) + "/32", check=True)
            args = [agent_runs.VELKOR, "-t", "2", "-c", str(clients), hosts.url, "--connections"]
            done = hosts.run_in(hosts.agent_host(1), *args, capture_output=True, timeout=60)
        run = Run(args, done.returncode, done.stdout, done.stderr, 0)
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = run.summary()
        self.assertEqual(summary["Completed requests"], "0")
        self.assertEqual(errors_by_kind(summary), {"connect unanswered": clients})
        self.assertEqual(summary["Total errors"], str(clients))
        labels, _ = connection_block(run.text())
        self.assertEqual(labels["Most held at once"], "0")
        self.assertEqual(labels["All held after"], "never")


if __name__ == "__main__":
    unittest.main()
