"""The command line as a user meets it: banner, usage, messages, exit status."""

import os
import pathlib
import re
import resource
import subprocess
import time
import unittest

from harness import BANNER, ENCODING, LAUNCHER, USAGE, VELKOR, closed_port, run_velkor, slack

CMAKE_LISTS = pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt"
VERSION = re.search(r"project\(velkor VERSION (\S+)", CMAKE_LISTS.read_text())[1]


def message(text):
    return (text + "\n").encode(ENCODING)


class CommandLineTest(unittest.TestCase):
    def assert_stopped(self, run, stderr):
        self.assertEqual(run.stdout.replace(b"\r\n", b"\n"), BANNER)
        self.assertEqual(run.stderr.replace(b"\r\n", b"\n"), stderr)
        self.assertEqual(run.returncode, 1)

    def test_wrong_shapes_print_the_usage_text(self):
        shapes = [
            [],
            ["-t", "10", "-c", "30"],
            ["-c", "30", "-t", "10", "http://127.0.0.1/"],
            ["-T", "10", "-c", "30", "http://127.0.0.1/"],
            ["-x", "abc", "-c", "30", "http://127.0.0.1/"],
            ["-t", "10", "-c", "30", "-q", "5000"],
        ]
        for args in shapes:
            with self.subTest(args=args):
                self.assert_stopped(run_velkor(*args), USAGE)

    def test_bad_numbers_and_urls_stop_with_a_message(self):
        cases = [
            (["-t", "abc", "-c", "30", "http://h/"], '参数 -t 的值无效: "abc"（须为32位有符号整数）'),
            (["-t", "1", "-c", "9999999999", "http://h/"],
             '参数 -c 的值无效: "9999999999"（须为32位有符号整数）'),
            (["-t", "1", "-c", "1", "-q", "", "http://h/"], '参数 -q 的值无效: ""（须为32位有符号整数）'),
            (["-t", "1", "-c", "1", "ftp://h/"], "仅支持http协议的URL"),
            (["-t", "10", "-c", "30", "-q"], "仅支持http协议的URL"),
            (["-t", "10", "-c", "30", "-x", "5", "http://h/"], "仅支持http协议的URL"),
            (["-t", "1", "-c", "1", "http://h:65616/"], 'URL中的端口无效: "65616"（须为1到65535之间的整数）'),
            (["-t", "1", "-c", "1", "http://h:/"], 'URL中的端口无效: ""（须为1到65535之间的整数）'),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                self.assert_stopped(run_velkor(*args), message(text))

    def test_hostile_arguments_never_crash(self):
        # The longest single argument Linux passes to a program (128 KiB with its NUL).
        huge = "9" * (128 * 1024 - 64)
        cases = [
            ["-t", huge, "-c", "1", "http://127.0.0.1/"],
            ["-t", "1", "-c", "1", "http://127.0.0.1:" + huge],
            ["-t", "1", "-c", "1", b"\x01\x7f\xff\xfe" + b"x" * 100000],
            ["-t", b"1\x01\xff", "-c", "1", ""],
        ]
        for args in cases:
            with self.subTest(args=[a[:20] for a in args]):
                run = run_velkor(*args)
                self.assertEqual(run.returncode, 1)
                self.assertLess(len(run.stderr), 400)

    def test_version_first_prints_the_project_version_alone(self):
        for args in (["--version"], ["--version", "-t", "1", "-c", "1", "http://h/"]):
            with self.subTest(args=args):
                run = run_velkor(*args)
                self.assertEqual(run.stdout.replace(b"\r\n", b"\n"), f"velkor {VERSION}\n".encode())
                self.assertEqual(run.stderr, b"")
                self.assertEqual(run.returncode, 0)
        # Anywhere else it is no version request: the usage, or an unknown option.
        self.assert_stopped(run_velkor("-t", "1", "--version"), USAGE)
        run = run_velkor("-t", "1", "-c", "1", "http://h/", "--version")
        self.assertEqual(run.returncode, 1)
        self.assertIn(b"--version", run.stderr)

    def test_velkor_report_prints_the_same_version(self):
        report = pathlib.Path(VELKOR).with_name("velkor-report")
        if not report.exists():
            self.skipTest("velkor-report is not built")
        for args in (["--version"], ["run.json", "--version"]):
            with self.subTest(args=args):
                run = subprocess.run([str(report), *args], capture_output=True, timeout=30)
                self.assertEqual(run.stdout, f"velkor-report {VERSION}\n".encode())
                self.assertEqual(run.stderr, b"")
                self.assertEqual(run.returncode, 0)

    def test_a_valid_command_line_runs(self):
        run = run_velkor("-t", "0", "-c", "1", f"http://127.0.0.1:{closed_port()}/")
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stderr, b"")
        self.assertTrue(run.stdout.replace(b"\r\n", b"\n").startswith(BANNER))


def too_many_clients(clients, limit):
    return message(f"本进程需运行 {clients} 个客户端，超过可同时打开的连接数上限 {limit}；"
                   "请减少 -c 的值，或用 --agent K/N 把客户端分到多个进程或主机上运行")


# The sockets velkor may open under an open-file limit of 1000: it keeps 64
# descriptors for itself and two per processor.
LIMIT_AT_1000 = 1000 - 64 - 2 * os.cpu_count()


def run_with_descriptor_limit(limit, *args):
    """velkor with its hard open-file limit lowered to `limit`."""

    def lower_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

    started = time.monotonic()
    done = subprocess.run(LAUNCHER + [VELKOR, *args], capture_output=True, timeout=60,
                          preexec_fn=lower_limit)
    return done, time.monotonic() - started


class ClientCountTest(unittest.TestCase):
    """More clients than sockets the process may open are refused before the run."""

    def test_counts_past_the_descriptor_limit_are_refused_at_once(self):
        url = f"http://127.0.0.1:{closed_port()}/"
        for clients in [1000, 2000000000]:
            with self.subTest(clients=clients):
                done, seconds = run_with_descriptor_limit(1000, "-t", "1", "-c", str(clients), url)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, BANNER)
                self.assertEqual(done.stderr, too_many_clients(clients, LIMIT_AT_1000))
                self.assertLess(seconds, slack(2))

    def test_a_count_within_the_limit_runs(self):
        done, _ = run_with_descriptor_limit(1000, "-t", "0", "-c", str(LIMIT_AT_1000),
                                            f"http://127.0.0.1:{closed_port()}/")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr, b"")
        self.assertIn(f"Total errors:        {LIMIT_AT_1000}\n".encode(), done.stdout)


if __name__ == "__main__":
    unittest.main()
