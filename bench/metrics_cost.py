#!/usr/bin/env python3
"""What --metrics costs a run: velkor against the project's target server,
unpaced, without the endpoint, with it scraped once a second, and with it
scraped while two hostile scrapers connect every 10 ms (one sends nothing,
one sends 1 MiB of junk). The three alternate for several rounds; each row
gives the median of completed requests and of velkor's CPU time per request
(user + system, from the kernel's accounting of the process).

Only ratios within one invocation mean anything: the machine is shared.

Usage: bench/metrics_cost.py [build-dir] [--seconds N] [--clients N] [--rounds N]
"""

import argparse
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def every(seconds, stop, job):
    def loop():
        while not stop.wait(seconds):
            try:
                job()
            except OSError:
                pass
    thread = threading.Thread(target=loop)
    thread.start()
    return thread


def scrapers(port, hostile, stop):
    """The threads that scrape the endpoint while the run lasts."""
    def scrape():
        urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read()

    held = []

    def silent():
        held.append(socket.create_connection(("127.0.0.1", port), timeout=5))

    block = os.urandom(1 << 20)

    def junk():
        with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
            connection.sendall(block)

    threads = [every(1.0, stop, scrape)]
    if hostile:
        threads += [every(0.01, stop, silent), every(0.01, stop, junk)]
    return threads, held


def one_run(velkor, url, seconds, clients, mode):
    """(completed requests, CPU seconds of velkor) of one run in this mode."""
    port = free_port()
    args = [velkor, "-t", str(seconds), "-c", str(clients), url]
    if mode != "plain":
        args += ["--metrics", f"127.0.0.1:{port}"]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    stop = threading.Event()
    threads, held = scrapers(port, mode == "hostile", stop) if mode != "plain" else ([], [])
    out = process.stdout.read().decode()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    stop.set()
    for thread in threads:
        thread.join()
    for connection in held:
        connection.close()
    completed = int(re.search(r"Completed requests: +(\d+)", out)[1])
    errors = int(re.search(r"Total errors: +(\d+)", out)[1])
    if errors:
        print(f"  note: a {mode} run had {errors} errors, {completed} completed", file=sys.stderr)
    return completed, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    harness.TARGET = os.path.join(options.build, "velkor_target")
    velkor = os.path.join(options.build, "velkor")
    modes = ["plain", "scraped", "hostile"]
    results = {mode: [] for mode in modes}
    for _ in range(options.rounds):
        # A fresh server each round: one that died would spoil every run after it.
        with harness.Target("--mode", "fast") as target:
            for mode in modes:
                completed, cpu = one_run(velkor, target.url, options.seconds, options.clients,
                                         mode)
                # A run that completed nothing (the machine out of ports) says nothing of cost.
                if completed:
                    results[mode].append((completed, cpu))
    base_completed = statistics.median(c for c, _ in results["plain"])
    base_cpu = statistics.median(cpu / c * 1e6 for c, cpu in results["plain"])
    print(f"-t {options.seconds} -c {options.clients}, {options.rounds} rounds, medians")
    print(f"{'mode':<10}{'completed':>12}{'vs plain':>10}{'CPU us/req':>12}{'vs plain':>10}")
    for mode in modes:
        completed = statistics.median(c for c, _ in results[mode])
        cpu = statistics.median(cpu / c * 1e6 for c, cpu in results[mode])
        print(f"{mode:<10}{completed:>12.0f}{completed / base_completed - 1:>+10.1%}"
              f"{cpu:>12.3f}{cpu / base_cpu - 1:>+10.1%}")


if __name__ == "__main__":
    main()
