"""Hardware events from the BMCs' system event logs, end to end: the daemon
against simulated BMCs (ipmi_sim) whose SEL the tests write through the
simulator's console, and a real SMTP server for the alert e-mail."""

import os
import re
import time

import pytest

from tests.harness import chassis, daemon, ipmisim, smtp, util

CHASSIS = chassis.sim(volt=False)
SEL_READ = 25  # the daemon reads each SEL every 10 s
LINE = r"^%sHardware event on (\S+) at BMC time \+\d+ s: (.*)$"


def events(k, node="node01"):
    """What the logged hardware-event lines of a node say, in order."""
    return [w for n, w in re.findall(LINE % "", k.stderr(), re.M) if n == node]


def mailed(server):
    """The hardware-event lines of every e-mail, each e-mail checked to carry
    them in a section of their own."""
    out = []
    for m in server.messages():
        body = m["data"].decode().replace("\r\n", "\n")
        assert body.startswith(
            "Subject: Automatic alert from your Varnholt Cluster\n")
        section = body.split("\n\n", 1)[1]
        assert section.startswith(
            "Critical hardware events from the BMCs' event logs:\n")
        out += [w for _, w in re.findall(LINE % "  ", section, re.M)]
    return out


class Peers:
    """The simulators, SMTP server and daemon of a test; stopped after it."""

    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.sims, self.servers, self.k = [], [], None

    def sim(self, index, emu=None, persist=False):
        work = str(self.tmp / "sims")
        s = ipmisim.Sim(index, work, emu or ipmisim.build_emu(work),
                        persist=persist)
        self.sims.append(s)
        return s.start().wait_ready()

    def smtp(self, name="smtp"):
        self.servers.append(smtp.SmtpServer(str(self.tmp / name)).start())
        return self.servers[-1]

    def kestrel(self, sims, mail=None):
        settings = "" if not mail else (
            "$ENABLE_ALERTS yes\n$ENABLE_SHUTDOWNS yes\n$EMAIL_TO ops@x.org\n"
            "$EMAIL_FROM k@x.org\n$EMAIL_SERVER %s\n" % mail.hostport)
        datadir = str(self.tmp / "data")
        daemon.write_config(datadir, CHASSIS, settings + "".join(
            "$NODE %s simnode %s %s\n" % (s.name, ipmisim.USER,
                                          ipmisim.PASSWORD) for s in sims))
        # AddressSanitizer would hold freed memory back, and RSS would grow.
        asan = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
        self.k = daemon.Kestrel(datadir, hosts={s.name: s.addr for s in sims},
                                env={"ASAN_OPTIONS": asan})
        self.k.start().wait_ready()
        for s in sims:  # readings arrive once the domain is up
            util.wait_until(lambda: self.k.records()[s.name]["TIME"],
                            SEL_READ, what="readings of %s" % s.name)
        time.sleep(1)
        return self.k

    def stop(self):
        if self.k and self.k.running():
            self.k.stop()
        for p in self.sims + self.servers:
            p.stop()


@pytest.fixture
def peers(tmp_path):
    p = Peers(tmp_path)
    yield p
    p.stop()


def test_new_entries_are_logged_once_in_words_and_critical_ones_mailed(
        peers, tmp_path):
    node01 = peers.sim(1)
    node02 = peers.sim(2, emu=ipmisim.emu_variant(
        str(tmp_path / "sims"), "nosel", sel_device=False))
    server = peers.smtp()
    node01.sel_add(ipmisim.SEL_PROCESSOR, 0x41, 0)  # in the log before: IERR
    k = peers.kestrel([node01, node02], mail=server)

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


@pytest.mark.slow
def test_a_restarted_bmc_does_not_replay_its_log_and_a_cleared_one_goes_on(
        peers):
    node01 = peers.sim(1, persist=True)
    k = peers.kestrel([node01])
    node01.sel_add(ipmisim.SEL_POWER_SUPPLY, ipmisim.PSU1, 3)  # AC lost
    util.wait_until(lambda: events(k), SEL_READ, what="the first event")

    # The BMC keeps its log across the restart; the daemon reconnects.
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


@pytest.mark.slow
def test_a_critical_event_outlasts_a_failed_send_and_is_mailed_once(peers):
    node01 = peers.sim(1)
    server = peers.smtp()
    k = peers.kestrel([node01], mail=server)
    server.stop()
    node01.sel_add(ipmisim.SEL_PROCESSOR, 0x41, 0)  # IERR
    k.wait_stderr("Failed to send alert email:\nCritical hardware events",
                  timeout=SEL_READ)

    # The same address and port again; the next attempt comes a minute
    # after the failed one.
    back = peers.smtp("smtp-back")
    util.wait_until(lambda: mailed(back), 75, what="the retried e-mail")
    assert mailed(back) == events(k) == [
        "sensor 0x41 (Processor): Processor: IERR, asserted"]

    # Once accepted it is done with: the next e-mail holds only what is new.
    node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 1)  # uncorrectable ECC
    back.wait_messages(2, 75)
    assert mailed(back) == events(k)
    assert len(events(k)) == 2
    assert k.stop() == 0


BURST = 10000


@pytest.mark.slow
def test_a_burst_of_entries_keeps_memory_flat_and_the_other_nodes_fresh(
        peers, tmp_path):
    node01 = peers.sim(1, emu=ipmisim.emu_variant(
        str(tmp_path / "sims"), "bigsel", sel_entries=BURST + 100))
    others = [peers.sim(2), peers.sim(3)]
    server = peers.smtp()
    k = peers.kestrel([node01] + others, mail=server)
    node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 1)
    server.wait_messages(1, SEL_READ)

    def rss():
        return int(re.search(r"^VmRSS:\s+(\d+)", util.read_text(
            "/proc/%d/status" % k.proc.pid), re.M).group(1))

    before = rss()

    ages = []

    def sample():
        recs, now = k.records(), time.time()
        ages.extend(now - recs[s.name]["TIME"] for s in others)

    for i in range(BURST):
        node01.sel_add(ipmisim.SEL_MEMORY, 0x40, 1)
        if i % 500 == 0:
            sample()
    deadline = time.monotonic() + 150
    while len(events(k)) < BURST + 1 and time.monotonic() < deadline:
        sample()
        time.sleep(0.5)
    assert len(events(k)) == BURST + 1
    # OpenIPMI's copy of the log grows by about 2 MiB; nothing else may.
    assert rss() - before < 4096, (before, rss())
    # A live node is polled every 5 s, however busy its neighbour's BMC.
    assert max(ages) < 12, sorted(ages)[-5:]
    # One e-mail a minute at most, its section bounded and saying so.
    util.wait_until(lambda: len(server.messages()) >= 2, 75,
                    what="the burst's e-mail")
    later = [m["data"].decode() for m in server.messages()[1:]]
    assert len(later) <= 3
    assert later[0].count("  Hardware event on ") == 100
    assert "more, listed in the daemon's log." in later[0]
    assert k.stop() == 0
