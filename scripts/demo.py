#!/usr/bin/python3
"""The simulated-cluster demo behind scripts/demo.sh.

  demo.py run [--dir DIR] [--keep]    start the cluster and kestrel, show the table
  demo.py set NODE SENSOR VALUE       change a simulated reading of a running demo
  demo.py mail                        print the e-mails the demo's server received
  demo.py probe NODE                  a demo node's BMC as a chassis section

`run` moves itself into a private network namespace (only loopback, so the
simulated BMCs on 127.0.0.x and the SMTP server can reach nothing else and
collide with nothing else) and starts, all on loopback: four ipmi_sim BMCs of
two chassis types, one OpenBMC test BMC over TLS, an SMTP server that keeps
every message, and `kestrel -d` in a private mount namespace of its own (its
/etc/hosts names the BMCs; /usr/bin/ssh is a recording stand-in, so an
automatic shutdown touches no real host). It then draws the status of every
node from nodewatch.dat until it is interrupted, and on SIGINT, SIGTERM or
SIGHUP stops what it started (by PID) and removes its directory.

`set` reaches the running demo through the Unix socket in its directory: the
runner owns the one console connection that each simulator allows.
"""

import argparse
import base64
import ctypes
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from tests.harness import chassis, daemon, ipmisim, util  # noqa: E402

try:  # the TLS test BMC and the SMTP server may be absent from older trees
    from tests.harness import openbmc
except ImportError:
    openbmc = None
try:
    from tests.harness import smtp
except ImportError:
    smtp = None
try:
    from tests.harness import redfish
except ImportError:
    redfish = None

DEFAULT_DIR = os.path.join(ROOT, "build", "demo")
SMTP_ADDR, SMTP_PORT = "127.0.0.2", 2525
EMAIL_TO = "ops@cluster.example"
EMAIL_FROM = "kestrel@cluster.example"
REFRESH = 2.0        # seconds between two tables
SETTLING = 180       # limits are not compared before a node settled
RIPENING = 6 * 6     # six further checks, 6 s apart, before an alert is due

# Four ipmi_sim nodes, two of each chassis type; node05 is the OpenBMC one.
IPMI_NODES = [("node01", "compute"), ("node02", "compute"),
              ("node03", "storage"), ("node04", "storage")]
OBMC_NODE, OBMC_ADDR = "node05", "127.0.0.15"
RF_NODE, RF_ADDR = "node06", "127.0.0.16"

CHASSIS_DAT = ("""\
! Chassis definitions of the kestrel demo (scripts/demo.py).
! $$<KIND><n> <label> <name as the BMC reports it>
!     <critical low> <alert low> <alert high> <critical high>
! Discrete sensors carry a critical mark instead: 1 = a critical state of
! this sensor powers the node off.
""" + chassis.section("compute", [
    ("FAN", "Fan1", "FAN1", "500 1000 20000 25000"),
    ("TEMP", "CPU", '"CPU Temp"', "0 5 80 90"),
    ("VOLT", "12V", "12V", "10.8 11.4 12.6 13.2"),
    ("DISC", "PSU", '"PSU1 Status"', "1")]) + """\
! The same BMC model in a denser chassis: other labels, tighter limits, and
! the CMOS battery watched too (a flat battery is no reason to power off).
""" + chassis.section("storage", [
    ("FAN", "FanA", "FAN1", "2000 3000 12000 12500"),
    ("TEMP", "CPU-T", '"CPU Temp"', "0 5 70 85"),
    ("VOLT", "P12V", "12V", "11.0 11.5 12.5 13.0"),
    ("DISC", "PSU1", '"PSU1 Status"', "1"),
    ("DISC", "Batt", '"CMOS Battery"', "0")]) + """\
! An OpenBMC BMC, reached over its REST interface on HTTPS.
""" + chassis.section("openbmc", [
    ("FAN", "Fan0", "fan_tach/fan0", "300 600 20000 25000"),
    ("TEMP", "Inlet", "temperature/inlet", "0 5 40 50"),
    ("TEMP", "CPU", "temperature/cpu0", "0 5 80 90"),
    ("VOLT", "P12V", "voltage/p12v", "10.8 11.4 12.6 13.2")], "$$OPENBMC") + """\
! A Redfish BMC (the DMTF mockup's layout), reached over HTTPS.
""" + chassis.section("redfish", [
    ("FAN", "Fan0", "Fan0", "300 600 20000 25000"),
    ("TEMP", "CPU", '"CPU1 Temp"', "0 5 80 90"),
    ("VOLT", "P12V", '"P12V"', "10.8 11.4 12.6 13.2"),
    ("DISC", "PSU", "PSU1", "1")], "$$REDFISH"))

# OpenBMC sensors: an integer value and its decimal scale.
OBMC_SENSORS = {
    "fan_tach/fan0": {"scale": 0, "value": 7200},
    "temperature/inlet": {"scale": -3, "value": 21500},
    "temperature/cpu0": {"scale": -3, "value": 45000},
    "voltage/p12v": {"scale": -3, "value": 12050},
}


# Inside the demo's network namespace only: `scripts/demo.sh page` looks.
HTTP_LISTEN = "127.0.0.1:8080"


def rf_sensors():
    """The Redfish BMC's sensors, as the harness takes them."""
    return [redfish.sensor("fan", "Fan0", 6800),
            redfish.sensor("temp", "CPU1 Temp", 44.0),
            redfish.sensor("volt", "P12V", 12.02),
            redfish.sensor("psu", "PSU1", None, health="OK")]


def cluster_dat(with_openbmc, with_mail=True, with_redfish=False):
    lines = ["! Cluster definition of the kestrel demo (scripts/demo.py).",
             "! $NODE <name> <chassis type> <BMC user> <BMC password>;",
             "! the BMC is reached as <name>-ipmi."]
    for name, chassis in IPMI_NODES:
        lines.append("$NODE %s %s %s %s" % (name, chassis, ipmisim.USER,
                                            ipmisim.PASSWORD))
    if with_openbmc:
        lines.append("$NODE %s openbmc root 0penBmc" % OBMC_NODE)
    if with_redfish:
        lines.append("$NODE %s redfish admin secret" % RF_NODE)
    if not with_mail:
        return "\n".join(lines + ["$ENABLE_ALERTS no", ""])
    lines += ["! Compare readings with their limits and e-mail alerts.",
              "$ENABLE_ALERTS yes",
              "! No automatic shutdown for a critical reading; a critical",
              "! discrete sensor marked 1 still powers its node off.",
              "$ENABLE_SHUTDOWNS no",
              "$EMAIL_TO " + EMAIL_TO,
              "$EMAIL_FROM " + EMAIL_FROM,
              "$EMAIL_SERVER %s:%d" % (SMTP_ADDR, SMTP_PORT),
              "! Metrics, status document and status page over HTTP.",
              "$HTTP_LISTEN " + HTTP_LISTEN, ""]
    return "\n".join(lines)


# -- pieces shared by the commands --------------------------------------------

def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def running_pid(directory):
    try:
        with open(os.path.join(directory, "demo.pid")) as f:
            pid = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None
    return pid if pid_alive(pid) else None


def enter_private_network():
    """Moves this process into a new network namespace with loopback up."""
    libc = ctypes.CDLL(None, use_errno=True)
    CLONE_NEWNET = 0x40000000
    if libc.unshare(CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise SystemExit("demo: cannot make a private network namespace: %s"
                         % os.strerror(err))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def messages(maildir):
    """Messages stored by the demo's SMTP server, oldest first."""
    out = []
    for path in sorted(glob.glob(os.path.join(maildir, "msg*.json"))):
        try:
            with open(path) as f:
                m = json.load(f)
        except (OSError, ValueError):
            continue
        m["text"] = base64.b64decode(m["data"]).decode(
            "utf-8", "replace").replace("\r\n", "\n")
        m["file"] = path
        out.append(m)
    return out


def subject_of(text):
    for line in text.split("\n"):
        if not line:
            break
        if line.startswith("Subject: "):
            return line[9:]
    return "(no subject)"


# -- simulated readings --------------------------------------------------------

# Threshold sensors of the simulated BMC: number and value of one raw count.
SIM_THRESHOLD = {"cpu temp": (ipmisim.CPU_TEMP, 1.0),
                 "12v": (ipmisim.V12, 0.06),
                 "fan1": (ipmisim.FAN1, 50.0)}
# Discrete sensors: the state bits each word sets (all other bits cleared).
PSU_BITS = [ipmisim.PS_PRESENT, ipmisim.PS_FAIL, ipmisim.PS_PREDFAIL,
            ipmisim.PS_ACLOST]
PSU_STATES = {"ok": {ipmisim.PS_PRESENT},
              "fail": {ipmisim.PS_PRESENT, ipmisim.PS_FAIL},
              "predfail": {ipmisim.PS_PRESENT, ipmisim.PS_PREDFAIL},
              "aclost": {ipmisim.PS_PRESENT, ipmisim.PS_FAIL,
                         ipmisim.PS_ACLOST},
              "absent": set()}
BAT_BITS = [ipmisim.BAT_LOW, ipmisim.BAT_FAIL, ipmisim.BAT_PRESENT]
BAT_STATES = {"ok": {ipmisim.BAT_PRESENT},
              "low": {ipmisim.BAT_PRESENT, ipmisim.BAT_LOW},
              "fail": {ipmisim.BAT_PRESENT, ipmisim.BAT_FAIL},
              "absent": set()}
SIM_DISCRETE = {"psu1 status": (ipmisim.PSU1, PSU_BITS, PSU_STATES),
                "cmos battery": (ipmisim.BATTERY, BAT_BITS, BAT_STATES)}


def chassis_sensors():
    """{chassis: {label or BMC name, lower case: BMC name}} from CHASSIS_DAT."""
    table, current = {}, None
    for line in CHASSIS_DAT.splitlines():
        key, _, rest = line.partition(" ")
        if key == "$CHASSISTYPE":
            current = table.setdefault(rest, {})
            continue
        kind = key[2:].rstrip("0123456789")
        if current is None or kind not in ("FAN", "TEMP", "VOLT", "DISC") \
                or kind == key[2:]:
            continue
        label, rest = rest.split(" ", 1)
        if rest.startswith('"'):
            name = rest[1:].split('"', 1)[0]
        else:
            name = rest.split(" ", 1)[0]
        current[label.lower()] = name
        current[name.lower()] = name
    return table


class Cluster:
    """Everything the runner started; stops it all, by PID, in reverse."""

    def __init__(self, directory):
        self.dir = directory
        self.sims = None
        self.bmc = None
        self.rfbmc = None
        self.smtp = None
        self.kestrel = None
        self.lock = threading.Lock()  # the consoles and the BMC's control
        self.node_chassis = dict(IPMI_NODES)

    def set_reading(self, node, sensor, value):
        """Applies one `set` request; returns a text for the operator."""
        chassis = self.node_chassis.get(node)
        if chassis is None:
            raise ValueError("no node %r in the demo (nodes: %s)" % (
                node, ", ".join(sorted(self.node_chassis))))
        names = chassis_sensors()[chassis]
        name = names.get(sensor.lower())
        if name is None:
            raise ValueError("%s has no sensor %r; try one of: %s" % (
                node, sensor, ", ".join(sorted(set(names.values())))))
        with self.lock:
            if chassis == "redfish":
                if name == "PSU1":
                    health = {"ok": "OK", "warn": "Warning",
                              "fail": "Critical"}.get(str(value).lower())
                    if health is None:
                        raise ValueError("PSU1 takes one of: ok, warn, fail")
                    self.rfbmc.control(sensors={name: {"health": health}})
                else:
                    self.rfbmc.control(sensors={name: {"value": float(value)}})
                return "%s %s set to %s" % (node, name, value)
            if chassis == "openbmc":
                scale = OBMC_SENSORS[name]["scale"]
                raw = int(round(float(value) / 10 ** scale))
                self.bmc.control(sensors={name: {"scale": scale, "value": raw}})
                return "%s %s set to %s" % (node, name, value)
            sim = self.sims[node]
            key = name.lower()
            if key in SIM_THRESHOLD:
                number, step = SIM_THRESHOLD[key]
                raw = int(round(float(value) / step))
                if not 0 <= raw <= 255:
                    raise ValueError("%s cannot show %s (0 to %g)" % (
                        name, value, 255 * step))
                sim.set_value(number, raw)
                return "%s %s set to %g" % (node, name, raw * step)
            number, bits, states = SIM_DISCRETE[key]
            want = states.get(str(value).lower())
            if want is None:
                raise ValueError("%s takes one of: %s" % (
                    name, ", ".join(states)))
            for bit in bits:
                sim.set_bit(number, bit, bit in want)
            return "%s %s set to %s" % (node, name, value)

    def stop(self):
        if self.kestrel is not None:
            try:
                self.kestrel.stop()
            except Exception as e:  # noqa: BLE001 - go on stopping the rest
                print("demo: stopping kestrel: %s" % e, file=sys.stderr)
        for part in (self.sims and self.sims.stop_all, self.bmc and self.bmc.stop,
                     self.rfbmc and self.rfbmc.stop, self.smtp and self.smtp.stop):
            if part:
                try:
                    part()
                except Exception as e:  # noqa: BLE001
                    print("demo: stopping: %s" % e, file=sys.stderr)


def serve_requests(cluster, path):
    """Answers `set` requests on a Unix socket, one JSON line each way."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(4)

    def loop():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            with conn, conn.makefile("rw") as f:
                try:
                    req = json.loads(f.readline())
                    answer = {"ok": cluster.set_reading(
                        req["node"], req["sensor"], req["value"])}
                except Exception as e:  # noqa: BLE001 - report it to the asker
                    answer = {"error": str(e)}
                try:
                    f.write(json.dumps(answer) + "\n")
                    f.flush()
                except OSError:
                    pass

    threading.Thread(target=loop, daemon=True).start()
    return listener


# -- the table -----------------------------------------------------------------

def parse_autonodeconf(text):
    """{node: {chassis, openbmc, labels and limits per kind}} in file order."""
    nodes, current = {}, None
    for line in text.splitlines():
        key, _, rest = line.partition(" ")
        if key == "$NODE":
            current = {"name": rest.split(" ", 1)[1], "openbmc": False}
            nodes[current["name"]] = current
        elif current is None or not key.startswith("$$"):
            continue
        elif key == "$$CHASSIS":
            current["chassis"] = rest
        elif key == "$$OPENBMCCONSOLE":
            current["openbmc"] = True
        elif key.endswith("LABELS"):
            current[key[2:-6] + "_labels"] = rest.split()
        elif key == "$$DISCCRIT":
            current["DISC_crit"] = [int(v) for v in rest.split()]
        elif key.endswith(("ALERTLO", "ALERTHI", "SHUTDOWNLO", "SHUTDOWNHI")):
            current[key[2:]] = [int(v) for v in rest.split()]
    return nodes


def comparelimits(value, kind, conf, i):
    """As the daemon classifies a reading: -2, -1, 0, 1 or 2."""
    def limit(group):
        values = conf.get(kind + group, [])
        return values[i] if i < len(values) else 0
    if limit("SHUTDOWNLO") > value:
        return -2
    if limit("ALERTLO") > value:
        return -1
    if value > limit("SHUTDOWNHI"):
        return 2
    if value > limit("ALERTHI"):
        return 1
    return 0


class Style:
    def __init__(self, tty):
        self.tty = tty

    def __call__(self, text, code):
        return "\x1b[%sm%s\x1b[0m" % (code, text) if self.tty and code else text


DISC_WORDS = {0: "ok", 1: "warn", 2: "CRIT", 3: "unknown"}


def cells_for(rec, conf, style):
    """The readings of one node as (text, colour) cells, marked by limits."""
    # Nothing to judge before the first reading, nor on a node that is off.
    examined = rec["POWER"] == 1 and rec["DEAD"] == 0 and rec["TIME"] != 0
    cells = []
    for kind, scale in (("FAN", 1), ("TEMP", 100), ("VOLT", 100)):
        for i, raw in enumerate(rec.get(kind, [])):
            text = ("%d" % raw) if scale == 1 else ("%.2f" % (raw / 100.0))
            r = comparelimits(raw, kind, conf, i) if examined else 0
            if kind == "TEMP" and r < 0:
                r = 0  # the daemon never alerts on a cold sensor
            mark = {2: "!", -2: "!", 1: "*", -1: "*"}.get(r, " ")
            colour = "1;31" if mark == "!" else ("33" if mark == "*" else "")
            cells.append((text + mark, colour))
    for i, raw in enumerate(rec.get("DISC", [])):
        word = DISC_WORDS.get(raw, str(raw))
        if not examined:
            cells.append((word + " ", ""))
            continue
        crit = conf.get("DISC_crit", [])
        mark = " " if raw == 0 else ("!" if raw == 2 else "*")
        colour = "1;31" if mark == "!" else ("33" if mark == "*" else "")
        if raw == 2 and i < len(crit) and crit[i]:
            word = "CRIT"
        cells.append((word + mark, colour))
    return cells


def render(records, conf, style, now, settled):
    """The table, one section per run of nodes of one chassis. `settled`
    maps a node to the time its settling time began (seen powered on)."""
    out = []
    sections = []
    for name, c in conf.items():
        if not sections or sections[-1][0] != c.get("chassis"):
            sections.append((c.get("chassis"), []))
        sections[-1][1].append(name)
    for chassis, names in sections:
        first = conf[names[0]]
        heads = ["node", "power", "dead", "updated", "limits"]
        units = ["", "", "", "", ""]
        for kind, unit in (("FAN", "rpm"), ("TEMP", "C"), ("VOLT", "V"),
                           ("DISC", "")):
            for label in first.get(kind + "_labels", []):
                heads.append(label)
                units.append(unit)
        rows = []
        for name in names:
            rec = records.get(name)
            if rec is None:
                rows.append([(name, ""), ("?", ""), ("?", ""), ("no record", ""),
                             ("", "")])
                continue
            age = ("never" if rec["TIME"] == 0
                   else "%ds ago" % max(0, now - rec["TIME"]))
            off = rec["POWER"] != 1 or rec["DEAD"] != 0
            row = [(name, ""),
                   ("on" if rec["POWER"] == 1 else "OFF", "" if rec["POWER"] == 1 else "1;35"),
                   ("yes" if rec["DEAD"] else "no", "1;35" if rec["DEAD"] else ""),
                   (age, "")]
            since = settled.get(name)
            if since is None:
                row.append(("-", ""))
            elif now - since < SETTLING:
                left = SETTLING - (now - since)
                row.append(("in %d:%02d" % (left // 60, left % 60), "36"))
            else:
                row.append(("checked", ""))
            row += cells_for(rec, conf[name], style)
            if off:
                row = [(t, c or "2") for t, c in row]
            rows.append(row)
        widths = [len(h) for h in heads]
        for row in rows:
            for i, (text, _) in enumerate(row):
                if i < len(widths):
                    widths[i] = max(widths[i], len(text))
                else:
                    widths.append(len(text))
        kind = ("Redfish over HTTPS" if chassis == "redfish" else
                "OpenBMC over HTTPS" if first.get("openbmc") else "IPMI over LAN")
        out.append(style("chassis %s (%s)" % (chassis, kind), "1"))
        out.append("  ".join(h.rjust(w) if i >= 5 else h.ljust(w)
                             for i, (h, w) in enumerate(zip(heads, widths))))
        out.append("  ".join(u.rjust(w) if i >= 5 else u.ljust(w)
                             for i, (u, w) in enumerate(zip(units, widths))).rstrip())
        for row in rows:
            parts = []
            for i, (text, colour) in enumerate(row):
                w = widths[i]
                parts.append(style(text.rjust(w) if i >= 5 else text.ljust(w), colour))
            out.append("  ".join(parts).rstrip())
        out.append("")
    return out


def hints(directory, datadir, started, with_openbmc):
    rel = os.path.relpath(ROOT)
    sy = "build/switchyard" if rel == "." else os.path.join(rel, "build",
                                                             "switchyard")
    pipe = os.path.join(datadir, "nodecommands.dat")
    ready = time.strftime("%H:%M:%S", time.localtime(started + SETTLING))
    mail_at = time.strftime("%H:%M:%S",
                            time.localtime(started + SETTLING + RIPENING))
    tries = [
        ('scripts/demo.sh set node01 "CPU Temp" 95',
         "node01 cooks (critical above 90 C)"),
        ("scripts/demo.sh set node03 FanA 1500",
         "a slow fan (critical below 2000 rpm)"),
        ('scripts/demo.sh set node02 "PSU1 Status" fail',
         "a failed supply: kestrel powers node02 off"),
    ]
    if with_openbmc:
        tries.append(("scripts/demo.sh set node05 Inlet 45",
                      "the OpenBMC node's inlet runs warm"))
    if redfish is not None:
        tries.append(("scripts/demo.sh set node06 PSU fail",
                      "the Redfish node's supply fails: powered off"))
    tries += [
        ('scripts/demo.sh set node01 "CPU Temp" 45', "and back to normal"),
        ("scripts/demo.sh mail", "print the e-mails received"),
        ("scripts/demo.sh probe node03",
         "node03's BMC written as a chassis section"),
        ("scripts/demo.sh page", "a screenshot of the status page, and /metrics"),
        ("%s -o %s -p node04" % (sy, pipe), "power node04 off (-P on, -r reset)"),
        ("%s -o %s -t" % (sy, pipe), "send a test e-mail"),
    ]
    width = max(len(c) for c, _ in tries[:-2])
    lines = ["Marks: * outside the alert limits, ! outside the critical "
             "limits (as kestrel judges them).",
             "Try, from %s in another terminal (a sensor is named by its "
             "label or BMC name):" % ROOT]
    for command, what in tries:
        if len(command) > width:
            lines += ["  " + command, "  " + " " * width + "  " + what]
        else:
            lines.append("  %-*s  %s" % (width, command, what))
    lines += [
        "Limits are compared only after a node's 180 s settling time (column "
        "'limits', counted from when",
        "the node was seen powered on; about %s for the first nodes), and an "
        "alert is e-mailed after" % ready,
        "6 further checks 6 s apart (>= 36 s): the first alert e-mail comes "
        "about 4 minutes after the",
        "start (not before %s), or about 40 s after a value is pushed out "
        "later on." % mail_at,
        "E-mails land in %s/mail (readable copies in %s/mailbox)."
        % (directory, directory),
        "Data directory: %s (nodewatch.dat, autonodeconf.dat, "
        "nodecommands.dat)." % datadir,
        "Ctrl-C stops the demo and removes %s." % directory,
    ]
    return lines


# -- run -------------------------------------------------------------------------

class Stop(Exception):
    pass


class Sheltered:
    """Starts peers with SIGINT blocked, a mask they keep across exec: the
    terminal's Ctrl-C then reaches only this runner (and kestrel, which
    installs its own handler and leaves cleanly), and the runner stops the
    peers in order. A Ctrl-C meanwhile waits for the end of the block."""

    def __enter__(self):
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})

    def __exit__(self, *exc):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def on_signal(signum, frame):
    raise Stop(signal.Signals(signum).name)


def copy_mail(maildir, mailbox, seen):
    """Writes a readable copy of every new message; returns the new ones."""
    new = []
    for m in messages(maildir):
        base = os.path.basename(m["file"])[:-5] + ".eml"
        if base in seen:
            continue
        seen.add(base)
        with open(os.path.join(mailbox, base), "w") as f:
            f.write("X-Envelope-From: %s\nX-Envelope-To: %s\n%s" % (
                m["mail_from"], ", ".join(m["rcpt_tos"]), m["text"]))
        new.append(m)
    return new


def run(args):
    if os.geteuid() != 0:
        raise SystemExit("demo: run me as root (namespaces, port 623)")
    directory = os.path.abspath(args.dir)
    other = running_pid(directory)
    if other:
        raise SystemExit("demo: a demo already runs in %s (PID %d)" % (
            directory, other))
    if smtp is None:
        print("demo: no SMTP server in tests/harness: alerts stay off")
    # Interrupts from here on end in the clean-up below.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    tty = sys.stdout.isatty()
    style = Style(tty)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    datadir = os.path.join(directory, "data")
    maildir = os.path.join(directory, "mail")
    mailbox = os.path.join(directory, "mailbox")
    for d in (datadir, mailbox):
        os.makedirs(d)
    cluster = Cluster(directory)
    listener = None
    status = 0
    try:
        enter_private_network()
        with open(os.path.join(directory, "demo.pid"), "w") as f:
            f.write("%d\n" % os.getpid())
        print("demo: starting %s%d simulated IPMI BMCs%s ..." % (
            "an SMTP server, " if smtp else "", len(IPMI_NODES),
            (" and one OpenBMC BMC" if openbmc else "") +
            (", one Redfish BMC" if redfish else "")), flush=True)
        # Each part is recorded before it starts, so that a failed start
        # still ends in its stop.
        if smtp is not None:
            cluster.smtp = smtp.SmtpServer(maildir, addr=SMTP_ADDR,
                                           port=SMTP_PORT)
            with Sheltered():
                cluster.smtp.start()
        cluster.sims = ipmisim.SimSet(os.path.join(directory, "sims"),
                                      len(IPMI_NODES), start=False)
        with Sheltered():
            for sim in cluster.sims:
                sim.start()
        for sim in cluster.sims:
            sim.wait_ready()
        hosts = cluster.sims.hosts()
        if openbmc is not None:
            cluster.bmc = openbmc.TestBmc(directory, OBMC_NODE, OBMC_ADDR,
                                          sensors=OBMC_SENSORS)
            with Sheltered():
                cluster.bmc.start()
            hosts[OBMC_NODE] = OBMC_ADDR
            cluster.node_chassis[OBMC_NODE] = "openbmc"
        if redfish is not None:
            cluster.rfbmc = redfish.TestBmc(directory, RF_NODE, RF_ADDR,
                                            sensors=rf_sensors())
            with Sheltered():
                cluster.rfbmc.start()
            hosts[RF_NODE] = RF_ADDR
            cluster.node_chassis[RF_NODE] = "redfish"
        daemon.write_config(datadir, CHASSIS_DAT,
                            cluster_dat(openbmc is not None, smtp is not None,
                                        redfish is not None))
        listener = serve_requests(cluster, os.path.join(directory, "demo.sock"))
        cluster.kestrel = daemon.Kestrel(datadir, hosts=hosts)
        cluster.kestrel.start()
        started = time.time()
        cluster.kestrel.wait_ready(timeout=30)
        print("demo: kestrel runs (PID %d); its messages go to %s" % (
            cluster.kestrel.proc.pid, cluster.kestrel.stderr_path), flush=True)
        # A probe enters kestrel's namespaces: its hosts file names the BMCs.
        with open(os.path.join(directory, "kestrel.pid"), "w") as f:
            f.write("%d\n" % cluster.kestrel.proc.pid)
        with open(cluster.kestrel.autonodeconf) as f:
            conf = parse_autonodeconf(f.read())
        help_lines = hints(directory, datadir, started, openbmc is not None)
        if not tty:
            print("\n".join(help_lines), flush=True)
        seen = set()
        settled = {}
        last_mail = None
        while True:
            if not cluster.kestrel.running():
                print("demo: kestrel ended with status %s; its last messages:"
                      % cluster.kestrel.proc.returncode)
                print("\n".join(cluster.kestrel.stderr().splitlines()[-15:]))
                status = 1
                break
            records = daemon.parse_snapshot(cluster.kestrel.snapshot(timeout=5))
            now = int(time.time())
            new = copy_mail(maildir, mailbox, seen)
            if new:
                last_mail = new[-1]
            for name, rec in records.items():
                if rec["POWER"] == 1 and rec["DEAD"] == 0:
                    settled.setdefault(name, now)
                else:
                    settled.pop(name, None)
            table = render(records, conf, style, now, settled)
            elapsed = now - int(started)
            head = style("kestrel demo  %s  (running %d:%02d)" % (
                time.strftime("%H:%M:%S"), elapsed // 60, elapsed % 60), "1")
            settle = "data directory " + datadir
            mail = "mailbox: %d message(s)" % len(seen)
            if last_mail:
                mail += ", last: %s" % subject_of(last_mail["text"])
            log = [l for l in cluster.kestrel.stderr().splitlines() if l.strip()]
            screen = [head + "   " + settle, ""] + table + [style(mail, "36" if seen else "")]
            screen += ["kestrel: " + l for l in log[-3:]]
            if tty:
                sys.stdout.write("\x1b[H\x1b[2J" + "\n".join(screen + [""] + help_lines) + "\n")
            else:
                for m in new:
                    print("demo: e-mail received: %s" % subject_of(m["text"]))
                sys.stdout.write("\n".join(screen) + "\n\n")
            sys.stdout.flush()
            time.sleep(REFRESH)
    except Stop as e:
        print("\ndemo: %s, stopping" % e, flush=True)
    except Exception as e:  # noqa: BLE001 - report, then clean up all the same
        print("demo: %s: %s" % (type(e).__name__, e), file=sys.stderr, flush=True)
        status = 1
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        if listener is not None:
            listener.close()
        cluster.stop()
        received = messages(maildir)
        if received:
            print("demo: %d e-mail(s) were received; the last one:" % len(received))
            print("    " + received[-1]["text"].rstrip().replace("\n", "\n    "))
        if args.keep:
            print("demo: everything stopped; kept %s" % directory)
        else:
            shutil.rmtree(directory, ignore_errors=True)
            print("demo: everything stopped and %s removed" % directory)
    return status


# -- set, mail ---------------------------------------------------------------------

def set_command(args):
    directory = os.path.abspath(args.dir)
    if not running_pid(directory):
        raise SystemExit("demo: no demo runs in %s (start it with scripts/demo.sh)"
                         % directory)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(15)
        s.connect(os.path.join(directory, "demo.sock"))
        s.sendall((json.dumps({"node": args.node, "sensor": args.sensor,
                               "value": args.value}) + "\n").encode())
        with s.makefile("r") as f:
            answer = json.loads(f.readline() or "{}")
    if "ok" in answer:
        print(answer["ok"])
        return 0
    print("demo: %s" % answer.get("error", "no answer"), file=sys.stderr)
    return 1


def mail_command(args):
    maildir = os.path.join(os.path.abspath(args.dir), "mail")
    received = messages(maildir)
    if not received:
        print("No e-mail yet in %s." % maildir)
    for m in received:
        print("=== %s  from %s to %s" % (os.path.basename(m["file"]), m["mail_from"],
                                        ", ".join(m["rcpt_tos"])))
        print(m["text"].rstrip())
        print()
    return 0


def probe_command(args):
    """Runs kestrel --probe for a demo node inside kestrel's namespaces."""
    directory = os.path.abspath(args.dir)
    try:
        with open(os.path.join(directory, "kestrel.pid")) as f:
            pid = f.read().strip()
    except OSError:
        print("demo: not running (no %s/kestrel.pid)" % directory,
              file=sys.stderr)
        return 1
    return subprocess.run(
        ["nsenter", "--net", "--mount", "--target", pid, util.binary("kestrel"),
         "--probe", args.node, "-p", os.path.join(directory, "data")],
        timeout=60).returncode


def page_command(args):
    """Takes a screenshot of the status page with headless Chromium inside
    the demo's network namespace and prints the first lines of /metrics."""
    directory = os.path.abspath(args.dir)
    try:
        with open(os.path.join(directory, "demo.pid")) as f:
            pid = f.read().strip()
    except OSError:
        print("demo: not running (no %s/demo.pid)" % directory, file=sys.stderr)
        return 1
    enter = ["nsenter", "--net", "--target", pid]
    url = "http://%s/" % HTTP_LISTEN
    shot = os.path.join(directory, "page.png")
    profile = os.path.join(directory, "chromium-profile")
    subprocess.run(enter + [
        "chromium", "--headless", "--no-sandbox", "--disable-gpu",
        "--disable-quic", "--no-first-run", "--disable-background-networking",
        "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + profile, "--window-size=1280,900",
        "--virtual-time-budget=5000", "--screenshot=" + shot, url],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    metrics = subprocess.run(enter + ["python3", "-c",
        "import urllib.request,sys;sys.stdout.write(urllib.request.urlopen("
        "%r, timeout=5).read().decode())" % (url + "metrics")],
        capture_output=True, text=True, timeout=30).stdout
    print("\n".join(metrics.splitlines()[:20]))
    print("demo: the status page %s is in %s" % (url, shot)
          if os.path.exists(shot) else "demo: no screenshot was taken")
    return 0


def main(argv):
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--dir", default=DEFAULT_DIR,
                        help="the demo's directory (default: build/demo)")
    parser = argparse.ArgumentParser(prog="scripts/demo.sh")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run", parents=[common],
                       help="start the demo (what scripts/demo.sh does)")
    p.add_argument("--keep", action="store_true",
                   help="leave the demo's directory in place at the end")
    p = sub.add_parser("set", parents=[common], help="change a simulated reading")
    p.add_argument("node")
    p.add_argument("sensor", help='label or BMC name, e.g. "CPU Temp" or FanA')
    p.add_argument("value", help="degrees C, volts, rpm; ok/fail/... for "
                   "PSU1 Status and CMOS Battery")
    sub.add_parser("mail", parents=[common],
                   help="print the e-mails the demo received")
    sub.add_parser("page", parents=[common],
                   help="screenshot the status page, print /metrics")
    p = sub.add_parser("probe", parents=[common],
                       help="write a demo node's BMC as a chassis section")
    p.add_argument("node")
    args = parser.parse_args(argv)
    return {"run": run, "set": set_command, "mail": mail_command,
            "page": page_command, "probe": probe_command}[args.command](args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
