#!/usr/bin/env python3
"""The Windows build at scale, under Wine, against the Linux target server or
nginx, once under each Windows poller (VELKOR_POLLER), side by side: the
connections the server holds at each half second of the run, the share of
those samples at 98 % of the clients or more, the run's wall time, the
velkor process's peak memory, completed against served, and the CPU time per
request of the velkor process and of the wineserver, which under Wine does
every socket call's work.

Usage: bench/windows_scale.py [--exe build-win/velkor.exe] [--target build/velkor_target]
                              [--runs 5:5000,5:10000] [--rate Q] [--https] [--nginx]
                              [--pollers iocp,WSAPoll] [--refused CLIENTS]

With --nginx the server is nginx over plain http. With --refused CLIENTS,
each poller instead runs "-t 3 -c CLIENTS" against a port nobody listens on,
and the errors counted in the first second (from the saved run) are shown.

Wine's start-up is taken off the times: the run is timed from velkor's
banner, which it prints before its clients start, and the half seconds are
counted from there too.

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
import json
import os
import re
import resource
import shutil
import socket
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


class NginxTarget:
    """nginx, over https with a certificate made for the run or over plain http,
    logging each request; served is the count of its log."""

    def __init__(self, https):
        self.directory = tempfile.mkdtemp(prefix="velkor-scale-nginx-")
        certificate = make_certificate(self.directory, ["localhost"]) if https else None
        # Connections are kept for the whole run, as the target server keeps them.
        self.nginx = Nginx(certificate=certificate, log_format="$status", connections=16384,
                           backlog=16384, keepalive_requests=1_000_000)
        self.port = self.nginx.port
        scheme, host = ("https", "localhost") if https else ("http", "127.0.0.1")
        self.url = f"{scheme}://{host}:{self.port}/"
        # Wine's drive Z: is the Unix root.
        self.options = ["--ca", "Z:" + certificate[0].replace("/", "\\")] if https else []

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


def cpu_seconds(pid):
    """User and system time of a live process, in seconds."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def wineserver_pid():
    """The wineserver of WINEPREFIX: its working folder is named for the prefix."""
    info = os.stat(os.environ["WINEPREFIX"])
    folder = f"server-{info.st_dev:x}-{info.st_ino:x}"
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink(f"/proc/{entry}/cwd").endswith(folder):
                return int(entry)
        except OSError:
            pass
    return None


class OutputReader(threading.Thread):
    """Reads a pipe to its end, noting when its first bytes came."""

    def __init__(self, pipe):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.chunks = []
        self.first_at = None

    def run(self):
        while chunk := self.pipe.read1(65536):
            if self.first_at is None:
                self.first_at = time.monotonic()
            self.chunks.append(chunk)

    def text(self):
        return b"".join(self.chunks).decode("gbk", "replace")


def held_samples(port, banner_reader, seconds, started):
    """Connections the server holds at each half second after the banner, up to
    the run's last."""
    while banner_reader.first_at is None and time.monotonic() < started + 60:
        time.sleep(0.01)
    begin = banner_reader.first_at or started
    samples = []
    # The last half second is left out: at its end the clients close.
    for index in range(1, int(seconds * 2)):
        time.sleep(max(0.0, begin + index / 2 - time.monotonic()))
        samples.append(established_at(port))
    return samples


def one_run(args, poller, seconds, clients, target_url=None, extra=()):
    target = None
    if target_url is None:
        target = (NginxTarget(args.https) if args.https or args.nginx
                  else PlainTarget(args.target, seconds))
        target_url = target.url
        extra = (*target.options, *extra)
    command = [WINE, args.exe, "-t", str(seconds), "-c", str(clients)]
    if args.rate:
        command += ["-q", str(args.rate)]
    command += [target_url, *extra]
    watch = MemoryWatch(os.path.basename(args.exe))
    watch.start()
    server = wineserver_pid()
    server_cpu = cpu_seconds(server) if server else 0.0
    started = time.monotonic()
    velkor = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env={**os.environ, "VELKOR_POLLER": poller})
    readers = [OutputReader(velkor.stdout), OutputReader(velkor.stderr)]
    for reader in readers:
        reader.start()
    held = held_samples(target.port, readers[0], seconds, started) if target else []
    _, status, usage = os.wait4(velkor.pid, 0)
    ended = time.monotonic()
    velkor.returncode = os.waitstatus_to_exitcode(status)
    for reader in readers:
        reader.join()
    server_cpu = (cpu_seconds(server) if server else 0.0) - server_cpu
    watch.stopping.set()
    watch.join()
    served = target.stop() if target else None
    text = readers[0].text()
    completed = summary_value(text, "Completed requests")
    errors = summary_value(text, "Total errors")
    velkor_cpu = usage.ru_utime + usage.ru_stime
    wine_start = (readers[0].first_at or started) - started
    at_98 = sum(1 for count in held if count >= clients * 98 // 100)
    per_request = (lambda cpu: round(cpu / completed * 1e6, 1)) if completed else (lambda _: None)
    return {
        "poller": poller,
        "run": f"-t {seconds} -c {clients}" + (f" -q {args.rate}" if args.rate else "")
        + (" https" if args.https else "") + (" nginx" if args.nginx else ""),
        "status": velkor.returncode,
        "wine_start_s": round(wine_start, 2),
        "wall_s": round(ended - started - wine_start, 2),
        "held_each_half_second": held,
        "share_at_98pct": f"{at_98}/{len(held)}" if held else None,
        "peak_MiB": round(watch.peak_kib / 1024),
        "completed": completed,
        "served": served,
        "errors": errors,
        "req_per_s": round(completed / seconds) if completed and seconds > 0 else None,
        "velkor_cpu_us_per_req": per_request(velkor_cpu),
        "wineserver_cpu_us_per_req": per_request(server_cpu),
        "stderr": readers[1].text().strip()[:200],
    }


def refused_run(args, poller, clients):
    """Errors counted in the run's first second against a port nobody listens on."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    listener.close()
    with tempfile.TemporaryDirectory() as directory:
        saved = os.path.join(directory, "run.json")
        result = one_run(args, poller, 3, clients, f"http://127.0.0.1:{port}/",
                         ("--save", "Z:" + saved.replace("/", "\\")))
        with open(saved) as file:
            seconds = json.load(file)["seconds"]
    return {"poller": poller, "run": f"-t 3 -c {clients} refused", "status": result["status"],
            "errors": result["errors"], "errors_by_second": [row[2] for row in seconds],
            "stderr": result["stderr"]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="build-win/velkor.exe")
    parser.add_argument("--target", default="build/velkor_target")
    parser.add_argument("--runs", default="5:5000,5:10000")
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--https", action="store_true")
    parser.add_argument("--nginx", action="store_true")
    parser.add_argument("--pollers", default="iocp,WSAPoll")
    parser.add_argument("--refused", type=int, default=0)
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
    pollers = args.pollers.split(",")
    if args.refused:
        for poller in pollers:
            print(refused_run(args, poller, args.refused), flush=True)
        return 0
    for pair in args.runs.split(","):
        seconds, clients = (int(part) for part in pair.split(":"))
        for poller in pollers:
            print(one_run(args, poller, seconds, clients), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
