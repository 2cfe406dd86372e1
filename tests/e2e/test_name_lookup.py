"""A host name is looked up once, before the run: a name that resolves runs
like an address, and one that does not resolve in time is refused at once."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import BANNER, VELKOR, Target, run_velkor, slack

REFUSAL = "无法解析主机名: "
NOT_FOUND = "（找不到它的IP地址）\n"
TIMED_OUT = "（1.5秒内没有得到应答）\n"

# Runs velkor in a network and mount namespace of its own, where the name
# server in resolv.conf is a UDP socket on the namespace's own loopback that
# takes every query and answers none. Nothing outside the namespace sees the
# socket or the resolv.conf, and both go with it.
SILENT_NAME_SERVER = r"""
set -e
ip link set lo up
echo "nameserver 127.0.0.1" > "$1/resolv.conf"
mount --bind "$1/resolv.conf" /etc/resolv.conf
timeout 30 python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
print("ready", flush=True)
time.sleep(25)
' > "$1/server.out" &
server=$!
while ! grep -q ready "$1/server.out"; do sleep 0.05; done
set +e
started=$(date +%s%N)
"$2" -t 3 -c 100 http://no-answer.example/ > "$1/stdout" 2> "$1/stderr"
echo $? > "$1/status"
echo $(( $(date +%s%N) - started )) > "$1/took_ns"
kill $server
"""


class NameLookupTest(unittest.TestCase):
    def assert_refused_in_time(self, status, stdout, stderr, seconds, host, reasons):
        self.assertEqual(status, 1)
        self.assertEqual(stdout, BANNER)
        line = stderr.decode()
        self.assertIn(line, [f'{REFUSAL}"{host}"{reason}' for reason in reasons])
        self.assertLess(seconds, slack(2))

    def test_a_name_is_looked_up_and_run_like_an_address(self):
        with Target("--mode", "fast") as target:
            run = run_velkor("-t", "1", "-c", "3", f"http://localhost:{target.port}/")
            served = target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.summary()["Total errors"], "0")
        self.assertEqual(int(run.summary()["Completed requests"]), served)

    def test_a_name_that_does_not_resolve_is_refused_before_the_run(self):
        run = run_velkor("-t", "3", "-c", "100", "http://nonexistent.invalid/")
        # The machine's name server says there is no such name, or does not
        # answer in time: either way the run is refused at once.
        self.assert_refused_in_time(run.returncode, run.stdout, run.stderr, run.seconds,
                                    "nonexistent.invalid", [NOT_FOUND, TIMED_OUT])

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip"),
                         "needs root, unshare and ip")
    def test_a_silent_name_server_is_given_up_on_in_time(self):
        with tempfile.TemporaryDirectory() as scratch:
            subprocess.run(["unshare", "--net", "--mount", "sh", "-c", SILENT_NAME_SERVER,
                            "sh", scratch, os.path.abspath(VELKOR)], check=True, timeout=60)

            def read(name):
                with open(os.path.join(scratch, name), "rb") as file:
                    return file.read()

            self.assert_refused_in_time(int(read("status")), read("stdout"), read("stderr"),
                                        int(read("took_ns")) / 1e9, "no-answer.example",
                                        [TIMED_OUT])


if __name__ == "__main__":
    unittest.main()
