"""Simulated BMCs: one OpenIPMI ipmi_sim per node, on loopback only.

Node i (1-based) is named nodeNN and its BMC listens on 127.0.0.(10+i):623
(IPMI over LAN, user admin, password secret), with its console on port 9000
of the same address. Its system event log holds 1000 entries (see
`emu_variant` for others). MC 20h carries the threshold sensors "CPU Temp" (raw =
degrees C), "12V" (raw x 0.06 V) and "FAN1" (raw x 50 RPM) and the discrete
sensors "PSU1 Status" (type 08h) and "CMOS Battery" (type 29h). Chassis
power goes through tests/assets/ipmi/chassis_control, which keeps the power
state in a file and logs every command it is given.

Rules learnt the hard way: ipmi_sim dies of SIGPIPE when a console client
goes away early, so it runs with SIGPIPE ignored; readiness is seen with ss,
never by connecting and closing; the console has a backlog of one, so each
simulator gets one console connection for its whole life; "quit" and
"mc_enable" are never sent at run time.
"""

import os
import signal
import socket
import subprocess
import time

from . import util

ASSETS = os.path.join(util.ASSETS, "ipmi")
CHASSIS_CONTROL = os.path.join(ASSETS, "chassis_control")

# Sensor numbers on MC 20h.
CPU_TEMP = 1
V12 = 2
FAN1 = 3
PSU1 = 4
BATTERY = 5

# Offsets of the discrete sensors.
PS_PRESENT, PS_FAIL, PS_PREDFAIL, PS_ACLOST = 0, 1, 2, 3
BAT_LOW, BAT_FAIL, BAT_PRESENT = 0, 1, 2

USER = "admin"
PASSWORD = "secret"


def node_name(i):
    return "node%02d" % i


def node_addr(i):
    """127.0.0.(10+i) for the first 245 nodes; then 127.0.1.1, 127.0.1.2,
    ... (host bytes 1..254 only), which leaves room for 512 nodes and more."""
    if i <= 245:
        return "127.0.0.%d" % (10 + i)
    j = i - 246
    return "127.0.%d.%d" % (1 + j // 254, 1 + j % 254)


def build_emu(workdir):
    """Compiles the SDR source and writes the simulator's command file."""
    os.makedirs(workdir, exist_ok=True)
    path = os.path.join(workdir, "node.emu")
    if os.path.exists(path):
        return path
    bsdr = os.path.join(workdir, "node.bsdr")
    subprocess.run(["sdrcomp", "-8", "-r", "-o", bsdr,
                    os.path.join(ASSETS, "node.sdrs")], check=True,
                   capture_output=True)
    with open(bsdr, "rb") as f:
        data = f.read()
    lines = []
    i = 0
    while i < len(data):
        record = data[i:i + 5 + data[i + 4]]  # header + body length
        hexes = ["0x%02x" % b for b in record]
        rows = [" ".join(hexes[j:j + 16]) for j in range(0, len(hexes), 16)]
        lines.append("main_sdr_add 0x20 \\\n\t" + " \\\n\t".join(rows))
        i += len(record)
    with open(os.path.join(ASSETS, "emu-head.in")) as f:
        head = f.read()
    with open(os.path.join(ASSETS, "emu-tail.in")) as f:
        tail = f.read()
    with open(path, "w") as f:
        f.write(head + "\n".join(lines) + "\n" + tail)
    return path


def emu_variant(workdir, name, sel_entries=None, sel_device=True):
    """A command file like build_emu's with a SEL of `sel_entries` entries,
    or, with sel_device false, a BMC that has no SEL at all."""
    text = util.read_text(build_emu(workdir))
    if not sel_device:
        text = text.replace(SEL_ENABLE, "").replace(SUPPORT, SUPPORT_NO_SEL)
    elif sel_entries:
        text = text.replace(SEL_ENABLE, "sel_enable 0x20 %d 0x0a" % sel_entries)
    path = os.path.join(workdir, name + ".emu")
    with open(path, "w") as f:
        f.write(text)
    return path


# Lines of emu-head.in that emu_variant changes; the support byte's bit 2
# says the BMC has a SEL.
SEL_ENABLE = "sel_enable 0x20 1000 0x0a"
SUPPORT = "0x01   1     0x02  0x9f"
SUPPORT_NO_SEL = "0x01   1     0x02  0x9b"

# Sensor types and event/reading types of SEL entries.
SEL_PROCESSOR, SEL_POWER_SUPPLY, SEL_MEMORY = 0x07, 0x08, 0x0c
SEL_THRESHOLD, SEL_SPECIFIC = 0x01, 0x6f


class SimError(RuntimeError):
    pass


class Console:
    """The one console connection to a running simulator."""

    def __init__(self, host, port=9000, timeout=5.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self._read_prompt()

    def _read_prompt(self):
        buf = b""
        while not buf.endswith(b"> "):
            data = self.sock.recv(4096)
            if not data:
                raise SimError("console closed")
            buf += data
        return buf

    def cmd(self, line):
        word = line.split()[0]
        if word in ("quit", "mc_enable"):
            raise ValueError("refusing to send %r to a running ipmi_sim" % line)
        self.sock.sendall(line.encode() + b"\n")
        reply = self._read_prompt().decode(errors="replace")
        errors = [l for l in reply.replace("\r", "").split("\n")
                  if l.startswith("**")]
        if errors:
            raise SimError("%r: %s" % (line, " ".join(errors)))

    def close(self):
        self.sock.close()


class Sim:
    """One simulated BMC. Only the process it started is ever signalled.
    With `persist` it keeps its state, its SEL among it, across restarts,
    like a real BMC."""

    def __init__(self, index, workdir, emu, persist=False):
        self.index = index
        self.name = node_name(index)
        self.addr = node_addr(index)
        self.dir = os.path.join(workdir, self.name)
        self.statedir = os.path.join(self.dir, "chassis")
        self.emu = emu
        self.proc = None
        self.console = None
        self.persist = persist
        os.makedirs(self.statedir, exist_ok=True)
        self.conf = os.path.join(self.dir, "lan.conf")
        with open(os.path.join(ASSETS, "lan.conf.in")) as f:
            text = f.read()
        for key, value in (("@NAME@", self.name), ("@ADDR@", self.addr),
                           ("@CHASSIS_CONTROL@", CHASSIS_CONTROL),
                           ("@STATEDIR@", self.statedir)):
            text = text.replace(key, value)
        with open(self.conf, "w") as f:
            f.write(text)

    # -- life cycle --------------------------------------------------------
    def start(self):
        log = open(os.path.join(self.dir, "ipmi_sim.log"), "ab")
        persist = os.path.join(self.dir, "persist")
        os.makedirs(persist, exist_ok=True)
        self.proc = subprocess.Popen(
            ["ipmi_sim", "-c", self.conf, "-f", self.emu, "-s", persist, "-n"]
            + ([] if self.persist else ["-p"]),
            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
        log.close()
        return self

    def wait_ready(self, timeout=10):
        """The console listens once the command file has run."""
        def listening():
            if self.proc.poll() is not None:
                raise SimError("%s exited with %s" % (self.name, self.proc.returncode))
            out = subprocess.run(["ss", "-Htln", "src %s:9000" % self.addr],
                                 capture_output=True, text=True).stdout
            return out.strip() != ""
        util.wait_until(listening, timeout, what="%s's console" % self.name)
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self):
        """Kills the simulator at once, as a BMC that drops off the net."""
        if self.console:
            self.console.close()
            self.console = None
        if self.running():
            self.proc.kill()
        if self.proc:
            self.proc.wait(timeout=10)

    def restart(self):
        self.kill()
        return self.start().wait_ready()

    def stop(self):
        if self.console:
            self.console.close()
            self.console = None
        if self.running():
            util.stop_process(self.proc)

    # -- console -------------------------------------------------------------
    def _console(self):
        if self.console is None:
            self.console = Console(self.addr)
        return self.console

    def set_value(self, sensor, raw):
        """Sets a threshold sensor's raw reading."""
        self._console().cmd("sensor_set_value 0x20 0 %d %d 1" % (sensor, raw))

    def set_bit(self, sensor, bit, value):
        """Sets or clears one state bit of a discrete sensor."""
        self._console().cmd("sensor_set_bit 0x20 0 %d %d %d 1"
                            % (sensor, bit, 1 if value else 0))

    def sel_add(self, sensor_type, sensor, offset, event_type=SEL_SPECIFIC,
                asserted=True):
        """Writes a system event record into the SEL; the simulator stamps
        it with its own clock (seconds since the machine booted)."""
        direction = event_type | (0 if asserted else 0x80)
        self._console().cmd(
            "sel_add 0x20 0x02 0 0 0 0 0x20 0 0x04 %d %d %d %d 0xff 0xff"
            % (sensor_type, sensor, direction, offset))

    def ipmitool(self, *args):
        """Runs ipmitool against this BMC over the LAN; its output."""
        return subprocess.run(
            ["ipmitool", "-I", "lanplus", "-C", "3", "-H", self.addr,
             "-U", USER, "-P", PASSWORD] + list(args),
            capture_output=True, text=True, check=True, timeout=30).stdout

    # -- chassis -------------------------------------------------------------
    def chassis_log(self):
        """Chassis commands received, in order: "power 0", "reset 1", ..."""
        text = util.read_text(os.path.join(self.statedir, "chassis.log"))
        return [l.split(" ", 1)[1] for l in text.splitlines() if " " in l]

    def refuse_commands(self, refuse=True):
        """Makes the BMC turn chassis control commands down, or not."""
        path = os.path.join(self.statedir, "refuse")
        if refuse:
            open(path, "w").close()
        elif os.path.exists(path):
            os.unlink(path)

    def power(self):
        """The simulated power state: 1 on, 0 off."""
        text = util.read_text(os.path.join(self.statedir, "power")).strip()
        return int(text) if text else 1


class SimSet:
    """Simulators for nodes 1..n; `start=False` leaves them to the test."""

    def __init__(self, workdir, count, start=True):
        os.makedirs(workdir, exist_ok=True)
        emu = build_emu(workdir)
        self.sims = [Sim(i, workdir, emu) for i in range(1, count + 1)]
        if start:
            for s in self.sims:
                s.start()
            for s in self.sims:
                s.wait_ready()

    def __getitem__(self, name):
        for s in self.sims:
            if s.name == name:
                return s
        raise KeyError(name)

    def __iter__(self):
        return iter(self.sims)

    def hosts(self):
        """Node name to BMC address, for the daemon's /etc/hosts."""
        return {s.name: s.addr for s in self.sims}

    def stop_all(self):
        for s in self.sims:
            s.stop()
