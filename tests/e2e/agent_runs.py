"""velkor agents on simulated hosts, launched by pdsh, and what such a run
leaves: each agent's output and result file, their merge by velkor-report,
and nginx's own record of the requests it answered."""

import collections
import json
import os
import shlex
import subprocess

from harness import Run

VELKOR = os.path.abspath(os.environ.get("VELKOR_BIN", "velkor"))
REPORT = os.path.abspath(os.environ.get("VELKOR_REPORT_BIN")
                         or os.path.join(os.path.dirname(VELKOR), "velkor-report"))
PERCENTS = (50, 90, 95, 99, 100)


def pdsh_agent_command(hosts, velkor_args, start_at, save_pattern, velkor=VELKOR):
    """The one pdsh command line that runs velkor as agent K of N on each of
    the simulated hosts, all starting at the wall-clock instant start_at.

    pdsh's exec module runs the command once per host, with %h replaced by the
    host's name and %n by its 0-based place in the -w list. velkor numbers its
    agents from 1, so a shell on the host adds 1: $((%n+1)). save_pattern
    names each agent's result file, with {k} where its number goes."""
    count = len(hosts)
    agent = "$((%n+1))"
    words = [velkor, *velkor_args, "--agent", f"{agent}/{count}",
             "--start-at", f"{start_at:.3f}", "--save", save_pattern.format(k=agent)]
    # Quoted for the host's shell, all but the arithmetic it must expand.
    script = "exec " + " ".join(
        agent.join(shlex.quote(part) if part else "" for part in word.split(agent))
        for word in words)
    # -S: pdsh's own status is the largest of the agents' statuses.
    return ["pdsh", "-S", "-R", "exec", "-f", str(count), "-w", ",".join(hosts),
            "ip", "netns", "exec", "%h", "sh", "-c", script]


def split_pdsh_output(text):
    """pdsh puts "host: " before each line; the lines of each host, in order."""
    lines = collections.defaultdict(list)
    for line in text.splitlines():
        host, separator, rest = line.partition(":")
        if separator:
            lines[host].append(rest[1:] if rest.startswith(" ") else rest)
    return {host: "\n".join(found) + "\n" for host, found in lines.items()}


class AgentRun:
    """velkor run as agents 1..N on the given hosts through one pdsh command;
    agent K saves its result to folder/agent-K.json."""

    def __init__(self, hosts, velkor_args, start_at, folder):
        self.hosts = list(hosts)
        self.start_at = start_at
        self.files = [os.path.join(folder, f"agent-{k}.json")
                      for k in range(1, len(self.hosts) + 1)]
        pattern = os.path.join(folder, "agent-{k}.json")
        self.command = pdsh_agent_command(self.hosts, velkor_args, start_at, pattern)
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)

    def wait(self, timeout):
        """Waits for every agent; returns pdsh's status. self.outputs[k-1] is
        then agent k's output as a harness Run."""
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        self.stderr = err.decode(errors="replace")
        per_host = split_pdsh_output(out.decode(errors="replace"))
        self.outputs = [Run(self.command, self.process.returncode,
                            per_host.get(host, "").encode(), b"", 0) for host in self.hosts]
        return self.process.returncode

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def report(*files):
    """velkor-report over result files: a harness Run of its output."""
    done = subprocess.run([REPORT, *files], capture_output=True, timeout=60)
    return Run(files, done.returncode, done.stdout, done.stderr, 0)


def read_result(path):
    with open(path) as file:
        return json.load(file)


def union_latency_counts(results):
    """The latency counts of several result files added: {ms: count}."""
    counts = collections.Counter()
    for result in results:
        for latency_ms, count in result["latency_counts_ms"]:
            counts[latency_ms] += count
    return counts


def percentile_lines(counts):
    """The summary's percentile values ("2 ms", ...) for latency counts: entry
    floor(n*p/100) of the sorted latencies, the longest at 100 %."""
    ordered = sorted(counts.items())
    total = sum(counts.values())
    values = {}
    for percent in PERCENTS:
        index = min(total * percent // 100, total - 1)
        seen = 0
        for latency_ms, count in ordered:
            seen += count
            if seen > index:
                values[f"{percent}%"] = f"{latency_ms} ms"
                break
    if total:
        values["100%"] += " (longest request)"
    return values


def per_second(arrivals, start_at, seconds, address=None):
    """Requests nginx answered in each second of the run, counted from start_at;
    only those from one client address when it is given."""
    buckets = [0] * seconds
    for at, source, _ in arrivals:
        if address is not None and source != address:
            continue
        second = int(at - start_at)
        if 0 <= second < seconds:
            buckets[second] += 1
    return buckets


def first_arrivals(arrivals):
    """The arrival time of the first request from each client address."""
    first = {}
    for at, source, _ in arrivals:
        if source not in first or at < first[source]:
            first[source] = at
    return first
