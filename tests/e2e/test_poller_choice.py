"""Which poller a run uses on Linux, as a user can check it from outside: the
process holds an io_uring instance where the kernel allows one, and an epoll
instance where it does not (here a seccomp filter refuses io_uring_setup, as
a container's may), and the run is just as correct either way. VELKOR_POLLER
forces one; a name it does not know, or io_uring where it is refused, stops
velkor before the run with a message saying so."""

import ctypes
import os
import platform
import subprocess
import time
import unittest

from harness import VELKOR, Target, descriptor_links, summary_bytes

IO_URING_SETUP = 425  # the same number on every Linux architecture that has it
ENOSYS = 38


def refuse_io_uring():
    """In the child before exec: io_uring_setup fails with ENOSYS from now on."""
    libc = ctypes.CDLL(None, use_errno=True)

    class Instruction(ctypes.Structure):
        _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte),
                    ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint)]

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Instruction))]

    instructions = (Instruction * 4)(
        Instruction(0x20, 0, 0, 0),  # load the system call's number
        Instruction(0x15, 0, 1, IO_URING_SETUP),  # io_uring_setup?
        Instruction(0x06, 0, 0, 0x00050000 | ENOSYS),  # fail it
        Instruction(0x06, 0, 0, 0x7FFF0000),  # allow the rest
    )
    program = Program(len(instructions), instructions)
    if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, ctypes.byref(program), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


def instances(pid):
    """The kinds of poller instance the process holds: 'io_uring', 'eventpoll'."""
    return {link[12:-1] for link in descriptor_links(pid)
            if link in ("anon_inode:[io_uring]", "anon_inode:[eventpoll]")}


def run_and_look(url, poller, refused):
    """Runs velkor -t 2 -c 20; returns (status, stdout, stderr, instances seen mid-run)."""
    environment = dict(os.environ)
    environment.pop("VELKOR_POLLER", None)
    if poller is not None:
        environment["VELKOR_POLLER"] = poller
    process = subprocess.Popen(
        [VELKOR, "-t", "2", "-c", "20", url], env=environment, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, preexec_fn=refuse_io_uring if refused else None)
    seen = set()
    deadline = time.monotonic() + 1.5
    while process.poll() is None and time.monotonic() < deadline:
        seen |= instances(process.pid)
        time.sleep(0.1)
    out, err = process.communicate(timeout=30)
    return process.returncode, out, err, seen


@unittest.skipUnless(platform.system() == "Linux", "pollers of Linux")
class PollerChoice(unittest.TestCase):
    def test_each_choice_runs_correctly_on_the_poller_it_names(self):
        # (VELKOR_POLLER, io_uring refused, the instance the run must hold)
        cases = [
            (None, False, "io_uring"),
            (None, True, "eventpoll"),
            ("epoll", False, "eventpoll"),
            ("io_uring", False, "io_uring"),
        ]
        for poller, refused, expected in cases:
            with self.subTest(poller=poller, refused=refused), Target() as target:
                status, out, err, seen = run_and_look(target.url, poller, refused)
                served = target.stop()
                self.assertEqual(status, 0, err)
                self.assertEqual(seen, {expected})
                summary = summary_bytes(out).decode()
                completed = int(summary.split("Completed requests:")[1].split()[0])
                self.assertGreater(completed, 100)
                self.assertIn("Total errors:        0\n", summary)
                # Every response the server sent was counted, and no more.
                self.assertEqual(completed, served)

    def test_a_poller_that_cannot_be_honoured_stops_the_run(self):
        cases = [("kqueue", False, "VELKOR_POLLER=kqueue"),
                 ("io_uring", True, "VELKOR_POLLER=io_uring")]
        for poller, refused, message in cases:
            with self.subTest(poller=poller), Target() as target:
                status, out, err, _ = run_and_look(target.url, poller, refused)
                self.assertEqual(status, 1)
                self.assertIn(message, err.decode())
                self.assertNotIn(b"Completed requests", out)
                self.assertEqual(target.stop(), 0)


if __name__ == "__main__":
    unittest.main()
