#!/usr/bin/env python3
"""Opening 10,000 connections at a set rate against nginx, against opening
them all at once: the listen queue's overflows (nstat's
TcpExtListenOverflows, counted for the whole machine), the connections held
at 2 s, when all were first held, and the errors.

nginx: one worker, backlog=511, multi_accept on. Targets with
--connect-rate 2000: about 4,000 held at 2 s (within 10 %), all 10,000 held
by 5.5 s, no overflow, no error. Without the option the same run is printed
beside it for its overflows. Exits 1 when a target is missed.

With --ipv6 nginx listens on [::1] alone and velkor connects over IPv6: the
same targets hold, so a run of each shows IPv6 held like IPv4.

Usage: bench/connect_rate_nginx.py [build-dir] [-c 10000] [--rate 2000] [--ipv6]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from nginx_server import Nginx  # noqa: E402


def overflows():
    out = subprocess.run(["nstat", "-az", "TcpExtListenOverflows"], capture_output=True,
                         text=True).stdout
    for line in out.splitlines():
        if line.startswith("TcpExtListenOverflows"):
            return int(line.split()[1])
    return 0


def run(build, url, clients, rate, directory):
    path = os.path.join(directory, f"rate{rate}.json")
    options = ["--connect-rate", str(rate)] if rate else []
    before = overflows()
    done = subprocess.run([os.path.join(build, "velkor"), "-t", "10", "-c", str(clients), url,
                           *options, "--connections", "--save", path],
                          capture_output=True, text=True, timeout=120)
    after = overflows()
    if done.returncode != 0:
        sys.exit(f"velkor failed: {done.stderr}")
    with open(path) as file:
        saved = json.load(file)
    rows = saved["seconds"]
    held_column = saved["seconds_columns"].index("connections_held")
    held = [row[held_column] for row in rows]
    return {"overflows": after - before, "held": held, "errors": saved["errors"],
            "all_held_s": None if saved["connections"]["all_held_after_ns"] is None
            else saved["connections"]["all_held_after_ns"] / 1e9}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("-c", type=int, default=10000)
    parser.add_argument("--rate", type=int, default=2000)
    parser.add_argument("--ipv6", action="store_true", help="nginx on [::1] alone")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory, \
            Nginx(backlog=511, multi_accept=True, connections=args.c + 1024,
                  address="::1" if args.ipv6 else "127.0.0.1") as nginx:
        print(f"target {nginx.url}")
        paced = run(args.build, nginx.url, args.c, args.rate, directory)
        burst = run(args.build, nginx.url, args.c, 0, directory)
    for name, figures in (("--connect-rate %d" % args.rate, paced), ("all at once", burst)):
        print(f"{name:>20}: overflows {figures['overflows']}, held per second "
              f"{figures['held']}, all held after {figures['all_held_s']} s, "
              f"errors {figures['errors']}")
    expected_at_2s = 2 * args.rate
    missed = []
    if abs(paced["held"][1] - expected_at_2s) > 0.1 * expected_at_2s:
        missed.append(f"held at 2 s: {paced['held'][1]}, not about {expected_at_2s}")
    if paced["all_held_s"] is None or paced["all_held_s"] > 5.5:
        missed.append(f"all held after {paced['all_held_s']} s, not by 5.5 s")
    if paced["overflows"] != 0 or paced["errors"] != 0:
        missed.append("overflows or errors with the connect rate")
    for line in missed:
        print("missed:", line)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
