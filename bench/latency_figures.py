#!/usr/bin/env python3
"""The latency figures of velkor against velkor_target, one row per case:

  mean       -t 5 -c 30 unpaced: the mean against Little's law,
             30 x (run time) / completed; target within 30 %.
  slow       -t 4 -c 10, every answer after 20 ms, --latency: mean and p50
             between 20 and 22 ms.
  stall      -t 6 -c 50 -q 500, the target stops answering for 1000 ms at
             2 s: p90 from the send (target <= 5 ms), p90 and p99 from the
             planned start (>= 300 ms, >= 800 ms), the largest number of
             requests the target saw in one 10 ms slice from 1 s after the
             stall to the end (<= 15; the even schedule puts 5 in each), and
             completed against q x t less the skipped planned starts
             (within 2 %). Skipped = planned counts - completed.
  merge      velkor-report --latency a.json b.json against the block of the
             union of both files' fine counts (must be equal).
  memory     -c 10000 for 3 s: the fine counts' pages, at most: the pages the
             run's buckets touch, times the threads that record, times 8 KiB
             (target: a few MiB), beside the run's peak memory.

Exits 1 when a target is missed. The machine is shared: figures of a loaded
machine are worse than the program's.

Usage: bench/latency_figures.py [build-dir] [--skip-memory]
"""

import argparse
import collections
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PERCENTS = ["50.000", "75.000", "90.000", "99.000", "99.900", "99.990", "99.999", "100.000"]
LINE = re.compile(r"^ *(\d+\.\d{3})% +(\d+\.\d{3})(?: +(\d+\.\d{3}))?$")
FINE_PAGE_BYTES = 1024 * 8


def start_target(build, *args):
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0",
                               "--stop-after-sec", "60", *args], stdout=subprocess.PIPE)
    port = int(re.search(r":(\d+)", target.stdout.readline().decode())[1])
    return target, f"http://127.0.0.1:{port}/"


def stop(target):
    target.terminate()
    target.communicate(timeout=30)


def velkor(build, url, *args, save=None):
    command = [os.path.join(build, "velkor"), *args, url, "--latency"]
    if save:
        command += ["--save", save]
    done = subprocess.run(command, capture_output=True, timeout=120)
    return done.stdout.decode("utf-8", "replace")


def block(text):
    rows = {}
    at = text.find("\nLatency distribution (ms)")
    for line in text[at + 1:].split("\n")[1:]:
        if match := LINE.match(line):
            rows[match[1]] = (float(match[2]), float(match[3]) if match[3] else None)
    return rows


def mean_ms(text):
    return float(re.search(r"Mean latency: +(\S+) ms", text)[1])


def fine_index(low_us):
    if low_us < 2048:
        return low_us
    top = low_us.bit_length() - 1
    return 2048 + (top - 11) * 1024 + (low_us >> (top - 10)) - 1024


def pages_of(pairs):
    return len({fine_index(low_us) // 1024 for low_us, _ in pairs})


def row(name, figures, ok):
    print(f"{name:8} {'ok  ' if ok else 'MISS'} {figures}")
    return ok


def case_mean(build, work):
    target, url = start_target(build)
    text = velkor(build, url, "-t", "5", "-c", "30", save=os.path.join(work, "mean.json"))
    stop(target)
    completed = json.load(open(os.path.join(work, "mean.json")))["completed"]
    little = 30 * 5 * 1000.0 / completed
    mean = mean_ms(text)
    return row("mean", f"mean {mean:.4f} ms, Little's law {little:.4f} ms, "
               f"{completed} completed", abs(mean - little) <= 0.3 * little)


def case_slow(build):
    target, url = start_target(build, "--mode", "delay", "--delay-ms", "20")
    text = velkor(build, url, "-t", "4", "-c", "10")
    stop(target)
    mean, p50 = mean_ms(text), block(text)["50.000"][0]
    return row("slow", f"mean {mean:.4f} ms, p50 {p50:.3f} ms",
               20 <= mean <= 22 and 20 <= p50 <= 22)


def case_stall(build, work):
    log = os.path.join(work, "arrivals.txt")
    target, url = start_target(build, "--stall-at-ms", "2000", "--stall-ms", "1000",
                               "--arrival-log", log)
    saved = os.path.join(work, "stall.json")
    text = velkor(build, url, "-t", "6", "-c", "50", "-q", "500", save=saved)
    stop(target)
    rows = block(text)
    result = json.load(open(saved))
    planned = sum(count for _, count in result["planned_latency_counts_us"])
    skipped = planned - result["completed"]
    arrivals = [int(line) for line in open(log)]
    slices = collections.Counter(ns // 10_000_000 for ns in arrivals if ns >= 4_000_000_000)
    busiest = max(slices.values())
    expected = 500 * 6 - skipped
    figures = (f"from the send p90 {rows['90.000'][0]:.3f} ms; from the planned start "
               f"p90 {rows['90.000'][1]:.3f} ms, p99 {rows['99.000'][1]:.3f} ms; busiest 10 ms "
               f"after the stall {busiest}; completed {result['completed']}, skipped {skipped}, "
               f"q*t - skipped {expected}")
    ok = (rows["90.000"][0] <= 5 and rows["90.000"][1] >= 300 and rows["99.000"][1] >= 800
          and busiest <= 15 and abs(result["completed"] - expected) <= 0.02 * 3000)
    return row("stall", figures, ok)


def case_merge(build, work):
    target, url = start_target(build)
    files = [os.path.join(work, name) for name in ("a.json", "b.json")]
    velkor(build, url, "-t", "2", "-c", "30", save=files[0])
    velkor(build, url, "-t", "2", "-c", "3", "-q", "3000", save=files[1])
    stop(target)
    union = collections.Counter()
    for path in files:
        for low_us, count in json.load(open(path))["latency_counts_us"]:
            union[low_us] += count
    pairs = sorted(union.items())
    total = sum(union.values())
    expected = {}
    for text in PERCENTS:
        index, before = min(int(total * float(text) / 100.0), total - 1), 0
        for low_us, count in pairs:
            before += count
            if index < before:
                expected[text] = low_us / 1000.0
                break
    done = subprocess.run([os.path.join(build, "velkor-report"), "--latency", *files],
                          capture_output=True)
    got = {p: sent for p, (sent, _) in block(done.stdout.decode()).items()}
    return row("merge", f"{len(pairs)} buckets, blocks equal: {got == expected}",
               done.returncode == 0 and got == expected)


def case_memory(build, work):
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    target, url = start_target(build)
    saved = os.path.join(work, "many.json")
    time_bin = shutil.which("time") or "/usr/bin/time"
    done = subprocess.run([time_bin, "-f", "PEAK_RSS_KIB=%M", os.path.join(build, "velkor"),
                           "-t", "3", "-c", "10000", url, "--save", saved],
                          capture_output=True, timeout=120)
    stop(target)
    peak = int(re.search(rb"PEAK_RSS_KIB=(\d+)", done.stderr)[1])
    result = json.load(open(saved))
    threads = os.cpu_count()  # one recording loop per processor on Linux
    pages = pages_of(result["latency_counts_us"]) + pages_of(result["planned_latency_counts_us"])
    fine_mib = pages * threads * FINE_PAGE_BYTES / 2**20
    return row("memory", f"{result['completed']} completed; fine counts at most {fine_mib:.2f} "
               f"MiB ({pages} pages x {threads} threads); peak RSS {peak / 1024:.1f} MiB",
               fine_mib <= 4)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        results = [case_mean(args.build, work), case_slow(args.build),
                   case_stall(args.build, work), case_merge(args.build, work)]
        if not args.skip_memory:
            results.append(case_memory(args.build, work))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
