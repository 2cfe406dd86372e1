#!/usr/bin/env python3
"""What a run's length costs velkor: peak memory of a short and a long run at
full speed against velkor_target, and how long after the last client's end
the summary appears.

The clients end on their own clocks, each at its start + the run time, and
close their connections. The delay shown is from the last close of a client's
connection to the write of the summary's last line, both read from strace's
record of velkor's close and write calls (seccomp-filtered, so sends and
receives run at full speed). The delay runs are separate from the memory runs.
Without strace, the delay is taken from the last progress line instead, which
also holds the time the clients took to start.

A day-long run, time-compressed: apart from its per-second series (one row a
second, 86,400 for a day) nothing a run keeps grows with its length, which the
short and long runs show. The series itself, and the --save at the end of
such a run, are measured by bench/day_series/save_day.cpp, built here against
the build's libvelkor_core.a: a result of 86,400 rows written with velkor's
own --save code and read back with velkor-report's, its peak memory and the
series' share of it.

Targets: peak memory of the long and the short run within 2 MiB of each
other; every summary within 50 ms of the last client's end; the day's result
written in under a second. Exits 1 when a target is missed. The machine is
shared and noisy: the best of the rounds counts.

Usage: bench/run_length.py [build-dir] [--short 3] [--long 30] [--clients 30]
                           [--rounds 2] [--day-rows 86400]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

MEMORY_LIMIT_MIB = 2.0
SUMMARY_LIMIT_MS = 50.0
SAVE_LIMIT_MS = 1000.0
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
    """Peak memory and completed requests of one run."""
    time_bin = shutil.which("time") or "/usr/bin/time"
    command = [time_bin, "-f", "PEAK_RSS_KIB=%M", os.path.join(build, "velkor"),
               "-t", str(seconds), "-c", str(clients), url]
    lines = timed_lines(command)
    peak = next((int(m[1]) for _, line in lines if (m := re.match(r"PEAK_RSS_KIB=(\d+)", line))),
                0)
    completed = next((int(m[1]) for _, line in lines
                      if (m := re.match(r"Completed requests:\s+(\d+)", line))), 0)
    return {"rss_mib": peak / 1024.0, "completed": completed}


def summary_delay_ms(build, url, seconds, clients):
    """Milliseconds from the last client's end to the summary's last line."""
    command = [os.path.join(build, "velkor"), "-t", str(seconds), "-c", str(clients), url]
    strace = shutil.which("strace")
    if not strace:
        lines = timed_lines(command)
        progress = [at for at, line in lines if line.startswith("累计请求")]
        summary_end = next((at for at, line in lines if line.startswith(" 100%")), None)
        return (summary_end - progress[-1]) * 1000 if progress and summary_end else float("nan")
    with tempfile.NamedTemporaryFile(suffix=".trace") as trace:
        timed_lines([strace, "-f", "--seccomp-bpf", "-e", "trace=close,write", "-yy", "-ttt",
                     "-o", trace.name] + command)
        last_close, summary_end = None, None
        for line in open(trace.name, encoding="utf-8", errors="replace"):
            at = re.match(r"\d+\s+(\d+\.\d+) ", line)
            if not at:
                continue
            if re.search(r"close\(\d+<TCP:", line) and summary_end is None:
                last_close = float(at[1])
            elif re.search(r'write\(1<[^>]*>, " 100%', line):
                summary_end = float(at[1])
        if last_close is None or summary_end is None:
            return float("nan")
        return (summary_end - last_close) * 1000


def day_save(build, rows, rounds):
    """The best write and read of a result of `rows` rows, with its size, the
    series' memory and the program's peak memory."""
    with tempfile.TemporaryDirectory() as directory:
        program = os.path.join(directory, "save_day")
        subprocess.run([os.environ.get("CXX", "g++"), "-std=c++20", "-O2",
                        '-DVELKOR_VERSION="bench"', "-I" + os.path.join(SOURCE, "src"),
                        "-I" + os.path.join(build, "generated"),
                        os.path.join(SOURCE, "bench", "day_series", "save_day.cpp"),
                        os.path.join(build, "libvelkor_core.a"), "-lssl", "-lcrypto", "-luring",
                        "-lpthread", "-o", program], check=True)
        time_bin = shutil.which("time") or "/usr/bin/time"
        best = None
        for _ in range(rounds):
            out = subprocess.run([time_bin, "-f", "PEAK_RSS_KIB=%M", program, str(rows),
                                  os.path.join(directory, "day.json")],
                                 capture_output=True, check=True, text=True)
            figures = dict(zip(out.stdout.split()[::2], map(float, out.stdout.split()[1::2])))
            figures["peak_mib"] = int(re.search(r"PEAK_RSS_KIB=(\d+)", out.stderr)[1]) / 1024
            if best is None or figures["write_ms"] < best["write_ms"]:
                best = figures
        return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--short", type=int, default=3)
    parser.add_argument("--long", type=int, default=30)
    parser.add_argument("--clients", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--day-rows", type=int, default=86_400, help="0: no day's result")
    args = parser.parse_args()

    target, url = start_target(args.build, 2 * (args.short + args.long + 5) * args.rounds + 60)
    results = {args.short: [], args.long: []}
    try:
        for _ in range(args.rounds):
            for seconds in (args.short, args.long):
                run = one_run(args.build, url, seconds, args.clients)
                run["delay_ms"] = summary_delay_ms(args.build, url, seconds, args.clients)
                results[seconds].append(run)
    finally:
        target.terminate()
        target.wait()

    print(f"velkor -t N -c {args.clients} at full speed against velkor_target")
    print(f"{'-t':>4} | {'requests':>9} | {'peak RSS MiB':>12} | "
          f"{'summary after last client, ms':>29}")
    for seconds, runs in results.items():
        for run in runs:
            print(f"{seconds:>4} | {run['completed']:>9} | {run['rss_mib']:>12.1f} | "
                  f"{run['delay_ms']:>29.1f}")
    short_rss = min(run["rss_mib"] for run in results[args.short])
    long_rss = min(run["rss_mib"] for run in results[args.long])
    worst_delay = max(min(run["delay_ms"] for run in runs) for runs in results.values())
    memory_ok = abs(long_rss - short_rss) <= MEMORY_LIMIT_MIB
    delay_ok = worst_delay <= SUMMARY_LIMIT_MS
    print(f"peak RSS difference {long_rss - short_rss:+.1f} MiB (limit {MEMORY_LIMIT_MIB}): "
          f"{'ok' if memory_ok else 'MISSED'}")
    print(f"summary delay, best round of the slower length {worst_delay:.1f} ms "
          f"(limit {SUMMARY_LIMIT_MS:.0f}): {'ok' if delay_ok else 'MISSED'}")
    save_ok = True
    if args.day_rows > 0:
        day = day_save(args.build, args.day_rows, max(args.rounds, 3))
        save_ok = day["write_ms"] <= SAVE_LIMIT_MS
        print(f"a result of {int(day['rows'])} rows: {day['bytes'] / 2**20:.1f} MiB written in "
              f"{day['write_ms']:.0f} ms (limit {SAVE_LIMIT_MS:.0f}): "
              f"{'ok' if save_ok else 'MISSED'}; read back in {day['read_ms']:.0f} ms; the "
              f"series holds {day['series_mib']:.1f} MiB, the program peaks at "
              f"{day['peak_mib']:.1f} MiB")
    sys.exit(0 if memory_ok and delay_ok and save_ok else 1)


if __name__ == "__main__":
    main()
