"""deploy/slurm/velkor.sbatch on a real single-node Slurm cluster: one job of
4 tasks runs velkor as 4 agents against nginx and prints their merged
summary; a job whose agents fail, or leave no file, fails with one line."""

import os
import re
import unittest

import agent_runs
from harness import SLOW, closed_port, summary_bytes
from nginx_server import Nginx, nginx_available
from slurm_cluster import SlurmCluster, why_unavailable

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                      "..", "..", "deploy", "slurm", "velkor.sbatch")


def reason_to_skip():
    reason = why_unavailable()
    if reason is None and SLOW > 1:
        reason = "the Slurm cluster runs in the plain build only, not under sanitizers"
    if reason is None and not nginx_available():
        reason = "nginx is not installed"
    if reason is None and not os.path.exists(agent_runs.REPORT):
        reason = "velkor-report is not built, so the agents' files cannot be merged"
    return reason


@unittest.skipIf(reason_to_skip(), reason_to_skip())
class SlurmTest(unittest.TestCase):
    SECONDS, CLIENTS, RATE, AGENTS = 3, 400, 2000, 4

    @classmethod
    def setUpClass(cls):
        cls.cluster = SlurmCluster(cpus=cls.AGENTS)
        cls.addClassCleanup(cls.cluster.stop)

    def submit(self, name, args, velkor=agent_runs.VELKOR):
        """Runs the batch script as a job of AGENTS tasks, asking for the
        chart page too; returns its exit code, its output and the folder of
        its agents' files."""
        results = os.path.join(self.cluster.folder, name)
        code, output = self.cluster.run_job(
            SCRIPT, args, {"VELKOR_BIN": velkor, "VELKOR_REPORT_BIN": agent_runs.REPORT,
                           "VELKOR_RESULTS": results, "VELKOR_START_DELAY": "3",
                           "VELKOR_PLOT": os.path.join(results, "run.html")},
            ntasks=self.AGENTS, timeout=90)
        return code, output, results

    def test_agents_of_one_job_make_one_run(self):
        with Nginx(keepalive_requests=1000000, access_log=True) as nginx:
            args = ["-t", str(self.SECONDS), "-c", str(self.CLIENTS), "-q", str(self.RATE),
                    nginx.url]
            code, output, results = self.submit("run", args)
            answered = nginx.answered()
        self.assertEqual(code, 0, output)
        files = [os.path.join(results, f"agent-{k}.json") for k in range(1, self.AGENTS + 1)]
        agents = [agent_runs.read_result(path) for path in files]
        merged = agent_runs.report(*files)

        # The job's output is the merge of exactly these files.
        self.assertEqual(merged.returncode, 0, merged.stderr)
        self.assertEqual(summary_bytes(output.encode()), merged.stdout)
        total = merged.summary()
        self.assertEqual(total["Agent"], f"{self.AGENTS} agents of {self.AGENTS}")
        self.assertEqual(total["Concurrent clients"], str(self.CLIENTS))
        self.assertEqual(total["Total errors"], "0")
        with open(os.path.join(results, "run.html")) as page:
            self.assertIn(f"{self.AGENTS} agents of {self.AGENTS}", page.read())
        for k, agent in enumerate(agents, start=1):
            self.assertEqual(agent["settings"]["agent"], {"index": k, "count": self.AGENTS})
            self.assertEqual(agent["clients"], self.CLIENTS // self.AGENTS)
            self.assertEqual(agent["errors"], 0)
        completed = sum(agent["completed"] for agent in agents)
        self.assertEqual(int(total["Completed requests"]), completed)
        self.assertEqual(answered, {"200": completed}, "nginx's own record")
        # Paced: the agents together keep the run's rate (wide bounds, as the
        # machine is shared).
        self.assertLess(abs(completed - self.RATE * self.SECONDS), self.RATE * self.SECONDS / 10)

        # All start at the instant the script announced, together.
        start_at = int(re.search(r"agents start at (\d+) ", output)[1]) * 10**9
        starts = [agent["start_unix_ns"] for agent in agents]
        self.assertGreaterEqual(min(starts), start_at, "no agent starts early")
        self.assertLess(max(starts) - min(starts), 0.5e9, "the agents start together")

    def test_a_failed_agent_or_missing_file_fails_the_job(self):
        url = f"http://127.0.0.1:{closed_port()}/"
        cases = [
            ("bad-option", ["-t", "1", "-c", "4", url, "--no-such-option"], agent_runs.VELKOR,
             "velkor.sbatch: an agent failed (srun status 1)"),
            ("no-file", ["-t", "1", "-c", "4", url], "true",
             "velkor.sbatch: agent 1 left no result file: "),
            ("own-save", ["-t", "1", "-c", "4", url, "--save", "x.json"], agent_runs.VELKOR,
             "velkor.sbatch: --save is set by the script for each task; leave it out"),
        ]
        for name, args, velkor, line in cases:
            with self.subTest(name):
                code, output, _ = self.submit(name, args, velkor)
                self.assertNotEqual(code, 0, output)
                self.assertIn("\n" + line, "\n" + output)
                self.assertNotIn("Target URL:", output)


if __name__ == "__main__":
    unittest.main()
