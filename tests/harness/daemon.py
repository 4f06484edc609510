"""Starts kestrel in a private mount namespace and talks to it through files.

Inside the namespace /etc/hosts maps every <name>-ipmi to the address the test
gives it, and /usr/bin/ssh is a stand-in that records its arguments instead of
logging in anywhere, so an automatic shutdown can never power off a real host.
"""

import os
import shlex
import signal
import subprocess
import time

from . import util

SSH_STANDIN = """#!/bin/sh
# Recording stand-in for the ssh client: never contacts anything.
echo "$(date +%s) $*" >> {log}
{extra}
exit 0
"""


# The daemons started since the last forget_started(), for time-out messages.
STARTED = []
STDERR_TAIL = 3000  # characters of a daemon's stderr in a time-out message


def describe_started():
    return "\n".join(k.describe() for k in STARTED)


def forget_started():
    del STARTED[:]


util.TIMEOUT_NOTES.append(describe_started)


def write_config(datadir, chassis_text, cluster_text):
    os.makedirs(datadir, exist_ok=True)
    with open(os.path.join(datadir, "chassis.dat"), "w") as f:
        f.write(chassis_text)
    cluster = os.path.join(datadir, "cluster.dat")
    with open(cluster, "w") as f:
        f.write(cluster_text)
    # Owner-only, as the README asks: the cluster file holds BMC passwords.
    os.chmod(cluster, 0o600)


class Kestrel:
    """One kestrel process. `hosts` maps node names to loopback addresses."""

    def __init__(self, datadir, hosts=None, foreground=True, args=None,
                 ssh_extra="", env=None, wrapper=None, program=None,
                 nameserver=None):
        self.datadir = datadir
        self.hosts = hosts or {}
        self.nameserver = nameserver  # the only one, when set
        self.stdout_path = os.path.join(datadir, "kestrel.stdout")
        self.stderr_path = os.path.join(datadir, "kestrel.stderr")
        self.ssh_log = os.path.join(datadir, "ssh.log")
        self.proc = None
        self.foreground = foreground
        self.args = args
        self.ssh_extra = ssh_extra
        self.env = env
        self.wrapper = wrapper or []
        self.program = program  # default: kestrel of the build under test

    # -- files the daemon makes -------------------------------------------
    @property
    def nodewatch(self):
        return os.path.join(self.datadir, "nodewatch.dat")

    @property
    def nodecommands(self):
        return os.path.join(self.datadir, "nodecommands.dat")

    @property
    def autonodeconf(self):
        return os.path.join(self.datadir, "autonodeconf.dat")

    def stderr(self):
        return util.read_text(self.stderr_path)

    def describe(self):
        """Whether the daemon still runs and the tail of its stderr."""
        if self.proc is None:
            state = "not started"
        elif self.proc.poll() is None:
            state = "still running (PID %d)" % self.proc.pid
        else:
            state = "exited with status %d" % self.proc.returncode
        tail = self.stderr()[-STDERR_TAIL:]
        return "kestrel in %s: %s; its stderr %s:\n%s" % (
            self.datadir, state, "ends" if tail else "is empty", tail)

    def stdout(self):
        return util.read_text(self.stdout_path)

    def ssh_calls(self):
        return [l for l in util.read_text(self.ssh_log).splitlines() if l]

    # -- life cycle --------------------------------------------------------
    def _namespace_script(self):
        hosts = os.path.join(self.datadir, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n")
            for name, addr in self.hosts.items():
                f.write("%s %s-ipmi\n" % (addr, name))
        ssh = os.path.join(self.datadir, "ssh-standin")
        with open(ssh, "w") as f:
            f.write(SSH_STANDIN.format(log=shlex.quote(self.ssh_log),
                                       extra=self.ssh_extra))
        os.chmod(ssh, 0o755)
        mounts = "mount --bind %s /etc/hosts && mount --bind %s /usr/bin/ssh" % (
            shlex.quote(hosts), shlex.quote(ssh))
        if self.nameserver:
            resolv = os.path.join(self.datadir, "resolv.conf")
            with open(resolv, "w") as f:
                f.write("nameserver %s\n" % self.nameserver)
            mounts += " && mount --bind %s /etc/resolv.conf" % shlex.quote(resolv)
        program = self.program or util.binary("kestrel")
        if self.args is not None:
            argv = [program] + list(self.args)
        else:
            argv = [program] + (["-d"] if self.foreground else []) + [
                "-p", self.datadir]
        argv = list(self.wrapper) + argv
        return "%s && exec %s" % (mounts,
                                  " ".join(shlex.quote(a) for a in argv))

    def start(self):
        out = open(self.stdout_path, "wb")
        err = open(self.stderr_path, "wb")
        env = dict(os.environ)
        env.update(self.env or {})
        # unshare execs sh, which execs kestrel: one PID throughout.
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "sh", "-c", self._namespace_script()],
            stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env)
        out.close()
        err.close()
        STARTED.append(self)
        return self

    def wait_exit(self, timeout=20):
        return self.proc.wait(timeout=timeout)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_stderr(self, text, timeout=15):
        return util.wait_until(lambda: text in self.stderr(), timeout,
                               what="%r on kestrel's stderr" % text)

    def wait_ready(self, timeout=15):
        """Waits until start-up is complete (the pipes exist)."""
        util.wait_until(lambda: os.path.exists(self.nodewatch)
                        and os.path.exists(self.nodecommands), timeout,
                        what="kestrel's pipes")
        return self

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if not self.running():
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise util.timed_out("kestrel did not end within %.1f s of signal %d"
                                 % (timeout, sig))

    # -- pipes ---------------------------------------------------------------
    def snapshot(self, timeout=10):
        """Reads one snapshot from nodewatch.dat as text."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                fd = os.open(self.nodewatch, os.O_RDONLY | os.O_NONBLOCK)
                break
            except FileNotFoundError:
                if time.monotonic() > deadline:
                    raise util.timed_out("no %s after %.1f s" % (
                        self.nodewatch, timeout))
                time.sleep(0.05)
        os.set_blocking(fd, True)
        chunks = []
        with os.fdopen(fd, "rb") as f:
            # The writer may not have opened its end yet: a non-blocking open
            # of an idle FIFO reads EOF at once, so wait for the first byte.
            while True:
                data = f.read()
                if data:
                    chunks.append(data)
                    break
                if time.monotonic() > deadline:
                    break
                time.sleep(0.02)
        return b"".join(chunks).decode("ascii", "replace")

    def records(self, timeout=10):
        """Parses a snapshot into {node name: {key: value}}."""
        return parse_snapshot(self.snapshot(timeout))

    def command(self, text):
        """Writes command lines into nodecommands.dat in one write."""
        fd = os.open(self.nodecommands, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, text.encode())
        finally:
            os.close(fd)


def parse_snapshot(text):
    nodes = {}
    current = None
    for line in text.splitlines():
        key, _, rest = line.partition(" ")
        if key == "$TIME":
            current = {"TIME": int(rest, 16)}
        elif key == "$NODE":
            name = rest.split(" ", 1)[1]
            nodes[name] = current
        elif key.startswith("$$") and current is not None:
            values = [int(v) for v in rest.split()] if rest else []
            current[key[2:]] = values
    for rec in nodes.values():
        rec["DEAD"] = rec["DEAD"][0]
        rec["POWER"] = rec["POWER"][0]
    return nodes
