"""Shared helpers of the end-to-end tests: run velkor, start the target server."""

import os
import re
import subprocess
import time

VELKOR = os.environ.get("VELKOR_BIN", "velkor")
TARGET = os.environ.get("VELKOR_TARGET_BIN", "velkor_target")
REPORT = os.environ.get("VELKOR_REPORT_BIN", "velkor-report")
# Under Wine the Windows build is run through a launcher such as "wine".
LAUNCHER = os.environ.get("VELKOR_LAUNCHER", "").split()

BANNER = "长连接高并发测试 by velkor 1.0.0\n".encode()
USAGE = (
    "用法: velkor -t <时长(秒)> -c <并发数> [-q <目标QPS>] <目标URL>\n"
    "示例1: velkor -t 10 -c 30 http://127.0.0.1:3000 （不限速）\n"
    "示例2: velkor -t 10 -c 30 -q 5000 http://127.0.0.1:3000 （限速5000QPS）\n"
).encode()
ENCODING = os.environ.get("VELKOR_ENCODING", "utf-8")

# Sanitizer builds run several times slower; VELKOR_SLOW=N stretches the time
# bounds that tests derive with slack(), and only those.
SLOW = float(os.environ.get("VELKOR_SLOW", "1"))


def slack(seconds):
    """A time tolerance, widened for slow (sanitizer) builds."""
    return seconds * SLOW


PROGRESS = re.compile(r"^累计请求: (\d+), 本秒QPS: (\d+), 本秒平均延迟: (\S+) ms$")


# The result file's error kinds, in their order, and their names on the
# summary's "Errors by kind:" line.
ERROR_KINDS = {
    "connect_refused": "connect refused",
    "connect_unanswered": "connect unanswered",
    "tls_failed": "TLS failed",
    "tls_unfinished": "TLS unfinished",
    "closed_early": "closed early",
    "malformed": "malformed",
    "response_unanswered": "response unanswered",
    "other": "other",
}


def series_problem(document):
    """What does not add up in a saved run: the rows of its series against
    its completed requests, its errors and its errors of each kind, and the
    kinds against the errors. None when everything does."""
    columns = document["seconds_columns"]
    rows = document["seconds"]

    def column_sum(name):
        return sum(row[columns.index(name)] for row in rows)

    kinds = document["errors_by_kind"]
    wanted = [("completed", document["completed"]), ("errors", document["errors"])]
    wanted += [(key, kinds[key]) for key in ERROR_KINDS]
    for name, total in wanted:
        if column_sum(name) != total:
            return "%s: the rows add up to %d, the total is %d" % (name, column_sum(name), total)
    if sum(kinds.values()) != document["errors"]:
        return "the kinds add up to %d, errors are %d" % (sum(kinds.values()), document["errors"])
    if "connects" in columns and column_sum("connects") != document["connections"]["opened"]:
        return "connects: the rows add up to %d, %d were opened" % (
            column_sum("connects"), document["connections"]["opened"])
    return None


def errors_by_kind(summary):
    """The "Errors by kind:" line of a summary as {name: count}; {} without one."""
    found = {}
    for part in summary.get("Errors by kind", "").split(", "):
        if part:
            name, _, rest = part.partition(" (")[0].rpartition(" ")
            found[name] = int(rest)
    return found


class Run:
    """The outcome of one velkor process."""

    def __init__(self, args, returncode, stdout, stderr, seconds):
        self.args = args
        self.returncode = returncode
        self.stdout = stdout  # raw bytes
        self.stderr = stderr  # raw bytes
        self.seconds = seconds  # wall-clock run time

    def text(self):
        return self.stdout.decode(ENCODING).replace("\r\n", "\n")

    def progress_lines(self):
        """(cumulative, this second, mean) of each progress line."""
        found = []
        for line in self.text().split("\n"):
            match = PROGRESS.match(line)
            if match:
                found.append((int(match[1]), int(match[2]), float(match[3])))
        return found

    def summary(self):
        """The summary's labelled values, by label."""
        values = {}
        for line in self.text().split("\n"):
            if ":" in line and not PROGRESS.match(line) and not line.startswith("长连接"):
                label, _, value = line.partition(":")
                values[label] = value.strip()
            elif "%      " in line:
                values[line[:5].strip()] = line[11:]
        return values


LATENCY_LINE = re.compile(r"^ *(\d+\.\d{3})% +(\d+\.\d{3})(?: +(\d+\.\d{3}))?$")


def latency_block(text):
    """The --latency block: {percent text: (ms from the send, ms from the
    planned start or None)}, from the header on."""
    at = text.find("\nLatency distribution (ms)")
    rows = {}
    for line in text[at + 1:].split("\n")[1:] if at >= 0 else []:
        match = LATENCY_LINE.match(line)
        if match:
            planned = float(match[3]) if match[3] else None
            rows[match[1]] = (float(match[2]), planned)
    return rows


def connection_block(text):
    """The --connections block as {label: value text}, and the connect time
    lines as {percent text: [ms, ...]}."""
    at = text.find("\nConnections\n")
    labels, times = {}, {}
    for line in text[at + 1:].split("\n")[1:] if at >= 0 else []:
        match = LATENCY_LINE.match(line)
        if match:
            times[match[1]] = [float(v) for v in match.groups()[1:] if v]
        elif line.startswith("  ") and ":" in line:
            label, _, value = line.partition(":")
            labels[label.strip()] = value.strip()
    return labels, times


def run_velkor(*args, timeout=60, env=None):
    """env, when given, is velkor's whole environment."""
    started = time.monotonic()
    done = subprocess.run(LAUNCHER + [VELKOR, *args], capture_output=True, timeout=timeout,
                          env=env)
    return Run(args, done.returncode, done.stdout, done.stderr, time.monotonic() - started)


def run_report(*args, timeout=60):
    started = time.monotonic()
    done = subprocess.run(LAUNCHER + [REPORT, *args], capture_output=True, timeout=timeout)
    return Run(args, done.returncode, done.stdout, done.stderr, time.monotonic() - started)


def summary_bytes(stdout):
    """The closing summary of a run's standard output, from the empty line
    before "Target URL:" to the end."""
    at = stdout.rfind(b"Target URL:")
    return stdout[stdout.rfind(b"\n", 0, at - 1) + 1:] if at >= 0 else b""


class Target:
    """The project's target server on a free loopback port, for one test."""

    def __init__(self, *args):
        self.process = subprocess.Popen(
            [TARGET, "--port", "0", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        line = self.process.stdout.readline().decode()
        match = re.match(r"listening on 127\.0\.0\.1:(\d+)", line)
        if not match:
            self.process.kill()
            raise RuntimeError("target server did not start: " + line)
        self.port = int(match[1])
        self.url = f"http://127.0.0.1:{self.port}/"

    def stop(self):
        """Stops the server and returns the number of responses it sent."""
        if self.process.poll() is None:
            self.process.terminate()
        out, _ = self.process.communicate(timeout=30)
        self.output = out  # everything it printed at exit
        accepted = re.search(rb"accepted (\d+)", out)
        self.accepted = int(accepted[1]) if accepted else None  # with --count-connections
        match = re.search(rb"served (\d+)", out)
        return int(match[1]) if match else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def closed_port(address="127.0.0.1"):
    """A loopback port on which nothing listens (of "::1", with that address)."""
    import socket

    with socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET) as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def descriptor_links(pid):
    """What each open descriptor of the process names ("socket:[123]",
    "anon_inode:[io_uring]"), skipping those closed while being read."""
    links = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            links.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            continue
    return links


def established_connections(pid):
    """Established TCP connections that the process holds open."""
    inodes = {link[8:-1] for link in descriptor_links(pid) if link.startswith("socket:[")}
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            next(rows)
            count += sum(1 for row in rows
                         if row.split()[3] == "01" and row.split()[9] in inodes)
    return count


def process_alive(pid):
    """Whether a process of this id exists (one of another user's included)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True
