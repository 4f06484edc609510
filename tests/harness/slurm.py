"""A real Slurm controller for the process tests: munged with a key and a
socket of its own and Debian's slurmctld, both working in the test's
directory, slurmctld listening on loopback only (NoCtldInAddrAny).

The test nodes need no slurmd: defined State=DOWN with SlurmdTimeout=0 and
resumed once at start, they show IDLE+NOT_RESPONDING and take DRAIN and
RESUME. scontrol finds this controller through SLURM_CONF (`env`), which a
caller hands on: kestrel passes its environment to the scontrol it runs.

Two things the namespaces need. Slurm resolves even a numeric address with
AI_ADDRCONFIG, which finds no IPv4 while loopback holds only 127.0.0.1: the
controller's address is added to lo for the controller's life, which is
only allowed inside the private network namespace of
scripts/process-tests.sh. And slurmctld looks up its own host name: it runs
in UTS and mount namespaces of its own, named CTLHOST, with a hosts file
that says where that is.
"""

import os
import subprocess

from . import util

ADDR = "127.0.0.3"
PORT = 6817
CTLHOST = "slurmctl"
SCONTROL = "/usr/bin/scontrol"

CONF = """ClusterName=kestreltest
SlurmctldHost={host}({addr})
SlurmctldPort={port}
CommunicationParameters=NoCtldInAddrAny
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={socket}
SlurmUser=root
StateSaveLocation={dir}/state
SlurmctldPidFile={dir}/slurmctld.pid
SlurmctldLogFile={dir}/slurmctld.log
SlurmdTimeout=0
ReturnToService=0
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/linear
SchedulerType=sched/builtin
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
MailProg=/bin/true
NodeName={nodes} NodeAddr=127.0.0.1 CPUs=1 State=DOWN
PartitionName=test Nodes=ALL Default=YES
"""


def in_private_netns():
    """Whether this network namespace holds loopback alone, as the private
    ones of scripts/process-tests.sh do (the machine's has its network
    interfaces)."""
    out = subprocess.run(["ip", "-o", "link", "show"], capture_output=True,
                         text=True).stdout
    return [l.split(":")[1].strip() for l in out.splitlines()] == ["lo"]


class Slurm:
    """munged and slurmctld for the nodes named by the host list `nodes`
    (such as "node[01-03]")."""

    def __init__(self, workdir, nodes):
        self.dir = workdir
        self.nodes = nodes
        self.socket = os.path.join(workdir, "munge.sock")
        self.conf = os.path.join(workdir, "slurm.conf")
        self.env = dict(os.environ, SLURM_CONF=self.conf)
        self.munged = None
        self.ctld = None
        self.addr_added = False

    def start(self):
        os.makedirs(os.path.join(self.dir, "state"), exist_ok=True)
        os.chmod(self.dir, 0o700)
        key = os.path.join(self.dir, "munge.key")
        with open(key, "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(key, 0o400)
        with open(self.conf, "w") as f:
            f.write(CONF.format(host=CTLHOST, addr=ADDR, port=PORT,
                                socket=self.socket, dir=self.dir,
                                nodes=self.nodes))
        hosts = os.path.join(self.dir, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n%s %s\n" % (ADDR, CTLHOST))

        subprocess.run(["ip", "addr", "add", ADDR + "/32", "dev", "lo"],
                       check=True)
        self.addr_added = True
        log = open(os.path.join(self.dir, "daemons.log"), "ab")
        # -f: munged runs as root here, which it otherwise refuses.
        self.munged = subprocess.Popen(
            ["munged", "-F", "-f", "--key-file=" + key,
             "--socket=" + self.socket,
             "--pid-file=" + os.path.join(self.dir, "munged.pid"),
             "--log-file=" + os.path.join(self.dir, "munged.log"),
             "--seed-file=" + os.path.join(self.dir, "munged.seed")],
            stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        util.wait_until(lambda: os.path.exists(self.socket), 10,
                        what="munged's socket")
        # unshare execs sh, which execs slurmctld: one PID throughout.
        self.ctld = subprocess.Popen(
            ["unshare", "--uts", "--mount", "sh", "-c",
             "hostname %s && mount --bind %s /etc/hosts && "
             "exec slurmctld -D -i -f %s" % (CTLHOST, hosts, self.conf)],
            stdout=log, stderr=log, stdin=subprocess.DEVNULL, env=self.env)
        log.close()
        util.wait_until(self._answers, 20, interval=0.1,
                        what="slurmctld answering")
        self.scontrol("update", "NodeName=" + self.nodes, "State=RESUME")
        return self

    def _answers(self):
        if self.ctld.poll() is not None:
            raise util.timed_out("slurmctld exited with %s; its log:\n%s" % (
                self.ctld.returncode, util.read_text(
                    os.path.join(self.dir, "slurmctld.log"))[-2000:]))
        return self.scontrol("ping", check=False).returncode == 0

    def scontrol(self, *args, check=True):
        return subprocess.run([SCONTROL] + list(args), env=self.env,
                              capture_output=True, text=True, check=check,
                              timeout=30)

    def node(self, name):
        """{"State": ..., "Reason": ...} of a node; Reason without Slurm's
        [user@time], "" when there is none."""
        out = self.scontrol("show", "node", name).stdout
        rec = {"Reason": ""}
        for line in out.splitlines():
            line = line.strip()
            if line.startswith("Reason="):
                rec["Reason"] = line[7:].rsplit(" [", 1)[0]
            else:
                for field in line.split():
                    if field.startswith("State="):
                        rec["State"] = field[6:]
        return rec

    def reset(self, names):
        """Back in service, drains and reasons gone."""
        for n in names:
            if "DRAIN" in self.node(n)["State"]:
                self.scontrol("update", "NodeName=" + n, "State=RESUME")

    def stop(self):
        # Its state is thrown away: no need to wait while it saves it.
        for proc in (self.ctld, self.munged):
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()
        if self.addr_added:
            subprocess.run(["ip", "addr", "del", ADDR + "/32", "dev", "lo"],
                           check=False)
            self.addr_added = False
