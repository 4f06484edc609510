#!/usr/bin/python3
"""Soak and fault run: kestrel watching peers that fail on a schedule.

Started by scripts/soak.sh inside a private network namespace (only `lo`).
It starts 64 ipmi_sim BMCs, 16 OpenBMC TLS test BMCs (and 16 Redfish ones
where the harness has them), the SMTP server and `kestrel -d` with alerts on
and shutdowns off, then for the given minutes keeps breaking things:

- every minute one simulator is killed and restarted 50 s later, another is
  stopped (SIGSTOP) for 20 s, and one TLS test BMC of each kind stalls,
  resets its connections or sends malformed bodies for 20 s;
- the SMTP server is gone for 3 minutes, then silent (accepts, never
  answers) for 2, then back;
- readers open the status pipe and leave after one byte, ten times a second;
- every 5 minutes a burst of 10 000 commands for unknown nodes, each of which
  the daemon names on its stderr ("Unable to locate node ..."), so every one
  can be counted in order;
- HTTP scrapes, some abandoned half-way, where the daemon serves HTTP.

Meanwhile it takes a snapshot once a second and samples the daemon's RSS,
descriptors and threads every 10 s. The report (table on stdout, JSON file)
gives their slopes after the warm-up, dead and alive times of every killed
BMC, reading ages of the nodes never faulted, commands written versus
executed, alerts due versus e-mailed once the server is back, and the
sanitizer reports in the daemon's stderr. Nothing here asserts: a missed
target is marked in the table.

Peers are plugged in per kind: a TLS test BMC kind is a row of TLS_KINDS
with a function that starts its BMCs; HTTP is a function run on a thread.
"""

import argparse
import base64
import datetime
import glob
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "bench"))

import run as benchrun  # noqa: E402  (bench/run.py: /proc and pipe helpers)
from tests.harness import chassis, daemon, ipmisim, smtp, util  # noqa: E402

try:
    from tests.harness import openbmc
except ImportError:
    openbmc = None
try:
    from tests.harness import redfish
except ImportError:
    redfish = None

# -- the fleet -------------------------------------------------------------------

IPMI_COUNT = 64
TLS_COUNT = 16  # per TLS kind
HOT = range(1, 9)          # IPMI nodes whose chassis puts CPU Temp over critical
KILL_POOL = range(49, 65)  # IPMI nodes killed in turn
STOP_POOL = range(41, 49)  # IPMI nodes SIGSTOPped in turn
TLS_FAULTED = range(9, 17)  # TLS test BMCs (per kind) that misbehave in turn

SMTP_ADDR, SMTP_PORT = "127.0.0.2", 2525
HTTP_ADDR, HTTP_PORT = "127.0.0.3", 9100

# The simulators' CPU Temp reads 45 degC: 40 is over the hot chassis' critical
# high limit, so its alert is critical and is re-reported while it lasts.
CHASSIS = (chassis.sim("soak", discs=2, psu_critical=0)
           + chassis.sim("soakhot", discs=2, psu_critical=0, temp_high="30 40"))

# -- schedule (seconds after the start of the faults) -----------------------------

FAULT_PERIOD = 60
RESTART_AFTER = 50  # a killed simulator comes back this much later
STOP_AT, STOP_FOR = 30, 20
TLS_FAULT_AT, TLS_FAULT_FOR = 10, 20
TLS_FAULTS = [("stall", "reply"), ("fault", "reset"), ("fault", "truncated"),
              ("stall", "accept"), ("fault", "garbage")]
SMTP_GONE_AT, SMTP_GONE_FOR, SMTP_SILENT_FOR = 60, 180, 120
BURST_FIRST, BURST_EVERY, BURST_SIZE = 120, 300, 10000
READERS_PER_SECOND = 10
SNAPSHOT_EVERY = 1.0
RESOURCES_EVERY = 10
SETTLE_LIMIT = 90   # longest wait for every node's first reading
DRAIN_TIME = 15     # after the last fault, for commands and mail to finish

# -- targets ----------------------------------------------------------------------------

DEAD_WITHIN = 40
ALIVE_WITHIN = 15
AGE_P99 = 6
RSS_MIB_PER_HOUR = 1.0

SANITIZER = re.compile(r"^(==\d+==ERROR: \w+Sanitizer|WARNING: ThreadSanitizer"
                       r"|.*: runtime error: |==\d+==WARNING: \w+Sanitizer)",
                       re.M)
UNKNOWN_NODE = re.compile(r"Unable to locate node (\S+) to issue command code")
ALERT_NODE = re.compile(r"(Critical|Warning) (high|low) alert generated for node"
                        r" (\S+):")


def log(text):
    print(time.strftime("%H:%M:%S ") + text, file=sys.stderr, flush=True)


# -- TLS test BMC kinds ---------------------------------------------------------------
# Each start function returns (handles, stop, chassis text, cluster lines,
# hosts) or a string saying why the kind is skipped. A handle has .name and
# .control(**command), taking stall= and fault= as both test BMCs define them.

OPENBMC_CHASSIS = benchrun.OPENBMC_CHASSIS.replace("benchobmc", "soakobmc")


def start_openbmc(work):
    if openbmc is None:
        return "no tests/harness/openbmc.py"
    bmcs = []
    for i in range(1, TLS_COUNT + 1):
        name = "obmc%02d" % i
        bmcs.append(openbmc.TestBmc(work, name, "127.2.0.%d" % i,
                                    sensors=benchrun.OPENBMC_SENSORS).start())
    lines = ["$NODE %s soakobmc root 0penBmc\n" % b.name for b in bmcs]

    def stop():
        for b in bmcs:
            b.stop()
    return bmcs, stop, OPENBMC_CHASSIS, lines, {b.name: b.address for b in bmcs}


REDFISH_CHASSIS = chassis.redfish("soakrf", inlet=False, psu=False)


class RedfishBmc:
    """One BMC of the Redfish fleet process, as a handle."""

    def __init__(self, fleet, name):
        self.fleet, self.name = fleet, name

    def control(self, **command):
        return self.fleet.control(self.name, **command)


def start_redfish(work):
    if redfish is None:
        return "no tests/harness/redfish.py (Redfish transport not on this branch)"
    specs = [dict(name="rf%02d" % i, address="127.3.0.%d" % i, flavour="dmtf",
                  log=False, sensors=[redfish.sensor("fan", "Fan0", 7200),
                           redfish.sensor("temp", "CPU1 Temp", 45.125),
                           redfish.sensor("volt", "P12V", 12.25)])
             for i in range(1, TLS_COUNT + 1)]
    fleet = redfish.Fleet(work, specs).start()
    bmcs = [RedfishBmc(fleet, s["name"]) for s in specs]
    lines = ["$NODE %s soakrf admin secret\n" % s["name"] for s in specs]
    return (bmcs, fleet.stop, REDFISH_CHASSIS, lines,
            {s["name"]: s["address"] for s in specs})


TLS_KINDS = [("openbmc", start_openbmc), ("redfish", start_redfish)]


def http_present():
    return os.path.isdir(os.path.join(ROOT, "http"))


# -- the run -----------------------------------------------------------------------------

class Soak:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.duration = args.minutes * 60
        self.lock = threading.Lock()  # guards events, counters, written
        self.events = []   # {"t", "what", "node"}
        self.counters = {"reader_opens": 0, "reader_errors": 0, "http": {}}
        self.written = []  # command node names, in the order written
        self.stop_event = threading.Event()
        # Readers of one FIFO share its bytes: the sampler and the one-byte
        # readers take turns, or each would tear the other's snapshot.
        self.pipe_lock = threading.Lock()
        self.skipped = {}
        self.sims = None
        self.tls = {}      # kind -> handles
        self.tls_stops = []
        self.smtp = None
        self.smtp_phases = []  # (phase, start wall time, directory)
        self.k = None
        self.stopped_pids = set()

    # -- events --------------------------------------------------------------
    def note(self, what, node=None, **extra):
        with self.lock:
            self.events.append(dict(extra, t=time.time(), what=what, node=node))
        log("%s %s" % (what, node or ""))

    def later(self, delay, fn, *args):
        """Runs fn(*args) on a thread of its own after `delay` seconds."""
        def body():
            if self.stop_event.wait(delay):
                return
            try:
                fn(*args)
            except Exception as e:  # a peer that fails to come back is a finding
                self.note("harness error", None, error="%s: %s" % (fn.__name__, e))
        threading.Thread(target=body, daemon=True).start()

    # -- peers ------------------------------------------------------------------
    def start_peers(self):
        log("starting %d simulators" % IPMI_COUNT)
        self.sims = ipmisim.SimSet(os.path.join(self.work, "sims"), IPMI_COUNT)
        chassis = CHASSIS
        cluster = ["$NODE %s %s %s %s\n" % (
            s.name, "soakhot" if s.index in HOT else "soak", ipmisim.USER,
            ipmisim.PASSWORD) for s in self.sims]
        hosts = self.sims.hosts()
        for kind, start in TLS_KINDS:
            log("starting %s test BMCs" % kind)
            got = start(os.path.join(self.work, kind))
            if isinstance(got, str):
                self.skipped[kind] = got
                continue
            handles, stop, text, lines, more = got
            self.tls[kind] = handles
            self.tls_stops.append(stop)
            chassis += text
            cluster += lines
            hosts.update(more)
        cluster += ["$ENABLE_ALERTS yes\n", "$ENABLE_SHUTDOWNS no\n",
                    "$EMAIL_TO ops@soak.test\n", "$EMAIL_FROM kestrel@soak.test\n",
                    "$EMAIL_SERVER %s:%d\n" % (SMTP_ADDR, SMTP_PORT)]
        if http_present():
            cluster.append("$HTTP_LISTEN %s:%d\n" % (HTTP_ADDR, HTTP_PORT))
        else:
            self.skipped["http"] = "no http/ (HTTP server not on this branch)"
        self.smtp_start("live")
        return chassis, "".join(cluster), hosts

    def smtp_start(self, phase):
        d = os.path.join(self.work, "smtp-%d-%s" % (len(self.smtp_phases), phase))
        self.smtp = smtp.SmtpServer(d, SMTP_ADDR, SMTP_PORT,
                                    silent=phase == "silent").start()
        self.smtp_phases.append((phase, time.time(), d))

    def smtp_stop(self):
        if self.smtp:
            self.smtp.stop()
            self.smtp = None

    def stop_peers(self):
        for pid in list(self.stopped_pids):
            os.kill(pid, signal.SIGCONT)
        if self.sims:
            self.sims.stop_all()
        for stop in self.tls_stops:
            stop()
        self.smtp_stop()

    # -- faults -----------------------------------------------------------------
    def kill_sim(self, index):
        sim = self.sims.sims[index - 1]
        sim.kill()
        self.note("kill", sim.name)
        self.later(RESTART_AFTER, self.restart_sim, index)

    def restart_sim(self, index):
        sim = self.sims.sims[index - 1]
        sim.start().wait_ready()
        self.note("restarted", sim.name)

    def pause_sim(self, index, pause):
        sim = self.sims.sims[index - 1]
        os.kill(sim.proc.pid, signal.SIGSTOP if pause else signal.SIGCONT)
        with self.lock:
            (self.stopped_pids.add if pause else self.stopped_pids.discard)(sim.proc.pid)
        self.note("sigstop" if pause else "sigcont", sim.name)

    def tls_fault(self, handle, key, value):
        handle.control(**{key: value})
        self.note("tls %s=%s" % (key, value), handle.name)

    def smtp_gone(self):
        self.smtp_stop()
        self.note("smtp gone")
        self.later(SMTP_GONE_FOR, self.smtp_silent)

    def smtp_silent(self):
        self.smtp_start("silent")
        self.note("smtp silent")
        self.later(SMTP_SILENT_FOR, self.smtp_back)

    def smtp_back(self):
        self.smtp_stop()
        self.smtp_start("back")
        self.note("smtp back")

    def burst(self, number):
        names = ["soakb%dc%05d" % (number, i) for i in range(BURST_SIZE)]
        text = "".join("$VERSION 1\n$DO_POWER_ON %s\n" % n for n in names)
        # A blocking writer: the daemon drains at most a pass's worth at once.
        with open(self.k.nodecommands, "w") as f:
            with self.lock:
                self.written.extend(names)
            f.write(text)
        self.note("burst", None, commands=len(names))

    def readers(self):
        """Opens the status pipe, takes one byte and leaves, ten times a second."""
        period = 1.0 / READERS_PER_SECOND
        nxt = time.monotonic()
        while not self.stop_event.is_set():
            nxt += period
            try:
                with self.pipe_lock:
                    fd = os.open(self.k.nodewatch, os.O_RDONLY)
                    try:
                        os.read(fd, 1)
                    finally:
                        os.close(fd)
                with self.lock:
                    self.counters["reader_opens"] += 1
            except OSError:
                with self.lock:
                    self.counters["reader_errors"] += 1
            delay = nxt - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                nxt = time.monotonic()

    def scraper(self):
        """GETs /metrics and /status.json; every third one is abandoned,
        half of those before the request is complete, half mid-reply."""
        counts = self.counters["http"]
        n = 0
        while not self.stop_event.wait(0.5):
            n += 1
            path = "/status.json" if n % 5 == 0 else "/metrics"
            outcome = "complete"
            try:
                with socket.create_connection((HTTP_ADDR, HTTP_PORT), timeout=5) as s:
                    request = "GET %s HTTP/1.1\r\nHost: soak\r\n" % path
                    if n % 6 == 3:
                        s.sendall(request.encode())  # no blank line: left half-way
                        outcome = "abandoned in request"
                    else:
                        s.sendall((request + "Connection: close\r\n\r\n").encode())
                        head = s.recv(100)
                        if n % 6 == 0:
                            outcome = "abandoned in reply"
                        else:
                            data = head
                            while True:
                                chunk = s.recv(65536)
                                if not chunk:
                                    break
                                data += chunk
                            if not data.startswith(b"HTTP/1.1 200"):
                                outcome = "not 200"
            except OSError:
                outcome = "failed"
            with self.lock:
                counts[outcome] = counts.get(outcome, 0) + 1

    def schedule(self):
        d = self.duration
        for m in range(1, self.args.minutes):
            base = m * FAULT_PERIOD
            if base + RESTART_AFTER + ALIVE_WITHIN + DRAIN_TIME <= d:
                self.later(base, self.kill_sim, KILL_POOL[(m - 1) % len(KILL_POOL)])
            if base + STOP_AT + STOP_FOR < d:
                idx = STOP_POOL[(m - 1) % len(STOP_POOL)]
                self.later(base + STOP_AT, self.pause_sim, idx, True)
                self.later(base + STOP_AT + STOP_FOR, self.pause_sim, idx, False)
            if base + TLS_FAULT_AT + TLS_FAULT_FOR < d:
                key, value = TLS_FAULTS[(m - 1) % len(TLS_FAULTS)]
                for handles in self.tls.values():
                    h = handles[TLS_FAULTED[(m - 1) % len(TLS_FAULTED)] - 1]
                    self.later(base + TLS_FAULT_AT, self.tls_fault, h, key, value)
                    self.later(base + TLS_FAULT_AT + TLS_FAULT_FOR, self.tls_fault,
                               h, key, None)
        back = SMTP_GONE_AT + SMTP_GONE_FOR + SMTP_SILENT_FOR
        if back + 120 <= d:
            self.later(SMTP_GONE_AT, self.smtp_gone)
        else:
            self.skipped["smtp outage"] = "needs %d minutes" % ((back + 120) // 60)
        t, number = BURST_FIRST, 1
        while t + 60 <= d:
            self.later(t, self.burst, number)
            t, number = t + BURST_EVERY, number + 1
        threading.Thread(target=self.readers, daemon=True).start()
        if http_present():
            threading.Thread(target=self.scraper, daemon=True).start()

    # -- sampling ------------------------------------------------------------------
    def sample(self, until, nodes):
        """Snapshots once a second and resources every 10 s until `until`
        (monotonic) or the daemon's end; returns the series."""
        snaps, resources = [], []
        pid = self.k.proc.pid
        nxt = time.monotonic()
        last_res = 0.0
        timeouts, torn = 0, []
        while time.monotonic() < until and self.k.running():
            if time.monotonic() - last_res >= RESOURCES_EVERY:
                last_res = time.monotonic()
                try:
                    mem = benchrun.memory_kib(pid)
                    resources.append({"t": time.time(), "rss_kib": mem["VmRSS"],
                                      "fds": len(os.listdir("/proc/%d/fd" % pid)),
                                      "threads": mem["Threads"]})
                except (FileNotFoundError, ProcessLookupError):
                    break
            try:
                with self.pipe_lock:
                    wall, _, text = benchrun.timed_snapshot(self.k.nodewatch)
                recs = parse_strict(text)
                if recs is None or len(recs) != nodes:
                    torn.append(text[:40])
                else:
                    snaps.append((wall, recs))
            except (benchrun.Timeout, OSError):
                timeouts += 1
            nxt += SNAPSHOT_EVERY
            delay = nxt - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                nxt = time.monotonic()
        return snaps, resources, timeouts, torn

    def run(self):
        chassis, cluster, hosts = self.start_peers()
        datadir = os.path.join(self.work, "data")
        daemon.write_config(datadir, chassis, cluster)
        self.k = daemon.Kestrel(datadir, hosts=hosts).start()
        self.k.wait_ready(timeout=60)
        log("kestrel pid %d (%s); waiting for every node's first reading"
            % (self.k.proc.pid, util.build_dir()))
        names = list(hosts)
        t_start = time.monotonic()
        try:
            util.wait_until(lambda: all(r["TIME"] and not r["DEAD"] for r in
                                        self.k.records().values()) or None,
                            SETTLE_LIMIT, interval=1, what="every node read")
        except AssertionError as e:
            log(str(e))
        settle = time.monotonic() - t_start
        log("faults start; %d minutes" % self.args.minutes)
        t0 = time.time()
        self.schedule()
        snaps, resources, timeouts, torn = self.sample(
            time.monotonic() + self.duration, len(names))
        self.stop_event.set()
        alive_at_end = self.k.running()
        time.sleep(DRAIN_TIME if alive_at_end else 0)
        exit_status = self.k.stop() if alive_at_end else self.k.proc.returncode
        stderr = self.k.stderr()
        return {
            "nodes": len(names), "settle_s": settle, "t0": t0,
            "snapshot_count": len(snaps), "snapshot_timeouts": timeouts,
            "snapshot_torn": len(torn), "snapshot_torn_heads": torn[:5],
            "daemon_alive_at_end": alive_at_end, "exit_status": exit_status,
            "stderr_bytes": len(stderr),
            "resources": self.resources(resources, t0),
            "faults": self.fault_times(snaps),
            "fresh": self.freshness(snaps, names),
            "commands": self.commands(stderr),
            "alerts": self.alerts(),
            "sanitizer": self.sanitizer(stderr),
            "readers": dict(self.counters, http=None),
            "http": dict(self.counters["http"]) if http_present() else None,
            "events": self.events,
            "skipped": self.skipped,
        }

    # -- analysis -------------------------------------------------------------------
    def resources(self, samples, t0):
        warm = t0 + self.args.warmup
        after = [s for s in samples if s["t"] >= warm]
        out = {"samples": len(samples), "warmup_s": self.args.warmup,
               "series": samples}
        for key, scale in (("rss_kib", 1 / 1024.0), ("fds", 1), ("threads", 1)):
            vals = [s[key] * scale for s in after]
            ts = [s["t"] for s in after]
            fifth = max(1, len(vals) // 5)
            out[key] = {
                "first": samples[0][key] * scale if samples else None,
                "after_warmup_min": min(vals) if vals else None,
                "after_warmup_max": max(vals) if vals else None,
                "last": vals[-1] if vals else None,
                "slope_per_hour": slope(ts, vals),
                # Allocator warm-up flattens out; a leak keeps its slope.
                "slope_last_half_per_hour": slope(ts[len(ts) // 2:], vals[len(vals) // 2:]),
                "growth": (median(vals[-fifth:]) - median(vals[:fifth])
                           if len(vals) >= 2 else None),
            }
        return out

    def fault_times(self, snaps):
        kills = []
        by_node = {}
        for e in self.events:
            by_node.setdefault(e["node"], []).append(e)
        for e in self.events:
            if e["what"] != "kill":
                continue
            node = e["node"]
            restart = next((x["t"] for x in by_node[node]
                            if x["what"] == "restarted" and x["t"] > e["t"]), None)
            dead = first_after(snaps, node, e["t"], lambda s: s[0] == 1,
                               until=restart)
            alive = (first_after(snaps, node, restart, lambda s: s[0] == 0)
                     if restart else None)
            kills.append({"node": node, "killed": e["t"], "restarted": restart,
                          "dead_after_s": None if dead is None else dead - e["t"],
                          "alive_after_s": None if alive is None else alive - restart})
        return {"kills": kills}

    def freshness(self, snaps, names):
        faulted = set(ipmisim.node_name(i) for i in list(KILL_POOL) + list(STOP_POOL))
        for handles in self.tls.values():
            faulted.update(handles[i - 1].name for i in TLS_FAULTED)
        clean = [n for n in names if n not in faulted]
        ages, dead, unread = [], set(), 0
        worst = {}
        for wall, recs in snaps:
            for n in clean:
                d, t = recs.get(n, (1, 0))
                if d:
                    dead.add(n)
                if not t:
                    unread += 1
                    continue
                ages.append(wall - t)
                worst[n] = max(worst.get(n, 0), wall - t)
        top = sorted(worst.items(), key=lambda x: -x[1])[:5]
        return {"nodes": len(clean), "age_s": benchrun.summary(ages),
                "ever_dead": sorted(dead), "unread_samples": unread,
                "worst_nodes": top}

    def commands(self, stderr):
        executed = [n for n in UNKNOWN_NODE.findall(stderr) if n.startswith("soakb")]
        written = list(self.written)
        seen = set(executed)
        in_order = executed == written
        return {"written": len(written), "executed": len(executed),
                "missing": sum(1 for n in written if n not in seen),
                "duplicates": len(executed) - len(seen),
                "in_order": in_order,
                "first_difference": None if in_order else next(
                    (i for i, (a, b) in enumerate(zip(written, executed)) if a != b),
                    min(len(written), len(executed)))}

    def alerts(self):
        due = sorted(ipmisim.node_name(i) for i in HOT)
        phases = []
        back = None
        for phase, started, d in self.smtp_phases:
            msgs = []
            for path in sorted(glob.glob(os.path.join(d, "msg*.json"))):
                with open(path) as f:
                    data = json.load(f)["data"]
                text = base64.b64decode(data).decode("ascii", "replace")
                msgs.append((os.path.getmtime(path), text))
            phases.append({"phase": phase, "started": started, "messages": len(msgs)})
            if phase == "back":
                back = (started, msgs)
        out = {"due_nodes": due, "phases": phases}
        if back is None:
            out["after_back"] = None
            return out
        started, msgs = back
        got = set()
        first = {}
        for t, text in msgs:
            for level, _, node in ALERT_NODE.findall(text):
                if level == "Critical" and node in due:
                    got.add(node)
                    first.setdefault(node, t - started)
        out["after_back"] = {
            "emails": len(msgs), "nodes_received": sorted(got),
            "missing": [n for n in due if n not in got],
            "first_arrival_s": min(first.values()) if first else None,
            "last_node_arrival_s": max(first.values()) if first else None}
        return out

    def sanitizer(self, stderr):
        found = [m.group(0) for m in SANITIZER.finditer(stderr)]
        return {"reports": len(found), "first": found[:5]}


# -- small statistics ---------------------------------------------------------------

def slope(ts, vs):
    """Least-squares slope of vs over ts (seconds), per hour; None if < 2."""
    n = len(ts)
    if n < 2:
        return None
    mt, mv = sum(ts) / n, sum(vs) / n
    den = sum((t - mt) ** 2 for t in ts)
    if den == 0:
        return None
    return 3600.0 * sum((t - mt) * (v - mv) for t, v in zip(ts, vs)) / den


RECORD_KEYS = ["$TIME", "$NODE", "$$DEAD", "$$FAN", "$$TEMP", "$$VOLT", "$$DISC",
               "$$POWER"]


def parse_strict(text):
    """{node: (dead, time)} of a whole snapshot; None if any record is
    incomplete (a reader that left early may leave the rest of its snapshot
    in the pipe for the next one)."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if len(lines) % len(RECORD_KEYS):
        return None
    out = {}
    try:
        for i in range(0, len(lines), len(RECORD_KEYS)):
            rec = lines[i:i + len(RECORD_KEYS)]
            if [l.split(" ", 1)[0] for l in rec] != RECORD_KEYS:
                return None
            name = rec[1].split(" ")[2]
            out[name] = (int(rec[2].split(" ")[1]), int(rec[0].split(" ")[1], 16))
    except (IndexError, ValueError):
        return None
    return out


def median(vs):
    s = sorted(vs)
    return s[len(s) // 2] if s else None


def first_after(snaps, node, t, pred, until=None):
    """Wall time of the first snapshot at or after t where pred(node's state)."""
    for wall, recs in snaps:
        if wall < t:
            continue
        if until is not None and wall > until:
            return None
        if node in recs and pred(recs[node]):
            return wall
    return None


# -- report -----------------------------------------------------------------------------

def targets(r):
    out = []

    def add(what, value, limit, ok):
        out.append({"target": what, "value": value, "limit": limit,
                    "met": None if value is None else bool(ok)})

    res = r["resources"]
    v = res["rss_kib"]["slope_per_hour"]
    add("RSS slope after warm-up (MiB/h)", v, "<= %g" % RSS_MIB_PER_HOUR,
        v is not None and v <= RSS_MIB_PER_HOUR)
    for key in ("fds", "threads"):
        g = res[key]["growth"]
        add("%s growth after warm-up (last fifth - first fifth)" % key, g, "<= 0",
            g is not None and g <= 0)
    kills = r["faults"]["kills"]
    if kills:
        dead = [k["dead_after_s"] for k in kills]
        worst = None if None in dead else max(dead)
        add("killed BMC: worst time to dead (s), %d kills" % len(kills), worst,
            "<= %d" % DEAD_WITHIN, worst is not None and worst <= DEAD_WITHIN)
        alive = [k["alive_after_s"] for k in kills if k["restarted"]]
        worst = None if None in alive or not alive else max(alive)
        add("restarted BMC: worst time to alive (s)", worst, "<= %d" % ALIVE_WITHIN,
            worst is not None and worst <= ALIVE_WITHIN)
    p99 = r["fresh"]["age_s"].get("p99")
    add("never-faulted nodes: reading age p99 (s)", p99, "<= %d" % AGE_P99,
        p99 is not None and p99 <= AGE_P99)
    add("never-faulted nodes ever dead", len(r["fresh"]["ever_dead"]), "0",
        not r["fresh"]["ever_dead"])
    c = r["commands"]
    if c["written"]:
        add("commands executed, in order (of %d written)" % c["written"],
            c["executed"], "= written, in order",
            c["executed"] == c["written"] and c["in_order"])
    a = r["alerts"].get("after_back")
    if a is not None:
        due = len(r["alerts"]["due_nodes"])
        add("critical alerts e-mailed after the server is back (of %d due)" % due,
            len(a["nodes_received"]), "= %d" % due, not a["missing"])
    add("sanitizer reports", r["sanitizer"]["reports"], "0",
        r["sanitizer"]["reports"] == 0)
    add("daemon running at the end, exit status on SIGTERM", r["exit_status"], "0",
        r["daemon_alive_at_end"] and r["exit_status"] == 0)
    return out


def fmt(v, digits=2):
    return benchrun.fmt(v, digits)


def table(res):
    r = res["run"]
    m = res["machine"]
    lines = ["Machine: %d CPUs (%s), %d MiB, Linux %s; OpenIPMI %s; kestrel %s"
             % (m["nproc"], m["cpu_model"], m["mem_total_mib"], m["kernel"],
                m["openipmi"], m["kestrel_commit"]),
             "Build %s; %d minutes of faults after %.0f s to first readings; "
             "%d nodes; warm-up %d s" % (res["config"]["build"], res["config"]["minutes"],
                                         r["settle_s"], r["nodes"],
                                         res["config"]["warmup"]), ""]
    res_ = r["resources"]
    lines.append("%-10s %9s %9s %9s %9s %10s %12s %9s" % (
        "resource", "first", "min*", "max*", "last", "slope/h*", "2nd half/h", "growth*"))
    for key, label in (("rss_kib", "RSS MiB"), ("fds", "fds"), ("threads", "threads")):
        x = res_[key]
        lines.append("%-10s %9s %9s %9s %9s %10s %12s %9s" % (
            label, fmt(x["first"], 1), fmt(x["after_warmup_min"], 1),
            fmt(x["after_warmup_max"], 1), fmt(x["last"], 1),
            fmt(x["slope_per_hour"], 2), fmt(x["slope_last_half_per_hour"], 2),
            fmt(x["growth"], 1)))
    lines.append("  (* after the warm-up; %d samples, one per %d s)"
                 % (res_["samples"], RESOURCES_EVERY))
    lines.append("")
    kills = r["faults"]["kills"]
    if kills:
        lines.append("killed BMCs: dead after (s) / alive after restart (s)")
        lines.append("  " + ", ".join("%s %s/%s" % (k["node"], fmt(k["dead_after_s"], 0),
                                                    fmt(k["alive_after_s"], 0))
                                      for k in kills))
    f = r["fresh"]
    lines.append("never-faulted nodes (%d): reading age p50 %s / p99 %s / max %s s; "
                 "ever dead: %s" % (f["nodes"], fmt(f["age_s"].get("p50")),
                                    fmt(f["age_s"].get("p99")), fmt(f["age_s"].get("max")),
                                    ", ".join(f["ever_dead"]) or "none"))
    c = r["commands"]
    lines.append("commands: %d written, %d executed, %d missing, %d duplicated, in order: %s"
                 % (c["written"], c["executed"], c["missing"], c["duplicates"],
                    "yes" if c["in_order"] else "no (first difference at %s)"
                    % c["first_difference"]))
    a = r["alerts"]
    lines.append("e-mails per SMTP phase: " + ", ".join(
        "%s %d" % (p["phase"], p["messages"]) for p in a["phases"]))
    if a.get("after_back"):
        b = a["after_back"]
        lines.append("after the server is back: %d e-mails; critical alerts of %d/%d due "
                     "nodes, first after %s s, last node after %s s"
                     % (b["emails"], len(b["nodes_received"]), len(a["due_nodes"]),
                        fmt(b["first_arrival_s"], 0), fmt(b["last_node_arrival_s"], 0)))
    rd = r["readers"]
    lines.append("one-byte readers: %d opens, %d errors; snapshots %d (%d timed out, "
                 "%d incomplete)" % (rd["reader_opens"], rd["reader_errors"],
                                     r["snapshot_count"], r["snapshot_timeouts"],
                                     r["snapshot_torn"]))
    if r["http"] is not None:
        lines.append("HTTP scrapes: " + ", ".join("%s %d" % kv for kv in
                                                 sorted(r["http"].items())))
    s = r["sanitizer"]
    lines.append("sanitizer reports: %d%s" % (s["reports"], "".join(
        "\n  " + x for x in s["first"])))
    errors = [e for e in r["events"] if e["what"] == "harness error"]
    for e in errors:
        lines.append("harness error: %s" % e["error"])
    for kind, why in sorted(r["skipped"].items()):
        lines.append("skipped %s: %s" % (kind, why))
    lines.append("")
    lines.append("Targets:")
    for t in res["targets"]:
        state = {True: "met", False: "MISSED", None: "-"}[t["met"]]
        lines.append("  %-62s %8s  (%s)  %s" % (t["target"], fmt(t["value"]),
                                              t["limit"], state))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("minutes", nargs="?", type=int, default=30,
                    help="minutes of faults (default 30)")
    ap.add_argument("--build", help="build directory to soak (default: "
                    "KESTREL_BUILD or build/)")
    ap.add_argument("--warmup", type=int, default=None,
                    help="seconds not counted in the slopes (default: a third "
                    "of the run, at most 300)")
    ap.add_argument("--out", help="JSON file (default bench/results/soak-<time>.json)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    args = ap.parse_args()
    if args.build:
        os.environ["KESTREL_BUILD"] = os.path.abspath(args.build)
    if args.warmup is None:
        args.warmup = min(300, args.minutes * 60 // 3)
    util.binary("kestrel")  # fails early if the build is missing

    res = {"machine": benchrun.machine(),
           "config": {"minutes": args.minutes, "warmup": args.warmup,
                      "build": util.build_dir()}}
    work = tempfile.mkdtemp(prefix="kestrel-soak-")
    soak = Soak(args, work)
    try:
        res["run"] = soak.run()
    finally:
        soak.stop_event.set()
        if soak.k is not None and soak.k.running():
            soak.k.stop()
        soak.stop_peers()
        if args.keep:
            log("work directory kept: %s" % work)
        else:
            subprocess.run(["rm", "-rf", work])
    res["targets"] = targets(res["run"])
    out = args.out or os.path.join(
        ROOT, "bench", "results",
        datetime.datetime.now().strftime("soak-%Y%m%d-%H%M%S.json"))
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        json.dump(res, f, indent=1, sort_keys=True)
    print(table(res))
    print("\nJSON: %s" % out)


if __name__ == "__main__":
    main()
