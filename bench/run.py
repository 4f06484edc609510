#!/usr/bin/python3
"""Scale and speed of kestrel against simulated BMCs, and against FreeIPMI.

Started by scripts/bench.sh inside a private network namespace (only `lo`),
so that hundreds of simulated BMCs on 127.0.x.y never meet anything else.
For each fleet size N it starts N ipmi_sim BMCs (tests/harness/ipmisim.py),
runs `kestrel -d` against them (tests/harness/daemon.py), lets it warm up and
then, once a second for a fixed window, takes a status snapshot (freshness of
every node, snapshot latency) and the daemon's CPU time and memory from
/proc. After the window it times power commands through nodecommands.dat
until the simulator's chassis control logs them, stops the daemon, and
sweeps the same BMCs with FreeIPMI's ipmi-sensors every 5 s. Then 512
configured nodes that never answer give the memory and snapshot time at the
table's full size, idle OpenBMC test BMCs (when the harness has them) the
daemon's idle CPU, and the snapshot microbenchmark its in-process timings.

With --sel-rate the simulators' system event logs receive entries during
the window, which the daemon reports; with --baseline-build the same fleet
is measured first with the daemon of another build (one without SEL
watching), so that the cost of SEL watching shows as a ratio.

Nothing here asserts a target: the figures and the targets go into a table
on stdout and into a JSON file.
"""

import argparse
import datetime
import json
import os
import platform
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from tests.harness import chassis, daemon, ipmisim, util  # noqa: E402

try:
    from tests.harness import redfish
except ImportError:
    redfish = None
try:
    from tests.harness import openbmc
except ImportError:  # the TLS test BMC harness is optional
    openbmc = None

CLK_TCK = os.sysconf("SC_CLK_TCK")
SWEEP = 5  # the daemon polls a live node every 5 s; ipmi-sensors sweeps alike

# Binds every sensor the simulated BMC has, so that the daemon reads what
# ipmi-sensors reads: three threshold and two discrete sensors per node.
CHASSIS = chassis.sim("benchnode", discs=2)

OPENBMC_CHASSIS = chassis.openbmc("benchobmc", inlet=False)
OPENBMC_SENSORS = chassis.OPENBMC_SENSORS


def log(text):
    print(text, file=sys.stderr, flush=True)


# -- statistics ----------------------------------------------------------------

def pct(values, p):
    """Nearest-rank percentile; None for no values."""
    if not values:
        return None
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(-(-p * len(s) // 100)) - 1))
    return s[k]


def summary(values):
    if not values:
        return {"n": 0}
    return {"n": len(values), "mean": sum(values) / len(values),
            "p50": pct(values, 50), "p99": pct(values, 99), "max": max(values)}


# -- /proc ---------------------------------------------------------------------

def cpu_seconds(pid, children=False):
    """utime + stime of all threads (and of waited-for children if asked)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / CLK_TCK


def run_ns(pid):
    """CPU time of all threads in nanoseconds (schedstat: finer than ticks)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def memory_kib(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                out[key] = int(rest.split()[0])
    return out


def machine_busy():
    """(busy, total) jiffies of the whole machine."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + v[4]
    return sum(v) - idle, sum(v)


# -- the daemon's pipes ----------------------------------------------------------

class Timeout(Exception):
    pass


def _alarm(signum, frame):
    raise Timeout()


def timed_snapshot(path, timeout=10.0):
    """One snapshot: (wall time at open, seconds from open to EOF, text).

    A blocking open: the output thread waits in its own open for a reader,
    so the time runs from our open to the end of the snapshot."""
    signal.signal(signal.SIGALRM, _alarm)
    wall = time.time()
    t0 = time.perf_counter()
    fd = -1
    chunks = []
    signal.setitimer(signal.ITIMER_REAL, timeout)
    try:
        fd = os.open(path, os.O_RDONLY)
        while True:
            data = os.read(fd, 1 << 16)
            if not data:
                break
            chunks.append(data)
        t1 = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        if fd >= 0:
            os.close(fd)
    return wall, t1 - t0, b"".join(chunks).decode("ascii", "replace")


# -- one measured window ------------------------------------------------------------

class Window:
    """Samples the daemon once a second for `seconds` seconds."""

    def __init__(self, pid, nodewatch, seconds, sim_pids=(), exclude=()):
        self.exclude = set(exclude)  # nodes left out of the reading ages
        self.pid = pid
        self.nodewatch = nodewatch
        self.seconds = seconds
        self.sim_pids = list(sim_pids)

    def run(self):
        ages, dead_nodes, zero_nodes = [], set(), set()
        per_node_max = {}
        cpu, ns, mem, lat = [], [], [], []
        snapshot_errors = 0
        # A snapshot taken just before (warm-up check) leaves the output
        # thread in its 50 ms pause; start once it waits for a reader again.
        time.sleep(0.2)
        sims0 = self._sims_cpu()
        busy0 = machine_busy()
        start = time.monotonic()
        for tick in range(self.seconds + 1):
            delay = start + tick - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            cpu.append(cpu_seconds(self.pid))
            ns.append(run_ns(self.pid))
            mem.append(memory_kib(self.pid))
            try:
                wall, seconds, text = timed_snapshot(self.nodewatch)
            except Timeout:
                snapshot_errors += 1
                continue
            lat.append(seconds)
            for name, rec in daemon.parse_snapshot(text).items():
                if name in self.exclude:
                    continue
                if rec["DEAD"]:
                    dead_nodes.add(name)
                if rec["TIME"] == 0:
                    zero_nodes.add(name)
                    continue
                age = wall - rec["TIME"]
                ages.append(age)
                per_node_max[name] = max(age, per_node_max.get(name, 0))
        elapsed = time.monotonic() - start
        busy1 = machine_busy()
        sims1 = self._sims_cpu()

        per_second = [b - a for a, b in zip(cpu, cpu[1:])]
        per_second_ns = [(b - a) / 1e9 for a, b in zip(ns, ns[1:])]
        per_sweep = [cpu[i + SWEEP] - cpu[i]
                     for i in range(0, len(cpu) - SWEEP, SWEEP)]
        precise = (ns[-1] - ns[0]) / 1e9
        return {
            "seconds": elapsed,
            "samples": len(lat),
            "snapshot_timeouts": snapshot_errors,
            "freshness_s": summary(ages),
            "worst_node_age_s": max(per_node_max.values()) if per_node_max else None,
            "nodes_ever_dead": len(dead_nodes),
            "nodes_never_read": len(zero_nodes),
            "dead_names": sorted(dead_nodes)[:20],
            "cpu": {
                "total_s": cpu[-1] - cpu[0],
                "total_s_schedstat": precise,
                "avg_pct_of_core": 100.0 * precise / elapsed,
                "avg_pct_of_core_stat": 100.0 * (cpu[-1] - cpu[0]) / elapsed,
                "per_second_pct": summary([100.0 * x for x in per_second]),
                "per_second_pct_schedstat": summary([100.0 * x for x in per_second_ns]),
                "per_sweep_s": summary(per_sweep),
                "per_sweep_s_schedstat": precise * SWEEP / elapsed,
            },
            "memory_kib": {
                "rss_last": mem[-1]["VmRSS"], "rss_max": max(m["VmRSS"] for m in mem),
                "peak_rss": mem[-1]["VmHWM"], "threads": mem[-1]["Threads"],
            },
            "snapshot_latency_ms": summary([1000.0 * x for x in lat]),
            "machine_busy_pct": 100.0 * (busy1[0] - busy0[0]) / max(1, busy1[1] - busy0[1])
            * os.cpu_count(),
            "simulators_cpu_pct": (100.0 * (sims1 - sims0) / elapsed
                                   if self.sim_pids else None),
        }

    def _sims_cpu(self):
        total = 0.0
        for pid in self.sim_pids:
            try:
                total += cpu_seconds(pid, children=True)
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total


# -- power commands -------------------------------------------------------------------

def chassis_lines(sim):
    path = os.path.join(sim.statedir, "chassis.log")
    return util.read_text(path).splitlines()


def command_latency(k, sims, count):
    """Power-on commands to powered-on nodes, round robin; each timed from the
    write into nodecommands.dat to the time stamp the simulator's chassis
    control logs with it. A reset stands in should power-on not be logged."""
    keyword, expect = "$DO_POWER_ON", "power 1"
    lat, missed = [], 0
    rng = random.Random(7)
    for c in range(count):
        sim = sims.sims[c % len(sims.sims)]
        before = len(chassis_lines(sim))
        sent = time.time()
        k.command("$VERSION 1\n%s %s\n" % (keyword, sim.name))
        try:
            util.wait_until(lambda: len(chassis_lines(sim)) > before, 10,
                            interval=0.01, what="chassis control")
        except AssertionError:
            missed += 1
            if c == 0 and keyword == "$DO_POWER_ON":
                log("  power-on of a powered node is not logged; using reset")
                keyword, expect = "$DO_RESET", "reset 1"
            continue
        line = chassis_lines(sim)[before]
        stamp, _, what = line.partition(" ")
        if what != expect:
            missed += 1
            continue
        lat.append(float(stamp) - sent)
        # Spread the commands over the phases of the daemon's main loop.
        time.sleep(rng.uniform(0.2, 0.7))
    return {"command": keyword, "sent": count, "missed": missed,
            "latency_ms": summary([1000.0 * x for x in lat])}


# -- FreeIPMI ---------------------------------------------------------------------------

def ipmi_sensors_cmd(addrs, cachedir):
    return ["ipmi-sensors", "-h", ",".join(addrs), "-u", ipmisim.USER,
            "-p", ipmisim.PASSWORD, "--driver-type=LAN_2_0", "-W",
            "opensesspriv", "--sdr-cache-directory=" + cachedir]


def ipmi_sensors_once(cmd, outpath):
    with open(outpath, "wb") as out:
        t0 = time.monotonic()
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.monotonic() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    text = util.read_text(outpath)
    # "<host>: <id> | <name> | ..." per sensor; the header line has "ID".
    rows = [l for l in text.splitlines()
            if "|" in l and not l.split(":", 1)[-1].strip().startswith("ID")]
    return {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
            "status": p.returncode, "rows": len(rows)}


def ipmi_sensors_sweeps(addrs, workdir, sweeps):
    cachedir = os.path.join(workdir, "sdr-cache")
    os.makedirs(cachedir, exist_ok=True)
    cmd = ipmi_sensors_cmd(addrs, cachedir)
    out = os.path.join(workdir, "ipmi-sensors.out")
    warm = ipmi_sensors_once(cmd, out)  # fills the SDR cache; not counted
    runs = []
    start = time.monotonic()
    for i in range(sweeps):
        delay = start + i * SWEEP - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        runs.append(ipmi_sensors_once(cmd, out))
    return {
        "command": " ".join(cmd[:1] + ["-h", "<%d addresses>" % len(addrs)] + cmd[3:]),
        "warm_up_sweep": warm,
        "sweeps": len(runs),
        "expected_rows": 5 * len(addrs),
        "rows_min": min(r["rows"] for r in runs),
        "failed_runs": sum(1 for r in runs if r["status"] != 0),
        "wall_s": summary([r["wall_s"] for r in runs]),
        "cpu_s": summary([r["cpu_s"] for r in runs]),
    }


# -- runs ---------------------------------------------------------------------------------

def cluster_text(names, chassis):
    return "".join("$NODE %s %s %s %s\n" % (n, chassis, ipmisim.USER,
                                             ipmisim.PASSWORD) for n in names)


def start_kestrel(datadir, chassis, cluster, hosts):
    daemon.write_config(datadir, chassis, cluster)
    k = daemon.Kestrel(datadir, hosts=hosts).start()
    k.wait_ready(timeout=60)
    return k


def stop_kestrel(k):
    status = k.stop()
    if status != 0:
        log("  kestrel ended with %s; stderr tail:\n%s" % (status, k.stderr()[-2000:]))
    return status


class SelWriter:
    """Writes `rate` SEL entries per node per minute into the simulators
    through their consoles, spread evenly, until stopped: a correctable ECC
    error (a warning: logged, not mailed) of a memory sensor the SDRs do not
    describe, so that the daemon decodes and names each one."""

    def __init__(self, sims, rate):
        self.sims = list(sims)
        self.interval = 60.0 / (rate * len(self.sims)) if rate else None
        self.stopping = threading.Event()
        self.written = 0
        self.failed = 0
        self.thread = None

    def __enter__(self):
        if self.interval:
            self.thread = threading.Thread(target=self._run, daemon=True)
            self.thread.start()
        return self

    def _run(self):
        i = 0
        start = time.monotonic()
        while not self.stopping.wait(max(0.0, start + i * self.interval
                                         - time.monotonic())):
            try:
                self.sims[i % len(self.sims)].sel_add(
                    ipmisim.SEL_MEMORY, 0x40, 0)
                self.written += 1
            except (OSError, ipmisim.SimError):
                self.failed += 1
            i += 1

    def __exit__(self, *exc):
        self.stopping.set()
        if self.thread:
            self.thread.join()


def measured_window(n, args, sims, datadir, build=None):
    """Warm-up and window of one daemon against the fleet; the daemon is
    left running for the caller (None on its own window's failure)."""
    saved = os.environ.get("KESTREL_BUILD")
    if build:
        os.environ["KESTREL_BUILD"] = build
    try:
        k = start_kestrel(datadir, CHASSIS,
                          cluster_text([s.name for s in sims], "benchnode"),
                          sims.hosts())
    finally:
        if build:
            os.environ["KESTREL_BUILD"] = saved or ""
            if saved is None:
                del os.environ["KESTREL_BUILD"]
    log("  kestrel%s pid %d; warm-up %d s" % (
        " (%s)" % build if build else "", k.proc.pid, args.warmup))
    time.sleep(args.warmup)
    recs = k.records()
    answering = sum(1 for r in recs.values() if r["TIME"] and not r["DEAD"])
    log("  %d/%d nodes answering; measuring %d s" % (answering, n, args.seconds))
    with SelWriter(sims, args.sel_rate) as writer:
        window = Window(k.proc.pid, k.nodewatch, args.seconds,
                        [s.proc.pid for s in sims]).run()
    window["sel_entries_written"] = writer.written
    window["sel_entries_failed"] = writer.failed
    return k, answering, window


def live_run(n, args, workroot):
    log("== %d simulated BMCs" % n)
    work = os.path.join(workroot, "n%d" % n)
    os.makedirs(work)
    t = time.monotonic()
    sims = ipmisim.SimSet(os.path.join(work, "sims"), n)
    result = {"nodes": n, "simulators_start_s": time.monotonic() - t}
    k = None
    try:
        if args.baseline_build:
            k, _, result["baseline_window"] = measured_window(
                n, args, sims, os.path.join(work, "baseline"),
                args.baseline_build)
            result["baseline_exit"] = stop_kestrel(k)
            k = None
        k, result["answering_after_warmup"], result["window"] = measured_window(
            n, args, sims, os.path.join(work, "data"))
        result["sel_events_logged"] = k.stderr().count("Hardware event on ")
        if args.baseline_build:
            base = result["baseline_window"]["cpu"]["per_sweep_s_schedstat"]
            now = result["window"]["cpu"]["per_sweep_s_schedstat"]
            result["cpu_over_baseline_pct"] = (100.0 * (now - base) / base
                                               if base else None)
        log("  power commands")
        result["commands"] = command_latency(k, sims, args.commands)
        result["kestrel_exit"] = stop_kestrel(k)
        result["kestrel_stderr_lines"] = len(k.stderr().splitlines())
        k = None
        sweeps = args.sweeps or max(3, args.seconds // SWEEP)
        log("  ipmi-sensors: %d sweeps" % sweeps)
        result["ipmi_sensors"] = ipmi_sensors_sweeps(
            [s.addr for s in sims], work, sweeps)
        kc = result["window"]["cpu"]["per_sweep_s_schedstat"]
        fc = result["ipmi_sensors"]["cpu_s"]["mean"]
        result["cpu_per_sweep_ratio"] = kc / fc if fc else None
    finally:
        if k is not None:
            stop_kestrel(k)
        sims.stop_all()
    return result


def configured_run(count, args, workroot):
    """`count` configured nodes whose BMC addresses nobody answers."""
    log("== %d configured nodes, none answering" % count)
    work = os.path.join(workroot, "configured%d" % count)
    names = ["silent%03d" % (i + 1) for i in range(count)]
    hosts = {name: "127.1.%d.%d" % (1 + i // 254, 1 + i % 254)
             for i, name in enumerate(names)}
    k = start_kestrel(os.path.join(work, "data"), CHASSIS,
                      cluster_text(names, "benchnode"), hosts)
    try:
        warm = min(args.warmup, 10)
        time.sleep(warm)
        window = Window(k.proc.pid, k.nodewatch, args.configured_seconds).run()
    finally:
        stop_kestrel(k)
    return {"nodes": count, "window": window}


def openbmc_run(count, args, workroot):
    log("== %d idle OpenBMC test BMCs" % count)
    work = os.path.join(workroot, "openbmc%d" % count)
    os.makedirs(work)
    names = ["obmc%02d" % (i + 1) for i in range(count)]
    addrs = ["127.2.0.%d" % (i + 1) for i in range(count)]
    bmcs = []
    k = None
    try:
        for name, addr in zip(names, addrs):
            bmcs.append(openbmc.TestBmc(work, name, addr,
                                        sensors=OPENBMC_SENSORS).start())
        cluster = "".join("$NODE %s benchobmc root 0penBmc\n" % n for n in names)
        k = start_kestrel(os.path.join(work, "data"), OPENBMC_CHASSIS, cluster,
                          dict(zip(names, addrs)))
        time.sleep(args.warmup)
        window = Window(k.proc.pid, k.nodewatch, args.seconds,
                        [b.proc.pid for b in bmcs]).run()
    finally:
        if k is not None:
            stop_kestrel(k)
        for b in bmcs:
            b.stop()
    return {"nodes": count, "window": window}


REDFISH_CHASSIS = chassis.section("benchrf", [
    ("FAN", "Fan0", "Fan0", "300 600 20000 25000"),
    ("FAN", "Fan1", "Fan1", "300 600 20000 25000"),
    ("TEMP", "CPU", '"CPU1 Temp"', "0 5 80 90"),
    ("TEMP", "Inlet", '"Inlet Temp"', "0 5 40 50"),
    ("TEMP", "DIMM", '"DIMM Temp"', "0 5 80 90"),
    ("VOLT", "P12V", '"P12V"', "10.8 11.4 12.6 13.2"),
    ("VOLT", "P5V", '"P5V"', "4.5 4.75 5.25 5.5"),
    ("DISC", "PSU", "PSU1", "1")], "$$REDFISH")


def redfish_sensors():
    s = redfish.sensor
    return [s("fan", "Fan0", 6800), s("fan", "Fan1", 7000),
            s("temp", "CPU1 Temp", 44.0), s("temp", "Inlet Temp", 22.5),
            s("temp", "DIMM Temp", 38.0), s("volt", "P12V", 12.02),
            s("volt", "P5V", 5.01), s("psu", "PSU1", None, health="OK")]


def redfish_run(count, flavour, args, workroot, stall=0, latency=None,
                warmup=None):
    """`count` idle Redfish test BMCs of one flavour, served by one process;
    `stall` of them stop answering before the window; `latency` (seconds, or
    [low, high]) slows every request as real BMCs are slow."""
    log("== %d idle Redfish test BMCs (%s)%s%s" % (
        count, flavour, ", %d stalled" % stall if stall else "",
        ", %s s a request" % (latency,) if latency else ""))
    work = os.path.join(workroot, "redfish-%s-%d%s" % (
        flavour, count, "-slow" if latency else ""))
    os.makedirs(work)
    names = ["rf%03d" % (i + 1) for i in range(count)]
    addrs = ["127.3.%d.%d" % (1 + i // 254, 1 + i % 254) for i in range(count)]
    fleet = redfish.Fleet(work, [
        dict({"name": n, "address": a, "flavour": flavour, "log": False,
              "sensors": redfish_sensors()},
             **({"latency": latency} if latency else {}))
        for n, a in zip(names, addrs)])
    k = None
    try:
        fleet.start()
        cluster = "".join("$NODE %s benchrf admin secret\n" % n for n in names)
        k = start_kestrel(os.path.join(work, "data"), REDFISH_CHASSIS, cluster,
                          dict(zip(names, addrs)))
        time.sleep(args.warmup if warmup is None else warmup)
        window = Window(k.proc.pid, k.nodewatch, args.seconds,
                        [fleet.proc.pid]).run()
        if stall:
            # A second window with some BMCs stalled: the others' ages.
            for n in names[:stall]:
                fleet.control(n, stall="reply")
            window["stalled"] = Window(k.proc.pid, k.nodewatch, args.seconds,
                                       [fleet.proc.pid],
                                       exclude=names[:stall]).run()
    finally:
        for n in names[:stall]:
            try:
                fleet.control(n, stall=None)
            except Exception:  # noqa: BLE001 - stopping anyway
                pass
        if k is not None:
            stop_kestrel(k)
        fleet.stop()
    return {"nodes": count, "flavour": flavour, "stalled": stall,
            "latency": latency, "window": window}


def http_run(n, args, workroot):
    """`n` simulated IPMI BMCs, $HTTP_LISTEN on: the daemon's CPU in a window
    without scrapes, then in one with a /metrics scrape every second."""
    import urllib.request
    log("== %d simulated BMCs, HTTP scrapes" % n)
    work = os.path.join(workroot, "http%d" % n)
    os.makedirs(work)
    sims = ipmisim.SimSet(os.path.join(work, "sims"), n)
    listen = "127.0.0.1:9180"
    k = None
    try:
        text = cluster_text([s.name for s in sims], "benchnode")
        k = start_kestrel(os.path.join(work, "data"), CHASSIS,
                          text + "$HTTP_LISTEN %s\n" % listen, sims.hosts())
        time.sleep(args.warmup)
        quiet = Window(k.proc.pid, k.nodewatch, args.seconds).run()
        stop = [False]
        fetch = []

        def scraper():
            while not stop[0]:
                t = time.monotonic()
                with urllib.request.urlopen("http://%s/metrics" % listen,
                                            timeout=5) as r:
                    r.read()
                fetch.append(time.monotonic() - t)
                time.sleep(max(0, 1 - (time.monotonic() - t)))
        import threading
        th = threading.Thread(target=scraper, daemon=True)
        th.start()
        scraped = Window(k.proc.pid, k.nodewatch, args.seconds).run()
        stop[0] = True
        th.join(10)
        slow = slow_clients_scrapes(listen)
    finally:
        if k is not None:
            stop_kestrel(k)
        sims.stop_all()
    return {"nodes": n, "quiet": quiet, "scraped": scraped,
            "scrape_ms": summary([1000.0 * x for x in fetch]),
            "slow_clients": SLOWCLIENTS,
            "slow_clients_scrape_ms": summary([1000.0 * x for x in slow]),
            "extra_cpu_pct": scraped["cpu"]["avg_pct_of_core"]
            - quiet["cpu"]["avg_pct_of_core"]}


SLOWCLIENTS = 200


def slow_clients_scrapes(listen, seconds=15):
    """Seconds per /metrics scrape from an address of its own, two a second,
    while SLOWCLIENTS connections from 16 other addresses stay open: half
    say nothing, half trickle a request head a byte a second. A scrape that
    fails counts as 5 s."""
    import http.client
    import socket
    host, port = listen.rsplit(":", 1)
    conns = []
    for i in range(SLOWCLIENTS):
        s = socket.socket()
        s.bind(("127.0.3.%d" % (1 + i % 16), 0))
        s.settimeout(5)
        try:
            s.connect((host, int(port)))
        except OSError:
            s.close()
            continue
        conns.append(s)
    head = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 100
    fetch = []
    start = time.monotonic()
    sent = 0
    try:
        while time.monotonic() - start < seconds:
            if time.monotonic() - start >= sent:
                for s in conns[::2]:
                    try:
                        s.send(head[sent:sent + 1])
                    except OSError:
                        pass
                sent += 1
            t = time.monotonic()
            c = http.client.HTTPConnection(host, int(port), timeout=5,
                                           source_address=("127.0.4.1", 0))
            try:
                c.request("GET", "/metrics")
                r = c.getresponse()
                r.read()
                fetch.append(time.monotonic() - t if r.status == 200 else 5.0)
            except OSError:
                fetch.append(5.0)
            finally:
                c.close()
            time.sleep(max(0, 0.5 - (time.monotonic() - t)))
    finally:
        for s in conns:
            s.close()
    return fetch


def http_microbench():
    path = os.path.join(util.build_dir(), "bench", "http_bench")
    if not os.access(path, os.X_OK):
        return {}
    r = subprocess.run([path], capture_output=True, text=True, timeout=600)
    return {"output": r.stdout[-4000:]}


def microbench():
    path = os.path.join(util.build_dir(), "bench", "snapshot_bench")
    if not os.access(path, os.X_OK):
        return None
    log("== snapshot microbenchmark")
    out = subprocess.run([path, "--benchmark_format=json",
                          "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true"],
                         capture_output=True, text=True, check=True).stdout
    rows = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            rows[b["run_name"]] = {"real_us": b["real_time"], "cpu_us": b["cpu_time"]}
    return rows


# -- machine and report -------------------------------------------------------------------

def first_line(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // 1024
    return {
        "nproc": len(os.sched_getaffinity(0)),
        "cpu_model": model,
        "mem_total_mib": mem,
        "kernel": platform.release(),
        "freeipmi": first_line(["ipmi-sensors", "--version"]),
        "openipmi": first_line(["pkg-config", "--modversion", "OpenIPMI"]),
        "kestrel_commit": first_line(["git", "-C", ROOT, "describe", "--always",
                                      "--dirty"]),
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }


def targets(res):
    out = []

    def add(what, value, limit, ok):
        out.append({"target": what, "value": value, "limit": limit,
                    "met": None if value is None else bool(ok)})

    big = [r for r in res["runs"] if r["nodes"] >= 128]
    if big:
        r = max(big, key=lambda r: r["nodes"])
        w = r["window"]
        add("%d BMCs: p99 reading age (s)" % r["nodes"], w["freshness_s"].get("p99"),
            "<= 6", (w["freshness_s"].get("p99") or 99) <= 6)
        add("%d BMCs: nodes ever dead" % r["nodes"], w["nodes_ever_dead"], "0",
            w["nodes_ever_dead"] == 0)
        add("%d BMCs: daemon CPU (%% of one core)" % r["nodes"],
            w["cpu"]["avg_pct_of_core"], "<= 2", w["cpu"]["avg_pct_of_core"] <= 2)
    for r in res["runs"]:
        lat = (r.get("commands") or {}).get("latency_ms") or {}
        for q, bound in (("p50", 20), ("p99", 100)):
            v = lat.get(q)
            add("%d BMCs: power command %s, pipe to BMC (ms)" % (r["nodes"], q),
                v, "<= %d" % bound, v is not None and v <= bound)
    for r in res["runs"]:
        if r.get("cpu_over_baseline_pct") is not None:
            v = r["cpu_over_baseline_pct"]
            add("%d BMCs, %s SEL entries/node/min: daemon CPU over the "
                "baseline build (%%)" % (r["nodes"], fmt(res["config"]["sel_rate"])),
                v, "<= 10", v <= 10)
        ratio = r.get("cpu_per_sweep_ratio")
        if ratio is not None:
            add("%d BMCs: CPU per sweep, ipmi-sensors / kestrel" % r["nodes"],
                1 / ratio if ratio else None, ">= 5", ratio and 1 / ratio >= 5)
    c = res.get("configured")
    if c:
        w = c["window"]
        add("%d configured nodes: snapshot open-to-EOF p99 (ms)" % c["nodes"],
            w["snapshot_latency_ms"].get("p99"), "<= 2",
            (w["snapshot_latency_ms"].get("p99") or 99) <= 2)
        add("%d configured nodes: peak RSS (MiB)" % c["nodes"],
            w["memory_kib"]["peak_rss"] / 1024, "<= 64",
            w["memory_kib"]["peak_rss"] / 1024 <= 64)
    m = res.get("microbench") or {}
    for name in ("BM_WriteSnapshot/sim/512", "BM_WriteSnapshot/server/512"):
        if name in m:
            add("%s (us, in process)" % name, m[name]["real_us"], "<= 2000",
                m[name]["real_us"] <= 2000)
    for r in res.get("redfish", []):
        w = r["window"]
        add("%d idle Redfish nodes (%s): daemon CPU (%% of one core)"
            % (r["nodes"], r["flavour"]), w["cpu"]["avg_pct_of_core"], "<= 0.3",
            w["cpu"]["avg_pct_of_core"] <= 0.3)
        add("%d idle Redfish nodes (%s): reading age p99 (s)"
            % (r["nodes"], r["flavour"]), w["freshness_s"].get("p99"), "<= 6",
            (w["freshness_s"].get("p99") or 99) <= 6)
    r = res.get("redfish_slow")
    if r:
        w = r["window"]
        add("%d slow (2-8 s) Redfish nodes: nodes ever dead" % r["nodes"],
            w["nodes_ever_dead"], "0", w["nodes_ever_dead"] == 0)
        add("%d slow (2-8 s) Redfish nodes: reading age p99 (s)" % r["nodes"],
            w["freshness_s"].get("p99"), "<= 30",
            (w["freshness_s"].get("p99") or 99) <= 30)
    r = res.get("redfish_large")
    if r:
        w = r["window"]
        add("%d Redfish nodes: reading age p99 (s)" % r["nodes"],
            w["freshness_s"].get("p99"), "<= 6", (w["freshness_s"].get("p99") or 99) <= 6)
        add("%d Redfish nodes: peak RSS (MiB)" % r["nodes"],
            w["memory_kib"]["peak_rss"] / 1024, "<= 128",
            w["memory_kib"]["peak_rss"] / 1024 <= 128)
        o = w["stalled"]["freshness_s"].get("p99")
        add("%d Redfish nodes, one stalled: the others' age p99 (s)" % r["nodes"],
            o, "<= 6", (o or 99) <= 6)
    h = res.get("http")
    if h:
        add("%d BMCs: extra daemon CPU with a scrape a second (%% of one core)"
            % h["nodes"], h["extra_cpu_pct"], "<= 0.2", h["extra_cpu_pct"] <= 0.2)
        v = h["slow_clients_scrape_ms"].get("max")
        add("scrape with %d slow connections open: slowest (ms)"
            % h["slow_clients"], v, "<= 2000", (v or 1e9) <= 2000)
    o = res.get("openbmc")
    if o:
        v = o["window"]["cpu"]["avg_pct_of_core"]
        add("%d idle OpenBMC nodes: daemon CPU (%% of one core)" % o["nodes"], v,
            "<= 0.5", v <= 0.5)
    return out


def fmt(v, digits=2):
    if v is None:
        return "-"
    if isinstance(v, float):
        return "%.*f" % (digits, v)
    return str(v)


def table(res):
    runs = res["runs"]
    lines = []
    m = res["machine"]
    lines.append("Machine: %d CPUs (%s), %d MiB, Linux %s; %s; OpenIPMI %s; kestrel %s"
                 % (m["nproc"], m["cpu_model"], m["mem_total_mib"], m["kernel"],
                    m["freeipmi"], m["openipmi"], m["kestrel_commit"]))
    lines.append("Warm-up %d s, window %d s, sampled once a second."
                 % (res["config"]["warmup"], res["config"]["seconds"]))
    lines.append("")
    if runs:
        head = ["simulated BMCs"] + [str(r["nodes"]) for r in runs]
        rows = []

        def row(label, get, digits=2):
            vals = []
            for r in runs:
                try:
                    vals.append(fmt(get(r), digits))
                except (KeyError, TypeError):
                    vals.append("-")
            rows.append([label] + vals)

        row("answering after warm-up", lambda r: r["answering_after_warmup"])
        row("reading age p50 (s)", lambda r: r["window"]["freshness_s"]["p50"])
        row("reading age p99 (s)", lambda r: r["window"]["freshness_s"]["p99"])
        row("reading age max (s)", lambda r: r["window"]["freshness_s"]["max"])
        row("nodes ever dead", lambda r: r["window"]["nodes_ever_dead"])
        row("daemon CPU avg (% core)", lambda r: r["window"]["cpu"]["avg_pct_of_core"])
        row("daemon CPU/s p50 (% core)",
            lambda r: r["window"]["cpu"]["per_second_pct_schedstat"]["p50"])
        row("daemon CPU/s max (% core)",
            lambda r: r["window"]["cpu"]["per_second_pct_schedstat"]["max"])
        row("daemon CPU per 5 s sweep (ms)",
            lambda r: 1000 * r["window"]["cpu"]["per_sweep_s_schedstat"], 1)
        row("RSS / peak RSS (MiB)", lambda r: "%.1f / %.1f" % (
            r["window"]["memory_kib"]["rss_last"] / 1024,
            r["window"]["memory_kib"]["peak_rss"] / 1024))
        if res["config"].get("sel_rate"):
            row("SEL entries written / logged", lambda r: "%d / %d" % (
                r["window"]["sel_entries_written"], r["sel_events_logged"]))
        if res["config"].get("baseline_build"):
            row("baseline CPU per 5 s sweep (ms)", lambda r: 1000 * r[
                "baseline_window"]["cpu"]["per_sweep_s_schedstat"], 1)
            row("CPU over baseline (%)", lambda r: r["cpu_over_baseline_pct"], 1)
        row("snapshot p50 (ms)", lambda r: r["window"]["snapshot_latency_ms"]["p50"])
        row("snapshot p99 (ms)", lambda r: r["window"]["snapshot_latency_ms"]["p99"])
        row("command p50 (ms)", lambda r: r["commands"]["latency_ms"]["p50"], 0)
        row("command p99 (ms)", lambda r: r["commands"]["latency_ms"]["p99"], 0)
        row("ipmi-sensors wall/sweep (s)", lambda r: r["ipmi_sensors"]["wall_s"]["mean"])
        row("ipmi-sensors CPU/sweep (ms)",
            lambda r: 1000 * r["ipmi_sensors"]["cpu_s"]["mean"], 1)
        row("ipmi-sensors / kestrel CPU", lambda r: 1 / r["cpu_per_sweep_ratio"], 1)
        row("simulators' CPU (% core)", lambda r: r["window"]["simulators_cpu_pct"], 0)
        row("machine busy (% core)", lambda r: r["window"]["machine_busy_pct"], 0)
        widths = [max(len(x[i]) for x in [head] + rows) for i in range(len(head))]
        for x in [head] + rows:
            lines.append("  ".join(c.ljust(widths[0]) if i == 0 else c.rjust(widths[i])
                                   for i, c in enumerate(x)))
        lines.append("")
    c = res.get("configured")
    if c:
        w = c["window"]
        lines.append("%d configured nodes, none answering: RSS %.1f MiB, peak %.1f MiB, "
                     "snapshot p50 %s ms / p99 %s ms, CPU %.2f %% of a core"
                     % (c["nodes"], w["memory_kib"]["rss_last"] / 1024,
                        w["memory_kib"]["peak_rss"] / 1024,
                        fmt(w["snapshot_latency_ms"]["p50"]),
                        fmt(w["snapshot_latency_ms"]["p99"]),
                        w["cpu"]["avg_pct_of_core"]))
    o = res.get("openbmc")
    if o:
        w = o["window"]
        lines.append("%d idle OpenBMC test BMCs: daemon CPU %.2f %% of a core, "
                     "reading age p99 %s s, nodes ever dead %d, RSS %.1f MiB"
                     % (o["nodes"], w["cpu"]["avg_pct_of_core"],
                        fmt(w["freshness_s"].get("p99")), w["nodes_ever_dead"],
                        w["memory_kib"]["rss_last"] / 1024))
    elif res["config"]["openbmc"]:
        lines.append("OpenBMC: skipped (%s)" % res.get("openbmc_skipped", "?"))
    for r in res.get("redfish", []) + ([res["redfish_large"]]
                                        if res.get("redfish_large") else []):
        w = r["window"]
        lines.append("%d Redfish test BMCs (%s%s): daemon CPU %.2f %% of a core, "
                     "reading age p99 %s s, nodes ever dead %d, RSS %.1f MiB%s"
                     % (r["nodes"], r["flavour"],
                        "",
                        w["cpu"]["avg_pct_of_core"], fmt(w["freshness_s"].get("p99")),
                        w["nodes_ever_dead"], w["memory_kib"]["peak_rss"] / 1024,
                        ", with %d stalled the others' age p99 %s s" % (
                            r["stalled"], fmt(w["stalled"]["freshness_s"].get("p99")))
                        if r["stalled"] else ""))
    h = res.get("http")
    if h:
        lines.append("%d BMCs over HTTP: daemon CPU %.2f %% of a core without "
                     "scrapes, %.2f %% with one /metrics scrape a second "
                     "(fetch p50 %s ms, p99 %s ms)"
                     % (h["nodes"], h["quiet"]["cpu"]["avg_pct_of_core"],
                        h["scraped"]["cpu"]["avg_pct_of_core"],
                        fmt(h["scrape_ms"].get("p50")), fmt(h["scrape_ms"].get("p99"))))
        lines.append("/metrics from a new address with %d idle or trickling "
                     "connections from 16 others open: p50 %s ms, slowest %s ms"
                     % (h["slow_clients"],
                        fmt(h["slow_clients_scrape_ms"].get("p50")),
                        fmt(h["slow_clients_scrape_ms"].get("max"))))
    if res.get("http_microbench", {}).get("output"):
        lines.append("http_bench:\n" + res["http_microbench"]["output"].rstrip())
    if res.get("microbench"):
        for name, v in res["microbench"].items():
            lines.append("microbenchmark %s: %.0f us" % (name, v["real_us"]))
    lines.append("")
    lines.append("Targets:")
    for t in res["targets"]:
        state = {True: "met", False: "MISSED", None: "-"}[t["met"]]
        lines.append("  %-60s %10s  (%s)  %s" % (t["target"], fmt(t["value"]),
                                                t["limit"], state))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--nodes", default="8,32,128",
                    help="fleet sizes, comma-separated (default 8,32,128)")
    ap.add_argument("--seconds", type=int, default=60, help="measured window")
    ap.add_argument("--warmup", type=int, default=20, help="warm-up before it")
    ap.add_argument("--commands", type=int, default=20,
                    help="power commands timed per fleet")
    ap.add_argument("--sweeps", type=int, default=0,
                    help="ipmi-sensors sweeps (default: one per 5 s of window)")
    ap.add_argument("--configured", type=int, default=512,
                    help="configured silent nodes for memory/snapshot (0: skip)")
    ap.add_argument("--configured-seconds", type=int, default=20)
    ap.add_argument("--openbmc", type=int, default=64,
                    help="idle OpenBMC test BMCs (0: skip)")
    ap.add_argument("--redfish", type=int, default=64,
                    help="idle Redfish test BMCs per flavour (0: skip)")
    ap.add_argument("--redfish-slow", type=int, default=0,
                    help="Redfish test BMCs answering each request in 2-8 s "
                    "(DMTF layout), after a 120 s warm-up; 0 skips them")
    ap.add_argument("--redfish-large", type=int, default=512,
                    help="Redfish test BMCs, one of them stalled (0: skip)")
    ap.add_argument("--http", type=int, default=128,
                    help="simulated BMCs scraped over HTTP (0: skip)")
    ap.add_argument("--sel-rate", type=float, default=0,
                    help="SEL entries written per node per minute during "
                    "each window (default 0)")
    ap.add_argument("--baseline-build",
                    help="a build directory whose kestrel is measured first "
                    "against the same fleet, e.g. one without SEL watching")
    ap.add_argument("--out", help="JSON file (default bench/results/<time>.json)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    args = ap.parse_args()

    sizes = [int(x) for x in args.nodes.split(",") if x.strip()]
    res = {"machine": machine(),
           "config": {"nodes": sizes, "seconds": args.seconds,
                      "warmup": args.warmup, "commands": args.commands,
                      "configured": args.configured, "openbmc": args.openbmc,
                      "build": util.build_dir(), "sel_rate": args.sel_rate,
                      "baseline_build": args.baseline_build},
           "runs": []}
    workroot = tempfile.mkdtemp(prefix="kestrel-bench-")
    try:
        for n in sizes:
            res["runs"].append(live_run(n, args, workroot))
        if args.configured:
            res["configured"] = configured_run(args.configured, args, workroot)
        if args.openbmc:
            if openbmc is None:
                res["openbmc_skipped"] = "no tests/harness/openbmc.py"
            else:
                res["openbmc"] = openbmc_run(args.openbmc, args, workroot)
        if redfish is not None and args.redfish:
            res["redfish"] = [redfish_run(args.redfish, f, args, workroot)
                              for f in ("dmtf", "bmcweb")]
        if redfish is not None and args.redfish_slow:
            res["redfish_slow"] = redfish_run(args.redfish_slow, "dmtf", args,
                                              workroot, latency=[2, 8],
                                              warmup=120)
        if redfish is not None and args.redfish_large:
            res["redfish_large"] = redfish_run(args.redfish_large, "dmtf", args,
                                               workroot, stall=1)
        if args.http:
            res["http"] = http_run(args.http, args, workroot)
        res["microbench"] = microbench()
        res["http_microbench"] = http_microbench()
    finally:
        if args.keep:
            log("work directory kept: %s" % workroot)
        else:
            subprocess.run(["rm", "-rf", workroot])
    res["targets"] = targets(res)
    out = args.out or os.path.join(
        ROOT, "bench", "results",
        datetime.datetime.now().strftime("bench-%Y%m%d-%H%M%S.json"))
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        json.dump(res, f, indent=1, sort_keys=True)
    print(table(res))
    print("\nJSON: %s" % out)


if __name__ == "__main__":
    main()
