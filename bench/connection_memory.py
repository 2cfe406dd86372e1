#!/usr/bin/env python3
"""What one held connection costs in memory: velkor beside wrk and the kernel.

For each N (1,000, 10,000, 19,000: 19,000 is what the 20,000-descriptor limit
leaves) and each scheme (http, https), one nginx serves; velkor holds N
connections paced at one request per connection every 10 s, then wrk holds N
against the same server. Each client's resident memory (VmRSS) is read twice a
second once every connection is open; the figure is the largest read, less
the client's resident memory with no connection (its run with -c 1), over N.

The kernel's share is read from /proc/net/sockstat (TCP "mem", the pages of
socket buffers) and from the slab caches of TCP sockets, both over the
connections of both ends, so per connection it is what both its sockets cost.

velkor's share is broken down from its own account (VELKOR_MEMORY_ACCOUNT=1
makes it print, at its end, the bytes its waiting clients' stacks held and
the shared stacks it ran them on) and from the two schemes' difference:
  stacks   what each waiting client keeps of its stack
  buffers  the io_uring receive buffers, shared by a worker's connections
  TLS      https less http, per connection
  records  the rest: the connection, its request and response state, the
           allocator's own bookkeeping

Targets at 10,000 and 19,000: http at most 3 KiB per connection and at most
0.6 times wrk's; https at most 16 KiB, with no error. Exits 1 when missed.

Usage: bench/connection_memory.py [build-dir] [--counts 1000,10000,19000]
       [--schemes http,https]
"""

import argparse
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from nginx_server import Nginx  # noqa: E402
from tls_certificates import make_certificate  # noqa: E402

HOLD_SECONDS = 20  # each client's run; the connections are all open within a few seconds
PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")


def raise_open_files():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+)", status.read())[1])
    except (OSError, TypeError):
        return 0


def established(port):
    listed = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"],
                            capture_output=True, text=True).stdout
    return len(listed.splitlines())


def kernel_bytes():
    """Socket buffer pages and TCP slab objects, in bytes, machine-wide."""
    with open("/proc/net/sockstat") as sockstat:
        pages = int(re.search(r"TCP:.*mem (\d+)", sockstat.read())[1])
    slab = 0
    with open("/proc/slabinfo") as slabinfo:
        for line in slabinfo:
            fields = line.split()
            if fields and fields[0] in ("TCP", "TCPv6", "sock_inode_cache", "request_sock_TCP"):
                slab += int(fields[1]) * int(fields[3])
    return pages * PAGE_BYTES + slab


def hold(command, port, clients, environment=None):
    """Runs a client; returns (largest RSS KiB while all were held, kernel bytes
    then, its output)."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, preexec_fn=raise_open_files,
                               env=dict(os.environ, **(environment or {})))
    largest, kernel = 0, 0
    while process.poll() is None:
        if established(port) >= clients:
            rss = resident_kib(process.pid)
            if rss > largest:
                largest, kernel = rss, kernel_bytes()
        time.sleep(0.5)
    return largest, kernel, process.communicate()[0]


def velkor_command(build, url, clients, certificate, seconds=HOLD_SECONDS):
    command = [os.path.join(build, "velkor"), "-t", str(seconds), "-c", str(clients),
               "-q", str(max(1, clients // 10)), url]
    return command + (["--ca", certificate] if certificate else [])


def account(output):
    """velkor's own account of what its waiting clients' stacks keep, in bytes."""
    found = re.search(r"stacks: (\d+) bytes kept by (\d+) waiting clients", output)
    return int(found[1]) if found else 0


def measure(build, scheme, clients, certificate):
    with Nginx(keepalive_requests=1000000000, workers=2, connections=clients + 1000,
               backlog=65535, multi_accept=True, keepalive_timeout="300s",
               certificate=certificate) as nginx:
        ca = certificate[0] if certificate else None
        idle_kernel = kernel_bytes()
        base, _, _ = hold(velkor_command(build, nginx.url, 1, ca, 5), nginx.port, 1)
        rss, kernel, out = hold(velkor_command(build, nginx.url, clients, ca), nginx.port,
                                clients, {"VELKOR_MEMORY_ACCOUNT": "1"})
        errors = re.search(r"Total errors:\s+(\d+)", out)
        wrk_base, _, _ = hold(["wrk", "-t", "2", "-c", "2", "-d", "5s", nginx.url],
                              nginx.port, 2)
        wrk, _, _ = hold(["wrk", "-t", "2", "-c", str(clients), "-d", f"{HOLD_SECONDS}s",
                          nginx.url], nginx.port, clients)
    stacks = account(out)
    return {
        "velkor": (rss - base) / clients, "wrk": (wrk - wrk_base) / clients if wrk else None,
        "kernel": (kernel - idle_kernel) / 1024 / clients,
        "stacks": stacks / 1024 / clients,
        "errors": int(errors[1]) if errors else -1, "rss_mib": rss / 1024,
    }


def show(scheme, clients, figures, http_figures):
    wrk = f"{figures['wrk']:.2f}" if figures["wrk"] else "-"
    tls = figures["velkor"] - http_figures["velkor"] if http_figures else 0.0
    buffers = 0.0  # io_uring's receive buffers: a megabyte per worker, below
    records = figures["velkor"] - figures["stacks"] - tls - buffers
    print(f"{scheme:5} {clients:6}  velkor {figures['velkor']:6.2f} KiB/conn"
          f" (peak {figures['rss_mib']:.1f} MiB, errors {figures['errors']})"
          f"  wrk {wrk} KiB/conn  kernel {figures['kernel']:.2f} KiB/conn\n"
          f"{'':13}velkor's share: stacks {figures['stacks']:.2f}, TLS {tls:.2f},"
          f" records and buffers {records:.2f} KiB/conn", flush=True)


def missed(scheme, clients, figures):
    if clients < 10000:
        return []
    limit = 3.0 if scheme == "http" else 16.0
    misses = []
    if figures["velkor"] > limit:
        misses.append(f"{scheme} -c {clients}: {figures['velkor']:.2f} KiB > {limit}")
    if scheme == "http" and figures["wrk"] and figures["velkor"] > 0.6 * figures["wrk"]:
        misses.append(f"{scheme} -c {clients}: above 0.6 x wrk's {figures['wrk']:.2f} KiB")
    if figures["errors"] != 0:
        misses.append(f"{scheme} -c {clients}: {figures['errors']} errors")
    return misses


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--counts", default="1000,10000,19000")
    parser.add_argument("--schemes", default="http,https")
    args = parser.parse_args()
    raise_open_files()
    misses = []
    with tempfile.TemporaryDirectory() as directory:
        certificate = make_certificate(directory, ["127.0.0.1"])
        for clients in (int(count) for count in args.counts.split(",")):
            http_figures = None
            for scheme in args.schemes.split(","):
                figures = measure(args.build, scheme, clients,
                                  certificate if scheme == "https" else None)
                show(scheme, clients, figures, http_figures if scheme == "https" else None)
                if scheme == "http":
                    http_figures = figures
                misses += missed(scheme, clients, figures)
    for miss in misses:
        print("MISSED", miss)
    sys.exit(1 if misses else 0)


if __name__ == "__main__":
    main()
