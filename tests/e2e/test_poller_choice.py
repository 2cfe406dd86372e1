"""Which poller a run uses on Linux, as a user can check it from outside: the
process holds an io_uring instance where the kernel offers every feature the
poller needs, and an epoll instance where it does not (here a seccomp filter
refuses io_uring_setup, as a container's may, or a shim makes the rings
report an older kernel's features), and the run is just as correct either
way. VELKOR_POLLER forces one; a name it does not know, or io_uring where it
is refused, stops velkor before the run with a message saying so."""

import ctypes
import os
import platform
import subprocess
import time
import unittest

from harness import VELKOR, Target, descriptor_links, summary_bytes

IO_URING_SETUP = 425  # the same number on every Linux architecture that has it
ENOSYS = 38
# IORING_FEAT_ bits: completions never dropped, a wait's own timeout (5.11),
# successes that post nothing (5.17).
NODROP, EXT_ARG, CQE_SKIP = 1 << 1, 1 << 8, 1 << 11
SHIM = os.environ.get("VELKOR_URING_SHIM")


def host_offers_io_uring():
    """Whether this host's io_uring offers what velkor's poller needs."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    params = (ctypes.c_uint32 * 30)()  # struct io_uring_params, 120 bytes
    fd = libc.syscall(IO_URING_SETUP, 8, ctypes.byref(params))
    if fd < 0:
        return False
    os.close(fd)
    wanted = NODROP | EXT_ARG | CQE_SKIP
    return params[5] & wanted == wanted  # features, the sixth field


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


def run_and_look(url, poller, refused, cleared_features=0):
    """Runs velkor -t 2 -c 20; returns (status, stdout, stderr, instances seen
    mid-run). cleared_features: IORING_FEAT_ bits its rings do not report."""
    environment = dict(os.environ)
    environment.pop("VELKOR_POLLER", None)
    if poller is not None:
        environment["VELKOR_POLLER"] = poller
    if cleared_features:
        environment["LD_PRELOAD"] = SHIM
        environment["VELKOR_SHIM_CLEAR_FEATURES"] = str(cleared_features)
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
        # On a host whose io_uring falls short, the default is epoll.
        best = "io_uring" if host_offers_io_uring() else "eventpoll"
        # (VELKOR_POLLER, io_uring refused, features cleared, the instance the run must hold)
        cases = [
            (None, False, 0, best),
            (None, True, 0, "eventpoll"),
            ("epoll", False, 0, "eventpoll"),
        ]
        if best == "io_uring":
            cases.append(("io_uring", False, 0, "io_uring"))
        if SHIM:
            # A kernel before 5.11, then one before 5.17.
            cases += [(None, False, EXT_ARG, "eventpoll"), (None, False, CQE_SKIP, "eventpoll")]
        for poller, refused, cleared, expected in cases:
            with self.subTest(poller=poller, refused=refused, cleared=cleared), \
                    Target() as target:
                status, out, err, seen = run_and_look(target.url, poller, refused, cleared)
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
        cases = [("kqueue", False, 0, "VELKOR_POLLER=kqueue"),
                 ("io_uring", True, 0, "VELKOR_POLLER=io_uring")]
        if SHIM:
            cases.append(("io_uring", False, CQE_SKIP, "VELKOR_POLLER=io_uring"))
        for poller, refused, cleared, message in cases:
            with self.subTest(poller=poller, cleared=cleared), Target() as target:
                status, out, err, _ = run_and_look(target.url, poller, refused, cleared)
                self.assertEqual(status, 1)
                self.assertIn(message, err.decode())
                self.assertNotIn(b"Completed requests", out)
                self.assertEqual(target.stop(), 0)


if __name__ == "__main__":
    unittest.main()
