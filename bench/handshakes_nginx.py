#!/usr/bin/env python3
"""TLS handshakes against a busy nginx with one worker, as the errors by kind
and the connect rate show them.

1. -t 8 -c 3000 https, all clients at once: the clients whose handshake the
   server never finished. Target: the "TLS unfinished" count equals 3,000
   minus the distinct connections in nginx's log ($connection), within 1 %.
2. -t 12 -c 10000 -q 10000 --connect-rate 1000 https: 0 errors, and every
   connection held from second 10 on. Paced: unpaced, the clients already
   connected keep the one worker answering requests (about 50,000 a second
   on a 2-core machine), and it finishes only a few hundred handshakes a
   second.

Exits 1 when a target is missed.

Usage: bench/handshakes_nginx.py [build-dir]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from nginx_server import Nginx  # noqa: E402
from tls_certificates import make_certificate  # noqa: E402


def saved_run(build, directory, name, *args):
    path = os.path.join(directory, name)
    done = subprocess.run([os.path.join(build, "velkor"), *args, "--insecure", "--save", path],
                          capture_output=True, text=True, timeout=180)
    if done.returncode != 0:
        sys.exit(f"velkor failed: {done.stderr}")
    with open(path) as file:
        return json.load(file)


def unfinished(build, directory, certificate):
    # No reconnects: every connection nginx logs is a client's first.
    with Nginx(certificate=certificate, log_format="$connection", connections=8192,
               keepalive_requests=100_000_000) as nginx:
        saved = saved_run(build, directory, "burst.json", "-t", "8", "-c", "3000", nginx.url)
        connections = len(set(nginx.access_log()))
    cut_off = saved["errors_by_kind"]["tls_unfinished"]
    print(f"-t 8 -c 3000: errors {saved['errors']} {saved['errors_by_kind']}; "
          f"nginx served {connections} distinct connections; 3000 - that = {3000 - connections}")
    return abs(cut_off - (3000 - connections)) <= 30


def paced(build, directory, certificate):
    with Nginx(certificate=certificate, connections=12288,
               keepalive_requests=100_000_000) as nginx:
        saved = saved_run(build, directory, "paced.json", "-t", "12", "-c", "10000", "-q", "10000",
                          nginx.url, "--connect-rate", "1000")
    held_column = saved["seconds_columns"].index("connections_held")
    held = [row[held_column] for row in saved["seconds"]]
    all_held_ns = saved["connections"]["all_held_after_ns"]
    print(f"-t 12 -c 10000 -q 10000 --connect-rate 1000: errors {saved['errors']}, "
          f"held per second {held}, all held after {all_held_ns and all_held_ns / 1e9} s")
    return saved["errors"] == 0 and all_held_ns is not None and all_held_ns <= 10.5e9


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        certificate = make_certificate(directory, ["127.0.0.1"])
        results = [unfinished(args.build, directory, certificate),
                   paced(args.build, directory, certificate)]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
