#!/usr/bin/env python3
"""The connections' own figures on live runs against velkor_target, and what
counting them costs.

1. --connect-rate: -t 4 -c 200 --connect-rate 100 --connections --save; the
   connections held and opened at each second's end, "All held after", and
   the connections the target accepted. Target: about 100 more held each
   second until all 200 are; the target sees 200.
2. --warmup: -t 4 -c 4 -q 2000 --warmup 2 against --arrival-log; the
   completed requests against the target's requests after 2 s. Target:
   within the requests in flight at the edge (30).
3. A server that closes after every answer (--close-every 1): reopened
   against completed. Target: they differ by at most -c.
4. CPU per request, with --baseline BIN (a velkor built without the
   connection figures): user + system CPU of a paced run of each binary over
   its completed requests, best of the rounds. Target: within 5 %; the
   figures are counted per connection, never per request.

Exits 1 when a target is missed. The machine is shared and noisy.

Usage: bench/connection_figures.py [build-dir] [--baseline BIN] [--rounds 3]
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile


def start_target(build, *args):
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0",
                               "--stop-after-sec", "120", *args], stdout=subprocess.PIPE)
    line = target.stdout.readline().decode()
    return target, "http://127.0.0.1:%d/" % int(re.search(r":(\d+)", line)[1])


def stop_target(target):
    target.terminate()
    out, _ = target.communicate(timeout=30)
    return out.decode()


def run(binary, *args):
    done = subprocess.run([binary, *args], capture_output=True, timeout=120)
    return done.stdout.decode("utf-8", "replace")


def label(text, name):
    return re.search(r"^ *%s: +(.+)$" % re.escape(name), text, re.M)[1].strip()


def connect_rate(build, directory):
    saved = os.path.join(directory, "rate.json")
    target, url = start_target(build, "--count-connections")
    text = run(os.path.join(build, "velkor"), "-t", "4", "-c", "200", url, "--connect-rate",
               "100", "--connections", "--save", saved)
    accepted = int(re.search(r"accepted (\d+)", stop_target(target))[1])
    with open(saved, encoding="utf-8") as file:
        document = json.load(file)
    columns = document["seconds_columns"]
    held = [row[columns.index("connections_held")] for row in document["seconds"]]
    connects = [row[columns.index("connects")] for row in document["seconds"]]
    print("connect rate 100/s, -c 200: held at each second's end %s, connects %s" %
          (held, connects))
    print("  opened %s, all held after %s, connect time p50 %s ms, p100 %s ms; target "
          "accepted %d" % (label(text, "Opened"), label(text, "All held after"),
                           re.search(r"50\.000% +(\S+)", text.split("Connect time")[1])[1],
                           re.search(r"100\.000% +(\S+)", text.split("Connect time")[1])[1],
                           accepted))
    return (60 <= held[0] <= 140 and held[1] >= 160 and held[2] == 200 and accepted == 200
            and sum(connects) == 200)


def warmup(build, directory):
    log = os.path.join(directory, "arrivals.txt")
    target, url = start_target(build, "--arrival-log", log)
    text = run(os.path.join(build, "velkor"), "-t", "4", "-c", "4", "-q", "2000", url,
               "--warmup", "2")
    stop_target(target)
    with open(log, encoding="ascii") as file:
        arrivals = [int(line) for line in file if line.strip()]
    after = sum(1 for at in arrivals if at >= 2_000_000_000)
    completed = int(label(text, "Completed requests"))
    print("warm-up 2 s of 4, -q 2000: completed %d, target's requests after 2 s %d (of %d); "
          "effective rps %s" % (completed, after, len(arrivals), label(text, "Effective rps")))
    return abs(completed - after) < 30


def closing_server(build):
    target, url = start_target(build, "--close-every", "1")
    text = run(os.path.join(build, "velkor"), "-t", "3", "-c", "4", url, "--connections")
    stop_target(target)
    completed = int(label(text, "Completed requests"))
    reopened = int(label(text, "Reopened"))
    print("close after every answer, -c 4: completed %d, reopened %d, closed by server %s" %
          (completed, reopened, label(text, "Closed by server")))
    return 0 <= completed - reopened <= 4


def cpu_per_request(binary, url):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    text = run(binary, "-t", "3", "-c", "30", "-q", "20000", url)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu / int(label(text, "Completed requests")) * 1e6


def cpu_cost(build, baseline, rounds):
    target, url = start_target(build)
    best = {}
    for _ in range(rounds):
        for name, binary in (("baseline", baseline), ("this build", os.path.join(build, "velkor"))):
            us = cpu_per_request(binary, url)
            best[name] = min(best.get(name, us), us)
    stop_target(target)
    print("CPU per request, -t 3 -c 30 -q 20000, best of %d: baseline %.2f us, this build "
          "%.2f us" % (rounds, best["baseline"], best["this build"]))
    return best["this build"] <= best["baseline"] * 1.05


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--baseline")
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        met = [connect_rate(options.build, directory), warmup(options.build, directory),
               closing_server(options.build)]
    if options.baseline:
        met.append(cpu_cost(options.build, options.baseline, options.rounds))
    print("targets met" if all(met) else "a target was missed")
    return 0 if all(met) else 1


if __name__ == "__main__":
    sys.exit(main())
