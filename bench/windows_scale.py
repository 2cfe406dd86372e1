#!/usr/bin/env python3
"""The Windows build at scale, under Wine, against the Linux target server:
connections open at the target some seconds into the run, the run's wall
time, the velkor process's peak memory, and completed against served.

Usage: bench/windows_scale.py [--exe build-win/velkor.exe] [--target build/velkor_target]
                              [--runs 5:5000,5:10000] [--rate Q] [--sample-at 4]

Each run is "-t SECONDS -c CLIENTS" (a run "3:30" is three seconds with 30
clients). Uses the Wine prefix of tests/run_windows.sh, build-win/wine-prefix,
unless WINEPREFIX names another. Run it on a quiet machine: under Wine every
socket call is a round trip to the single-threaded wineserver, which anything
else running slows down.
"""

import argparse
import os
import re
import subprocess
import sys
import threading
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def start_target(path, seconds):
    target = subprocess.Popen([path, "--port", "0", "--stop-after-sec", str(seconds + 120)],
                              stdout=subprocess.PIPE)
    line = target.stdout.readline().decode()
    port = int(re.search(r":(\d+)", line)[1])
    return target, port


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
    target, port = start_target(args.target, seconds)
    command = [WINE, args.exe, "-t", str(seconds), "-c", str(clients)]
    if args.rate:
        command += ["-q", str(args.rate)]
    command.append(f"http://127.0.0.1:{port}/")
    watch = MemoryWatch(os.path.basename(args.exe))
    watch.start()
    started = time.monotonic()
    velkor = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    held = None
    if seconds > args.sample_at:
        time.sleep(max(0.0, started + args.sample_at - time.monotonic()))
        held = established_at(port)
    out, err = velkor.communicate(timeout=seconds + 300)
    wall = time.monotonic() - started
    watch.stopping.set()
    watch.join()
    target.terminate()
    served_text = target.communicate(timeout=30)[0].decode()
    served = int(re.search(r"served (\d+)", served_text)[1])
    text = out.decode("gbk", "replace")
    completed = summary_value(text, "Completed requests")
    errors = summary_value(text, "Total errors")
    return {
        "run": f"-t {seconds} -c {clients}" + (f" -q {args.rate}" if args.rate else ""),
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
    args = parser.parse_args()
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
