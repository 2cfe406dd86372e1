"""Builds and runs the two floor clients (blocking threads; one batched
io_uring loop) for bench/floor and bench/compare."""

import os
import re
import resource
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
KINDS = ("threads", "uring")
# The io_uring loop with one feature changed (uring_client.cpp says which).
URING_VARIANTS = ("apart", "multishot", "fixed")


def build_clients(build_dir):
    """Compiles the clients into build_dir/floor; returns {kind: program}."""
    out_dir = os.path.join(os.path.abspath(build_dir), "floor")
    os.makedirs(out_dir, exist_ok=True)
    programs = {}
    for kind, libraries in (("threads", ["-pthread"]), ("uring", ["-luring"])):
        source = os.path.join(HERE, f"{kind}_client.cpp")
        program = os.path.join(out_dir, f"{kind}_client")
        newest = max(os.path.getmtime(source), os.path.getmtime(os.path.join(HERE, "floor_client.h")))
        if not os.path.exists(program) or os.path.getmtime(program) < newest:
            subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-o", program, source,
                            *libraries], check=True)
        programs[kind] = program
    return programs


def raise_open_files():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def run_floor(program, port, path, clients, seconds, variant=None):
    """One run; returns requests, CPU seconds (user + system), rps and seconds lasted."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run([program, str(port), path, str(clients), str(seconds)] +
                          ([variant] if variant else []),
                          capture_output=True, timeout=seconds + 120,
                          preexec_fn=raise_open_files)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    match = re.search(rb"requests (\d+) seconds ([\d.]+)", done.stdout)
    requests = int(match[1]) if match else 0
    lasted = float(match[2]) if match else 0.0
    return {"requests": requests, "cpu": cpu, "lasted": lasted,
            "rps": requests / lasted if lasted > 0 else 0.0, "status": done.returncode}


def cpu_per_100k(result):
    if not result or not result["requests"]:
        return float("nan")
    return result["cpu"] / result["requests"] * 100000


def split_url(url):
    """(port, path) of http://127.0.0.1:PORT/PATH."""
    match = re.match(r"http://[^:/]+:(\d+)(/.*)?$", url)
    return int(match[1]), match[2] or "/"
