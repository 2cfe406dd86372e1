"""velkor against nginx serving https with a certificate the test makes itself,
and against a TLS server that breaks off its responses."""

import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from harness import ENCODING, LAUNCHER, VELKOR, Run, errors_by_kind, run_velkor
from nginx_server import Nginx, nginx_available
from tls_certificates import make_certificate, make_chain, make_expired_certificate

# Per request: protocol, whether the connection's session was resumed ("r"),
# the SNI the client sent ("" when none), the connection's serial number, the
# request's place on that connection, and the status.
LOG_FORMAT = ("$ssl_protocol $ssl_session_reused \"$ssl_server_name\" $connection "
              "$connection_requests $status")

REFUSED = ("服务器证书验证失败: {reason}（测试服务器可在URL后加 --insecure 跳过验证，"
           "或用 --ca <PEM文件> 信任其证书）\n")
UNTRUSTED = REFUSED.format(reason="证书不是由受信任的根证书签发的")
NAME_MISMATCH = REFUSED.format(reason="证书与URL中的主机名不符")
EXPIRED = REFUSED.format(reason="证书已过期或尚未生效")


def logged_requests(nginx, expected):
    """nginx's log lines, split; waits (bounded) until expected lines are
    there, since nginx logs a request just after it has sent the response."""
    deadline = time.monotonic() + 10
    while True:
        lines = nginx.access_log()
        if len(lines) >= expected or time.monotonic() > deadline:
            return [line.split(" ") for line in lines]
        time.sleep(0.1)


@unittest.skipUnless(nginx_available() or os.environ.get("CI"), "nginx is not installed")
class HttpsAgainstNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="velkor-https-")
        # Names localhost only: a URL with 127.0.0.1 does not match it.
        cls.certificate = make_certificate(cls.directory, ["localhost"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def test_counts_sni_and_resumption_match_nginx_log(self):
        clients = 8
        for protocol in ("TLSv1.2", "TLSv1.3"):
            with self.subTest(protocol=protocol), \
                    Nginx(keepalive_requests=10, certificate=self.certificate,
                          log_format=LOG_FORMAT, tls_protocols=protocol) as nginx:
                url = f"https://localhost:{nginx.port}/"
                run = run_velkor("-t", "2", "-c", str(clients), url, "--ca", self.certificate[0])
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr, b"")
                summary = run.summary()
                self.assertEqual(summary["Total errors"], "0")
                self.assertEqual(summary["Target URL"], url)
                completed = int(summary["Completed requests"])
                self.assertGreater(completed, 200)
                log = logged_requests(nginx, completed)
                self.assertEqual(len(log), completed)
                self.assertEqual({(line[0], line[2], line[5]) for line in log},
                                 {(protocol, '"localhost"', "200")})
                # Every connection but each client's first resumes its session.
                first_requests = [line for line in log if line[4] == "1"]
                fresh = [line for line in first_requests if line[1] != "r"]
                self.assertGreater(len(first_requests), 10 * clients)
                self.assertLessEqual(len(fresh), clients, protocol)

    def test_certificate_refused_once_per_run_and_counted(self):
        expired = make_expired_certificate(os.path.join(self.directory, "expired"), "localhost")
        trusted = self.certificate[0]
        cases = [
            ("untrusted root", self.certificate, "localhost", [], UNTRUSTED),
            ("name mismatch", self.certificate, "127.0.0.1", ["--ca", trusted], NAME_MISMATCH),
            ("expired", expired, "localhost", ["--ca", expired[0]], EXPIRED),
        ]
        for name, certificate, host, options, line in cases:
            with self.subTest(name), Nginx(certificate=certificate,
                                           log_format=LOG_FORMAT) as nginx:
                run = run_velkor("-t", "1", "-c", "5", f"https://{host}:{nginx.port}/", *options)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr.decode(ENCODING), line)
                summary = run.summary()
                self.assertEqual(summary["Completed requests"], "0")
                self.assertGreaterEqual(int(summary["Total errors"]), 5)
                self.assertEqual(errors_by_kind(summary), {"TLS failed": int(summary["Total errors"])})
                self.assertEqual(nginx.access_log(), [])

    def test_only_a_root_of_the_system_store_ends_a_chain(self):
        chain = make_chain(os.path.join(self.directory, "chain"), "localhost")
        # The system's store as OpenSSL finds it: one file, and a directory
        # that holds nothing.
        empty = os.path.join(self.directory, "no-certificates")
        os.makedirs(empty, exist_ok=True)
        unrelated = self.certificate[0]
        cases = [
            ("root in the store", chain["root"], [], None),
            ("intermediate in the store", chain["intermediate"], [], UNTRUSTED),
            ("intermediate in the store, another --ca", chain["intermediate"],
             ["--ca", unrelated], UNTRUSTED),
            # A --ca certificate is trusted as it is, an intermediate too.
            ("intermediate as --ca", unrelated, ["--ca", chain["intermediate"]], None),
        ]
        with Nginx(certificate=(chain["server"], chain["server_key"]),
                   log_format=LOG_FORMAT) as nginx:
            for name, store, options, refused in cases:
                with self.subTest(name):
                    environment = dict(os.environ, SSL_CERT_FILE=store, SSL_CERT_DIR=empty)
                    run = run_velkor("-t", "1", "-c", "2", f"https://localhost:{nginx.port}/",
                                     *options, env=environment)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    summary = run.summary()
                    if refused:
                        self.assertEqual(run.stderr.decode(ENCODING), refused)
                        self.assertEqual(summary["Completed requests"], "0")
                        self.assertGreaterEqual(int(summary["Total errors"]), 2)
                    else:
                        self.assertEqual(run.stderr, b"")
                        self.assertEqual(summary["Total errors"], "0")
                        self.assertGreater(int(summary["Completed requests"]), 0)

    def test_insecure_takes_any_certificate_and_no_sni_goes_with_an_address(self):
        with Nginx(certificate=self.certificate, log_format=LOG_FORMAT) as nginx:
            # The certificate names localhost only, not the URL's address.
            run = run_velkor("-t", "1", "-c", "2", nginx.url, "--insecure")
            self.assertEqual(run.stderr, b"")
            self.assertEqual(run.summary()["Total errors"], "0")
            completed = int(run.summary()["Completed requests"])
            self.assertGreater(completed, 0)
            self.assertEqual({line[2] for line in logged_requests(nginx, completed)}, {'"-"'})

    def test_unusable_ca_file_stops_before_the_run(self):
        empty = os.path.join(self.directory, "empty.pem")
        with open(empty, "w") as file:
            file.write("no certificate here\n")
        missing = os.path.join(self.directory, "missing.pem")
        cases = [
            (missing, "（须为可读的PEM证书文件）"),
            (self.directory, "（须为可读的PEM证书文件）"),
            (empty, "（文件中没有可用的PEM格式证书）"),
        ]
        for path, rule in cases:
            with self.subTest(path):
                run = run_velkor("-t", "1", "-c", "1", "https://127.0.0.1:9/", "--ca", path)
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stderr.decode(ENCODING),
                                 f'选项 --ca 的值无效: "{path}"{rule}\n')
                self.assertNotIn("Total errors", run.text())


class BrokenTlsServer:
    """Answers every request with half of a response, then closes the
    connection: with close_notify (clean) or without (abrupt)."""

    def __init__(self, certificate, clean):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*certificate)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.clean = clean
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                continue
            try:
                connection.settimeout(2)
                with self.context.wrap_socket(connection, server_side=True) as tls:
                    tls.recv(4096)
                    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part")
                    if self.clean:
                        tls.unwrap()
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join()
        self.listener.close()


class HttpsServerBreaksOff(unittest.TestCase):
    def test_response_cut_short_is_an_error(self):
        with tempfile.TemporaryDirectory() as directory:
            certificate = make_certificate(directory, ["localhost"])
            for clean in (True, False):
                with self.subTest(clean=clean), BrokenTlsServer(certificate, clean) as server:
                    run = run_velkor("-t", "1", "-c", "2", f"https://127.0.0.1:{server.port}/",
                                     "--insecure")
                    self.assertEqual(run.returncode, 0, run.stderr)
                    summary = run.summary()
                    self.assertEqual(summary["Completed requests"], "0")
                    self.assertGreater(int(summary["Total errors"]), 2)
                    self.assertEqual(errors_by_kind(summary),
                                     {"closed early": int(summary["Total errors"])})



def stop_process(pid):
    """Stops the process and returns once every thread of it has stopped: a
    stop signal reaches one thread, which stops the others only when it next
    runs."""
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        states = []
        for thread in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{thread}/stat") as stat:
                    states.append(stat.read().rpartition(")")[2].split()[0])
            except OSError:
                pass
        if states and all(state in ("T", "t") for state in states):
            return True
        time.sleep(0.01)
    return False


def resume_and_wait(process, timeout=60):
    """Resumes a stopped process and returns its output once it ends. Wine's
    server may hold a thread in a trace stop of its own while the process is
    stopped, and a continue signal that arrives then is spent: it is sent
    again until the process runs."""
    deadline = time.monotonic() + timeout
    while True:
        os.kill(process.pid, signal.SIGCONT)
        try:
            return process.communicate(timeout=0.5)
        except subprocess.TimeoutExpired:
            if time.monotonic() >= deadline:
                process.kill()
                raise


class ServerHoldsAFlight:
    """Takes one connection and answers its handshake, TLS 1.2 (all that
    Windows' Schannel speaks under Wine), flight by flight. Before it sends
    flight number held (1: its answer to the ClientHello, 2: its Finished)
    it says so and waits for the go-ahead."""

    def __init__(self, certificate, held):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*certificate)
        self.context.maximum_version = ssl.TLSVersion.TLSv1_2
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.held = held
        self.holding = threading.Event()
        self.go_ahead = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return
        with connection:
            self._answer(connection)

    def _answer(self, connection):
        try:
            connection.settimeout(30)
            incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
            tls = self.context.wrap_bio(incoming, outgoing, server_side=True)
            flights = 0
            done = False
            while not done:
                received = connection.recv(65536)
                if not received:
                    return
                incoming.write(received)
                try:
                    tls.do_handshake()
                    done = True
                except ssl.SSLWantReadError:
                    pass
                flight = outgoing.read()
                if not flight:
                    continue
                flights += 1
                if flights == self.held:
                    self.holding.set()
                    self.go_ahead.wait(30)
                connection.sendall(flight)
            connection.recv(4096)
        except (OSError, ssl.SSLError):
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.go_ahead.set()
        self.thread.join()
        self.listener.close()


class HandshakeAtTheGiveUp(unittest.TestCase):
    def test_no_step_and_no_certificate_reason_after_the_give_up(self):
        """velkor is stopped until past the run's end, its handshake's give-up,
        while the server holds the flight that would bring the certificate's
        judgement, which then waits for it: OpenSSL judges the certificate as
        it takes the server's first flight, the Windows build after the
        handshake's last. No step follows and no reason is printed: the
        connect is one error, as any the give-up cuts off."""
        held = 2 if LAUNCHER else 1
        if LAUNCHER:
            # A Wine server's first program starts its services; stopped
            # while they start, it stalls for a minute.
            run_velkor("--version")
        with tempfile.TemporaryDirectory() as directory:
            untrusted = make_certificate(directory, ["localhost"])
            expired = make_expired_certificate(os.path.join(directory, "expired"), "localhost")
            # A Windows program under Wine names files on drive Z:.
            trusted = ("Z:" + expired[0].replace("/", "\\")) if LAUNCHER else expired[0]
            cases = [("untrusted root", untrusted, []), ("expired", expired, ["--ca", trusted])]
            for name, certificate, options in cases:
                with self.subTest(name), ServerHoldsAFlight(certificate, held) as server:
                    args = ["-t", "1", "-c", "1", f"https://localhost:{server.port}/", *options]
                    process = subprocess.Popen(LAUNCHER + [VELKOR, *args],
                                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    try:
                        self.assertTrue(server.holding.wait(30), "the handshake never got there")
                        self.assertTrue(stop_process(process.pid), "velkor did not stop")
                        server.go_ahead.set()
                        # The run began before the connect: 1 s is past.
                        time.sleep(2)
                    finally:
                        stdout, stderr = resume_and_wait(process)
                    run = Run(args, process.returncode, stdout, stderr, 0)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertEqual(run.stderr, b"")
                    summary = run.summary()
                    self.assertEqual(summary["Completed requests"], "0")
                    self.assertEqual(summary["Total errors"], "1")

if __name__ == "__main__":
    unittest.main()
