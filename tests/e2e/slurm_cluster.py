"""A single-node Slurm cluster for one test, from Debian's slurm-wlm and munge:
munged, slurmctld and slurmd run as root with their own configuration, key,
socket, ports, logs and state, all in one temporary directory.

The daemons live in a PID namespace of their own, under `unshare --kill-child`,
which in turn dies with the test process (PR_SET_PDEATHSIG): however the test
ends, killed included, the kernel ends every daemon, job step and task at
once. What a killed test still leaves, its directory, is named after its
process id, and remove_leftovers() clears it (and any process that names it)
once that process is gone."""

import atexit
import ctypes
import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from harness import closed_port, process_alive

PREFIX = "velkor-slurm-"
LEFTOVER = re.compile(PREFIX + r"(\d+)-")
PROGRAMS = ("munged", "mungekey", "slurmctld", "slurmd", "sbatch", "sinfo", "scontrol",
            "unshare")

CONFIG = """\
ClusterName=velkortest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmdPort={slurmd_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={folder}/munge/socket
CredType=cred/munge
StateSaveLocation={folder}/state
SlurmdSpoolDir={folder}/spool
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
SlurmdParameters=config_overrides
NodeName=localhost NodeAddr=127.0.0.1 CPUs={cpus} State=UNKNOWN
PartitionName=velkor Nodes=localhost Default=YES MaxTime=INFINITE State=UP
"""

# Run as the namespace's first process: munged, then, once its socket is
# there, the controller and the node daemon, all in the foreground. --se is
# munged's (abbreviated) option for the file that keeps its random pool: its
# default lies in /var/lib/munge, which munged refuses to use as root.
LAUNCHER = """\
munged -F --key-file="$1/munge/munge.key" --socket="$1/munge/socket" \
  --pid-file="$1/munge/munged.pid" --se="$1/munge/random-pool" \
  --log-file="$1/munge/munged.log" >"$1/munged.out" 2>&1 &
tries=0
while [ ! -S "$1/munge/socket" ] && [ $tries -lt 200 ]; do sleep 0.05; tries=$((tries + 1)); done
slurmctld -D -f "$1/slurm.conf" >"$1/slurmctld.out" 2>&1 &
slurmd -D -N localhost -f "$1/slurm.conf" >"$1/slurmd.out" 2>&1 &
wait
"""


def why_unavailable():
    """None when a cluster can be started here, else the reason it cannot."""
    if os.geteuid() != 0:
        return "a Slurm test cluster needs root (munged, slurmd and a PID namespace)"
    missing = [name for name in PROGRAMS if shutil.which(name) is None]
    if missing:
        return ("not installed: " + ", ".join(missing)
                + " (Debian packages slurm-wlm, munge, util-linux)")
    probe = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        return "no PID namespace can be made here: " + probe.stderr.strip()
    return None


def _kill_processes_naming(folder):
    """Kills every process whose command line names the folder; returns how
    many there were."""
    found = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if folder.encode() in cmdline.read():
                    os.kill(int(entry), signal.SIGKILL)
                    found += 1
        except OSError:
            pass
    return found


def remove_leftovers():
    """Clears what clusters of test processes that are gone left behind."""
    for folder in glob.glob(os.path.join(tempfile.gettempdir(), PREFIX + "*")):
        match = LEFTOVER.match(os.path.basename(folder))
        if match and not process_alive(int(match[1])):
            _kill_processes_naming(folder)
            shutil.rmtree(folder, ignore_errors=True)


def _interrupt(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def _die_with_parent():
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class SlurmCluster:
    """One node, localhost, with `cpus` CPUs; its partition is the default."""

    def __init__(self, cpus):
        remove_leftovers()
        # A test stopped by SIGTERM unwinds like one stopped by Ctrl-C, through
        # stop(); a test killed outright takes the daemons with it all the same.
        if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _interrupt)
        self.folder = tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-")
        self.process = None
        # An interrupted test run skips class clean-ups, but not this.
        atexit.register(self.stop)
        try:
            self._write_files(cpus)
            self.env = dict(os.environ, SLURM_CONF=os.path.join(self.folder, "slurm.conf"))
            self.process = subprocess.Popen(
                ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child=SIGKILL",
                 "sh", "-c", LAUNCHER, "launcher", self.folder],
                stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
            self._wait_until_idle(timeout=60)
        except BaseException:
            self.stop()
            raise

    def _write_files(self, cpus):
        # munged wants its socket's directory open to all, its key to itself.
        os.chmod(self.folder, 0o755)
        for name in ("munge", "state", "spool", "jobs"):
            os.mkdir(os.path.join(self.folder, name), 0o755)
        subprocess.run(["mungekey", "--create", "--keyfile",
                        os.path.join(self.folder, "munge", "munge.key")],
                       check=True, capture_output=True)
        with open(os.path.join(self.folder, "slurm.conf"), "w") as config:
            config.write(CONFIG.format(folder=self.folder, cpus=cpus,
                                       ctld_port=closed_port(), slurmd_port=closed_port()))

    def _slurm(self, *args, env=None):
        return subprocess.run(args, env=dict(self.env, **(env or {})), capture_output=True,
                              text=True, timeout=30)

    def _wait_until_idle(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("the cluster's daemons ended: " + self.logs())
            if self._slurm("sinfo", "--noheader", "--format=%t").stdout.strip() == "idle":
                return
            time.sleep(0.2)
        raise RuntimeError(f"the node was not idle within {timeout} s: " + self.logs())

    def logs(self):
        """The daemons' own output, for a failure's message."""
        text = []
        for name in ("munged.out", "slurmctld.out", "slurmd.out"):
            try:
                with open(os.path.join(self.folder, name), errors="replace") as log:
                    text.append(f"--- {name}\n" + "".join(log.readlines()[-15:]))
            except OSError:
                pass
        return "\n".join(text)

    def run_job(self, script, args, env, ntasks, timeout):
        """Submits the batch script, with env added to the environment it
        passes on, and waits for its end. Returns the job's exit code (-1 when
        Slurm ended it) and the text of its output, standard error included."""
        output = os.path.join(self.folder, "jobs", "job-%j.out")
        submitted = self._slurm("sbatch", "--parsable", f"--ntasks={ntasks}",
                                f"--output={output}", script, *args, env=env)
        if submitted.returncode != 0:
            raise RuntimeError("sbatch refused the job: " + submitted.stderr)
        job = submitted.stdout.strip().split(";")[0]
        state = self._wait_for_end(job, timeout)
        with open(output.replace("%j", job), errors="replace") as out:
            return state, out.read()

    def _wait_for_end(self, job, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            info = self._slurm("scontrol", "--oneliner", "show", "job", job).stdout
            state = re.search(r"JobState=(\S+)", info)
            code = re.search(r"ExitCode=(\d+):", info)
            if state and state[1] not in ("PENDING", "RUNNING", "CONFIGURING", "COMPLETING"):
                return int(code[1]) if code and state[1] != "TIMEOUT" else -1
            time.sleep(0.2)
        raise RuntimeError(f"job {job} did not end within {timeout} s: " + self.logs())

    def stop(self):
        """Ends every process of the cluster and removes its directory."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        # The namespace ends with its first process, which names the folder,
        # as every daemon does.
        deadline = time.monotonic() + 10
        while _kill_processes_naming(self.folder) and time.monotonic() < deadline:
            time.sleep(0.05)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
