"""velkor across several hosts, on simulated ones: network namespaces with
addresses in 198.18.0.0/24 joined by a bridge, a server host running nginx
with 4 workers and 4 agent hosts launched by one pdsh command. A smaller run
than bench/many_hosts.py, which shows the full-scale figures."""

import os
import time
import unittest

import agent_runs
from harness import SLOW, Run
from simulated_hosts import SimulatedHosts, why_unavailable


def reason_to_skip():
    reason = why_unavailable()
    if reason is None and SLOW > 1:
        reason = "simulated hosts run in the plain build only, not under sanitizers"
    if reason is None and not os.path.exists(agent_runs.REPORT):
        reason = "velkor-report is not built, so agent result files cannot be merged"
    return reason


@unittest.skipIf(reason_to_skip(), reason_to_skip())
class ManyHostsTest(unittest.TestCase):
    SECONDS, CLIENTS, RATE, AGENTS = 3, 2000, 1000, 4

    def test_agents_launched_by_pdsh_split_one_run_exactly(self):
        with SimulatedHosts(self.AGENTS) as hosts:
            hosts.start_nginx(workers=4, connections=4096)
            start_at = time.time() + 3  # pdsh starts all four well within this
            counter, held = hosts.peers_at_server_later(start_at + self.SECONDS / 2)
            run = agent_runs.AgentRun(
                [hosts.agent_host(k) for k in range(1, self.AGENTS + 1)],
                ["-t", str(self.SECONDS), "-c", str(self.CLIENTS), "-q", str(self.RATE),
                 hosts.url], start_at, hosts.folder)
            try:
                status = run.wait(timeout=60)
            finally:
                run.close()
            counter.join()
            hosts.stop_nginx()
            arrivals = hosts.arrivals()
            merged = agent_runs.report(*run.files)
            incomplete = agent_runs.report(*run.files[:-1])
            union = agent_runs.percentile_lines(agent_runs.union_latency_counts(
                agent_runs.read_result(path) for path in run.files))

        self.assertEqual(status, 0, run.stderr)
        summaries = [output.summary() for output in run.outputs]
        share = str(self.CLIENTS // self.AGENTS)
        for k, summary in enumerate(summaries, start=1):
            self.assertEqual(summary.get("Agent"), f"{k}/{self.AGENTS}")
            self.assertEqual(summary.get("Concurrent clients"), share)
            self.assertEqual(summary.get("Total errors"), "0")
        # Every client holds its connection for the whole run, each agent its share.
        self.assertEqual(held, {hosts.agent_address(k): self.CLIENTS // self.AGENTS
                                for k in range(1, self.AGENTS + 1)})

        self.assertEqual(merged.returncode, 0, merged.stderr)
        total = merged.summary()
        completed = sum(int(summary["Completed requests"]) for summary in summaries)
        self.assertEqual(int(total["Completed requests"]), completed)
        self.assertEqual(len(arrivals), completed, "nginx's own count")
        self.assertEqual(total["Total errors"], "0")
        self.assertEqual({p: total[p] for p in union}, union)
        self.assertEqual(incomplete.returncode, 1)

        # The rate holds at the server every second, and so does each agent's
        # share: no agent sends its share in a burst. The bounds are wide, as a
        # machine shared with other work can stall everything for most of a
        # second; bench/many_hosts.py holds the full-scale run to 10 %.
        self.assertLess(abs(completed - self.RATE * self.SECONDS), self.RATE * self.SECONDS / 20)
        for count in agent_runs.per_second(arrivals, start_at, self.SECONDS):
            self.assertLess(abs(count - self.RATE), self.RATE / 2, "a second at the server")
        for k in range(1, self.AGENTS + 1):
            share_rate = self.RATE / self.AGENTS
            for count in agent_runs.per_second(arrivals, start_at, self.SECONDS,
                                               hosts.agent_address(k)):
                self.assertLess(abs(count - share_rate), share_rate / 2, f"agent {k}")
        # Each agent's first request: not before the start, and all close together
        # (an agent that ignored --start-at would be off by seconds).
        first = agent_runs.first_arrivals(arrivals).values()
        self.assertGreaterEqual(min(first), start_at - 0.01, "no agent starts early")
        self.assertLess(max(first) - min(first), 1.0, "the agents start together")

    def test_source_addresses_pass_one_address_port_range(self):
        ports = (40000, 40099)
        extra = ["198.18.0.31", "198.18.0.32"]
        clients = 290
        with SimulatedHosts(2, extra_addresses={1: extra},
                            port_ranges={1: ports, 2: ports}) as hosts:
            hosts.start_nginx(workers=4, connections=1024)
            sources = [hosts.agent_address(1), *extra]
            runs, held = [], []
            for k, options in ((1, ["--source", ",".join(sources)]), (2, [])):
                # c/q = 10 s: each client sends at most once and holds its connection.
                args = [agent_runs.VELKOR, "-t", "3", "-c", str(clients), "-q", "29",
                        hosts.url, *options]
                counter, seen = hosts.peers_at_server_later(time.time() + 1.5)
                done = hosts.run_in(hosts.agent_host(k), *args, capture_output=True,
                                    timeout=60)
                counter.join()
                runs.append(Run(args, done.returncode, done.stdout, done.stderr, 0))
                held.append(seen)

        with_source, without = runs
        self.assertEqual(with_source.returncode, 0, with_source.stderr)
        self.assertEqual(with_source.summary()["Total errors"], "0")
        self.assertEqual(held[0], dict(zip(sources, (97, 97, 96))))
        # One address has 100 ports toward one server address and port.
        self.assertEqual(without.returncode, 0, without.stderr)
        self.assertEqual(held[1], {hosts.agent_address(2): 100})
        self.assertEqual(without.summary()["Total errors"], str(clients - 100))


if __name__ == "__main__":
    unittest.main()
