"""velkor --save and velkor-report as a user meets them: the result file of a
real run, its summary printed again, merges, and every kind of bad input."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (ERROR_KINDS, LAUNCHER, VELKOR, Target, run_report, run_velkor, series_problem,
                     slack, summary_bytes)


def load(path):
    with open(path) as file:
        return json.load(file)


def summary_of_union(files):
    """The summary text of one run holding every request of the plain runs
    in files, computed here from their latency counts by sorting them out."""
    runs = [load(name) for name in files]
    counts = {}
    for run in runs:
        for latency_ms, count in run["latency_counts_ms"]:
            counts[latency_ms] = counts.get(latency_ms, 0) + count
    latencies = sorted(ms for ms, count in counts.items() for _ in range(count))
    n = len(latencies)

    def percentile(p):
        return latencies[min(int(float(n) * p / 100.0), n - 1)] if n else 0

    settings = runs[0]["settings"]
    duration = float(settings["duration_s"])
    completed = sum(run["completed"] for run in runs)
    unsuccessful = sum(
        run["status_classes"][key] for run in runs for key in ("4xx", "5xx", "other")
    )
    lines = [
        "",
        "Target URL:          " + settings["url"],
        "Max time (s):        %d" % settings["duration_s"],
        "Concurrent clients:  %d" % sum(run["clients"] for run in runs),
        "Running on cores:    %d" % sum(run["settings"]["processor_count"] for run in runs),
        "Agent:               merged %d runs" % len(runs),
        "",
        "Completed requests:  %d" % completed,
        "Total errors:        %d" % sum(run["errors"] for run in runs),
    ]
    if unsuccessful:
        lines.append("Non-2xx or 3xx responses: %d" % unsuccessful)
    kinds = {key: sum(run["errors_by_kind"][key] for run in runs) for key in ERROR_KINDS}
    if any(kinds.values()):
        lines.append("Errors by kind:      " + ", ".join(
            "%s %d" % (ERROR_KINDS[key], count) for key, count in kinds.items() if count))
    lines += [
        "Total time:          %g s" % duration,
        # The mean is that of the latencies at full resolution.
        "Mean latency:        %g ms"
        % (sum(run["latency_sum_ns"] for run in runs) / 1e6 / float(n) if n else 0.0),
        "Effective rps:       %g" % (completed / duration),
        "",
        "Percentage of requests served within a certain time",
    ]
    for p in (50, 90, 95, 99):
        lines.append("%4d%%      %d ms" % (p, percentile(p)))
    lines.append(" 100%%      %d ms (longest request)" % (latencies[-1] if n else 0))
    return "\n".join(lines) + "\n"


class ReportTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="velkor-report-e2e-")
        self.addCleanup(shutil.rmtree, self.directory)

    def path(self, name):
        return os.path.join(self.directory, name)

    def save(self, name, target, *velkor_args, options=()):
        run = run_velkor(*velkor_args, target.url, "--save", self.path(name), *options)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, b"")
        self.assertIsNone(series_problem(load(self.path(name))))
        return run

    def saved_run(self, name, target_args, *velkor_args):
        """A run against a target of its own, which served what the file counts."""
        with Target(*target_args) as target:
            run = self.save(name, target, *velkor_args)
            self.assertEqual(load(self.path(name))["completed"], target.stop())
        return run

    def test_report_prints_the_summary_the_run_printed(self):
        cases = [
            ("fast.json", [], ["-t", "2", "-c", "4"]),
            ("paced.json", ["--mode", "delay", "--delay-ms", "3"], ["-t", "1", "-c", "3", "-q", "200"]),
            ("status500.json", ["--status", "500"], ["-t", "1", "-c", "2"]),
        ]
        for name, target_args, velkor_args in cases:
            with self.subTest(name=name):
                run = self.saved_run(name, target_args, *velkor_args)
                report = run_report(self.path(name))
                self.assertEqual(report.returncode, 0, report.stderr)
                self.assertEqual(report.stderr, b"")
                self.assertEqual(report.stdout, summary_bytes(run.stdout))
        self.assertIn(b"Non-2xx or 3xx responses: ", summary_bytes(run.stdout))
        self.assertEqual(sorted(os.listdir(self.directory)), sorted(name for name, _, _ in cases))

    def test_merge_equals_the_summary_of_all_latencies_together(self):
        # Runs merge only when they had the same target.
        with Target("--mode", "delay", "--delay-ms", "2") as target:
            self.save("paced.json", target, "-t", "2", "-c", "3", "-q", "300")
            self.save("flat-out.json", target, "-t", "2", "-c", "5")
        files = [self.path("paced.json"), self.path("flat-out.json")]
        report = run_report(*files)
        self.assertEqual(report.returncode, 0, report.stderr)
        self.assertEqual(report.text().split("\n"), summary_of_union(files).split("\n"))
        self.assertIn("Concurrent clients:  8\n", report.text())

    def test_agents_merge_into_the_whole_run_and_only_as_a_set(self):
        with Target() as target:
            for k in (1, 2, 3):
                self.save("agent%d.json" % k, target, "-t", "1", "-c", "5", "-q", "300",
                          options=("--agent", "%d/3" % k, "--run-id", "soak-1"))
            # Agent 2 of another run, named alike but started at a set instant.
            start_at = "%.3f" % (time.time() + 1)
            self.save("other2.json", target, "-t", "1", "-c", "5", "-q", "300",
                      options=("--agent", "2/3", "--run-id", "soak-1", "--start-at", start_at))
        self.assertEqual(load(self.path("agent1.json"))["settings"]["run_id"], "soak-1")
        self.assertIsNone(load(self.path("agent1.json"))["settings"]["start_at_unix_ns"])
        self.assertEqual(load(self.path("other2.json"))["settings"]["start_at_unix_ns"],
                         int(start_at.replace(".", "")) * 1000000)
        report = run_report(self.path("agent1.json"), self.path("other2.json"),
                            self.path("agent3.json"))
        self.assertEqual(report.returncode, 1)
        self.assertEqual(report.stderr.decode(),
                         f'velkor-report: "{self.path("other2.json")}": --start-at '
                         f'{start_at.rstrip("0").rstrip(".")} differs from none in '
                         f'"{self.path("agent1.json")}"; they are not agents of one run\n')

        files = [self.path("agent%d.json" % k) for k in (3, 1, 2)]
        report = run_report(*files)
        self.assertEqual(report.returncode, 0, report.stderr)
        summary = report.summary()
        self.assertEqual(summary["Agent"], "3 agents of 3")
        self.assertEqual(summary["Concurrent clients"], "5")
        self.assertEqual(int(summary["Completed requests"]),
                         sum(load(name)["completed"] for name in files))

        report = run_report(files[0], files[1])
        self.assertEqual(report.returncode, 1)
        self.assertEqual(report.stderr, b"velkor-report: agent 2/3 is missing from the set of 3 agents\n")

    def write(self, name, text):
        with open(self.path(name), "w") as file:
            file.write(text)
        return self.path(name)

    def test_bad_input_gets_one_line_and_status_1(self):
        self.saved_run("good.json", [], "-t", "1", "-c", "1")
        with open(self.path("good.json")) as file:
            good = file.read()
        document = json.loads(good)
        document["format_version"] = 6
        newer = self.write("newer.json", json.dumps(document))
        document = json.loads(good)
        document["settings"]["duration_s"] = 5
        document["start_unix_ns"] += 1
        longer = self.write("longer.json", json.dumps(document))
        cases = [
            ([], "velkor-report: no result file given (see velkor-report --help)"),
            (["--frobnicate", self.path("good.json")],
             'velkor-report: unknown option "--frobnicate" (see velkor-report --help)'),
            ([self.write("text.json", "hello")],
             'velkor-report: "%s": not JSON (syntax error at byte 1)' % self.path("text.json")),
            ([self.write("cut.json", good[: len(good) // 2])],
             'velkor-report: "%s": truncated: the JSON text ends early' % self.path("cut.json")),
            ([newer], 'velkor-report: "%s": result format version 6, but this velkor-report '
                      "reads versions 1 to 5" % newer),
            ([self.path("good.json"), longer],
             'velkor-report: "%s": run time 5 s differs from 1 s in "%s"'
             % (longer, self.path("good.json"))),
            ([self.path("absent.json")],
             'velkor-report: "%s": cannot be read' % self.path("absent.json")),
            ([self.directory], 'velkor-report: "%s": empty, or cannot be read' % self.directory),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                report = run_report(*args)
                self.assertEqual(report.returncode, 1)
                self.assertEqual(report.stdout, b"")
                self.assertEqual(report.stderr.decode(), line + "\n")

    def test_help_names_the_options_and_the_merge_texts(self):
        report = run_report("--help")
        self.assertEqual(report.returncode, 0)
        for text in ("Usage: velkor-report", "--plot PAGE.html", "N agents of N", "merged M runs"):
            self.assertIn(text, report.text())

    def test_save_to_a_file_that_cannot_be_created_stops_before_the_run(self):
        path = self.path("missing-directory/run.json")
        run = run_velkor("-t", "5", "-c", "1", "http://127.0.0.1:9/", "--save", path)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr.decode(), '无法创建结果文件: "%s"\n' % path)
        self.assertLess(run.seconds, slack(3))

    def test_a_killed_run_leaves_no_result_file(self):
        with Target() as target:
            process = subprocess.Popen(
                LAUNCHER + [VELKOR, "-t", "30", "-c", "2", target.url, "--save", self.path("r.json")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.5)
            process.send_signal(signal.SIGKILL)
            process.wait(timeout=30)
        self.assertEqual(os.listdir(self.directory), [])


if __name__ == "__main__":
    unittest.main()
