"""Hardware events from the BMCs' system event logs, end to end: the daemon
against simulated BMCs (ipmi_sim) whose SEL the tests write through the
simulator's console, and a real SMTP server for the alert e-mail."""

import os
import re
import time

import pytest

from tests.harness import daemon, ipmisim, smtp, util

CHASSIS = """\
$CHASSISTYPE simnode
$$FANCOUNT 1
$$TEMPCOUNT 1
$$VOLTCOUNT 1
$$DISCCOUNT 1
$$FAN1 Fan1 FAN1 500 1000 20000 25000
$$TEMP1 Cpu "CPU Temp" 0 5 80 90
$$VOLT1 Rail12 12V 10.8 11.4 12.6 13.2
$$DISC1 Psu1 "PSU1 Status" 1

"""
FROM = "kestrel@example.org"
TO = "ops@example.org"
# The SEL is read every 10 s; a burst takes a few reads more.
SEL_READ = 25
EVENT = "Hardware event on "
LINE = re.compile(r"^Hardware event on (\S+) at BMC time \+\d+ s: (.*)$",
                      re.M)


def events(k, node=None):
    """The hardware-event lines on stderr, without node and time stamp."""
    return [what for name, what in LINE.findall(k.stderr())
            if node is None or name == node]


def mailed(server):
    """The hardware-event lines of every alert e-mail, checking that they
    stand in their own section."""
    out = []
    for m in server.messages():
        body = m["data"].decode().replace("\r\n", "\n")
        assert body.startswith(
            "Subject: Automatic alert from your Varnholt Cluster\n")
        section = body.split("\n\n", 1)[1]
        assert section.startswith(
            "Critical hardware events from the BMCs' event logs:\n")
        out += [what for name, what in re.findall(
            r"^  Hardware event on (\S+) at BMC time \+\d+ s: (.*)$",
            section, re.M)]
    return out


def start(tmp_path, sims, mail=None, shutdowns="no"):
    settings = ""
    if mail:
        settings = ("$ENABLE_ALERTS yes\n$ENABLE_SHUTDOWNS %s\n$EMAIL_TO %s\n"
                    "$EMAIL_FROM %s\n$EMAIL_SERVER %s\n"
                    % (shutdowns, TO, FROM, mail.hostport))
    datadir = str(tmp_path / "data")
    daemon.write_config(datadir, CHASSIS, settings + "".join(
        "$NODE %s simnode %s %s\n" % (s.name, ipmisim.USER, ipmisim.PASSWORD)
        for s in sims))
    k = daemon.Kestrel(datadir, hosts={s.name: s.addr for s in sims})
    return k.start().wait_ready()


def wait_read(k, node, timeout=SEL_READ):
    """Waits until the node's readings arrive, i.e. its domain is up."""
    return util.wait_until(lambda: k.records().get(node, {}).get("TIME"),
                           timeout, what="readings of %s" % node)


@pytest.fixture
def peers(tmp_path):
    """Simulators and daemons a test starts; all stopped after it."""
    made = {"sims": [], "daemons": [], "mail": []}

    def sim(index, emu=None, persist=False):
        workdir = str(tmp_path / "sims")
        os.makedirs(workdir, exist_ok=True)
        s = ipmisim.Sim(index, workdir, emu or ipmisim.build_emu(workdir),
                        persist=persist).start().wait_ready()
        made["sims"].append(s)
        return s

    def mail():
        m = smtp.SmtpServer(str(tmp_path / "smtp")).start()
        made["mail"].append(m)
        return m

    def kestrel(*args, **kwargs):
        k = start(tmp_path, *args, **kwargs)
        made["daemons"].append(k)
        return k

    yield sim, mail, kestrel
    for k in made["daemons"]:
        if k.running():
            k.stop()
    for s in made["sims"]:
        s.stop()
    for m in made["mail"]:
        m.stop()


def test_new_entries_are_logged_once_in_words_and_critical_ones_mailed(
        tmp_path, peers):
    sim, mail, kestrel = peers
    node01 = sim(1, persist=True)
    node02 = sim(2, emu=ipmisim.emu_variant(str(tmp_path / "sims"), "nosel",
                                            sel_device=False))
    server = mail()
    # In the log before the daemon starts: never reported.
    node01.sel_add(ipmisim.SEL_PROCESSOR, 0x41, 0)  # IERR
    k = kestrel([node01, node02], mail=server, shutdowns="yes")
    wait_read(k, "node01")
    time.sleep(1)

    # A power supply pushed into failure logs its own entry; the others are
    # written as a BMC would: an uncorrectable ECC error of a memory sensor
    # the SDRs do not describe, a deasserted one, a threshold crossing.
    node01.set_bit(ipmisim.PSU1, ipmisim.PS_FAIL, 1)
    node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 1)
    node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 0, asserted=False)
    node01.sel_add(0x01, ipmisim.CPU_TEMP, 9, event_type=ipmisim.SEL_THRESHOLD)
    expected = [
        "PSU1 Status: Power supply: failure detected, asserted",
        "sensor 0x40 (Memory): Memory: uncorrectable ECC, asserted",
        "sensor 0x40 (Memory): Memory: correctable ECC, deasserted",
        "CPU Temp: Temperature: upper critical going high, asserted",
    ]
    util.wait_until(lambda: len(events(k)) >= 4, SEL_READ,
                    what="four hardware events")
    # Both critical ones are mailed, usually together; should a read of
    # the log fall between them, the second follows a minute later.
    util.wait_until(lambda: len(mailed(server)) >= 2, 75,
                    what="the critical events' e-mail")
    time.sleep(SEL_READ / 2)  # a further read or two reports nothing again
    assert events(k) == expected
    assert mailed(server) == expected[:2]
    # A critical event powers nothing off, even with shutdowns enabled.
    assert k.ssh_calls() == [] and node01.chassis_log() == []
    assert k.stderr().count(
        "The BMC of node02 keeps no system event log; its hardware events "
        "are not watched.\n") == 1
    assert k.stop() == 0


def test_a_restarted_bmc_does_not_replay_its_log_and_a_cleared_one_goes_on(
        peers):
    sim, _, kestrel = peers
    node01 = sim(1, persist=True)
    k = kestrel([node01])
    wait_read(k, "node01")
    node01.sel_add(ipmisim.SEL_POWER_SUPPLY, ipmisim.PSU1, 3)  # AC lost
    util.wait_until(lambda: events(k), SEL_READ, what="the first event")

    # The BMC keeps its log across the restart and the daemon reconnects.
    node01.restart()
    node01.sel_add(ipmisim.SEL_PROCESSOR, 0x41, 1)  # thermal trip
    util.wait_until(lambda: len(events(k)) >= 2, 60, what="the second event")
    node01.ipmitool("sel", "clear")
    node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 2)  # parity
    util.wait_until(lambda: len(events(k)) >= 3, SEL_READ,
                    what="the event after the clear")
    time.sleep(SEL_READ / 2)
    assert events(k) == [
        "PSU1 Status: Power supply: AC lost, asserted",
        "sensor 0x41 (Processor): Processor: thermal trip, asserted",
        "sensor 0x40 (Memory): Memory: parity, asserted",
    ]
    assert k.stop() == 0


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M).group(1))


BURST = 10000


def test_a_burst_of_entries_keeps_memory_flat_and_the_other_nodes_fresh(
        tmp_path, peers):
    sim, mail, kestrel = peers
    big = ipmisim.emu_variant(str(tmp_path / "sims"), "bigsel",
                              sel_entries=BURST + 100)
    node01 = sim(1, emu=big)
    others = [sim(2), sim(3)]
    server = mail()
    k = kestrel([node01] + others, mail=server)
    for s in [node01] + others:
        wait_read(k, s.name)
    node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 1)
    util.wait_until(lambda: events(k), SEL_READ, what="the first event")
    server.wait_messages(1, 15)
    before = rss_kib(k.proc.pid)

    ages = []

    def sample():
        now = time.time()
        recs = k.records()
        ages.extend(now - recs[s.name]["TIME"] for s in others)

    for i in range(BURST):
        node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 1)
        if i % 500 == 0:
            sample()
    deadline = time.monotonic() + 120
    while len(events(k, "node01")) < BURST + 1:
        assert time.monotonic() < deadline, "only %d events" % len(
            events(k, "node01"))
        sample()
        time.sleep(0.5)
    sample()
    after = rss_kib(k.proc.pid)

    assert len(events(k, "node01")) == BURST + 1
    # Readings of the other nodes stay as fresh as ever (a live node is
    # polled every 5 s) while the daemon takes in the burst.
    assert max(ages) < 12, sorted(ages)[-5:]
    assert after - before < 4096, (before, after)
    # A burst gives an e-mail a minute, each with a bounded section that
    # says how many it left out.
    util.wait_until(lambda: len(server.messages()) >= 2, 75,
                    what="the burst's e-mail")
    bodies = [m["data"].decode() for m in server.messages()[1:]]
    print("RSS", before, after, "ages", max(ages), "mails", len(bodies))
    assert len(bodies) <= 3
    assert bodies[0].count(EVENT) == 100
    assert "more, listed in the daemon's log." in bodies[0]
    assert k.stop() == 0
