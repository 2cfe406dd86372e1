#!/usr/bin/env python3
"""How closely velkor keeps a target rate, in total and second by second.

For each case (q, c, t) it runs velkor -t t -c c -q q against velkor_target and
checks the two figures a paced run must meet:
  - completed requests within 2 % or 2 requests of q x t, whichever is wider;
  - every progress line after the first within 10 % or 3 requests of q.
The cases include run times that are no multiple of the interval c/q and rates
below the client count. Exits 1 when a case misses either figure.

Usage: bench/rate_accuracy.py [build-dir] [--seconds N] [--cases q:c[:t],...]
"""

import argparse
import os
import re
import subprocess
import sys

# (q, c, t): uneven run times and q < c first, then the long-standing pairs.
DEFAULT_CASES = ("20:30:2,4:10:3,100:1000:3,30:45:4,"
                 "20:30,100:30,1000:10,1001:1,5000:30,20000:1000")
PROGRESS = re.compile(r"累计请求: (\d+), 本秒QPS: (\d+)")


def start_target(build):
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0",
                               "--stop-after-sec", "900"], stdout=subprocess.PIPE)
    line = target.stdout.readline().decode()
    port = int(re.search(r":(\d+)", line)[1])
    return target, f"http://127.0.0.1:{port}/"


def paced_run(build, url, qps, clients, seconds):
    """(completed, errors, requests of each progress line) of one run."""
    out = subprocess.run([os.path.join(build, "velkor"), "-t", str(seconds), "-c", str(clients),
                          "-q", str(qps), url], capture_output=True, timeout=seconds + 60).stdout
    text = out.decode("utf-8", "replace")
    completed = int(re.search(r"Completed requests:\s+(\d+)", text)[1])
    errors = int(re.search(r"Total errors:\s+(\d+)", text)[1])
    seconds_seen = [int(match[2]) for match in PROGRESS.finditer(text)]
    return completed, errors, seconds_seen


def parse_cases(text, default_seconds):
    cases = []
    for case in text.split(","):
        parts = [int(x) for x in case.split(":")]
        cases.append((parts[0], parts[1], parts[2] if len(parts) > 2 else default_seconds))
    return cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--seconds", type=int, default=3, help="t of cases given as q:c")
    parser.add_argument("--cases", default=DEFAULT_CASES)
    args = parser.parse_args()

    target, url = start_target(args.build)
    worst_total = worst_second = 0.0
    missed = 0
    print(f"{'q':>7} {'c':>6} {'t':>3} {'expected':>9} {'completed':>10} {'deviation':>10} "
          f"{'errors':>7} {'worst second':>13}  verdict")
    try:
        for qps, clients, seconds in parse_cases(args.cases, args.seconds):
            expected = qps * seconds
            completed, errors, per_second = paced_run(args.build, url, qps, clients, seconds)
            deviation = 100.0 * (completed - expected) / expected
            total_ok = abs(completed - expected) <= max(2, 0.02 * expected)
            # The first second also holds the connects; the figure starts after it.
            later = per_second[1:]
            worst = max((abs(n - qps) for n in later), default=0)
            seconds_ok = worst <= max(3, 0.1 * qps) and len(per_second) == seconds
            worst_total = max(worst_total, abs(deviation))
            worst_second = max(worst_second, 100.0 * worst / qps)
            verdict = "ok" if total_ok and seconds_ok and errors == 0 else "MISSED"
            missed += verdict != "ok"
            print(f"{qps:>7} {clients:>6} {seconds:>3} {expected:>9} {completed:>10} "
                  f"{deviation:>9.2f}% {errors:>7} {worst:>7} ({100.0 * worst / qps:.1f}%)  "
                  f"{verdict}  seconds: {' '.join(map(str, per_second))}", flush=True)
    finally:
        target.terminate()
        target.wait()
    print(f"largest total deviation: {worst_total:.2f}% (target: within 2 % or 2 requests)")
    print(f"largest deviation of a second after the first: {worst_second:.1f}% "
          f"(target: within 10 % or 3 requests)")
    print(f"cases missed: {missed}")
    return 0 if missed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
