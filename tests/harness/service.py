"""kestrel confined as its systemd unit says, where systemd is not PID 1.

Each setting of the unit's [Service] section becomes its equivalent here:
mount-namespace steps (read-only and private mounts, a private /dev and
/proc), setpriv for no-new-privileges and the capability bounding set, new
UTS and IPC namespaces, and seccomp filters built with libseccomp from the
system-call groups that systemd-analyze lists, with the actions systemd
uses. A setting this module does not know is refused, so the unit cannot
gain one that the daemon was never run under.

The daemon is reached through a chain of programs that each exec the next,
so it keeps the PID the harness started (tests/harness/daemon.py):
  unshare --uts --ipc -> python3 -c <this file> mounts -> setpriv ->
  python3 -c <this file> seccomp -> the daemon
Both stages take this file's code and their settings as arguments, never as
paths: the "mounts" stage may hide the directories that hold them (a
checkout under /tmp or /home, the test's own directory).
"""

import ctypes
import errno
import json
import os
import resource
import shlex
import subprocess
import sys

PYTHON = "/usr/bin/python3"

# Settings that say how the service runs, not how it is confined.
NOT_CONFINEMENT = {"Type", "ExecStart", "ExecReload", "Restart", "RestartSec"}

# What a private /dev holds (systemd's PrivateDevices=), beside the paths
# the unit binds into it.
PRIVATE_DEV_NODES = ["/dev/null", "/dev/zero", "/dev/full", "/dev/random",
                     "/dev/urandom", "/dev/tty"]
PRIVATE_DEV_DIRS = ["/dev/shm", "/dev/mqueue"]
PRIVATE_DEV_LINKS = {"fd": "/proc/self/fd", "stdin": "/proc/self/fd/0",
                     "stdout": "/proc/self/fd/1", "stderr": "/proc/self/fd/2"}
HOME_DIRS = ["/home", "/root", "/run/user"]
TEMP_DIRS = ["/var/tmp", "/tmp"]  # /tmp last: the staging area lies in it
API_FILESYSTEMS = ["/proc", "/sys", "/dev"]  # left writable by ProtectSystem
KERNEL_TUNABLES = ["/proc/sys", "/proc/sysrq-trigger", "/proc/latency_stats",
                   "/proc/acpi", "/proc/timer_stats", "/proc/asound",
                   "/proc/bus", "/proc/fs", "/proc/irq", "/sys"]
KERNEL_MODULES = ["/lib/modules", "/usr/lib/modules"]
KERNEL_LOGS = ["/proc/kmsg", "/dev/kmsg"]

CLONE_NEW = [0x00020000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
             0x20000000, 0x40000000, 0x00000080]  # NS CGROUP UTS IPC USER PID NET TIME
PROT_WRITE, PROT_EXEC, SHM_EXEC = 0x2, 0x4, 0o100000
O_CREAT = 0o100
S_ISUID, S_ISGID = 0o4000, 0o2000
SCHED_RESET_ON_FORK = 0x40000000
SCHED_REALTIME = [1, 2, 6]  # FIFO, RR, DEADLINE
AF_MAX = 46
PERSONALITY_QUERY = 0xffffffff
FAMILIES = {"AF_UNIX": 1, "AF_INET": 2, "AF_INET6": 10, "AF_NETLINK": 16,
            "AF_PACKET": 17}
CAPABILITIES = {"CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH",
                "CAP_FOWNER", "CAP_KILL", "CAP_NET_BIND_SERVICE",
                "CAP_NET_RAW", "CAP_SETUID", "CAP_SETGID", "CAP_SYS_ADMIN"}
# Modes and their argument positions, for RestrictSUIDSGID=.
MODE_ARGUMENT = {"chmod": 1, "fchmod": 1, "fchmodat": 2, "mkdir": 1,
                 "mkdirat": 2, "mknod": 1, "mknodat": 2, "creat": 1}
CREATE_ARGUMENTS = {"open": (1, 2), "openat": (2, 3)}  # flags, mode


def parse_unit(path):
    """The (key, value) pairs of the unit's [Service] section, in order."""
    entries, section = [], None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]":
                key, _, value = line.partition("=")
                entries.append((key.strip(), value.strip()))
    return entries


def syscall_groups():
    """{"@group": [members]} as systemd-analyze lists them."""
    out = subprocess.run(["systemd-analyze", "syscall-filter"], check=True,
                         capture_output=True, text=True).stdout
    groups, current = {}, None
    for line in out.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), [])
        elif not line.startswith(" "):
            current = None
        elif current is not None and not line.strip().startswith("#"):
            current.append(line.strip())
    return groups


def expand(names, groups):
    out = set()
    for name in names:
        out |= expand(groups[name], groups) if name.startswith("@") else {name}
    return out


class Confinement:
    """The equivalents of one unit's settings. `paths` maps the unit's
    paths to the test's (its data directory); `keep` lists test paths that
    stay visible read-only in a private /tmp (the package's files); `site`
    lists (source, target) binds made first, as the machine's own setup
    (the operator's /root/.ssh)."""

    def __init__(self, unit_path, workdir, paths, keep=(), site=()):
        self.workdir = workdir
        self.paths = paths
        self.unshare = []
        self.nnp = False
        self.bounding = None
        self.dropped = set()
        self.covers = {}        # path -> read-only?
        self.binds = []         # (source, read-only)
        self.keep = list(keep)
        self.site = list(site)
        self.site = list(site)
        self.writable = []
        self.strict = False
        self.readonly = []
        self.inaccessible = []
        self.proc = []
        self.private_dev = False
        self.allow = None       # syscalls of an allow-list filter
        self.errno = []         # (syscall, errno, [(arg, op, a, b)])
        self.groups = syscall_groups()
        self.execstart = None
        self.nofile = None
        for key, value in parse_unit(unit_path):
            if key == "ExecStart":
                self.execstart = shlex.split(value)
            if key in NOT_CONFINEMENT:
                continue
            handler = getattr(self, "set_" + key, None)
            if handler is None:
                raise ValueError("no equivalent for %s=%s" % (key, value))
            handler(value)

    def map(self, path):
        return self.paths.get(path, path)

    # -- one method per setting ----------------------------------------------
    def set_NoNewPrivileges(self, value):
        self.nnp = value == "yes"

    def set_CapabilityBoundingSet(self, value):
        self.bounding = set(value.split())
        assert self.bounding <= CAPABILITIES, value

    def set_ProtectSystem(self, value):
        assert value == "strict", value
        self.strict = True

    def set_ReadWritePaths(self, value):
        self.writable += [self.map(p.lstrip("-")) for p in value.split()]

    def set_ProtectHome(self, value):
        assert value == "tmpfs", value
        for p in HOME_DIRS:
            self.covers[p] = True

    def set_BindReadOnlyPaths(self, value):
        self.binds += [(p, True) for p in value.split()]

    def set_BindPaths(self, value):
        self.binds += [(p, False) for p in value.split()]

    def set_PrivateTmp(self, value):
        assert value == "yes", value
        for p in TEMP_DIRS:
            self.covers[p] = False

    def set_PrivateDevices(self, value):
        assert value == "yes", value
        self.private_dev = True
        self.covers["/dev"] = False
        self.dropped |= {"CAP_MKNOD", "CAP_SYS_RAWIO"}
        self.deny("@raw-io", errno.EPERM)

    def set_DeviceAllow(self, value):
        # A private /dev holds only the nodes the unit allows: the basic
        # ones and those it binds in.
        assert self.private_dev, "DeviceAllow= needs PrivateDevices= here"

    def set_PrivateIPC(self, value):
        assert value == "yes", value
        self.unshare.append("--ipc")

    def set_PrivateMounts(self, value):
        # The harness starts the daemon in a mount namespace of its own.
        assert value == "yes", value

    def set_ProtectKernelTunables(self, value):
        self.readonly += KERNEL_TUNABLES

    def set_ProtectKernelModules(self, value):
        self.inaccessible += KERNEL_MODULES
        self.dropped.add("CAP_SYS_MODULE")
        self.deny("@module", errno.EPERM)

    def set_ProtectKernelLogs(self, value):
        self.inaccessible += KERNEL_LOGS
        self.dropped.add("CAP_SYSLOG")
        self.deny("syslog", errno.EPERM)

    def set_ProtectControlGroups(self, value):
        self.readonly.append("/sys/fs/cgroup")

    def set_ProtectClock(self, value):
        self.deny("@clock", errno.EPERM)

    def set_ProtectHostname(self, value):
        self.unshare.append("--uts")
        self.deny("sethostname", errno.EPERM)
        self.deny("setdomainname", errno.EPERM)

    def set_ProtectProc(self, value):
        self.proc.append("hidepid=" + value)

    def set_ProcSubset(self, value):
        self.proc.append("subset=" + value)

    def set_RestrictAddressFamilies(self, value):
        allowed = {FAMILIES[f] for f in value.split()}
        for family in range(AF_MAX):
            if family not in allowed:
                self.errno.append(("socket", errno.EAFNOSUPPORT,
                                   [(0, "EQ", family, 0)]))

    def set_RestrictNamespaces(self, value):
        assert value == "yes", value
        for flag in CLONE_NEW:
            for call in ("unshare", "clone"):
                self.errno.append((call, errno.EPERM,
                                   [(0, "MASKED_EQ", flag, flag)]))
        self.deny("setns", errno.EPERM)
        self.deny("clone3", errno.ENOSYS)  # flags out of reach: glibc falls back

    def set_LimitNOFILE(self, value):
        # Raising the hard limit needs CAP_SYS_RESOURCE, which the test may
        # lack: it gets what the harness's own hard limit allows.
        self.nofile = min(int(value), resource.getrlimit(resource.RLIMIT_NOFILE)[1])

    def set_RestrictRealtime(self, value):
        for policy in SCHED_REALTIME:
            self.errno.append(("sched_setscheduler", errno.EPERM, [
                (1, "MASKED_EQ", ~SCHED_RESET_ON_FORK & 0xffffffff, policy)]))

    def set_RestrictSUIDSGID(self, value):
        for bit in (S_ISUID, S_ISGID):
            for call, arg in MODE_ARGUMENT.items():
                self.errno.append((call, errno.EPERM,
                                   [(arg, "MASKED_EQ", bit, bit)]))
            for call, (flags, mode) in CREATE_ARGUMENTS.items():
                self.errno.append((call, errno.EPERM, [
                    (flags, "MASKED_EQ", O_CREAT, O_CREAT),
                    (mode, "MASKED_EQ", bit, bit)]))
        self.deny("openat2", errno.ENOSYS)

    def set_LockPersonality(self, value):
        libc = ctypes.CDLL(None, use_errno=True)
        current = libc.personality(ctypes.c_ulong(PERSONALITY_QUERY))
        self.errno.append(("personality", errno.EPERM,
                           [(0, "NE", current, 0)]))

    def set_MemoryDenyWriteExecute(self, value):
        both = PROT_WRITE | PROT_EXEC
        self.errno += [
            ("mmap", errno.EPERM, [(2, "MASKED_EQ", both, both)]),
            ("mprotect", errno.EPERM, [(2, "MASKED_EQ", PROT_EXEC, PROT_EXEC)]),
            ("pkey_mprotect", errno.EPERM,
             [(2, "MASKED_EQ", PROT_EXEC, PROT_EXEC)]),
            ("shmat", errno.EPERM, [(2, "MASKED_EQ", SHM_EXEC, SHM_EXEC)])]

    def set_SystemCallArchitectures(self, value):
        # libseccomp filters hold the native architecture only; a call
        # through another ABI meets their bad-architecture action: kill.
        assert value == "native", value

    def set_SystemCallFilter(self, value):
        names = value.split()
        if names[0].startswith("~"):
            names[0] = names[0][1:]
            for name in expand(names, self.groups):
                self.errno.append((name, errno.EPERM, []))
        else:
            listed = expand(names, self.groups)
            self.allow = listed if self.allow is None else self.allow | listed

    def deny(self, name, err):
        for call in expand([name], self.groups):
            self.errno.append((call, err, []))

    # -- the chain of programs -----------------------------------------------
    def mounts_plan(self):
        return {"workdir": self.workdir, "site": self.site,
                "covers": self.covers,
                "binds": self.binds, "keep": self.keep,
                "writable": self.writable, "strict": self.strict,
                "readonly": self.readonly, "inaccessible": self.inaccessible,
                "proc": self.proc, "private_dev": self.private_dev}

    def seccomp_plan(self):
        return {"allow": sorted(self.allow) if self.allow is not None else None,
                "errno": self.errno}

    def wrapper(self):
        """The programs to put before the daemon's command line."""
        # Each stage gets this file's code as an argument, not its path:
        # the mounts stage may cover the directory it lies in (a checkout
        # under /tmp or /home), and the seccomp stage runs after it.
        with open(__file__) as f:
            me = ["-c", f.read()]
        chain = ["unshare"] + self.unshare + [
            PYTHON] + me + ["mounts", json.dumps(self.mounts_plan()), "--"]
        setpriv = ["setpriv"]
        if self.nofile is not None:
            setpriv = ["prlimit", "--nofile=%d:%d" % (self.nofile, self.nofile),
                       "--"] + setpriv
        if self.nnp:
            setpriv.append("--no-new-privs")
        if self.bounding is not None:
            kept = self.bounding - self.dropped
            setpriv += ["--inh-caps=-all", "--bounding-set=" + ",".join(
                ["-all"] + ["+" + c[4:].lower() for c in sorted(kept)])]
        return chain + setpriv + ["--", PYTHON] + me + ["seccomp",
                                  json.dumps(self.seccomp_plan()), "--"]


# -- the stages, run inside the namespaces -------------------------------------
def run(*argv):
    subprocess.run(argv, check=True)


def bind(source, target, readonly=False):
    if os.path.isdir(source):
        os.makedirs(target, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        open(target, "a").close()
    run("mount", "--bind", source, target)
    if readonly:
        run("mount", "-o", "remount,bind,ro", target)


def under(path, top):
    return path == top or path.startswith(top.rstrip("/") + "/")


def mountpoints():
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    return sorted(set(p for p in points if "\\" not in p))


def do_mounts(plan):
    work = plan["workdir"]
    for source, target in plan["site"]:
        bind(source, target)
    # Inaccessible paths: a mode-000 stand-in, out of reach without
    # CAP_DAC_OVERRIDE.
    blocked_dir = os.path.join(work, "inaccessible-dir")
    blocked_file = os.path.join(work, "inaccessible-file")
    os.makedirs(blocked_dir, exist_ok=True)
    open(blocked_file, "a").close()
    for p in (blocked_dir, blocked_file):
        os.chmod(p, 0)
    for p in plan["inaccessible"]:
        if os.path.lexists(p) and not (plan["private_dev"] and under(p, "/dev")):
            run("mount", "--bind", blocked_dir if os.path.isdir(p)
                else blocked_file, p)
    # Covers: a new tmpfs per path, filled with what must stay visible, then
    # moved into place (so its sources are reached before they are hidden).
    binds = [(s.lstrip("-"), ro, s.startswith("-")) for s, ro in plan["binds"]]
    keeps = binds + [(p, False, False) for p in plan["writable"]] + [
        (p, True, False) for p in plan["keep"]]
    if plan["private_dev"]:
        keeps += [(p, False, True) for p in PRIVATE_DEV_NODES + PRIVATE_DEV_DIRS]
    order = sorted(plan["covers"], key=lambda p: TEMP_DIRS.index(p) + 1
                   if p in TEMP_DIRS else 0)
    placed = set()
    for i, top in enumerate(order):
        if not os.path.isdir(top):
            continue
        staging = os.path.join(work, "cover%d" % i)
        os.makedirs(staging, exist_ok=True)
        run("mount", "-t", "tmpfs", "-o", "mode=%s" % (
            "1777" if top in TEMP_DIRS else "0755"), "cover", staging)
        for source, ro, optional in keeps:
            if under(source, top) and source != top:
                placed.add(source)
                if os.path.exists(source):
                    bind(source, staging + source[len(top):], ro)
                elif not optional:
                    raise FileNotFoundError(source)
        if top == "/dev":
            for name, target in PRIVATE_DEV_LINKS.items():
                os.symlink(target, os.path.join(staging, name))
        if plan["covers"][top]:
            run("mount", "-o", "remount,ro", staging)
        run("mount", "--move", staging, top)
    for source, ro, optional in binds:
        if source not in placed and (os.path.exists(source) or not optional):
            bind(source, source, ro)
    if plan["proc"]:
        run("mount", "-t", "proc", "-o", ",".join(plan["proc"]), "proc", "/proc")
    exempt = list(plan["writable"]) + [p for p in plan["covers"]
                                       if not plan["covers"][p]]
    readonly = [p for p in plan["readonly"] if os.path.exists(p)]
    for p in readonly:
        if p not in mountpoints():
            bind(p, p)
    for point in mountpoints():
        strict = plan["strict"] and not any(under(point, p) for p in
                                            exempt + API_FILESYSTEMS)
        if strict or any(under(point, p) for p in readonly):
            run("mount", "-o", "remount,bind,ro", point)


def load_seccomp(plan):
    import seccomp
    ops = {"EQ": seccomp.EQ, "NE": seccomp.NE, "MASKED_EQ": seccomp.MASKED_EQ}
    # The errno rules first: once the allow list is loaded, loading another
    # filter is no longer permitted.
    deny = seccomp.SyscallFilter(seccomp.ALLOW)
    for call, err, conditions in plan["errno"]:
        args = [seccomp.Arg(i, ops[op], a, b) for i, op, a, b in conditions]
        try:
            deny.add_rule(seccomp.ERRNO(err), call, *args)
        except (RuntimeError, ValueError):
            pass  # not a system call of this architecture
    deny.load()
    if plan["allow"] is not None:
        allow = seccomp.SyscallFilter(seccomp.KILL_PROCESS)
        for call in plan["allow"]:
            try:
                allow.add_rule(seccomp.ALLOW, call)
            except (RuntimeError, ValueError):
                pass
        allow.load()


def main(argv):
    stage, plan, rest = argv[1], json.loads(argv[2]), argv[4:]
    if stage == "mounts":
        do_mounts(plan)
    else:
        load_seccomp(plan)
    os.execvp(rest[0], rest)


if __name__ == "__main__":
    main(sys.argv)
