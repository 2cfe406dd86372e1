#!/usr/bin/env python3
"""What a run's length costs velkor: peak memory of a short and a long run at
full speed against velkor_target, and how long after the clients' end the
summary appears.

The clients end on their own clocks, each at its start + the run time; the
reporter starts just before them, so its last progress line comes at about
the same instant. The delay shown is from the last progress line to the
summary's last line: the time velkor needs to tear the run down and compute
and write the summary (plus the reporter's few microseconds of head start).

Targets: peak memory of the long and the short run within 2 MiB of each
other; every summary within 50 ms of the last progress line. Exits 1 when a
target is missed. The machine is shared and noisy: the best of the rounds counts.

Usage: bench/run_length.py [build-dir] [--short 3] [--long 30] [--clients 30]
                           [--rounds 2]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

MEMORY_LIMIT_MIB = 2.0
SUMMARY_LIMIT_MS = 50.0


def start_target(build, lifetime_sec):
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0",
                               "--stop-after-sec", str(lifetime_sec)], stdout=subprocess.PIPE)
    line = target.stdout.readline().decode()
    port = int(re.search(r":(\d+)", line)[1])
    return target, f"http://127.0.0.1:{port}/"


def timed_lines(command):
    """Runs the command; returns [(monotonic seconds on arrival, line)] of its output."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = []
    for raw in process.stdout:
        lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
    process.wait()
    return lines


def one_run(build, url, seconds, clients):
    time_bin = shutil.which("time") or "/usr/bin/time"
    command = [time_bin, "-f", "PEAK_RSS_KIB=%M", os.path.join(build, "velkor"),
               "-t", str(seconds), "-c", str(clients), url]
    lines = timed_lines(command)
    progress = [at for at, line in lines if line.startswith("累计请求")]
    summary_end = next((at for at, line in lines if line.startswith(" 100%")), None)
    peak = next((int(m[1]) for _, line in lines if (m := re.match(r"PEAK_RSS_KIB=(\d+)", line))),
                0)
    completed = next((int(m[1]) for _, line in lines
                      if (m := re.match(r"Completed requests:\s+(\d+)", line))), 0)
    delay_ms = (summary_end - progress[-1]) * 1000 if progress and summary_end else float("nan")
    return {"rss_mib": peak / 1024.0, "delay_ms": delay_ms, "completed": completed}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--short", type=int, default=3)
    parser.add_argument("--long", type=int, default=30)
    parser.add_argument("--clients", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()

    target, url = start_target(args.build, (args.short + args.long + 5) * args.rounds + 60)
    results = {args.short: [], args.long: []}
    try:
        for _ in range(args.rounds):
            for seconds in (args.short, args.long):
                results[seconds].append(one_run(args.build, url, seconds, args.clients))
    finally:
        target.terminate()
        target.wait()

    print(f"velkor -t N -c {args.clients} at full speed against velkor_target")
    print(f"{'-t':>4} | {'requests':>9} | {'peak RSS MiB':>12} | {'summary after last line, ms':>27}")
    for seconds, runs in results.items():
        for run in runs:
            print(f"{seconds:>4} | {run['completed']:>9} | {run['rss_mib']:>12.1f} | "
                  f"{run['delay_ms']:>27.1f}")
    short_rss = min(run["rss_mib"] for run in results[args.short])
    long_rss = min(run["rss_mib"] for run in results[args.long])
    worst_delay = max(min(run["delay_ms"] for run in runs) for runs in results.values())
    memory_ok = abs(long_rss - short_rss) <= MEMORY_LIMIT_MIB
    delay_ok = worst_delay <= SUMMARY_LIMIT_MS
    print(f"peak RSS difference {long_rss - short_rss:+.1f} MiB (limit {MEMORY_LIMIT_MIB}): "
          f"{'ok' if memory_ok else 'MISSED'}")
    print(f"summary delay, best round of the slower length {worst_delay:.1f} ms "
          f"(limit {SUMMARY_LIMIT_MS:.0f}): {'ok' if delay_ok else 'MISSED'}")
    sys.exit(0 if memory_ok and delay_ok else 1)


if __name__ == "__main__":
    main()
