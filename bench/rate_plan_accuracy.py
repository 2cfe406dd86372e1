#!/usr/bin/env python3
"""How closely velkor follows a --rate-plan, as the server sees it.

Runs velkor -t T -c C URL --rate-plan PLAN against velkor_target --arrival-log
and compares the arrivals with the plan's integral:
  - every second's arrivals within 2 % of the plan's integral over that second;
  - no 10 ms slice holding more than twice its share of the plan (plus one
    request, as counts are whole: at 200 a second a slice's share is 2).
Arrivals are timed from the first one, which is the plan's start number 0.
Exits 1 when a figure is missed. Run it on an idle machine.

With --launcher (for instance /usr/lib/wine/wine64 and a velkor.exe as
--velkor) the same is measured for the Windows build under Wine; --tolerance
widens the per-second figure there.

Usage: bench/rate_plan_accuracy.py [build-dir] [--plan 5s:200,10s:200-2000,5s:2000]
                                   [--clients 50] [--velkor PATH] [--launcher PROGRAM]
                                   [--tolerance 0.02]
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from test_rate_plan import integral  # noqa: E402

UNITS = {"s": 1, "m": 60, "h": 3600}


def plan_steps(text):
    """[(length s, from rate, to rate)] of a plan in --rate-plan's form."""
    steps = []
    for step in text.split(","):
        length, rates = step.split(":")
        start, _, end = rates.partition("-")
        steps.append((int(length[:-1]) * UNITS[length[-1]], int(start), int(end or start)))
    return steps


def run(args, steps, log):
    seconds = sum(length for length, _, _ in steps)
    target = subprocess.Popen([os.path.join(args.build, "velkor_target"), "--port", "0",
                               "--arrival-log", log, "--stop-after-sec", str(seconds + 120)],
                              stdout=subprocess.PIPE)
    port = int(re.search(r":(\d+)", target.stdout.readline().decode())[1])
    velkor = args.velkor or os.path.join(args.build, "velkor")
    command = ([args.launcher] if args.launcher else []) + [
        velkor, "-t", str(seconds), "-c", str(args.clients), f"http://127.0.0.1:{port}/",
        "--rate-plan", args.plan]
    done = subprocess.run(command, capture_output=True, timeout=seconds + 120)
    target.terminate()
    target.wait(timeout=30)
    if done.returncode != 0:
        sys.exit("velkor failed: " + done.stderr.decode("utf-8", "replace"))
    with open(log) as file:
        return [int(line) for line in file]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--plan", default="5s:200,10s:200-2000,5s:2000")
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--velkor", help="the velkor to run; default BUILD/velkor")
    parser.add_argument("--launcher", help="a program that runs it, such as Wine")
    parser.add_argument("--tolerance", type=float, default=0.02)
    args = parser.parse_args()
    steps = plan_steps(args.plan)
    with tempfile.TemporaryDirectory() as directory:
        arrivals = run(args, steps, os.path.join(directory, "arrivals.txt"))

    ok = True
    per_second = collections.Counter(ns // 1_000_000_000 for ns in arrivals)
    worst = 0.0
    print("second  arrived  planned  off")
    for second in range(sum(length for length, _, _ in steps)):
        planned = integral(steps, second + 1) - integral(steps, second)
        off = (per_second[second] - planned) / planned if planned > 0 else 0.0
        worst = max(worst, abs(off))
        print(f"{second:6d} {per_second[second]:8d} {planned:8.0f} {100 * off:+5.2f} %")
    slices = collections.Counter(ns // 10_000_000 for ns in arrivals)
    crowded = 0
    most = 0.0
    for index, count in slices.items():
        share = integral(steps, (index + 1) / 100) - integral(steps, index / 100)
        most = max(most, count / share if share > 0 else float("inf"))
        crowded += count > 2 * share + 1
    total = integral(steps, sum(length for length, _, _ in steps))
    print(f"arrivals {len(arrivals)} of {total:.0f} planned; worst second {100 * worst:.2f} % "
          f"(target {100 * args.tolerance:.0f} %); 10 ms slices over twice their share: "
          f"{crowded} (most {most:.2f} times its share)")
    if worst > args.tolerance or crowded > 0:
        ok = False
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
