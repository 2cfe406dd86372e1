#!/usr/bin/env python3
"""10,000 connections held over IPv6 as over IPv4: nginx listens on [::1]
alone, then on 127.0.0.1 alone, and velkor runs -t 10 -c 10000 -q 10000
against each (one request a second per client, so the run is about holding
connections). The connections nginx's side holds are counted with ss twice a
second; velkor's summary gives its errors and --connections when all were
held. Target for both families: nginx holds all 10,000 at once, no error.
Exits 1 when a target is missed.

nginx runs in its own process, with its own open-file limit, so client and
server each need 10,000 descriptors of the 20,000 allowed.

Usage: bench/hold_ipv6_nginx.py [build-dir] [-c 10000]
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from nginx_server import Nginx  # noqa: E402


def held_by_server(port):
    listed = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"],
                            capture_output=True, text=True).stdout
    return len(listed.splitlines())


def run(build, address, clients):
    with Nginx(address=address, connections=clients + 1024, keepalive_requests=1000000,
               keepalive_timeout="120s") as nginx:
        velkor = subprocess.Popen([os.path.join(build, "velkor"), "-t", "10", "-c", str(clients),
                                   "-q", str(clients), nginx.url, "--connections"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        most = 0
        while velkor.poll() is None:
            most = max(most, held_by_server(nginx.port))
            time.sleep(0.5)
        out, err = velkor.communicate()
    if velkor.returncode != 0:
        sys.exit(f"velkor failed: {err}")
    summary = {}
    for line in out.splitlines():
        label, _, value = line.strip().partition(":")
        summary[label] = value.strip()
    return {"url": nginx.url, "held": most, "errors": int(summary["Total errors"]),
            "completed": int(summary["Completed requests"]),
            "all_held": summary.get("All held after")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("-c", type=int, default=10000)
    args = parser.parse_args()
    missed = []
    for name, address in (("IPv6", "::1"), ("IPv4", "127.0.0.1")):
        figures = run(args.build, address, args.c)
        print(f"{name} {figures['url']}: nginx held at most {figures['held']}, all held after "
              f"{figures['all_held']} (velkor), {figures['completed']} requests, "
              f"errors {figures['errors']}")
        if figures["held"] != args.c or figures["errors"] != 0:
            missed.append(f"{name}: held {figures['held']} of {args.c}, errors {figures['errors']}")
    for line in missed:
        print("missed:", line)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
