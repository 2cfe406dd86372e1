#!/usr/bin/env python3
"""100,000 connections held from one machine: 6 velkor agents, each on a
simulated host of its own (a network namespace on a bridge, addresses in
198.18.0.0/24), run one -t 60 -c 100000 -q 10000 against nginx on a seventh
(8 workers, one listening socket each, so each holds about 12,500 of the
connections, under the 20,000-descriptor limit). Each connection sends once
every 10 s; the agents open their clients at --connect-rate 8000 in all.
Each agent host's ephemeral port range is widened to 1024-65535: past about
14,000 connections to one address and port the kernel's search for a free
port otherwise walks most of the range on every connect.

Prints the connections the server holds each second (from ss -s), every agent's
errors and peak resident memory, the machine's memory in use at its largest,
and the merged report. Targets: at least 99,000 held from second 30 to the
end, no error, the merged completed count within 1 % of the plan (10,000 a
second over 60 s), the agents' peak memory summed at most 400 MiB. Exits 1
when one is missed. Needs root, iproute2, pdsh and nginx; removes everything
it made, even when it fails or is interrupted.

Usage: sudo bench/hold_100k.py [build-dir]
"""

import os
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

AGENTS = 6
CLIENTS = 100000
RATE = 10000
SECONDS = 60
CONNECT_RATE = 8000
LEAD_SECONDS = 5.0  # from launch to --start-at: each agent's set-up


def machine_memory_in_use_kib():
    with open("/proc/meminfo") as meminfo:
        fields = dict(re.findall(r"(\w+):\s+(\d+)", meminfo.read()))
    return int(fields["MemTotal"]) - int(fields["MemAvailable"])


def held_at_server(hosts):
    """The server host's established connections, from ss's summary: a
    listing of 100,000 sockets would take longer than the second."""
    summary = hosts.run_in(hosts.server_host, "ss", "-s", capture_output=True, text=True).stdout
    found = re.search(r"estab (\d+)", summary)
    return int(found[1]) if found else 0


def agent_pids(velkor):
    found = subprocess.run(["pgrep", "-f", "-x", f"{re.escape(velkor)} .*--agent .*"],
                           capture_output=True, text=True).stdout.split()
    return [int(pid) for pid in found]


def peak_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return int(re.search(r"VmHWM:\s+(\d+)", status.read())[1])
    except (OSError, TypeError):
        return None


class Watch:
    """Once a second until stopped: the server's connections, each agent's
    peak memory as last read, the machine's memory in use at its largest."""

    def __init__(self, hosts, velkor, start_at):
        self.hosts, self.velkor, self.start_at = hosts, velkor, start_at
        self.held = []  # (second of the run, connections at the server)
        self.peaks = {}  # agent pid -> peak resident KiB
        self.machine_kib = 0
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        while not self.stopped.wait(1.0):
            second = time.time() - self.start_at
            held = held_at_server(self.hosts)
            if second >= 0:
                self.held.append((second, held))
                print(f"  {second:5.1f} s  held {held}", flush=True)
            for pid in agent_pids(self.velkor):
                peak = peak_kib(pid)
                if peak:
                    self.peaks[pid] = max(peak, self.peaks.get(pid, 0))
            self.machine_kib = max(self.machine_kib, machine_memory_in_use_kib())

    def stop(self):
        self.stopped.set()
        self.thread.join()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    os.environ["VELKOR_BIN"] = os.path.join(build, "velkor")
    import agent_runs
    from simulated_hosts import SimulatedHosts, why_unavailable

    reason = why_unavailable()
    if reason:
        sys.exit(f"cannot simulate hosts here: {reason}")
    wide = {k: (1024, 65535) for k in range(1, AGENTS + 1)}
    failed = []

    def check(name, passed, figure):
        print(f"  {'ok  ' if passed else 'FAIL'} {name}: {figure}", flush=True)
        if not passed:
            failed.append(name)

    idle_kib = machine_memory_in_use_kib()
    with SimulatedHosts(AGENTS, port_ranges=wide) as hosts:
        hosts.start_nginx(workers=8, connections=19000)
        start_at = time.time() + LEAD_SECONDS
        run = agent_runs.AgentRun(
            [hosts.agent_host(k) for k in range(1, AGENTS + 1)],
            ["-t", str(SECONDS), "-c", str(CLIENTS), "-q", str(RATE), hosts.url,
             "--connect-rate", str(CONNECT_RATE), "--connections"], start_at, hosts.folder)
        watch = Watch(hosts, agent_runs.VELKOR, start_at)
        try:
            status = run.wait(timeout=LEAD_SECONDS + SECONDS + 180)
        finally:
            watch.stop()
        merged = agent_runs.report("--connections", *run.files)
        summaries = [output.summary() for output in run.outputs]
        hosts.stop_nginx()

    print("\nmerged report:\n" + merged.text())
    check("agents' status", status == 0, f"{status} {run.stderr.strip()[:300]}")
    late = [held for second, held in watch.held if 30 <= second <= SECONDS - 1]
    check("held from second 30 to the end", bool(late) and min(late) >= 99000,
          f"least {min(late) if late else None} of {CLIENTS}")
    errors = [int(s.get("Total errors", -1)) for s in summaries]
    merged_summary = merged.summary()
    check("errors", sum(errors) == 0 and merged_summary.get("Total errors") == "0",
          f"agents {errors}, merged {merged_summary.get('Total errors')}")
    planned = RATE * SECONDS
    completed = int(merged_summary.get("Completed requests", -1))
    check("completed within 1 % of the plan", abs(completed - planned) <= planned // 100,
          f"{completed} of {planned}")
    peaks_mib = [kib / 1024 for kib in watch.peaks.values()]
    check("agents' peak memory summed", len(peaks_mib) == AGENTS and sum(peaks_mib) <= 400,
          f"{sum(peaks_mib):.1f} MiB ({', '.join(f'{mib:.1f}' for mib in sorted(peaks_mib))})")
    print(f"  machine's memory in use at its largest: {watch.machine_kib / 1024:.0f} MiB"
          f" ({(watch.machine_kib - idle_kib) / 1024:.0f} MiB above idle, kernel sockets included)")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
