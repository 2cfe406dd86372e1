"""--source on loopback: the target sees each client's connection come from
the addresses given, in turn; an address the machine does not have stops the
run before it starts."""

import collections
import subprocess
import sys
import threading
import time
import unittest

from harness import BANNER, Target, run_velkor


def peer_addresses(port):
    """The local addresses of the connections established to port, counted."""
    listed = subprocess.run(["ss", "-Htn", "state", "established", f"dport = :{port}"],
                            capture_output=True, text=True, check=True).stdout
    # With a state filter ss leaves out the state column: Recv-Q Send-Q Local Peer.
    return collections.Counter(line.split()[2].rsplit(":", 1)[0] for line in listed.splitlines())


@unittest.skipUnless(sys.platform.startswith("linux"), "127.0.0.x beyond .1 is local on Linux")
class SourceAddressTest(unittest.TestCase):
    def test_clients_leave_from_the_addresses_in_turn(self):
        clients = 30
        with Target() as target:
            seen = collections.Counter()
            running = threading.Event()
            running.set()

            def watch():
                # The first moment every client holds its connection, however
                # slowly this build starts them.
                while running.is_set() and sum(seen.values()) < clients:
                    seen.clear()
                    seen.update(peer_addresses(target.port))
                    time.sleep(0.05)

            watcher = threading.Thread(target=watch)
            watcher.start()
            # Paced, so the clients hold their connections at little cost.
            run = run_velkor("-t", "3", "-c", str(clients), "-q", "30", target.url,
                             "--source", "127.0.0.2,127.0.0.3,127.0.0.4", timeout=120)
            running.clear()
            watcher.join()
            target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.summary()["Total errors"], "0")
        self.assertEqual(seen, {"127.0.0.2": 10, "127.0.0.3": 10, "127.0.0.4": 10})

    def test_an_address_not_ours_stops_the_run_before_it_starts(self):
        started = time.monotonic()
        # 192.0.2.0/24 is set aside for documentation: no interface has it.
        run = run_velkor("-t", "30", "-c", "5", "http://127.0.0.1:9/",
                         "--source", "127.0.0.2,192.0.2.7")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, BANNER)
        self.assertEqual(run.stderr,
                         "无法绑定源地址: \"192.0.2.7\"（须为本机的IP地址）\n".encode())
        self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()
