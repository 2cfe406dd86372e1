#!/usr/bin/env python3
"""When a run starts and ends, and what it holds in between.

Measures, each case on its own server:
  - a paced run that holds its connections: -t 4 -c 200 -q 10 against
    velkor_target, with the connections established at the target 2.5 s into
    the run (at least 195) and the run's wall time (at most t + 0.5 s);
  - idle closes: -t 5 -c 10 -q 4 against nginx with keepalive_timeout 1s
    (0 errors, 20 +- 2 completed);
  - large runs against nginx (1 worker): -t 1 -c 15000 to crowd the ephemeral
    ports with TIME_WAIT entries, then at once -t 3 -c 15000 (ends within
    t + 1 s) and -t 5 -c 10000 (within t + 0.5 s), both with 0 errors.
Wall time is from launching velkor to its exit. Exits 1 when a figure is missed.

Usage: bench/run_timing.py [build-dir] [--skip-large]
"""

import argparse
import os
import re
import resource
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import established_connections  # noqa: E402
from nginx_server import Nginx  # noqa: E402


def raise_open_files():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def velkor(build, url, seconds, clients, qps=None, watch_pid=None, watch_at=2.5):
    """Runs velkor; returns (completed, errors, wall seconds, connections seen at watch_at)."""
    args = [os.path.join(build, "velkor"), "-t", str(seconds), "-c", str(clients)]
    args += ["-q", str(qps)] if qps else []
    seen = []
    started = time.monotonic()
    process = subprocess.Popen(args + [url], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               preexec_fn=raise_open_files)
    if watch_pid:
        threading.Timer(watch_at, lambda: seen.append(established_connections(watch_pid))).start()
    out, _ = process.communicate(timeout=seconds + 60)
    wall = time.monotonic() - started
    text = out.decode("utf-8", "replace")
    completed = int(re.search(r"Completed requests:\s+(\d+)", text)[1])
    errors = int(re.search(r"Total errors:\s+(\d+)", text)[1])
    return completed, errors, wall, seen[0] if seen else None


def report(name, ok, **figures):
    shown = ", ".join(f"{key} {value:.2f}" if isinstance(value, float) else f"{key} {value}"
                      for key, value in figures.items())
    print(f"{'ok    ' if ok else 'MISSED'} {name}: {shown}", flush=True)
    return ok


def held_connections(build):
    target = subprocess.Popen([os.path.join(build, "velkor_target"), "--port", "0",
                               "--stop-after-sec", "120"], stdout=subprocess.PIPE)
    try:
        port = int(re.search(rb":(\d+)", target.stdout.readline())[1])
        completed, errors, wall, held = velkor(build, f"http://127.0.0.1:{port}/", 4, 200, 10,
                                               watch_pid=target.pid)
    finally:
        target.terminate()
        target.wait()
    return report("-t 4 -c 200 -q 10, velkor_target", held >= 195 and wall <= 4.5 and errors == 0,
                  held_at_2_5s=held, wall_s=wall, completed=completed, errors=errors)


def idle_closes(build):
    with Nginx(keepalive_timeout="1s") as nginx:
        completed, errors, wall, _ = velkor(build, nginx.url, 5, 10, 4)
    return report("-t 5 -c 10 -q 4, nginx keepalive_timeout 1s",
                  errors == 0 and abs(completed - 20) <= 2, completed=completed, errors=errors,
                  wall_s=wall)


def large_runs(build):
    ok = True
    with Nginx(keepalive_requests=1000000000, workers=1, connections=40000, backlog=65535,
               multi_accept=True) as nginx:
        for seconds, clients, limit in ((1, 15000, None), (3, 15000, 1.0), (5, 10000, 0.5)):
            completed, errors, wall, _ = velkor(build, nginx.url, seconds, clients)
            name = f"-t {seconds} -c {clients}, nginx 1 worker"
            if limit is None:
                report(name + " (crowds the ports)", True, wall_s=wall, completed=completed,
                       errors=errors)
                continue
            ok &= report(name, wall <= seconds + limit and errors == 0, wall_s=wall,
                         over_t_s=wall - seconds, completed=completed, errors=errors)
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--skip-large", action="store_true")
    args = parser.parse_args()
    raise_open_files()  # nginx inherits it
    ok = held_connections(args.build)
    ok &= idle_closes(args.build)
    if not args.skip_large:
        ok &= large_runs(args.build)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
