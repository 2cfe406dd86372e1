"""deploy/kubernetes and deploy/container, checked offline, since no cluster
runs here: the Job is a well-formed Indexed Job of N agents, and its pods'
command, run here once per completion index as the kubelet would run it,
makes one run that velkor-gather.sh gathers from the pods' logs (through a
stand-in kubectl) and velkor-report merges."""

import os
import re
import subprocess
import tempfile
import time
import unittest

import agent_runs
from harness import Target, slack

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
JOB = os.path.join(ROOT, "deploy", "kubernetes", "velkor-job.yaml")
GATHER = os.path.join(ROOT, "deploy", "kubernetes", "velkor-gather.sh")
DOCKERFILE = os.path.join(ROOT, "deploy", "container", "Dockerfile")

try:
    import yaml
except ImportError:
    yaml = None

# The Kubernetes API's field for the contents of an object (a Job's, its pod
# template's); the manifest cannot do without it.
BODY = "spec"

# Answers the two calls velkor-gather.sh makes, from files the test writes.
KUBECTL = """#!/bin/sh
case "$1 $4" in
  "get job-name=velkor") cat "$PODS_FOLDER/pods" ;;
  "logs ") cat "$PODS_FOLDER/$2.log" ;;
  *) echo "stand-in kubectl: unexpected call: $*" >&2; exit 1 ;;
esac
"""


def load_job(start_at="@START_AT@"):
    """The Job, its container and the container's environment; start_at put
    in as the sed line of the manifest's comment does."""
    with open(JOB) as text:
        job = yaml.safe_load(text.read().replace("@START_AT@", start_at))
    container = job[BODY]["template"][BODY]["containers"][0]
    return job, container, {item["name"]: item["value"] for item in container["env"]}


@unittest.skipIf(yaml is None, "python3-yaml is not installed")
class KubernetesJobTest(unittest.TestCase):

    def test_job_is_an_indexed_job_of_n_agents(self):
        job, container, env = load_job()
        runs, pod = job[BODY], job[BODY]["template"][BODY]
        self.assertEqual((job["apiVersion"], job["kind"]), ("batch/v1", "Job"))
        self.assertEqual(runs["completionMode"], "Indexed")
        self.assertEqual(runs["completions"], int(env["AGENTS"]))
        self.assertEqual(runs["parallelism"], int(env["AGENTS"]))
        self.assertEqual((runs["backoffLimit"], pod["restartPolicy"]), (0, "Never"))
        self.assertEqual(env["START_AT"], "@START_AT@")
        self.assertEqual([mount["name"] for mount in container["volumeMounts"]],
                         [volume["name"] for volume in pod["volumes"]])
        spread = pod["topologySpreadConstraints"][0]["labelSelector"]["matchLabels"]
        self.assertEqual(spread, job[BODY]["template"]["metadata"]["labels"])
        self.assertEqual(container["image"].split(":")[0], "velkor")

        # The image is Debian 12 with the package run_packages.sh builds.
        with open(DOCKERFILE) as dockerfile:
            text = dockerfile.read()
        self.assertRegex(text, r"(?m)^FROM debian:12(-slim)?$")
        copied = re.search(r"(?m)^COPY (\S+) ", text)[1]
        self.assertRegex("velkor_1.0.0-1_amd64.deb", copied.replace(".", r"\.").replace("*", ".*"))

    def test_pods_command_makes_one_run_that_is_gathered_and_merged(self):
        job, container, env = load_job(str(int(time.time() + 2 + slack(1))))
        agents = int(env["AGENTS"])
        mount = container["volumeMounts"][0]["mountPath"]
        with tempfile.TemporaryDirectory(prefix="velkor-kubernetes-") as folder:
            with Target() as target:
                pods = [self.start_pod(container, env, index, folder, mount,
                                       ["-t", "2", "-c", "8", "-q", "80", target.url])
                        for index in range(agents)]
                statuses = [pod.wait(timeout=60) for pod in pods]
                served = target.stop()
            self.assertEqual(statuses, [0] * agents)

            gathered = self.gather(folder, agents)
            self.assertEqual(gathered.returncode, 0, gathered.stderr)
            files = [os.path.join(folder, "results", f"agent-{k}.json")
                     for k in range(1, agents + 1)]
            merged = agent_runs.report(*files).summary()
            self.assertEqual(merged["Agent"], f"{agents} agents of {agents}")
            self.assertEqual(merged["Concurrent clients"], "8")
            self.assertEqual(merged["Total errors"], "0")
            self.assertEqual(int(merged["Completed requests"]), served)

            # A pod whose log ends before its result file: the gathering says which.
            with open(os.path.join(folder, "pod-2.log"), "r+") as log:
                log.truncate(log.read().index("velkor result file:"))
            failed = self.gather(folder, agents)
            self.assertEqual(failed.returncode, 1)
            self.assertIn("pod pod-2 (index 2) printed no result file", failed.stderr)

    def start_pod(self, container, env, index, folder, mount, args):
        """Runs the container's command and the given args as the pod of this
        completion index, its volume a folder of its own, its log a file."""
        volume = os.path.join(folder, f"volume-{index}")
        os.mkdir(volume)
        command = [part.replace(mount, volume) for part in container["command"]]
        pod_env = dict(os.environ, **env, JOB_COMPLETION_INDEX=str(index),
                       PATH=os.path.dirname(agent_runs.VELKOR) + os.pathsep + os.environ["PATH"])
        with open(os.path.join(folder, f"pod-{index}.log"), "w") as log:
            return subprocess.Popen(command + args, env=pod_env, stdout=log,
                                    stderr=subprocess.STDOUT)

    def gather(self, folder, agents):
        """velkor-gather.sh for job velkor, with a stand-in kubectl that lists
        the pods in reverse order of their index."""
        bin_folder = os.path.join(folder, "bin")
        os.makedirs(bin_folder, exist_ok=True)
        with open(os.path.join(bin_folder, "kubectl"), "w") as kubectl:
            kubectl.write(KUBECTL)
        os.chmod(os.path.join(bin_folder, "kubectl"), 0o755)
        with open(os.path.join(folder, "pods"), "w") as listing:
            listing.writelines(f"{index} pod-{index}\n" for index in reversed(range(agents)))
        env = dict(os.environ, PODS_FOLDER=folder,
                   PATH=bin_folder + os.pathsep + os.environ["PATH"])
        return subprocess.run(["sh", GATHER, "velkor", os.path.join(folder, "results")],
                              env=env, capture_output=True, text=True, timeout=60)


if __name__ == "__main__":
    unittest.main()
