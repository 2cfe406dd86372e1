#!/usr/bin/env python3
"""Connect and TLS handshake times over a 10 ms round trip, against nginx on
a simulated host.

Two network namespaces, a client host (198.18.0.2) and a server host
(198.18.0.1), are joined by a pair of TUN devices instead of a cable. This
script forwards every packet from one device to the other 5 ms after it
read it, so each round trip takes 10 ms plus the forwarding's own cost. (The
kernel's netem qdisc would do the same; this user-space delay line works on
kernels built without it.)

Targets, from velkor's --connections block:
- TCP connect p50 between 10 and 12 ms (one round trip);
- TLS 1.3 handshake p50 between 10 and 13 ms (one round trip);
- TLS 1.2 handshake p50 between 20 and 24 ms (two round trips).

Everything the script makes carries its process id and is removed at the end,
whatever happened. Exits 1 when a target is missed.

Usage: bench/connect_rtt.py [build-dir]
On a busy machine, run it at real-time priority (nginx and velkor inherit
it), so that waiting for a processor adds nothing to the times:
    chrt -f 40 bench/connect_rtt.py build
"""

import argparse
import fcntl
import heapq
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from tls_certificates import make_certificate  # noqa: E402

ONE_WAY_SEC = 0.005
TAG = f"vk{os.getpid()}"
SERVER, CLIENT = "198.18.0.1", "198.18.0.2"
TUNSETIFF, IFF_TUN, IFF_NO_PI = 0x400454CA, 0x0001, 0x1000

NGINX_CONFIG = """
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    ssl_certificate {certificate};
    ssl_certificate_key {key};
    ssl_session_tickets off;
    ssl_session_cache off;
    server {{ listen {server}:80; root {prefix}/www; }}
    server {{ listen {server}:443 ssl; ssl_protocols TLSv1.3; root {prefix}/www; }}
    server {{ listen {server}:8443 ssl; ssl_protocols TLSv1.2; root {prefix}/www; }}
}}
"""


def sh(*args):
    subprocess.run(args, check=True, capture_output=True)


def open_tun(name):
    """A TUN device in this namespace, read and written as raw IP packets."""
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_NONBLOCK)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def build():
    """The two hosts, each with one end of the delay line as its only link."""
    fds = {}
    for side, address, peer in (("s", SERVER, CLIENT), ("c", CLIENT, SERVER)):
        namespace, device = TAG + side, TAG + side + "t"
        sh("ip", "netns", "add", namespace)
        fds[side] = open_tun(device)
        sh("ip", "link", "set", device, "netns", namespace)
        inns = ["ip", "netns", "exec", namespace]
        sh(*inns, "ip", "link", "set", "lo", "up")
        sh(*inns, "ip", "addr", "add", address, "peer", peer, "dev", device)
        sh(*inns, "ip", "link", "set", device, "up")
    return fds


def forward(fds):
    """Moves each packet to the other device ONE_WAY_SEC after reading it,
    until killed. Run at real-time priority in a process of its own, so that
    a busy machine delays the packets no further."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(50))
    except OSError:
        pass
    other = {fds["s"]: fds["c"], fds["c"]: fds["s"]}
    due = []  # (instant, sequence, destination, packet)
    sequence = 0
    while True:
        now = time.monotonic()
        while due and due[0][0] <= now:
            _, _, destination, packet = heapq.heappop(due)
            try:
                os.write(destination, packet)
            except OSError:
                pass
        wait = min(0.05, max(0.0, due[0][0] - now)) if due else 0.05
        readable, _, _ = select.select(list(other), [], [], wait)
        for fd in readable:
            while True:
                try:
                    packet = os.read(fd, 65536)
                except BlockingIOError:
                    break
                sequence += 1
                heapq.heappush(due, (time.monotonic() + ONE_WAY_SEC, sequence, other[fd],
                                     packet))


def start_nginx(folder):
    prefix = os.path.join(folder, "nginx")
    os.makedirs(os.path.join(prefix, "www"))
    with open(os.path.join(prefix, "www", "index.html"), "w") as page:
        page.write("velkor\n")
    certificate, key = make_certificate(folder, [SERVER])
    config = os.path.join(prefix, "nginx.conf")
    with open(config, "w") as file:
        file.write(NGINX_CONFIG.format(prefix=prefix, certificate=certificate, key=key,
                                       server=SERVER))
    nginx = subprocess.Popen(["ip", "netns", "exec", TAG + "s", shutil.which("nginx") or
                              "/usr/sbin/nginx", "-p", prefix, "-c", config, "-g",
                              "daemon off;"], stderr=subprocess.DEVNULL)
    time.sleep(1)
    return nginx


def p50_ms(counts):
    """The median of [microseconds, count] pairs, in milliseconds."""
    total = sum(count for _, count in counts)
    seen = 0
    for micros, count in counts:
        seen += count
        if 2 * seen >= total:
            return micros / 1000
    return float("nan")


REFERENCE = """
import socket, ssl, statistics, sys, time
host, port, version = sys.argv[1], int(sys.argv[2]), sys.argv[3]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
if version:
    context.minimum_version = context.maximum_version = getattr(ssl.TLSVersion, version)
times = []
for _ in range(30):
    started = time.perf_counter()
    raw = socket.create_connection((host, port))
    connected = time.perf_counter()
    if version:
        context.wrap_socket(raw).close()
    else:
        raw.close()
    times.append(time.perf_counter() - (connected if version else started))
    time.sleep(0.02)
print(statistics.median(times) * 1000)
"""


def reference_ms(port, version):
    """The same step timed by Python's own socket and ssl modules on the
    client host: what the delay line itself costs on this machine now."""
    done = subprocess.run(["ip", "netns", "exec", TAG + "c", sys.executable, "-c", REFERENCE,
                           SERVER, str(port), version],
                          capture_output=True, text=True, timeout=60, check=True)
    return float(done.stdout)


def measure(build_dir, folder, url, name):
    path = os.path.join(folder, name + ".json")
    # 100 clients opened 50 a second: one at a time through the delay line.
    done = subprocess.run(["ip", "netns", "exec", TAG + "c", os.path.join(build_dir, "velkor"),
                           "-t", "4", "-c", "100", "-q", "100", url, "--insecure",
                           "--connect-rate", "50", "--save", path],
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        sys.exit(f"velkor failed: {done.stderr}")
    with open(path) as file:
        connections = json.load(file)["connections"]
    return p50_ms(connections["connect_counts_us"]), p50_ms(connections["handshake_counts_us"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build", nargs="?", default="build")
    build_dir = os.path.abspath(parser.parse_args().build)
    folder = tempfile.mkdtemp(prefix=f"velkor-rtt-{os.getpid()}-")
    os.chmod(folder, 0o755)
    nginx, fds, forwarder = None, {}, 0
    try:
        fds = build()
        forwarder = os.fork()
        if forwarder == 0:
            forward(fds)
        nginx = start_nginx(folder)
        connect, _ = measure(build_dir, folder, f"http://{SERVER}/", "http")
        _, tls13 = measure(build_dir, folder, f"https://{SERVER}/", "tls13")
        _, tls12 = measure(build_dir, folder, f"https://{SERVER}:8443/", "tls12")
        references = [reference_ms(80, ""), reference_ms(443, "TLSv1_3"),
                      reference_ms(8443, "TLSv1_2")]
    finally:
        if forwarder > 0:
            os.kill(forwarder, signal.SIGKILL)
            os.waitpid(forwarder, 0)
        if nginx is not None:
            nginx.terminate()
            nginx.wait()
        for side in ("c", "s"):
            subprocess.run(["ip", "netns", "del", TAG + side], capture_output=True)
        for fd in fds.values():
            os.close(fd)
        shutil.rmtree(folder, ignore_errors=True)
    checks = [("TCP connect", connect, 10, 12), ("TLS 1.3 handshake", tls13, 10, 13),
              ("TLS 1.2 handshake", tls12, 20, 24)]
    missed = False
    for (name, value, low, high), reference in zip(checks, references):
        ok = low <= value <= high
        missed |= not ok
        print(f"{name} p50 over a 10 ms round trip: {value:.3f} ms "
              f"(target {low}-{high} ms; Python's own on the same line: {reference:.3f} ms)"
              f"{'' if ok else '  MISSED'}")
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
