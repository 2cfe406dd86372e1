"""Simulated hosts for runs across several machines: network namespaces joined
by a bridge, with addresses in 198.18.0.0/24 (the range set aside for network
benchmarks), one server host running nginx and a few agent hosts.

Traffic stays inside these namespaces: the bridge has no address and the
machine's own namespace no route into the range. Everything made here carries
the creating process's id in its name, so a later run can tell what a killed
run left behind and remove it (see remove_leftovers).
"""

import collections
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from harness import process_alive

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
PREFIX = "vk"  # every namespace, link and temporary folder made here starts with it
SUBNET = "198.18.0"
SERVER_ADDRESS = SUBNET + ".1"
SERVER_PORT = 80
NAME = re.compile(r"^vk(\d+)[a-z]")
TEMP_PREFIX = "velkor-hosts-"

# The log line: arrival time (seconds with milliseconds), client address, status.
NGINX_CONFIG = """
worker_processes {workers};
worker_rlimit_nofile {files};
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections {connections}; }}
http {{
    log_format arrivals '$msec $remote_addr $status';
    access_log {prefix}/access.log arrivals buffer=256k flush=1s;
    keepalive_requests 1000000;
    keepalive_timeout 120s;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen {address}:{port} reuseport backlog=16384;
        root {prefix}/www;
        location / {{ }}
    }}
}}
"""


def command(*args, check=True):
    """Runs a set-up command; its output is returned, a failure raised with it."""
    done = subprocess.run(args, capture_output=True, text=True)
    if check and done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)}: {done.stderr.strip()}")
    return done.stdout


def why_unavailable():
    """None when simulated hosts can be made here, else the reason they cannot."""
    if os.geteuid() != 0:
        return "simulated hosts need root (ip netns)"
    if shutil.which("ip") is None:
        return "the ip command (iproute2) is not installed"
    if shutil.which("pdsh") is None:
        return "pdsh is not installed"
    if not os.path.exists(NGINX):
        return "nginx is not installed"
    probe = f"{PREFIX}{os.getpid()}probe"
    made = subprocess.run(["ip", "netns", "add", probe], capture_output=True, text=True)
    if made.returncode != 0:
        return "network namespaces cannot be made here: " + made.stderr.strip()
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)
    return None


def _stale(name):
    match = NAME.match(name)
    return match is not None and not process_alive(int(match[1]))


def _kill_namespace_processes(namespace):
    pids = command("ip", "netns", "pids", namespace, check=False).split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass


def _exit_on_terminate(signum, frame):
    raise SystemExit(128 + signum)


def remove_leftovers():
    """Removes what a killed earlier run left: its namespaces (and the
    processes still in them), its links and its temporary folders."""
    for line in command("ip", "netns", "list", check=False).splitlines():
        namespace = line.split()[0] if line.split() else ""
        if _stale(namespace):
            _kill_namespace_processes(namespace)
            command("ip", "netns", "del", namespace, check=False)
    for line in command("ip", "-o", "link", "show", check=False).splitlines():
        name = line.split(":")[1].strip().split("@")[0] if ":" in line else ""
        if _stale(name):
            command("ip", "link", "del", name, check=False)
    temp = tempfile.gettempdir()
    for entry in os.listdir(temp):
        if entry.startswith(TEMP_PREFIX):
            pid = entry[len(TEMP_PREFIX):].split("-")[0]
            if pid.isdigit() and not process_alive(int(pid)):
                shutil.rmtree(os.path.join(temp, entry), ignore_errors=True)


class SimulatedHosts:
    """A server host and `agents` agent hosts on one bridge. Agent k (1-based)
    is the namespace agent_host(k) with address agent_address(k); extra
    addresses can be given to any agent for --source runs. Used as a context
    manager: leaving it removes everything, whatever happened inside."""

    def __init__(self, agents, extra_addresses=None, port_ranges=None):
        self.tag = f"{PREFIX}{os.getpid()}"
        self.agents = agents
        self.extra_addresses = extra_addresses or {}  # agent -> [address, ...]
        self.port_ranges = port_ranges or {}  # agent -> (lowest, highest) ephemeral port
        self.namespaces = []  # made so far, for removal
        self.links = []  # made so far in the machine's own namespace, for removal
        self.nginx = None
        self.folder = tempfile.mkdtemp(prefix=f"{TEMP_PREFIX}{os.getpid()}-")
        os.chmod(self.folder, 0o755)

    # Names and addresses -----------------------------------------------------

    @property
    def server_host(self):
        return f"{self.tag}srv"

    def agent_host(self, k):
        return f"{self.tag}a{k}"

    @staticmethod
    def agent_address(k):
        return f"{SUBNET}.{10 + k}"

    @property
    def url(self):
        return f"http://{SERVER_ADDRESS}:{SERVER_PORT}/"

    def run_in(self, host, *args, **options):
        """Runs a command on one simulated host and waits for it."""
        return subprocess.run(["ip", "netns", "exec", host, *args], **options)

    # Building and removing -----------------------------------------------------

    def __enter__(self):
        # A terminated test still removes what it made: SIGTERM unwinds like
        # an exception, through __exit__. (SIGKILL cannot; the next run's
        # remove_leftovers does it then.)
        if threading.current_thread() is threading.main_thread():
            self.previous_sigterm = signal.signal(signal.SIGTERM, _exit_on_terminate)
        try:
            remove_leftovers()
            self._build()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _build(self):
        bridge = f"{self.tag}br"
        command("ip", "link", "add", bridge, "type", "bridge")
        self.links.append(bridge)
        # Bridged frames must not pass through the machine's own packet filter.
        command("ip", "link", "set", bridge, "type", "bridge", "nf_call_iptables", "0",
                check=False)
        command("ip", "link", "set", bridge, "up")
        self._add_host(self.server_host, "srv", [SERVER_ADDRESS], None)
        for k in range(1, self.agents + 1):
            addresses = [self.agent_address(k), *self.extra_addresses.get(k, [])]
            self._add_host(self.agent_host(k), f"a{k}", addresses, self.port_ranges.get(k))

    def _add_host(self, namespace, short, addresses, port_range):
        command("ip", "netns", "add", namespace)
        self.namespaces.append(namespace)
        outside = f"{self.tag}{short}"
        inside = f"{self.tag}{short}i"
        command("ip", "link", "add", outside, "type", "veth", "peer", "name", inside)
        self.links.append(outside)
        command("ip", "link", "set", inside, "netns", namespace)
        command("ip", "link", "set", outside, "master", f"{self.tag}br", "up")
        inns = ["ip", "netns", "exec", namespace]
        command(*inns, "ip", "link", "set", "lo", "up")
        command(*inns, "ip", "link", "set", inside, "name", "eth0")
        for address in addresses:
            command(*inns, "ip", "addr", "add", f"{address}/24", "dev", "eth0")
        command(*inns, "ip", "link", "set", "eth0", "up")
        # Room for a burst of thousands of connects while the server is busy.
        command(*inns, "sysctl", "-qw", "net.core.somaxconn=65535",
                "net.ipv4.tcp_max_syn_backlog=65535")
        if port_range is not None:
            low, high = port_range
            command(*inns, "sysctl", "-qw", f"net.ipv4.ip_local_port_range={low} {high}")

    def close(self):
        self.stop_nginx()
        for namespace in reversed(self.namespaces):
            _kill_namespace_processes(namespace)
            command("ip", "netns", "del", namespace, check=False)
        for link in reversed(self.links):
            command("ip", "link", "del", link, check=False)
        self.namespaces.clear()
        self.links.clear()
        shutil.rmtree(self.folder, ignore_errors=True)
        if getattr(self, "previous_sigterm", None) is not None:
            signal.signal(signal.SIGTERM, self.previous_sigterm)
            self.previous_sigterm = None

    # The server ---------------------------------------------------------------

    def start_nginx(self, workers=4, connections=16000):
        """nginx on the server host, one listening socket per worker
        (reuseport), so each worker holds a quarter of the connections."""
        prefix = os.path.join(self.folder, "nginx")
        os.makedirs(os.path.join(prefix, "www"))
        os.chmod(prefix, 0o755)
        with open(os.path.join(prefix, "www", "index.html"), "w") as page:
            page.write("<html><body>velkor test page</body></html>\n")
        config_path = os.path.join(prefix, "nginx.conf")
        with open(config_path, "w") as config:
            config.write(NGINX_CONFIG.format(prefix=prefix, workers=workers,
                                             files=connections + 100,
                                             connections=connections,
                                             address=SERVER_ADDRESS, port=SERVER_PORT))
        self.access_log = os.path.join(prefix, "access.log")
        self.nginx = subprocess.Popen(
            ["ip", "netns", "exec", self.server_host, NGINX, "-p", prefix, "-c", config_path,
             "-g", "daemon off;"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_until_listening()

    def _wait_until_listening(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.nginx.poll() is not None:
                raise RuntimeError("nginx did not start: " + self.nginx.stderr.read().decode())
            listening = self.run_in(self.server_host, "ss", "-Htln",
                                    f"sport = :{SERVER_PORT}", capture_output=True, text=True)
            if listening.stdout.strip():
                return
            time.sleep(0.05)
        raise RuntimeError("nginx did not listen in time")

    def stop_nginx(self):
        """Stops nginx, which writes out its buffered access log as it goes."""
        if self.nginx is None:
            return
        self.nginx.send_signal(signal.SIGQUIT)
        try:
            self.nginx.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            self.nginx.kill()
            self.nginx.communicate()
        self.nginx = None

    def established_at_server(self):
        """Connections the server host holds established on the server port."""
        return sum(self.peers_at_server().values())

    def peers_at_server(self):
        """The server's established connections, counted by client address."""
        listed = self.run_in(self.server_host, "ss", "-Htn", "state", "established",
                             f"sport = :{SERVER_PORT}", capture_output=True, text=True)
        # With a state filter ss leaves out the state column: Recv-Q Send-Q Local Peer.
        return collections.Counter(line.split()[3].rsplit(":", 1)[0]
                                   for line in listed.stdout.splitlines())

    def peers_at_server_later(self, at):
        """Counts the server's connections by client address at the wall-clock
        instant at, on another thread. Returns the thread and the counter it
        fills: join the one before reading the other."""
        peers = collections.Counter()

        def count():
            time.sleep(max(0.0, at - time.time()))
            peers.update(self.peers_at_server())

        thread = threading.Thread(target=count)
        thread.start()
        return thread, peers

    def arrivals(self):
        """(arrival time in s, client address, status) of every request nginx
        answered; call after stop_nginx."""
        found = []
        with open(self.access_log) as log:
            for line in log:
                at, address, status = line.split()
                found.append((float(at), address, int(status)))
        return found

