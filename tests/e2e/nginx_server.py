"""A real nginx on a free loopback port, configured by the test itself."""

import collections
import os
import shutil
import subprocess
import tempfile
import time

from harness import closed_port

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

CONFIG = """
worker_processes {workers};
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections {connections}; multi_accept {multi_accept}; }}
http {{
    {access_log}
    keepalive_requests {keepalive_requests};
    keepalive_timeout {keepalive_timeout};
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen {listen} backlog={backlog}{ssl};
        {tls}
        root {prefix}/www;
        location / {{ }}
    }}
}}
"""


def access_log_lines(prefix, log_format):
    if log_format is None:
        return "access_log off;"
    return (f"log_format velkor '{log_format}';\n"
            f"    access_log {prefix}/access.log velkor;")


def tls_lines(certificate, protocols, client_ca):
    if certificate is None:
        return ""
    lines = (f"ssl_certificate {certificate[0]};\n"
             f"        ssl_certificate_key {certificate[1]};\n"
             f"        ssl_protocols {protocols};")
    if client_ca:
        lines += (f"\n        ssl_client_certificate {client_ca};\n"
                  f"        ssl_verify_client on;")
    return lines


class Nginx:
    """nginx serving a small static index.html; stopped on exit.

    access_log makes it log each answered request's status to access.log
    under prefix, as it answers it; log_format logs that format instead.
    certificate, a (certificate file, key file) pair, makes it serve https;
    client_ca, a CA's certificate file, makes it demand a client certificate
    that CA issued (and answer 400 to requests without one).
    address "::1" makes it listen on [::1] alone; unix_socket, a path, on that
    Unix socket alone (its url then names no port).
    """

    def __init__(self, keepalive_requests=100, workers=1, connections=4096, backlog=4096,
                 multi_accept=False, keepalive_timeout="60s", access_log=False,
                 certificate=None, log_format=None, tls_protocols="TLSv1.2 TLSv1.3",
                 client_ca=None, address="127.0.0.1", unix_socket=None):
        self.prefix = tempfile.mkdtemp(prefix="velkor-nginx-")
        os.makedirs(os.path.join(self.prefix, "www"))
        with open(os.path.join(self.prefix, "www", "index.html"), "w") as page:
            page.write("<html><body>velkor test page</body></html>\n")
        os.chmod(self.prefix, 0o755)
        self.port = closed_port(address)
        self.address = address
        self.unix_socket = unix_socket
        host = f"[{address}]" if ":" in address else address
        listen = f"unix:{unix_socket}" if unix_socket else f"{host}:{self.port}"
        config_path = os.path.join(self.prefix, "nginx.conf")
        with open(config_path, "w") as config:
            config.write(CONFIG.format(prefix=self.prefix, listen=listen, workers=workers,
                                       connections=connections, backlog=backlog,
                                       multi_accept='on' if multi_accept else 'off',
                                       keepalive_requests=keepalive_requests,
                                       keepalive_timeout=keepalive_timeout,
                                       access_log=access_log_lines(
                                           self.prefix,
                                           log_format or ("$status" if access_log else None)),
                                       ssl=" ssl" if certificate else "",
                                       tls=tls_lines(certificate, tls_protocols, client_ca)))
        self.process = subprocess.Popen(
            [NGINX, "-p", self.prefix, "-c", config_path, "-g", "daemon off;"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        scheme = "https" if certificate else "http"
        self.url = f"{scheme}://localhost/" if unix_socket else f"{scheme}://{host}:{self.port}/"
        self._wait_until_listening()

    def answered(self):
        """The requests nginx answered, by status, from its access log."""
        with open(os.path.join(self.prefix, "access.log")) as log:
            return collections.Counter(line.strip() for line in log)

    def _wait_until_listening(self):
        import socket
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx did not start: " + self.process.stderr.read().decode())
            try:
                if self.unix_socket:
                    with socket.socket(socket.AF_UNIX) as probe:
                        probe.connect(self.unix_socket)
                else:
                    socket.create_connection((self.address, self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not listen in time")

    def __enter__(self):
        return self

    def access_log(self):
        """The lines nginx has logged so far (it writes each at once)."""
        with open(os.path.join(self.prefix, "access.log")) as log:
            return log.read().splitlines()

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        shutil.rmtree(self.prefix, ignore_errors=True)


def nginx_available():
    return os.path.exists(NGINX)
