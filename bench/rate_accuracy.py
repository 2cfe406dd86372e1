#!/usr/bin/env python3
"""How closely velkor keeps a target rate: completed requests over a run
against q x run time, for several rates and client counts.

Usage: bench/rate_accuracy.py [build-dir] [--seconds N] [--pairs q:c,q:c,...]
"""

import argparse
import os
import re
import subprocess
import sys

DEFAULT_PAIRS = "20:30,100:30,1000:10,1001:1,5000:30,20000:1000"


def start_target(build):
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0",
                               "--stop-after-sec", "600"], stdout=subprocess.PIPE)
    line = target.stdout.readline().decode()
    port = int(re.search(r":(\d+)", line)[1])
    return target, f"http://127.0.0.1:{port}/"


def completed_requests(build, url, qps, clients, seconds):
    out = subprocess.run([os.path.join(build, "velkor"), "-t", str(seconds), "-c", str(clients),
                          "-q", str(qps), url], capture_output=True, timeout=seconds + 60).stdout
    text = out.decode("utf-8", "replace")
    completed = int(re.search(r"Completed requests:\s+(\d+)", text)[1])
    errors = int(re.search(r"Total errors:\s+(\d+)", text)[1])
    return completed, errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--pairs", default=DEFAULT_PAIRS)
    args = parser.parse_args()

    target, url = start_target(args.build)
    worst = 0.0
    print(f"{'q':>7} {'c':>6} {'expected':>9} {'completed':>10} {'deviation':>10} {'errors':>7}")
    try:
        for pair in args.pairs.split(","):
            qps, clients = (int(x) for x in pair.split(":"))
            expected = qps * args.seconds
            completed, errors = completed_requests(args.build, url, qps, clients, args.seconds)
            deviation = 100.0 * (completed - expected) / expected
            worst = max(worst, abs(deviation))
            print(f"{qps:>7} {clients:>6} {expected:>9} {completed:>10} {deviation:>9.2f}% {errors:>7}",
                  flush=True)
    finally:
        target.terminate()
        target.wait()
    print(f"largest deviation: {worst:.2f}% (target: within 2%)")
    return 0 if worst <= 2.0 else 1


if __name__ == "__main__":
    sys.exit(main())
