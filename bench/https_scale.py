#!/usr/bin/env python3
"""https at scale, against nginx with a self-signed ECDSA P-256 certificate
(RSA handshakes run at only a few hundred a second on small machines), which
velkor verifies through --ca.

Measures, each case on its own nginx:
  - held connections: -t 10 -c 10000, with 0 errors and a peak RSS under
    512 MiB; the connections velkor holds 8 s into the run are shown;
  - resumption: -t 5 -c 200 against keepalive_requests 10, where nginx's
    $ssl_session_reused must show every reconnect resumed, over TLS 1.2 and
    TLS 1.3 (each client's first connection cannot be).
Exits 1 when a figure is missed.

Usage: bench/https_scale.py [build-dir] [--clients N] [--workers N]
"""

import argparse
import os
import re
import resource
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import established_connections  # noqa: E402
from nginx_server import Nginx  # noqa: E402
from tls_certificates import make_certificate  # noqa: E402

MEMORY_LIMIT_MIB = 512


def raise_open_files():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def velkor(build, url, seconds, clients, certificate, watch_at=None):
    """Runs velkor under /usr/bin/time; returns (completed, errors, peak RSS
    MiB, connections it held at watch_at, wall seconds)."""
    command = ["/usr/bin/time", "-f", "PEAK_RSS_KIB=%M", os.path.join(build, "velkor"),
               "-t", str(seconds), "-c", str(clients), url, "--ca", certificate]
    seen = []
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               preexec_fn=raise_open_files)

    def watch():
        children = subprocess.run(["pgrep", "-P", str(process.pid)], capture_output=True,
                                  text=True).stdout.split()
        if children:
            seen.append(established_connections(int(children[0])))

    timer = threading.Timer(watch_at, watch) if watch_at else None
    if timer:
        timer.start()
    out, _ = process.communicate(timeout=seconds + 120)
    wall = time.monotonic() - started
    if timer:
        timer.cancel()
    text = out.decode("utf-8", "replace")
    completed = int(re.search(r"Completed requests:\s+(\d+)", text)[1])
    errors = int(re.search(r"Total errors:\s+(\d+)", text)[1])
    rss = int(re.search(r"PEAK_RSS_KIB=(\d+)", text)[1]) / 1024
    return completed, errors, rss, seen[0] if seen else None, wall


def report(name, ok, **figures):
    shown = ", ".join(f"{key} {value:.1f}" if isinstance(value, float) else f"{key} {value}"
                      for key, value in figures.items())
    print(f"{'ok    ' if ok else 'MISSED'} {name}: {shown}", flush=True)
    return ok


def held_connections(build, clients, workers, certificate):
    with Nginx(keepalive_requests=1000000000, workers=workers, connections=clients + 1000,
               backlog=65535, multi_accept=True, certificate=certificate) as nginx:
        completed, errors, rss, held, wall = velkor(build, nginx.url, 10, clients,
                                                    certificate[0], watch_at=8)
    return report(f"-t 10 -c {clients} over https", errors == 0 and rss < MEMORY_LIMIT_MIB,
                  errors=errors, peak_rss_mib=rss, held_at_8s=held, completed=completed,
                  wall_s=wall)


def resumption(build, certificate):
    clients = 200
    ok = True
    for protocol in ("TLSv1.2", "TLSv1.3"):
        with Nginx(keepalive_requests=10, certificate=certificate, tls_protocols=protocol,
                   log_format="$ssl_session_reused $connection_requests") as nginx:
            completed, errors, _, _, _ = velkor(build, nginx.url, 5, clients, certificate[0])
            time.sleep(1)  # nginx logs a request just after its response
            firsts = [line.split()[0] for line in nginx.access_log() if line.endswith(" 1")]
        reconnects = len(firsts) - clients
        resumed = firsts.count("r")
        ok &= report(f"resumption over {protocol}, keepalive_requests 10",
                     errors == 0 and reconnects > 0 and resumed >= reconnects,
                     connections=len(firsts), resumed=resumed, reconnects=reconnects,
                     completed=completed, errors=errors)
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--clients", type=int, default=10000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    raise_open_files()
    with tempfile.TemporaryDirectory() as directory:
        certificate = make_certificate(directory, ["127.0.0.1"])
        ok = resumption(args.build, certificate)
        ok &= held_connections(args.build, args.clients, args.workers, certificate)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
