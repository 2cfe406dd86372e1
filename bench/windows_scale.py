#!/usr/bin/env python3
"""The Windows build at scale, under Wine, against the Linux target server:
connections open at the target some seconds into the run, the run's wall
time, the velkor process's peak memory, and completed against served.

Usage: bench/windows_scale.py [--exe build-win/velkor.exe] [--target build/velkor_target]
                              [--runs 5:5000,5:10000] [--rate Q] [--sample-at 4] [--https]

With --https the server is nginx serving TLS on loopback with an ECDSA P-256
certificate for localhost, made here with the openssl command, which velkor
trusts through --ca (so each connect's certificate check is measured too);
served is then the count of nginx's log.

Each run is "-t SECONDS -c CLIENTS" (a run "3:30" is three seconds with 30
clients). Uses the Wine prefix of tests/run_windows.sh, build-win/wine-prefix,
unless WINEPREFIX names another. Run it on a quiet machine: under Wine every
socket call is a round trip to the single-threaded wineserver, which anything
else running slows down.
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from nginx_server import Nginx  # noqa: E402
from tls_certificates import make_certificate  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


class PlainTarget:
    """The Linux target server over plain HTTP; it reports what it served when stopped."""

    def __init__(self, path, seconds):
        self.process = subprocess.Popen(
            [path, "--port", "0", "--stop-after-sec", str(seconds + 120)], stdout=subprocess.PIPE)
        line = self.process.stdout.readline().decode()
        self.port = int(re.search(r":(\d+)", line)[1])
        self.url = f"http://127.0.0.1:{self.port}/"
        self.options = []

    def stop(self):
        self.process.terminate()
        served_text = self.process.communicate(timeout=30)[0].decode()
        return int(re.search(r"served (\d+)", served_text)[1])


class HttpsNginx:
    """nginx serving https with a certificate made for the run, logging each request."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="velkor-scale-https-")
        certificate = make_certificate(self.directory, ["localhost"])
        # Connections are kept for the whole run, as the target server keeps them.
        self.nginx = Nginx(certificate=certificate, log_format="$status", connections=16384,
                           backlog=16384, keepalive_requests=1_000_000)
        self.port = self.nginx.port
        self.url = f"https://localhost:{self.port}/"
        # Wine's drive Z: is the Unix root.
        self.options = ["--ca", "Z:" + certificate[0].replace("/", "\\")]

    def stop(self):
        served = len(self.nginx.access_log())
        self.nginx.__exit__(None, None, None)
        shutil.rmtree(self.directory, ignore_errors=True)
        return served


def established_at(port):
    """Connections the target holds open now (its side of each)."""
    out = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"],
                         capture_output=True, text=True).stdout
    return sum(1 for line in out.splitlines() if line.strip())


def velkor_pids(exe_name):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if exe_name.encode() in cmdline.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def high_water_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class MemoryWatch(threading.Thread):
    """Keeps the highest VmHWM seen for the velkor process until stopped."""

    def __init__(self, exe_name):
        super().__init__(daemon=True)
        self.exe_name = exe_name
        self.peak_kib = 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            for pid in velkor_pids(self.exe_name):
                self.peak_kib = max(self.peak_kib, high_water_kib(pid))
            time.sleep(0.05)


def summary_value(text, label):
    match = re.search(label + r":\s+(\d+)", text)
    return int(match[1]) if match else None


def one_run(args, seconds, clients):
    target = HttpsNginx() if args.https else PlainTarget(args.target, seconds)
    command = [WINE, args.exe, "-t", str(seconds), "-c", str(clients)]
    if args.rate:
        command += ["-q", str(args.rate)]
    command += [target.url, *target.options]
    watch = MemoryWatch(os.path.basename(args.exe))
    watch.start()
    started = time.monotonic()
    velkor = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    held = None
    if seconds > args.sample_at:
        time.sleep(max(0.0, started + args.sample_at - time.monotonic()))
        held = established_at(target.port)
    out, err = velkor.communicate(timeout=seconds + 300)
    wall = time.monotonic() - started
    watch.stopping.set()
    watch.join()
    served = target.stop()
    text = out.decode("gbk", "replace")
    completed = summary_value(text, "Completed requests")
    errors = summary_value(text, "Total errors")
    return {
        "run": f"-t {seconds} -c {clients}" + (f" -q {args.rate}" if args.rate else "")
        + (" https" if args.https else ""),
        "status": velkor.returncode,
        "wall_s": round(wall, 2),
        f"held_at_{args.sample_at:g}s": held,
        "peak_MiB": round(watch.peak_kib / 1024),
        "completed": completed,
        "served": served,
        "errors": errors,
        "req_per_s": round(completed / seconds) if completed and seconds > 0 else None,
        "stderr": err.decode("gbk", "replace").strip()[:200],
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="build-win/velkor.exe")
    parser.add_argument("--target", default="build/velkor_target")
    parser.add_argument("--runs", default="5:5000,5:10000")
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--sample-at", type=float, default=4.0)
    parser.add_argument("--https", action="store_true")
    args = parser.parse_args()
    # nginx and Wine inherit the limit: every connection is a descriptor on both sides.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    os.environ.setdefault("WINEPREFIX", os.path.abspath("build-win/wine-prefix"))
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    # One persistent server for every run; booting the prefix first starts its
    # services, which would otherwise hold the first run's output pipes open.
    # Neither may inherit this script's output, which a caller may be reading to its end.
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run([WINESERVER, "-p"], check=False, **quiet)
    subprocess.run([WINE, "wineboot", "-i"], check=False, **quiet)
    for pair in args.runs.split(","):
        seconds, clients = (int(part) for part in pair.split(":"))
        print(one_run(args, seconds, clients), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
