"""The Windows build as a user meets it, run through Wine against the Linux
target server on 127.0.0.1: GBK texts with CRLF line ends, and whole runs.

Run by tests/run_windows.sh, which sets VELKOR_BIN to velkor.exe,
VELKOR_REPORT_BIN to velkor-report.exe,
VELKOR_LAUNCHER to the Wine loader and VELKOR_ENCODING to gbk.
"""

import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from harness import (  # noqa: E402
    ENCODING,
    LAUNCHER,
    Target,
    closed_port,
    run_report,
    run_velkor,
    slack,
    summary_bytes,
)


def gbk_lines(*lines):
    """The bytes a Windows console program writes for these lines in text mode."""
    return b"".join((line + "\r\n").encode("gbk") for line in lines)


BANNER = gbk_lines("长连接高并发测试 by velkor 1.0.0")
USAGE = gbk_lines(
    "用法: velkor -t <时长(秒)> -c <并发数> [-q <目标QPS>] <目标URL>",
    "示例1: velkor -t 10 -c 30 http://127.0.0.1:3000 （不限速）",
    "示例2: velkor -t 10 -c 30 -q 5000 http://127.0.0.1:3000 （限速5000QPS）",
)
IDLE_SECOND = gbk_lines("累计请求: 0, 本秒QPS: 0, 本秒平均延迟: 0 ms")
PROGRESS_BYTES = re.compile(
    "^累计请求: \\d+, 本秒QPS: \\d+, 本秒平均延迟: [0-9.e+-]+ ms\r$".encode("gbk"), re.M
)


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsTextTest(unittest.TestCase):
    def test_texts_are_gbk_with_crlf_line_ends(self):
        cases = [
            ([], b"", USAGE),
            (["-t", "1", "-c", "1", "ftp://h/"], b"", gbk_lines("仅支持http协议的URL")),
            (["-t", "1", "-c", "1", "http://h:0/"], b"",
             gbk_lines('URL中的端口无效: "0"（须为1到65535之间的整数）')),
            (["-t", "x", "-c", "1", "http://h/"], b"",
             gbk_lines('参数 -t 的值无效: "x"（须为32位有符号整数）')),
        ]
        for args, rest_of_stdout, stderr in cases:
            with self.subTest(args=args):
                run = run_velkor(*args)
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stdout, BANNER + rest_of_stdout)
                self.assertEqual(run.stderr, stderr)


def established_connections(port):
    """Connections the target on this port holds open now."""
    out = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"],
                         capture_output=True, text=True).stdout
    return sum(1 for line in out.splitlines() if line.strip())


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsClientCountTest(unittest.TestCase):
    def test_counts_past_the_bound_are_refused_at_once(self):
        for clients in [16385, 2000000000]:
            with self.subTest(clients=clients):
                run = run_velkor("-t", "1", "-c", str(clients), "http://127.0.0.1:1/")
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stdout, BANNER)
                self.assertEqual(run.stderr, gbk_lines(
                    f"本进程需运行 {clients} 个客户端，超过可同时打开的连接数上限 16384；"
                    "请减少 -c 的值，或用 --agent K/N 把客户端分到多个进程或主机上运行"))
                # Wine's own start-up is most of it.
                self.assertLess(run.seconds, slack(3))


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsRunTest(unittest.TestCase):
    def run_against(self, target_args, *velkor_args):
        with Target(*target_args) as target:
            run = run_velkor(*velkor_args, target.url)
            served = target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, b"")
        return run, served

    def assert_windows_output(self, run, duration_sec):
        """Banner first, one GBK progress line a second, every line ended by CRLF."""
        self.assertTrue(run.stdout.startswith(BANNER))
        self.assertNotIn(b"\n", run.stdout.replace(b"\r\n", b""))
        self.assertEqual(len(PROGRESS_BYTES.findall(run.stdout)), duration_sec)
        self.assertEqual(len(run.progress_lines()), duration_sec)
        self.assertIn(b"\r\nCompleted requests:  ", run.stdout)
        return run.summary()

    def test_short_run_completes_what_the_server_served(self):
        run, served = self.run_against(["--mode", "fast"], "-t", "3", "-c", "10")
        summary = self.assert_windows_output(run, 3)
        completed = int(summary["Completed requests"])
        # Each client stops starting requests at its deadline but finishes the
        # one under way, so every response the server sent was counted.
        self.assertEqual(completed, served)
        self.assertGreater(completed, 100)
        self.assertEqual(summary["Total errors"], "0")
        self.assertLessEqual(run.progress_lines()[-1][0], completed)
        print(f"\n  wine run -t 3 -c 10: completed {completed}, served {served}", file=sys.stderr)

    def test_thousands_of_clients_hold_their_connections_at_once(self):
        clients = 2000
        with Target("--mode", "fast") as target:
            held = []
            sampler = threading.Timer(2.5, lambda: held.append(established_connections(target.port)))
            sampler.start()
            run = run_velkor("-t", "3", "-c", str(clients), target.url)
            sampler.join()
            served = target.stop()
        self.assertEqual(run.returncode, 0, run.stderr)
        summary = self.assert_windows_output(run, 3)
        self.assertEqual(summary["Total errors"], "0")
        self.assertEqual(int(summary["Completed requests"]), served)
        # Generous for a busy machine, where every socket call waits on the
        # wineserver; a pool that starts one thread after another held a few
        # hundred connections here and took over 20 s.
        self.assertGreaterEqual(held[0], clients * 9 // 10)
        self.assertLess(run.seconds, slack(3 + 7))
        print(f"\n  wine run -t 3 -c {clients}: {held[0]} connections held at 2.5 s, "
              f"{run.seconds:.2f} s in all", file=sys.stderr)

    def test_unreachable_target_gives_one_error_per_client(self):
        run = run_velkor("-t", "2", "-c", "5", f"http://127.0.0.1:{closed_port()}/")
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stderr, b"")
        summary = self.assert_windows_output(run, 2)
        self.assertIn(BANNER + IDLE_SECOND + IDLE_SECOND + b"\r\n", run.stdout)
        self.assertEqual(summary["Completed requests"], "0")
        self.assertEqual(summary["Total errors"], "5")

    def test_silent_server_cannot_hold_the_run(self):
        run, served = self.run_against(["--mode", "never"], "-t", "2", "-c", "3")
        summary = self.assert_windows_output(run, 2)
        self.assertEqual(summary["Completed requests"], "0")
        self.assertEqual(summary["Total errors"], "3")
        self.assertEqual(served, 0)
        # The run time, the 2 s grace for the open exchanges and Wine's start.
        self.assertLess(run.seconds, slack(6.5))
        print(f"\n  wine run against a silent server: {run.seconds:.2f} s", file=sys.stderr)

    def test_paced_run_keeps_the_target_rate(self):
        run, served = self.run_against(["--mode", "fast"], "-t", "3", "-c", "10", "-q", "500")
        summary = self.assert_windows_output(run, 3)
        completed = int(summary["Completed requests"])
        self.assertEqual(completed, served)
        # 10 %: every socket call of Wine waits on the wineserver, and a run
        # that starts while it is busy loses a fraction of a second of starts
        # (1,426 seen); a pacer that ignored -q, or halved it, is far outside.
        self.assertAlmostEqual(completed, 1500, delta=150)
        print(f"\n  wine run -q 500 -c 10 -t 3: completed {completed} of 1500", file=sys.stderr)

    def test_rate_plan_arrivals_follow_the_ramp(self):
        # 100, then 300 on a ramp from 50 to 250 a second, then 500: each
        # second's arrivals near the plan's integral over it. Wide, as every
        # socket call of Wine waits on the wineserver.
        planned = [50, 50, 100, 200, 250, 250]
        with tempfile.TemporaryDirectory(prefix="velkor-wine-plan-") as directory:
            log = os.path.join(directory, "arrivals.txt")
            with Target("--arrival-log", log) as target:
                run = run_velkor("-t", "6", "-c", "50", target.url, "--rate-plan",
                                 "2s:50,2s:50-250,2s:250")
                target.stop()
            with open(log) as arrivals:
                seconds = [int(line) // 1_000_000_000 for line in arrivals]
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assert_windows_output(run, 6)
        arrived = [seconds.count(second) for second in range(6)]
        self.assertLessEqual(abs(len(seconds) - sum(planned)), 0.1 * sum(planned), arrived)
        for second, count in enumerate(arrived):
            self.assertLessEqual(abs(count - planned[second]), 0.25 * planned[second] + 10,
                                 (arrived, planned))
        print(f"\n  wine run --rate-plan 2s:50,2s:50-250,2s:250: arrivals {arrived} "
              f"a second, planned {planned}", file=sys.stderr)


def scrape(port, path="/metrics"):
    """(status, body) of one GET from the Linux side; None when nothing answers."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as refused:
        return refused.code, ""
    except OSError:
        return None


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsMetricsTest(unittest.TestCase):
    def test_metrics_are_answered_from_linux(self):
        port = closed_port()
        answers, elsewhere, stop = [], [], threading.Event()

        def scraper():
            while not stop.wait(0.25):
                answers.append(scrape(port))
                if answers[-1] and not elsewhere:
                    elsewhere.append(scrape(port, "/nothing-here"))

        with Target("--mode", "fast") as target:
            thread = threading.Thread(target=scraper)
            thread.start()
            try:
                run = run_velkor("-t", "3", "-c", "5", target.url, "--metrics",
                                 f"127.0.0.1:{port}", "--metrics-linger", "10")
            finally:
                stop.set()
                thread.join()
        self.assertEqual(run.returncode, 0, run.stderr)
        completed = int(run.summary()["Completed requests"])
        bodies = [answer[1] for answer in answers if answer and answer[0] == 200]
        self.assertGreaterEqual(len(bodies), 4)
        totals = [sum(int(line.rsplit(" ", 1)[1]) for line in body.splitlines()
                      if line.startswith("velkor_requests_total{")) for body in bodies]
        # Counters only grow, and the scrape of the linger has the summary's figure.
        self.assertEqual(totals, sorted(totals))
        self.assertEqual(totals[-1], completed)
        self.assertEqual(elsewhere, [(404, "")])
        # The linger ended at the first scrape after the run, well before 10 s.
        self.assertLess(run.seconds, slack(3 + 8))
        print(f"\n  wine run -t 3 --metrics: {len(bodies)} scrapes, the last {totals[-1]}",
              file=sys.stderr)

    def test_a_port_linux_holds_is_refused_before_the_run(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            busy = holder.getsockname()[1]
            run = run_velkor("-t", "1", "-c", "1", "http://127.0.0.1:9/", "--metrics",
                             f"127.0.0.1:{busy}")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, BANNER)
        self.assertEqual(run.stderr,
                         gbk_lines(f'无法在指标地址上监听: "127.0.0.1:{busy}"（端口已被占用）'))


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsReportTest(unittest.TestCase):
    def test_saved_run_is_printed_again_byte_for_byte(self):
        with tempfile.TemporaryDirectory(prefix="velkor-wine-report-") as directory:
            # Wine's drive Z: is the Unix root.
            path = "Z:" + os.path.join(directory, "run.json").replace("/", "\\")
            with Target("--mode", "fast") as target:
                runs = [run_velkor("-t", "1", "-c", str(clients), target.url, "--save", path)
                        for clients in (2, 3)]
            for run in runs:
                self.assertEqual(run.returncode, 0, run.stderr)
            # The second run replaced the first one's file, and left nothing else.
            self.assertEqual(os.listdir(directory), ["run.json"])
            report = run_report(path)
            self.assertEqual(report.returncode, 0, report.stderr)
            self.assertIn(b"Concurrent clients:  3\r\n", report.stdout)
            self.assertEqual(report.stdout, summary_bytes(runs[1].stdout))


@unittest.skipUnless(LAUNCHER and ENCODING == "gbk", "needs the Windows build under Wine")
class WindowsRequestTest(unittest.TestCase):
    def test_body_file_is_sent_byte_for_byte(self):
        body = bytes(range(256)) * 64  # every byte value: no text-mode translation
        with tempfile.TemporaryDirectory(prefix="velkor-wine-request-") as directory:
            with open(os.path.join(directory, "body.bin"), "wb") as file:
                file.write(body)
            windows_path = "Z:" + os.path.join(directory, "body.bin").replace("/", "\\")
            captured = os.path.join(directory, "captured.bin")
            with Target("--capture", captured) as target:
                run = run_velkor("-t", "1", "-c", "2", "-q", "50", target.url + "in",
                                 "--method", "POST", "--header", "X-A: 1",
                                 "--body-file", windows_path)
                target.stop()
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.summary()["Total errors"], "0")
            self.assertIn(b"unlike the first 0", target.output)
            with open(captured, "rb") as file:
                self.assertEqual(file.read(), b"POST /in HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 b"Connection: keep-alive\r\nX-A: 1\r\n"
                                 b"Content-Length: 16384\r\n\r\n" + body)
            missing = windows_path + ".missing"
            run = run_velkor("-t", "1", "-c", "1", target.url, "--body-file", missing)
            self.assertEqual(run.returncode, 1)
            self.assertEqual(run.stderr, gbk_lines(f'无法读取请求体文件: "{missing}"'))


if __name__ == "__main__":
    unittest.main()
