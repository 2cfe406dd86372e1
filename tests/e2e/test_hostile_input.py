"""Hostile command lines: every argument position filled with huge, control,
non-UTF-8 or empty text. Each must end with a short, terminal-safe message and
status 1, or with a normal run; never with a crash or a hang.

Linux refuses to start a program with an argument longer than 128 KiB
(MAX_ARG_STRLEN, counting its terminating NUL), so the huge arguments here are
the longest exec accepts; the parsers are fed 1 MiB directly by the unit tests.
"""

import re
import unittest

from harness import BANNER, USAGE, closed_port, run_velkor

LONGEST_ARGUMENT = 128 * 1024 - 1

# name -> bytes; an argument can hold any byte but NUL.
HOSTILE = {
    "huge digits": b"9" * LONGEST_ARGUMENT,
    "huge text": b"x" * LONGEST_ARGUMENT,
    "control bytes": b"\x01\x1b[2J\x1b]0;title\x07\r\n\t\x7f",
    "non-UTF-8": b"\xff\xfe\xc3\x28\xa0\xa1\xed\xa0\x80",
    "empty": b"",
}

# What a message may contain: no byte below 0x20 but its end of line, no DEL.
UNSAFE = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]")


def number_message(flag):
    return re.compile(("^参数 " + flag + ' 的值无效: ".*"（须为32位有符号整数）\n$').encode(),
                      re.DOTALL)


PORT_MESSAGE = re.compile('^URL中的端口无效: ".*"（须为1到65535之间的整数）\n$'.encode(), re.DOTALL)
URL_MESSAGE = re.compile("^仅支持http协议的URL\n$".encode())
CONTROL_MESSAGE = re.compile('^URL中含有控制字符: ".*"（主机名和路径中不能有控制字符）\n$'.encode(),
                             re.DOTALL)

LOOKUP_MESSAGE = re.compile('^无法解析主机名: ".*"（(找不到它的IP地址|1.5秒内没有得到应答)）\n$'.encode(),
                            re.DOTALL)
OPTION_MESSAGE = re.compile('^未知选项: ".*"\n$'.encode(), re.DOTALL)
AGENT_MESSAGE = re.compile('^选项 --agent 的值无效: ".*"（须为K/N，其中 1 <= K <= N）\n$'.encode(),
                           re.DOTALL)


class HostileInputTest(unittest.TestCase):
    def setUp(self):
        # Runs aim at a closed port with no run time: they end at once.
        self.url = f"http://127.0.0.1:{closed_port()}/".encode()

    def baseline(self):
        return [b"-t", b"0", b"-c", b"1", b"-q", b"1", self.url, b"--agent", b"1/1"]

    def check(self, args, expected):
        """expected: "usage", "run", or a compiled pattern of the whole stderr."""
        run = run_velkor(*args, timeout=30)  # a hang fails here
        self.assertIn(run.returncode, (0, 1), "killed by a signal or a sanitizer")
        self.assertTrue(run.stdout.startswith(BANNER))
        if expected == "run":
            self.assertEqual(run.returncode, 0, run.stderr[:300])
            self.assertEqual(run.stderr, b"")
            self.assertIn(b"\nCompleted requests:  ", run.stdout)
            return
        self.assertEqual(run.returncode, 1)
        if expected == "usage":
            self.assertEqual(run.stderr, USAGE)
            return
        self.assertRegex(run.stderr, expected)
        self.assertLess(len(run.stderr), 400, "the message repeats the whole argument")
        self.assertIsNone(UNSAFE.search(run.stderr), run.stderr)

    def test_every_position_with_every_hostile_text(self):
        # position -> outcome for a hostile text there; the text is never a
        # number's digits, so a number position always refuses it.
        outcomes = {
            0: "usage",  # -t
            1: number_message("-t"),
            2: "usage",  # -c
            3: number_message("-c"),
            4: URL_MESSAGE,  # -q no longer: taken as the URL
            5: number_message("-q"),
            6: URL_MESSAGE,
            7: OPTION_MESSAGE,  # after the URL only known long options
            8: AGENT_MESSAGE,
        }
        for position, expected in outcomes.items():
            for name, text in HOSTILE.items():
                args = self.baseline()
                args[position] = text
                with self.subTest(position=position + 1, text=name):
                    self.check(args, expected)

    def test_hostile_urls(self):
        port = self.url.split(b":")[2].rstrip(b"/")
        prefix = b"http://127.0.0.1:" + port
        cases = [
            (b"", URL_MESSAGE),
            (HOSTILE["huge text"], URL_MESSAGE),
            (HOSTILE["control bytes"], URL_MESSAGE),
            (HOSTILE["non-UTF-8"] + b"http://127.0.0.1:", PORT_MESSAGE),
            (b"http://h:" + HOSTILE["huge digits"][:-9], PORT_MESSAGE),
            (b"http://h:" + HOSTILE["control bytes"], PORT_MESSAGE),
            (b"http://h:" + HOSTILE["non-UTF-8"], PORT_MESSAGE),
            # Accepted URLs run; the connection attempt fails and is counted.
            (prefix + b"/" + b"p" * (LONGEST_ARGUMENT - len(prefix) - 1), "run"),
            (prefix + b"/" + HOSTILE["control bytes"], CONTROL_MESSAGE),
            (b"http://" + HOSTILE["control bytes"] + b"/", CONTROL_MESSAGE),
            (prefix + b"/" + HOSTILE["non-UTF-8"], "run"),
            # Host names no resolver knows are refused before the run.
            (b"http://" + HOSTILE["non-UTF-8"] + b":" + port + b"/", LOOKUP_MESSAGE),
            (b"http://" + b"h" * (LONGEST_ARGUMENT - 7), LOOKUP_MESSAGE),
        ]
        for url, expected in cases:
            for args in ([b"-t", b"0", b"-c", b"1", url],
                         [b"-t", b"0", b"-c", b"1", b"-q", b"1", url]):
                with self.subTest(url=url[:40], with_rate=len(args) == 7):
                    self.check(args, expected)

    def test_numbers_followed_by_hostile_bytes_are_read_up_to_them(self):
        for name in ["huge text", "control bytes", "non-UTF-8"]:
            args = self.baseline()
            args[1] = b"0" + HOSTILE[name][:-1]
            args[3] = b"1" + HOSTILE[name][:-1]
            args[5] = b"1" + HOSTILE[name][:-1]
            with self.subTest(text=name):
                self.check(args, "run")

    def test_every_argument_huge_at_once(self):
        # Seven of the longest arguments stay within exec's total limit.
        huge = HOSTILE["huge text"]
        self.check([huge] * 8, "usage")
        self.check([b"-t", huge, b"-c", huge, b"-q", huge, huge, huge], number_message("-t"))


if __name__ == "__main__":
    unittest.main()
