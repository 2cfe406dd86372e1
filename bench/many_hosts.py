#!/usr/bin/env python3
"""velkor across several hosts, at full scale, on simulated hosts (network
namespaces joined by a bridge, addresses in 198.18.0.0/24): a server host
running nginx with 4 workers and 4 agent hosts launched by one pdsh command.
Needs root, iproute2, pdsh and nginx; removes everything it made, even when
it fails or is interrupted.

  split        4 agents, -t 8 -c 50000 -q 5000, started together with
               --start-at: connections held at the server 6 s into the run,
               completed counts (merged, summed, nginx's), the rate at the
               server each second, overall and per agent, errors, start skew,
               merged percentiles against the union of the agents' counts.
  ports        one agent host whose port range is cut to 1,000 ports:
               2,900 connections to one server address and port with three
               --source addresses; without --source at most 1,000.
  percentiles  2 agents against velkor_target in delay mode against one
               process with the same totals (on 127.0.0.1).

Usage: sudo bench/many_hosts.py [build-dir] [--parts split,ports,percentiles]
"""

import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


class Checks:
    """Figures printed as they come, each against its target."""

    def __init__(self):
        self.failed = []

    def check(self, name, passed, figure):
        print(f"  {'ok  ' if passed else 'FAIL'} {name}: {figure}", flush=True)
        if not passed:
            self.failed.append(name)


def split_run(checks, seconds=8, clients=50000, rate=5000, agents=4, lead=5.0):
    import agent_runs
    from simulated_hosts import SimulatedHosts

    print(f"split: {agents} agents, -t {seconds} -c {clients} -q {rate}", flush=True)
    with SimulatedHosts(agents) as hosts:
        hosts.start_nginx(workers=4, connections=16000)
        start_at = time.time() + lead
        counter, peers = hosts.peers_at_server_later(start_at + 6)
        run = agent_runs.AgentRun([hosts.agent_host(k) for k in range(1, agents + 1)],
                                  ["-t", str(seconds), "-c", str(clients), "-q", str(rate),
                                   hosts.url], start_at, hosts.folder)
        status = run.wait(timeout=lead + seconds + 120)
        counter.join()
        held = sum(peers.values())
        hosts.stop_nginx()
        arrivals = hosts.arrivals()
        checks.check("pdsh status", status == 0, f"{status} {run.stderr.strip()}")
        summaries = [output.summary() for output in run.outputs]
        agent_lines = [s.get("Agent", "?") for s in summaries]
        checks.check("agent lines", agent_lines == [f"{k}/{agents}" for k in range(1, agents + 1)],
                     agent_lines)
        checks.check("connections at the server 6 s into the run", held >= 49500,
                     f"{held} (at least 49500)")
        completed = [int(s.get("Completed requests", -1)) for s in summaries]
        errors = [int(s.get("Total errors", -1)) for s in summaries]
        merged = agent_runs.report(*run.files)
        merged_summary = merged.summary()
        checks.check("velkor-report status", merged.returncode == 0, merged.stderr.decode())
        merged_completed = int(merged_summary.get("Completed requests", -1))
        checks.check("merged = sum over agents = nginx's count",
                     merged_completed == sum(completed) == len(arrivals),
                     f"merged {merged_completed}, agents {completed} = {sum(completed)}, "
                     f"nginx {len(arrivals)}")
        checks.check("errors", sum(errors) == 0 and merged_summary.get("Total errors") == "0",
                     f"agents {errors}, merged {merged_summary.get('Total errors')}")
        checks.check("all answers 200", all(status == 200 for _, _, status in arrivals),
                     "statuses seen: " + ",".join(sorted({str(s) for _, _, s in arrivals})))
        overall = agent_runs.per_second(arrivals, start_at, seconds)
        checks.check("each second at the server within 10 % of the rate",
                     all(abs(n - rate) <= rate / 10 for n in overall), overall)
        share = rate / agents
        for k in range(1, agents + 1):
            mine = agent_runs.per_second(arrivals, start_at, seconds, hosts.agent_address(k))
            checks.check(f"agent {k} each second within 10 % of {share:g}",
                         all(abs(n - share) <= share / 10 for n in mine), mine)
        first = agent_runs.first_arrivals(arrivals)
        firsts = [first.get(hosts.agent_address(k), float("nan")) for k in range(1, agents + 1)]
        skew_ms = (max(firsts) - min(firsts)) * 1000
        checks.check("first requests of all agents within 50 ms", skew_ms <= 50,
                     f"{skew_ms:.1f} ms; after start-at: "
                     + ", ".join(f"{(f - start_at) * 1000:.1f}" for f in firsts) + " ms")
        union = agent_runs.percentile_lines(
            agent_runs.union_latency_counts(agent_runs.read_result(f) for f in run.files))
        reported = {p: merged_summary.get(p) for p in union}
        checks.check("merged percentiles = those of the union of the agents' counts",
                     union == reported, f"union {union}, merged {reported}")


def ports_run(checks, seconds=6, clients=2900, ports=(40000, 40999)):
    from simulated_hosts import SimulatedHosts
    import agent_runs
    from harness import Run
    import subprocess

    print(f"ports: one host with ports {ports[0]}-{ports[1]}, -c {clients}", flush=True)
    extra = ["198.18.0.31", "198.18.0.32"]
    with SimulatedHosts(2, extra_addresses={1: extra}, port_ranges={1: ports, 2: ports}) as hosts:
        hosts.start_nginx(workers=4, connections=4096)
        sources = ",".join([hosts.agent_address(1), *extra])
        for k, options in ((1, ["--source", sources]), (2, [])):
            # The interval (c/q = 10 s) is longer than the run: each client sends
            # at most once and holds its connection to the end.
            args = [agent_runs.VELKOR, "-t", str(seconds), "-c", str(clients),
                    "-q", str(clients // 10), hosts.url, *options]
            counter, peers = hosts.peers_at_server_later(time.time() + seconds / 2)
            done = hosts.run_in(hosts.agent_host(k), *args, capture_output=True,
                                timeout=seconds + 60)
            counter.join()
            held = sum(peers.values())
            summary = Run(args, done.returncode, done.stdout, done.stderr, 0).summary()
            label = "with --source " + sources if options else "without --source"
            errors = int(summary.get("Total errors", -1))
            if options:
                checks.check(f"{label}: held at once", held == clients,
                             f"{held} (expected {clients}), errors {errors}")
            else:
                limit = ports[1] - ports[0] + 1
                checks.check(f"{label}: held at once, the rest errors",
                             held <= limit and errors == clients - held,
                             f"{held} (at most {limit}), errors {errors}")


def percentile_figures(summary):
    """The summary's percentiles in whole ms, by percent."""
    import agent_runs
    return {p: int(summary.get(f"{p}%", "-1 ms").split()[0]) for p in agent_runs.PERCENTS}


def agents_summary(base, agents):
    """One run as `agents` local agents started together, merged by velkor-report."""
    import agent_runs
    import subprocess

    with tempfile.TemporaryDirectory(prefix="velkor-bench-") as folder:
        files = [os.path.join(folder, f"agent-{k}.json") for k in range(1, agents + 1)]
        start_at = time.time() + 2
        processes = [subprocess.Popen([agent_runs.VELKOR, *base, "--agent", f"{k}/{agents}",
                                       "--start-at", f"{start_at:.3f}", "--save", files[k - 1]],
                                      stdout=subprocess.DEVNULL)
                     for k in range(1, agents + 1)]
        for process in processes:
            process.wait()
        return agent_runs.report(*files).summary()


def percentiles_run(checks, build, seconds=5, clients=100, rate=500, delay_ms=20, trials=3):
    import agent_runs
    import re
    import statistics
    import subprocess
    from harness import Run

    print(f"percentiles: 2 agents against one process, -t {seconds} -c {clients} -q {rate}, "
          f"velkor_target delay {delay_ms} ms, {trials} trials each, interleaved", flush=True)
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0", "--mode",
                               "delay", "--delay-ms", str(delay_ms)], stdout=subprocess.PIPE)
    try:
        port = int(re.search(rb":(\d+)", target.stdout.readline())[1])
        base = ["-t", str(seconds), "-c", str(clients), "-q", str(rate),
                f"http://127.0.0.1:{port}/"]
        together, alone = [], []
        for trial in range(trials):
            together.append(percentile_figures(agents_summary(base, 2)))
            done = subprocess.run([agent_runs.VELKOR, *base], capture_output=True)
            alone.append(percentile_figures(Run(base, 0, done.stdout, b"", 0).summary()))
            print(f"  trial {trial + 1}: 2 agents {together[-1]}, one process {alone[-1]}",
                  flush=True)
        # Medians, so that one trial disturbed by other work on the machine
        # does not decide.
        for percent in agent_runs.PERCENTS:
            a = statistics.median(t[percent] for t in together)
            b = statistics.median(t[percent] for t in alone)
            checks.check(f"{percent}%: 2 agents {a:g} ms, one process {b:g} ms (medians)",
                         abs(a - b) <= 1, "within 1 ms")
    finally:
        target.terminate()
        target.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--parts", default="split,ports,percentiles")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ["VELKOR_BIN"] = os.path.join(build, "velkor")
    from simulated_hosts import why_unavailable
    reason = why_unavailable()
    if reason:
        print("cannot run: " + reason)
        return 2
    checks = Checks()
    for part in args.parts.split(","):
        # Other work on the machine shows in every timing figure.
        print("load average: " + " ".join(f"{x:.2f}" for x in os.getloadavg()), flush=True)
        if part == "split":
            split_run(checks)
        elif part == "ports":
            ports_run(checks)
        elif part == "percentiles":
            percentiles_run(checks, build)
        else:
            print(f"unknown part {part!r}")
            return 2
    print("all checks passed" if not checks.failed else "failed: " + "; ".join(checks.failed))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
